#include "http/request.h"

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <strings.h>

#include "cache/cache.h"
#include "http/connect.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "policy/access.h"
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
#include "http/body.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "policy/redirect.h"
#include "core/statgroups.h"
#include "http/template.h"
#include "core/threads.h"
#include "http/transfer.h"
#include "util/url.h"
#include "http/urlcommand.h"
#include "net/network.h"
#include "util/stringutil.h"

namespace {

// Answers with a template; without a page of that name nothing was sent, so the connection
// cannot be kept.
void answer(CONNECTION_T* connection, const char* name, int status)
{
    if (template_section->send(name, connection, status) == 0)
        connection->keepalive_client = 0;
}

// A request that came with a Content-Length beside its transfer coding was read by the coding,
// but a peer that framed it by the length would take what follows for another request: the
// connection ends after the answer.
bool framing_in_doubt(const HEADER* request)
{
    return request != nullptr && (request->flags & HEADER_LENGTH_BESIDE_CODING) != 0;
}

// A refusal is answered and closes the client connection.
void refuse(CONNECTION_T* connection, const char* name, int status)
{
    connection->keepalive_client = 0;
    template_section->send(name, connection, status);
}

// The slot's texts are copied before threadlistlock is taken and swapped in under it, so that
// the lock every thread shares is never held to allocate or free; the old texts go after it.
void slot_serving(CONNECTION_T* connection)
{
    std::string ip = connection->ip;
    std::lock_guard lock(threadlistlock);
    thread_t& slot = threads[connection->slot];
    slot.state = THREAD_SERVING;
    slot.requests = static_cast<int>(connection->requests);
    slot.ip.swap(ip);
}

void slot_request(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    std::string ip = connection->ip;
    std::string url = text_or_empty(request->url);
    std::string method = text_or_empty(request->method);
    std::lock_guard lock(threadlistlock);
    thread_t& slot = threads[connection->slot];
    slot.ip.swap(ip);
    slot.url.swap(url);
    slot.method.swap(method);
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

// The records name the client the way the access rules know it: a forwarded address only from
// a downstream proxy they trust.
void forwarded_for(CONNECTION_T* connection)
{
    connection->logentry.client = access_client(*connection);
}

// A client that announced its body with "Expect: 100-continue" holds it back until told to
// go on, or until its own time-out: it is told here, where the body is about to be read. An
// HTTP/1.0 client knows no interim answers.
void continue_expected(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request->version != HTTP_VERSION_11 || connection->client == nullptr ||
        (connection->flags & CONN_NOCLIENT) != 0)
        return;
    for (const HTTP_HEADER& line : request->lines) {
        if (equal_nocase(line.name, "Expect") && contains_nocase(line.value, "100-continue")) {
            static constexpr std::string_view go_on = "HTTP/1.1 100 Continue\r\n\r\n";
            connection->client->Write(go_on.data(), static_cast<long>(go_on.size()));
            connection->client->Flush();
            return;
        }
    }
}

// A request body streamed to the server is never shown to the request stages as if it were
// whole: while they run they see none (the part of a chunked body read ahead is held aside), and
// whatever header they leave, the body keeps the framing it is relayed with.
class StreamedBodyHold {
public:
    explicit StreamedBodyHold(CONNECTION_T* connection) : connection_(connection)
    {
        if ((connection->flags & CONN_STREAM) == 0)
            return;
        const HEADER* request = connection->request.get();
        held_ = true;
        part_ = std::move(connection->body);
        connection->body = std::make_unique<Filebuf>();
        content_length_ = request->content_length;
        chunked_ = request->chunked;
        length_known_ = (request->flags & HEADER_LENGTH) != 0;
    }
    StreamedBodyHold(const StreamedBodyHold&) = delete;
    StreamedBodyHold& operator=(const StreamedBodyHold&) = delete;

