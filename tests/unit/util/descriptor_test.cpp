#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "util/descriptor.h"
#include "core/global.h"
#include "util/log.h"

namespace fs = std::filesystem;

namespace {

// The buffered log lines, newest first, without time stamp and client id.
std::vector<std::string> logged()
{
    std::vector<std::string> out;
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    for (const std::string& line : buffered) {
        const std::size_t id = line.find("] ");
        out.push_back(id == std::string::npos ? line : line.substr(id + 2));
    }
    return out;
}

void forget_log() { logbuffer_clear(global->logbuffer.get()); }

// Wrapper calls reduced to "did it fail"; each closes what it opened.
struct Opener {
    const char* name;
    std::function<bool()> fails;
    std::string retry_line;    // logged when the retry fails for want of descriptors
};

std::vector<Opener> openers(const std::string& path)
{
    const auto line = [](const std::string& call, const std::string& tail) {
        return "error: [system: " + call + ":24:Too many open files], in s_" + call + tail;
    };
    return {
        {"s_open", [path] { const int fd = s_open(path.c_str(), O_RDONLY); return fd < 0 || close(fd) != 0; },
         line("open", ", failed to open file " + path)},
        {"s_open64", [path] { const int fd = s_open64(path.c_str(), O_RDONLY); return fd < 0 || close(fd) != 0; },
         line("open64", ", failed to open file " + path)},
        {"s_fopen", [path] { FILE* f = s_fopen(path.c_str(), "r"); return f == nullptr || std::fclose(f) != 0; },
         line("fopen", ", unable to open file")},
        {"s_opendir", [path] { DIR* d = s_opendir(path.c_str()); return d == nullptr || closedir(d) != 0; },
         line("opendir", ", unable to open directory")},
        {"s_socket", [] { const int fd = s_socket(AF_INET, SOCK_STREAM, 0); return fd < 0 || close(fd) != 0; },
         line("socket", " unable to create socket")},    // no comma: the system's own wording
    };
}

TEST(DescriptorWrappers, MissingPathFailsWithEnoentUnlogged)
{
    for (const Opener& opener : openers("/nonexistent/tarvodine/path")) {
        if (std::string(opener.name) == "s_socket")
            continue;
        SCOPED_TRACE(opener.name);
        forget_log();
        errno = 0;
        EXPECT_TRUE(opener.fails());
        EXPECT_EQ(errno, ENOENT);
        EXPECT_TRUE(logged().empty()) << logged().front();
    }
}

TEST(DescriptorWrappers, ExistingPathsOpen)
{
    for (const Opener& opener : openers("/")) {
        SCOPED_TRACE(opener.name);
        EXPECT_FALSE(opener.fails());
    }
}

// Lowers the descriptor limit of the death test's child and uses up every free descriptor.
void exhaust_descriptors()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &limit);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
}

// In the child: an empty string when `got` (newest first) is `expected`, else what differs.
std::string compare(const char* what, const std::vector<std::string>& got, const std::vector<std::string>& expected)
{
    if (got == expected)
        return {};
    std::string report = std::string(what) + ": logged\n";
    for (const std::string& line : got)
        report += "  " + line + "\n";
    report += "expected\n";
    for (const std::string& line : expected)
        report += "  " + line + "\n";
    return report;
}

[[noreturn]] void finish_child(const std::string& problems)
{
    std::fputs(problems.c_str(), stderr);
    std::fflush(stderr);
    _exit(problems.empty() ? 0 : 2);
}

const std::string RECOVERY = "error: failure opening file descriptor, attempting to free resources";

TEST(DescriptorWrappers, FullTableFreesPoolsRetriesOnceAndLogsTheRetry)
{
    EXPECT_EXIT(
        {
            exhaust_descriptors();
            std::string problems;
            for (const Opener& opener : openers("/dev")) {
                forget_log();
                errno = 0;
                if (!opener.fails() || errno != EMFILE)
                    problems += std::string(opener.name) + ": did not fail with EMFILE\n";
                problems += compare(opener.name, logged(), {opener.retry_line, RECOVERY});
            }
            finish_child(problems);
        },
        testing::ExitedWithCode(0), "");
}

// A listening socket on a free loopback port with one connection waiting to be accepted.
struct PendingConnection {
    int listener = -1, client = -1;
    PendingConnection()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 4);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~PendingConnection()
    {
        close(client);
        close(listener);
    }
};

