#include "http/transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <string>

#include "cache/cache.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "util/log.h"
#include "core/options.h"
#include "net/socket.h"

namespace {

constexpr short LOST = POLLERR | POLLHUP | POLLNVAL;

Socket* source_socket(CONNECTION_T* connection, int side)
{
    return side == SIDE_SERVER ? connection->server.get() : connection->client.get();
}

Socket* other_socket(CONNECTION_T* connection, int side)
{
    return side == SIDE_SERVER ? connection->client.get() : connection->server.get();
}

int wait_ms(CONNECTION_T* connection, const Socket* source)
{
    if (source->input_length() > 0)
        return 0;
    const int seconds = general_section != nullptr ? general_section->ctimeout_get(connection) : 60;
    return seconds > 0 ? seconds * 1000 : 0;
}

// Below this many bytes left a pipe costs more system calls than the copy it saves.
constexpr std::int64_t SPLICE_MIN = 65536;

std::size_t block_size()
{
    return static_cast<std::size_t>(std::max(BLOCKSIZE, 1));
}

// What one wait on a source and its opposite socket found.
enum class Ready {
    source,        // the source has bytes to deliver (buffered or readable)
    other,         // only the other socket spoke and was read ahead: wait again
    timeout,
    failed,        // the poll itself failed
    source_lost,   // the source reports an error or hang-up without input
    other_closed,  // the other socket reached its end of stream
    other_lost,    // the other socket reports an error or hang-up
};

// Waits for the source; input arriving meanwhile on the other socket is read into its buffer.
Ready wait_source(CONNECTION_T* connection, Socket* source, Socket* other)
{
    // Buffered input is delivered whatever a poll would report: no system call is needed.
    if (source->input_length() > 0)
        return Ready::source;
    for (;;) {
        pollfd fds[2] = {{source->fd(), POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (other != nullptr && other->fd() >= 0) {
            fds[1].fd = other->fd();
            fds[1].events = other->input_length() < READAHEAD_MAX ? POLLIN : 0;
            count = 2;
        }
        const int n = poll(fds, count, wait_ms(connection, source));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Ready::failed;
        }
        if (source->input_length() > 0 || (fds[0].revents & POLLIN) != 0)
            return Ready::source;
        if (n == 0)
            return Ready::timeout;
        if ((fds[0].revents & LOST) != 0)
            return Ready::source_lost;
        if (count == 2 && (fds[1].revents & POLLIN) != 0) {
            if (other->Read(nullptr, -1) <= 0)
                return Ready::other_closed;
            continue;
        }
        if (count == 2 && (fds[1].revents & LOST) != 0)
            return Ready::other_lost;
    }
}

// One read of at most `want` bytes from the source, appended to buffer (dropped when null).
// The bytes read, or 0 / -1 as Socket::Read gives them.
int read_block(Socket* source, Filebuf* buffer, std::size_t want)
{
    if (buffer == nullptr) {
        std::string scratch(want, '\0');
        return source->Read(scratch.data(), static_cast<int>(want));
    }
    const std::size_t before = buffer->size();
    if (buffer->Resize(before + want) != 0)
        return -1;
    const int n = source->Read(buffer->data() + before, static_cast<int>(want));
    buffer->Resize(before + static_cast<std::size_t>(std::max(n, 0)));
    return n;
}

// The read loop shared by the two buffer readers. Reads until `length` bytes came (-1: no
// length), the buffer holds `maximum` bytes, or the source ends. The bytes read.
std::int64_t read_into(Filebuf* buffer, CONNECTION_T* connection, int side, std::int64_t length,
                       std::size_t maximum, bool* stopped_at_maximum)
{
    Socket* source = source_socket(connection, side);
    std::int64_t total = 0;
    if (source == nullptr)
        return 0;
    for (;;) {
        if (length >= 0 && total >= length)
            break;
        if (buffer != nullptr && buffer->size() >= maximum) {
            *stopped_at_maximum = true;
            break;
        }
        Socket* other = other_socket(connection, side);
        const Ready ready = wait_source(connection, source, other);
        if (ready == Ready::source) {
            std::size_t want = block_size();
            if (length >= 0)
                want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(want), length - total));
            if (buffer != nullptr && maximum - buffer->size() < want)
                want = maximum - buffer->size();
            const int n = read_block(source, buffer, want);
            if (n <= 0)
                break;
            total += n;
            continue;
        }
        if (ready == Ready::source_lost)
            putlog(LOG_ERROR, "network: sock1 lost while reading data, system overloaded or network disrupted");
        else if (ready == Ready::other_lost)
            putlog(LOG_ERROR, "network: sock2 lost while reading data, system overloaded or network disrupted");
        break;
    }
    return total;
}

