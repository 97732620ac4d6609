#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/dns.h"
#include "core/global.h"
#include "util/log.h"
#include "core/options.h"
#include "core/performance.h"

namespace {

std::atomic<std::time_t> fake_now{1'700'000'000};
std::time_t fake_clock() { return fake_now.load(); }

std::string dotted(const HostentPtr& host)
{
    if (host == nullptr)
        return "(null)";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, host->addr.data(), text, sizeof text);
    return text;
}

// The figures a lookup changes, read before and after it.
struct Counts {
    std::uint64_t hit, miss, fail, stat_hit, stat_miss;

    static std::uint64_t stat(const char* name)
    {
        for (const StatCounter& c : global->stats.group("DNS cache")->counters())
            if (c.name == name)
                return c.value;
        return 0;
    }

    static Counts now()
    {
        return {performance_log->get_dns_hit(), performance_log->get_dns_miss(), performance_log->get_dns_fail(),
                stat("hit"), stat("miss")};
    }

    Counts operator-(const Counts& o) const
    {
        return {hit - o.hit, miss - o.miss, fail - o.fail, stat_hit - o.stat_hit, stat_miss - o.stat_miss};
    }
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& c)
{
    return out << "{hit " << c.hit << ", miss " << c.miss << ", fail " << c.fail << ", stat hit " << c.stat_hit
               << ", stat miss " << c.stat_miss << "}";
}

// A cache emptied for each test, a fixed clock, and the statistics group the bring-up creates.
class DnsCache : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global->stats.AddGroup("DNS cache", 1);
        global->stats.AddCounter("DNS cache", "hit", 1);
        global->stats.AddCounter("DNS cache", "miss", 1);
    }

    void SetUp() override
    {
        fake_now = 1'700'000'000;
        dns_set_clock(fake_clock);
        std::lock_guard lock(global->dnslock);
        hash_expire(global->dnscache.get(), 0, std::numeric_limits<std::time_t>::max() / 2);
    }

    void TearDown() override { dns_set_clock(nullptr); }

    static HASH_ENTRY* cached(const char* key)
    {
        std::lock_guard lock(global->dnslock);
        return hash_search(global->dnscache.get(), key);
    }
};

TEST_F(DnsCache, LiteralAddressesBypassTheCache)
{
    const Counts before = Counts::now();
    EXPECT_EQ(dotted(net_dns("10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(cached("10.1.2.3"), nullptr);
    EXPECT_EQ(Counts::now() - before, (Counts{0, 0, 0, 0, 0}));

    // Two dots is not a literal: the resolver reads it (as 10.1.0.2) and the cache keeps it.
    EXPECT_EQ(dotted(net_dns("10.1.2")), "10.1.0.2");
    ASSERT_NE(cached("10.1.2"), nullptr);
    EXPECT_EQ(cached("10.1.2")->value, "10.1.0.2");
    EXPECT_EQ(Counts::now() - before, (Counts{0, 1, 0, 0, 1}));
}

TEST_F(DnsCache, KeysAreLowerCasedSoOtherSpellingsHit)
{
    const Counts before = Counts::now();
    EXPECT_EQ(dotted(net_dns("localhost")), "127.0.0.1");
    HASH_ENTRY* entry = cached("localhost");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, "localhost");
    EXPECT_EQ(entry->value, "127.0.0.1");
    EXPECT_EQ(entry->time, fake_now.load());

    EXPECT_EQ(dotted(net_dns("LocalHost")), "127.0.0.1");
    EXPECT_EQ(dotted(net_dns("LOCALHOST")), "127.0.0.1");
    EXPECT_EQ(Counts::now() - before, (Counts{2, 1, 0, 2, 1}));
}

TEST_F(DnsCache, AnswerLivesAnHourToTheSecond)
{
    const std::time_t t = fake_now;
    ASSERT_EQ(dotted(net_dns("localhost")), "127.0.0.1");
    const Counts before = Counts::now();

    fake_now = t + DNS_CACHE_AGE;          // still a hit
    EXPECT_EQ(dotted(net_dns("localhost")), "127.0.0.1");
    EXPECT_EQ(Counts::now() - before, (Counts{1, 0, 0, 1, 0}));

    fake_now = t + DNS_CACHE_AGE + 1;      // expired: removed, resolved again, stamped anew
    EXPECT_EQ(dotted(net_dns("localhost")), "127.0.0.1");
    EXPECT_EQ(Counts::now() - before, (Counts{1, 1, 0, 1, 1}));
    ASSERT_NE(cached("localhost"), nullptr);
    EXPECT_EQ(cached("localhost")->time, t + DNS_CACHE_AGE + 1);
}

TEST_F(DnsCache, CleaningDropsAnswersAnHourOld)
{
    const std::time_t t = fake_now;
    ASSERT_NE(net_dns("localhost"), nullptr);
    fake_now = t + 100;
    ASSERT_NE(net_dns("10.1.2"), nullptr);

    fake_now = t + DNS_CACHE_AGE - 1;
    dnscache_clean(nullptr);
    EXPECT_NE(cached("localhost"), nullptr);
    fake_now = t + DNS_CACHE_AGE;
    dnscache_clean(nullptr);
    EXPECT_EQ(cached("localhost"), nullptr);
    EXPECT_NE(cached("10.1.2"), nullptr);
}

TEST_F(DnsCache, FailuresAreNeverCachedAndLoggedEachTime)
{
    const Counts before = Counts::now();
    for (int i = 1; i <= 2; ++i) {
        // Not a literal (999 is no byte), and the resolver rejects it without asking a server.
        EXPECT_EQ(net_dns("999.1.1.1"), nullptr);
        EXPECT_EQ(cached("999.1.1.1"), nullptr);
        EXPECT_EQ(Counts::now() - before, (Counts{0, 0, static_cast<std::uint64_t>(i), 0, 0}));
        const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
        ASSERT_FALSE(buffered.empty());
        EXPECT_NE(buffered.front().find("DNS: failed: 999.1.1.1"), std::string::npos)
            << buffered.front();
    }
    EXPECT_EQ(net_dns(nullptr), nullptr);
}

TEST_F(DnsCache, HitsAndInsertsAreLoggedAtTheDebugCategory)
{
    char path[] = "/tmp/dns_test.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string old_logfile = logfile;
    const int old_level = loglevel;
    logfile = path;
    loglevel |= LOG_DEBUG;
    net_dns("Localhost");
    net_dns("localhost");
    loglevel = old_level;
    logfile = old_logfile;
    {
        std::lock_guard lock(logfile_lock);
        if (logfd >= 0)
            close(logfd);
        logfd = -1;
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    EXPECT_NE(text.str().find("DNS: cache: insert: localhost -> 127.0.0.1"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("DNS: cache: hit: localhost -> 127.0.0.1"), std::string::npos) << text.str();
}

TEST_F(DnsCache, ConcurrentMissesLeaveOneEntry)
{
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&answered] {
            if (dotted(net_dns("LOCALHOST")) == "127.0.0.1")
                ++answered;
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(answered, 8);
    std::lock_guard lock(global->dnslock);
    int entries = 0;
    for (const auto& bucket : global->dnscache->buckets)
        entries += static_cast<int>(bucket.size());
    EXPECT_EQ(entries, 1);
}

}  // namespace
