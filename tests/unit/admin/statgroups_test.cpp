#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/connection.h"
#include "util/filebuf.h"
#include "core/global.h"
#include "http/header.h"
#include "core/statgroups.h"

namespace fs = std::filesystem;

namespace {

struct CounterShape {
    std::string name;
    int flags;
};

struct GroupShape {
    std::string name;
    int type;
    std::vector<CounterShape> counters;
};

constexpr int PROVIDED_TEXT = STAT_TEXT | STAT_PROVIDER;
constexpr int PROVIDED_BYTES = STAT_BYTES | STAT_PROVIDER;
constexpr int PROVIDED_INTEGER = STAT_INTEGER | STAT_PROVIDER;

void expect_shape(const Stats& stats, const std::vector<GroupShape>& groups)
{
    for (const GroupShape& expected : groups) {
        SCOPED_TRACE(expected.name);
        const StatGroup* group = stats.group(expected.name);
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->type(), expected.type);
        const std::vector<StatCounter> counters = group->counters();
        ASSERT_EQ(counters.size(), expected.counters.size());
        for (std::size_t i = 0; i < counters.size(); ++i) {
            EXPECT_EQ(counters[i].name, expected.counters[i].name);
            EXPECT_EQ(counters[i].flags, expected.counters[i].flags) << counters[i].name;
        }
    }
    // Shown in the order they were made.
    Filebuf page;
    stats.Display(page);
    const std::string html(page.view());
    std::size_t at = 0;
    for (const GroupShape& expected : groups) {
        const std::size_t found = html.find("colspan=\"2\">" + expected.name + "</td>", at);
        ASSERT_NE(found, std::string::npos) << expected.name;
        at = found;
    }
}

std::uint64_t value_of(const Stats& stats, std::string_view group, std::string_view name)
{
    const StatGroup* g = stats.group(group);
    if (g == nullptr)
        return 0;
    for (const StatCounter& counter : g->counters())
        if (counter.name == name)
            return counter.value;
    return 0;
}

bool has_counter(const Stats& stats, std::string_view group, std::string_view name)
{
    const StatGroup* g = stats.group(group);
    if (g == nullptr)
        return false;
    for (const StatCounter& counter : g->counters())
        if (counter.name == name)
            return true;
    return false;
}

std::uint64_t total_of(const Stats& stats, std::string_view group)
{
    const StatGroup* g = stats.group(group);
    return g != nullptr ? g->total() : 0;
}

// A clock the test moves by hand.
struct FakeClock {
    long seconds = 1;
    StatClock clock()
    {
        return [this] { return timeval{seconds, 0}; };
    }
};

// A request for host by client 10.1.2.3, admitted by a rule whose statistics object
// is rule (null: none).
ConnectionPtr make_connection(Stats* rule, const char* host = "www.example.com")
{
    ConnectionPtr connection = connection_new();
    connection->ip = "10.1.2.3";
    connection->stats = StatsRef::share(rule);
    connection->request = header_new();
    connection->request->host = host;
    return connection;
}

class StatGroupsTest : public testing::Test {
protected:
    void SetUp() override
    {
        globalstats_init();
        response_ = header_new();
        response_->content_type = "text/html; charset=utf-8";
    }

    Stats& global_stats_ = global->stats;
    HeaderPtr response_;
};

