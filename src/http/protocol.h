// Between the client and the upstream server: the authentication and request-modification
// stages with the answer they may produce, opening the server side of a request (pooled, through
// a parent or SOCKS server, or direct), reading the response header with a transparent retry
// over a dead pooled connection, and the small per-request decisions on buffering deadlines and
// encoded content.
#pragma once

#include <cstdint>

#include "http/header.h"
#include "net/network.h"   // SOCKS_TIMEOUT
#include "net/serverpool.h"

struct CONNECTION_T;
class Filebuf;

// What one step of an exchange (the pipeline of a request, or the HTTP handler's answer to it)
// tells the driver that runs the steps in their fixed order. Continue: the next step runs.
// Done: the request has ended here, answered, refused or given up. Again: a new response header
// has taken the place of the one at hand, and the steps that read a header run again on it.
enum class Step { Continue, Done, Again };

// Runs stage 7 and, unless it answered, stage 1 with the request body. 1 when the request goes
// on; 0 when a stage answered the client (the answer has been sent and freed).
int process_request(CONNECTION_T* connection, Filebuf* body);

// Whether a request body of length bytes goes beyond the connection's upload allowance.
bool upload_beyond_allowance(const CONNECTION_T* connection, std::uint64_t length);

// Opens the server side of the request: the descriptor of the new server socket, or a negative
// code (NET_UNKNOWN, NET_NOCONNECT, NET_NODNS, NET_BADAUTH, and NET_SELF for a direct connect
// to the proxy's own listener) with no server socket.
int protocol_start(CONNECTION_T* connection);
// Drops the server socket, flushes what waits for the client, and opens a new one.
int protocol_reconnect(CONNECTION_T* connection);

// The raw response header, reading again over a new connection when a pooled one turns out to
// be dead. nullopt when the client has been answered or the request was given up.
HeaderText header_get_reconnect(CONNECTION_T* connection, int timeout);

// The key under which the request's server connection is looked up in and given back to the
// server pool: the parent's host and port for an HTTP parent, else the request's; the route
// names TLS, the kind of upstream, the parent or SOCKS server and the upstream credentials.
ServerKey serverpool_key(const CONNECTION_T* connection);

// Sets the buffer deadline from the general section's buffer wait (0: none).
void buffertimeout_set(CONNECTION_T* connection);
// Lets the client go, with the download status page, once the deadline of a buffered download
// that is being stored in the cache has passed; the download goes on into the cache.
void buffertimeout_check(CONNECTION_T* connection);

// 1 when the client takes gzip or deflate content from the proxy, else 0.
int accepts_encoded_content(CONNECTION_T* connection);

// The SOCKS handshakes (net/network.h) for a connection: on its server socket, to its request's
// host and port, with its upstream user name and password.
int proxy_socks4(CONNECTION_T* connection, int timeout = SOCKS_TIMEOUT);
int proxy_socks5(CONNECTION_T* connection, int timeout = SOCKS_TIMEOUT);
