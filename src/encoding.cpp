#include "encoding.h"

int filebuf_decode(Filebuf*, CONNECTION_T*) { return 0; }

int filebuf_encode(Filebuf*, CONNECTION_T*) { return 0; }
