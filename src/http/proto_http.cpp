#include "http/proto_http.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <strings.h>

#include "cache/cache.h"
#include "http/connection.h"
#include "http/encoding.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "http/header.h"
#include "policy/headerfilter.h"
#include "admin/interface.h"
#include "util/log.h"
#include "policy/mime.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "config/profile.h"
#include "http/protocol.h"
#include "http/proxyauth.h"
#include "policy/redirect.h"
#include "http/request.h"
#include "http/response.h"
#include "net/socket.h"
#include "admin/statgroups.h"
#include "config/template.h"
#include "http/transfer.h"
#include "http/urlcommand.h"

namespace {

// A chunk-size line longer than this is refused.
constexpr std::size_t CHUNK_LINE_MAX = 64;

enum class Framing { none, length, chunked, close };

HEADER* side_header(CONNECTION_T* connection, int side)
{
    return side == SIDE_SERVER ? connection->response : connection->request.get();
}

Socket* side_socket(CONNECTION_T* connection, int side)
{
    return side == SIDE_SERVER ? connection->server.get() : connection->client.get();
}

// A request body has a length or is chunked; one without either has no body. A response
// without either lasts until the server closes.
Framing framing_of(CONNECTION_T* connection, int side)
{
    const HEADER* header = side_header(connection, side);
    if (header == nullptr)
        return Framing::none;
    if (header->chunked != 0)
        return Framing::chunked;
    if ((header->flags & HEADER_LENGTH) != 0)
        return Framing::length;
    return side == SIDE_SERVER ? Framing::close : Framing::none;
}

int line_timeout(CONNECTION_T* connection)
{
    return general_section->timeout_get(connection);
}

void transfer_failed(CONNECTION_T* connection, int side)
{
    connection->flags |= CONN_TRANSFER_FAILED;
    if (side == SIDE_SERVER)
        connection->keepalive_server = 0;
}

// The chunk size written in a size line: hexadecimal digits, blanks, an optional extension
// after ';', the line end. -1 for anything else or a number beyond 63 bits.
std::int64_t chunk_size_parse(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    std::int64_t size = 0;
    std::size_t digits = 0;
    for (; i < line.size(); ++i, ++digits) {
        const char c = line[i];
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            break;
        if (size > (INT64_MAX >> 4))
            return -1;
        size = (size << 4) | value;
    }
    if (digits == 0)
        return -1;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i < line.size() && line[i] == ';')
        return size;
    if (line.substr(i) == "\r\n" || line.substr(i) == "\n")
        return size;
    return -1;
}

// Reads a chunk-size line from the socket; its text goes to raw (for putting it back).
std::int64_t chunk_size_read(Socket* socket, int timeout, std::string* raw)
{
    if (socket == nullptr)
        return -1;
    char line[CHUNK_LINE_MAX + 2];
    const int n = socket->GetLine(line, sizeof line, timeout);
    if (n <= 0 || static_cast<std::size_t>(n) > CHUNK_LINE_MAX)
        return -1;
    if (raw != nullptr)
        raw->assign(line, static_cast<std::size_t>(n));
    return chunk_size_parse(std::string_view(line, static_cast<std::size_t>(n)));
}

// The empty line after a chunk's data.
bool chunk_end_read(Socket* socket, int timeout)
{
    char line[8];
    const int n = socket->GetLine(line, sizeof line, timeout);
    const std::string_view text(line, n > 0 ? static_cast<std::size_t>(n) : 0);
    return text == "\r\n" || text == "\n";
}

// The trailer lines after the last chunk, up to and including the blank line.
bool trailers_read(Socket* socket, int timeout)
{
    std::size_t total = 0;
    char line[HEADER_AREA];
    for (;;) {
        const int n = socket->GetLine(line, sizeof line, timeout);
        if (n <= 0)
            return false;
        const std::string_view text(line, static_cast<std::size_t>(n));
        if (text == "\r\n" || text == "\n")
            return true;
        total += static_cast<std::size_t>(n);
        if (total > HEADER_AREA)
            return false;
    }
}

// Writes chunk framing towards the side's destination; a destination that is absent or
// was let go takes nothing. false when the write failed.
bool frame_write(CONNECTION_T* connection, int side, std::string_view text)
{
    if (side == SIDE_SERVER && (connection->flags & CONN_NOCLIENT) != 0)
        return true;
    Socket* destination = side == SIDE_SERVER ? connection->client.get() : connection->server.get();
    if (destination == nullptr)
        return true;
    return destination->Write(text.data(), static_cast<long>(text.size())) >= 0;
}

