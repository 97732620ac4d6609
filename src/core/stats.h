// Statistics: named counters in named groups, one object for the whole proxy (in the runtime
// record) and one for each access rule, shown as HTML rows on the interface's statistics pages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <vector>

#include "util/atom.h"

class Filebuf;

// Counter kinds (StatCounter flags); STAT_PROVIDER is added to the kind of a counter whose value
// comes from a provider function.
inline constexpr int STAT_INTEGER = 1;
inline constexpr int STAT_BYTES = 2;
inline constexpr int STAT_TEXT = 4;
inline constexpr int STAT_PROVIDER = 8;

// Group types.
inline constexpr int STAT_PLAIN = 0;
inline constexpr int STAT_PERCENT = 1;   // each counter is shown with its share of the total

// The bound of the groups whose counters are created on demand (hosts, MIME types, users,
// client addresses): they hold at most STAT_LIMIT - 1 counters.
inline constexpr int STAT_LIMIT = 100;

// A provider of a kind-1 or kind-2 counter's value, or of a kind-4 counter's text. Providers
// run while the statistics are shown, outside every group lock; they take their own locks.
using StatNumberProvider = std::function<std::uint64_t()>;
using StatTextProvider = std::function<std::string()>;
// The time source of the counters' stamps; tests pass their own.
using StatClock = std::function<timeval()>;

// gettimeofday.
timeval stat_clock_now();

struct StatCounter {
    int flags = 0;                       // kind, plus STAT_PROVIDER
    std::string name;                    // unique in its group, compared exactly
    timeval last_update{};               // zero when never changed
    StatNumberProvider number_provider;  // kinds 1 and 2 with STAT_PROVIDER
    StatTextProvider text_provider;      // kind 4 with STAT_PROVIDER
    std::uint64_t value = 0;             // the stored value

    // The value as text: kind 1 in decimal, kind 2 as a byte size ("1.5 KB"), kind 4 the
    // provider's text. Any other kind is a fatal assertion.
    std::string Get() const;
};

class StatGroup {
public:
    StatGroup(std::string name, int type, StatClock clock = stat_clock_now);
    StatGroup(const StatGroup&) = delete;
    StatGroup& operator=(const StatGroup&) = delete;

    const std::string& name() const { return name_; }
    int type() const { return type_; }

    // A stored counter of kind STAT_INTEGER or STAT_BYTES (any other kind is a fatal
    // assertion). False when the name exists; otherwise a full group first evicts one counter.
    bool Add(std::string_view name, int flags);
    // Provider-backed counters: false, adding nothing, when flags is not of the provider's kind
    // (1 or 2 for a number, 4 for a text) or the name exists.
    bool Add(std::string_view name, StatNumberProvider provider, int flags);
    bool Add(std::string_view name, StatTextProvider provider, int flags);

    // Change the named counter and the group's total, and stamp both with the clock; the
    // counter's new value, or 0 when no counter has that name. A decrement stops at 0.
    std::uint64_t Increment(std::string_view name, std::uint64_t amount = 1);
    std::uint64_t Decrement(std::string_view name, std::uint64_t amount = 1);
    // Increment, first adding a stored STAT_INTEGER counter of that name when the group has
    // none (a full group evicting one), all in one hold of the lock: an eviction by another
    // thread cannot fall between the adding and the counting, and a name already there costs
    // no allocation.
    std::uint64_t Count(std::string_view name, std::uint64_t amount = 1);

    // limit 0: no bound; else the group holds at most limit - 1 counters. mode 1 evicts the
    // counter with the smallest value, any other mode the least recently changed one.
    void Limit(int limit, int mode);

    // Appends this group's rows (see Stats::Display).
    void Display(Filebuf& buffer) const;

    // A copy of the counters, in order, and of the total, taken under the group's lock.
    std::vector<StatCounter> counters() const;
    std::uint64_t total() const;

private:
    // Frees a place for one more counter when the group is full; called with mutex_ held.
    void Prune();
    bool Append(StatCounter counter);
    // Adds amount to the counter and the total and stamps both; mutex_ held.
    std::uint64_t Bump(StatCounter& counter, std::uint64_t amount);
    StatCounter* Find(std::string_view name);

    const int type_;
    const std::string name_;
    const StatClock clock_;

    mutable std::mutex mutex_;           // guards everything below
    std::uint64_t total_ = 0;            // every amount added minus every amount taken away
    int limit_ = 0;
    int prune_mode_ = 0;
    timeval last_update_{};
    std::vector<StatCounter> counters_;  // in the order they were added
};

// A statistics object. Groups are added only while it is being set up, before it is shared;
// from then on the list of groups is read without a lock and only counters change. Sharing
// goes through the Atom, under atomlock (a new object holds one reference).
class Stats : public Atom {
public:
    explicit Stats(StatClock clock = stat_clock_now);

    // Appends an empty group unless one of that name exists. Not thread-safe: set-up only.
    void AddGroup(std::string_view name, int type);

    // Each operation finds the group by its exact name first; a missing group makes it do
    // nothing (false, or 0).
    bool AddCounter(std::string_view group, std::string_view name, int flags);
    bool AddCounter(std::string_view group, std::string_view name, StatNumberProvider provider, int flags);
    bool AddCounter(std::string_view group, std::string_view name, StatTextProvider provider, int flags);
    std::uint64_t Increment(std::string_view group, std::string_view counter, std::uint64_t amount = 1);
    std::uint64_t Decrement(std::string_view group, std::string_view counter, std::uint64_t amount = 1);
    std::uint64_t Count(std::string_view group, std::string_view counter, std::uint64_t amount = 1);
    void Limit(std::string_view group, int limit, int mode);

    // Appends the HTML rows of every group, in order; the caller supplies the surrounding
    // table and page.
    void Display(Filebuf& buffer) const;

    // Null when no group has that name.
    StatGroup* group(std::string_view name);
    const StatGroup* group(std::string_view name) const;

private:
    const StatClock clock_;
    std::vector<std::unique_ptr<StatGroup>> groups_;   // in the order they were added
};
