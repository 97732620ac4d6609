// Running outside programs for a connection: the runner of the "external" section's programs and
// of templates of the external-program type, the temporary files that hand a body to a program
// or a scanning daemon, and the most an inspecting peer may hand back. They read the general
// section's time-out, download buffer and temporary directory, so they sit beside it, below
// both the templates and the inspecting sections.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class Filebuf;
struct CONNECTION_T;

// The most an inspecting peer (a daemon's reply body, an ICAP reply body, an external program's
// output) may hand back for one message: the connection's download buffer limit, or, with no
// limit configured, the size the shipped configuration gives it. Beyond it the exchange has
// failed, so that a hostile peer cannot make the proxy hold more than a buffered body.
std::size_t inspect_output_limit(const CONNECTION_T* connection);

// A temporary file for a program or a daemon that reads the body from the disk: created
// close-on-exec in the general section's temporary directory and removed when the owner goes,
// on every path.
class TempFile {
public:
    // The path is "<tempdir>/tvXXXXXX"; one that would take limit characters or more is not
    // made (the daemons' protocols carry the path in fixed-size fields).
    explicit TempFile(std::size_t limit);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // Writes the whole body and closes the descriptor; false on a failed write.
    bool write(const Filebuf& body, unsigned mode = 0600);

private:
    std::string path_;
    int fd_ = -1;
    bool made_ = false;
};

// Runs the command line (split as cmdline_parse splits it) with the connection's variables as
// its whole environment (none without a connection). Mode 0 gives the input, when not null, on
// its standard input; mode 1 saves it to a temporary file whose path is the last argument and
// gives an empty standard input. Everything it writes on its standard output, in a new buffer;
// null when it could not be started. Its exit code is stored through status when not null: 1
// when it could not be executed, 128 plus the signal when a signal ended it. The whole run, up to
// the program's exit, lasts at most the general time-out, and its output at most the download
// buffer limit (inspect_output_limit): a program that goes beyond either is killed and has
// failed, with an empty output.
std::unique_ptr<Filebuf> external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode, int* status);
