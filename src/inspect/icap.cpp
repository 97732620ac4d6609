#include "inspect/icap.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/global.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/body.h"
#include "http/request.h"
#include "http/response.h"
#include "http/transfer.h"
#include "inspect/antivirus.h"
#include "net/netsection.h"
#include "net/network.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "util/base64.h"
#include "util/filebuf.h"
#include "util/log.h"
#include "util/mem.h"

ICAPSection* icap_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_COUNT = 1,
};

constexpr std::size_t ENCAPSULATED_MAX = 1023;

// The callbacks come after those of the sections built at start-up, so they are registered
// only once a rule exists.
void register_callbacks()
{
    processors.Add(icap_reqmod, STAGE_REQUEST_MODIFY);
    processors.Add(icap_respmod, STAGE_RESPONSE_MODIFY);
    processors.Add(icap_buffcheck, STAGE_BUFFER_CHECK);
}

// The local address the network section binds outgoing sockets of the connection to; empty
// for any address.
std::string outgoing_address(const CONNECTION_T* connection)
{
    if (network_section == nullptr)
        return {};
    const in_addr_t address = network_section->interface_select(connection);
    if (address == htonl(INADDR_ANY))
        return {};
    char text[INET_ADDRSTRLEN] = {};
    in_addr value{};
    value.s_addr = address;
    return inet_ntop(AF_INET, &value, text, sizeof text) != nullptr ? std::string(text) : std::string();
}

ServerKey pool_key(const std::string& host, int port)
{
    ServerKey key;
    key.protocol = "icap";
    key.host = host;
    key.port = port;
    return key;
}

// Puts the connection's own server socket back whichever way the exchange ends.
class ServerSwap {
public:
    explicit ServerSwap(CONNECTION_T* connection) : connection_(connection), saved_(std::move(connection->server)),
                                                    flags_(connection->flags)
    {
    }
    ~ServerSwap()
    {
        connection_->server = std::move(saved_);
        constexpr std::uint32_t OURS = CONN_NOCALLBACK | CONN_TRANSFER_FAILED;
        connection_->flags = (connection_->flags & ~OURS) | (flags_ & OURS);
    }
    ServerSwap(const ServerSwap&) = delete;
    ServerSwap& operator=(const ServerSwap&) = delete;

private:
    CONNECTION_T* connection_;
    SocketPtr saved_;
    std::uint32_t flags_;
};

// Installs a response: one the road already holds belongs to its builder and is changed in
// place; a new one is handed over to the request road, which sends and frees it.
void response_install(CONNECTION_T* connection, HeaderPtr response)
{
    if (connection->response != nullptr)
        *connection->response = std::move(*response);
    else
        connection->response = response.release();
}

// The body buffer a stage works on; one is made for a stage that had none.
Filebuf* body_of(CONNECTION_T* connection, Filebuf* body)
{
    if (body != nullptr)
        return body;
    if (connection->body == nullptr)
        connection->body = std::make_unique<Filebuf>();
    return connection->body.get();
}

// Whether the client read a reply to its end: the one header at offset 0 it reads (header_read:
// its length) and the body after it are all the reply names, and that header is as long as the
// offset of what follows it says. The rest of any other reply may still be on its way, and would
// be read as the reply to the connection's next exchange.
bool reply_read_whole(const Encapsulation& e, std::optional<std::size_t> header_read)
{
    const int headers = (e.req_hdr != -1 ? 1 : 0) + (e.res_hdr != -1 ? 1 : 0);
    const long body = e.req_body != -1 ? e.req_body : e.res_body;
    if (!header_read)
        return headers == 0 && body == -1;
    const long next = body != -1 ? body : e.null_body;
    return headers == 1 && (next == -1 || next == static_cast<long>(*header_read));
}

} // namespace

ICAP::ICAP(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= ICAP_FIELD_COUNT);
    enabled = f[ICAP_FIELD_ENABLED].int_value;
    comment = f[ICAP_FIELD_COMMENT].text;
    profiles = f[ICAP_FIELD_PROFILES].string_list;
    host = f[ICAP_FIELD_HOST].text;
    service = f[ICAP_FIELD_SERVICE].text;
    port = f[ICAP_FIELD_PORT].int_value;
    modes = f[ICAP_FIELD_MODES].int_value;
    register_callbacks();
}