TEST(Accept, FullTableLogsBothAttempts)
{
    EXPECT_EXIT(
        {
            const PendingConnection pending;
            exhaust_descriptors();
            forget_log();
            std::string problems;
            if (s_accept(pending.listener, nullptr, nullptr) >= 0 || errno != EMFILE)
                problems += "s_accept: did not fail with EMFILE\n";
            const std::string line = "error: [system: accept:24:Too many open files], in s_accept, unable to connect on a socket";
            problems += compare("s_accept", logged(), {line, RECOVERY, line});
            finish_child(problems);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Accept, AcceptsAWaitingConnection)
{
    const PendingConnection pending;
    const int fd = s_accept(pending.listener, nullptr, nullptr);
    EXPECT_GE(fd, 0);
    close(fd);
}

TEST(Accept, NonSocketIsSilentOtherFailuresLogOnce)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    forget_log();
    EXPECT_EQ(s_accept(ends[0], nullptr, nullptr), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_TRUE(logged().empty());
    close(ends[0]);
    close(ends[1]);

    const int unlistened = socket(AF_INET, SOCK_STREAM, 0);
    forget_log();
    EXPECT_EQ(s_accept(unlistened, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "error: [system: accept:22:Invalid argument], in s_accept, unable to connect on a socket"});
    close(unlistened);
}

TEST(PoolFailures, EachLogsItsOwnLine)
{
    forget_log();
    client_pool_failure();
    server_pool_failure();
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "error: flushing outbound connections, attempting to free resources",
                            "error: flushing client pool, attempting to free resources"}));
}

std::string emptied;   // in the death test's child: the pools each failure emptied

TEST(PoolFailures, EachEmptiesItsOwnPools)
{
    struct Case {
        const char* name;
        void (*failure)();
        const char* emptied;
    };
    const Case cases[] = {
        {"fd_failure", fd_failure, "clients servers "},
        {"client_pool_failure", client_pool_failure, "clients "},
        {"server_pool_failure", server_pool_failure, "servers "},
    };
    EXPECT_EXIT(
        {
            fd_set_pool_cleaners({[] { emptied += "clients "; }, [] { emptied += "servers "; }});
            std::string problems;
            for (const Case& c : cases) {
                emptied.clear();
                c.failure();
                if (emptied != c.emptied)
                    problems += std::string(c.name) + ": emptied \"" + emptied + "\"\n";
            }
            // Without the pools' cleaners (before the runtime record exists) they only log.
            fd_set_pool_cleaners({});
            emptied.clear();
            fd_failure();
            if (!emptied.empty())
                problems += "fd_failure without cleaners: emptied \"" + emptied + "\"\n";
            finish_child(problems);
        },
        testing::ExitedWithCode(0), "");
}

class RecursiveDirectory : public testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/descriptor_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override
    {
        fs::current_path(saved_cwd_);
        fs::remove_all(dir_);
    }

    fs::path dir_;

private:
    const fs::path saved_cwd_ = fs::current_path();
};

TEST_F(RecursiveDirectory, CreatesEveryLevel)
{
    const std::string base = dir_.string();
    std::string deep = base;
    for (int i = 0; i < 40; ++i)
        deep += "/level-" + std::to_string(i);    // far beyond 255 characters
    struct Case { std::string path; fs::path made; };
    const Case cases[] = {
        {base + "/x//a/b/", dir_ / "x/a/b"},
        {base + "/x//a/b/", dir_ / "x/a/b"},      // everything exists already
        {"//" + base.substr(1) + "/y", dir_ / "y"},
        {deep, deep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        forget_log();
        EXPECT_EQ(create_recursive_directory(c.path.c_str()), 1);
        EXPECT_TRUE(fs::is_directory(c.made));
        EXPECT_TRUE(logged().empty());
    }
}

TEST_F(RecursiveDirectory, RelativePathStaysRelative)
{
    fs::current_path(dir_);
    EXPECT_EQ(create_recursive_directory("rel//c/d/"), 1);
    EXPECT_TRUE(fs::is_directory(dir_ / "rel/c/d"));
    EXPECT_FALSE(fs::exists("/rel"));
}

TEST_F(RecursiveDirectory, FileInThePathFails)
{
    std::ofstream(dir_ / "file") << "x";
    for (const std::string tail : {"/file/sub", "/file"}) {
        const std::string path = dir_.string() + tail;
        SCOPED_TRACE(path);
        forget_log();
        EXPECT_EQ(create_recursive_directory(path.c_str()), -1);
        EXPECT_EQ(errno, ENOTDIR);
        EXPECT_EQ(logged(), std::vector<std::string>{"error: [system: mkdir:20:Not a directory], in "
                                                     "create_recursive_directory, failed to create directory " +
                                                     path});
    }
}

} // namespace
