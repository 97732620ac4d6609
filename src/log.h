// The native log: categorised lines to the in-memory buffer, standard output and the log file.
#pragma once

#include <cstdarg>

// Category bits of the log level (option -d); 0 is always written.
enum : int {
    LOG_ALWAYS = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIME = 0x10,
    LOG_COOKIE = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORD = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBLACKLIST = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

// One line, printf-style. The caller must own a thread-table slot (its client id is printed).
void putlog(int type, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vputlog(int type, const char* format, std::va_list args) __attribute__((format(printf, 2, 0)));

// A failed system call in the one form every component uses, at the error category:
// "[system: <call>:<errno>:<strerror>], in <function>, <what>" with errno as it stands.
void log_syscall(const char* call, const char* function, const char* what);