std::string chunk_head(std::uint64_t size)
{
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%" PRIx64 "\r\n", size);
    return std::string(line, static_cast<std::size_t>(n));
}

// Keeps the read callback on the server socket for as long as a response body moves.
class ReadCallback {
public:
    ReadCallback(CONNECTION_T* connection, int side)
    {
        if (side == SIDE_SERVER && connection->server != nullptr && (connection->flags & CONN_NOCALLBACK) == 0) {
            socket_ = connection->server.get();
            id_ = socket_->CallBackAdd(protocol_http_read_callback, connection, SOCKET_EVENT_READ);
        }
    }
    ReadCallback(const ReadCallback&) = delete;
    ReadCallback& operator=(const ReadCallback&) = delete;
    ~ReadCallback()
    {
        if (socket_ != nullptr)
            socket_->CallBackRemove(id_);
    }

private:
    Socket* socket_ = nullptr;
    int id_ = 0;
};

// Reads (or, with a null buffer, drops) the chunks of a body. 1 complete, 0 failed, 2 stopped
// before a chunk that would take the buffer beyond maximum, its size line put back.
int chunked_read(CONNECTION_T* connection, int side, Filebuf* buffer, std::size_t maximum)
{
    Socket* socket = side_socket(connection, side);
    const int timeout = line_timeout(connection);
    for (;;) {
        std::string raw;
        const std::int64_t size = chunk_size_read(socket, timeout, &raw);
        if (size < 0)
            return 0;
        if (size == 0)
            return trailers_read(socket, timeout) ? 1 : 0;
        if (buffer != nullptr && static_cast<std::uint64_t>(size) > maximum - buffer->size()) {
            socket->PushFront(raw.data(), raw.size());
            return 2;
        }
        if (net_filebuf_read(buffer, connection, side, size) != 1)
            return 0;
        if (!chunk_end_read(socket, timeout))
            return 0;
    }
}

// Relays the chunks of a body, re-chunked or de-chunked. 1 complete, 0 failed.
int chunked_relay(CONNECTION_T* connection, int side, bool rechunk)
{
    Socket* socket = side_socket(connection, side);
    const int timeout = line_timeout(connection);
    for (;;) {
        const std::int64_t size = chunk_size_read(socket, timeout, nullptr);
        if (size < 0)
            return 0;
        if (size == 0) {
            if (!trailers_read(socket, timeout))
                return 0;
            return !rechunk || frame_write(connection, side, "0\r\n\r\n") ? 1 : 0;
        }
        if (rechunk && !frame_write(connection, side, chunk_head(static_cast<std::uint64_t>(size))))
            return 0;
        const std::uint32_t failed_before = connection->flags & CONN_TRANSFER_FAILED;
        if (net_transfer(connection, side, size) < size ||
            (connection->flags & CONN_TRANSFER_FAILED) != failed_before)
            return 0;
        if (rechunk && !frame_write(connection, side, "\r\n"))
            return 0;
        if (!chunk_end_read(socket, timeout))
            return 0;
    }
}

void flush_towards(CONNECTION_T* connection, int side)
{
    Socket* destination = side == SIDE_SERVER ? connection->client.get() : connection->server.get();
    if (destination != nullptr)
        destination->Flush();
}

// Sends the request body to the server: relayed from the client when it streams (a chunked body
// of which a first part was buffered sends that part as one chunk first), else the buffer.
// false when the body could not be sent whole: the request is then given up, neither side kept.
bool request_body_send(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    if ((request->flags & HEADER_LENGTH) == 0 && request->chunked == 0)
        return true;
    bool sent = true;
    if ((connection->flags & CONN_STREAM) != 0) {
        if (request->chunked != 0 && connection->body != nullptr && connection->body->size() > 0) {
            const std::string head = chunk_head(connection->body->size());
            sent = connection->server != nullptr &&
                   connection->server->Write(head.data(), static_cast<long>(head.size())) >= 0 &&
                   connection->server->Write(connection->body->data(), static_cast<long>(connection->body->size())) >= 0 &&
                   connection->server->Write("\r\n", 2) >= 0;
        }
        sent = sent && http_transfer(connection, SIDE_CLIENT) == 1;
        if (sent)
            connection->flags &= ~CONN_BODY_PENDING;
    } else if (connection->body != nullptr) {
        sent = net_filebuf_send(connection->body.get(), connection, SIDE_SERVER) >= 0;
    }
    if (!sent) {
        connection->flags |= CONN_TRANSFER_FAILED;
        connection->keepalive_server = 0;
        connection->keepalive_client = 0;
    }
    return sent;
}

