#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/global.h"
#include "util/log.h"
#include "core/options.h"
#include "core/threads.h"

namespace fs = std::filesystem;

namespace {

// 13:05:09 on 8 December 2026, UTC (the tests run with TZ=UTC).
constexpr std::time_t DEC_8_2026_130509 = 1796735109;
std::atomic<std::time_t> fixed_time{DEC_8_2026_130509};
std::time_t fixed_clock() { return fixed_time.load(); }

std::string read_file(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> buffered_lines()
{
    return logbuffer_snapshot(global->logbuffer.get()).lines;
}

std::set<std::string> files_in(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

void close_native_log()
{
    std::lock_guard lock(logfile_lock);
    if (logfd >= 0)
        close(logfd);
    logfd = -1;
    logflg = 0;
}

// Each test starts with an empty buffer, no log file, a fixed clock in UTC, and the settings of
// a daemon with the default mask; everything is put back afterwards.
class NativeLog : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        fixed_time = DEC_8_2026_130509;
        log_set_clock(fixed_clock);
        logbuffer_resize(global->logbuffer.get(), 1000);
        logbuffer_clear(global->logbuffer.get());
        char name[] = "/tmp/log_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        close_native_log();
    }

    void TearDown() override
    {
        close_native_log();
        log_set_clock(nullptr);
        loglevel = saved_loglevel_;
        daemonize = saved_daemonize_;
        logfile = saved_logfile_;
        thread_set_clientid(0);
        fs::current_path(saved_cwd_);
        fs::remove_all(dir_);
    }

    fs::path dir_;

private:
    const int saved_loglevel_ = loglevel;
    const int saved_daemonize_ = daemonize;
    const std::string saved_logfile_ = logfile;
    const fs::path saved_cwd_ = fs::current_path();
};

TEST_F(NativeLog, LineCarriesTimeClientIdAndPrefix)
{
    thread_set_clientid(42);
    putlog(LOG_REQUEST, "GET %s %d", "http://a.b/", 7);
    EXPECT_EQ(buffered_lines().front(), "2026 12 08 13:05:09 [42] request: GET http://a.b/ 7");
}

TEST_F(NativeLog, TimeStampFollowsTheClockBothWays)
{
    // Lines of one thread within the same second share a stamp; a new second, later or
    // earlier (the clock set back), gets its own.
    struct Case {
        std::time_t at;
        const char* stamp;
    };
    for (const Case& c : {Case{DEC_8_2026_130509, "2026 12 08 13:05:09"}, Case{DEC_8_2026_130509, "2026 12 08 13:05:09"},
                          Case{DEC_8_2026_130509 + 1, "2026 12 08 13:05:10"},
                          Case{DEC_8_2026_130509 + 86400 * 31, "2027 01 08 13:05:09"},
                          Case{DEC_8_2026_130509 - 3600, "2026 12 08 12:05:09"}}) {
        fixed_time = c.at;
        putlog(LOG_ALWAYS, "x");
        EXPECT_EQ(buffered_lines().front(), std::string(c.stamp) + " [0] advice: x");
    }
}

TEST_F(NativeLog, LocalTimeOfEachThreadMatchesTheLibrarysWhicheverWayTheClockGoes)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);   // with summer time, so the offset moves
    tzset();
    // 30 March 2025 01:59:59 UTC is the last second of winter time there.
    constexpr std::time_t SPRING = 1743299999;
    for (const std::time_t when : {SPRING, SPRING, SPRING + 1, SPRING - 86400 * 200, std::time_t{0}, SPRING + 1}) {
        std::tm expected{};
        localtime_r(&when, &expected);
        std::tm got{};
        log_localtime(when, &got);
        EXPECT_EQ(std::mktime(&got), std::mktime(&expected)) << when;
        EXPECT_EQ(got.tm_hour, expected.tm_hour) << when;
        EXPECT_EQ(got.tm_isdst, expected.tm_isdst) << when;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
}

