#include "http/body.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

#include "cache/cache.h"
#include "cache/htmlstream.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/response.h"
#include "http/transfer.h"
#include "net/socket.h"
#include "util/filebuf.h"

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

// Keeps the read callback on the server socket for as long as a response body moves. A relay
// whose bytes nobody needs (no cache object, no HTML stream, no download allowance to spend)
// goes without it, so that the bytes may move without passing through the process; it then
// counts what it relayed itself, where the callback would have counted each block.
class ReadCallback {
public:
    enum class Use { read, relay };

    ReadCallback(CONNECTION_T* connection, int side, Use use = Use::read)
    {
        if (side != SIDE_SERVER || connection->server == nullptr || (connection->flags & CONN_NOCALLBACK) != 0)
            return;
        if (use == Use::relay && connection_cache(connection) == nullptr && connection_htmlstream(connection) == nullptr &&
            connection->download_allowance == ALLOWANCE_UNLIMITED) {
            counted_ = connection;
            return;
        }
        socket_ = connection->server.get();
        id_ = socket_->CallBackAdd(protocol_http_read_callback, connection, SOCKET_EVENT_READ);
    }
    ReadCallback(const ReadCallback&) = delete;
    ReadCallback& operator=(const ReadCallback&) = delete;
    ~ReadCallback()
    {
        if (socket_ != nullptr)
            socket_->CallBackRemove(id_);
    }

    // Bytes of the body relayed from the side: counted here when no callback saw them.
    void Relayed(std::int64_t n)
    {
        if (counted_ != nullptr && n > 0)
            counted_->bytes_in += static_cast<std::uint64_t>(n);
    }

private:
    Socket* socket_ = nullptr;
    int id_ = 0;
    CONNECTION_T* counted_ = nullptr;   // the connection whose bytes_in the relay counts
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
int chunked_relay(CONNECTION_T* connection, int side, bool rechunk, ReadCallback& callback)
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
        // A request body relayed in chunks counts as it goes, as one of known length is counted
        // before it is read: in the bytes out, and against the upload allowance.
        if (side == SIDE_CLIENT) {
            connection->bytes_out += static_cast<std::uint64_t>(size);
            if (upload_beyond_allowance(connection, connection->bytes_out))
                return 0;
        }
        if (rechunk && !frame_write(connection, side, chunk_head(static_cast<std::uint64_t>(size))))
            return 0;
        const std::uint32_t failed_before = connection->flags & CONN_TRANSFER_FAILED;
        const std::int64_t moved = net_transfer(connection, side, size);
        callback.Relayed(moved);
        if (moved < size || (connection->flags & CONN_TRANSFER_FAILED) != failed_before)
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
        ReadCallback callback(connection, side, ReadCallback::Use::relay);
        const HEADER* header = side_header(connection, side);
        switch (framing_of(connection, side)) {
        case Framing::chunked:
            result = chunked_relay(connection, side, rechunk, callback);
            break;
        case Framing::length: {
            const std::int64_t left = header->content_length - done;
            if (left > 0) {
                const std::int64_t moved = net_transfer(connection, side, left);
                callback.Relayed(moved);
                if (moved < left)
                    result = 0;
            }
            break;
        }
        case Framing::close:
            callback.Relayed(net_transfer(connection, side, TRANSFER_UNTIL_CLOSE));
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

void http_transfer_read_and_rest(CONNECTION_T* connection, const Filebuf* read, bool rechunk)
{
    const bool chunked = connection->response->chunked != 0;
    if (read->size() > 0) {
        if (chunked && rechunk)
            frame_write(connection, SIDE_SERVER, chunk_head(read->size()));
        net_filebuf_send(read, connection, SIDE_CLIENT);
        if (chunked && rechunk)
            frame_write(connection, SIDE_SERVER, "\r\n");
    }
    http_transfer_rest(connection, SIDE_SERVER, static_cast<std::int64_t>(read->size()), rechunk);
}

bool http_request_body_send(CONNECTION_T* connection)
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