    // After the stages, unless one of them answered the request.
    void restore()
    {
        if (!held_)
            return;
        connection_->body = std::move(part_);
        HEADER* request = connection_->request.get();
        request->content_length = content_length_;
        request->chunked = chunked_;
        request->flags = length_known_ ? (request->flags | HEADER_LENGTH) : (request->flags & ~HEADER_LENGTH);
        request->lines.remove_if([](const HTTP_HEADER& line) {
            return line.type == HTTP_HEADER_PASS && equal_nocase(line.name, "transfer-encoding");
        });
    }

private:
    CONNECTION_T* connection_;
    bool held_ = false;
    std::unique_ptr<Filebuf> part_;
    std::int64_t content_length_ = 0;
    int chunked_ = 0;
    bool length_known_ = false;
};

// One request of a client connection, from the first byte of its header to the hand-over to a
// protocol handler: one method per step, run in the order of the table in run().
class RequestExchange {
public:
    explicit RequestExchange(CONNECTION_T* connection) : connection_(connection), cache_(connection->cache) {}

    void run();

private:
    // The thread slot, the connection's variables and the log entry's interface and client id.
    Step begin();
    // Whether a parsable header came; its forwarded client, keep-alive, URL commands, profiles.
    Step header_read();
    // Whether the header stage 5 rewrote still parses; the request's variables and HEAD.
    Step header_rewrite();
    // Whether the body fits the upload allowance and came whole, or is left to be relayed.
    Step body_read();
    // Whether authentication or request modification, given the request's variables, answered it.
    Step request_stages();
    // Whether the limits block the request or the "limits" page answers it; the bypass mask.
    Step limits();
    // Whether the redirect rules answered; the port and TLS of the "https" command.
    Step destination();
    // The request's headers, as the header filter leaves them.
    Step header_filter();
    // Whether the admitting rule permits this kind of request; the host of an origin-form one.
    Step permitted();
    // The request's variables with its URL, and what the log entry says of it.
    Step recorded();
    // Whether a URL command that needs no response answers the request.
    Step commands();
    // Whether a stage-0 check blocks the request.
    Step request_check();
    // Which encodings the server is asked for.
    Step encoding();
    // Whether the cache answers (or refuses) the request, or holds a copy to serve or revalidate.
    Step cache_lookup();
    // Whether an upstream connection opens, the cache serves without one, or the client is told why not.
    Step upstream();
    // The handler that serves the request: the tunnel, a diagnostic page, a module, HTTP or FTP.
    Step dispatch();

    // Read afresh each time: the header rewrite parses the request anew.
    HEADER* request() const { return connection_->request.get(); }

