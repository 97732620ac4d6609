// Decisions about a response before its body moves: buffer it whole or stream it, whether it fits
// the client's download allowance, and the response stages over a buffered body.
#pragma once

struct CONNECTION_T;
class Filebuf;

// 1 when the response body must be buffered whole before anything is sent, 0 when it may be
// streamed. Clears the connection's "process" flag when no stage needs the body.
int buffer_check(CONNECTION_T* connection);

// 1 when the transfer may go on; 0 when it would exceed the download allowance and the client
// has been answered with "downloadlimit".
int transfer_limit_check(CONNECTION_T* connection);

// Runs the response-check and response-modification stages over a buffered body. 1 when the
// body may be sent (possibly changed), 0 when a check blocked it (its page has been sent).
int process_response(CONNECTION_T* connection, Filebuf* body);