// The response to the client once the buffer limit stopped the read: the buffered part, then the
// rest relayed as it comes. A chunked body goes to an HTTP/1.1 client re-chunked, to an older
// one de-chunked and ended by the close of the connection.
void response_stream_rest(CONNECTION_T* connection, Filebuf* body)
{
    HEADER* response = connection->response;
    const bool chunked = response->chunked != 0;
    const bool rechunk = connection->request->version == HTTP_VERSION_11;
    if (framing_of(connection, SIDE_SERVER) == Framing::close || (chunked && !rechunk))
        connection->keepalive_client = 0;
    // What the client is told of the framing; the rest is read by the server's framing.
    response->chunked = chunked && rechunk ? 1 : 0;
    header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    response->chunked = chunked ? 1 : 0;
    if (body->size() > 0) {
        if (chunked && rechunk)
            frame_write(connection, SIDE_SERVER, chunk_head(body->size()));
        net_filebuf_send(body, connection, SIDE_CLIENT);
        if (chunked && rechunk)
            frame_write(connection, SIDE_SERVER, "\r\n");
    }
    http_transfer_rest(connection, SIDE_SERVER, static_cast<std::int64_t>(body->size()), rechunk);
}

// The end of a request that took no body from the server: nothing of its response may be
// pooled or cached.
int response_without_body(CONNECTION_T* connection)
{
    if (CACHEMAP* object = connection_cache(connection); object != nullptr) {
        cache_section->invalidate(object);
        connection_cache_set(connection, nullptr);
    }
    connection->keepalive_server = 0;
    return 1;
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
    if (template_section->send("badresponse", connection, 400) == 0)
        connection->keepalive_client = 0;
    return -1;
}

} // namespace

void http_send_body(CONNECTION_T* connection, Filebuf* body)
{
    if ((connection->flags & CONN_HEAD) == 0)
        net_filebuf_send(body, connection, SIDE_CLIENT);
}

int protocol_http_read_callback(void* data, long length, const char* bytes)
{
    auto* connection = static_cast<CONNECTION_T*>(data);
    if (length <= 0)
        return 0;
    if (HTMLStream* stream = connection_htmlstream(connection);
        stream != nullptr && connection->response != nullptr && !connection->response->content_encoding)
        htmlstream_feed(stream, bytes, static_cast<std::size_t>(length));
    if (body_block_account(connection, bytes, static_cast<std::size_t>(length)) < 0)
        return -1;
    buffertimeout_check(connection);
    return 0;
}

std::int64_t next_chunksize(CONNECTION_T* connection, int side)
{
    return chunk_size_read(side_socket(connection, side), line_timeout(connection), nullptr);
}

std::unique_ptr<Filebuf> http_transfer_filebuf(CONNECTION_T* connection, int side, std::size_t maximum, int* more)
{
    auto body = std::make_unique<Filebuf>();
    if (more != nullptr)
        *more = 0;
    else
        maximum = SIZE_MAX;
    ReadCallback callback(connection, side);
    const HEADER* header = side_header(connection, side);
    switch (framing_of(connection, side)) {
    case Framing::chunked: {
        const int result = chunked_read(connection, side, body.get(), maximum);
        if (result == 2)
            *more = 1;
        else if (result == 0)
            transfer_failed(connection, side);
        break;
    }
    case Framing::length:
        if (static_cast<std::uint64_t>(header->content_length) > maximum) {
            *more = 1;
        } else if (net_filebuf_read(body.get(), connection, side, header->content_length) != 1) {
            transfer_failed(connection, side);
        }
        break;
    case Framing::close:
        if (net_filebuf_read_upto(body.get(), connection, side, maximum) == 0)
            *more = 1;
        break;
    case Framing::none:
        break;
    }
    return body;
}

