// The HTTP protocol handler: sends the request upstream (or takes the answer from the cache),
// reads and checks the response header, lets the filters act, and buffers or streams the body
// to the client. Also the helpers that move message bodies by their framing (known length,
// chunked, until close).
//
// Sides: 1 the response, read from the server; 0 the request body, read from the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct CONNECTION_T;
class Filebuf;

// 1 when the request was handled (answered, blocked, or given up after a response), -1 when no
// usable response header came (the client has been answered).
int protocol_http(CONNECTION_T* connection);

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

// Reads the body of the side's message and drops it. 1 when the whole body was read.
int http_transfer_discard(CONNECTION_T* connection, int side);

// Sets the server keep-alive flag from the response; a response that ends with the connection
// also ends the client's.
void keepalive_check_server(CONNECTION_T* connection);
