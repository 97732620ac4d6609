#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <zlib.h>

#include "util/filebuf.h"

using namespace std::literals;

namespace {

std::string bytes_of(const Filebuf& buf)
{
    return std::string(buf.view());
}

Filebuf with(std::string_view bytes)
{
    Filebuf buf;
    buf.Add(bytes);
    return buf;
}

// Compressible but not trivial: zero bytes and every byte value appear.
std::string sample(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 300) % 256);
    return s;
}

class FilebufFile : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/filebuf_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

} // namespace

TEST(FilebufResize, GrowsInStepsAndShrinksOnlyPastTheSlack)
{
    Filebuf buf;
    EXPECT_EQ(buf.data(), nullptr);
    EXPECT_EQ(buf.capacity(), 0u);

    buf.Add("x", 1);
    EXPECT_EQ(buf.size(), 1u);
    EXPECT_EQ(buf.capacity(), 65536u);

    const std::string more(65536, 'y');
    buf.Add(more);
    EXPECT_EQ(buf.size(), 65537u);
    EXPECT_EQ(buf.capacity(), 131072u);
    EXPECT_EQ(buf.data()[0], 'x');
    EXPECT_EQ(buf.data()[65536], 'y');

    buf.Resize(65536);          // 65,536 below the capacity: not more, so the block stays
    EXPECT_EQ(buf.capacity(), 131072u);
    buf.Resize(65535);          // now more than 65,536 below
    EXPECT_EQ(buf.capacity(), 65536u);
    EXPECT_EQ(buf.data()[0], 'x');

    buf.Resize(0);              // size 0 keeps the block
    EXPECT_EQ(buf.size(), 0u);
    EXPECT_EQ(buf.capacity(), 65536u);
    EXPECT_NE(buf.data(), nullptr);
}

TEST(FilebufResize, OverflowFailsAndLeavesTheBuffer)
{
    Filebuf buf = with("abc");
    EXPECT_EQ(buf.Add("z", SIZE_MAX), -1);
    EXPECT_EQ(buf.Resize(SIZE_MAX - 10), -1);
    EXPECT_EQ(bytes_of(buf), "abc");
    EXPECT_EQ(buf.capacity(), 65536u);
}

TEST(FilebufAdd, BytesOfItselfSurviveGrowth)
{
    Filebuf buf = with(std::string(65536, 'a'));
    buf.Add(buf.data(), buf.size());   // the block moves while the source is read
    EXPECT_EQ(buf.size(), 131072u);
    EXPECT_EQ(bytes_of(buf), std::string(131072, 'a'));
}

TEST(FilebufAddf, CutsAt8191AndAddsNoTerminator)
{
    Filebuf buf;
    buf.Addf("%s", std::string(10000, 'q').c_str());
    EXPECT_EQ(buf.size(), 8191u);
    EXPECT_EQ(bytes_of(buf), std::string(8191, 'q'));

    Filebuf small;
    small.Addf("%d-%s", 42, "x");
    small.Addf("%s", "");
    EXPECT_EQ(bytes_of(small), "42-x");
}

TEST(FilebufAdd, ZeroByteMakesTheContentAString)
{
    Filebuf buf = with("ab\0cd"sv);
    buf.Add("", 1);
    EXPECT_EQ(bytes_of(buf), "ab\0cd\0"sv);
    buf.Resize(buf.size() - 1);
    EXPECT_EQ(bytes_of(buf), "ab\0cd"sv);
}

TEST(FilebufReplace, GrowsShrinksOrKeeps)
{
    struct Case { std::string_view bytes; std::size_t from, to; std::string_view text, want; };
    const Case cases[] = {
        {"abcdef", 2, 4, "XYZ", "abXYZef"},
        {"abcdef", 2, 5, "", "abf"},
        {"abcdef", 1, 3, "XY", "aXYdef"},
        {"abcdef", 0, 0, "<", "<abcdef"},
        {"abcdef", 6, 6, ">", "abcdef>"},
        {"abcdef", 0, 6, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bytes) + " [" + std::to_string(c.from) + "," + std::to_string(c.to) + ") " + std::string(c.text));
        Filebuf buf = with(c.bytes);
        buf.Replace(c.from, c.to, c.text);
        EXPECT_EQ(bytes_of(buf), c.want);
    }
}

