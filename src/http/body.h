// Message bodies by their framing (a known length, chunks, or until the sender closes): reading
// a whole body into a buffer, relaying one from one side to the other (re-chunked or
// de-chunked), dropping one, sending the request body upstream, and the read callback that
// feeds the HTML stream and the cache and spends the download allowance as a response body moves.
//
// Sides: 1 the response, read from the server; 0 the request body, read from the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct CONNECTION_T;
class Filebuf;

// Sends body to the client unless the request is HEAD.
void http_send_body(CONNECTION_T* connection, Filebuf* body);

// Socket read callback on the server socket while a response body moves (data: the connection):
// feeds the HTML stream and the cache entry, counts the bytes and enforces the download
// allowance. 0 to go on, -1 to stop the transfer.
int protocol_http_read_callback(void* data, long length, const char* bytes);

// The size of the next chunk read from the side, or -1 when the size line cannot be read or
// its number is missing, malformed or too large.
std::int64_t next_chunksize(CONNECTION_T* connection, int side);

// The whole body of the side's message, de-chunked. The read stops early, with *more set to 1,
// before the buffer would exceed maximum: the rest of the body then waits, intact and at a chunk
// boundary, for http_transfer_rest. Without `more` there is no limit. A body cut short or badly
// framed marks the transfer failed.
std::unique_ptr<Filebuf> http_transfer_filebuf(CONNECTION_T* connection, int side,
                                               std::size_t maximum = SIZE_MAX, int* more = nullptr);

// Relays the body of the side's message to the other side. A chunked body is re-chunked chunk
// for chunk when rechunk is true, else passed on de-chunked. A body cut short or badly framed
// marks the transfer failed and never gets its last chunk. 1 when the whole body passed.
int http_transfer(CONNECTION_T* connection, int side, bool rechunk = true);

// As http_transfer for the rest of a body of which `done` bytes were already read by
// http_transfer_filebuf.
int http_transfer_rest(CONNECTION_T* connection, int side, std::int64_t done, bool rechunk = true);

// Sends the client `read`, the part of the response body that http_transfer_filebuf took before
// its limit stopped it, framed as the rest will be (as one chunk when the body is chunked and
// rechunk is true), then relays the rest as http_transfer_rest does.
void http_transfer_read_and_rest(CONNECTION_T* connection, const Filebuf* read, bool rechunk);

// Reads the body of the side's message and drops it. 1 when the whole body was read.
int http_transfer_discard(CONNECTION_T* connection, int side);

// Sends the request body to the server: relayed from the client when it streams (a chunked body
// of which a first part was buffered sends that part as one chunk first), else the buffer.
// false when the body could not be sent whole (the server failed, the client's body came short or
// went beyond the upload allowance): neither side is kept then.
bool http_request_body_send(CONNECTION_T* connection);
