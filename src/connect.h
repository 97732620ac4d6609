// CONNECT tunnels: serving a client's CONNECT by relaying bytes both ways unchanged, and opening a
// tunnel through an HTTP parent over which ordinary requests are then sent.
#pragma once

struct CONNECTION_T;

// Serves the client's CONNECT over the opened upstream connection (passing it on first when the
// upstream is an HTTP parent) and writes the log records. 0; the client connection is never
// kept after a tunnel.
int protocol_connect(CONNECTION_T* connection);

// On a fresh connection to an HTTP parent, asks for a tunnel to the request's host and port:
// 1 when the parent gave any final answer, -1 when no usable answer came.
int proxy_connect(CONNECTION_T* connection);
