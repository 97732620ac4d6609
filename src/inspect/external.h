// External programs. Stand-in: only the process runner that the templates of the
// external-program type use.
#pragma once

#include <memory>

class Filebuf;
struct CONNECTION_T;

// Runs the command line (split as cmdline_parse splits it) with the connection's variables as
// its whole environment (none without a connection) and input, when not null and not empty, on
// its standard input. Everything it writes on its standard output, in a new buffer; null when it
// could not be started. Its exit code is stored through status when not null. Only mode 0
// (input on standard input) is carried out.
std::unique_ptr<Filebuf> external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode, int* status);