    CONNECTION_T* connection_;
    // The connection's: the cache object outlives the exchange, for the connection thread gives
    // it back after the limits are counted.
    CacheRef& cache_;
};

void RequestExchange::run()
{
    using StepFn = Step (RequestExchange::*)();
    static constexpr StepFn steps[] = {
        &RequestExchange::begin,
        &RequestExchange::header_read,
        &RequestExchange::header_rewrite,
        &RequestExchange::body_read,
        &RequestExchange::request_stages,
        &RequestExchange::limits,
        &RequestExchange::destination,
        &RequestExchange::header_filter,
        &RequestExchange::permitted,
        &RequestExchange::recorded,
        &RequestExchange::commands,
        &RequestExchange::request_check,
        // The cache judges a hit by the request as it goes to the origin, Accept-Encoding included.
        &RequestExchange::encoding,
        &RequestExchange::cache_lookup,
        &RequestExchange::upstream,
        &RequestExchange::dispatch,
    };
    for (const StepFn step : steps)
        if ((this->*step)() == Step::Done)
            return;
}

Step RequestExchange::begin()
{
    slot_serving(connection_);
    if (connection_->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               connection_->client != nullptr ? connection_->client->fd() : -1, connection_->ip.c_str(),
               connection_->port);

    auto& variables = connection_->variables;
    variables["IP"] = connection_->ip;
    variables["PORT"] = std::to_string(connection_->port);
    variables["TIME"] = std::to_string(static_cast<unsigned>(std::time(nullptr)));
    variables["INTERFACE"] = connection_->localip;
    variables["VERSION"] = VERSION_LINE;
    variables["CLIENTID"] = std::to_string(connection_->id);
    connection_->logentry.interface_ip = connection_->localip;
    connection_->logentry.interface_port = variables["PORT"];
    connection_->logentry.client_id = connection_->id;
    return Step::Continue;
}

Step RequestExchange::header_read()
{
    const bool first = connection_->requests == 0;
    const int timeout =
        first ? general_section->timeout_get(connection_) : general_section->keeptimeout_get(connection_);
    bool too_large = false;
    const HeaderText text = header_get(connection_, SIDE_CLIENT, timeout, &too_large);
    connection_->logentry.Reset();
    connection_->logentry.client = connection_->ip;
    if (!text && too_large) {
        if (first)
            putlog(LOG_WARNING, "request: invalid header recieved from %s", connection_->ip.c_str());  // kept as is
        // The client is told why, though the rest of its header goes unread.
        refuse(connection_, "badrequest", 400);
        return Step::Done;
    }
    if (!text) {
        if (first)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s", connection_->ip.c_str());
        connection_->keepalive_client = 0;
        return Step::Done;
    }
    // Stage 5 hands the header back as text that ends at its first zero byte: a header holding
    // one would lose the lines behind it (a Content-Length, say) between the two parses.
    connection_->request = text->find('\0') == std::string::npos ? http_header_parse_request(*text) : nullptr;
    if (connection_->request == nullptr) {
        if (first)
            putlog(LOG_WARNING, "request: invalid header recieved from %s", connection_->ip.c_str());  // kept as is
        // Told why, as an oversized header is; nothing of it goes anywhere.
        refuse(connection_, "badrequest", 400);
        return Step::Done;
    }
    forwarded_for(connection_);
    keepalive_check_client(connection_);
    if (url_command_extract(connection_) == 0)
        return Step::Done;
    profile_section->profiles_update(connection_);
    return Step::Continue;
}

Step RequestExchange::header_rewrite()
{
    // The stage sees no parsed request, only its text. The header as read is taken up again when
    // the stage leaves that text as it was and nothing was taken out of the header since (no
    // URL commands, inherited ones included): parsing the same text again gives the same header.
    HeaderPtr read = std::move(connection_->request);
    const bool untouched = connection_->url_commands == nullptr;
    const std::string_view raw = text_view(read->raw);
    Filebuf buffer;
    buffer.Add(raw);
    buffer.Add("", 1);
    processors.Execute(STAGE_REQUEST_HEADER, connection_, &buffer);
    const std::string_view rewritten = buffer.view();
    const std::string_view text = rewritten.substr(0, rewritten.find('\0'));
    if (untouched && read->raw && text == raw)
        connection_->request = std::move(read);
    else if (!text.empty())
        connection_->request = http_header_parse_request(text);
    read.reset();
    if (connection_->request == nullptr) {
        if (connection_->requests == 0)
            putlog(LOG_WARNING, "request: invalid header received from %s", connection_->ip.c_str());
        refuse(connection_, "badrequest", 400);
        return Step::Done;
    }
    forwarded_for(connection_);
    if (url_command_extract(connection_) == 0)
        return Step::Done;
    url_command_log(connection_->url_commands.get());
    header_variables(connection_, "CLIENT", request()->lines);
    if (request()->method && equal_nocase(*request()->method, "HEAD"))
        connection_->flags |= CONN_HEAD;
    return Step::Continue;
}

Step RequestExchange::body_read()
{
    return request_body(connection_) == 1 ? Step::Continue : Step::Done;
}

Step RequestExchange::request_stages()
{
    variables_request(connection_, false);
    StreamedBodyHold streamed(connection_);
    if (process_request(connection_, connection_->body.get()) == 0)
        return Step::Done;
    streamed.restore();
    profile_section->profiles_update(connection_);
    return Step::Continue;
}

Step RequestExchange::limits()
{
    if (limit_section->check_and_block(connection_) == 1)
        return Step::Done;
    bypass_check(connection_);
    if ((connection_->access & ACCESS_URLCOMMAND) == 0)
        url_command_free(connection_);
    if (url_command_has(connection_, "limits")) {
        limits_show(connection_);
        return Step::Done;
    }
    return Step::Continue;
}

Step RequestExchange::destination()
{
    if (redirect_section->redirect_do(connection_, REDIRECT_REQUEST) == 1)
        return Step::Done;
    HEADER* request = this->request();
    if (url_command_has(connection_, "https")) {
        if ((request->flags & HEADER_DEFAULT_PORT) != 0 || request->port == protocol_port(text_or_empty(request->scheme)))
            request->port = 443;
        connection_->flags |= CONN_HTTPS | CONN_TLS;
    }
    return Step::Continue;
}

Step RequestExchange::header_filter()
{
    slot_request(connection_);
    header_section->filter(connection_, HEADERFILTER_REQUEST);
    return Step::Continue;
}

Step RequestExchange::permitted()
{
    HEADER* request = this->request();
    const char* ip = connection_->ip.c_str();

    if (request->kind != HEADER_CONNECT && interface_request(connection_)) {
        putlog(LOG_REQUEST, "request for web interface from %s", ip);
        interface_handle_request(connection_);
        return Step::Done;
    }
    request = this->request();

    if (request->kind == HEADER_ORIGIN) {
        if ((connection_->access & ACCESS_TRANSPARENT) == 0) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            refuse(connection_, "noaccess", 404);
            return Step::Done;
        }
        if (!request->host) {
            std::optional<HostPort> target;
            if ((connection_->access & ACCESS_HOST_HEADER) != 0 && request->host_header)
                target = http_host_split(*request->host_header, request->port);
            if (!target) {
                // kept as is
                putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a malformatted request", ip);
                refuse(connection_, "nofile", 404);
                return Step::Done;
            }
            request->host = target->host;
            request->port = target->port;
            profile_section->profiles_update(connection_);
            if (redirect_section->redirect_do(connection_, REDIRECT_REQUEST) == 1)
                return Step::Done;
            if (request->port == connection_->port) {
                putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a request to website on %d", ip,
                       request->port);
                refuse(connection_, "nofile", 404);
                return Step::Done;
            }
            header_complete(request);
            request->kind = HEADER_ABSOLUTE;
        } else if (!request->url) {
            header_complete(request);
        }
        return Step::Continue;
    }
    if (request->kind == HEADER_ABSOLUTE) {
        if ((connection_->access & ACCESS_PROXY) == 0) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            refuse(connection_, "noaccess", 404);
            return Step::Done;
        }
        return Step::Continue;
    }
    if ((connection_->access & ACCESS_CONNECT) == 0) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request", ip);
        refuse(connection_, "noaccess", 404);
        return Step::Done;
    }
    if (general_section->cportrange_check(connection_, request->port) == 0) {
        putlog(LOG_SECURITY, "denied CONNECT request from %s to port %d", ip, request->port);
        refuse(connection_, "noaccess", 404);
        return Step::Done;
    }
    return Step::Continue;
}

