// Content encoding of bodies for the client and decoding of what servers send. Stand-in until it
// is built: nothing is decoded or encoded, bodies go out as they came.
#pragma once

struct CONNECTION_T;
class Filebuf;

// Decodes body by the response's Content-Encoding: 1 when decoded, 0 when left as it was.
int filebuf_decode(Filebuf* body, CONNECTION_T* connection);
// Encodes body for the client when it asks for it and the settings allow: 1 when encoded.
int filebuf_encode(Filebuf* body, CONNECTION_T* connection);