TEST(FilebufReplace, LargeTailMovesIntact)
{
    const std::string tail = sample(200000);
    Filebuf buf = with("head" + tail);
    buf.Replace(0, 4, std::string(70000, 'h'));
    EXPECT_EQ(bytes_of(buf), std::string(70000, 'h') + tail);
    buf.Replace(0, 70000, "");
    EXPECT_EQ(bytes_of(buf), tail);
}

TEST(FilebufReplaceDeath, OutsideTheData)
{
    EXPECT_EXIT({ Filebuf buf = with("abc"); buf.Replace(2, 4, "x"); }, [](int) { return true; }, "");
    EXPECT_EXIT({ Filebuf buf = with("abc"); buf.Replace(2, 1, "x"); }, [](int) { return true; }, "");
}

TEST(FilebufTrim, KeepsTheRestAtTheFront)
{
    const std::string bytes = sample(200000);
    Filebuf buf = with(bytes);
    EXPECT_EQ(buf.capacity(), 262144u);
    buf.Trim(150000);
    EXPECT_EQ(bytes_of(buf), bytes.substr(150000));
    EXPECT_EQ(buf.capacity(), 65536u);

    Filebuf all = with(bytes);
    all.Trim(200000);
    EXPECT_EQ(all.size(), 0u);
    all.Add("0123456789", 10);
    EXPECT_EQ(bytes_of(all), "0123456789");
}

TEST(FilebufTrimDeath, MoreThanTheSize)
{
    EXPECT_EXIT({ Filebuf buf = with("abc"); buf.Trim(4); }, [](int) { return true; }, "");
}

TEST(FilebufShorten, GivesBackSpareRoom)
{
    Filebuf buf = with("abc");
    buf.Shorten();
    EXPECT_EQ(buf.capacity(), 3u);
    EXPECT_EQ(bytes_of(buf), "abc");
    buf.Add("d", 1);            // grows again by the usual rule
    EXPECT_EQ(buf.capacity(), 65536u);
    EXPECT_EQ(bytes_of(buf), "abcd");

    buf.Resize(0);
    buf.Shorten();              // an empty buffer gives its block back
    EXPECT_EQ(buf.data(), nullptr);
    EXPECT_EQ(buf.capacity(), 0u);
}

TEST(FilebufSwap, TakesOverAndEmptiesTheOther)
{
    Filebuf a = with("aaa");
    a.set_type("text/html");
    Filebuf b = with("bb");
    b.set_type("image/png");
    a.Swap(&b);
    EXPECT_EQ(bytes_of(a), "bb");
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.capacity(), 0u);
    EXPECT_EQ(a.type(), "text/html");   // types stay where they are
    EXPECT_EQ(b.type(), "image/png");

    a.Swap(nullptr);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_EQ(a.type(), "text/html");
}

TEST(FilebufDup, CopiesBytesOnly)
{
    Filebuf buf = with("x\0y"sv);
    buf.set_type("text/plain");
    const auto copy = buf.Dup();
    EXPECT_EQ(bytes_of(*copy), "x\0y"sv);
    EXPECT_EQ(copy->capacity(), 3u);
    EXPECT_EQ(copy->type(), "");
    EXPECT_NE(copy->data(), buf.data());

    const Filebuf empty;
    const auto none = empty.Dup();
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->size(), 0u);
    EXPECT_EQ(none->data(), nullptr);
}

TEST(FilebufToStack, SplitsAtNewlines)
{
    struct Case { std::string_view bytes; STACK_T want; };
    const Case cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"x", {"x"}},
        {"a\r\nb", {"a\r", "b"}},
        {"\n", {""}},
        {"a\0z\nb"sv, {"a", "b"}},   // a line ends at a zero byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(with(c.bytes).to_stack(), c.want);
    }
    EXPECT_TRUE(Filebuf().to_stack().empty());
    Filebuf emptied = with("abc");
    emptied.Resize(0);
    EXPECT_EQ(emptied.to_stack(), (STACK_T{""}));
}