Step RequestExchange::recorded()
{
    const HEADER* request = this->request();
    variables_request(connection_, true);
    LogEntry& entry = connection_->logentry;
    entry.method = text_or_empty(request->method);
    entry.url = request->url ? *request->url : std::string("-");
    entry.useragent = request->user_agent ? *request->user_agent : std::string("-");
    entry.referer = request->referer ? *request->referer : std::string("-");
    statincr_hosts(connection_);
    return Step::Continue;
}

Step RequestExchange::commands()
{
    HEADER* request = this->request();
    const url_command_list* commands = connection_->url_commands.get();
    const url_command_t* templ = url_command_find(commands, "template");
    const char* templ_name = templ != nullptr && templ->options ? templ->options->c_str() : "unknown";

    if (url_command_find(commands, "prefetch") != nullptr) {
        const std::optional<URL> url = request->url ? url_parse(*request->url) : std::nullopt;
        if (!url)
            return Step::Done;
        prefetch_section->queue_add(*url, request->lines, connection_->download_allowance, 1);
        if (templ != nullptr)
            answer(connection_, templ_name, 200);
        else
            answer(connection_, "unknown", 404);
        return Step::Done;
    }
    if (templ != nullptr) {
        answer(connection_, templ_name, 200);
        return Step::Done;
    }
    if (url_command_has(connection_, "profiles")) {
        show_profiles(connection_);
        return Step::Done;
    }
    if (url_command_has(connection_, "offline"))
        connection_->flags |= CONN_OFFLINE;
    if (url_command_has(connection_, "cache")) {
        cache_show(connection_);
        return Step::Done;
    }
    if (url_command_has(connection_, "filter")) {
        interface_send_response(connection_, filter_section->check_show(connection_).get());
        return Step::Done;
    }
    return Step::Continue;
}

