#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "util/md5.h"

namespace {

std::string hex(const unsigned char digest[16])
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += DIGITS[digest[i] >> 4];
        text += DIGITS[digest[i] & 0xf];
    }
    return text;
}

const unsigned char* bytes(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

TEST(Md5, GivesTheRfc1321TestSuite)
{
    struct Case { std::string_view text, digest; };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        // Whole, and fed one byte at a time: the digest does not depend on how input is cut.
        md5_context ctx;
        unsigned char digest[16];
        md5_starts(&ctx);
        md5_update(&ctx, bytes(c.text), c.text.size());
        md5_finish(&ctx, digest);
        EXPECT_EQ(hex(digest), c.digest);

        md5_starts(&ctx);   // the same context, started again
        for (std::size_t i = 0; i < c.text.size(); ++i)
            md5_update(&ctx, bytes(c.text) + i, 1);
        EXPECT_EQ(ctx.total, c.text.size());
        md5_finish(&ctx, digest);
        EXPECT_EQ(hex(digest), c.digest);
    }
}

TEST(Md5, ProcessFeedsWholeBlocks)
{
    const std::string text(128, 'x');
    md5_context by_block;
    md5_context whole;
    unsigned char a[16];
    unsigned char b[16];
    md5_starts(&by_block);
    md5_process(&by_block, bytes(text));
    md5_process(&by_block, bytes(text) + 64);
    md5_update(&by_block, bytes("tail"), 4);
    md5_finish(&by_block, a);
    md5_starts(&whole);
    md5_update(&whole, bytes(text + "tail"), 132);
    md5_finish(&whole, b);
    EXPECT_EQ(hex(a), hex(b));
    EXPECT_EQ(by_block.total, 132u);
}
