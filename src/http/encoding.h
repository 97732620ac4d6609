// Content encoding of response bodies: decoding what a server sent compressed so that the body
// can be inspected, and compressing a body for a client that accepts it.
#pragma once

struct CONNECTION_T;
class Filebuf;

// Decompresses body by the response's Content-Encoding ("gzip" or "deflate" anywhere in it,
// without regard to case), its output capped at the connection's download buffer limit. 1 when
// decoded; 0 when the body is left as it was (logged). The Content-Encoding stays: removing it
// is the caller's.
int filebuf_decode(Filebuf* body, CONNECTION_T* connection);

// Compresses body for the client when the request's Accept-Encoding names gzip (preferred) or
// deflate, the client itself sent it, and compression for clients is on for the connection;
// the response then gets that Content-Encoding. 1 when encoded, else 0 with the body unchanged.
int filebuf_encode(Filebuf* body, CONNECTION_T* connection);
