// Authentication towards an upstream proxy that answers 407. Stand-in until it is built: no
// scheme is supported, so the 407 goes on to the client.
#pragma once

struct CONNECTION_T;

// 1 when the request has been sent again with credentials, else 0.
int proxy_authenticate(CONNECTION_T* connection);