TEST_F(NativeLog, EveryCategoryHasItsPrefix)
{
    loglevel = -1;
    struct Case { int type; const char* prefix; };
    const Case cases[] = {
        {LOG_ALWAYS, "advice: "},        {LOG_REQUEST, "request: "},       {LOG_NETWORK, "network: "},
        {LOG_URLFILTER, "url filter: "}, {LOG_HEADER, "header: "},         {LOG_MIME, "mime filter: "},
        {LOG_COOKIE, "cookie filter: "}, {LOG_REDIRECT, "redirect: "},     {LOG_TEMPLATE, "template: "},
        {LOG_KEYWORD, "keyword filter: "}, {LOG_REWRITE, "rewriting: "},   {LOG_LIMITS, "limits: "},
        {LOG_CACHE, "cache: "},          {LOG_PREFETCH, "prefetch: "},     {LOG_ICP, "ICP: "},
        {LOG_FORWARD, "forwarding: "},   {LOG_SYNC, "sync: "},             {LOG_ANTIVIRUS, "antivirus: "},
        {LOG_EXTERNAL, "external: "},    {LOG_ICAP, "ICAP: "},             {LOG_DNSBL, "dnsbl: "},
        {LOG_URLBLACKLIST, "URL blacklist: "}, {LOG_URLCOMMAND, "URL command: "}, {LOG_MODULE, "module: "},
        {LOG_SECURITY, "security: "},    {LOG_WARNING, "warning: "},       {LOG_ERROR, "error: "},
        {LOG_PROFILES, "profiles: "},    {LOG_VERIFY, "verify: "},
        {LOG_REQUEST | LOG_NETWORK, ""}, // not one category: no prefix
        {0x20000000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type);
        putlog(c.type, "m");
        EXPECT_EQ(buffered_lines().front(), std::string("2026 12 08 13:05:09 [0] ") + c.prefix + "m");
    }
}

TEST_F(NativeLog, LongMessageIsCutTo8191Characters)
{
    daemonize = 0;
    logfile = (dir_ / "native.log").string();
    const std::string message(10000, 'x');
    testing::internal::CaptureStdout();
    putlog(LOG_ALWAYS, "%s", message.c_str());
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string head = "2026 12 08 13:05:09 [0] advice: ";
    const std::string expected = head + std::string(8191 - head.size(), 'x');
    EXPECT_EQ(buffered_lines().front(), expected);
    EXPECT_EQ(out, expected + "\n");
    EXPECT_EQ(read_file(logfile), expected + "\n");
}

TEST_F(NativeLog, NewlineIsAddedOnlyWhenMissing)
{
    daemonize = 0;
    struct Case { const char* message; const char* buffered; const char* written; };
    const Case cases[] = {
        {"abc", "abc", "abc\n"},
        {"abc\n", "abc\n", "abc\n"},     // the buffer keeps the caller's own newline
        {"", "", "\n"},
        {"a\nb", "a\nb", "a\nb\n"},
    };
    const std::string head = "2026 12 08 13:05:09 [0] warning: ";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.message)));
        testing::internal::CaptureStdout();
        putlog(LOG_WARNING, "%s", c.message);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), head + c.written);
        EXPECT_EQ(buffered_lines().front(), head + c.buffered);
    }
}

TEST_F(NativeLog, CategoryMaskRoutesLines)
{
    daemonize = 0;
    logfile = (dir_ / "native.log").string();
    struct Case { int type; int mask; bool buffered, out, file; };
    const Case cases[] = {
        {LOG_COOKIE, LOG_REQUEST, true, false, false},      // disabled: kept for the log page only
        {LOG_REQUEST, LOG_REQUEST, true, true, true},
        {LOG_ALWAYS, 0, true, true, true},
        {LOG_DEBUG, 0x7ffffff, false, false, false},        // the default mask has no debug
        {LOG_DEBUG, 0x7ffffff | LOG_DEBUG, false, true, true},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type << " mask 0x" << c.mask);
        loglevel = c.mask;
        const std::string message = "routed line " + std::to_string(++number);
        logbuffer_clear(global->logbuffer.get());
        testing::internal::CaptureStdout();
        putlog(c.type, "%s", message.c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(!buffered_lines().empty(), c.buffered);
        EXPECT_EQ(out.find(message) != std::string::npos, c.out);
        EXPECT_EQ(read_file(logfile).find(message) != std::string::npos, c.file);
    }
}

