#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>

#include "loopback.h"
#include "daemon/clientpool.h"
#include "core/connection.h"
#include "core/global.h"
#include "util/log.h"
#include "net/network.h"
#include "core/options.h"
#include "daemon/signals.h"
#include "net/socket.h"
#include "core/threads.h"

namespace fs = std::filesystem;

namespace {

// A bound on a broken test, never a measured time.
constexpr int PATIENCE_STEPS = 3000;
constexpr std::chrono::milliseconds STEP{10};

std::string read_file(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool in_logbuffer(const std::string& part)
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    for (const std::string& line : buffered)
        if (contains(line, part))
            return true;
    return false;
}

// Waits until `part` is in the log buffer; false when it never comes.
bool await_logged(const std::string& part)
{
    for (int step = 0; step < PATIENCE_STEPS; ++step) {
        if (in_logbuffer(part))
            return true;
        std::this_thread::sleep_for(STEP);
    }
    return false;
}

class Signals : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("signals_test." + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        logbuffer_clear(global->logbuffer.get());
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(Signals, CleanExitRemovesThePidFileAndEndsWithItsStatus)
{
    struct Case {
        const char* name;
        void (*end)();
        int status;
        const char* line;
    };
    const Case cases[] = {
        {"SIGTERM", [] { on_signal(SIGTERM); }, 0, "advice: Recieved TERM Signal to EXIT"},
        {"fatal assertion", [] { sigterm(); }, 1, "advice: Recieved Signal for Termination"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path pid = dir_ / (std::string(c.name) + ".pid");
        const fs::path log = dir_ / (std::string(c.name) + ".log");
        std::ofstream(pid) << "12345\n";
        EXPECT_EXIT(
            {
                pidfile = pid.string();
                logfile = log.string();
                c.end();
            },
            testing::ExitedWithCode(c.status), "");
        EXPECT_FALSE(fs::exists(pid));
        EXPECT_TRUE(contains(read_file(log), c.line)) << read_file(log);
    }
}

TEST_F(Signals, ACrashWritesItsBacktraceAndEndsAtOnce)
{
    struct Case {
        int signo;
        const char* line;
    };
    const Case cases[] = {
        {SIGABRT, "error: Recieved Signal for IOT trap"},
        {SIGSEGV, "advice: Recieved Signal for Segmentation violation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const fs::path pid = dir_ / "crash.pid";
        std::ofstream(pid) << "12345\n";
        // Without a native log open, the frames ("(+0x...) [0x...]" lines) go to standard error.
        EXPECT_EXIT(
            {
                pidfile = pid.string();
                signal_setup();
                raise(c.signo);
            },
            testing::ExitedWithCode(1), std::string("\\[0x[0-9a-f]+\\].*") + c.line);
        EXPECT_FALSE(fs::exists(pid));
    }
}

// The child of the next test: sends each signal to itself, waits for its line, then ends with
// SIGTERM while it waits in the accept loop, whose listeners the clean exit asks to be closed.
[[noreturn]] void signal_thread_child(const fs::path& log)
{
    logfile = log.string();
    net_init();
    signal_setup();
    struct Step {
        int signo;
        const char* line;
    };
    const Step steps[] = {
        {SIGPIPE, "error: Recieved Signal for Broken pipe"},
        {SIGUSR2, "advice: Recieved Test Signal for USR2"},
        {SIGUSR1, "advice: Recieved Signal for Log Rotation"},
    };
    for (const Step& step : steps) {
        kill(getpid(), step.signo);
        if (!await_logged(step.line))
            _exit(3);
    }
    kill(getpid(), SIGTERM);
    for (;;)
        net_accept(-1);
}

// The signal thread takes each signal and does what its handler does; a rotation requested by
// SIGUSR1 moves the lines logged so far to a time-stamped file at the next line.
TEST_F(Signals, TheSignalThreadTakesEverySignal)
{
    const fs::path log = dir_ / "native.log";
    EXPECT_EXIT(signal_thread_child(log), testing::ExitedWithCode(0), "");

    std::string rotated;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
        if (entry.path().filename().string().ends_with("-native.log"))
            rotated = read_file(entry.path());
    EXPECT_TRUE(contains(rotated, "error: Recieved Signal for Broken pipe")) << rotated;
    EXPECT_TRUE(contains(rotated, "advice: Recieved Test Signal for USR2"));
    EXPECT_TRUE(contains(rotated, "advice: Recieved Signal for Log Rotation"));
    const std::string current = read_file(log);
    EXPECT_TRUE(contains(current, "advice: Recieved TERM Signal to EXIT")) << current;
    EXPECT_FALSE(contains(current, "Broken pipe"));
}

std::atomic<bool> hup_done{false};

void* hup_thread(void*)
{
    sighup(SIGHUP);
    hup_done = true;
    const int slot = thread_find();
    std::lock_guard lock(threadlistlock);
    threads[slot].state = THREAD_FREE;
    return nullptr;
}

// SIGHUP is taken off the main thread, where the accept loop waits: the listeners are closed
// there, the pooled connections are closed, and the process goes on.
TEST_F(Signals, HangupClosesTheListenersAndThePooledConnections)
{
    net_listen_closeall();
    net_init();
    const int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ConnectionPtr idle = connection_new("127.0.0.1");
    idle->client = std::make_unique<Socket>(pair[0]);
    global->clientpool->Add(std::move(idle));
    ASSERT_EQ(global->clientpool->size(), 1u);

    hup_done = false;
    ASSERT_GE(thread_create_internal(hup_thread, nullptr), 0);
    EXPECT_EQ(net_accept(30), nullptr);
    for (int step = 0; step < PATIENCE_STEPS && !hup_done; ++step)
        std::this_thread::sleep_for(STEP);
    ASSERT_TRUE(hup_done);

    EXPECT_EQ(socklist[0].state, 0);
    EXPECT_EQ(global->clientpool->size(), 0u);
    char byte;
    EXPECT_EQ(read(pair[1], &byte, 1), 0);
    close(pair[1]);
    EXPECT_TRUE(in_logbuffer("advice: Recieved HUP Signal for cleaning cache and closing all FDs"));
}

TEST_F(Signals, LogRotationIsRequestedForAllThreeLogs)
{
    sigusr1(SIGUSR1);
    std::lock_guard lock(logfile_lock);
    EXPECT_EQ(logflg, -1);
    EXPECT_EQ(slogflg, -1);
    EXPECT_EQ(elogflg, -1);
    logflg = slogflg = elogflg = 0;
}

} // namespace
