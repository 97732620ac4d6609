// Network transfer: bodies between the two sockets of a connection, or between a socket and a
// Filebuf.
#pragma once

class Filebuf;
struct CONNECTION_T;

// Writes the whole buffer to the client (side 0; with CONN_NOCLIENT nothing is written and the
// whole size is reported), the server (1) or the client without that check (2), then flushes;
// the bytes sent at once. A side without a socket gets nothing.
long net_filebuf_send(Filebuf* buffer, CONNECTION_T* connection, int side);