TEST_F(NativeLog, DaemonWritesNothingToStandardOutput)
{
    daemonize = 1;
    testing::internal::CaptureStdout();
    putlog(LOG_ALWAYS, "quiet");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(NativeLog, WithoutLogPathNoFileIsOpened)
{
    logfile.clear();
    putlog(LOG_ERROR, "nowhere to go");
    std::lock_guard lock(logfile_lock);
    EXPECT_EQ(logfd, -1);
}

TEST_F(NativeLog, FileIsAppendedTo)
{
    logfile = (dir_ / "native.log").string();
    std::ofstream(logfile) << "earlier\n";
    putlog(LOG_ALWAYS, "later");
    EXPECT_EQ(read_file(logfile), "earlier\n2026 12 08 13:05:09 [0] advice: later\n");
}

TEST_F(NativeLog, RotationRenamesToTheTimeOfTheLineWritten)
{
    logfile = (dir_ / "native.log").string();
    fixed_time = DEC_8_2026_130509 - 3600;
    putlog(LOG_ALWAYS, "one");
    logrotate();
    fixed_time = DEC_8_2026_130509;
    putlog(LOG_ALWAYS, "two");

    EXPECT_EQ(files_in(dir_), (std::set<std::string>{"native.log", "20261208130509-native.log"}));
    EXPECT_EQ(read_file(dir_ / "20261208130509-native.log"), "2026 12 08 12:05:09 [0] advice: one\n");
    EXPECT_EQ(read_file(logfile), "2026 12 08 13:05:09 [0] advice: two\n");
    std::lock_guard lock(logfile_lock);
    EXPECT_EQ(logflg, 0);
}

TEST_F(NativeLog, RotationWaitsForAnOpenFile)
{
    logfile = (dir_ / "native.log").string();
    logrotate();
    putlog(LOG_ALWAYS, "opens the file");
    EXPECT_EQ(files_in(dir_), std::set<std::string>{"native.log"});
    putlog(LOG_ALWAYS, "rotates it");
    EXPECT_EQ(files_in(dir_), (std::set<std::string>{"native.log", "20261208130509-native.log"}));
    EXPECT_NE(read_file(dir_ / "20261208130509-native.log").find("opens the file"), std::string::npos);
    EXPECT_NE(read_file(logfile).find("rotates it"), std::string::npos);
}

TEST_F(NativeLog, TwoRotationsInOneSecondKeepBothFiles)
{
    logfile = (dir_ / "native.log").string();
    putlog(LOG_ALWAYS, "one");
    logrotate();
    putlog(LOG_ALWAYS, "two");
    logrotate();
    putlog(LOG_ALWAYS, "three");

    EXPECT_EQ(files_in(dir_), (std::set<std::string>{"native.log", "20261208130509-native.log",
                                                     "20261208130509-native.log.1"}));
    EXPECT_NE(read_file(dir_ / "20261208130509-native.log").find("one"), std::string::npos);
    EXPECT_NE(read_file(dir_ / "20261208130509-native.log.1").find("two"), std::string::npos);
    EXPECT_NE(read_file(logfile).find("three"), std::string::npos);
}

TEST_F(NativeLog, RotationWithoutSlashKeepsTheSameFile)
{
    fs::current_path(dir_);
    logfile = "native.log";
    putlog(LOG_ALWAYS, "one");
    logrotate();
    putlog(LOG_ALWAYS, "two");

    EXPECT_EQ(files_in(dir_), std::set<std::string>{"native.log"});
    EXPECT_EQ(read_file(dir_ / "native.log"),
              "2026 12 08 13:05:09 [0] advice: one\n2026 12 08 13:05:09 [0] advice: two\n");
    std::lock_guard lock(logfile_lock);
    EXPECT_EQ(logflg, 0);
}

TEST_F(NativeLog, RotationRequestCoversAllThreeLogs)
{
    logrotate();
    std::lock_guard lock(logfile_lock);
    EXPECT_EQ(logflg, -1);
    EXPECT_EQ(slogflg, -1);
    EXPECT_EQ(elogflg, -1);
    slogflg = 0;
    elogflg = 0;
}

TEST_F(NativeLog, SyscallLineKeepsErrno)
{
    errno = ENOENT;
    log_syscall("open", "reader", "failed to read /x");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(buffered_lines().front(),
              "2026 12 08 13:05:09 [0] error: [system: open:2:No such file or directory], in reader, failed to read /x");
}

// Writers on several threads, each with its own client id: every line arrives whole.
struct Writers {
    std::mutex mutex;
    std::condition_variable cv;
    int finished = 0;
};

constexpr int WRITER_THREADS = 4;
constexpr int LINES_PER_WRITER = 200;

void* write_lines(void* data)
{
    std::unique_ptr<std::shared_ptr<Writers>> holder(static_cast<std::shared_ptr<Writers>*>(data));
    const std::shared_ptr<Writers> writers = *holder;
    const int slot = thread_find();
    thread_set_clientid(static_cast<std::uint32_t>(1000 + slot));
    const std::string payload(300, static_cast<char>('a' + slot % 26));
    for (int i = 0; i < LINES_PER_WRITER; ++i)
        putlog(LOG_ALWAYS, "%s", payload.c_str());
    {
        std::lock_guard lock(threadlistlock);
        threads[slot].state = THREAD_FREE;
    }
    std::lock_guard lock(writers->mutex);
    ++writers->finished;
    writers->cv.notify_all();
    return nullptr;
}

TEST_F(NativeLog, ConcurrentLinesNeverInterleave)
{
    logfile = (dir_ / "native.log").string();
    auto writers = std::make_shared<Writers>();
    for (int i = 0; i < WRITER_THREADS; ++i)
        ASSERT_GE(thread_create(write_lines, std::make_unique<std::shared_ptr<Writers>>(writers).release()), 0);
    {
        std::unique_lock lock(writers->mutex);
        writers->cv.wait(lock, [&] { return writers->finished == WRITER_THREADS; });
    }
    std::istringstream in(read_file(logfile));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        const std::size_t id_start = line.find(" [") + 2;
        const std::size_t id_end = line.find("] advice: ");
        ASSERT_NE(id_end, std::string::npos) << line;
        const int id = std::stoi(line.substr(id_start, id_end - id_start));
        const std::string payload = line.substr(id_end + 10);
        ASSERT_EQ(payload, std::string(300, static_cast<char>('a' + (id - 1000) % 26))) << line;
    }
    EXPECT_EQ(count, WRITER_THREADS * LINES_PER_WRITER);
}

