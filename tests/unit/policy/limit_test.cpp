#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "core/connection.h"
#include "http/request.h"
#include "policy/limit.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

const XmlFields LIMIT_RULE = {
    {"enabled", "true"}, {"comment", ""},    {"profiles", ""},  {"action", "0"},    {"template", ""},
    {"month", "-"},      {"day", "-"},       {"weekday", "-"},  {"hour", "-"},      {"minute", "-"},
    {"download", "0"},   {"upload", "0"},    {"requests", "0"}, {"rate", "0"},      {"timematch", "absolute"},
    {"options", "0"},
};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("limit", LIMIT_RULE, set); }

std::time_t local_time(int hour, int min)
{
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 5;
    tm.tm_mday = 12;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::time_t fake_now = 0;
std::time_t fake_clock() { return fake_now; }

class LimitTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
        fake_now = local_time(12, 0);
        limit_set_clock(fake_clock);
    }
    void TearDown() override
    {
        load("", false);
        limit_set_clock(nullptr);
    }

    void load(const std::string& rules, bool enabled = true)
    {
        section_load(*limit_section, std::string("<limits><enabled>") + (enabled ? "true" : "false") + "</enabled>" +
                                         rules + "</limits>");
    }

    // One request through the check and, when it passes, the count: the check's result.
    int request(road::Wired& wired, std::uint64_t downloaded = 0, std::uint64_t uploaded = 0)
    {
        wired->request = http_header_parse_request("GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\n\r\n");
        EXPECT_NE(wired->request, nullptr);
        wired->bytes_out = uploaded;
        const int blocked = limit_section->check_and_block(wired.get());
        if (blocked == 0) {
            wired->bytes_in = downloaded;
            limit_section->update(wired.get());
        }
        return blocked;
    }
};

