// Host name resolution through a process-wide cache: a HASH_TABLE in the runtime record
// (global->dnscache, guarded by global->dnslock) mapping lower-cased names to the first IPv4
// address of their answer, as dotted text, for an hour.
#pragma once

#include <ctime>
#include <string>

#include "util/portability.h"

constexpr int DNS_CACHE_SIZE = 8111;        // buckets
constexpr int DNS_CACHE_AGE = 3600;         // seconds an answer is used
constexpr std::size_t DNS_KEY_MAX = 511;    // characters of a name that make its key

// The first IPv4 address of host, a new record for the caller; null when the name does not
// resolve (or host is null). A literal dotted address is converted without the cache. The
// resolver is asked without the cache's lock held.
HostentPtr net_dns(const char* host);

// The record's address as dotted text, as the cache keeps it.
std::string net_dns_dotted(const HOSTENT& host);

// The timer job, every 60 seconds: drops the answers that are an hour old or older. The
// argument is not used.
void dnscache_clean(void* data);

// The cache's clock, time() by default; tests pass their own. Null restores time().
using dns_clock_t = std::time_t (*)();
void dns_set_clock(dns_clock_t clock);