int http_transfer_rest(CONNECTION_T* connection, int side, std::int64_t done, bool rechunk)
{
    int result = 1;
    {
        ReadCallback callback(connection, side);
        const HEADER* header = side_header(connection, side);
        switch (framing_of(connection, side)) {
        case Framing::chunked:
            result = chunked_relay(connection, side, rechunk);
            break;
        case Framing::length: {
            const std::int64_t left = header->content_length - done;
            if (left > 0 && net_transfer(connection, side, left) < left)
                result = 0;
            break;
        }
        case Framing::close:
            net_transfer(connection, side, TRANSFER_UNTIL_CLOSE);
            break;
        case Framing::none:
            break;
        }
        if (result == 0)
            transfer_failed(connection, side);
        flush_towards(connection, side);
    }
    if (side == SIDE_SERVER)
        if (HTMLStream* stream = connection_htmlstream(connection); stream != nullptr)
            htmlstream_flush(stream);
    return result;
}

int http_transfer(CONNECTION_T* connection, int side, bool rechunk)
{
    return http_transfer_rest(connection, side, 0, rechunk);
}

int http_transfer_discard(CONNECTION_T* connection, int side)
{
    const HEADER* header = side_header(connection, side);
    int result = 1;
    switch (framing_of(connection, side)) {
    case Framing::chunked:
        result = chunked_read(connection, side, nullptr, SIZE_MAX);
        break;
    case Framing::length:
        result = net_filebuf_read(nullptr, connection, side, header->content_length);
        break;
    case Framing::close:
        net_filebuf_read(nullptr, connection, side, TRANSFER_UNTIL_CLOSE);
        break;
    case Framing::none:
        break;
    }
    if (result != 1)
        transfer_failed(connection, side);
    return result;
}

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

