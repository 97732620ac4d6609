// Allocation wrappers and the fatal assertion: the lowest layer of the system.
#pragma once

#include <cstddef>

// A zero-filled block, or null (logged) when the allocation fails. Size 0 is a fatal assertion.
void* xmalloc(std::size_t size);
// As realloc; on failure null is returned (logged) and the old block stays the caller's.
// Size 0 is a fatal assertion.
void* xrealloc(void* block, std::size_t size);
// Heap copies released with free(); a failed allocation ends the process. Null gives null.
char* xstrdup(const char* s);
// At most n characters of s, always terminated.
char* xstrndup(const char* s, std::size_t n);

// Installed as the new-handler: logs and ends the process with status 1.
[[noreturn]] void out_of_memory();

// How the process ends, set once at start-up before any other thread exists: `exit` is the
// daemon's clean exit with a status, `terminate` its exit after a fatal state (clean_exit and
// sigterm). Neither may return. Until they are set the process ends at once with _exit.
using process_exit_t = void (*)(int status);
using process_terminate_t = void (*)();
void process_exits_set(process_exit_t exit, process_terminate_t terminate);
// Through the action set above; the configuration loader ends the process this way too.
[[noreturn]] void process_exit(int status);

// The fatal assertion: logs "System Unstable: Please Restart" and the assertion line, prints
// the notice on standard output and ends the process through the terminate action (status 1).
[[noreturn]] void fatal_assertion(const char* file, int line, const char* function);
// The same for a failed allocation of `bytes`, with the "Failed to allocate" line.
[[noreturn]] void fatal_allocation(const char* file, int line, const char* function, std::size_t bytes);
// True on a thread that is inside the fatal assertion: its last log lines must not raise
// another one (a thread without a thread-table slot logs them under client id 0).
bool fatal_assertion_running();

#define FATAL_ASSERT(cond)                                              \
    do {                                                                \
        if (!(cond)) [[unlikely]]                                       \
            fatal_assertion(__FILE__, __LINE__, __func__);              \
    } while (0)

#define FATAL_ALLOC(bytes) fatal_allocation(__FILE__, __LINE__, __func__, (bytes))
