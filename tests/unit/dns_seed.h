// Answers placed in the proxy's DNS cache, so policy tests resolve names without asking any
// resolver.
#pragma once

#include <ctime>
#include <mutex>
#include <string>

#include "core/global.h"
#include "util/hash.h"

// name resolves to address (dotted) for the cache's next hour.
inline void dns_seed(const std::string& name, const std::string& address)
{
    std::lock_guard lock(global->dnslock);
    hash_purge(global->dnscache.get(), name);
    hash_insert(global->dnscache.get(), name, address)->time = std::time(nullptr);
}
