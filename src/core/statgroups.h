// Which statistics exist: the groups of the whole proxy's object and of each access rule's, the
// counting functions of the request code, and the providers of the "system" group.
#pragma once

#include <cstdint>
#include <string>

#include "core/connection.h"    // CONNECTION_T, StatsRef
#include "core/performance.h"   // statm_t
#include "core/stats.h"

// Fills global->stats with its groups and counters; calling it again adds nothing. The runtime
// record must exist.
void globalstats_init();

// A new object with the groups of one access rule; the result holds its one reference. clock
// stamps its counters.
StatsRef userstats_init(StatClock clock = stat_clock_now);

// "/proc/self/statm" (or path) scaled to bytes by the page size. False when the file cannot be
// read or its line does not start with seven unsigned numbers; *statm is then unchanged.
bool statm_load(statm_t* statm);
bool statm_load(statm_t* statm, const char* path);

// Each counts in the global object and, when the connection holds one, in its access rule's.
void statincr_httprequests(CONNECTION_T* connection);
void statincr_ftprequests(CONNECTION_T* connection);
void statincr_connectrequests(CONNECTION_T* connection);
void statincr_cachehit(CONNECTION_T* connection);
// Takes back a hit when the cached object had to be fetched anew after all.
void statdecr_cachehit(CONNECTION_T* connection);
void statincr_cachemiss(CONNECTION_T* connection);
void statincr_cacherefreshhit(CONNECTION_T* connection);
void statincr_cacherefreshmiss(CONNECTION_T* connection);
// Counts one under `name` in an on-demand group, in the global object and, when the connection
// holds one, in its access rule's (the header's values count through it: statincr_hosts and
// statincr_mimes, http/header.h).
void stat_count_connection(CONNECTION_T* connection, std::string_view group, std::string_view name);
// The client address, in the global object only.
void statincr_ipaddresses(CONNECTION_T* connection);

// Counts one under `name` in an on-demand group ("hosts", "mimes", "users", "ip addresses") of
// stats, adding the counter first when the group has none of that name. A null stats is ignored.
void stat_count_name(Stats* stats, std::string_view group, std::string_view name);

// Providers of the "system" group. The CPU times and page faults are those that ended threads
// left in the runtime record, read under its mutex; a memory figure that cannot be read is 0.
std::string stat_usertime();
std::string stat_systime();
std::uint64_t stat_minflt();
std::uint64_t stat_majflt();
std::uint64_t stat_resident();
std::uint64_t stat_size();
std::uint64_t stat_share();
