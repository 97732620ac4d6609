#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "util/portability.h"

extern char** environ;

namespace {

std::array<unsigned char, 4> quad(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    return {a, b, c, d};
}

}  // namespace

// Only names that the machine answers itself: numeric addresses and localhost.
TEST(PGethostbyname, ResolvesLocalNamesToTheirFirstAddress)
{
    struct Case { const char* name; std::array<unsigned char, 4> addr; };
    const Case cases[] = {
        {"127.0.0.1", quad(127, 0, 0, 1)},
        {"10.1.2.3", quad(10, 1, 2, 3)},       // numeric: converted, never looked up
        {"localhost", quad(127, 0, 0, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostentPtr host = p_gethostbyname(c.name);
        ASSERT_NE(host, nullptr);
        EXPECT_EQ(host->addr, c.addr);
        EXPECT_EQ(host->len, 4);
    }
}

TEST(PGethostbyname, AnswerLargerThanTheWorkAreaIsRetriedNotLost)
{
    for (const char* name : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(name);
        for (std::size_t size : {0u, 1u, 8u, 64u}) {
            HostentPtr host = p_gethostbyname(name, size);
            ASSERT_NE(host, nullptr) << "work area " << size;
            EXPECT_EQ(host->addr, quad(127, 0, 0, 1));
        }
    }
}

TEST(PGethostbyname, NameThatDoesNotResolveGivesNull)
{
    // Digits and dots that make no address are refused by the resolver without a query.
    EXPECT_EQ(p_gethostbyname("999.1.1.1"), nullptr);
    EXPECT_EQ(p_gethostbyname("1.2.3.256"), nullptr);
    EXPECT_EQ(p_gethostbyname(nullptr), nullptr);
}

TEST(Hostent, NewHoldsTheAddressInNetworkOrder)
{
    in_addr address{};
    address.s_addr = htonl(0xC0A80102);   // 192.168.1.2
    HostentPtr host = hostent_new(address);
    EXPECT_EQ(host->addr, quad(192, 168, 1, 2));
    EXPECT_EQ(host->len, 4);
    hostent_free(nullptr);
}

TEST(PSetenv, SetsAndKeepsOnRequest)
{
    const char* name = "TARVODINE_PORTABILITY_TEST";
    ASSERT_EQ(p_setenv(name, "one", 1), 0);
    EXPECT_STREQ(std::getenv(name), "one");
    ASSERT_EQ(p_setenv(name, "two", 0), 0);
    EXPECT_STREQ(std::getenv(name), "one");
    ASSERT_EQ(p_setenv(name, "two", 1), 0);
    EXPECT_STREQ(std::getenv(name), "two");
    unsetenv(name);
}

TEST(PClearenv, LeavesAnEmptyEnvironmentThatTakesNewVariables)
{
    // In a child, so the test process keeps its own environment.
    EXPECT_EXIT(
        {
            p_setenv("TARVODINE_BEFORE", "x", 1);
            const bool cleared = p_clearenv() == 0 && environ == nullptr && std::getenv("TARVODINE_BEFORE") == nullptr;
            p_setenv("CHILD", "own", 1);
            const bool set = environ != nullptr && environ[0] != nullptr && std::strcmp(environ[0], "CHILD=own") == 0 &&
                             environ[1] == nullptr;
            std::_Exit(cleared && set ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(PMremap, GrowsAMappingAndKeepsItsBytes)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::memset(map, 'k', page);
    void* grown = p_mremap(map, page, 64 * page, -1);
    ASSERT_NE(grown, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(grown);
    EXPECT_EQ(bytes[0], 'k');
    EXPECT_EQ(bytes[page - 1], 'k');
    bytes[64 * page - 1] = 'z';   // the new part is mapped and writable
    EXPECT_EQ(munmap(grown, 64 * page), 0);
}

TEST(PPoll, ReportsAReadableDescriptor)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct pollfd wait{fds[0], POLLIN, 0};
    EXPECT_EQ(p_poll(&wait, 1, 0), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(p_poll(&wait, 1, 1000), 1);
    EXPECT_TRUE(wait.revents & POLLIN);
    close(fds[0]);
    close(fds[1]);
}