TEST_F(FilebufFile, ReadAppendsWholeFiles)
{
    const std::string content = sample(100000);
    std::ofstream(path("f"), std::ios::binary) << content;
    std::ofstream(path("empty"), std::ios::binary);

    Filebuf buf = with("pre");
    EXPECT_EQ(buf.Read(path("f").c_str()), 100000);
    EXPECT_EQ(bytes_of(buf), "pre" + content);

    EXPECT_EQ(buf.Read(path("empty").c_str()), 0);
    EXPECT_EQ(buf.Read(path("missing").c_str()), -1);
    EXPECT_EQ(bytes_of(buf), "pre" + content);
}

TEST_F(FilebufFile, SaveWritesExactlyTheBytes)
{
    const std::string file = path("out");
    std::ofstream(file, std::ios::binary) << std::string(1000, 'o');   // longer old content
    const Filebuf buf = with("new\0data"sv);
    EXPECT_EQ(buf.Save(file.c_str()), 8);
    Filebuf back;
    back.Read(file.c_str());
    EXPECT_EQ(bytes_of(back), "new\0data"sv);
    const mode_t mask = umask(0);
    umask(mask);
    const std::string created = path("created");
    EXPECT_EQ(buf.Save(created.c_str()), 8);
    EXPECT_EQ(std::filesystem::status(created).permissions(), std::filesystem::perms(0644 & ~mask));

    EXPECT_EQ(buf.Save(path("no/such/dir").c_str()), -1);

    const int fd = ::open(path("fd").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(buf.Save(fd), 8);
    ::close(fd);
    EXPECT_EQ(std::filesystem::file_size(path("fd")), 8u);
}

TEST(FilebufCompress, RoundTripsBothForms)
{
    for (const int gzip : {1, 0}) {
        for (const std::size_t n : {0ul, 1ul, 8192ul, 300000ul}) {
            SCOPED_TRACE("gzip " + std::to_string(gzip) + " size " + std::to_string(n));
            const std::string bytes = sample(n);
            Filebuf buf = with(bytes);
            buf.set_type("text/html");
            ASSERT_EQ(buf.Compress(gzip), 1);
            if (n >= 8192) {
                EXPECT_LT(buf.size(), n);
            }
            ASSERT_EQ(buf.Uncompress(gzip), 1);
            EXPECT_EQ(bytes_of(buf), bytes);
            EXPECT_EQ(buf.type(), "text/html");
        }
    }
}

TEST(FilebufCompress, GzipFramingIsStandard)
{
    const std::string bytes = sample(50000);
    Filebuf buf = with(bytes);
    ASSERT_EQ(buf.Compress(1), 1);
    const std::string out = bytes_of(buf);
    EXPECT_EQ(out.substr(0, 10), "\x1f\x8b\x08\0\0\0\0\0\0\x03"sv);

    // zlib's own gzip reader accepts it, trailer included.
    z_stream stream{};
    ASSERT_EQ(inflateInit2(&stream, 16 + 15), Z_OK);
    std::string back(bytes.size() + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(out.data()));
    stream.avail_in = static_cast<uInt>(out.size());
    stream.next_out = reinterpret_cast<Bytef*>(back.data());
    stream.avail_out = static_cast<uInt>(back.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(stream.total_out, bytes.size());
    inflateEnd(&stream);
    back.resize(bytes.size());
    EXPECT_EQ(back, bytes);
}

TEST(FilebufCompress, EmptyGzip)
{
    Filebuf buf;
    ASSERT_EQ(buf.Compress(1), 1);
    ASSERT_EQ(buf.size(), 20u);
    EXPECT_EQ(bytes_of(buf).substr(12), std::string(8, '\0'));
    ASSERT_EQ(buf.Uncompress(1), 1);
    EXPECT_EQ(buf.size(), 0u);
}

TEST(FilebufUncompress, FailuresLeaveTheBuffer)
{
    Filebuf deflated = with(sample(100000));
    ASSERT_EQ(deflated.Compress(0), 1);
    std::string raw = bytes_of(deflated);

    struct Case { const char* what; std::string bytes; int gzip; };
    const Case cases[] = {
        {"cut in the middle", raw.substr(0, raw.size() / 2), 0},
        {"corrupt", "\xff\xff\xff\xff\xff\xff", 0},
        {"empty raw stream", "", 0},
        {"gzip of 17 bytes", std::string(17, 'g'), 1},
        {"gzip with a cut stream", "\x1f\x8b\x08\0\0\0\0\0\0\x03" + raw.substr(0, 100) + std::string(8, '\0'), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf buf = with(c.bytes);
        EXPECT_EQ(buf.Uncompress(c.gzip), 0);
        EXPECT_EQ(bytes_of(buf), c.bytes);
    }
}

TEST(FilebufUncompress, GzipTrailerIsNotVerified)
{
    Filebuf buf = with("hello");
    ASSERT_EQ(buf.Compress(1), 1);
    std::string framed = bytes_of(buf);
    framed.replace(framed.size() - 8, 8, "WRONGCRC");
    Filebuf wrong = with(framed);
    ASSERT_EQ(wrong.Uncompress(1), 1);
    EXPECT_EQ(bytes_of(wrong), "hello");
}

namespace {

// A raw deflate stream of bytes, made by zlib itself.
std::string raw_deflate(std::string_view bytes)
{
    Filebuf buf = with(bytes);
    EXPECT_EQ(buf.Compress(0), 1);
    return bytes_of(buf);
}

std::string zlib_wrapped(std::string_view bytes)
{
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                        static_cast<uLong>(bytes.size()), 6),
              Z_OK);
    out.resize(size);
    return out;
}

} // namespace

TEST(FilebufUncompress, GzipHeadersWithOptionalFields)
{
    const std::string bytes = sample(40000);
    const std::string stream = raw_deflate(bytes);
    const std::string trailer(8, 'T');   // never read
    // flags: 0x04 extra field, 0x08 file name, 0x10 comment, 0x02 header CRC
    const std::string base = "\x1f\x8b\x08"s;
    const std::string rest = "\0\0\0\0\0\x03"s;
    struct Case { const char* what; std::string framed; bool decodes; };
    const Case cases[] = {
        {"file name", base + "\x08" + rest + "big.txt\0"s + stream + trailer, true},
        {"every field", base + "\x1e" + rest + "\x03\0abc"s + "name\0"s + "a comment\0"s + "\x12\x34" + stream + trailer,
         true},
        {"extra field longer than the body", base + "\x04" + rest + "\xff\x7f"s + stream, false},
        {"file name never ends", base + "\x08" + rest + std::string(40, 'n'), false},
        {"reserved flag", base + "\x20" + rest + stream + trailer, false},
        {"not gzip at all", "\x1f\x8c\x08\0"s + rest + stream + trailer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf buf = with(c.framed);
        ASSERT_EQ(buf.Uncompress(1), c.decodes ? 1 : 0);
        EXPECT_EQ(bytes_of(buf), c.decodes ? bytes : c.framed);
    }
}

TEST(FilebufUncompress, DeflateIsTakenRawOrZlibWrapped)
{
    const std::string bytes = sample(70000);
    std::string bad_checksum = zlib_wrapped(bytes);
    bad_checksum.back() ^= 0x55;
    struct Case { const char* what; std::string stream; bool decodes; };
    const Case cases[] = {
        {"raw", raw_deflate(bytes), true},
        {"zlib wrapper", zlib_wrapped(bytes), true},
        {"zlib wrapper with a wrong checksum", bad_checksum, false},
        {"zlib wrapper cut short", zlib_wrapped(bytes).substr(0, 300), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf buf = with(c.stream);
        ASSERT_EQ(buf.Uncompress(0), c.decodes ? 1 : 0);
        EXPECT_EQ(bytes_of(buf), c.decodes ? bytes : c.stream);
    }
}

TEST(FilebufUncompress, OutputBeyondTheMaximumFails)
{
    const std::string zeros(1 << 20, '\0');
    for (const int gzip : {1, 0}) {
        SCOPED_TRACE("gzip " + std::to_string(gzip));
        Filebuf packed = with(zeros);
        ASSERT_EQ(packed.Compress(gzip), 1);
        const std::string framed = bytes_of(packed);
        ASSERT_LT(framed.size(), 4096u);   // a thousandfold inflation

        Filebuf over = with(framed);
        EXPECT_EQ(over.Uncompress(gzip, zeros.size() - 1), 0);
        EXPECT_EQ(bytes_of(over), framed);

        Filebuf exact = with(framed);
        ASSERT_EQ(exact.Uncompress(gzip, zeros.size()), 1);
        EXPECT_EQ(bytes_of(exact), zeros);
    }
}
