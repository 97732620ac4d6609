// The one process-wide runtime record, built once at start-up and kept until the process ends.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sys/resource.h>

#include "util/hash.h"
#include "util/log.h"
#include "core/stats.h"

// Readers of a member include its own header; the record only names them.
class ServerPool;
class ClientPool;
struct TIMERS;
struct PASSWORD_CACHE_TABLE;

struct GLOBAL_T {
    std::mutex mutex;                         // guards usage
    rusage usage{};                           // CPU time and page faults of the connection threads that ended
    std::unique_ptr<LOGBUFFER> logbuffer;     // the newest native-log lines
    std::unique_ptr<ServerPool> serverpool;   // idle upstream connections
    std::unique_ptr<ClientPool> clientpool;   // idle client connections
    std::unique_ptr<TIMERS> timers;           // periodic housekeeping, run by the timer thread
    std::unique_ptr<HASH_TABLE> dnscache;     // host name -> dotted address, DNS_CACHE_SIZE buckets
    std::mutex dnslock;                       // guards dnscache
    std::unique_ptr<PASSWORD_CACHE_TABLE> password_cache;   // PAM verdicts, password_cachesize buckets
    std::shared_mutex password_cache_lock;    // guards password_cache; taken after any section lock
    Stats stats;                              // the whole proxy's statistics; its groups are added at bring-up
};

// Built by global_create (daemon/runtime.h) at start-up; null before.
extern GLOBAL_T* global;
