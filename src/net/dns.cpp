#include "net/dns.h"

#include <arpa/inet.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "core/global.h"
#include "util/log.h"
#include "core/performance.h"
#include "util/stringutil.h"
#include "util/url.h"

namespace {

std::atomic<dns_clock_t> dns_clock{nullptr};

std::time_t dns_now()
{
    const dns_clock_t clock = dns_clock.load();
    return clock != nullptr ? clock() : std::time(nullptr);
}

HostentPtr hostent_from_text(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return nullptr;
    return hostent_new(address);
}

}  // namespace

void dns_set_clock(dns_clock_t clock)
{
    dns_clock.store(clock);
}

HostentPtr net_dns(const char* host)
{
    if (host == nullptr)
        return nullptr;
    std::string key(host, s_strnlen(host, DNS_KEY_MAX));
    string_tolower(key);
    if (isip(key))
        return hostent_from_text(key);

    HASH_TABLE* cache = global != nullptr ? global->dnscache.get() : nullptr;
    std::unique_lock<std::mutex> lock;
    std::time_t started = 0;
    if (cache != nullptr) {
        lock = std::unique_lock(global->dnslock);
        started = dns_now();
        if (HASH_ENTRY* entry = hash_search(cache, key)) {
            if (started <= entry->time + DNS_CACHE_AGE) {
                performance_log->set_dns_hit(1);
                global->stats.Increment("DNS cache", "hit");
                putlog(LOG_DEBUG, "DNS: cache: hit: %s -> %s", key.c_str(), entry->value.c_str());
                HostentPtr result = hostent_from_text(entry->value);
                if (result != nullptr)
                    return result;
            }
            hash_purge(cache, key);
        }
        lock.unlock();
    }

    HostentPtr result = p_gethostbyname(host);
    if (result == nullptr) {
        performance_log->set_dns_fail(1);
        putlog(LOG_ERROR, "DNS: failed: %s", key.c_str());
        return nullptr;
    }
    if (cache == nullptr)
        return result;

    lock.lock();
    HASH_ENTRY* entry = hash_insert(cache, key, net_dns_dotted(*result));
    entry->time = started;
    performance_log->set_dns_miss(1);
    global->stats.Increment("DNS cache", "miss");
    putlog(LOG_DEBUG, "DNS: cache: insert: %s -> %s", key.c_str(), entry->value.c_str());
    return result;
}

std::string net_dns_dotted(const HOSTENT& host)
{
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, host.addr.data(), text.data(), text.size());
    return text.data();
}

void dnscache_clean(void* /*data*/)
{
    if (global == nullptr || global->dnscache == nullptr)
        return;
    std::lock_guard lock(global->dnslock);
    hash_expire(global->dnscache.get(), DNS_CACHE_AGE, dns_now());
}
