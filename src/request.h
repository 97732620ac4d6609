// The request pipeline: one request of a client connection, from the first byte of its header to
// the hand-over to a protocol handler, with the policy sections acting in a fixed order.
#pragma once

struct CONNECTION_T;

// Serves one request on the connection thread that owns connection; the thread resets the
// per-request fields afterwards. Always 0: the caller learns the outcome from the connection
// (its keep-alive and failure flags).
int handle_request(CONNECTION_T* connection);

// Applies the request's "bypass" URL command to the connection's bypass mask when the admitting
// access rule grants the bypass permission.
void bypass_check(CONNECTION_T* connection);

// Sets the client keep-alive flag from the request: never for CONNECT; "close" in Connection or
// Proxy-Connection wins; "keep-alive" in either keeps; with neither, HTTP/1.1 keeps.
void keepalive_check_client(CONNECTION_T* connection);
