#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <chrono>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "util/log.h"
#include "core/logentry.h"
#include "core/options.h"

namespace fs = std::filesystem;

namespace {

// 22:13:20 on 14 November 2023, UTC (the tests run with TZ=UTC).
constexpr time_t NOV_14_2023_221320 = 1700000000;

std::atomic<time_t> now_sec{NOV_14_2023_221320};
std::atomic<suseconds_t> now_usec{0};
timeval fixed_clock() { return timeval{now_sec.load(), now_usec.load()}; }
void set_now(time_t sec, suseconds_t usec)
{
    now_sec = sec;
    now_usec = usec;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::set<std::string> files_in(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Closes both logs as a restart would.
void close_request_logs()
{
    std::lock_guard lock(logfile_lock);
    for (int* fd : {&slogfd, &elogfd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    slogflg = 0;
    elogflg = 0;
}

class LogEntryTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        logentry_set_clock(fixed_clock);
        set_now(NOV_14_2023_221320, 0);
        char name[] = "/tmp/logentry_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        slogfile.clear();
        elogfile.clear();
    }

    void TearDown() override
    {
        close_request_logs();
        slogfile.clear();
        elogfile.clear();
        logentry_set_clock(nullptr);
        fs::remove_all(dir_);
    }

    // A request that started at 1700000000.250 and ends 1,500 ms later.
    static void start_request(LogEntry& entry)
    {
        set_now(NOV_14_2023_221320, 250000);
        entry.Reset();
        set_now(NOV_14_2023_221320 + 1, 750000);
    }

    // What the pipeline, the upstream connection and the HTTP handler fill for a GET that the
    // cache could not answer.
    static void fill_cache_miss(LogEntry& entry)
    {
        start_request(entry);
        entry.client = "192.168.1.20";
        entry.client_id = 42;
        entry.interface_ip = "10.0.0.1";
        entry.interface_port = "8080";
        entry.method = "GET";
        entry.url = "http://example.com/index.html";
        entry.useragent = "Mozilla/5.0";
        entry.referer = "http://example.com/";
        entry.set_cachecode(TCP_MISS);
        entry.set_peercode(DIRECT);
        entry.peer = "example.com";
        entry.status = 200;
        entry.size = 5120;
        entry.mime = "text/html";
        entry.profiles = "staff,default";
    }

    // A request the URL filter blocked: the template sender filled the answer, the pipeline
    // marked it denied.
    static void fill_refusal(LogEntry& entry)
    {
        start_request(entry);
        entry.client = "192.168.1.21";
        entry.client_id = 7;
        entry.interface_ip = "10.0.0.1";
        entry.interface_port = "8080";
        entry.method = "GET";
        entry.url = "http://ads.example.net/banner.gif";
        entry.username = "alice";
        entry.filter_name = "url-filter";
        entry.filtering_reason = "ads";
        entry.set_cachecode(TCP_DENIED);
        entry.set_peercode(DIRECT);
        entry.peer = "tarvodine";
        entry.status = 403;
        entry.size = 1337;
        entry.mime = "text/html";
    }

    // A tunnel: the handler records the relayed bytes; no cache code is set.
    static void fill_connect(LogEntry& entry)
    {
        start_request(entry);
        entry.client = "192.168.1.22";
        entry.client_id = 9;
        entry.interface_ip = "10.0.0.1";
        entry.interface_port = "3128";
        entry.method = "CONNECT";
        entry.url = "secure.example.com:443";
        entry.useragent = "curl/8.0";
        entry.set_peercode(DIRECT);
        entry.peer = "secure.example.com";
        entry.status = 200;
        entry.size = 5000000000ULL;   // past 32 bits
    }

    fs::path dir_;
};

TEST_F(LogEntryTest, CodeTexts)
{
    struct Case { int code; const char* cache; const char* peer; };
    const Case cases[] = {
        {0, "UNSPECIFIED", "NONE"},
        {1, "TCP_HIT", "DIRECT"},
        {2, "TCP_MISS", "FIREWALL_IP_DIRECT"},
        {3, "TCP_REFRESH_HIT", "FIRST_PARENT_MISS"},
        {4, "TCP_REF_FAIL_HIT", "FIRST_UP_PARENT"},
        {5, "TCP_REFRESH_MISS", "LOCAL_IP_DIRECT"},
        {6, "TCP_CLIENT_REFRESH", "SIBLING_HIT"},
        {7, "TCP_IMS_HIT", "NO_DIRECT_FAIL"},
        {8, "TCP_IMS_MISS", "NO_PARENT_DIRECT"},
        {9, "TCP_DENIED", "PARENT_HIT"},
        {10, "UDP_HIT", "SINGLE_PARENT"},
        {11, "UDP_MISS", "SOURCE_FASTEST"},
        {12, "UDP_HIT_OBJ", "PARENT_UDP_HIT_OBJ"},
        {13, "UDP_DENIED", "SIBLING_UDP_HIT_OBJ"},
        {14, "UDP_INVALID", "PASSTHROUGH_PARENT"},
        {15, "UNSPECIFIED", "SSL_PARENT_MISS"},
        {16, "UNSPECIFIED", "DEFAULT_PARENT"},
        {17, "UNSPECIFIED", "ROUNDROBIN_PARENT"},
        {18, "UNSPECIFIED", "CLOSEST_PARENT_MISS"},
        {19, "UNSPECIFIED", "CLOEST_DIRECT"},
        {20, "UNSPECIFIED", "NONE"},   // what CARP forwarding records
        {-1, "UNSPECIFIED", "NONE"},
    };
    LogEntry entry;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        entry.set_cachecode(c.code);
        entry.set_peercode(c.code);
        EXPECT_STREQ(entry.cachecode(), c.cache);
        EXPECT_STREQ(entry.peercode(), c.peer);
    }
    // The names other components use stand for the codes logged.
    entry.set_cachecode(TCP_REFRESH_MISS);
    entry.set_peercode(CLOSEST_DIRECT);
    EXPECT_STREQ(entry.cachecode(), "TCP_REFRESH_MISS");
    EXPECT_STREQ(entry.peercode(), "CLOEST_DIRECT");
}

TEST_F(LogEntryTest, NewRecordAndResetKeepOnlyConnectionFields)
{
    set_now(NOV_14_2023_221320, 5000);
    LogEntry entry;
    EXPECT_EQ(entry.start.tv_sec, NOV_14_2023_221320);
    EXPECT_EQ(entry.start.tv_usec, 5000);
    for (const std::string* dash : {&entry.client, &entry.username, &entry.useragent, &entry.referer, &entry.url,
                                    &entry.peer, &entry.mime, &entry.filter_name, &entry.filtering_reason,
                                    &entry.profiles})
        EXPECT_EQ(*dash, "-");
    EXPECT_EQ(entry.method, "");
    EXPECT_EQ(entry.interface_ip, "");
    EXPECT_EQ(entry.interface_port, "");
    EXPECT_EQ(entry.client_id, 0u);
    EXPECT_STREQ(entry.cachecode(), "UNSPECIFIED");
    EXPECT_STREQ(entry.peercode(), "NONE");

    fill_refusal(entry);
    entry.useragent = "agent";
    entry.referer = "ref";
    entry.profiles = "p";
    set_now(NOV_14_2023_221320 + 60, 0);
    entry.Reset();

    EXPECT_EQ(entry.start.tv_sec, NOV_14_2023_221320 + 60);
    EXPECT_STREQ(entry.cachecode(), "UNSPECIFIED");
    EXPECT_STREQ(entry.peercode(), "NONE");
    EXPECT_EQ(entry.status, 0);
    EXPECT_EQ(entry.size, 0u);
    for (const std::string* dash :
         {&entry.url, &entry.peer, &entry.mime, &entry.filter_name, &entry.filtering_reason, &entry.profiles})
        EXPECT_EQ(*dash, "-");
    // The rest describe the connection, or are set again by the next request's pipeline.
    EXPECT_EQ(entry.client, "192.168.1.21");
    EXPECT_EQ(entry.method, "GET");
    EXPECT_EQ(entry.username, "alice");
    EXPECT_EQ(entry.useragent, "agent");
    EXPECT_EQ(entry.referer, "ref");
    EXPECT_EQ(entry.interface_ip, "10.0.0.1");
    EXPECT_EQ(entry.interface_port, "8080");
    EXPECT_EQ(entry.client_id, 7u);
}

TEST_F(LogEntryTest, AccessRecords)
{
    LogEntry hit;
    set_now(1000000000, 5000);
    hit.Reset();
    hit.client = "10.0.0.7";
    hit.set_cachecode(TCP_HIT);
    hit.set_peercode(DIRECT);
    hit.status = 200;
    hit.size = 512;
    hit.method = "GET";
    hit.url = "http://srv/page.html";
    hit.peer = "srv";
    hit.mime = "text/html";
    set_now(1000000001, 239000);
    EXPECT_EQ(hit.Build(), "\n1000000000.005 1234 10.0.0.7 TCP_HIT/200 512 GET http://srv/page.html - DIRECT/srv text/html");
    EXPECT_EQ(hit.end.tv_sec, 1000000001);
    EXPECT_EQ(hit.end.tv_usec, 239000);

    LogEntry miss;
    fill_cache_miss(miss);
    EXPECT_EQ(miss.Build(), "\n1700000000.250 1500 192.168.1.20 TCP_MISS/200 5120 GET http://example.com/index.html - "
                            "DIRECT/example.com text/html");

    LogEntry refusal;
    fill_refusal(refusal);
    EXPECT_EQ(refusal.Build(), "\n1700000000.250 1500 192.168.1.21 TCP_DENIED/403 1337 GET "
                               "http://ads.example.net/banner.gif alice DIRECT/tarvodine text/html");

    LogEntry tunnel;
    fill_connect(tunnel);
    EXPECT_EQ(tunnel.Build(), "\n1700000000.250 1500 192.168.1.22 UNSPECIFIED/200 5000000000 CONNECT "
                              "secure.example.com:443 - DIRECT/secure.example.com -");

    // Milliseconds keep their leading zeros; a build later in time shows the longer elapsed time.
    set_now(1000000000, 99999);
    hit.Reset();
    set_now(1000000000, 99999);
    EXPECT_EQ(hit.Build(), "\n1000000000.099 0 10.0.0.7 UNSPECIFIED/0 0 GET - - NONE/- -");
}

TEST_F(LogEntryTest, ExtendedRecords)
{
    LogEntry miss;
    fill_cache_miss(miss);
    EXPECT_EQ(miss.apache_Build(),
              "\n\"1700000000.250-42-10.0.0.1-8080\" 1500 192.168.1.20 \"-\" \"42\" [14/Nov/2023:22:13:21] "
              "\"GET http://example.com/index.html\" 200 5120 \"http://example.com/\" \"Mozilla/5.0\" text/html "
              "\"- -\" \"staff,default\" \"10.0.0.1:8080\"");

    LogEntry refusal;
    fill_refusal(refusal);
    EXPECT_EQ(refusal.apache_Build(),
              "\n\"1700000000.250-7-10.0.0.1-8080\" 1500 192.168.1.21 \"alice\" \"7\" [14/Nov/2023:22:13:21] "
              "\"GET http://ads.example.net/banner.gif\" 403 1337 \"-\" \"-\" text/html \"url-filter ads\" \"-\" "
              "\"10.0.0.1:8080\"");

    LogEntry tunnel;
    fill_connect(tunnel);
    EXPECT_EQ(tunnel.apache_Build(),
              "\n\"1700000000.250-9-10.0.0.1-3128\" 1500 192.168.1.22 \"-\" \"9\" [14/Nov/2023:22:13:21] "
              "\"CONNECT secure.example.com:443\" 200 5000000000 \"-\" \"curl/8.0\" - \"- -\" \"-\" "
              "\"10.0.0.1:3128\"");

    // Single-digit days and hours are written with two digits; the date is the build's.
    set_now(1704164645, 0);   // 2 January 2024, 03:04:05
    EXPECT_NE(tunnel.apache_Build().find(" [02/Jan/2024:03:04:05] "), std::string::npos);
}

TEST_F(LogEntryTest, ControlBytesFromTheClientCannotForgeRecords)
{
    LogEntry entry;
    fill_cache_miss(entry);
    // An X-Forwarded-For value and a user name carrying a fake record of their own.
    entry.client = "1.2.3.4\n1700000000.000 0 6.6.6.6";
    entry.username = "bob\r\nadmin";
    entry.useragent = "ua\x1b[2J";
    entry.url = std::string("http://x/\0y", 11);
    entry.referer = "r\x7f";

    const std::string access = entry.Build();
    EXPECT_EQ(std::count(access.begin(), access.end(), '\n'), 1);
    EXPECT_NE(access.find(" 1.2.3.4\\x0A1700000000.000 0 6.6.6.6 "), std::string::npos) << access;
    EXPECT_NE(access.find(" bob\\x0D\\x0Aadmin "), std::string::npos) << access;
    EXPECT_NE(access.find(" http://x/\\x00y "), std::string::npos) << access;

    const std::string extended = entry.apache_Build();
    EXPECT_EQ(std::count(extended.begin(), extended.end(), '\n'), 1);
    EXPECT_NE(extended.find(" 1.2.3.4\\x0A1700000000.000 0 6.6.6.6 \"bob\\x0D\\x0Aadmin\" "), std::string::npos)
        << extended;
    EXPECT_NE(extended.find("\"r\\x7F\" \"ua\\x1B[2J\""), std::string::npos) << extended;
    EXPECT_EQ(extended.find('\0'), std::string::npos);

    // Printable text, non-ASCII bytes included, is written as held.
    entry.username = "DOMAIN\\jos\xc3\xa9";
    EXPECT_NE(entry.Build().find(" DOMAIN\\jos\xc3\xa9 "), std::string::npos);
}

TEST_F(LogEntryTest, NewLogsBeginWithTheirLegend)
{
    slogfile = (dir_ / "access.log").string();
    elogfile = (dir_ / "extended.log").string();
    LogEntry entry;
    fill_cache_miss(entry);
    const std::string access1 = entry.Build();
    const std::string extended1 = entry.apache_Build();
    entry.Write();
    entry.apache_Write();
    fill_refusal(entry);
    const std::string access2 = entry.Build();
    const std::string extended2 = entry.apache_Build();
    entry.Write();
    entry.apache_Write();

    EXPECT_EQ(read_file(slogfile),
              "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url username "
              "peercode/peer mime\n" + access1 + access2);
    EXPECT_EQ(read_file(elogfile),
              "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method proto://url\" "
              "status size \"http_referer\" \"useragent\" mime \"filter_name filtering_reason\" "
              "\"comma_separated_list_of_applied_profiles\" \"interface_ip:interface_port\n" + extended1 + extended2);
    EXPECT_EQ(fs::status(slogfile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // After a restart a log that holds bytes is appended to without a second legend; an empty
    // one gets its legend.
    close_request_logs();
    std::ofstream(elogfile, std::ios::trunc).close();
    entry.Write();
    entry.apache_Write();
    EXPECT_EQ(read_file(slogfile), access_legend + access1 + access2 + access2);
    EXPECT_EQ(read_file(elogfile), apache_legend + extended2);
}

TEST_F(LogEntryTest, WithoutPathsNothingIsWrittenButEndIsSet)
{
    LogEntry entry;
    fill_cache_miss(entry);
    entry.Write();
    EXPECT_EQ(entry.end.tv_sec, NOV_14_2023_221320 + 1);
    set_now(NOV_14_2023_221320 + 5, 0);
    entry.apache_Write();
    EXPECT_EQ(entry.end.tv_sec, NOV_14_2023_221320 + 5);
    EXPECT_TRUE(files_in(dir_).empty());
    EXPECT_EQ(slogfd, -1);
    EXPECT_EQ(elogfd, -1);
}

TEST_F(LogEntryTest, UnopenableLogCostsOnlyItsRecord)
{
    slogfile = (dir_ / "missing" / "access.log").string();
    LogEntry entry;
    fill_cache_miss(entry);
    entry.Write();
    EXPECT_EQ(slogfd, -1);
    fs::create_directory(dir_ / "missing");
    entry.Write();
    EXPECT_EQ(read_file(slogfile), access_legend + entry.Build());
}

TEST_F(LogEntryTest, RotationRenamesAtTheNextWrite)
{
    slogfile = (dir_ / "access.log").string();
    elogfile = (dir_ / "extended.log").string();
    LogEntry entry;
    fill_cache_miss(entry);
    entry.Write();
    entry.apache_Write();
    const std::string old_access = read_file(slogfile);
    const std::string old_extended = read_file(elogfile);

    logrotate();
    EXPECT_EQ(files_in(dir_), (std::set<std::string>{"access.log", "extended.log"}));   // not yet
    set_now(NOV_14_2023_221320 + 3600, 0);
    entry.Write();
    const std::string record = std::string(access_legend) + entry.Build();
    entry.apache_Write();

    const fs::path rotated_access = dir_ / "20231114231320-access.log";
    const fs::path rotated_extended = dir_ / "20231114231320-extended.log";
    EXPECT_EQ(read_file(rotated_access), old_access);
    EXPECT_EQ(read_file(rotated_extended), old_extended);
    EXPECT_EQ(read_file(slogfile), record);
    EXPECT_EQ(read_file(elogfile).rfind(apache_legend, 0), 0u);
    EXPECT_EQ(slogflg, 0);
    EXPECT_EQ(elogflg, 0);

    // A second rotation in the same second keeps the first one's file.
    logrotate();
    entry.Write();
    EXPECT_EQ(read_file(rotated_access), old_access);
    EXPECT_EQ(read_file(dir_ / "20231114231320-access.log.1"), record);
}

TEST_F(LogEntryTest, RecordsOfManyThreadsStayWholeAcrossRotations)
{
    // Writers share the open file; rotations come in between. Every record ends up whole, once,
    // in the current file or a rotated one.
    slogfile = (dir_ / "access.log").string();
    constexpr int WRITERS = 8;
    constexpr int RECORDS = 300;
    std::vector<std::string> expected;
    std::mutex expected_mutex;
    std::atomic<int> running{WRITERS};
    // Filled here: filling sets the test clock, which the writers only read.
    std::vector<LogEntry> entries(WRITERS);
    for (LogEntry& entry : entries)
        fill_cache_miss(entry);
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([&, w] {
            LogEntry& entry = entries[static_cast<std::size_t>(w)];
            for (int n = 0; n < RECORDS; ++n) {
                entry.url = "http://writer" + std::to_string(w) + ".test/" + std::string(static_cast<std::size_t>(n), 'x');
                entry.Write();
                std::lock_guard lock(expected_mutex);
                expected.push_back(entry.Build());
            }
            --running;
        });
    }
    while (running > 0) {
        logrotate();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& writer : writers)
        writer.join();

    std::vector<std::string> found;
    for (const auto& file : fs::directory_iterator(dir_)) {
        std::istringstream in(read_file(file.path()));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && !line.starts_with('#'))   // a record starts with its newline
                found.push_back("\n" + line);
    }
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found.size(), static_cast<std::size_t>(WRITERS * RECORDS));
    EXPECT_TRUE(found == expected);
}

TEST_F(LogEntryTest, RotationWithoutDirectoryKeepsTheFile)
{
    // A bare file name is relative to the working directory: run there.
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    slogfile = "access.log";
    LogEntry entry;
    fill_cache_miss(entry);
    entry.Write();
    logrotate();
    entry.Write();
    EXPECT_EQ(slogflg, 0);
    EXPECT_EQ(files_in(dir_), std::set<std::string>{"access.log"});
    EXPECT_EQ(read_file(dir_ / "access.log"), access_legend + entry.Build() + entry.Build());
    close_request_logs();
    fs::current_path(previous);
}

TEST_F(LogEntryTest, ConcurrentRecordsStayWhole)
{
    slogfile = (dir_ / "access.log").string();
    constexpr int THREADS = 4;
    constexpr int RECORDS = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t)
        writers.emplace_back([t] {
            LogEntry entry;
            entry.client = "10.0.0." + std::to_string(t);
            entry.url = "http://host/" + std::string(3000, static_cast<char>('a' + t));
            for (int i = 0; i < RECORDS; ++i)
                entry.Write();
        });
    for (std::thread& writer : writers)
        writer.join();

    std::istringstream lines(read_file(slogfile));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line + "\n", access_legend);
    std::getline(lines, line);
    EXPECT_EQ(line, "");
    int records = 0;
    while (std::getline(lines, line)) {
        ++records;
        const std::size_t at = line.find("http://host/");
        ASSERT_NE(at, std::string::npos);
        const char fill = line[at + 12];
        EXPECT_EQ(line.substr(at + 12, 3000), std::string(3000, fill));
        EXPECT_EQ(line.substr(at + 12 + 3000), " - NONE/- -");
    }
    EXPECT_EQ(records, THREADS * RECORDS);
}

} // namespace
