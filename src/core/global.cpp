#include "core/global.h"

#include "net/dns.h"
#include "core/options.h"

GLOBAL_T* global = nullptr;

GLOBAL_T* global_create()
{
    if (global != nullptr)
        return global;
    // Never destroyed: threads still running at exit may reach it.
    auto* record = new GLOBAL_T;
    record->logbuffer = std::make_unique<LOGBUFFER>();
    record->dnscache = hash_create(DNS_CACHE_SIZE);
    record->password_cache = password_cache_create(password_cachesize);
    record->serverpool = std::make_unique<ServerPool>();
    record->clientpool = std::make_unique<ClientPool>();
    record->timers = timers_init();
    global = record;
    return global;
}