Step RequestExchange::request_check()
{
    if (processors.Execute(STAGE_REQUEST_CHECK, connection_, nullptr) == 1) {
        LogEntry& entry = connection_->logentry;
        entry.set_cachecode(9);
        entry.Write();
        entry.apache_Write();
        return Step::Done;
    }
    return Step::Continue;
}

Step RequestExchange::cache_lookup()
{
    HEADER* request = this->request();
    const bool offline = (connection_->flags & CONN_OFFLINE) != 0;
    if (!url_command_has(connection_, "fresh") && cacheable(connection_, request, nullptr) != 0 && request->url) {
        // Opened and, unless offline, checked for this request's freshness demands at once.
        auto [object, flags] = cache_section->lookup(connection_, *request->url, offline);
        if (object && (flags & CACHE_INVALID) != 0) {
            putlog(LOG_ALWAYS, "Please re-check rules in the Caching Section");
            object.invalidate();
            answer(connection_, "error", 404);
            return Step::Done;
        }
        if (object && (flags & CACHE_BUFFERWAIT) != 0) {
            cache_section->send_status(connection_, object.get());
            return Step::Done;
        }
        if (object) {
            cache_ = std::move(object);
            putlog(LOG_CACHE, "hit: %s", cache_->key.c_str());
            if (!offline && (flags & CACHE_VALIDATE) != 0) {
                connection_->flags |= CONN_VALIDATE;
                conditional_header(request, cache_.get());
            }
            connection_->logentry.set_cachecode(1);
            statincr_cachehit(connection_);
        } else {
            connection_->logentry.set_cachecode(2);
            statincr_cachemiss(connection_);
        }
    } else {
        connection_->logentry.set_cachecode(2);
    }
    if (offline && !cache_) {
        answer(connection_, "nocache", 404);
        return Step::Done;
    }
    return Step::Continue;
}

Step RequestExchange::encoding()
{
    HEADER* request = this->request();
    if (general_section->compressin_get(connection_) == 1) {
        if (accepts_encoded_content(connection_) == 0) {
            connection_->flags |= CONN_ENCODED;
            request->accept_encoding = "gzip, deflate";
            putlog(LOG_DEBUG, "request: asking server for encoded content");
        }
    } else {
        request->accept_encoding.reset();
    }
    return Step::Continue;
}

Step RequestExchange::upstream()
{
    while (connection_->server == nullptr) {
        if (cache_ && (connection_->flags & CONN_VALIDATE) == 0)
            return Step::Continue;
        connection_->flags &= ~CONN_POOLED;
        connection_->proxy_type = UPSTREAM_DIRECT;
        forward_section->forward_do(connection_);
        const int result = protocol_start(connection_);
        if (result >= 0)
            return Step::Continue;
        if (result == NET_SELF) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a request to website on %d",
                   connection_->ip.c_str(), request()->port);
            refuse(connection_, "nofile", 404);
            return Step::Done;
        }
        if (!cache_) {
            putlog(LOG_HEADER, "error: reading header from %s", text_or_empty(request()->host));
            answer(connection_, error_to_template(result), 503);
            return Step::Done;
        }
        connection_->flags &= ~CONN_VALIDATE;
        putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
    }
    return Step::Continue;
}

