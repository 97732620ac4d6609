#include "http/request.h"

#include <cinttypes>
#include <ctime>
#include <mutex>
#include <string>
#include <strings.h>

#include "cache/cache.h"
#include "http/connect.h"
#include "http/connection.h"
#include "util/filebuf.h"
#include "policy/filter.h"
#include "cache/forward.h"
#include "config/general.h"
#include "http/header.h"
#include "policy/headerfilter.h"
#include "admin/interface.h"
#include "policy/limit.h"
#include "util/log.h"
#include "core/options.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "config/profile.h"
#include "ftp/proto_ftp.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "policy/redirect.h"
#include "admin/statgroups.h"
#include "config/template.h"
#include "core/threads.h"
#include "http/transfer.h"
#include "util/url.h"
#include "http/urlcommand.h"
#include "util/stringutil.h"

namespace {

// Answers with a template; without a page of that name nothing was sent, so the connection
// cannot be kept.
void answer(CONNECTION_T* connection, const char* name, int status)
{
    if (template_section->send(name, connection, status) == 0)
        connection->keepalive_client = 0;
}

// A refusal is answered and closes the client connection.
void refuse(CONNECTION_T* connection, const char* name, int status)
{
    connection->keepalive_client = 0;
    template_section->send(name, connection, status);
}

void slot_serving(CONNECTION_T* connection)
{
    std::lock_guard lock(threadlistlock);
    thread_t& slot = threads[connection->slot];
    slot.state = THREAD_SERVING;
    slot.requests = static_cast<int>(connection->requests);
    slot.ip = connection->ip;
}

void slot_request(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    std::lock_guard lock(threadlistlock);
    thread_t& slot = threads[connection->slot];
    slot.ip = connection->ip;
    slot.url = text_or_empty(request->url);
    slot.method = text_or_empty(request->method);
}

void variables_request(CONNECTION_T* connection, bool with_url)
{
    const HEADER* request = connection->request.get();
    auto& variables = connection->variables;
    if (request->host)
        variables["HTTP_HOST"] = *request->host;
    variables["HTTP_FILE"] = text_or_empty(request->path);
    variables["HTTP_METHOD"] = text_or_empty(request->method);
    variables["HTTP_PROTO"] = text_or_empty(request->scheme);
    variables["HTTP_PORT"] = std::to_string(request->port);
    if (with_url)
        variables["URL"] = text_or_empty(request->url);
}

void forwarded_for(CONNECTION_T* connection)
{
    if (connection->request->x_forwarded_for)
        connection->logentry.client = *connection->request->x_forwarded_for;
}

// Reads and parses the request header; false when the request ends here.
bool request_read(CONNECTION_T* connection)
{
    const bool first = connection->requests == 0;
    const int timeout = first ? general_section->timeout_get(connection) : general_section->keeptimeout_get(connection);
    bool too_large = false;
    const HeaderText text = header_get(connection, SIDE_CLIENT, timeout, &too_large);
    connection->logentry.Reset();
    connection->logentry.client = connection->ip;
    if (!text && too_large) {
        if (first)
            putlog(LOG_WARNING, "request: invalid header recieved from %s", connection->ip.c_str());  // kept as is
        // The client is told why, though the rest of its header goes unread.
        refuse(connection, "badrequest", 400);
        return false;
    }
    if (!text) {
        if (first)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s", connection->ip.c_str());
        connection->keepalive_client = 0;
        return false;
    }
    // Stage 5 hands the header back as text that ends at its first zero byte: a header holding
    // one would lose the lines behind it (a Content-Length, say) between the two parses.
    connection->request = text->find('\0') == std::string::npos ? http_header_parse_request(*text) : nullptr;
    if (connection->request == nullptr) {
        if (first)
            putlog(LOG_WARNING, "request: invalid header recieved from %s", connection->ip.c_str());  // kept as is
        connection->keepalive_client = 0;
        return false;
    }
    return true;
}

// Stage 5 on the raw header text, which is then parsed again; false when nothing usable is
// left, which counts as an invalid header.
bool request_rewrite(CONNECTION_T* connection)
{
    const std::string raw = connection->request->raw ? *connection->request->raw : std::string();
    connection->request.reset();
    Filebuf buffer;
    buffer.Add(raw);
    buffer.Add("", 1);
    processors.Execute(STAGE_REQUEST_HEADER, connection, &buffer);
    const std::string_view rewritten = buffer.view();
    const std::string_view text = rewritten.substr(0, rewritten.find('\0'));
    if (!text.empty())
        connection->request = http_header_parse_request(text);
    if (connection->request == nullptr) {
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: invalid header received from %s", connection->ip.c_str());
        connection->keepalive_client = 0;
        return false;
    }
    return true;
}

// Reads the request body, or leaves it to be relayed when it is larger than the upload buffer.
// false when the request ends here (refused, or the body could not be read whole).
bool request_body(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const std::uint64_t maximum = general_section->maxubuffer_get(connection);

    if ((request->flags & HEADER_LENGTH) != 0 && request->chunked == 0) {
        const auto length = static_cast<std::uint64_t>(request->content_length);
        // The all-ones allowance means no limit, not a limit of 4 GiB.
        if (connection->upload_allowance != ALLOWANCE_UNLIMITED && length > connection->upload_allowance) {
            refuse(connection, "uploadlimit", 200);
            return false;
        }
        connection->bytes_out = length;
        if (length > maximum) {
            // Held whole in memory only up to the upload buffer, a body above it is relayed
            // as it comes, whatever upstream it goes to.
            connection->body = std::make_unique<Filebuf>();
            connection->flags |= CONN_STREAM | CONN_BODY_PENDING;
            putlog(LOG_DEBUG, "request: content (%" PRIu64 ") exceeds maximum upload buffer size (%" PRIu64 ")", length,
                   maximum);
            return true;
        }
        connection->body = http_transfer_filebuf(connection, SIDE_CLIENT);
    } else if (request->chunked != 0) {
        // Read de-chunked up to the upload buffer; the rest, if any, is relayed re-chunked.
        int more = 0;
        connection->body = http_transfer_filebuf(connection, SIDE_CLIENT, static_cast<std::size_t>(maximum), &more);
        if (more != 0)
            connection->flags |= CONN_STREAM | CONN_BODY_PENDING;
    } else {
        connection->body = std::make_unique<Filebuf>();
    }
    if ((connection->flags & CONN_TRANSFER_FAILED) != 0) {
        // A body cut short is never passed on as if it were whole.
        putlog(LOG_WARNING, "request: incomplete request body from %s", connection->ip.c_str());
        connection->keepalive_client = 0;
        return false;
    }
    return true;
}

// The permission checks by kind of request; false when the request was refused or answered.
bool request_permitted(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const char* ip = connection->ip.c_str();

    if (request->kind != HEADER_CONNECT && interface_request(connection)) {
        putlog(LOG_REQUEST, "request for web interface from %s", ip);
        interface_handle_request(connection);
        return false;
    }
    request = connection->request.get();

    if (request->kind == HEADER_ORIGIN) {
        if ((connection->access & ACCESS_TRANSPARENT) == 0) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            refuse(connection, "noaccess", 404);
            return false;
        }
        if (!request->host) {
            std::optional<HostPort> target;
            if ((connection->access & ACCESS_HOST_HEADER) != 0 && request->host_header)
                target = http_host_split(*request->host_header, request->port);
            if (!target) {
                // kept as is
                putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a malformatted request", ip);
                refuse(connection, "nofile", 404);
                return false;
            }
            request->host = target->host;
            request->port = target->port;
            profile_section->profiles_update(connection);
            if (redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1)
                return false;
            if (request->port == connection->port) {
                putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a request to website on %d", ip,
                       request->port);
                refuse(connection, "nofile", 404);
                return false;
            }
            header_complete(request);
            request->kind = HEADER_ABSOLUTE;
        } else if (!request->url) {
            header_complete(request);
        }
        return true;
    }
    if (request->kind == HEADER_ABSOLUTE) {
        if ((connection->access & ACCESS_PROXY) == 0) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            refuse(connection, "noaccess", 404);
            return false;
        }
        return true;
    }
    if ((connection->access & ACCESS_CONNECT) == 0) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request", ip);
        refuse(connection, "noaccess", 404);
        return false;
    }
    if (general_section->cportrange_check(connection, request->port) == 0) {
        putlog(LOG_SECURITY, "denied CONNECT request from %s to port %d", ip, request->port);
        refuse(connection, "noaccess", 404);
        return false;
    }
    return true;
}

