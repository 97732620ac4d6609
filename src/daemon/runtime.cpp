#include "daemon/runtime.h"

#include "daemon/clientpool.h"
#include "net/dns.h"
#include "net/serverpool.h"
#include "policy/password_cache.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "core/options.h"
#include "core/timers.h"

namespace {

void clientpool_free()
{
    if (global->clientpool != nullptr)
        global->clientpool->Clean();
}

void serverpool_free()
{
    if (global->serverpool != nullptr)
        global->serverpool->Clean(1);
}

} // namespace

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
    log_set_buffer(global->logbuffer.get());
    fd_set_pool_cleaners({clientpool_free, serverpool_free});
    return global;
}
