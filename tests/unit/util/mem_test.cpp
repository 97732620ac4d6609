#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/global.h"
#include "util/log.h"
#include "util/mem.h"
#include "core/options.h"

// A failing allocation must come back as null here, as it does from the platform's allocator,
// instead of the sanitizer stopping the process.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

std::string newest_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

// Everything a death test's child writes to standard output (log lines with -f, and the notice)
// lands in one file, which the parent reads after the child has ended.
class FatalOutput {
public:
    FatalOutput() : path_(std::filesystem::temp_directory_path() / ("mem_test." + std::to_string(getpid()))) {}
    ~FatalOutput() { std::filesystem::remove(path_); }

    // In the child: standard output goes to the file and log lines go to standard output.
    void redirect() const
    {
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        daemonize = 0;
    }

    std::string text() const
    {
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    std::filesystem::path path_;
};

// Log lines without their time stamp and client id, as they appear in `text`.
std::vector<std::string> messages(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t id = line.find("] ");
        out.push_back(id == std::string::npos ? line : line.substr(id + 2));
    }
    return out;
}

[[noreturn]] void raise_assertion() { FATAL_ASSERT(1 + 1 == 3); std::abort(); }

} // namespace

TEST(Xmalloc, BlockReadsZero)
{
    for (const std::size_t size : {std::size_t{1}, std::size_t{48}, std::size_t{65536}}) {
        // A dirty block released first, so a reused one would show stale bytes.
        void* dirty = std::malloc(size);
        std::memset(dirty, 0xA5, size);
        std::free(dirty);
        auto* block = static_cast<unsigned char*>(xmalloc(size));
        ASSERT_NE(block, nullptr);
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(block[i], 0) << "byte " << i << " of " << size;
        std::free(block);
    }
}

TEST(Xmalloc, FailureIsLoggedAndReturnsNull)
{
    EXPECT_EQ(xmalloc(SIZE_MAX / 2), nullptr);
    EXPECT_NE(newest_line().find("error: [system: malloc:12:Cannot allocate memory], in xmalloc, "
                                 "unable to allocate memory"),
              std::string::npos)
        << newest_line();
}