// The URL commands that answer before the cache; false when one answered.
bool request_commands(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const url_command_list* commands = connection->url_commands.get();
    const url_command_t* templ = url_command_find(commands, "template");
    const char* templ_name = templ != nullptr && templ->options ? templ->options->c_str() : "unknown";

    if (url_command_find(commands, "prefetch") != nullptr) {
        const std::optional<URL> url = request->url ? url_parse(*request->url) : std::nullopt;
        if (!url)
            return false;
        prefetch_section->queue_add(*url, request->lines, connection->download_allowance, 1);
        if (templ != nullptr)
            answer(connection, templ_name, 200);
        else
            answer(connection, "unknown", 404);
        return false;
    }
    if (templ != nullptr) {
        answer(connection, templ_name, 200);
        return false;
    }
    if (url_command_has(connection, "profiles")) {
        show_profiles(connection);
        return false;
    }
    if (url_command_has(connection, "offline"))
        connection->flags |= CONN_OFFLINE;
    if (url_command_has(connection, "cache")) {
        cache_show(connection);
        return false;
    }
    if (url_command_has(connection, "filter")) {
        filter_section->check_show(connection);
        return false;
    }
    return true;
}

// The cache lookup; false when the request was answered.
bool request_cache(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const bool offline = (connection->flags & CONN_OFFLINE) != 0;
    CACHEMAP* object = nullptr;
    if (!url_command_has(connection, "fresh") && cacheable(connection, request, nullptr) != 0 && request->url) {
        object = cache_section->cache_open(connection, *request->url, nullptr, offline ? std::uint32_t{CACHE_OFFLINE} : 0u);
        if (object != nullptr && (object->flags & CACHE_INVALID) != 0) {
            putlog(LOG_ALWAYS, "Please re-check rules in the Caching Section");
            cache_section->invalidate(object);
            answer(connection, "error", 404);
            return false;
        }
        if (object != nullptr && (object->flags & CACHE_BUFFERWAIT) != 0) {
            cache_section->send_status(connection, object);
            cache_section->cache_close(object, false);
            return false;
        }
        if (object != nullptr) {
            connection_cache_set(connection, object);
            putlog(LOG_CACHE, "hit: %s", object->key.c_str());
            if (!offline) {
                cache_section->check(connection, object);
                if ((object->flags & CACHE_VALIDATE) != 0) {
                    connection->flags |= CONN_VALIDATE;
                    conditional_header(request, object);
                }
            }
            connection->logentry.set_cachecode(1);
            statincr_cachehit(connection);
        } else {
            connection->logentry.set_cachecode(2);
            statincr_cachemiss(connection);
        }
    } else {
        connection->logentry.set_cachecode(2);
    }
    if (offline && object == nullptr) {
        answer(connection, "nocache", 404);
        return false;
    }
    return true;
}