TEST_F(LimitTest, AllowancesAreWhatIsLeftOfTheTightestQuota)
{
    struct Case {
        const char* what;
        std::string rules;
        std::vector<std::uint64_t> downloads;   // counted before the check
        std::uint32_t download_allowance;
        std::optional<std::string> downloadlimit;
    };
    const Case cases[] = {
        {"no quota", rule({}), {500}, ALLOWANCE_UNLIMITED, std::nullopt},
        {"600 of 1000 used", rule({{"download", "1000"}}), {600}, 400, "1000"},
        {"used beyond the quota", rule({{"download", "1000"}}), {600, 600}, 0, "1000"},
        {"the tighter of two rules", rule({{"download", "5000"}}) + rule({{"download", "1000"}}), {600}, 400, "1000"},
        {"a rule that does not apply", rule({{"download", "1000"}, {"profiles", "kids"}}), {600}, ALLOWANCE_UNLIMITED,
         std::nullopt},
        // Counted in 64 bits: 5 GiB does not wrap round to look like 1 GiB.
        {"beyond 4 GiB", rule({{"download", "4294967295"}}), {5ull << 30}, 0, "4294967295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.rules);
        road::Wired wired(false);
        for (const std::uint64_t bytes : c.downloads)
            ASSERT_EQ(request(wired, bytes), 0);
        ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
        EXPECT_EQ(wired->download_allowance, c.download_allowance);
        EXPECT_EQ(wired->upload_allowance, ALLOWANCE_UNLIMITED);
        const auto shown = wired->variables.find("DOWNLOADLIMIT");
        EXPECT_EQ(shown != wired->variables.end() ? std::optional<std::string>(shown->second) : std::nullopt,
                  c.downloadlimit);
    }
}

TEST_F(LimitTest, UploadsCountTheRequestBodyReadBeforeTheCheck)
{
    load(rule({{"upload", "1000"}}));
    road::Wired wired(false);
    ASSERT_EQ(request(wired, 0, 700), 0);
    ASSERT_EQ(request(wired), 0);   // a request without a body adds nothing
    ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
    EXPECT_EQ(wired->upload_allowance, 300u);
    EXPECT_EQ(wired->variables["UPLOADLIMIT"], "1000");
}

TEST_F(LimitTest, WhatCountsAndWhatDoesNot)
{
    struct Case {
        const char* what;
        int options;
        bool from_cache;
        std::uint32_t bypass;
        std::uint32_t allowance_after;   // of a 1000-byte quota, after 600 bytes
    };
    const Case cases[] = {
        {"a download from a server", 0, false, 0, 400},
        {"from the cache, not counted", 0, true, 0, 1000},
        {"from the cache, counted with option 1", LIMIT_OPTION_CACHED, true, 0, 400},
        {"option 2 never counts", LIMIT_OPTION_NOCOUNT, false, 0, 1000},
        {"bypassed", 0, false, BYPASS_LIMITS, ALLOWANCE_UNLIMITED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(rule({{"download", "1000"}, {"options", std::to_string(c.options)}}));
        road::Wired wired(false);
        wired->bypass = c.bypass;
        ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
        CACHEMAP object{};
        if (c.from_cache)
            wired->cache = CacheRef(nullptr, &object);   // only its presence is read
        wired->bytes_in = 600;
        limit_section->update(wired.get());
        wired->cache.release();
        EXPECT_EQ(wired->bytes_in, 0u);
        ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
        EXPECT_EQ(wired->download_allowance, c.allowance_after);
        EXPECT_EQ((wired->flags & CONN_LIMIT) != 0, (c.options & LIMIT_OPTION_CACHED) != 0);
    }
}

TEST_F(LimitTest, RequestCapBlocksFromTheRequestAfterIt)
{
    load(rule({{"requests", "3"}}));
    road::Wired wired(false);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(request(wired), 0) << "request " << i + 1;
    road::read_now(wired.client_peer);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(request(wired), 1);
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_EQ(sent.rfind("HTTP/1.1 404", 0), 0u) << sent;
        EXPECT_EQ(wired->variables["LIMIT_TYPE"], "Max Requests");
        EXPECT_EQ(wired->logentry.filtering_reason, "max-requests restrictions");
        EXPECT_EQ(wired->logentry.filter_name, "limit-section");
    }
    // Outside any window the counters only go with a rebuild.
    limit_section->reset();
    EXPECT_EQ(request(wired), 1);
    load(rule({{"requests", "3"}}));
    EXPECT_EQ(request(wired), 0);
}

TEST_F(LimitTest, TimeWindowsBlockAndCloseTheirCounters)
{
    struct Case {
        const char* what;
        int hour, min;
        int blocked;
    };
    load(rule({{"action", "1"}, {"hour", "12,13"}, {"timematch", "recurring"}}));
    const Case cases[] = {
        {"12:00", 12, 0, 1},
        {"13:59", 13, 59, 1},
        {"14:00", 14, 0, 0},
        {"11:59", 11, 59, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_now = local_time(c.hour, c.min);
        road::Wired wired(false);
        EXPECT_EQ(request(wired), c.blocked);
        if (c.blocked == 1) {
            EXPECT_EQ(wired->variables["LIMIT_TYPE"], "Time Limits");
            EXPECT_EQ(road::read_now(wired.client_peer).rfind("HTTP/1.1 404", 0), 0u);
        }
    }

    // A cap within office hours: the fourth request of the window is blocked, and once the
    // window has closed the reset starts the count again.
    load(rule({{"requests", "3"}, {"hour", "8,17"}, {"timematch", "recurring"}}));
    fake_now = local_time(17, 0);
    road::Wired wired(false);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(request(wired), 0);
    EXPECT_EQ(request(wired), 1);
    limit_section->reset();   // still inside: nothing changes
    EXPECT_EQ(request(wired), 1);
    fake_now = local_time(18, 0);
    limit_section->reset();
    fake_now = local_time(17, 30);   // as if the next day
    EXPECT_EQ(request(wired), 0);
}

TEST_F(LimitTest, TheLowestRateWinsAndOnlyRatesThrottle)
{
    struct Case {
        const char* what;
        std::vector<const char*> rates;
        unsigned rate;   // of the client's write group; 0: none
    };
    const Case cases[] = {
        {"500 then 300", {"500", "300"}, 300},
        {"300 then 500", {"300", "500"}, 300},
        {"0 then 500", {"0", "500"}, 500},
        // A rule with a quota and no rate must not lift the rate an earlier rule chose.
        {"500 then 0", {"500", "0"}, 500},
        {"a quota alone", {"0"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string rules;
        for (const char* rate : c.rates)
            rules += rule({{"rate", rate}, {"download", "100000"}});
        load(rules);
        road::Wired wired(false);
        ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
        const LimitGroup* group = wired->client->write_group();
        EXPECT_EQ(group != nullptr ? group->rate() : 0u, c.rate);
        EXPECT_EQ(wired->client->read_group(), nullptr);
        // The next request under no rule leaves the connection unthrottled.
        load("");
        ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
        EXPECT_EQ(wired->client->write_group(), nullptr);
    }
}

TEST_F(LimitTest, OptionFourSharesOneGroupBetweenConnections)
{
    struct Case {
        int options;
        bool shared;
    };
    for (const Case c : {Case{0, false}, Case{LIMIT_OPTION_SHARED, true}}) {
        SCOPED_TRACE(c.options);
        load(rule({{"rate", "1000"}, {"options", std::to_string(c.options)}}));
        road::Wired a(false);
        road::Wired b(false);
        ASSERT_EQ(limit_section->check_and_block(a.get()), 0);
        ASSERT_EQ(limit_section->check_and_block(b.get()), 0);
        ASSERT_NE(a->client->write_group(), nullptr);
        EXPECT_EQ(a->client->write_group() == b->client->write_group(), c.shared);
    }
}

TEST_F(LimitTest, ConcurrentConnectionsLoseNoCount)
{
    constexpr int THREADS = 8;
    constexpr int REQUESTS = 500;
    load(rule({{"requests", std::to_string(THREADS * REQUESTS + 1)}, {"download", "4294967295"}}));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([] {
            ConnectionPtr connection = connection_new("127.0.0.1");
            for (int i = 0; i < REQUESTS; ++i) {
                connection->bytes_in = 1000;
                limit_section->update(connection.get());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    road::Wired wired(false);
    ASSERT_EQ(limit_section->check_and_block(wired.get()), 0);
    EXPECT_EQ(wired->download_allowance, 4294967295u - THREADS * REQUESTS * 1000u);
    ASSERT_EQ(request(wired), 0);   // the last request the cap allows
    EXPECT_EQ(request(wired), 1);
}

} // namespace
