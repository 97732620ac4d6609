// Decisions about a response before its body moves: buffer it whole or stream it, whether it fits
// the client's download allowance, and the response stages over a buffered body.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Per-request bits of CONNECTION_T::flags that tell an inspecting stage the response body it
// applies to is not there for it as it is; cleared with the others after each request.
enum : std::uint32_t {
    CONN_BODY_OVERSIZE = 0x400000,   // beyond the download buffer: it streams past every stage
    CONN_BODY_UNDECODED = 0x800000,  // its encoding did not decode: the stages get it as it came
};

// Tells every inspecting stage (the virus scanners, the keyword filter, ICAP, external programs)
// that the response body streams past it unexamined, so that each that applies logs so; none is
// asked to buffer it.
void response_uninspected_tell(CONNECTION_T* connection);

// For an inspecting stage that applies to the body of the request (response false) or of the
// response: when that body is not there whole as it is (a request body streamed beyond the upload
// buffer, a response beyond the download buffer, or one whose encoding did not decode), logs one
// line in the stage's category naming the URL and the reason, so that an administrator can see
// what was not inspected and size the buffers, and answers true. stage names one of several that
// share a category (a scanner, a program); null where the category alone names it.
bool body_uninspected(const CONNECTION_T* connection, int category, const char* stage, bool response);