bool ICAP::applies(const CONNECTION_T& connection, int mode) const
{
    return enabled != 0 && (modes & mode) != 0 && !host.empty() && !service.empty() &&
           profile_find(connection.profiles, profiles) == 1;
}

ICAPSection::ICAPSection() : Section("icap", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= ICAP_FIELD_COUNT);
    update();
}

void ICAPSection::update()
{
    rules_.rebuild([this](ICAPRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        rules_from_items(next.rules, subsections_[0]);
    });
}

int ICAPSection::check_match(CONNECTION_T* connection, int mode) const
{
    const std::shared_ptr<const ICAPRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_ICAP) != 0)
        return 0;
    for (const ICAP& rule : current->rules) {
        if (rule.applies(*connection, mode))
            return mode == ICAP_RESPMOD && body_uninspected(connection, LOG_ICAP, nullptr, true) ? 0 : 1;
    }
    return 0;
}

bool ICAPSection::process(CONNECTION_T* connection, Filebuf* body, int mode) const
{
    std::string host, service;
    int port = 0;
    {
        const std::shared_ptr<const ICAPRules> current = rules();
        if (current->enabled == 0 || (connection->bypass & BYPASS_ICAP) != 0)
            return false;
        const ICAP* chosen = nullptr;
        for (const ICAP& rule : current->rules) {
            if (rule.applies(*connection, mode)) {
                chosen = &rule;
                break;
            }
        }
        if (chosen == nullptr)
            return false;
        // A body streamed past the exchange, or one that did not decode, goes as it is there: none,
        // or the bytes as they came.
        body_uninspected(connection, LOG_ICAP, nullptr, mode == ICAP_RESPMOD);
        host = chosen->host;
        service = chosen->service;
        port = chosen->port;
    }
    return protocol_icap(connection, body, mode, host, service, port);
}

Encapsulation ICAPSection::encapsulation_parse(std::string_view value)
{
    Encapsulation result;
    static constexpr std::pair<std::string_view, long Encapsulation::*> NAMES[] = {
        {"req-hdr=", &Encapsulation::req_hdr},   {"res-hdr=", &Encapsulation::res_hdr},
        {"req-body=", &Encapsulation::req_body}, {"res-body=", &Encapsulation::res_body},
        {"null-body=", &Encapsulation::null_body},
    };
    for (const std::string& part : string_break(value, ',')) {
        std::string_view item(part);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        for (const auto& [name, field] : NAMES) {
            if (item.size() < name.size() || !equal_nocase(item.substr(0, name.size()), name))
                continue;
            // Decimal digits only, kept within a long: an offset is never negative.
            long number = 0;
            for (const char c : item.substr(name.size())) {
                if (c < '0' || c > '9' || number > 100000000L)
                    break;
                number = number * 10 + (c - '0');
            }
            result.*field = number;
            break;
        }
    }
    return result;
}

ICAPReply icap_reply_parse(std::string_view text)
{
    ICAPReply reply;
    // The status line of an ICAP reply has the shape of an HTTP one; without one, nothing of the
    // reply can be trusted.
    std::string copy(text);
    if (copy.size() < 5 || !equal_nocase(std::string_view(copy).substr(0, 5), "ICAP/"))
        return reply;
    copy.replace(0, 4, "HTTP");
    reply.header = http_header_parse_response(copy);
    if (reply.header == nullptr)
        return reply;
    for (const HTTP_HEADER& line : reply.header->lines) {
        if (equal_nocase(line.name, "Encapsulated")) {
            reply.encapsulated = true;
            reply.encapsulation = ICAPSection::encapsulation_parse(line.value);
            break;
        }
    }
    return reply;
}