TEST(Logbuffer, KeepsNewestLinesWithinCapacity)
{
    LOGBUFFER buffer;
    buffer.capacity = 3;
    const auto lines = [&] { return logbuffer_snapshot(&buffer).lines; };
    using Lines = std::vector<std::string>;

    for (const char* line : {"a", "b", "c", "d"})
        logbuffer_add(&buffer, line);
    EXPECT_EQ(lines(), (Lines{"d", "c", "b"}));

    logbuffer_resize(&buffer, 5);
    EXPECT_EQ(lines(), (Lines{"d", "c", "b"}));
    EXPECT_EQ(buffer.capacity, 5);

    logbuffer_resize(&buffer, 2);
    EXPECT_EQ(lines(), (Lines{"d", "c"}));
    EXPECT_EQ(buffer.capacity, 2);

    logbuffer_resize(&buffer, 0);
    logbuffer_add(&buffer, "e");
    EXPECT_EQ(lines(), Lines{});
    logbuffer_resize(&buffer, -1);
    EXPECT_EQ(buffer.capacity, 0);

    logbuffer_resize(&buffer, 2);
    for (const char* line : {"f", "g", "h"})
        logbuffer_add(&buffer, line);
    EXPECT_EQ(lines(), (Lines{"h", "g"}));

    logbuffer_clear(&buffer);
    EXPECT_EQ(lines(), Lines{});
    EXPECT_EQ(buffer.capacity, 2);
    logbuffer_add(&buffer, "i");
    EXPECT_EQ(lines(), Lines{"i"});
}

