// Allocation wrappers and the fatal assertion: the lowest layer of the system.
#pragma once

#include <cstddef>

// A zero-filled block, or null (logged) when the allocation fails. Size 0 is a fatal assertion.
void* xmalloc(std::size_t size);
// As realloc; on failure null is returned (logged) and the old block stays the caller's.
void* xrealloc(void* block, std::size_t size);
// Heap copies released with free(); a failed allocation ends the process.
char* xstrdup(const char* s);
char* xstrndup(const char* s, std::size_t n);

// Installed as the new-handler: logs and aborts.
[[noreturn]] void out_of_memory();

// The fatal assertion: logs "System Unstable: Please Restart" and the assertion line, prints
// the notice on standard output and ends the process through sigterm().
[[noreturn]] void fatal_assertion(const char* file, int line, const char* function);
// The same for a failed allocation of `bytes`, with the "Failed to allocate" line.
[[noreturn]] void fatal_allocation(const char* file, int line, const char* function, std::size_t bytes);

#define FATAL_ASSERT(cond)                                              \
    do {                                                                \
        if (!(cond)) [[unlikely]]                                       \
            fatal_assertion(__FILE__, __LINE__, __func__);              \
    } while (0)

#define FATAL_ALLOC(bytes) fatal_allocation(__FILE__, __LINE__, __func__, (bytes))