// Opens the upstream connection unless the answer comes from the cache; false when the client
// was answered instead.
bool request_upstream(CONNECTION_T* connection)
{
    while (connection->server == nullptr) {
        CACHEMAP* object = connection_cache(connection);
        if (object != nullptr && (connection->flags & CONN_VALIDATE) == 0)
            return true;
        connection->flags &= ~CONN_POOLED;
        connection->proxy_type = UPSTREAM_DIRECT;
        forward_section->forward_do(connection);
        const int result = protocol_start(connection);
        if (result >= 0)
            return true;
        if (object == nullptr) {
            putlog(LOG_HEADER, "error: reading header from %s", text_or_empty(connection->request->host));
            answer(connection, error_to_template(result), 503);
            return false;
        }
        connection->flags &= ~CONN_VALIDATE;
        putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
    }
    return true;
}

void request_dispatch(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    CACHEMAP* object = connection_cache(connection);
    const bool from_cache = object != nullptr && (connection->flags & CONN_VALIDATE) == 0;
    if (connection->proxy_type == UPSTREAM_HTTP || from_cache) {
        protocol_http(connection);
        return;
    }
    const std::string scheme = text_or_empty(request->scheme);
    if (protocols.Execute(scheme, connection) != -1)
        return;
    if (strcasecmp(scheme.c_str(), "http") == 0)
        protocol_http(connection);
    else if (strcasecmp(scheme.c_str(), "ftp") == 0)
        protocol_ftp(connection);
    else
        answer(connection, "badprotocol", 501);
}