// The ring against the plainest model of what it keeps (a list, newest first, cut to the
// capacity), through a long random mix of adds that wrap it many times, resizes up and down
// while it is full or filling, and clears.
TEST(Logbuffer, WrappingRingKeepsWhatAListWould)
{
    LOGBUFFER buffer;
    buffer.capacity = 7;
    std::deque<std::string> model;
    int capacity = 7;
    std::srand(20261211);
    for (int step = 0; step < 20000; ++step) {
        const int dice = std::rand() % 100;
        if (dice < 90) {
            const std::string line = "line " + std::to_string(step);
            logbuffer_add(&buffer, line);
            if (capacity > 0) {
                model.push_front(line);
                if (model.size() > static_cast<std::size_t>(capacity))
                    model.pop_back();
            }
        } else if (dice < 98) {
            const int n = std::rand() % 12 - 1;   // -1 changes nothing
            logbuffer_resize(&buffer, n);
            if (n >= 0) {
                capacity = n;
                if (model.size() > static_cast<std::size_t>(n))
                    model.resize(static_cast<std::size_t>(n));
            }
        } else {
            logbuffer_clear(&buffer);
            model.clear();
        }
        const LogbufferSnapshot snapshot = logbuffer_snapshot(&buffer);
        ASSERT_EQ(snapshot.capacity, capacity) << "step " << step;
        ASSERT_EQ(snapshot.lines, std::vector<std::string>(model.begin(), model.end())) << "step " << step;
    }
}

// Threads adding lines while another resizes, clears and reads: every line read is one that was
// added, whole, and the newest-first order holds within each thread's lines.
TEST(Logbuffer, ConcurrentAddsResizesAndReadsStayWhole)
{
    LOGBUFFER buffer;
    buffer.capacity = 50;
    constexpr int WRITERS = 6;
    constexpr int LINES = 4000;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w)
        writers.emplace_back([&buffer, w] {
            for (int i = 0; i < LINES; ++i)
                logbuffer_add(&buffer, std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(40, static_cast<char>('a' + w)));
        });
    std::thread reader([&] {
        int round = 0;
        while (!stop.load()) {
            if (++round % 50 == 0)
                logbuffer_resize(&buffer, 10 + round % 70);
            if (round % 333 == 0)
                logbuffer_clear(&buffer);
            const LogbufferSnapshot snapshot = logbuffer_snapshot(&buffer);
            ASSERT_LE(snapshot.lines.size(), static_cast<std::size_t>(snapshot.capacity));
            std::vector<int> last(WRITERS, LINES);
            for (const std::string& line : snapshot.lines) {
                const std::size_t first = line.find(':');
                const std::size_t second = line.find(':', first + 1);
                ASSERT_NE(second, std::string::npos) << line;
                const int w = std::stoi(line.substr(0, first));
                const int i = std::stoi(line.substr(first + 1, second - first - 1));
                ASSERT_EQ(line.substr(second + 1), std::string(40, static_cast<char>('a' + w)));
                ASSERT_LT(i, last[static_cast<std::size_t>(w)]) << "older line before a newer one";
                last[static_cast<std::size_t>(w)] = i;
            }
        }
    });
    for (std::thread& writer : writers)
        writer.join();
    stop = true;
    reader.join();
    // The reader may have cleared or grown the buffer just before the writers ended, so only
    // as many lines again as it holds must fill it.
    const int capacity = logbuffer_snapshot(&buffer).capacity;
    for (int i = 0; i < capacity; ++i)
        logbuffer_add(&buffer, "after:" + std::to_string(i));
    const LogbufferSnapshot snapshot = logbuffer_snapshot(&buffer);
    ASSERT_EQ(snapshot.lines.size(), static_cast<std::size_t>(capacity));
    EXPECT_EQ(snapshot.lines.front(), "after:" + std::to_string(capacity - 1));
}

TEST(Logbuffer, RuntimeRecordStartsWithRoomFor1000Lines)
{
    EXPECT_EQ(LOGBUFFER().capacity, 1000);
    EXPECT_TRUE(logbuffer_snapshot(std::make_unique<LOGBUFFER>().get()).lines.empty());
}

} // namespace
