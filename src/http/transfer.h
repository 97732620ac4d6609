// Moving bodies between the two sockets of a connection, or between a socket and a Filebuf:
// relaying a body of known length or up to the close of the stream, reading a body into a
// buffer, and writing a buffer plainly or in chunked transfer coding.
//
// Sides: 0 the client socket, 1 the server socket, 2 the client socket written even when the
// connection is flagged as having no client. For the relay and the read the side names the
// source: 1 reads from the server, 0 (or 2) from the client. A write to side 0 of a connection
// without a client writes nothing and counts the whole buffer as sent.
//
// Every wait lasts at most the connection's connect time-out, and none while the source still
// holds buffered input.
#pragma once

#include <cstddef>
#include <cstdint>

class Filebuf;
struct CONNECTION_T;

enum : int {
    SIDE_CLIENT = 0,
    SIDE_SERVER = 1,
    SIDE_CLIENT_ALWAYS = 2,
};

// A length that lasts until the source closes.
constexpr std::int64_t TRANSFER_UNTIL_CLOSE = -1;

// While one side already holds this much unread input, it is no longer read ahead: a peer that
// keeps sending while the other side is read cannot fill the process's memory.
constexpr std::size_t READAHEAD_MAX = 4 * 65536;

// Writes the whole buffer to the side's socket and flushes: the bytes sent at once (those left
// queued in the socket go out with its next write), or -1 when the socket failed or there is
// none. A null buffer sends nothing.
long net_filebuf_send(const Filebuf* buffer, CONNECTION_T* connection, int side);

// Writes the buffer in chunked transfer coding, at most BLOCKSIZE bytes per chunk, then the last
// chunk: the data bytes written. A write the socket only queued is no failure; a failed one
// ends the body without its last chunk, marks the transfer failed (so the connection is not
// kept) and gives -1.
long net_filebuf_send_chunked(const Filebuf* buffer, CONNECTION_T* connection, int side);

// Reads length bytes (TRANSFER_UNTIL_CLOSE: until the source closes or falls silent) from the
// side into buffer, or drops them when buffer is null. 1 when every byte came (or the read was
// until close), else 0 with the transfer marked failed.
int net_filebuf_read(Filebuf* buffer, CONNECTION_T* connection, int side, std::int64_t length);

// Reads from the side into buffer until the source closes or falls silent (1), or until the
// buffer holds at least maximum bytes (0: more may follow, nothing is lost). Whatever ended the
// read, nothing is marked failed.
int net_filebuf_read_upto(Filebuf* buffer, CONNECTION_T* connection, int side, std::size_t maximum);

// Relays length bytes (or until close) from the side's socket to the other one; without the
// other socket the bytes are read and dropped. The bytes read from the source. A relay of known
// length that ends short, and any relay whose destination failed, marks the transfer failed.
std::int64_t net_transfer(CONNECTION_T* connection, int side, std::int64_t length);
