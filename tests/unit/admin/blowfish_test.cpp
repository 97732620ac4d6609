#include "admin/blowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace std::literals;

namespace {

// The token's text form of one cipher block given as 16 hex digits, written independently of
// the code under test: right word, then left word, six characters each from the low bits up.
std::string text_form(std::uint64_t block)
{
    static constexpr char ALPHABET[] = "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out;
    for (std::uint32_t word : {static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(block >> 32)})
        for (int i = 0; i < 6; ++i, word >>= 6)
            out += ALPHABET[word & 63];
    return out;
}

bool in_alphabet(char c)
{
    return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

// The published electronic-codebook vectors of Blowfish (key, plain block, cipher block).
TEST(Blowfish, MeetsPublishedVectors)
{
    struct Case { std::string_view key, plain; std::uint64_t cipher; };
    const Case cases[] = {
        {"\0\0\0\0\0\0\0\0"sv, "\0\0\0\0\0\0\0\0"sv, 0x4EF997456198DD78ULL},
        {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv, 0x51866FD5B85ECB8AULL},
        {"\x30\0\0\0\0\0\0\0"sv, "\x10\0\0\0\0\0\0\x01"sv, 0x7D856F9A613063F2ULL},
        {"\x01\x23\x45\x67\x89\xAB\xCD\xEF"sv, "\x11\x11\x11\x11\x11\x11\x11\x11"sv, 0x61F9C3802281B096ULL},
        {"\xFE\xDC\xBA\x98\x76\x54\x32\x10"sv, "\x01\x23\x45\x67\x89\xAB\xCD\xEF"sv, 0x0ACEAB0FC6A0A28DULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.key)));
        EXPECT_EQ(blowfish_encrypt(c.key, c.plain), text_form(c.cipher));
    }
}

// Login tokens ("user:password" keyed with itself) and odd lengths, computed through OpenSSL's
// legacy-provider Blowfish in Python's cryptography package.
TEST(Blowfish, TokensMatchOpenSSL)
{
    struct Case { std::string_view key, text, token; };
    const Case cases[] = {
        {"admin:secret", "admin:secret", "sDkLW0qeuy.05uXaa1wpoei/"},
        {"a:bc", "a:bc", "thh.x1HQJBD1"},
        {"user:pass1234", "user:pass1234", "7eEPi0UQ0cv1NFlZX.Mv9v60"},
        {"key45678", "abcdefgh", "397T20IrIYo/"},                // a whole block: no padding block
        {"key45678", "abcdefghi", "397T20IrIYo/BTlyy/QccQn."},   // one byte more: a second block
        {"key45678", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + std::string(c.text));
        EXPECT_EQ(blowfish_encrypt(c.key, c.text), c.token);
    }
    const std::string y56(56, 'y');
    std::string expected;
    for (int i = 0; i < 7; ++i)
        expected += "x7mwn0zoD7X0";   // 56 equal bytes: seven equal blocks
    EXPECT_EQ(blowfish_encrypt(y56, y56), expected);
}

TEST(Blowfish, TextFormUsesOnlyTheAlphabetAndTopBitsEndEachWord)
{
    const std::string text(1023, '\xA5');
    const std::string token = blowfish_encrypt("any key", text);
    ASSERT_EQ(token.size(), 128u * 12);
    for (std::size_t i = 0; i < token.size(); ++i) {
        ASSERT_TRUE(in_alphabet(token[i])) << i;
        if (i % 6 == 5) {
            ASSERT_NE(std::string("./01").find(token[i]), std::string::npos) << i;
        }
    }
}

TEST(Blowfish, CacheKeepsThreeKeysAndReplacesSlotZero)
{
    blowfish_cache_clear();
    const std::string first = blowfish_encrypt("k1", "hello");
    blowfish_encrypt("k2", "hello");
    blowfish_encrypt("k3", "hello");
    EXPECT_EQ(blowfish_cache_slot("k1"), 0);
    blowfish_encrypt("k4", "hello");
    EXPECT_EQ(blowfish_cache_slot("k4"), 0);
    EXPECT_EQ(blowfish_cache_slot("k1"), -1);
    EXPECT_EQ(blowfish_cache_slot("k2"), 1);
    EXPECT_EQ(blowfish_cache_slot("k3"), 2);
    // Rebuilt afresh or found in the cache, the schedule gives the same token.
    EXPECT_EQ(blowfish_encrypt("k1", "hello"), first);
    EXPECT_EQ(blowfish_encrypt("k1", "hello"), first);
}

// Keys longer than any fixed key field are told apart by all their bytes, so a long key never
// takes the schedule of another that merely shares its beginning.
TEST(Blowfish, LongKeysAreCachedByTheirWholeText)
{
    blowfish_cache_clear();
    const std::string base(100, 'k');
    const std::string a = base + "A";
    const std::string b = base.substr(0, 50) + std::string(51, 'z');
    const std::string ta = blowfish_encrypt(a, "text");
    EXPECT_NE(blowfish_encrypt(b, "text"), ta);
    EXPECT_EQ(blowfish_cache_slot(a), 0);
    EXPECT_EQ(blowfish_cache_slot(b), 1);
    EXPECT_EQ(blowfish_cache_slot(base + "B"), -1);
    // Bytes after the 72nd do not enter the schedule.
    EXPECT_EQ(blowfish_encrypt(base + "B", "text"), ta);
}
