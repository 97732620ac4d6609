#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "util/filebuf.h"
#include "core/global.h"
#include "core/options.h"
#include "core/stats.h"

namespace {

// A clock the test moves by hand.
struct FakeClock {
    long seconds = 0;
    StatClock clock()
    {
        return [this] { return timeval{seconds, 0}; };
    }
};

// A statistics object that gives back its one reference before it goes, as every owner does.
struct OwnedStats : Stats {
    using Stats::Stats;
    ~OwnedStats() { Delete(); }
};

std::string display(const Stats& stats)
{
    Filebuf buffer;
    stats.Display(buffer);
    return std::string(buffer.view());
}

std::string display(const StatGroup& group)
{
    Filebuf buffer;
    group.Display(buffer);
    return std::string(buffer.view());
}

std::vector<std::string> names(const StatGroup& group)
{
    std::vector<std::string> result;
    for (const StatCounter& counter : group.counters())
        result.push_back(counter.name);
    return result;
}

std::string row(const char* cls, const std::string& name, const std::string& value)
{
    return "<tr class=\"" + std::string(cls) + "\"><td width=\"40%\">" + name + "</td><td>" + value +
           "</td></tr>\n";
}

const std::string GROUP_END = "</table></td></tr> <tr><td><br></td></tr>\n";

std::string group_head(const std::string& name)
{
    return "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
           "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">" +
           name + "</td></tr>\n";
}

}  // namespace

TEST(Stats, MissingGroupOrCounterCountsNothingAndCreatesNothing)
{
    OwnedStats stats;
    stats.AddGroup("cache", STAT_PERCENT);
    ASSERT_TRUE(stats.AddCounter("cache", "hit", STAT_INTEGER));

    struct Case { const char* group; const char* counter; };
    const Case cases[] = {
        {"cache", "miss"},     // counter missing
        {"Cache", "hit"},      // group names are exact
        {"cache", "HIT"},      // counter names are exact
        {"hosts", "hit"},      // group missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.group) + "/" + c.counter);
        EXPECT_EQ(stats.Increment(c.group, c.counter), 0u);
        EXPECT_EQ(stats.Increment(c.group, c.counter, 5), 0u);
        EXPECT_EQ(stats.Decrement(c.group, c.counter), 0u);
    }
    EXPECT_FALSE(stats.AddCounter("hosts", "a", STAT_INTEGER));
    stats.Limit("hosts", 3, 0);
    EXPECT_EQ(names(*stats.group("cache")), std::vector<std::string>{"hit"});
    EXPECT_EQ(stats.group("cache")->total(), 0u);
    EXPECT_EQ(stats.group("hosts"), nullptr);
}

TEST(Stats, ExistingNamesAreKept)
{
    OwnedStats stats;
    stats.AddGroup("requests", STAT_PLAIN);
    ASSERT_TRUE(stats.AddCounter("requests", "HTTP requests", STAT_INTEGER));
    EXPECT_EQ(stats.Increment("requests", "HTTP requests", 7), 7u);

    EXPECT_FALSE(stats.AddCounter("requests", "HTTP requests", STAT_BYTES));
    EXPECT_FALSE(stats.AddCounter("requests", "HTTP requests", StatNumberProvider([] { return std::uint64_t{1}; }),
                                  STAT_INTEGER));
    EXPECT_EQ(stats.Increment("requests", "HTTP requests"), 8u);
    EXPECT_EQ(display(stats), group_head("requests") + row("listeven", "HTTP requests", "8") + GROUP_END);

    // A second group of an existing name is ignored: the first keeps its counters.
    stats.AddGroup("requests", STAT_PERCENT);
    EXPECT_EQ(stats.group("requests")->type(), STAT_PLAIN);
    EXPECT_EQ(stats.Increment("requests", "HTTP requests"), 9u);
}

