// CONNECT tunnels and the proxy test: serving a client's CONNECT by relaying bytes both ways
// unchanged, opening a tunnel through an HTTP parent over which ordinary requests are then
// sent, and sending a request that the upstream must deliver back to this proxy, to show what
// the upstream does to it.
#pragma once

struct CONNECTION_T;

// Serves the client's CONNECT over the opened upstream connection (passing it on first when the
// upstream is an HTTP parent, which must answer 200) and writes the log records. 0; neither the
// client connection nor the server connection is ever kept after a tunnel.
int protocol_connect(CONNECTION_T* connection);

// On a fresh connection to an HTTP parent, asks for a tunnel to the request's host and port,
// answering a 407 once with the upstream credentials. 1 when the parent opened it (a 2xx
// answer); -1 for any other answer or none. The client's request is in place again either way.
int proxy_connect(CONNECTION_T* connection);

// Sends the request through the opened upstream connection to a port this proxy listens on for
// the occasion (on its own address towards the upstream), and waits up to the general time-out
// for the upstream to deliver it. The request delivered, parsed, is left in the response slot
// for the caller to show and free (http_header_free); the slot is untouched when none came.
// The server connection is not kept afterwards.
void proxy_test(CONNECTION_T* connection);
