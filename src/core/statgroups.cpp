#include "core/statgroups.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <unistd.h>
#include <utility>

#include "util/descriptor.h"
#include "core/global.h"
#include "util/helpers.h"
#include "util/mem.h"

namespace {

struct GroupSpec {
    const char* name;
    int type;
};

// The stored counters of the fixed groups, in order.
struct CounterSpec {
    const char* group;
    const char* name;
    int kind;
};

constexpr std::array<const char*, 4> ON_DEMAND_GROUPS = {"hosts", "mimes", "users", "ip addresses"};

void add_fixed_groups(Stats& stats, const GroupSpec* groups, std::size_t group_count, const CounterSpec* counters,
                      std::size_t counter_count)
{
    for (std::size_t i = 0; i < group_count; ++i) {
        stats.AddGroup(groups[i].name, groups[i].type);
        for (const char* bounded : ON_DEMAND_GROUPS)
            if (std::string_view(groups[i].name) == bounded)
                stats.Limit(groups[i].name, STAT_LIMIT, 0);
    }
    for (std::size_t i = 0; i < counter_count; ++i)
        stats.AddCounter(counters[i].group, counters[i].name, counters[i].kind);
}

// The access rule's object, when the connection was admitted by a rule that has one.
Stats* rule_stats(CONNECTION_T* connection)
{
    return connection != nullptr ? connection->stats.get() : nullptr;
}

Stats* global_stats()
{
    return global != nullptr ? &global->stats : nullptr;
}

void increment_both(CONNECTION_T* connection, std::string_view group, std::string_view counter)
{
    if (Stats* stats = global_stats())
        stats->Increment(group, counter);
    if (Stats* stats = rule_stats(connection))
        stats->Increment(group, counter);
}

void decrement_both(CONNECTION_T* connection, std::string_view group, std::string_view counter)
{
    if (Stats* stats = global_stats())
        stats->Decrement(group, counter);
    if (Stats* stats = rule_stats(connection))
        stats->Decrement(group, counter);
}

// The resource-usage totals of the runtime record, copied under its mutex.
rusage usage_totals()
{
    if (global == nullptr)
        return rusage{};
    std::lock_guard lock(global->mutex);
    return global->usage;
}

// One figure of statm_load, 0 when the file cannot be read.
std::uint64_t statm_figure(unsigned long statm_t::*field)
{
    statm_t statm;
    return statm_load(&statm) ? statm.*field : 0;
}

} // namespace

void globalstats_init()
{
    FATAL_ASSERT(global != nullptr);
    Stats& stats = global->stats;
    static constexpr GroupSpec GROUPS[] = {
        {"system", STAT_PLAIN},           {"requests", STAT_PLAIN},          {"network", STAT_PLAIN},
        {"DNS cache", STAT_PERCENT},      {"cache", STAT_PERCENT},           {"cache refresh", STAT_PERCENT},
        {"connection pool", STAT_PERCENT}, {"hosts", STAT_PERCENT},          {"mimes", STAT_PERCENT},
        {"users", STAT_PERCENT},          {"ip addresses", STAT_PERCENT},
    };
    // Added before the stored counters, so the system group's rows come first in their order.
    stats.AddGroup("system", STAT_PLAIN);
    stats.AddCounter("system", "user time", StatTextProvider(stat_usertime), STAT_TEXT);
    stats.AddCounter("system", "system time", StatTextProvider(stat_systime), STAT_TEXT);
    stats.AddCounter("system", "memory resident", StatNumberProvider(stat_resident), STAT_BYTES);
    stats.AddCounter("system", "memory size", StatNumberProvider(stat_size), STAT_BYTES);
    stats.AddCounter("system", "memory shared", StatNumberProvider(stat_share), STAT_BYTES);
    stats.AddCounter("system", "minor pagefaults", StatNumberProvider(stat_minflt), STAT_INTEGER);
    stats.AddCounter("system", "major pagefaults", StatNumberProvider(stat_majflt), STAT_INTEGER);
    static constexpr CounterSpec COUNTERS[] = {
        {"requests", "HTTP requests", STAT_INTEGER},
        {"requests", "FTP requests", STAT_INTEGER},
        {"requests", "CONNECT requests", STAT_INTEGER},
        {"network", "successful connections", STAT_INTEGER},
        {"network", "failed connections", STAT_INTEGER},
        {"network", "DNS failures", STAT_INTEGER},
        {"network", "bytes in", STAT_BYTES},
        {"network", "bytes out", STAT_BYTES},
        {"DNS cache", "hit", STAT_INTEGER},
        {"DNS cache", "miss", STAT_INTEGER},
        {"cache", "hit", STAT_INTEGER},
        {"cache", "miss", STAT_INTEGER},
        {"cache refresh", "hit", STAT_INTEGER},
        {"cache refresh", "miss", STAT_INTEGER},
        {"connection pool", "hit", STAT_INTEGER},
        {"connection pool", "miss", STAT_INTEGER},
    };
    add_fixed_groups(stats, GROUPS, std::size(GROUPS), COUNTERS, std::size(COUNTERS));
}