// A write to the side's socket: the bytes sent at once, -1 when the socket failed or is missing.
// A side-0 write to a connection without a client counts as sent whole.
long side_write(CONNECTION_T* connection, int side, const char* bytes, std::size_t length)
{
    if (side == SIDE_CLIENT && (connection->flags & CONN_NOCLIENT) != 0)
        return static_cast<long>(length);
    Socket* socket = side == SIDE_SERVER ? connection->server.get() : connection->client.get();
    if (socket == nullptr)
        return -1;
    return socket->Write(bytes, static_cast<long>(length));
}

// A response that other clients wait for in the cache goes on into the cache when its own client
// has gone: true when the client was let go for that.
bool client_let_go(CONNECTION_T* connection, int side)
{
    if (side != SIDE_SERVER || (connection->flags & CONN_CACHE) == 0)
        return false;
    CACHEMAP* object = connection_cache(connection);
    if (object == nullptr || cache_section == nullptr || cache_section->refcount(object) <= 1)
        return false;
    putlog(LOG_ERROR, "network: allowing transfer with no client to continue");
    connection->client.reset();
    connection->flags |= CONN_NOCLIENT;
    return true;
}

} // namespace

long net_filebuf_send(const Filebuf* buffer, CONNECTION_T* connection, int side)
{
    if (buffer == nullptr)
        return 0;
    if (side == SIDE_CLIENT && (connection->flags & CONN_NOCLIENT) != 0)
        return static_cast<long>(buffer->size());
    Socket* socket = side == SIDE_SERVER ? connection->server.get() : connection->client.get();
    if (socket == nullptr)
        return -1;
    return socket->WriteFilebuf(*buffer);
}

long net_filebuf_send_chunked(const Filebuf* buffer, CONNECTION_T* connection, int side)
{
    const std::size_t size = buffer != nullptr ? buffer->size() : 0;
    if (side == SIDE_CLIENT && (connection->flags & CONN_NOCLIENT) != 0)
        return static_cast<long>(size);
    Socket* socket = side == SIDE_SERVER ? connection->server.get() : connection->client.get();
    if (socket == nullptr)
        return -1;

    const std::size_t block = block_size();
    std::string chunk;
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t n = std::min(block, size - sent);
        char line[32];
        const int head = std::snprintf(line, sizeof line, "%zx\r\n", n);
        chunk.assign(line, static_cast<std::size_t>(head));
        chunk.append(buffer->data() + sent, n);
        chunk.append("\r\n");
        if (socket->Write(chunk.data(), static_cast<long>(chunk.size())) < 0) {
            // A body cut here must never look complete: no last chunk, and the connection goes.
            connection->flags |= CONN_TRANSFER_FAILED;
            return -1;
        }
        sent += n;
    }
    if (socket->Write("0\r\n\r\n", 5) < 0) {
        connection->flags |= CONN_TRANSFER_FAILED;
        return -1;
    }
    socket->Flush();
    return static_cast<long>(sent);
}