Step RequestExchange::dispatch()
{
    HEADER* request = this->request();
    if (request->kind == HEADER_CONNECT) {
        protocol_connect(connection_);
        return Step::Done;
    }
    if (url_command_has(connection_, "proxytest")) {
        show_proxytest(connection_);
        return Step::Done;
    }
    connection_->flags |= CONN_PROCESS;

    const bool from_cache = cache_ && (connection_->flags & CONN_VALIDATE) == 0;
    if (connection_->proxy_type == UPSTREAM_HTTP || from_cache) {
        protocol_http(connection_);
        return Step::Done;
    }
    const std::string scheme = text_or_empty(request->scheme);
    if (protocols.Execute(scheme, connection_) != -1)
        return Step::Done;
    if (strcasecmp(scheme.c_str(), "http") == 0)
        protocol_http(connection_);
    else if (strcasecmp(scheme.c_str(), "ftp") == 0)
        protocol_ftp(connection_);
    else
        answer(connection_, "badprotocol", 501);
    return Step::Done;
}

} // namespace

int handle_request(CONNECTION_T* connection)
{
    RequestExchange(connection).run();
    // A body left unread on the client socket would be read as the next request.
    if ((connection->flags & CONN_BODY_PENDING) != 0)
        connection->keepalive_client = 0;
    // Whatever answered it, a request whose framing was in doubt ends the connection.
    if (framing_in_doubt(connection->request.get()))
        connection->keepalive_client = 0;
    return 0;
}

int request_body(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const std::uint64_t maximum = general_section->maxubuffer_get(connection);

    if ((request->flags & HEADER_LENGTH) != 0 && request->chunked == 0) {
        const auto length = static_cast<std::uint64_t>(request->content_length);
        if (upload_beyond_allowance(connection, length)) {
            refuse(connection, "uploadlimit", 200);
            return 0;
        }
        connection->bytes_out = length;
        continue_expected(connection);
        if (length > maximum) {
            // Held whole in memory only up to the upload buffer, a body above it is relayed
            // as it comes, whatever upstream it goes to.
            connection->body = std::make_unique<Filebuf>();
            connection->flags |= CONN_STREAM | CONN_BODY_PENDING;
            putlog(LOG_DEBUG, "request: content (%" PRIu64 ") exceeds maximum upload buffer size (%" PRIu64 ")", length,
                   maximum);
            return 1;
        }
        connection->body = http_transfer_filebuf(connection, SIDE_CLIENT);
    } else if (request->chunked != 0) {
        // Read de-chunked up to the upload buffer; the rest, if any, is relayed re-chunked and
        // counted as it goes. No more than the allowance is read here: a body that would go
        // beyond it is refused before any of it reaches a server.
        const bool limited = connection->upload_allowance != ALLOWANCE_UNLIMITED;
        const std::uint64_t allowance = connection->upload_allowance;
        continue_expected(connection);
        int more = 0;
        connection->body = http_transfer_filebuf(connection, SIDE_CLIENT,
                                                 static_cast<std::size_t>(limited ? std::min(maximum, allowance) : maximum),
                                                 &more);
        connection->bytes_out = connection->body->size();
        if (more != 0) {
            connection->flags |= CONN_BODY_PENDING;
            if (limited && allowance <= maximum) {
                refuse(connection, "uploadlimit", 200);
                return 0;
            }
            connection->flags |= CONN_STREAM;
        }
    } else {
        connection->body = std::make_unique<Filebuf>();
    }
    if ((connection->flags & CONN_TRANSFER_FAILED) != 0) {
        // A body cut short is never passed on as if it were whole.
        putlog(LOG_WARNING, "request: incomplete request body from %s", connection->ip.c_str());
        connection->keepalive_client = 0;
        return 0;
    }
    return 1;
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
        request->proxy_keepalive == 0 || framing_in_doubt(request)) {
        connection->keepalive_client = 0;
        return;
    }
    if (request->keepalive == 1 || request->proxy_keepalive == 1) {
        connection->keepalive_client = 1;
        return;
    }
    connection->keepalive_client = request->version == HTTP_VERSION_11 ? 1 : 0;
}