StatsRef userstats_init(StatClock clock)
{
    static constexpr GroupSpec GROUPS[] = {
        {"requests", STAT_PLAIN}, {"cache", STAT_PERCENT}, {"cache refresh", STAT_PERCENT},
        {"hosts", STAT_PERCENT},  {"mimes", STAT_PERCENT},
    };
    static constexpr CounterSpec COUNTERS[] = {
        {"requests", "HTTP requests", STAT_INTEGER},
        {"requests", "FTP requests", STAT_INTEGER},
        {"requests", "CONNECT requests", STAT_INTEGER},
        {"cache", "hit", STAT_INTEGER},
        {"cache", "miss", STAT_INTEGER},
        {"cache refresh", "hit", STAT_INTEGER},
        {"cache refresh", "miss", STAT_INTEGER},
    };
    // The new object's own reference is the one handed out.
    StatsRef stats = atom_make<Stats>(std::move(clock));
    add_fixed_groups(*stats, GROUPS, std::size(GROUPS), COUNTERS, std::size(COUNTERS));
    return stats;
}

bool statm_load(statm_t* statm) { return statm_load(statm, "/proc/self/statm"); }

bool statm_load(statm_t* statm, const char* path)
{
    const std::unique_ptr<FILE, int (*)(FILE*)> file(s_fopen(path, "r"), std::fclose);
    if (!file)
        return false;
    char line[1024];
    if (std::fgets(line, sizeof line, file.get()) == nullptr)
        return false;

    std::array<unsigned long, 7> numbers{};
    const char* at = line;
    const char* const end = line + std::char_traits<char>::length(line);
    for (unsigned long& number : numbers) {
        while (at < end && (*at == ' ' || *at == '\t'))
            ++at;
        const auto [next, error] = std::from_chars(at, end, number);
        if (error != std::errc{})
            return false;
        at = next;
    }
    const long page = sysconf(_SC_PAGESIZE);
    const unsigned long page_size = page > 0 ? static_cast<unsigned long>(page) : 4096;
    statm->size = numbers[0] * page_size;
    statm->resident = numbers[1] * page_size;
    statm->shared = numbers[2] * page_size;
    statm->text = numbers[3] * page_size;
    statm->lib = numbers[4] * page_size;
    statm->data = numbers[5] * page_size;
    statm->dirty = numbers[6] * page_size;
    return true;
}

void stat_count_name(Stats* stats, std::string_view group, std::string_view name)
{
    if (stats == nullptr)
        return;
    stats->Count(group, name);
}

void statincr_httprequests(CONNECTION_T* connection) { increment_both(connection, "requests", "HTTP requests"); }
void statincr_ftprequests(CONNECTION_T* connection) { increment_both(connection, "requests", "FTP requests"); }
void statincr_connectrequests(CONNECTION_T* connection) { increment_both(connection, "requests", "CONNECT requests"); }
void statincr_cachehit(CONNECTION_T* connection) { increment_both(connection, "cache", "hit"); }
void statdecr_cachehit(CONNECTION_T* connection) { decrement_both(connection, "cache", "hit"); }
void statincr_cachemiss(CONNECTION_T* connection) { increment_both(connection, "cache", "miss"); }
void statincr_cacherefreshhit(CONNECTION_T* connection) { increment_both(connection, "cache refresh", "hit"); }
void statincr_cacherefreshmiss(CONNECTION_T* connection) { increment_both(connection, "cache refresh", "miss"); }

void stat_count_connection(CONNECTION_T* connection, std::string_view group, std::string_view name)
{
    stat_count_name(global_stats(), group, name);
    stat_count_name(rule_stats(connection), group, name);
}

void statincr_ipaddresses(CONNECTION_T* connection)
{
    if (connection == nullptr || connection->ip.empty())
        return;
    stat_count_name(global_stats(), "ip addresses", connection->ip);
}

std::string stat_usertime() { return timeval_to_string(usage_totals().ru_utime); }
std::string stat_systime() { return timeval_to_string(usage_totals().ru_stime); }

std::uint64_t stat_minflt()
{
    const long faults = usage_totals().ru_minflt;
    return faults > 0 ? static_cast<std::uint64_t>(faults) : 0;
}

std::uint64_t stat_majflt()
{
    const long faults = usage_totals().ru_majflt;
    return faults > 0 ? static_cast<std::uint64_t>(faults) : 0;
}

std::uint64_t stat_resident() { return statm_figure(&statm_t::resident); }
std::uint64_t stat_size() { return statm_figure(&statm_t::size); }
std::uint64_t stat_share() { return statm_figure(&statm_t::shared); }
