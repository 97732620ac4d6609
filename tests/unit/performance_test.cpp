#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "core/performance.h"

namespace {

struct CounterCase {
    const char* name;
    void (PerformanceLog::*set)(std::uint64_t);
    std::uint64_t (PerformanceLog::*get)() const;
    bool gauge;   // holds the last value set instead of adding
};

const CounterCase COUNTERS[] = {
    {"threading_error", &PerformanceLog::set_threading_error, &PerformanceLog::get_threading_error, false},
    {"connection_pool_size", &PerformanceLog::set_connection_pool_size, &PerformanceLog::get_connection_pool_size, true},
    {"new_connection", &PerformanceLog::set_new_connection, &PerformanceLog::get_new_connection, false},
    {"connection_fail", &PerformanceLog::set_connection_fail, &PerformanceLog::get_connection_fail, false},
    {"connection_pool_hit", &PerformanceLog::set_connection_pool_hit, &PerformanceLog::get_connection_pool_hit, false},
    {"dns_fail", &PerformanceLog::set_dns_fail, &PerformanceLog::get_dns_fail, false},
    {"dns_hit", &PerformanceLog::set_dns_hit, &PerformanceLog::get_dns_hit, false},
    {"bytes_out", &PerformanceLog::set_bytes_out, &PerformanceLog::get_bytes_out, false},
    {"bytes_in", &PerformanceLog::set_bytes_in, &PerformanceLog::get_bytes_in, false},
    {"clients_in_pool", &PerformanceLog::set_clients_in_pool, &PerformanceLog::get_clients_in_pool, true},
    {"requests_completed", &PerformanceLog::set_requests_completed, &PerformanceLog::get_requests_completed, false},
    {"connections_closed", &PerformanceLog::set_connections_closed, &PerformanceLog::get_connections_closed, false},
    {"connections_handled", &PerformanceLog::set_connections_handled, &PerformanceLog::get_connections_handled, false},
    {"cache_mmaps_created", &PerformanceLog::set_cache_mmaps_created, &PerformanceLog::get_cache_mmaps_created, false},
    {"cache_mmaps_deleted", &PerformanceLog::set_cache_mmaps_deleted, &PerformanceLog::get_cache_mmaps_deleted, false},
    {"dns_miss", &PerformanceLog::set_dns_miss, &PerformanceLog::get_dns_miss, false},
};

}  // namespace

TEST(PerformanceLog, EachSetterFeedsOnlyItsOwnCounter)
{
    for (const CounterCase& c : COUNTERS) {
        SCOPED_TRACE(c.name);
        PerformanceLog log;
        (log.*c.set)(3);
        (log.*c.set)(4);
        EXPECT_EQ((log.*c.get)(), c.gauge ? 4u : 7u);
        for (const CounterCase& other : COUNTERS) {
            if (&other != &c) {
                EXPECT_EQ((log.*other.get)(), 0u) << other.name;
            }
        }
    }
}

TEST(PerformanceLog, SumsAreSixtyFourBit)
{
    PerformanceLog log;
    log.set_bytes_in(0xFFFFFFFFull);
    log.set_bytes_in(2);
    EXPECT_EQ(log.get_bytes_in(), 0x100000001ull);
    log.set_connection_pool_size(1ull << 40);
    EXPECT_EQ(log.get_connection_pool_size(), 1ull << 40);
}

TEST(PerformanceLog, ConcurrentFeedingLosesNothing)
{
    PerformanceLog log;
    constexpr int threads = 8;
    constexpr int rounds = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log] {
            for (int i = 0; i < rounds; ++i) {
                log.set_bytes_out(1500);
                log.set_connections_closed(1);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(log.get_bytes_out(), std::uint64_t{threads} * rounds * 1500);
    EXPECT_EQ(log.get_connections_closed(), std::uint64_t{threads} * rounds);
}

TEST(PerformanceLog, ProcessWideObjectExistsWithoutSetUp)
{
    ASSERT_NE(performance_log, nullptr);
    const std::uint64_t before = performance_log->get_threading_error();
    performance_log->set_threading_error(2);
    EXPECT_EQ(performance_log->get_threading_error(), before + 2);

    timeval now{};
    gettimeofday(&now, nullptr);
    EXPECT_GT(performance_log->start_time().tv_sec, 0);
    EXPECT_LE(performance_log->start_time().tv_sec, now.tv_sec);
}