int net_filebuf_read(Filebuf* buffer, CONNECTION_T* connection, int side, std::int64_t length)
{
    bool stopped = false;
    const std::int64_t total = read_into(buffer, connection, side, length, SIZE_MAX, &stopped);
    if (length < 0 || total >= length)
        return 1;
    connection->flags |= CONN_TRANSFER_FAILED;
    return 0;
}

int net_filebuf_read_upto(Filebuf* buffer, CONNECTION_T* connection, int side, std::size_t maximum)
{
    bool stopped = false;
    read_into(buffer, connection, side, TRANSFER_UNTIL_CLOSE, maximum, &stopped);
    return stopped ? 0 : 1;
}

std::int64_t net_transfer(CONNECTION_T* connection, int side, std::int64_t length)
{
    Socket* source = source_socket(connection, side);
    if (source == nullptr) {
        if (length > 0)
            connection->flags |= CONN_TRANSFER_FAILED;
        return 0;
    }
    const int destination_side = side == SIDE_SERVER ? SIDE_CLIENT : SIDE_SERVER;
    std::int64_t total = 0;
    bool destination_failed = false;
    // Every byte of the block is read before it is written on: no need to clear it first.
    const std::size_t block_length = block_size();
    const auto block = std::make_unique_for_overwrite<char[]>(block_length);
    std::unique_ptr<SplicePipe> pipe;   // opened at the first bytes that can go through it

    while (length < 0 || total < length) {
        Socket* destination = other_socket(connection, side);
        const Ready ready = wait_source(connection, source, destination);
        if (ready == Ready::source) {
            // Bytes nobody looks at (no callback, no TLS, no rate group) go socket to socket in
            // the kernel; the rest are copied block by block. Bytes the source already holds go
            // first, copied without reading more, so that its buffer empties.
            const bool spliceable = destination != nullptr && (length < 0 || length - total >= SPLICE_MIN) &&
                                    (destination_side != SIDE_CLIENT || (connection->flags & CONN_NOCLIENT) == 0) &&
                                    source->CanSpliceTo(*destination);
            if (spliceable && source->input_length() == 0 && destination->output_length() == 0) {
                if (pipe == nullptr)
                    pipe = std::make_unique<SplicePipe>();
                const std::size_t left = length < 0 ? pipe->capacity() : static_cast<std::size_t>(length - total);
                const Socket::Spliced moved = source->SpliceTo(*destination, *pipe, left);
                if (moved.read != -2) {
                    if (moved.read <= 0)
                        break;
                    total += moved.read;
                    if (moved.destination_failed) {
                        if (client_let_go(connection, side))
                            continue;
                        destination_failed = true;
                        break;
                    }
                    continue;
                }
            }
            std::size_t want = block_length;
            if (length >= 0)
                want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(want), length - total));
            if (spliceable && source->input_length() > 0)
                want = std::min(want, source->input_length());
            const int n = source->Read(block.get(), static_cast<int>(want));
            if (n <= 0)
                break;
            total += n;
            if (destination != nullptr && (destination_side != SIDE_CLIENT || (connection->flags & CONN_NOCLIENT) == 0) &&
                side_write(connection, destination_side, block.get(), static_cast<std::size_t>(n)) < 0) {
                if (client_let_go(connection, side))
                    continue;
                destination_failed = true;
                break;
            }
            continue;
        }
        if (ready == Ready::source_lost) {
            putlog(LOG_ERROR, "network: client socket lost while transferring data between sockets, system overloaded "
                              "or network disrupted");
        } else if (ready == Ready::other_closed || ready == Ready::other_lost) {
            if (client_let_go(connection, side))
                continue;
            destination_failed = true;
        }
        break;
    }

    if (Socket* destination = other_socket(connection, side); destination != nullptr && !destination_failed)
        destination->Flush();
    if (length >= 0 && total < length) {
        putlog(LOG_DEBUG, "network: transfer failed");
        connection->flags |= CONN_TRANSFER_FAILED;
    } else if (destination_failed) {
        connection->flags |= CONN_TRANSFER_FAILED;
    }
    return total;
}
