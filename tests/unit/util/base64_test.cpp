#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "util/base64.h"

using namespace std::literals;

TEST(To64frombits, EncodesGroupsAndPadsTheLastOne)
{
    struct Case { std::string_view in, out; };
    const Case cases[] = {
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"", ""},
        {"user:secret", "dXNlcjpzZWNyZXQ="},
        {"\xff\xfe\xfd\x00\x01"sv, "//79AAE="},      // high bytes and NUL are data
        {"Local://alice", "TG9jYWw6Ly9hbGljZQ=="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.in)));
        EXPECT_EQ(to64frombits(c.in), c.out);
    }
}

TEST(From64tobits, DecodesOrRefuses)
{
    struct Case { std::string_view text; int result; std::string_view bytes; };
    const Case cases[] = {
        {"YWJj", 3, "abc"},
        {"YWI=", 2, "ab"},
        {"YQ==", 1, "a"},
        {"dXNlcjpzZWNyZXQ=", 11, "user:secret"},
        {"+ YWJj", 3, "abc"},                 // the leading "+ " of a continuation line
        {"YWJj\r\nmore", 3, "abc"},           // a carriage return ends the text
        {"YWI=YWJj", 2, "ab"},                // a group ending in '=' ends the text
        {"\r\n", 0, ""},
        {"+ \r", 0, ""},
        {"//79AAE=", 5, "\xff\xfe\xfd\x00\x01"sv},
        {"YWJ", -1, ""},                      // incomplete group
        {"YWJjYQ", -1, "abc"},
        {"YW J", -1, ""},
        {"YWJj\n", -1, "abc"},                // a line feed is no carriage return
        {"YW\xc3\xa9", -1, ""},               // bytes from 0x80 up are outside the alphabet
        {"YW\0j"sv, -1, ""},
        {"=WJj", -1, ""},                     // '=' only in the last two places
        {"Y=Jj", -1, ""},
        {"", -1, ""},
        {"+ ", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        std::array<char, 64> out;
        out.fill('#');
        ASSERT_EQ(from64tobits(out.data(), out.size(), c.text), c.result);
        // What was decoded is there, followed by a terminator, even on failure.
        EXPECT_EQ(std::string_view(out.data(), c.bytes.size()), c.bytes);
        EXPECT_EQ(out[c.bytes.size()], '\0');
    }
}

TEST(From64tobits, NeverWritesPastItsCapacity)
{
    // "abcdef" needs six bytes and a terminator.
    struct Case { std::size_t capacity; int result; };
    const Case cases[] = {{7, 6}, {6, -1}, {4, -1}, {1, -1}, {0, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::array<char, 16> out;
        out.fill('#');
        EXPECT_EQ(from64tobits(out.data(), c.capacity, "YWJjZGVm"), c.result);
        for (std::size_t i = c.capacity; i < out.size(); ++i)
            EXPECT_EQ(out[i], '#') << "byte " << i;
        if (c.capacity > 0) {
            EXPECT_NE(std::memchr(out.data(), '\0', c.capacity), nullptr);
        }
    }
}

TEST(Base64, RoundTripsEveryByteValue)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        SCOPED_TRACE(n);
        const std::string_view in(all.data(), n);
        const std::string text = to64frombits(in);
        std::string out(n + 1, '#');
        const int result = from64tobits(out.data(), out.size(), text);
        if (n == 0) {
            EXPECT_EQ(result, -1);   // an empty text is refused
            continue;
        }
        ASSERT_EQ(result, static_cast<int>(n));
        EXPECT_EQ(std::string_view(out.data(), n), in);
    }
}
