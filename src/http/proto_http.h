// The HTTP protocol handler: sends the request upstream (or takes the answer from the cache),
// reads and checks the response header, lets the filters act, and buffers or streams the body
// to the client. The bodies themselves move by http/body.
#pragma once

struct CONNECTION_T;

// 1 when the request was handled (answered, blocked, or given up after a response), -1 when no
// usable response header came (the client has been answered).
int protocol_http(CONNECTION_T* connection);

// Sets the server keep-alive flag from the response; a response that ends with the connection
// also ends the client's.
void keepalive_check_server(CONNECTION_T* connection);