TEST(Stats, CountsAreSixtyFourBitAndDecrementStopsAtZero)
{
    OwnedStats stats;
    stats.AddGroup("network", STAT_PLAIN);
    ASSERT_TRUE(stats.AddCounter("network", "bytes in", STAT_BYTES));
    ASSERT_TRUE(stats.AddCounter("network", "successful connections", STAT_INTEGER));

    const std::uint64_t five_gib = 5ull << 30;
    EXPECT_EQ(stats.Increment("network", "bytes in", five_gib), five_gib);
    EXPECT_EQ(stats.Increment("network", "successful connections", 4294967295ull), 4294967295ull);
    EXPECT_EQ(stats.Increment("network", "successful connections"), 4294967296ull);
    EXPECT_EQ(display(stats), group_head("network") + row("listeven", "bytes in", "5.0 GB") +
                                  row("listodd", "successful connections", "4294967296") + GROUP_END);

    EXPECT_EQ(stats.Decrement("network", "successful connections", 4294967290ull), 6u);
    EXPECT_EQ(stats.Decrement("network", "successful connections", 10), 0u);
    EXPECT_EQ(stats.group("network")->total(), five_gib);
}

TEST(Stats, PercentGroupShowsTruncatedShareOfTheTotal)
{
    struct Case { std::uint64_t hit, miss; const char* hit_text; const char* miss_text; };
    const Case cases[] = {
        {3, 1, "3 (75%)", "1 (25%)"},
        {1, 2, "1 (33%)", "2 (66%)"},
        {0, 0, "0 (0%)", "0 (0%)"},
        {0, 4, "0 (0%)", "4 (100%)"},
        // The product value * 100 does not fit 64 bits.
        {1ull << 62, 1ull << 62, "4611686018427387904 (50%)", "4611686018427387904 (50%)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hit << "/" << c.miss);
        OwnedStats stats;
        stats.AddGroup("cache", STAT_PERCENT);
        ASSERT_TRUE(stats.AddCounter("cache", "hit", STAT_INTEGER));
        ASSERT_TRUE(stats.AddCounter("cache", "miss", STAT_INTEGER));
        if (c.hit != 0)
            stats.Increment("cache", "hit", c.hit);
        if (c.miss != 0)
            stats.Increment("cache", "miss", c.miss);
        EXPECT_EQ(display(stats), group_head("cache") + row("listeven", "hit", c.hit_text) +
                                      row("listodd", "miss", c.miss_text) + GROUP_END);
    }
}

TEST(Stats, TakingBackACountRestoresCounterAndTotal)
{
    OwnedStats stats;
    stats.AddGroup("cache", STAT_PERCENT);
    stats.AddCounter("cache", "hit", STAT_INTEGER);
    stats.AddCounter("cache", "miss", STAT_INTEGER);
    stats.Increment("cache", "hit");
    stats.Increment("cache", "miss");
    stats.Increment("cache", "hit");
    EXPECT_EQ(stats.Decrement("cache", "hit"), 1u);
    EXPECT_EQ(stats.group("cache")->total(), 2u);
    EXPECT_EQ(display(stats), group_head("cache") + row("listeven", "hit", "1 (50%)") +
                                  row("listodd", "miss", "1 (50%)") + GROUP_END);
}

TEST(Stats, DisplayEscapesCounterNamesAndAlternatesRowsAcrossGroups)
{
    OwnedStats stats;
    stats.AddGroup("hosts", STAT_PERCENT);
    stats.AddGroup("users", STAT_PERCENT);
    for (const char* name : {"a.example", "<script>\"x\"&", "c.example"}) {
        stats.AddCounter("hosts", name, STAT_INTEGER);
        stats.Increment("hosts", name);
    }
    stats.AddCounter("users", "bob\nsmith", STAT_INTEGER);
    stats.Increment("users", "bob\nsmith", 2);

    EXPECT_EQ(display(stats), group_head("hosts") + row("listeven", "a.example", "1 (33%)") +
                                  row("listodd", "&lt;script&gt;&quot;x&quot;&amp;", "1 (33%)") +
                                  row("listeven", "c.example", "1 (33%)") + GROUP_END +
                                  // Each group starts again with "listeven".
                                  group_head("users") + row("listeven", "bob<br>smith", "2 (100%)") + GROUP_END);
}

TEST(Stats, CounterTextByKindAndProvider)
{
    std::uint64_t resident = 1536;
    OwnedStats stats;
    stats.AddGroup("system", STAT_PLAIN);
    ASSERT_TRUE(stats.AddCounter("system", "user time", StatTextProvider([] { return std::string("00:00:01.50"); }),
                                 STAT_TEXT));
    ASSERT_TRUE(stats.AddCounter("system", "memory resident", StatNumberProvider([&resident] { return resident; }),
                                 STAT_BYTES));
    ASSERT_TRUE(stats.AddCounter("system", "minor pagefaults", StatNumberProvider([] { return std::uint64_t{42}; }),
                                 STAT_INTEGER));
    ASSERT_TRUE(stats.AddCounter("system", "stored bytes", STAT_BYTES));
    stats.Increment("system", "stored bytes", 1023);

    // A provider of the wrong kind is refused and adds nothing.
    EXPECT_FALSE(stats.AddCounter("system", "t", StatTextProvider([] { return std::string("x"); }), STAT_INTEGER));
    EXPECT_FALSE(stats.AddCounter("system", "n", StatNumberProvider([] { return std::uint64_t{1}; }), STAT_TEXT));
    EXPECT_FALSE(stats.AddCounter("system", "e", StatNumberProvider(), STAT_INTEGER));

    const std::vector<StatCounter> counters = stats.group("system")->counters();
    ASSERT_EQ(counters.size(), 4u);
    EXPECT_EQ(counters[0].flags, STAT_TEXT | STAT_PROVIDER);
    EXPECT_EQ(counters[1].flags, STAT_BYTES | STAT_PROVIDER);
    EXPECT_EQ(counters[3].flags, STAT_BYTES);

    EXPECT_EQ(display(stats), group_head("system") + row("listeven", "user time", "00:00:01.50") +
                                  row("listodd", "memory resident", "1.5 KB") +
                                  row("listeven", "minor pagefaults", "42") +
                                  row("listodd", "stored bytes", "1023.0 B") + GROUP_END);
    // Providers are asked at every display.
    resident = 0;
    EXPECT_NE(display(stats).find(row("listodd", "memory resident", "0.0 B")), std::string::npos);
}

TEST(Stats, ProviderMayCountInItsOwnGroupWhileShown)
{
    // A provider runs without the group's lock: one that touches its own group must not hang.
    OwnedStats stats;
    stats.AddGroup("system", STAT_PLAIN);
    stats.AddCounter("system", "shown", STAT_INTEGER);
    stats.AddCounter("system", "probe", StatNumberProvider([&stats] { return stats.Increment("system", "shown"); }),
                     STAT_INTEGER);
    EXPECT_EQ(display(stats), group_head("system") + row("listeven", "shown", "0") + row("listodd", "probe", "1") +
                                  GROUP_END);
}

TEST(StatGroup, PruneEvictsOneCounterWhenTheGroupIsFull)
{
    struct Case {
        const char* what;
        int limit, mode;
        std::vector<std::string> after;   // the counters after adding "c" to a and b
    };
    // a is changed at 10 s (value 4), b at 5 s (value 4).
    const Case cases[] = {
        {"least recently changed goes", 3, 0, {"a", "c"}},
        {"smallest value goes, first of a tie", 3, 1, {"b", "c"}},
        {"any other mode is by time", 3, 7, {"a", "c"}},
        {"room left", 4, 0, {"a", "b", "c"}},
        {"no bound", 0, 0, {"a", "b", "c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        StatGroup group("hosts", STAT_PERCENT, clock.clock());
        group.Limit(c.limit, c.mode);
        ASSERT_TRUE(group.Add("a", STAT_INTEGER));
        ASSERT_TRUE(group.Add("b", STAT_INTEGER));
        clock.seconds = 5;
        group.Increment("b", 4);
        clock.seconds = 10;
        group.Increment("a", 4);
        ASSERT_TRUE(group.Add("c", STAT_INTEGER));
        EXPECT_EQ(names(group), c.after);
        // The total keeps what an evicted counter counted.
        EXPECT_EQ(group.total(), 8u);
    }
}

TEST(StatGroup, NeverChangedCounterIsTheOldestAndSmallest)
{
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        FakeClock clock;
        StatGroup group("hosts", STAT_PERCENT, clock.clock());
        group.Limit(3, mode);
        group.Add("a", STAT_INTEGER);
        group.Add("b", STAT_INTEGER);
        clock.seconds = 1;
        group.Increment("a");
        group.Add("c", STAT_INTEGER);
        EXPECT_EQ(names(group), (std::vector<std::string>{"a", "c"}));
    }
}

TEST(StatGroup, BoundedGroupKeepsTheNewestNinetyNine)
{
    FakeClock clock;
    OwnedStats stats(clock.clock());
    stats.AddGroup("hosts", STAT_PERCENT);
    stats.Limit("hosts", STAT_LIMIT, 0);
    // Counted the way requests count hosts: added if missing, then increased.
    auto count = [&stats](const std::string& host) { stats.Count("hosts", host); };
    for (int i = 0; i < 99; ++i) {
        clock.seconds = 100 + i;
        count("host" + std::to_string(i));
    }
    clock.seconds = 300;
    count("host0");   // host1 is now the least recently counted
    count("host99");
    const std::vector<std::string> kept = names(*stats.group("hosts"));
    ASSERT_EQ(kept.size(), 99u);
    EXPECT_EQ(kept.front(), "host0");
    EXPECT_EQ(kept[1], "host2");
    EXPECT_EQ(kept.back(), "host99");
    // host0 counted twice; every eviction leaves the total as it was.
    EXPECT_EQ(stats.group("hosts")->total(), 101u);
    EXPECT_NE(display(stats).find(row("listeven", "host0", "2 (1%)")), std::string::npos);
}

TEST(StatGroup, ConcurrentCountingLosesNothing)
{
    OwnedStats stats;
    stats.AddGroup("requests", STAT_PLAIN);
    stats.AddGroup("hosts", STAT_PERCENT);
    stats.Limit("hosts", 10, 0);
    stats.AddCounter("requests", "HTTP requests", STAT_INTEGER);
    constexpr int threads = 8;
    constexpr int rounds = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&stats, t] {
            Filebuf page;
            for (int i = 0; i < rounds; ++i) {
                stats.Increment("requests", "HTTP requests");
                // 37 names through a group that keeps 9: most counts evict another name.
                const std::string host = "h" + std::to_string((t * rounds + i) % 37);
                stats.Count("hosts", host);
                if (i % 500 == 0)
                    stats.Display(page);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(stats.group("requests")->counters().at(0).value, std::uint64_t{threads * rounds});
    EXPECT_EQ(stats.group("requests")->total(), std::uint64_t{threads * rounds});
    EXPECT_LE(stats.group("hosts")->counters().size(), 9u);
    // Each count lands although names come and go: the adding and the counting are one step.
    EXPECT_EQ(stats.group("hosts")->total(), std::uint64_t{threads * rounds});
}

TEST(Stats, SharedThroughItsAtom)
{
    auto* stats = new Stats;
    {
        std::lock_guard lock(atomlock);
        stats->New();
    }
    std::lock_guard lock(atomlock);
    EXPECT_FALSE(stats->Delete());
    ASSERT_TRUE(stats->Delete());
    delete stats;
}

TEST(Stats, RuntimeRecordHoldsTheGlobalObject)
{
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(global->stats.group("requests"), nullptr);   // filled at bring-up, not by the record
}

namespace {

// In the child of a death test: log lines go to standard error, where the test reads them.
void log_to_stderr()
{
    daemonize = 0;
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

const char* const STATS_ASSERTION = "ASSERTION: src/core/stats";

}  // namespace

TEST(StatsDeathTest, CounterOfNoDefinedKindIsFatal)
{
    for (const int flags : {0, STAT_TEXT, STAT_INTEGER | STAT_BYTES, 16}) {
        SCOPED_TRACE(flags);
        EXPECT_EXIT(
            {
                log_to_stderr();
                StatGroup group("g", STAT_PLAIN);
                group.Add("x", flags);
            },
            testing::ExitedWithCode(1), STATS_ASSERTION);
    }
    EXPECT_EXIT(
        {
            log_to_stderr();
            StatCounter{}.Get();
        },
        testing::ExitedWithCode(1), STATS_ASSERTION);
    EXPECT_EXIT(
        {
            log_to_stderr();
            StatCounter counter;
            counter.flags = STAT_TEXT | STAT_PROVIDER;   // no provider behind it
            counter.Get();
        },
        testing::ExitedWithCode(1), STATS_ASSERTION);
}

TEST(StatsDeathTest, PercentGroupHoldsOnlyStoredIntegers)
{
    EXPECT_EXIT(
        {
            log_to_stderr();
            StatGroup group("cache", STAT_PERCENT);
            group.Add("bytes", STAT_BYTES);
            display(group);
        },
        testing::ExitedWithCode(1), STATS_ASSERTION);
    EXPECT_EXIT(
        {
            log_to_stderr();
            StatGroup group("cache", STAT_PERCENT);
            group.Add("n", StatNumberProvider([] { return std::uint64_t{1}; }), STAT_INTEGER);
            display(group);
        },
        testing::ExitedWithCode(1), STATS_ASSERTION);
}
