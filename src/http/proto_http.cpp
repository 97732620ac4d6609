#include "http/proto_http.h"

#include <ctime>
#include <poll.h>
#include <string>
#include <string_view>
#include <strings.h>

#include "cache/cache.h"
#include "http/body.h"
#include "core/connection.h"
#include "http/encoding.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "http/header.h"
#include "policy/headerfilter.h"
#include "admin/interface.h"
#include "util/log.h"
#include "policy/mime.h"
#include "cache/htmlstream.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "config/profile.h"
#include "http/protocol.h"
#include "http/proxyauth.h"
#include "policy/redirect.h"
#include "http/request.h"
#include "http/response.h"
#include "net/socket.h"
#include "core/statgroups.h"
#include "http/template.h"
#include "http/transfer.h"
#include "http/urlcommand.h"

namespace {

// Whether the server has answered and gone: its answer waits on its socket, which it closed or
// broke. A server that is still there may only have said "100 Continue" and be waiting for
// the rest of the body.
bool server_answered_and_left(CONNECTION_T* connection)
{
    Socket* server = connection->server.get();
    if (server == nullptr || (server->input_length() == 0 && server->Read(nullptr, -1, 0) <= 0))
        return false;
    pollfd state{server->fd(), POLLRDHUP, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The response to the client once the buffer limit stopped the read: the buffered part, then the
// rest relayed as it comes. A chunked body goes to an HTTP/1.1 client re-chunked, to an older
// one de-chunked and ended by the close of the connection.
void response_stream_rest(CONNECTION_T* connection, Filebuf* body)
{
    HEADER* response = connection->response;
    const bool chunked = response->chunked != 0;
    const bool rechunk = connection->request->version == HTTP_VERSION_11;
    const bool until_close = !chunked && (response->flags & HEADER_LENGTH) == 0;
    if (until_close || (chunked && !rechunk))
        connection->keepalive_client = 0;
    // What the client is told of the framing; the rest is read by the server's framing.
    response->chunked = chunked && rechunk ? 1 : 0;
    header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    response->chunked = chunked ? 1 : 0;
    http_transfer_read_and_rest(connection, body, rechunk);
}

// The records of a request that got a response; only a response that was sent (not blocked)
// counts its type in the statistics.
void log_response(CONNECTION_T* connection, bool count_type)
{
    HEADER* response = connection->response;
    LogEntry& entry = connection->logentry;
    entry.status = response->status;
    entry.size = connection->bytes_in;
    if (response->content_type) {
        entry.mime = *response->content_type;
        if (count_type)
            statincr_mimes(connection);
    }
    entry.Write();
    entry.apache_Write();
}

// Rewrites a raw response header through stage 6. nullopt when the stage left no text, or when
// the header holds a zero byte: the stage hands back text that ends at the first one, so the
// lines behind it (a Content-Length, say) would be lost unseen.
HeaderText response_header_rewrite(CONNECTION_T* connection, const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    Filebuf buffer;
    buffer.Add(text);
    buffer.Add("", 1);
    processors.Execute(STAGE_RESPONSE_HEADER, connection, &buffer);
    const std::string_view rewritten = buffer.view();
    const std::size_t end = rewritten.find('\0');
    const std::string_view result = rewritten.substr(0, end);
    if (result.empty())
        return std::nullopt;
    return std::string(result);
}

bool is_interim(int status)
{
    return status >= 100 && status < 200 && status != 101;
}

// An answer that cannot be passed on: the client gets the "badresponse" page and the server
// connection is not kept. -1, as protocol_http gives it.
int bad_response(CONNECTION_T* connection)
{
    putlog(LOG_ERROR, "Bad response from server");
    connection->keepalive_server = 0;
    if (template_section->send("badresponse", connection, 400) == 0) {
        connection->keepalive_client = 0;
    } else {
        // The client has its answer: the log says which.
        connection->logentry.Write();
        connection->logentry.apache_Write();
    }
    return -1;
}

} // namespace



void keepalive_check_server(CONNECTION_T* connection)
{
    const HEADER* response = connection->response;
    if ((response->flags & HEADER_LENGTH) == 0 && response->chunked == 0) {
        connection->keepalive_server = 0;
        connection->keepalive_client = 0;
    } else {
        const bool close = response->keepalive == 0 || response->proxy_keepalive == 0;
        connection->keepalive_server = response->keepalive == 1 || response->proxy_keepalive == 1 ||
                                               (response->version == HTTP_VERSION_11 && !close)
                                           ? 1
                                           : 0;
    }
    putlog(LOG_DEBUG, "protocol: keepalive_server = %d", connection->keepalive_server);
}

namespace {

// The largest body of a 200 that confirmed a cached copy that is read to keep its server
// connection: a few blocks, already on their way when the header came. A larger one is cut with
// its connection.
constexpr std::int64_t UNWANTED_BODY_MAX = 65536;

// The HTTP answer to one request: one method per step, run in the order of the table in run().
// The steps share the response header at hand, the connection's cache object and, once the
// body is buffered, the body.
class HttpExchange {
public:
    explicit HttpExchange(CONNECTION_T* connection)
        : connection_(connection), request_(connection->request.get()), slot_(connection),
          timeout_(general_section->timeout_get(connection)), cache_(connection->cache)
    {
    }

    int run();

private:
    // Whether the request goes to the server or the cache answers it; the response header text.
    Step request_send();
    // Whether an answer is to be read after the request body was sent (or sent again): the body
    // went whole, or the server answered before it took all of it.
    Step request_body();
    // Whether the header, as stage 6 rewrites it, parses; the response's variables and profiles.
    Step header_parse();
    // Whether a URL command's page takes the place of the response.
    Step header_commands();
    // Whether an interim answer is dropped for the header after it.
    Step interim();
    // Whether the server connection may be kept after this response.
    Step server_keepalive();
    // Whether a parent's 407 is answered with credentials, for the header after it.
    Step parent_authentication();
    // Whether nothing is left to answer with: no server connection and no cached copy.
    Step server_gone();
    // Whether the cached copy is still valid, its header then taking the place of the response.
    Step revalidation();
    // Whether the transfer fits the allowance; a cached copy's Age, or the object to store into.
    Step before_body();
    // Whether a template named after the status answers instead.
    Step status_template();
    // Where a redirect's Location points, carrying the request's URL commands.
    Step location_redirect();
    // The response's headers, as the header filter leaves them.
    Step header_filter();
    // Whether the answer has no body: HEAD, 1xx, 204 and 304 send the header alone.
    Step bodyless_answer();
    // Whether a URL command's page about the response takes its place.
    Step body_commands();
    // Whether the MIME filter blocks the response.
    Step mime_filter();
    // The request's line in the log and its count, and the prefetcher's look at the body.
    Step request_logged();
    // Whether the body is buffered whole before it is sent, and stored while it is.
    Step buffer_decision();
    // The buffered body, from the server or from the cache; whether it came whole.
    Step body_buffer();
    // Whether a hook, a check or a diagnostic page takes the buffered body, else how it is changed.
    Step body_stages();
    // How the body goes out: whole with its length, relayed past the buffer limit, or streamed.
    Step body_send();
    // The records of a response that was sent.
    Step response_logged();

    // Ends the exchange with result as protocol_http's.
    Step done(int result)
    {
        result_ = result;
        return Step::Done;
    }
    // Ends the exchange with the rest of the response unread: the server connection is not kept.
    Step dropped()
    {
        connection_->keepalive_server = 0;
        return done(1);
    }
    // Ends an exchange whose buffered body ended short, before anything of the response went
    // to the client.
    Step body_cut();
    // Ends an exchange that took no body from the server: nothing of its response may be pooled
    // or cached.
    Step without_body()
    {
        cache_.invalidate();
        return dropped();
    }
    // Reads and drops the body of a 200 that confirmed the cached copy, so that its server
    // connection is kept: only a small one of declared length on a connection that may be kept,
    // which costs less than a new connection for the next request. false when the connection is
    // to go instead; a read that fails leaves the cached copy as it is.
    bool unwanted_body_read();
    // The next response header from the server, for the header steps to run again on.
    Step next_header();
    // The answer comes from the cached copy, not from the server.
    bool from_cache() const { return cache_ && (connection_->flags & CONN_VALIDATE) == 0; }
    bool buffered() const { return (connection_->flags & CONN_BUFFER) != 0; }

    CONNECTION_T* connection_;
    HEADER* request_;
    ResponseSlot slot_;
    const int timeout_;
    // The connection's: the cache object outlives the exchange, for the connection thread gives
    // it back after the limits are counted.
    CacheRef& cache_;
    HeaderText text_;                  // the response header text at hand, as stage 6 left it
    bool from_server_ = true;          // the body comes from the server, not the cache
    std::unique_ptr<Filebuf> body_;    // the buffered body
    bool body_rest_ = false;           // the buffer limit stopped the read: the rest is relayed
    bool body_whole_ = false;          // read whole with the client still there: it goes out whole
    bool cache_whole_ = false;         // the cached object was complete when its header was made
    int result_ = 1;
};

int HttpExchange::run()
{
    using StepFn = Step (HttpExchange::*)();
    static constexpr StepFn steps[] = {
        &HttpExchange::request_send,
        &HttpExchange::header_parse,   // the header steps, again for every header that takes over
        &HttpExchange::header_commands,
        &HttpExchange::interim,
        &HttpExchange::server_keepalive,
        &HttpExchange::parent_authentication,
        &HttpExchange::server_gone,
        &HttpExchange::revalidation,
        &HttpExchange::before_body,
        &HttpExchange::status_template,
        &HttpExchange::location_redirect,
        &HttpExchange::header_filter,
        &HttpExchange::bodyless_answer,
        &HttpExchange::body_commands,
        &HttpExchange::mime_filter,
        &HttpExchange::request_logged,
        &HttpExchange::buffer_decision,
        &HttpExchange::body_buffer,
        &HttpExchange::body_stages,
        &HttpExchange::body_send,
        &HttpExchange::response_logged,
    };
    constexpr std::size_t header_steps = 1;
    for (std::size_t i = 0; i < std::size(steps);) {
        // Copied out first: GCC's bounds sanitizer misreads a call through an indexed
        // pointer to member.
        const StepFn step = steps[i];
        switch ((this->*step)()) {
        case Step::Continue: ++i; break;
        case Step::Again: i = header_steps; break;
        case Step::Done: return result_;
        }
    }
    return result_;
}

Step HttpExchange::request_send()
{
    if (from_cache()) {
        text_ = cache_section->header_text(cache_.get());
        return Step::Continue;
    }
    if (general_section->xforwardedfor_get(connection_) == 1)
        request_->x_forwarded_for = connection_->ip;
    if (general_section->via_get(connection_) == 1)
        via_header_update(connection_);
    header_send(request_, connection_, SIDE_SERVER,
                connection_->proxy_type == UPSTREAM_HTTP ? HEADER_TO_PARENT : HEADER_TO_SERVER);
    if (const Step step = request_body(); step != Step::Continue)
        return step;
    text_ = header_get_reconnect(connection_, timeout_);
    if (!text_)
        return done(-1);
    return Step::Continue;
}

Step HttpExchange::request_body()
{
    if (http_request_body_send(connection_))
        return Step::Continue;
    if (upload_beyond_allowance(connection_, connection_->bytes_out)) {
        // Refused as a body of known length is refused before it is read; the server keeps a
        // cut body and the connection to it goes.
        template_section->send("uploadlimit", connection_, 200);
        return done(1);
    }
    // A server that refuses an upload may answer and close before it has taken the whole body:
    // that answer is what the client is waiting for. The rest of the body stays unread, so
    // neither connection is kept.
    if (server_answered_and_left(connection_))
        return Step::Continue;
    return done(-1);
}

Step HttpExchange::next_header()
{
    text_ = header_get(connection_, SIDE_SERVER, timeout_);
    if (!text_) {
        connection_->keepalive_server = 0;
        template_section->send("noconnect", connection_, 503);
        return done(-1);
    }
    return Step::Again;
}

Step HttpExchange::header_parse()
{
    if (text_->size() >= 5 && strncasecmp(text_->c_str(), "HTTP/", 5) == 0)
        text_ = response_header_rewrite(connection_, *text_);
    HeaderPtr parsed = text_ ? http_header_parse_response(*text_) : nullptr;
    if (parsed == nullptr)
        return done(bad_response(connection_));
    // Upgrade is never forwarded, so nothing the proxy sent asked for another protocol: a
    // switch would leave the client speaking it to a connection that no longer carries it.
    if (parsed->status == 101)
        return done(bad_response(connection_));
    slot_.set(std::move(parsed));
    HEADER* response = slot_.get();
    if (response->version == HTTP_VERSION_09 && connection_->server != nullptr)
        connection_->server->PushFront(text_->data(), text_->size());
    response->host = request_->host;
    response->path = request_->path;
    header_variables(connection_, "SERVER", response->lines);
    if ((connection_->flags & CONN_PREFETCH) == 0)
        profile_section->profiles_update(connection_);
    return Step::Continue;
}

Step HttpExchange::header_commands()
{
    if (url_command_has(connection_, "cookies") || url_command_has(connection_, "mimeprofiles") ||
        url_command_has(connection_, "variables")) {
        if (url_command_has(connection_, "cookies"))
            interface_cookies_show(connection_);
        else if (url_command_has(connection_, "mimeprofiles"))
            show_profiles(connection_);
        else
            show_variables(connection_);
        return dropped();
    }
    return Step::Continue;
}

Step HttpExchange::interim()
{
    // Interim answers never reach the client and decide nothing about the connections: only
    // the final one counts.
    if (is_interim(slot_.get()->status))
        return next_header();
    return Step::Continue;
}

Step HttpExchange::server_keepalive()
{
    keepalive_check_server(connection_);
    return Step::Continue;
}

Step HttpExchange::parent_authentication()
{
    HEADER* response = slot_.get();
    if (response->status == 407 && connection_->proxy_type == UPSTREAM_HTTP &&
        (connection_->flags & CONN_PROXY_AUTH) == 0 &&
        (request_->proxy_authorization ||
         (!connection_->proxy_username.empty() && !connection_->proxy_password.empty()))) {
        if ((connection_->flags & CONN_STREAM) != 0) {
            // The body went to the parent as it came and is not there to be sent again: reading
            // the client for it would wait for nothing or take its next request. The 407's own
            // body stays unread.
            putlog(LOG_WARNING, "request: streamed body cannot be sent again for proxy authentication");
            connection_->keepalive_client = 0;
            template_section->send("badauth", connection_, 503);
            return dropped();
        }
        if (proxy_authenticate(connection_) == 1) {
            connection_->flags |= CONN_PROXY_AUTH;
            if (const Step step = request_body(); step != Step::Continue)
                return step;
            return next_header();
        }
        response->proxy_authenticate.reset();
    }
    return Step::Continue;
}

Step HttpExchange::server_gone()
{
    if (connection_->server == nullptr && !cache_)
        return dropped();
    return Step::Continue;
}

bool HttpExchange::unwanted_body_read()
{
    const HEADER* response = slot_.get();
    if (connection_->server == nullptr || connection_->keepalive_server == 0 ||
        (response->flags & HEADER_LENGTH) == 0 || response->chunked != 0 || response->content_length < 0 ||
        response->content_length > UNWANTED_BODY_MAX)
        return false;
    const std::uint32_t failed = connection_->flags & CONN_TRANSFER_FAILED;
    if (net_filebuf_read(nullptr, connection_, SIDE_SERVER, response->content_length) == 1)
        return true;
    // The copy is served whatever became of a body nobody wanted.
    connection_->flags = (connection_->flags & ~CONN_TRANSFER_FAILED) | failed;
    return false;
}

Step HttpExchange::revalidation()
{
    if (!cache_ || (connection_->flags & CONN_VALIDATE) == 0)
        return Step::Continue;
    const HEADER* response = slot_.get();
    bool valid = response->status == 304;
    const std::time_t stored = response->last_modified ? cache_section->last_modified(cache_.get()) : 0;
    if (!valid && stored != 0) {
        // Only two dates that both parse can match: two missing ones are no confirmation.
        const std::optional<std::time_t> modified = http_date_parse(*response->last_modified);
        if (modified && *modified == stored) {
            valid = true;
            if (!unwanted_body_read()) {
                connection_->server.reset();
                connection_->keepalive_server = 0;
            }
        }
    }
    if (valid) {
        connection_->logentry.set_cachecode(3);
        connection_->flags = (connection_->flags & ~CONN_VALIDATE) | CONN_VALIDATED;
        cache_section->validated(cache_.get());
        text_ = cache_section->header_text(cache_.get());
        putlog(LOG_CACHE, "validated: %s", cache_->key.c_str());
        statincr_cacherefreshhit(connection_);
        return Step::Again;
    }
    statdecr_cachehit(connection_);
    statincr_cachemiss(connection_);
    statincr_cacherefreshmiss(connection_);
    connection_->logentry.set_cachecode(5);
    putlog(LOG_CACHE, "failed validation: %s", cache_->key.c_str());
    cache_.invalidate();
    return Step::Continue;
}

Step HttpExchange::before_body()
{
    HEADER* response = slot_.get();
    if (from_cache()) {
        // One look serves the Age and both questions on the flags: every lock taken per hit is
        // felt by all the other connections.
        const CacheSection::HitState hit = cache_section->hit_state(cache_.get());
        const std::uint32_t flags = hit.flags;
        response->age = std::to_string(static_cast<unsigned>(hit.age));
        if ((connection_->flags & CONN_VALIDATED) == 0 && (flags & CACHE_EXPIRED) != 0)
            response->warning = "110 stale cache";
        if (transfer_limit_check(connection_) == 0)
            return dropped();
        cache_whole_ = (flags & CACHE_WRITING) == 0;
        if (cache_whole_) {
            response->content_length = static_cast<std::int64_t>(cache_->size) - cache_->header_length;
            response->flags |= HEADER_LENGTH;
            response->chunked = 0;
        } else if (response->chunked != 0) {
            // The object holds the body de-chunked: while it is still written its end is the
            // end of the connection.
            response->chunked = 0;
            connection_->keepalive_client = 0;
        }
        xcache_header_update(connection_, 0);
        return Step::Continue;
    }
    if (transfer_limit_check(connection_) == 0)
        return dropped();
    if (cacheable(connection_, request_, response) != 0 && request_->url) {
        const std::uint32_t flags = (connection_->flags & CONN_PREFETCH) != 0 ? (0x1 | CACHE_PREFETCHED) : 0x1;
        if (CacheRef object = cache_section->open(connection_, *request_->url, text_->c_str(), flags); object) {
            putlog(LOG_CACHE, "create: %s", object->key.c_str());
            connection_->flags |= CONN_CACHE;
            cache_ = std::move(object);
        }
    }
    if (!cache_ && (connection_->flags & CONN_PREFETCH) != 0)
        return dropped();
    xcache_header_update(connection_, 1);
    return Step::Continue;
}

Step HttpExchange::status_template()
{
    const int status = slot_.get()->status;
    if (template_section->send(std::to_string(status), connection_, status) == 1)
        return without_body();
    return Step::Continue;
}

Step HttpExchange::location_redirect()
{
    HEADER* response = slot_.get();
    if ((response->status == 301 || response->status == 302) && response->location) {
        redirect_section->redirect_do(connection_, REDIRECT_LOCATION);
        if (connection_->url_commands != nullptr && response->location)
            response->location = url_command_add(connection_, *response->location);
    }
    return Step::Continue;
}

Step HttpExchange::header_filter()
{
    header_section->filter(connection_, HEADERFILTER_RESPONSE);
    return Step::Continue;
}

Step HttpExchange::bodyless_answer()
{
    HEADER* response = slot_.get();
    if ((connection_->flags & CONN_HEAD) != 0 || (response->status >= 100 && response->status < 200) ||
        response->status == 204 || response->status == 304) {
        header_send(response, connection_, SIDE_CLIENT, HEADER_TO_CLIENT);
        return without_body();
    }
    return Step::Continue;
}

Step HttpExchange::body_commands()
{
    if (url_command_has(connection_, "mime") || url_command_has(connection_, "headers")) {
        if (url_command_has(connection_, "mime"))
            interface_send_response(connection_, mime_section->check_show(connection_).get());
        else
            show_headers(connection_);
        return without_body();
    }
    return Step::Continue;
}

Step HttpExchange::mime_filter()
{
    if (!mime_section->check_and_block(connection_)) {
        connection_->logentry.set_cachecode(9);
        log_response(connection_, false);
        return without_body();
    }
    return Step::Continue;
}

Step HttpExchange::request_logged()
{
    putlog((connection_->flags & CONN_PREFETCH) != 0 ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           request_->method ? request_->method->c_str() : "", request_->url ? request_->url->c_str() : "");
    statincr_httprequests(connection_);
    prefetch_section->setup_callbacks(connection_);
    return Step::Continue;
}

Step HttpExchange::buffer_decision()
{
    if ((connection_->flags & (CONN_PROCESS | CONN_PREFETCH)) != 0 && buffer_check(connection_) == 1) {
        connection_->flags |= CONN_BUFFER;
        if (cache_) {
            cache_section->flag_set(cache_.get(), CACHE_FORCE);
        } else if (cacheable(connection_, request_, slot_.get()) != 0 && request_->url) {
            if (CacheRef object = cache_section->open(connection_, *request_->url, text_->c_str(),
                                                      CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
                object) {
                putlog(LOG_CACHE, "create: %s", object->key.c_str());
                connection_->flags |= CONN_CACHE;
                cache_ = std::move(object);
            }
        }
    }
    putlog(LOG_DEBUG, "buffering: %d processing: %d", buffered() ? 1 : 0,
           (connection_->flags & CONN_PROCESS) != 0 ? 1 : 0);
    from_server_ = !cache_ || (connection_->flags & CONN_CACHE) != 0;
    return Step::Continue;
}

Step HttpExchange::body_buffer()
{
    if (!buffered())
        return Step::Continue;
    buffertimeout_set(connection_);
    if (from_server_) {
        int more = 0;
        body_ = http_transfer_filebuf(connection_, SIDE_SERVER, general_section->maxdbuffer_get(connection_), &more);
        body_rest_ = more != 0;
        // Cut by the server or stopped by the download allowance: what arrived is not the object.
        if ((connection_->flags & CONN_TRANSFER_FAILED) != 0)
            return body_cut();
    } else {
        body_ = cache_section->read_filebuf(cache_.get());
    }
    body_whole_ = !body_rest_ && (connection_->flags & CONN_NOCLIENT) == 0;
    return Step::Continue;
}

Step HttpExchange::body_stages()
{
    if (!buffered())
        return Step::Continue;
    if (!body_whole_) {
        // Beyond the download buffer the body streams past the stages that asked for it.
        if (body_rest_ && (connection_->flags & (CONN_NOCLIENT | CONN_PREFETCH)) == 0)
            response_uninspected_tell(connection_);
        return Step::Continue;
    }
    HEADER* response = slot_.get();
    // A body that does not decode still passes every check, as the bytes it came as, and is sent
    // so: a server must not get a body past the checks by labelling it with an encoding.
    bool undecoded = false;
    if (body_->size() > 0 && response->content_encoding) {
        undecoded = filebuf_decode(body_.get(), connection_) != 1;
        if (undecoded)
            connection_->flags |= CONN_BODY_UNDECODED;
        if (!undecoded) {
            response->content_encoding.reset();
            if (HTMLStream* stream = connection_htmlstream(connection_); stream != nullptr) {
                htmlstream_feed(stream, body_->data(), body_->size());
                htmlstream_flush(stream);
            }
        }
    }
    if (hooks.Execute(HOOK_PRE_RESPONSE, connection_, body_.get()) == 1)
        return dropped();
    if (process_response(connection_, body_.get()) == 0) {
        log_response(connection_, false);
        return dropped();
    }
    if (hooks.Execute(HOOK_POST_RESPONSE, connection_, body_.get()) != 0)
        return dropped();
    if (url_command_has(connection_, "raw") || url_command_has(connection_, "htmltree")) {
        if (url_command_has(connection_, "raw")) {
            show_filebuf(connection_, body_.get());
        } else {
            // A stream attached for prefetching has had the body on its way in from the server;
            // one that has seen nothing yet (none attached, or a body from the cache) is given
            // the whole body now.
            HTMLStream* stream = connection_htmlstream(connection_);
            if (stream == nullptr) {
                connection_->htmlstream = htmlstream_new(connection_);
                stream = connection_htmlstream(connection_);
            }
            if (stream->scanned() == 0)
                htmlstream_feed(stream, body_->data(), body_->size());
            htmlstream_flush(stream);
            show_htmltree(connection_);
        }
        return done(1);
    }
    // One that still carries its Content-Encoding is never compressed over it.
    if (!undecoded)
        filebuf_encode(body_.get(), connection_);
    return Step::Continue;
}

Step HttpExchange::body_cut()
{
    // Nothing has gone to the client yet, so it is told instead of getting a well-framed piece.
    // The transfer stays marked failed: the connection thread drops the stored copy and closes
    // both connections.
    body_.reset();
    connection_->keepalive_server = 0;
    connection_->keepalive_client = 0;
    const bool allowance_used = connection_->download_allowance == 0;
    if (!allowance_used)
        putlog(LOG_ERROR, "Bad response from server");
    const int sent = allowance_used ? template_section->send("downloadlimit", connection_, 200)
                                    : template_section->send("badresponse", connection_, 400);
    if (sent == 1) {
        connection_->logentry.Write();
        connection_->logentry.apache_Write();
    } else {
        log_response(connection_, false);
    }
    return done(1);
}

Step HttpExchange::body_send()
{
    HEADER* response = slot_.get();
    if (buffered()) {
        // Above the download buffer limit the body streams as it is; a client that has gone is
        // sent nothing.
        if (body_rest_) {
            response_stream_rest(connection_, body_.get());
        } else if (body_whole_) {
            keepalive_check_client(connection_);
            response->content_length = static_cast<std::int64_t>(body_->size());
            response->flags |= HEADER_LENGTH;
            response->chunked = 0;
            header_send(response, connection_, SIDE_CLIENT, HEADER_TO_CLIENT);
            http_send_body(connection_, body_.get());
        }
        return Step::Continue;
    }
    const bool rechunk = request_->version == HTTP_VERSION_11;
    if (response->chunked != 0 && !rechunk) {
        // An HTTP/1.0 client takes the body de-chunked, ended by the close.
        response->chunked = 0;
        connection_->keepalive_client = 0;
        header_send(response, connection_, SIDE_CLIENT, HEADER_TO_CLIENT);
        response->chunked = 1;
    } else if (from_server_ && (connection_->flags & CONN_HEAD) == 0 && connection_->server != nullptr &&
               connection_->server->input_length() > 0) {
        // The body's first bytes came with the header: both reach the client in one send.
        header_send_held(response, connection_, HEADER_TO_CLIENT);
    } else if (!from_server_ && cache_whole_ && (connection_->flags & CONN_HEAD) == 0 &&
               connection_htmlstream(connection_) == nullptr) {
        // A complete cached body is at hand: a small one leaves with the header in one send.
        header_send_held(response, connection_, HEADER_TO_CLIENT);
    } else {
        header_send(response, connection_, SIDE_CLIENT, HEADER_TO_CLIENT);
    }
    if (from_server_) {
        if ((connection_->flags & CONN_HEAD) == 0)
            http_transfer(connection_, SIDE_SERVER, rechunk);
    } else {
        if (HTMLStream* stream = connection_htmlstream(connection_); stream != nullptr) {
            const std::unique_ptr<Filebuf> copy = cache_section->read_filebuf(cache_.get());
            htmlstream_feed(stream, copy->data(), copy->size());
            htmlstream_flush(stream);
        }
        cache_section->send(cache_.get(), connection_, SIDE_CLIENT);
    }
    return Step::Continue;
}

Step HttpExchange::response_logged()
{
    log_response(connection_, true);
    return done(1);
}

} // namespace

int protocol_http(CONNECTION_T* connection)
{
    return HttpExchange(connection).run();
}
