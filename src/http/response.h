// Decisions about a response before its body moves: buffer it whole or stream it, whether it fits
// the client's download allowance, and the response stages over a buffered body.
#pragma once

#include <cstddef>

struct CONNECTION_T;
class Filebuf;

// 1 when the response body must be buffered whole before anything is sent, 0 when it may be
// streamed. Clears the connection's "process" flag when no stage needs the body.
int buffer_check(CONNECTION_T* connection);

// 1 when the transfer may go on; 0 when it would exceed the download allowance and the client
// has been answered with "downloadlimit".
int transfer_limit_check(CONNECTION_T* connection);

// Accounts one block of a body read from the server: adds it to the cache object being filled,
// to the bytes in, and takes it from the download allowance. -1 when the transfer must stop (a
// prefetch whose cache copy failed, or an allowance the block exceeds, which marks the transfer
// failed); 0 otherwise.
int body_block_account(CONNECTION_T* connection, const char* bytes, std::size_t length);

// Runs the response-check and response-modification stages over a buffered body. 1 when the
// body may be sent (possibly changed), 0 when a check blocked it (its page has been sent).
int process_response(CONNECTION_T* connection, Filebuf* body);
