// Authentication towards an upstream proxy that answers 407: Basic, and the three-message NTLM
// handshake on one connection (messages built by libntlm). Also Basic towards an origin server
// for the internal HTTP client, from the user and password written in the request URL.
//
// The credentials are the connection's upstream user, password and NTLM domain, as the
// forwarding rule set them; a missing one is sent as an empty text. They travel in the
// connection's upstream authorization only while one request header is written, so no later
// request carries them by accident. The client's own Proxy-Authorization is never copied into
// them.
#pragma once

struct CONNECTION_T;

// Called with the parent's 407 in the connection's response slot (its body not yet read) and
// the request that drew it. Picks the first scheme the parent offers that this proxy speaks,
// in the order of its Proxy-Authenticate lines: a bare "NTLM", or a value beginning with
// "Basic". 1 when the request header has been sent again with credentials (the caller then
// sends the body and reads the new answer); 0 when no scheme fits or the NTLM handshake did
// not complete.
int proxy_authenticate(CONNECTION_T* connection);

// Drops the 407's body and sends the request header again with "Basic" credentials; 1.
int send_basic_response(CONNECTION_T* connection);

// The NTLM handshake on the server connection: negotiate, read the challenge (within a second),
// then the request header again with the authenticate message; 1 when that has been sent.
// Meanwhile the request travels as a GET without a body. On 0 the request is as it was, and
// the response slot holds the last answer of the parent, whose body is still to be read (a
// body already dropped counts as empty); the server connection is not kept when the parent
// left a message unanswered.
int send_ntlm_response(CONNECTION_T* connection);

// Sends the request header to the origin server again with an Authorization of "Basic" from
// the request URL's user and password, then drops that Authorization; 1.
int authenicate_basic_response(CONNECTION_T* connection);
