// Stand-in until the memory component is written.
#include "mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void* xmalloc(std::size_t size) { return std::calloc(1, size); }
void* xrealloc(void* block, std::size_t size) { return std::realloc(block, size); }
char* xstrdup(const char* s) { return s ? strdup(s) : nullptr; }
char* xstrndup(const char* s, std::size_t n) { return strndup(s, n); }
void out_of_memory() { std::abort(); }
void fatal_assertion(const char* file, int line, const char* function)
{
    std::fprintf(stderr, "ASSERTION: %s:%d in function %s\n", file, line, function);
    std::exit(1);
}
void fatal_allocation(const char* file, int line, const char* function, std::size_t)
{
    fatal_assertion(file, line, function);
}