TEST(Xrealloc, KeepsContentAndFailsWithoutLosingTheBlock)
{
    auto* block = static_cast<char*>(xrealloc(nullptr, 4));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(xrealloc(block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abc");

    EXPECT_EQ(xrealloc(block, SIZE_MAX / 2), nullptr);
    EXPECT_NE(newest_line().find("error: [system: realloc:12:Cannot allocate memory], in xrealloc, "
                                 "unable to reallocate " + std::to_string(SIZE_MAX / 2) + " memory"),
              std::string::npos)
        << newest_line();
    EXPECT_STREQ(block, "abc");
    std::free(block);
}

TEST(Xstrdup, CopiesOrPassesNull)
{
    EXPECT_EQ(xstrdup(nullptr), nullptr);
    const char original[] = "abc";
    char* copy = xstrdup(original);
    EXPECT_STREQ(copy, "abc");
    EXPECT_NE(copy, original);
    std::free(copy);
}

TEST(Xstrndup, CopiesAtMostNCharacters)
{
    struct Case { const char* s; std::size_t n; const char* copy; };
    const Case cases[] = {
        {"abcdef", 3, "abc"},
        {"ab", 10, "ab"},       // shorter than n: never reads past the terminator
        {"abc", 3, "abc"},
        {"abc", 0, ""},
        {"", 5, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.s << "\" n=" << c.n);
        char* copy = xstrndup(c.s, c.n);
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(copy, c.copy);
        std::free(copy);
    }
}

TEST(FatalAssertion, LogsNotifiesAndExitsWithFailure)
{
    const FatalOutput output;
    EXPECT_EXIT(
        {
            output.redirect();
            raise_assertion();
        },
        testing::ExitedWithCode(1), "");
    const std::vector<std::string> lines = messages(output.text());
    ASSERT_EQ(lines.size(), 5u) << output.text();
    EXPECT_EQ(lines[0], "advice: System Unstable: Please Restart");
    EXPECT_TRUE(lines[1].starts_with("advice: ASSERTION: tests/unit/util/mem_test:")) << lines[1];
    EXPECT_TRUE(lines[1].ends_with(" in function raise_assertion")) << lines[1];
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "System Unstable: Please Restart");
    EXPECT_EQ(lines[4], "advice: Recieved Signal for Termination");
}

TEST(FatalAssertion, FailedAllocationAddsTheSizeLine)
{
    const FatalOutput output;
    EXPECT_EXIT(
        {
            output.redirect();
            FATAL_ALLOC(48);
        },
        testing::ExitedWithCode(1), "");
    const std::vector<std::string> lines = messages(output.text());
    ASSERT_EQ(lines.size(), 6u) << output.text();
    EXPECT_EQ(lines[0], "advice: System Unstable: Please Restart");
    EXPECT_TRUE(lines[1].starts_with("advice: ASSERTION: tests/unit/util/mem_test:")) << lines[1];
    EXPECT_EQ(lines[2], "advice: Failed to allocate 48 bytes of memory");
    EXPECT_EQ(lines[4], "System Unstable: Please Restart");
}

TEST(FatalAssertion, ZeroSizeRequestsNameTheAllocator)
{
    struct Case { const char* function; void (*call)(); };
    const Case cases[] = {
        {"xmalloc", [] { std::free(xmalloc(0)); }},
        {"xrealloc", [] { std::free(xrealloc(nullptr, 0)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        const FatalOutput output;
        EXPECT_EXIT(
            {
                output.redirect();
                c.call();
            },
            testing::ExitedWithCode(1), "");
        const std::vector<std::string> lines = messages(output.text());
        ASSERT_GE(lines.size(), 2u) << output.text();
        EXPECT_TRUE(lines[1].starts_with("advice: ASSERTION: src/util/mem:")) << lines[1];
        EXPECT_TRUE(lines[1].ends_with(std::string(" in function ") + c.function)) << lines[1];
        EXPECT_EQ(output.text().find("Failed to allocate"), std::string::npos);
    }
}

// The daemon's exits (clean_exit, sigterm) remove the PID file; without them the process ends
// at once, the PID file left, the status kept.
TEST(ProcessExit, GoesThroughTheDaemonsExitsWhenSet)
{
    struct Case {
        const char* name;
        bool daemon_exits;
        void (*end)();
        int status;
        bool termination_line;
    };
    const Case cases[] = {
        {"exit", true, [] { process_exit(5); }, 5, false},
        {"fatal assertion", true, raise_assertion, 1, true},
        {"exit, no daemon", false, [] { process_exit(5); }, 5, false},
        {"fatal assertion, no daemon", false, raise_assertion, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FatalOutput output;
        const std::filesystem::path pid = std::filesystem::temp_directory_path() /
                                          ("mem_test.pid." + std::to_string(getpid()));
        std::ofstream(pid) << "12345\n";
        EXPECT_EXIT(
            {
                output.redirect();
                pidfile = pid.string();
                if (!c.daemon_exits)
                    process_exits_set(nullptr, nullptr);
                c.end();
            },
            testing::ExitedWithCode(c.status), "");
        EXPECT_EQ(std::filesystem::exists(pid), !c.daemon_exits);
        EXPECT_EQ(output.text().find("Recieved Signal for Termination") != std::string::npos, c.termination_line)
            << output.text();
        std::filesystem::remove(pid);
    }
}

TEST(OutOfMemory, LogsAndExitsWithFailure)
{
    const FatalOutput output;
    EXPECT_EXIT(
        {
            output.redirect();
            out_of_memory();
        },
        testing::ExitedWithCode(1), "");
    const std::vector<std::string> lines = messages(output.text());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("error: Out of memory: src/util/mem:")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" in function out_of_memory")) << lines[0];
}
