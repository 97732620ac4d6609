// The "limits" section: per-rule time blocks, request caps, download and upload quotas and a
// throttled download rate, each within a time window. Counters belong to the rule, so every
// connection a rule applies to draws on the same quota.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "net/socket.h"
#include "util/helpers.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;

// Positions of a limit rule's values in its item.
enum : int {
    LIMIT_FIELD_ENABLED = 0,
    LIMIT_FIELD_COMMENT = 1,
    LIMIT_FIELD_PROFILES = 2,
    LIMIT_FIELD_ACTION = 3,
    LIMIT_FIELD_TEMPLATE = 4,
    LIMIT_FIELD_MONTH = 5,
    LIMIT_FIELD_DAY = 6,
    LIMIT_FIELD_WEEKDAY = 7,
    LIMIT_FIELD_HOUR = 8,
    LIMIT_FIELD_MINUTE = 9,
    LIMIT_FIELD_DOWNLOAD = 10,
    LIMIT_FIELD_UPLOAD = 11,
    LIMIT_FIELD_REQUESTS = 12,
    LIMIT_FIELD_RATE = 13,
    LIMIT_FIELD_TIMEMODE = 14,
    LIMIT_FIELD_OPTIONS = 15,
    LIMIT_FIELD_COUNT = 16,
};

// Rule actions and option bits.
enum : int {
    LIMIT_ACTION_BLOCK = 1,       // every request is blocked while the window holds
    LIMIT_OPTION_CACHED = 1,      // responses served from the cache count and are limited too
    LIMIT_OPTION_NOCOUNT = 2,     // the rule limits but never counts
    LIMIT_OPTION_SHARED = 4,      // one rate group for every connection the rule applies to
};

// A rule's counters. Connection threads add to them concurrently while the timer thread zeroes
// them; 64 bits wide, so no amount of traffic wraps a quota open again.
struct LimitCounters {
    std::atomic<std::uint64_t> downloaded{0};
    std::atomic<std::uint64_t> uploaded{0};
    std::atomic<std::uint64_t> requests{0};
};

// One rule: its settings are read-only once built; only its counters change.
class Limit {
public:
    explicit Limit(const Item& item);
    Limit(Limit&&) noexcept = default;
    Limit(const Limit&) = delete;
    Limit& operator=(const Limit&) = delete;
    Limit& operator=(Limit&&) = delete;
    ~Limit() = default;

    // Enabled, the profiles accepted and `now` inside the window.
    bool applies(const StringList& profiles, const std::tm& now) const;
    bool in_window(const std::tm& now) const;
    // The quota left below the counter: 0 once the counter has reached it.
    static std::uint32_t remainder(std::uint32_t quota, std::uint64_t counted);

    int enabled = 0;
    std::string comment;
    StringList profiles;
    int action = 0;
    std::string templ;                  // empty: the page of the limit that blocks
    tm_partial start{}, end{};          // year never set
    std::uint32_t download_quota = 0;   // 0: none
    std::uint32_t upload_quota = 0;
    std::uint32_t request_cap = 0;
    std::uint32_t rate = 0;             // bytes per second
    int timemode = 0;                   // 0: absolute window, else recurring
    int options = 0;                    // LIMIT_OPTION_* bits
    std::unique_ptr<LimitCounters> counters = std::make_unique<LimitCounters>();
    LimitGroupRef group;                // with LIMIT_OPTION_SHARED: every connection's write group
};

struct LimitRules {
    std::vector<Limit> limits;
    int enabled = 0;
};

class LimitSection final : public Section {
public:
    // The declarations must give the enabled value as the first global value and one
    // subsection of at least LIMIT_FIELD_COUNT fields.
    LimitSection();
    ~LimitSection() override = default;

    // Builds every rule anew: the counters start again from 0.
    void update() override;
    std::shared_ptr<const LimitRules> rules() const;

    // Sets the connection's allowances and rate from the rules that apply. 1 when a rule blocked
    // the request (the client has been answered), else 0.
    int check_and_block(CONNECTION_T* connection);
    // Counts the traffic of the request that ended.
    void update(CONNECTION_T* connection);
    // Zeroes the counters of the rules whose window has closed.
    void reset();

private:
    SectionRules<LimitRules> rules_{*this};
};

// The timer job (every second): resets the limit section's counters; the argument is not used.
void limits_reset(void* unused);

// Tests move the local time the windows are tested against; null restores the system clock.
using limit_clock_t = std::time_t (*)();
void limit_set_clock(limit_clock_t clock);

// Created by the runtime bring-up; null before.
extern LimitSection* limit_section;
