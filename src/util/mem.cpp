#include "util/mem.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "util/log.h"

namespace {

thread_local int fatal_depth = 0;

std::atomic<process_exit_t> exit_action{nullptr};
std::atomic<process_terminate_t> terminate_action{nullptr};

// Without the daemon's exits: what is written so far still reaches its reader.
[[noreturn]] void exit_at_once(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

// "src/util/mem.cpp" is printed as "src/util/mem".
std::string_view source_name(const char* file)
{
    const std::string_view path(file);
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return path;
    return path.substr(0, dot);
}

// A second fatal state met while the first is being reported (say a log line that cannot be
// written) must not recurse: the process ends at once.
void fatal_enter()
{
    if (fatal_depth++ > 0)
        process_exit(1);
}

void fatal_log_assertion(const char* file, int line, const char* function)
{
    const std::string_view name = source_name(file);
    putlog(LOG_ALWAYS, "System Unstable: Please Restart");
    putlog(LOG_ALWAYS, "ASSERTION: %.*s:%d in function %s", static_cast<int>(name.size()), name.data(), line,
           function);
}

[[noreturn]] void fatal_finish()
{
    std::puts("\nSystem Unstable: Please Restart");
    // Log lines reach standard output unbuffered; the notice must not trail behind them.
    std::fflush(stdout);
    if (const process_terminate_t action = terminate_action.load(std::memory_order_acquire))
        action();
    exit_at_once(1);
}

} // namespace

void process_exits_set(process_exit_t exit, process_terminate_t terminate)
{
    exit_action.store(exit, std::memory_order_release);
    terminate_action.store(terminate, std::memory_order_release);
}

void process_exit(int status)
{
    if (const process_exit_t action = exit_action.load(std::memory_order_acquire))
        action(status);
    exit_at_once(status);
}

bool fatal_assertion_running() { return fatal_depth > 0; }

void fatal_assertion(const char* file, int line, const char* function)
{
    fatal_enter();
    fatal_log_assertion(file, line, function);
    fatal_finish();
}

void fatal_allocation(const char* file, int line, const char* function, std::size_t bytes)
{
    fatal_enter();
    fatal_log_assertion(file, line, function);
    putlog(LOG_ALWAYS, "Failed to allocate %zu bytes of memory", bytes);
    fatal_finish();
}

void* xmalloc(std::size_t size)
{
    FATAL_ASSERT(size != 0);
    void* block = std::calloc(1, size);
    if (block == nullptr)
        log_syscall("malloc", "xmalloc", "unable to allocate memory");
    return block;
}

void* xrealloc(void* block, std::size_t size)
{
    FATAL_ASSERT(size != 0);
    void* moved = std::realloc(block, size);
    if (moved == nullptr) {
        const int err = errno;
        putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %zu memory", err,
               std::strerror(err), "xrealloc", size);
    }
    return moved;
}

char* xstrdup(const char* s)
{
    if (s == nullptr)
        return nullptr;
    return xstrndup(s, std::strlen(s));
}

char* xstrndup(const char* s, std::size_t n)
{
    if (s == nullptr)
        return nullptr;
    const std::size_t length = strnlen(s, n);
    auto* copy = static_cast<char*>(xmalloc(length + 1));
    if (copy == nullptr)
        FATAL_ALLOC(length + 1);
    std::memcpy(copy, s, length);
    return copy;
}

void out_of_memory()
{
    // Logging allocates; a failure inside it comes back here and must not loop.
    static thread_local bool entered = false;
    if (!entered) {
        entered = true;
        putlog(LOG_ERROR, "Out of memory: %.*s:%d in function %s", static_cast<int>(source_name(__FILE__).size()),
               source_name(__FILE__).data(), __LINE__, "out_of_memory");
    }
    process_exit(1);
}
