#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ranges.h"

namespace {

constexpr std::uint32_t ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    return ((a * 256 + b) * 256 + c) * 256 + d;
}

TEST(AddressToInt, ReadsDottedQuadsAsStrtolDoes)
{
    struct Case { const char* text; std::optional<std::uint32_t> value; };
    const Case cases[] = {
        {"1.2.3.4", ip(1, 2, 3, 4)},
        {"255.255.255.255", ip(255, 255, 255, 255)},
        {"0.0.0.0", 0},
        {"   10.0.0.1", ip(10, 0, 0, 1)},         // leading blanks are skipped
        {"192.168.1.1.", ip(192, 168, 1, 1)},     // a final dot adds no part
        {"1..2.3", ip(1, 0, 2, 3)},               // an empty part reads as 0
        {"+1.2.3.4", ip(1, 2, 3, 4)},
        {"010.1.1.1", ip(10, 1, 1, 1)},           // base 10, not octal
        {"256.1.1.1", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"1.2.3.4..", std::nullopt},
        {"1.2.3.4 ", std::nullopt},               // nothing may follow a part
        {"-1.2.3.4", std::nullopt},
        {"a.b.c.d", std::nullopt},
        {"1.2.3.4x", std::nullopt},
        {"", std::nullopt},
        {"99999999999999999999.1.1.1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(address_parse(c.text), c.value);
        if (c.value)
            EXPECT_EQ(address_to_int(c.text), *c.value);
        else
            EXPECT_THROW(address_to_int(c.text), ConfigError);
    }
}

TEST(IpRange, ParsesBoundsAndOpenEnds)
{
    struct Case { const char* text; std::uint32_t low, high; const char* lowtext; const char* hightext; };
    const Case cases[] = {
        {"", 0, ip(255, 255, 255, 255), "0.0.0.0", "255.255.255.255"},
        {"10.1.2.3", ip(10, 1, 2, 3), ip(10, 1, 2, 3), "10.1.2.3", "10.1.2.3"},
        {"10.0.0.0-10.255.255.255", ip(10, 0, 0, 0), ip(10, 255, 255, 255), "10.0.0.0", "10.255.255.255"},
        {"-10.0.0.5", 0, ip(10, 0, 0, 5), "0.0.0.0", "10.0.0.5"},
        {"192.168.0.0-", ip(192, 168, 0, 0), ip(255, 255, 255, 255), "192.168.0.0", "255.255.255.255"},
        {"-", 0, ip(255, 255, 255, 255), "0.0.0.0", "255.255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const IpRange range(c.text);
        EXPECT_EQ(range.low, c.low);
        EXPECT_EQ(range.high, c.high);
        EXPECT_EQ(range.lowtext, c.lowtext);
        EXPECT_EQ(range.hightext, c.hightext);
    }
    for (const char* bad : {"1.2.3.4-bad", "x", "1.2.3.4-5.6.7.8-9.9.9.9", "1.2.3"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(IpRange{bad}, ConfigError);
    }
}

TEST(IpRange, ComparesAsUnsignedAndNeverThrowsOnRequestText)
{
    const IpRange range("127.255.255.255-128.0.0.1");
    EXPECT_EQ(range.has("128.0.0.0"), 1);
    EXPECT_EQ(range.has("127.255.255.255"), 1);
    EXPECT_EQ(range.has("128.0.0.1"), 1);
    EXPECT_EQ(range.has("128.0.0.2"), 0);
    EXPECT_EQ(range.has("127.255.255.254"), 0);
    // An X-Forwarded-For value naming two addresses lies in no range.
    EXPECT_EQ(range.has("128.0.0.0, 10.0.0.1"), 0);
    EXPECT_EQ(range.has(""), 0);
}

TEST(IpRangeList, EmptyListsAndEmptyPartsHoldEverything)
{
    const IpRangeList empty("");
    EXPECT_TRUE(empty.ranges.empty());
    EXPECT_EQ(empty.has("8.8.8.8"), 1);
    EXPECT_EQ(IpRangeList().has("1.2.3.4"), 1);

    const IpRangeList gap("10.0.0.1,,10.0.0.5");
    EXPECT_EQ(gap.ranges.size(), 3u);
    EXPECT_EQ(gap.has("8.8.8.8"), 1);
}

TEST(IpRangeList, MatchesAnyRangeAndKeepsItsText)
{
    const IpRangeList list("10.0.0.0-10.255.255.255,192.168.1.1");
    EXPECT_EQ(list.text, "10.0.0.0-10.255.255.255,192.168.1.1");
    ASSERT_EQ(list.ranges.size(), 2u);
    struct Case { const char* address; int has; };
    const Case cases[] = {
        {"10.2.3.4", 1}, {"192.168.1.1", 1}, {"192.168.1.2", 0}, {"11.0.0.0", 0}, {"garbage", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(list.has(c.address), c.has);
    }
    EXPECT_THROW(IpRangeList("10.0.0.1,300.0.0.1"), ConfigError);
}

TEST(PortRangeList, ParsesPortsAndRanges)
{
    struct Case { const char* text; std::vector<std::pair<int, int>> ranges; };
    const Case cases[] = {
        {"443,8443,8000-8100", {{443, 443}, {8443, 8443}, {8000, 8100}}},
        {"80,", {{80, 80}}},
        {"1-65535", {{1, 65535}}},
        {" 80", {{80, 80}}},
        {"9000-8000", {{9000, 8000}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const PortRangeList list(c.text);
        std::vector<std::pair<int, int>> got;
        for (const PortRange& range : list.ranges)
            got.emplace_back(range.low, range.high);
        EXPECT_EQ(got, c.ranges);
    }
    for (const char* bad : {"0", "65536", "-80", "80-", "80,,443", "http", "80x", "80 ", ",80", "1-2-3"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(PortRangeList{bad}, ConfigError);
    }
}

TEST(PortRangeList, HasIsInclusiveAndEmptyHoldsEverything)
{
    EXPECT_EQ(PortRangeList("").has(12345), 1);
    const PortRangeList list("443,8000-8100,9000-8000");
    struct Case { int port; int has; };
    const Case cases[] = {
        {443, 1}, {442, 0}, {444, 0}, {8000, 1}, {8100, 1}, {8101, 0}, {7999, 0}, {8500, 0}, {9000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(list.has(c.port), c.has);
    }
}

} // namespace
