#include <climits>
#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "util/filebuf.h"
#include "util/helpers.h"

namespace {

std::tm at(int wday, int hour, int min)
{
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 5;
    tm.tm_mday = 12;
    tm.tm_wday = wday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    return tm;
}

tm_partial hour_min(int hour, int min)
{
    tm_partial bound;
    bound.hour = {1, hour};
    bound.min = {1, min};
    return bound;
}

timeval tv(long sec, long usec)
{
    timeval t{};
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

std::string expand(VariableMap& map, std::string_view text)
{
    Filebuf buf;
    buf.Add(text);
    variables_parse(map, buf);
    return std::string(buf.view());
}

} // namespace

TEST(TimeRange, HoursAndMinutes)
{
    const tm_partial start = hour_min(9, 0);
    const tm_partial end = hour_min(17, 30);
    struct Case { int hour, min, absolute, all; };
    const Case cases[] = {
        {9, 0, 1, 1},
        {17, 30, 1, 1},
        {17, 31, 0, 0},
        {8, 59, 0, 0},
        {12, 45, 1, 0},   // each element by itself: 45 is above the end's 30
        {12, 15, 1, 1},
        {10, 59, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.hour) + ":" + std::to_string(c.min));
        EXPECT_EQ(in_absolutetimerange(at(3, c.hour, c.min), start, end), c.absolute);
        EXPECT_EQ(in_alltimerange(at(3, c.hour, c.min), start, end), c.all);
    }
}

TEST(TimeRange, WeekdaysUnderBothTests)
{
    tm_partial start, end;
    start.wday = {1, 1};
    end.wday = {1, 5};
    for (int wday = 0; wday < 7; ++wday) {
        SCOPED_TRACE(wday);
        const int want = wday >= 1 && wday <= 5 ? 1 : 0;
        EXPECT_EQ(in_absolutetimerange(at(wday, 3, 0), start, end), want);
        EXPECT_EQ(in_alltimerange(at(wday, 3, 0), start, end), want);
    }
}

TEST(TimeRange, ElementTestNeverWraps)
{
    const tm_partial start = [] { tm_partial b; b.hour = {1, 22}; return b; }();
    const tm_partial end = [] { tm_partial b; b.hour = {1, 2}; return b; }();
    for (int hour = 0; hour < 24; ++hour)
        EXPECT_EQ(in_alltimerange(at(0, hour, 0), start, end), 0) << hour;
}

TEST(TimeRange, UnsetBoundsAlwaysMatch)
{
    const tm_partial none;
    EXPECT_EQ(in_absolutetimerange(at(0, 0, 0), none, none), 1);
    EXPECT_EQ(in_alltimerange(at(6, 23, 59), none, none), 1);
}

TEST(TimeRange, AbsoluteComparesInOrderOfSignificance)
{
    // From 2024-06-10 to 2024-06-12 by date: the hour is not set, so any hour of those days.
    tm_partial start, end;
    start.year = {1, 124};
    start.mon = {1, 5};
    start.mday = {1, 10};
    end.year = {1, 124};
    end.mon = {1, 5};
    end.mday = {1, 12};
    std::tm inside = at(3, 23, 59);   // June 12
    EXPECT_EQ(in_absolutetimerange(inside, start, end), 1);
    std::tm later = inside;
    later.tm_mday = 13;
    EXPECT_EQ(in_absolutetimerange(later, start, end), 0);
    std::tm next_year = inside;
    next_year.tm_year = 125;
    next_year.tm_mday = 1;
    EXPECT_EQ(in_absolutetimerange(next_year, start, end), 0);
}

TEST(Timeval, DiffCmpAndText)
{
    EXPECT_EQ(timeval_diff_ms(tv(100, 900000), tv(3700, 100000)), 3599200);
    EXPECT_EQ(timeval_diff_ms(tv(5, 500000), tv(5, 499000)), -1);
    EXPECT_EQ(timeval_diff_ms(tv(5, 499000), tv(5, 500999)), 1);
    EXPECT_EQ(timeval_diff_ms(tv(0, 0), tv(24 * 86400, 0)), 24 * 86400 * 1000);

    EXPECT_LT(timeval_cmp(tv(1, 999999), tv(2, 0)), 0);
    EXPECT_GT(timeval_cmp(tv(2, 1), tv(2, 0)), 0);
    EXPECT_EQ(timeval_cmp(tv(2, 5), tv(2, 5)), 0);

    EXPECT_EQ(timeval_to_string(tv(3725, 500000)), "01:02:05.50");
    EXPECT_EQ(timeval_to_string(tv(0, 0)), "00:00:00.00");
    EXPECT_EQ(timeval_to_string(tv(360000 + 59, 999999)), "100:00:59.99");
}