bool ICAPSection::protocol_icap(CONNECTION_T* connection, Filebuf* body, int mode, const std::string& host,
                                const std::string& service, int port)
{
    const bool reqmod = mode == ICAP_REQMOD;
    HeaderPtr icap = header_new();
    icap->kind = HEADER_ICAP_REQUEST;
    icap->version = HTTP_VERSION_10;
    icap->method = reqmod ? "REQMOD" : "RESPMOD";
    icap->scheme = "icap";
    icap->host = host;
    icap->port = port;
    icap->path = service;
    icap->url = "icap://" + host + ":" + std::to_string(port) + service;
    icap->lines.push_back({HTTP_HEADER_PASS, "X-Client-IP", connection->ip});
    if (!connection->username.empty()) {
        std::string user = "Local://" + connection->username;
        if (user.size() > 255)
            user.resize(255);
        icap->lines.push_back({HTTP_HEADER_PASS, "X-Authenticated-User", to64frombits(user)});
    }

    Filebuf request_text, response_text;
    if (connection->request != nullptr)
        header_send_filebuf(&request_text, connection->request.get(), connection, HEADER_TO_PARENT);
    if (!reqmod && connection->response != nullptr)
        header_send_filebuf(&response_text, connection->response, connection, HEADER_TO_CLIENT);
    const bool has_body = body != nullptr && body->size() > 0;
    const std::size_t q = request_text.size();
    const std::size_t s = response_text.size();
    std::string encapsulated = reqmod ? "req-hdr=0, " + std::string(has_body ? "req-body" : "null-body") + "=" +
                                            std::to_string(q)
                                      : "req-hdr=0, res-hdr=" + std::to_string(q) + ", " +
                                            (has_body ? "res-body" : "null-body") + "=" + std::to_string(q + s);
    if (encapsulated.size() > ENCAPSULATED_MAX)
        encapsulated.resize(ENCAPSULATED_MAX);
    icap->encapsulated = encapsulated;

    Filebuf message;
    header_send_filebuf(&message, icap.get(), connection, HEADER_TO_SERVER);
    message.Add(request_text.view());
    message.Add(response_text.view());

    const int timeout = general_section != nullptr ? general_section->timeout_get(connection) : 60;
    const int ctimeout = general_section != nullptr ? general_section->ctimeout_get(connection) : 60;
    ServerPool* pool = global != nullptr ? global->serverpool.get() : nullptr;
    const ServerKey key = pool_key(host, port);

    ServerSwap swap(connection);
    std::optional<std::string> block;
    for (;;) {
        SocketPtr socket = pool != nullptr ? pool->Find(key) : nullptr;
        const bool pooled = socket != nullptr;
        if (!pooled) {
            const std::string local = outgoing_address(connection);
            const int fd = net_connect(host.c_str(), port, local.c_str(), ctimeout);
            if (fd < 0)
                return false;
            socket = std::make_unique<Socket>(fd);
        }
        connection->server = std::move(socket);
        connection->flags &= ~CONN_TRANSFER_FAILED;
        net_filebuf_send(&message, connection, SIDE_SERVER);
        if (has_body)
            net_filebuf_send_chunked(body, connection, SIDE_SERVER);
        connection->server->Flush();
        block = header_get(connection, SIDE_SERVER, timeout);
        if (block)
            break;
        connection->server.reset();
        if (!pooled) {
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return false;
        }
    }

    const ICAPReply reply = icap_reply_parse(*block);
    if (reply.header == nullptr) {
        putlog(LOG_ICAP, "error parsing header from ICAP server");
        connection->server.reset();
        return false;
    }
    const int status = reply.header->status;
    if (status == 204) {
        putlog(LOG_ICAP, "no modification needed");
        connection->server.reset();
        return false;
    }
    if (status >= 400 && status <= 599) {
        putlog(LOG_ICAP, status < 500 ? "ICAP response indicates client error" : "ICAP response indicates server error");
        connection->server.reset();
        return false;
    }
    // No Preview was offered, so nothing is to be continued: an interim answer is no answer.
    if (status < 200) {
        putlog(LOG_ICAP, "ICAP response with interim status %d", status);
        connection->server.reset();
        return false;
    }
    if (!reply.encapsulated) {
        putlog(LOG_ICAP, "ICAP response without encapsulatd header");
        connection->server.reset();
        return false;
    }
    const Encapsulation& e = reply.encapsulation;
    if (e.req_body != -1 && e.res_body != -1) {
        putlog(LOG_ICAP, "unable to handle response with both bodies");
        connection->server.reset();
        return false;
    }

    HeaderPtr http;
    const bool request_first = e.req_hdr == 0;
    const bool response_first = !request_first && e.res_hdr == 0;
    std::unique_ptr<Filebuf> returned;
    std::optional<std::size_t> header_read;
    if (request_first || response_first) {
        const std::optional<std::string> inner = header_get(connection, SIDE_SERVER, timeout);
        if (inner) {
            header_read = inner->size();
            http = request_first ? http_header_parse_request(*inner) : http_header_parse_response(*inner);
        }
        // A response must have its status line (the parser reads any other text as HTTP/0.9) and a
        // final status: anything else is never passed on to the client.
        if (http != nullptr && response_first && (http->version == HTTP_VERSION_09 || http->status < 200))
            http.reset();
        if (http == nullptr) {
            connection->server.reset();
            return false;
        }
        if (e.req_body != -1 || e.res_body != -1) {
            // The body always comes chunked, whatever the encapsulated header declares.
            HEADER framing = *http;
            framing.chunked = 1;
            framing.flags &= ~HEADER_LENGTH;
            ResponseLoan loan(connection, &framing);
            connection->flags |= CONN_NOCALLBACK;
            // Held whole in memory, the body may be no larger than a buffered download.
            int more = 0;
            returned = http_transfer_filebuf(connection, SIDE_SERVER, inspect_output_limit(connection), &more);
            if (more != 0) {
                putlog(LOG_ICAP, "ICAP response body exceeds the download buffer");
                connection->server.reset();
                return false;
            }
            if ((connection->flags & CONN_TRANSFER_FAILED) != 0) {
                // A body cut short is not delivered as if it were whole.
                putlog(LOG_ICAP, "error reading response from ICAP server");
                connection->server.reset();
                return false;
            }
        }
    }

    if (response_first) {
        if (reqmod) {
            Filebuf* target = body_of(connection, body);
            target->Swap(returned.get());
            response_install(connection, std::move(http));
            putlog(LOG_ICAP, "request satisfied");
        } else {
            // Without a returned body the message is header-only: the old body, which the server
            // may have judged, is never delivered under its new header.
            if (body != nullptr)
                body->Swap(returned.get());
            response_install(connection, std::move(http));
            putlog(LOG_ICAP, "response modified");
        }
    } else if (request_first) {
        if (reqmod) {
            // How the client talks stays the client's: the server's copy carries the version and
            // connection lines this proxy wrote for it.
            if (const HEADER* old = connection->request.get(); old != nullptr) {
                http->version = old->version;
                http->keepalive = old->keepalive;
                http->proxy_keepalive = old->proxy_keepalive;
            }
            connection->request = std::move(http);
            if (body != nullptr || returned != nullptr)
                body_of(connection, body)->Swap(returned.get());
            putlog(LOG_ICAP, "request modified");
        } else {
            putlog(LOG_ICAP, "got request modification when expecting response modification");
        }
    }

    if (reply.header->keepalive == 0 || pool == nullptr || !reply_read_whole(e, header_read))
        connection->server.reset();
    else
        pool->Add(std::move(connection->server), key);
    return true;
}

int icap_reqmod(CONNECTION_T* connection, Filebuf* body)
{
    if (icap_section == nullptr)
        return 0;
    icap_section->process(connection, body, ICAP_REQMOD);
    return connection->response != nullptr ? 1 : 0;
}

int icap_respmod(CONNECTION_T* connection, Filebuf* body)
{
    if (icap_section == nullptr || connection->response == nullptr)
        return 1;
    if (icap_section->check_match(connection, ICAP_RESPMOD) == 0)
        return 1;
    // The body is held whole and de-chunked: the server is told its real length.
    connection->response->content_length = body != nullptr ? static_cast<std::int64_t>(body->size()) : 0;
    connection->response->flags |= HEADER_LENGTH;
    connection->response->chunked = 0;
    icap_section->process(connection, body, ICAP_RESPMOD);
    return 1;
}

int icap_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return icap_section != nullptr ? icap_section->check_match(connection, ICAP_RESPMOD) : 0;
}
