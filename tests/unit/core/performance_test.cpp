#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/options.h"
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

namespace {

std::vector<std::string> split_csv(std::string line)
{
    EXPECT_TRUE(!line.empty() && line.back() == '\n');
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ','))
        out.push_back(cell);
    return out;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A temporary directory for the log file; closes the log so every test starts from "never opened".
class PerformanceFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/perflogXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/performance.log";
        saved_ = plogfile;
        close_log();
    }
    void TearDown() override
    {
        close_log();
        plogfile = saved_;
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    static void close_log()
    {
        if (plogfd >= 0)
            close(plogfd);
        plogfd = -1;
    }
    std::string dir_;
    std::string path_;
    std::string saved_;
};

}  // namespace

TEST(PerformanceLine, HasThirtyOneColumnsMatchingTheLegend)
{
    PerformanceLog log;
    const std::vector<std::string> legend = split_csv(performance_legend);
    ASSERT_EQ(legend.size(), 31u);
    EXPECT_EQ(legend.front(), "Time Stamp (YYYYMMDDhhmmss)");
    EXPECT_EQ(legend[16], "Bytes in (KBytes)");
    EXPECT_EQ(legend.back(), "Tarvodine Library Memory (KBytes)");
    const std::vector<std::string> line = split_csv(log.Build());
    ASSERT_EQ(line.size(), 31u);
    EXPECT_EQ(line[0].size(), 14u);
    EXPECT_TRUE(std::all_of(line[0].begin(), line[0].end(), [](char c) { return c >= '0' && c <= '9'; }));
    EXPECT_LE(std::stoull(line[1]), 1u);   // elapsed seconds of a fresh object
}

TEST(PerformanceLine, CountersLandInTheirColumns)
{
    PerformanceLog log;
    log.set_connections_handled(3);
    log.set_connections_closed(4);
    log.set_requests_completed(5);
    log.set_clients_in_pool(6);
    log.set_threading_error(12);
    log.set_new_connection(13);
    log.set_connection_fail(14);
    log.set_connection_pool_hit(15);
    log.set_connection_pool_size(16);
    log.set_bytes_in(1023);          // less than a whole KB
    log.set_bytes_out(5u << 20);     // 5 MB = 5120 KB
    log.set_cache_mmaps_created(19);
    log.set_cache_mmaps_deleted(20);
    log.set_dns_hit(21);
    log.set_dns_miss(22);
    log.set_dns_fail(23);
    const std::vector<std::string> line = split_csv(log.Build());
    ASSERT_EQ(line.size(), 31u);
    const struct {
        int column;   // 1-based, as in the legend
        std::uint64_t value;
    } cases[] = {{3, 3}, {4, 4}, {5, 5}, {6, 6}, {12, 12}, {13, 13}, {14, 14}, {15, 15}, {16, 16},
                 {17, 0}, {18, 5120}, {19, 19}, {20, 20}, {21, 21}, {22, 22}, {23, 23}};
    for (const auto& c : cases)
        EXPECT_EQ(std::stoull(line[static_cast<std::size_t>(c.column - 1)]), c.value) << "column " << c.column;

    std::uint64_t slots = 0;
    for (int column = 7; column <= 11; ++column)
        slots += std::stoull(line[static_cast<std::size_t>(column - 1)]);
    EXPECT_EQ(slots, static_cast<std::uint64_t>(std::clamp(MAXTHREADS, 1, MAXTHREADS_LIMIT)));

    // Memory in KB in 64-bit arithmetic: the machine's total, and a process that has some resident.
    const std::uint64_t total = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                                static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024u;
    EXPECT_EQ(std::stoull(line[23]), total);
    EXPECT_EQ(val_total_system_memory, total);
    EXPECT_LE(std::stoull(line[24]), total);
    EXPECT_GT(std::stoull(line[26]), 0u);
    EXPECT_GE(std::stoull(line[25]), std::stoull(line[26]));   // virtual >= resident
}

TEST(PerformanceLine, MemoryUsageIsInKilobytes)
{
    statm_t statm;
    ASSERT_TRUE(PerformanceLog::read_memory_usage(&statm));
    std::ifstream in("/proc/self/statm");
    unsigned long pages = 0;
    in >> pages;
    // The process grows between the two reads only by whole pages; the figure is pages in KB.
    EXPECT_EQ(statm.size % static_cast<unsigned long>(sysconf(_SC_PAGESIZE) / 1024), 0u);
    EXPECT_GE(statm.size, pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE) / 1024) / 2);
    EXPECT_GT(statm.resident, 0u);
}

TEST_F(PerformanceFile, NewFileStartsWithTheLegendAndReopeningAppendsWithoutIt)
{
    plogfile = path_;
    PerformanceLog log;
    log.Write();
    log.Write();
    close_log();   // as if the proxy restarted on the same file
    log.Write();
    const std::string text = read_file(path_);
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0] + "\n", performance_legend);
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(split_csv(lines[i] + "\n").size(), 31u) << lines[i];
    struct stat info{};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(PerformanceFile, EmptyNameWritesNothingAndFailedOpenIsRetried)
{
    plogfile.clear();
    PerformanceLog log;
    log.set_requests_completed(1);
    log.Write();
    EXPECT_EQ(plogfd, -1);
    EXPECT_EQ(log.get_requests_completed(), 1u);
    EXPECT_NE(access(path_.c_str(), F_OK), 0);

    plogfile = dir_ + "/missing/performance.log";
    log.Write();   // lost: the directory does not exist
    EXPECT_EQ(plogfd, -1);
    plogfile = path_;
    log.Write();   // the next line opens the file
    EXPECT_GE(plogfd, 0);
    EXPECT_EQ(read_file(path_).substr(0, performance_legend.size()), performance_legend);
}