void request_serve(CONNECTION_T* connection)
{
    slot_serving(connection);
    if (connection->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               connection->client != nullptr ? connection->client->fd() : -1, connection->ip.c_str(), connection->port);

    auto& variables = connection->variables;
    variables["IP"] = connection->ip;
    variables["PORT"] = std::to_string(connection->port);
    variables["TIME"] = std::to_string(static_cast<unsigned>(std::time(nullptr)));
    variables["INTERFACE"] = connection->localip;
    variables["VERSION"] = VERSION_LINE;
    variables["CLIENTID"] = std::to_string(connection->id);
    connection->logentry.interface_ip = connection->localip;
    connection->logentry.interface_port = variables["PORT"];
    connection->logentry.client_id = connection->id;

    if (!request_read(connection))
        return;
    forwarded_for(connection);
    keepalive_check_client(connection);
    if (url_command_extract(connection) == 0)
        return;
    profile_section->profiles_update(connection);

    if (!request_rewrite(connection))
        return;
    forwarded_for(connection);
    if (url_command_extract(connection) == 0)
        return;
    url_command_log(connection->url_commands.get());
    header_variables(connection, "CLIENT", connection->request->lines);

    if (connection->request->method && equal_nocase(*connection->request->method, "HEAD"))
        connection->flags |= CONN_HEAD;

    if (!request_body(connection))
        return;
    variables_request(connection, false);

    if (process_request(connection, connection->body.get()) == 0)
        return;
    profile_section->profiles_update(connection);
    if (limit_section->check_and_block(connection) == 1)
        return;
    bypass_check(connection);
    if ((connection->access & ACCESS_URLCOMMAND) == 0)
        url_command_free(connection);
    if (url_command_has(connection, "limits")) {
        limits_show(connection);
        return;
    }
    if (redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1)
        return;

    HEADER* request = connection->request.get();
    if (url_command_has(connection, "https")) {
        if ((request->flags & HEADER_DEFAULT_PORT) != 0 || request->port == protocol_port(text_or_empty(request->scheme)))
            request->port = 443;
        connection->flags |= CONN_HTTPS | CONN_TLS;
    }
    slot_request(connection);
    header_section->filter(connection, HEADERFILTER_REQUEST);

    if (!request_permitted(connection))
        return;
    request = connection->request.get();
    variables_request(connection, true);
    LogEntry& entry = connection->logentry;
    entry.method = text_or_empty(request->method);
    entry.url = request->url ? *request->url : std::string("-");
    entry.useragent = request->user_agent ? *request->user_agent : std::string("-");
    entry.referer = request->referer ? *request->referer : std::string("-");
    statincr_hosts(connection);

    if (!request_commands(connection))
        return;
    if (processors.Execute(STAGE_REQUEST_CHECK, connection, nullptr) == 1) {
        entry.set_cachecode(9);
        entry.Write();
        entry.apache_Write();
        return;
    }
    if (!request_cache(connection))
        return;

    if (general_section->compressin_get(connection) == 1) {
        if (accepts_encoded_content(connection) == 0) {
            connection->flags |= CONN_ENCODED;
            request->accept_encoding = "gzip, deflate";
            putlog(LOG_DEBUG, "request: asking server for encoded content");
        }
    } else {
        request->accept_encoding.reset();
    }

    if (!request_upstream(connection))
        return;
    if (request->kind == HEADER_CONNECT) {
        protocol_connect(connection);
        return;
    }
    if (url_command_has(connection, "proxytest")) {
        show_proxytest(connection);
        return;
    }
    connection->flags |= CONN_PROCESS;
    request_dispatch(connection);
}

} // namespace

int handle_request(CONNECTION_T* connection)
{
    request_serve(connection);
    // A body left unread on the client socket would be read as the next request.
    if ((connection->flags & CONN_BODY_PENDING) != 0)
        connection->keepalive_client = 0;
    return 0;
}

std::uint32_t bypass_apply(std::uint32_t mask, bool has_options, std::string_view options)
{
    if (!has_options)
        return 0xFFFFFFFFu;
    bool set = true;
    for (const char c : options) {
        std::uint32_t bit = 0;
        switch (c) {
        case '+': set = true; continue;
        case '-': set = false; continue;
        case 'f': bit = BYPASS_URLFILTER; break;
        case 'h': bit = BYPASS_HEADER; break;
        case 'm': bit = BYPASS_MIME; break;
        case 'r': bit = BYPASS_REDIRECT; break;
        case 'c': bit = BYPASS_COOKIE; break;
        case 'w': bit = BYPASS_REWRITE; break;
        case 'e': bit = BYPASS_EXTERNAL; break;
        case 'p': bit = BYPASS_FORWARD; break;
        case 'k': bit = BYPASS_KEYWORD; break;
        case 'd': bit = BYPASS_DNSBL; break;
        case 'a': bit = BYPASS_ANTIVIRUS; break;
        case 'i': bit = BYPASS_ICAP; break;
        default: continue;
        }
        mask = set ? mask | bit : mask & ~bit;
    }
    return mask;
}

void bypass_check(CONNECTION_T* connection)
{
    if ((connection->access & ACCESS_BYPASS) == 0)
        return;
    const url_command_t* bypass = url_command_find(connection->url_commands.get(), "bypass");
    if (bypass == nullptr)
        return;
    connection->bypass = bypass_apply(connection->bypass, bypass->options.has_value(),
                                      bypass->options ? std::string_view(*bypass->options) : std::string_view());
}

void keepalive_check_client(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr || request->kind == HEADER_CONNECT || request->keepalive == 0 ||
        request->proxy_keepalive == 0) {
        connection->keepalive_client = 0;
        return;
    }
    if (request->keepalive == 1 || request->proxy_keepalive == 1) {
        connection->keepalive_client = 1;
        return;
    }
    connection->keepalive_client = request->version == HTTP_VERSION_11 ? 1 : 0;
}