int protocol_http(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    ResponseSlot slot(connection);
    const int timeout = line_timeout(connection);
    const int mode = connection->proxy_type == UPSTREAM_HTTP ? HEADER_TO_PARENT : HEADER_TO_SERVER;
    CACHEMAP* cache = connection_cache(connection);

    // 1. The request, unless the answer comes from the cache.
    HeaderText text;
    if (cache != nullptr && (connection->flags & CONN_VALIDATE) == 0) {
        text = cache->data.substr(0, cache->header_length);
    } else {
        if (general_section->xforwardedfor_get(connection) == 1)
            request->x_forwarded_for = connection->ip;
        if (general_section->via_get(connection) == 1)
            via_header_update(connection);
        header_send(request, connection, SIDE_SERVER, mode);
        if (!request_body_send(connection))
            return -1;
        text = header_get_reconnect(connection, timeout);
        if (!text)
            return -1;
    }

    // 2. The response header, again for every header that replaces it.
    for (;;) {
        if (text->size() >= 5 && strncasecmp(text->c_str(), "HTTP/", 5) == 0)
            text = response_header_rewrite(connection, *text);
        HeaderPtr parsed = text ? http_header_parse_response(*text) : nullptr;
        if (parsed == nullptr)
            return bad_response(connection);
        // Upgrade is never forwarded, so nothing the proxy sent asked for another protocol: a
        // switch would leave the client speaking it to a connection that no longer carries it.
        if (parsed->status == 101)
            return bad_response(connection);
        slot.set(std::move(parsed));
        HEADER* response = slot.get();
        if (response->version == HTTP_VERSION_09 && connection->server != nullptr)
            connection->server->PushFront(text->data(), text->size());
        response->host = request->host;
        response->path = request->path;
        header_variables(connection, "SERVER", response->lines);
        if ((connection->flags & CONN_PREFETCH) == 0)
            profile_section->profiles_update(connection);

        if (url_command_has(connection, "cookies") || url_command_has(connection, "mimeprofiles") ||
            url_command_has(connection, "variables")) {
            if (url_command_has(connection, "cookies"))
                interface_cookies_show(connection);
            else if (url_command_has(connection, "mimeprofiles"))
                show_profiles(connection);
            else
                show_variables(connection);
            connection->keepalive_server = 0;
            return 1;
        }

        // Interim answers never reach the client and decide nothing about the connections: only
        // the final one counts.
        if (is_interim(response->status)) {
            text = header_get(connection, SIDE_SERVER, timeout);
            if (!text) {
                connection->keepalive_server = 0;
                template_section->send("noconnect", connection, 503);
                return -1;
            }
            continue;
        }

        keepalive_check_server(connection);

        if (response->status == 407 && connection->proxy_type == UPSTREAM_HTTP &&
            (connection->flags & CONN_PROXY_AUTH) == 0 &&
            (request->proxy_authorization ||
             (!connection->proxy_username.empty() && !connection->proxy_password.empty()))) {
            if (proxy_authenticate(connection) == 1) {
                connection->flags |= CONN_PROXY_AUTH;
                if (!request_body_send(connection))
                    return -1;
                text = header_get(connection, SIDE_SERVER, timeout);
                if (!text) {
                    connection->keepalive_server = 0;
                    template_section->send("noconnect", connection, 503);
                    return -1;
                }
                continue;
            }
            response->proxy_authenticate.reset();
        }

        if (connection->server == nullptr && cache == nullptr) {
            connection->keepalive_server = 0;
            return 1;
        }

        if (cache != nullptr && (connection->flags & CONN_VALIDATE) != 0) {
            bool valid = response->status == 304;
            if (!valid && response->last_modified && cache->lastmod != 0) {
                std::tm broken{};
                if (strptime(response->last_modified->c_str(), "%a, %d %b %Y %T GMT", &broken) != nullptr &&
                    std::mktime(&broken) == cache->lastmod) {
                    valid = true;
                    connection->server.reset();
                    connection->keepalive_server = 0;
                }
            }
            if (valid) {
                connection->logentry.set_cachecode(3);
                connection->flags = (connection->flags & ~CONN_VALIDATE) | CONN_VALIDATED;
                cache_section->validated(cache);
                text = cache->data.substr(0, cache->header_length);
                putlog(LOG_CACHE, "validated: %s", cache->key.c_str());
                statincr_cacherefreshhit(connection);
                continue;
            }
            statdecr_cachehit(connection);
            statincr_cachemiss(connection);
            statincr_cacherefreshmiss(connection);
            connection->logentry.set_cachecode(5);
            putlog(LOG_CACHE, "failed validation: %s", cache->key.c_str());
            cache_section->invalidate(cache);
            connection_cache_set(connection, nullptr);
            cache = nullptr;
        }
        break;
    }
    HEADER* response = slot.get();

    // 3. Before the body.
    if (cache != nullptr && (connection->flags & CONN_VALIDATE) == 0) {
        response->age = std::to_string(static_cast<unsigned>(std::time(nullptr) - cache->retrieved));
        if ((connection->flags & CONN_VALIDATED) == 0 && cache_section->stale(cache) != 0)
            response->warning = "110 stale cache";
        if (transfer_limit_check(connection) == 0) {
            connection->keepalive_server = 0;
            return 1;
        }
        if ((cache->flags & CACHE_WRITING) == 0) {
            response->content_length = static_cast<std::int64_t>(cache->size) - cache->header_length;
            response->flags |= HEADER_LENGTH;
            response->chunked = 0;
        }
        xcache_header_update(connection, 0);
    } else {
        if (transfer_limit_check(connection) == 0) {
            connection->keepalive_server = 0;
            return 1;
        }
        if (cacheable(connection, request, response) != 0 && request->url) {
            const std::uint32_t flags = (connection->flags & CONN_PREFETCH) != 0 ? (0x1 | CACHE_PREFETCHED) : 0x1;
            cache = cache_section->cache_open(connection, *request->url, text->c_str(), flags);
            if (cache != nullptr) {
                putlog(LOG_CACHE, "create: %s", cache->key.c_str());
                connection->flags |= CONN_CACHE;
                connection_cache_set(connection, cache);
            }
        }
        if (cache == nullptr && (connection->flags & CONN_PREFETCH) != 0) {
            connection->keepalive_server = 0;
            return 1;
        }
        xcache_header_update(connection, 1);
    }

    // 4. A template named after the status replaces the answer.
    if (template_section->send(std::to_string(response->status), connection, response->status) == 1)
        return response_without_body(connection);

    // 5. Redirect Locations keep the request's commands.
    if ((response->status == 301 || response->status == 302) && response->location) {
        redirect_section->redirect_do(connection, REDIRECT_LOCATION);
        if (connection->url_commands != nullptr && response->location)
            response->location = url_command_add(connection, *response->location);
    }

    // 6.
    header_section->filter(connection, HEADERFILTER_RESPONSE);

    // 7. Answers without a body.
    if ((connection->flags & CONN_HEAD) != 0 || (response->status >= 100 && response->status < 200) ||
        response->status == 204 || response->status == 304) {
        header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
        return response_without_body(connection);
    }

    // 8. Everything else.
    if (url_command_has(connection, "mime") || url_command_has(connection, "headers")) {
        if (url_command_has(connection, "mime"))
            mime_section->check_show(connection);
        else
            show_headers(connection);
        return response_without_body(connection);
    }
    if (mime_section->check_and_block(connection) == 1) {
        connection->logentry.set_cachecode(9);
        log_response(connection, false);
        return response_without_body(connection);
    }

    putlog((connection->flags & CONN_PREFETCH) != 0 ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           request->method ? request->method->c_str() : "", request->url ? request->url->c_str() : "");
    statincr_httprequests(connection);
    prefetch_section->setup_callbacks(connection);

    if ((connection->flags & (CONN_PROCESS | CONN_PREFETCH)) != 0 && buffer_check(connection) == 1) {
        connection->flags |= CONN_BUFFER;
        if (cache != nullptr) {
            cache_section->flag_set(cache, CACHE_FORCE);
        } else if (cacheable(connection, request, response) != 0 && request->url) {
            cache = cache_section->cache_open(connection, *request->url, text->c_str(),
                                              CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
            if (cache != nullptr) {
                putlog(LOG_CACHE, "create: %s", cache->key.c_str());
                connection->flags |= CONN_CACHE;
                connection_cache_set(connection, cache);
            }
        }
    }
    putlog(LOG_DEBUG, "buffering: %d processing: %d", (connection->flags & CONN_BUFFER) != 0 ? 1 : 0,
           (connection->flags & CONN_PROCESS) != 0 ? 1 : 0);

    const bool from_server = cache == nullptr || (connection->flags & CONN_CACHE) != 0;
    if ((connection->flags & CONN_BUFFER) != 0) {
        buffertimeout_set(connection);
        std::unique_ptr<Filebuf> body;
        int more = 0;
        if (from_server)
            body = http_transfer_filebuf(connection, SIDE_SERVER, general_section->maxdbuffer_get(connection), &more);
        else
            body = cache_section->read_filebuf(cache);

        if (more != 0) {
            // Above the download buffer limit the body streams as it is.
            response_stream_rest(connection, body.get());
        } else if ((connection->flags & CONN_NOCLIENT) == 0) {
            bool decoded = true;
            if (body->size() > 0 && response->content_encoding) {
                decoded = filebuf_decode(body.get(), connection) == 1;
                if (decoded) {
                    response->content_encoding.reset();
                    if (HTMLStream* stream = connection_htmlstream(connection); stream != nullptr) {
                        htmlstream_feed(stream, body->data(), body->size());
                        htmlstream_flush(stream);
                    }
                }
            }
            if (decoded) {
                if (hooks.Execute(HOOK_PRE_RESPONSE, connection, body.get()) == 1) {
                    connection->keepalive_server = 0;
                    return 1;
                }
                if (process_response(connection, body.get()) == 0) {
                    log_response(connection, false);
                    connection->keepalive_server = 0;
                    return 1;
                }
                if (hooks.Execute(HOOK_POST_RESPONSE, connection, body.get()) != 0) {
                    connection->keepalive_server = 0;
                    return 1;
                }
                if (url_command_has(connection, "raw") || url_command_has(connection, "htmltree")) {
                    if (url_command_has(connection, "raw"))
                        show_filebuf(connection, body.get());
                    else
                        show_htmltree(connection);
                    return 1;
                }
                filebuf_encode(body.get(), connection);
            }
            keepalive_check_client(connection);
            response->content_length = static_cast<std::int64_t>(body->size());
            response->flags |= HEADER_LENGTH;
            response->chunked = 0;
            header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
            http_send_body(connection, body.get());
        }
    } else {
        const bool rechunk = request->version == HTTP_VERSION_11;
        if (response->chunked != 0 && !rechunk) {
            // An HTTP/1.0 client takes the body de-chunked, ended by the close.
            response->chunked = 0;
            connection->keepalive_client = 0;
            header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
            response->chunked = 1;
        } else {
            header_send(response, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
        }
        if (from_server) {
            if ((connection->flags & CONN_HEAD) == 0)
                http_transfer(connection, SIDE_SERVER, rechunk);
        } else {
            if (HTMLStream* stream = connection_htmlstream(connection); stream != nullptr) {
                const std::unique_ptr<Filebuf> copy = cache_section->read_filebuf(cache);
                htmlstream_feed(stream, copy->data(), copy->size());
                htmlstream_flush(stream);
            }
            cache_section->send(cache, connection, SIDE_CLIENT);
        }
    }

    log_response(connection, true);
    return 1;
}