TEST_F(StatGroupsTest, GlobalGroups)
{
    const std::vector<GroupShape> shape = {
        {"system", STAT_PLAIN,
         {{"user time", PROVIDED_TEXT},
          {"system time", PROVIDED_TEXT},
          {"memory resident", PROVIDED_BYTES},
          {"memory size", PROVIDED_BYTES},
          {"memory shared", PROVIDED_BYTES},
          {"minor pagefaults", PROVIDED_INTEGER},
          {"major pagefaults", PROVIDED_INTEGER}}},
        {"requests", STAT_PLAIN,
         {{"HTTP requests", STAT_INTEGER}, {"FTP requests", STAT_INTEGER}, {"CONNECT requests", STAT_INTEGER}}},
        {"network", STAT_PLAIN,
         {{"successful connections", STAT_INTEGER},
          {"failed connections", STAT_INTEGER},
          {"DNS failures", STAT_INTEGER},
          {"bytes in", STAT_BYTES},
          {"bytes out", STAT_BYTES}}},
        {"DNS cache", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
        {"cache", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
        {"cache refresh", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
        {"connection pool", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
        {"hosts", STAT_PERCENT, {}},
        {"mimes", STAT_PERCENT, {}},
        {"users", STAT_PERCENT, {}},
        {"ip addresses", STAT_PERCENT, {}},
    };
    expect_shape(global_stats_, shape);
    // A second call, as a repeated bring-up would make, adds nothing.
    globalstats_init();
    expect_shape(global_stats_, shape);
}

TEST_F(StatGroupsTest, RuleGroups)
{
    const StatsRef rule = userstats_init();
    expect_shape(*rule,
                 {
                     {"requests", STAT_PLAIN,
                      {{"HTTP requests", STAT_INTEGER},
                       {"FTP requests", STAT_INTEGER},
                       {"CONNECT requests", STAT_INTEGER}}},
                     {"cache", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
                     {"cache refresh", STAT_PERCENT, {{"hit", STAT_INTEGER}, {"miss", STAT_INTEGER}}},
                     {"hosts", STAT_PERCENT, {}},
                     {"mimes", STAT_PERCENT, {}},
                 });
    for (const char* absent : {"system", "network", "DNS cache", "connection pool", "users", "ip addresses"})
        EXPECT_EQ(rule->group(absent), nullptr) << absent;
    // Each rule has an object of its own.
    const StatsRef other = userstats_init();
    EXPECT_NE(other.get(), rule.get());
}

TEST_F(StatGroupsTest, CountsInTheProxyAndTheAdmittingRule)
{
    struct Case {
        void (*count)(CONNECTION_T*);
        const char* group;
        const char* counter;
        bool in_rule;
    };
    const Case cases[] = {
        {statincr_httprequests, "requests", "HTTP requests", true},
        {statincr_ftprequests, "requests", "FTP requests", true},
        {statincr_connectrequests, "requests", "CONNECT requests", true},
        {statincr_cachehit, "cache", "hit", true},
        {statincr_cachemiss, "cache", "miss", true},
        {statincr_cacherefreshhit, "cache refresh", "hit", true},
        {statincr_cacherefreshmiss, "cache refresh", "miss", true},
        {statincr_hosts, "hosts", "www.example.com", true},
        {statincr_mimes, "mimes", "text/html; charset=utf-8", true},
        {statincr_ipaddresses, "ip addresses", "10.1.2.3", false},
    };
    const StatsRef rule = userstats_init();
    const StatsRef bystander = userstats_init();
    ConnectionPtr admitted = make_connection(rule.get());
    admitted->response = response_.get();
    ConnectionPtr unruled = make_connection(nullptr);
    unruled->response = response_.get();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.group) + "/" + c.counter);
        const std::uint64_t global_before = value_of(global_stats_, c.group, c.counter);
        const std::uint64_t global_total = total_of(global_stats_, c.group);
        const std::uint64_t rule_total = total_of(*rule, c.group);
        c.count(admitted.get());
        c.count(admitted.get());
        c.count(unruled.get());
        EXPECT_EQ(value_of(global_stats_, c.group, c.counter), global_before + 3);
        EXPECT_EQ(total_of(global_stats_, c.group), global_total + 3);
        EXPECT_EQ(value_of(*rule, c.group, c.counter), c.in_rule ? 2u : 0u);
        EXPECT_EQ(total_of(*rule, c.group), rule_total + (c.in_rule ? 2u : 0u));
        EXPECT_EQ(total_of(*bystander, c.group), 0u);
    }
    // The rule's object counts nothing it was not asked to.
    EXPECT_EQ(total_of(*rule, "requests"), 6u);
    EXPECT_EQ(total_of(*rule, "cache"), 4u);
}

TEST_F(StatGroupsTest, TakingBackAHitRestoresCounterAndTotal)
{
    const StatsRef rule = userstats_init();
    ConnectionPtr connection = make_connection(rule.get());
    statincr_cachemiss(connection.get());
    const std::uint64_t hit = value_of(global_stats_, "cache", "hit");
    const std::uint64_t total = total_of(global_stats_, "cache");
    statincr_cachehit(connection.get());
    statdecr_cachehit(connection.get());
    EXPECT_EQ(value_of(global_stats_, "cache", "hit"), hit);
    EXPECT_EQ(total_of(global_stats_, "cache"), total);
    EXPECT_EQ(value_of(*rule, "cache", "hit"), 0u);
    EXPECT_EQ(total_of(*rule, "cache"), 1u);
    // A hit taken back that was never counted does not wrap around.
    statdecr_cachehit(connection.get());
    EXPECT_EQ(value_of(*rule, "cache", "hit"), 0u);
    EXPECT_EQ(total_of(*rule, "cache"), 1u);
}

TEST_F(StatGroupsTest, MissingValuesCountNothing)
{
    const StatsRef rule = userstats_init();
    ConnectionPtr connection = make_connection(rule.get());
    connection->request->host.reset();
    statincr_hosts(connection.get());
    statincr_mimes(connection.get());   // no response yet
    connection->request.reset();
    statincr_hosts(connection.get());
    connection->response = response_.get();
    response_->content_type.reset();
    statincr_mimes(connection.get());
    EXPECT_EQ(total_of(*rule, "hosts"), 0u);
    EXPECT_EQ(total_of(*rule, "mimes"), 0u);
    EXPECT_TRUE(rule->group("hosts")->counters().empty());
    statincr_httprequests(nullptr);   // no connection: no rule, the proxy still counts
}

TEST_F(StatGroupsTest, OnDemandGroupsKeepTheNinetyNineMostRecentNames)
{
    FakeClock clock;
    const StatsRef rule = userstats_init(clock.clock());
    ConnectionPtr connection = make_connection(rule.get());
    auto count_host = [&](int n) {
        ++clock.seconds;
        connection->request->host = "host" + std::to_string(n) + ".example";
        statincr_hosts(connection.get());
    };
    // host0 comes first but is counted last; host1 is counted most but least recently.
    count_host(0);
    for (int i = 0; i < 3; ++i)
        count_host(1);
    for (int n = 2; n < 99; ++n)
        count_host(n);
    count_host(0);
    EXPECT_EQ(rule->group("hosts")->counters().size(), 99u);

    count_host(99);
    const std::vector<StatCounter> hosts = rule->group("hosts")->counters();
    EXPECT_EQ(hosts.size(), 99u);
    EXPECT_FALSE(has_counter(*rule, "hosts", "host1.example"));
    EXPECT_EQ(value_of(*rule, "hosts", "host0.example"), 2u);
    EXPECT_EQ(value_of(*rule, "hosts", "host99.example"), 1u);
    // The total keeps the evicted host's count.
    EXPECT_EQ(value_of(*rule, "hosts", "host2.example"), 1u);
    EXPECT_EQ(total_of(*rule, "hosts"), 103u);

    // The same bound holds for every on-demand group of the proxy.
    for (const char* group : {"hosts", "mimes", "users", "ip addresses"}) {
        SCOPED_TRACE(group);
        for (int n = 0; n < 120; ++n)
            stat_count_name(&global_stats_, group, "bound" + std::to_string(n));
        EXPECT_EQ(global_stats_.group(group)->counters().size(), 99u);
    }
    stat_count_name(nullptr, "users", "nobody");   // ignored
}

TEST_F(StatGroupsTest, StatmLoad)
{
    char name[] = "/tmp/statgroups_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path dir = name;
    const unsigned long page = static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
    struct Case {
        const char* text;
        bool loaded;
    };
    const Case cases[] = {
        {"1 2 3 4 5 6 7\n", true},
        {"1 2 3 4 5 6 7", true},   // no newline
        {"1 2 3 4 5 6 7 8\n", true},
        {"1 2 3 4 5 6\n", false},
        {"1 2 3 -4 5 6 7\n", false},
        {"1 2 x 4 5 6 7\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const fs::path file = dir / "statm";
        std::ofstream(file) << c.text;
        statm_t statm;
        statm.dirty = 99;
        EXPECT_EQ(statm_load(&statm, file.c_str()), c.loaded);
        if (c.loaded) {
            EXPECT_EQ(statm.size, 1 * page);
            EXPECT_EQ(statm.resident, 2 * page);
            EXPECT_EQ(statm.shared, 3 * page);
            EXPECT_EQ(statm.text, 4 * page);
            EXPECT_EQ(statm.lib, 5 * page);
            EXPECT_EQ(statm.data, 6 * page);
            EXPECT_EQ(statm.dirty, 7 * page);
        } else {
            EXPECT_EQ(statm.dirty, 99u);
        }
    }
    statm_t statm;
    EXPECT_FALSE(statm_load(&statm, (dir / "absent").c_str()));
    fs::remove_all(dir);

    // This process's own figures.
    ASSERT_TRUE(statm_load(&statm));
    EXPECT_GT(statm.resident, 0u);
    EXPECT_GE(statm.size, statm.resident);
    EXPECT_EQ(stat_size() % page, 0u);
    EXPECT_GT(stat_resident(), 0u);
    EXPECT_GT(stat_share(), 0u);
}

TEST_F(StatGroupsTest, SystemGroupShowsTheRecordedUsage)
{
    rusage saved{};
    {
        std::lock_guard lock(global->mutex);
        saved = global->usage;
        global->usage.ru_utime = timeval{3723, 450000};
        global->usage.ru_stime = timeval{59, 990000};
        global->usage.ru_minflt = 1234;
        global->usage.ru_majflt = 17;
    }
    EXPECT_EQ(stat_usertime(), "01:02:03.45");
    EXPECT_EQ(stat_systime(), "00:00:59.99");
    EXPECT_EQ(stat_minflt(), 1234u);
    EXPECT_EQ(stat_majflt(), 17u);

    Filebuf page;
    global_stats_.group("system")->Display(page);
    const std::string html(page.view());
    EXPECT_NE(html.find("user time</td><td>01:02:03.45</td>"), std::string::npos) << html;
    EXPECT_NE(html.find("system time</td><td>00:00:59.99</td>"), std::string::npos);
    EXPECT_NE(html.find("minor pagefaults</td><td>1234</td>"), std::string::npos);
    EXPECT_NE(html.find("major pagefaults</td><td>17</td>"), std::string::npos);
    EXPECT_NE(html.find("memory resident</td><td>"), std::string::npos);
    EXPECT_EQ(html.find("memory resident</td><td>0.0 B</td>"), std::string::npos);

    std::lock_guard lock(global->mutex);
    global->usage = saved;
}

} // namespace
