#include "daemon/mainloop.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "policy/access.h"
#include "cache/cache.h"
#include "daemon/clientpool.h"
#include "daemon/sections.h"
#include "config/configfile.h"
#include "config/configsync.h"
#include "config/modules.h"
#include "net/dns.h"
#include "policy/filter.h"
#include "cache/forward.h"
#include "config/general.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "policy/headerfilter.h"
#include "util/helpers.h"
#include "policy/limit.h"
#include "util/log.h"
#include "util/mem.h"
#include "policy/mime.h"
#include "net/network.h"
#include "net/netsection.h"
#include "core/options.h"
#include "core/performance.h"
#include "policy/password_cache.h"
#include "cache/icp.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "config/profile.h"
#include "policy/redirect.h"
#include "config/section.h"
#include "net/serverpool.h"
#include "daemon/signals.h"
#include "core/statgroups.h"
#include "http/template.h"
#include "core/threads.h"
#include "core/timers.h"
#include "policy/urlblacklist.h"
#include "net/tls.h"

std::uint32_t clientid = 1;

namespace {

// An accept that failed is tried again after this pause, so that a persistent failure (one the
// descriptor wrapper does not pause on itself) cannot spin the main thread.
constexpr std::chrono::milliseconds ACCEPT_RETRY{10};

constexpr int RAND_SEED_BYTES = 1024;

void openssl_init()
{
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_thread_setup();
    // main seeded rand() with the time and the process id.
    unsigned char seed[RAND_SEED_BYTES];
    for (unsigned char& byte : seed)
        byte = static_cast<unsigned char>(std::rand() % 255);
    RAND_seed(seed, sizeof seed);
}

void threads_start()
{
    thread_create_internal(serverpool_clean, nullptr);
    thread_create_internal(clientpool_thread, nullptr);
    thread_create_internal(timer_thread, nullptr);
    thread_create_internal(icp_thread, nullptr);
    thread_create_internal(performance_check, nullptr);
    thread_create_internal(unlink_thread, nullptr);
}

} // namespace

std::time_t gmtoffset_compute(std::time_t now)
{
    std::tm utc{};
    gmtime_r(&now, &utc);
    // The same conversion the cache applies to the GMT dates it reads.
    return std::mktime(&utc) - now;
}

std::uint32_t clientid_next()
{
    const std::uint32_t id = clientid;
    clientid = clientid == UINT32_MAX ? 1 : clientid + 1;
    return id;
}

void config()
{
    gmtoffset = gmtoffset_compute(std::time(nullptr));
    openssl_init();
    global_create();
    sectionxml_load(sectionfile);
    sections_create();
    modules_load();
    globalstats_init();
    signal_setup();
    net_init();
    if (!configfile.empty())
        FATAL_ASSERT(config_load(3, configfile) == 1);
    if (slave != 0)
        config_sync(nullptr);
    hooks.Execute(0, nullptr, nullptr);
    putlog(LOG_NETWORK, "proxy hostname: %s", proxyhost.c_str());
    if (!listenip.empty())
        net_listen(listenport, listenip.c_str());
    network_section->check();
    urlbl_section->load();
    if (limit_section != nullptr)
        timers_add(global->timers.get(), 1, TIMER_REPEAT, limits_reset, nullptr);
    timers_add(global->timers.get(), 60, TIMER_REPEAT, dnscache_clean, nullptr);
    password_cache_schedule();
    if (slave != 0)
        timers_add(global->timers.get(), syncinterval, TIMER_REPEAT, config_sync, nullptr);
    prefetch_section->init_threads();
    threads_start();
    if (gmtoffset <= 0)
        putlog(LOG_DEBUG, "GMT offset is -%u seconds", static_cast<unsigned>(-gmtoffset));
    else
        putlog(LOG_DEBUG, "GMT offset is %u seconds", static_cast<unsigned>(gmtoffset));
}

void mainloop()
{
    config();
    for (;;) {
        ConnectionPtr connection = net_accept(-1);
        if (connection == nullptr) {
            std::this_thread::sleep_for(ACCEPT_RETRY);
            continue;
        }
        connection->id = clientid_next();
        global->clientpool->Add(std::move(connection));
    }
}