TEST(UtcTime, AddsTheOffset)
{
    const std::time_t saved = gmtoffset;
    gmtoffset = 3600;
    const std::time_t before = std::time(nullptr);
    std::time_t out = 0;
    const std::time_t now = utc_time(&out);
    EXPECT_EQ(now, out);
    EXPECT_GE(now, before + 3600);
    EXPECT_LE(now, std::time(nullptr) + 3600);
    EXPECT_EQ(utc_time(nullptr) - std::time(nullptr), 3600);
    gmtoffset = saved;
}

TEST(Xpow, PowersOfTwo)
{
    EXPECT_EQ(xpow(0), 1);
    EXPECT_EQ(xpow(-3), 1);
    EXPECT_EQ(xpow(1), 2);
    EXPECT_EQ(xpow(20), 1048576);
    EXPECT_EQ(xpow(62), 1L << 62);
    EXPECT_EQ(xpow(63), LONG_MAX);
    EXPECT_EQ(xpow(1000), LONG_MAX);
}

TEST(Filesize, Units)
{
    struct Case { std::uint64_t bytes; std::string_view want; };
    const Case cases[] = {
        {0, "0.0 B"},
        {1023, "1023.0 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {5ull << 40, "5120.0 GB"},   // beyond 32 bits
    };
    for (const Case& c : cases)
        EXPECT_EQ(filesize(c.bytes), c.want) << c.bytes;
}

TEST(ModeParse, Table)
{
    struct Case { std::string_view text; int bits; };
    const Case cases[] = {
        {"-rwxr-x---", 0750},
        {"drwsr-Sr-t", 07755},
        {"-rw", 0},
        {"----------", 0},
        {"-rwxrwxrwx", 0777},
        {"lrw-r--r--", 0644},
        {"-rwSr-sr-T", 0644},   // other letters add nothing
    };
    for (const Case& c : cases)
        EXPECT_EQ(mode_parse(c.text), c.bits) << c.text;
}

TEST(ModeCreate, ReadsBackThroughModeParse)
{
    EXPECT_EQ(mode_create(0750), "-rwxr-x---");
    EXPECT_EQ(mode_create(07755), "-rwsr-Sr-t");
    for (const int bits : {0, 0644, 0777, 04755, 02750, 01777, 07777})
        EXPECT_EQ(mode_parse(mode_create(bits)), bits | (bits & 04000 ? 0100 : 0) | (bits & 02000 ? 010 : 0) |
                                                      (bits & 01000 ? 01 : 0))
            << std::oct << bits;
}

TEST(Names, MonthAndWeekday)
{
    EXPECT_STREQ(month_name(1), "January");
    EXPECT_STREQ(month_name(12), "December");
    EXPECT_STREQ(month_name(0), "Invalid");
    EXPECT_STREQ(month_name(13), "Invalid");
    EXPECT_STREQ(weekday_name(1), "Sunday");
    EXPECT_STREQ(weekday_name(7), "Saturday");
    EXPECT_STREQ(weekday_name(8), "Invalid");
}

TEST(LocalMktime, SubtractsTheOffset)
{
    const std::time_t saved = gmtoffset;
    std::tm tm = at(0, 12, 0);
    tm.tm_isdst = -1;
    std::tm copy = tm;
    gmtoffset = 7200;
    EXPECT_EQ(local_mktime(&tm), std::mktime(&copy) - 7200);
    gmtoffset = saved;
}

TEST(Md5String, KnownDigests)
{
    EXPECT_EQ(md5_string(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_string("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_string("http://example.com/"), "a6bf1757fff057f266b697df9cf176fd");
}

TEST(VariablesParse, ExpandsAndRecordsMissingNames)
{
    VariableMap map{{"CLIENTID", "7"}};
    EXPECT_EQ(expand(map, "id @CLIENTID@ @@ @X@."), "id 7 @ .");
    ASSERT_EQ(map.count("X"), 1u);
    EXPECT_EQ(map["X"], "");
}

TEST(VariablesParse, Table)
{
    const std::string name62(62, 'N');
    const std::string name63(63, 'N');
    struct Case { std::string text; std::string want; };
    const Case cases[] = {
        {"@A@@B@", "ab"},
        {"@a@", ""},                                  // names are case-sensitive
        {"x@@@A@", "x@a"},
        {"mail root@example.com today", "mail root@example.com today"},   // a lone '@' is text
        {"trailing @", "trailing @"},
        {"@" + name62 + "@!", "long!"},
        {"@" + name63 + "@!", "@" + name63 + "@!"},   // the closing '@' lies beyond the window
        {"no placeholders", "no placeholders"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        VariableMap map{{"A", "a"}, {"B", "b"}, {VariableText(name62), "long"}};
        EXPECT_EQ(expand(map, c.text), c.want);
    }
}

TEST(VariablesParse, ValuesAreCutAndTypeStays)
{
    VariableMap map{{"BIG", VariableText(10000, 'v')}};
    Filebuf buf;
    buf.Add("<@BIG@>");
    buf.set_type("text/html");
    variables_parse(map, buf);
    EXPECT_EQ(std::string(buf.view()), "<" + std::string(8191, 'v') + ">");
    EXPECT_EQ(buf.type(), "text/html");
}

TEST(StringToHtml, Flags)
{
    struct Case { std::string_view text; int flags; std::string_view want; };
    const Case cases[] = {
        {"a<b> & \"c\"", 0, "a&lt;b&gt; &amp; &quot;c&quot;"},
        {"x y", 2, "x&nbsp;y"},
        {"a/b", 4, "a\\/b"},
        {"';.?/\\[]{}()+*|$", 4, "\\'\\;\\.\\?\\/\\\\\\[\\]\\{\\}\\(\\)\\+\\*\\|\\$"},
        {"a\nb", 0, "a\nb"},
        {"a\nb", 2, "a\nb"},
        {"a\nb c", 3, "a<br>b&nbsp;c"},
        {"<x y>", 6, "&lt;x&nbsp;y&gt;"},
        {"'", 0, "'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " flags " + std::to_string(c.flags));
        EXPECT_EQ(string_to_html(c.text, c.flags, 4), c.want);
    }
}

TEST(StringToHtml, WrapsLongRunsOnlyWithFlagsOne)
{
    struct Case { std::string_view text; int flags, linelength; std::string_view want; };
    const Case cases[] = {
        {"abcdefghij", 1, 4, "abcd<br>efgh<br>ij"},
        {"abc defgh", 1, 4, "abc def<br>gh"},      // a blank restarts the count at one
        {"a&bcd", 1, 4, "a&amp;bc<br>d"},          // an escaped character counts once
        {"abcdefghij", 3, 4, "abcdefghij"},
        {"abcdefghij", 1, 0, "abcdefghij"},
        {"abcdefghij", 1, -2, "abcdefghij"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " flags " + std::to_string(c.flags) + " length " +
                     std::to_string(c.linelength));
        EXPECT_EQ(string_to_html(c.text, c.flags, c.linelength), c.want);
    }
}

TEST(CmdlineParse, Words)
{
    using Words = std::vector<std::string>;
    struct Case { std::string_view line; Words want; };
    const Case cases[] = {
        {R"(prog -a "b c" d\ e)", {"prog", "-a", "b c", "d e"}},
        {"x 'y z' w", {"x", "y z", "w"}},
        {R"(a""b)", {"ab"}},
        {"", {}},
        {"   ", {}},
        {R"("" '' x)", {"x"}},
        {"  lead   trail  ", {"lead", "trail"}},
        {R"("it's" 'say "hi"')", {"it's", "say \"hi\""}},
        {R"(a\"b \\ \')", {"a\"b", "\\", "'"}},
        {R"("a\b" 'c\d')", {"a\\b", "c\\d"}},      // inside quotes a backslash is plain
        {R"(x "unclosed y)", {"x", "unclosed y"}},
        {R"(end\)", {"end"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line));
        EXPECT_EQ(cmdline_parse(c.line), c.want);
    }
}

TEST(CmdlineParse, WordsAreCutAt255)
{
    const auto words = cmdline_parse(std::string(300, 'w') + " next");
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0], std::string(255, 'w'));
    EXPECT_EQ(words[1], "next");
}

TEST(StringToHtml, TakesTheLineLengthFromTheGeneralSection)
{
    // Before the general section exists nothing is wrapped.
    EXPECT_EQ(string_to_html("a<bcdefghij", 1), "a&lt;bcdefghij");
    EXPECT_EQ(string_to_html("x y", 2), "x&nbsp;y");
}
