// Stand-in until the native log is written: lines go to standard error.
#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void vputlog(int type, const char* format, std::va_list args)
{
    if (type == LOG_DEBUG)
        return;
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

void putlog(int type, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    vputlog(type, format, args);
    va_end(args);
}

void log_syscall(const char* call, const char* function, const char* what)
{
    const int err = errno;
    putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s", call, err, std::strerror(err), function, what);
}
