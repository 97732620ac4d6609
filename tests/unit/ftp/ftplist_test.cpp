#include <cstdint>
#include <ctime>
#include <iterator>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

#include "util/filebuf.h"
#include "ftp/ftplist.h"
#include "core/global.h"
#include "util/log.h"
#include "util/stringutil.h"

using namespace std::literals;

namespace {

// The buffered error lines, oldest first, without time stamp and client id.
std::vector<std::string> logged()
{
    std::vector<std::string> out;
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    for (auto it = buffered.rbegin(); it != buffered.rend(); ++it) {
        const std::size_t id = it->find("] ");
        out.push_back(id == std::string::npos ? *it : it->substr(id + 2));
    }
    return out;
}

void forget_log() { logbuffer_clear(global->logbuffer.get()); }

std::vector<dir_t> entries(const DirList& list)
{
    return {list.begin(), list.end()};
}

std::vector<std::string> names_of(const DirList& list)
{
    std::vector<std::string> names;
    for (const dir_t& entry : list)
        names.push_back(entry.name);
    return names;
}

std::string unparsable(std::string_view line)
{
    return "error: FTP: unparsable ftp dir entry: " + std::string(line);
}

std::tm local_tm(int year, int mon, int mday, int hour = 0, int min = 0)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_isdst = -1;
    return tm;
}

std::time_t local_time(int year, int mon, int mday, int hour = 0, int min = 0)
{
    std::tm tm = local_tm(year, mon, mday, hour, min);
    return std::mktime(&tm);
}

// Mid-June, so that every listed time of day up to mid-June is this year's.
const std::time_t JUNE_2024 = local_time(2024, 6, 15, 12, 0);

struct Want {
    std::string_view name;
    int isdir;
    int mode;
    std::string_view owner, group;
    std::uint64_t size;
    int year, mon, mday, hour, min;
    std::string_view link;
};

void expect_entry(const dir_t& got, const Want& want)
{
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.isdir, want.isdir);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.owner, want.owner);
    EXPECT_EQ(got.group, want.group);
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.tm.tm_year + 1900, want.year);
    EXPECT_EQ(got.tm.tm_mon + 1, want.mon);
    EXPECT_EQ(got.tm.tm_mday, want.mday);
    EXPECT_EQ(got.tm.tm_hour, want.hour);
    EXPECT_EQ(got.tm.tm_min, want.min);
    EXPECT_EQ(got.mtime, local_time(want.year, want.mon, want.mday, want.hour, want.min));
    EXPECT_EQ(got.link, want.link);
}

struct LineCase {
    std::string_view line;
    bool parsed;
    Want want;
};

// Each line is parsed after a first line that fixes the layout, so every row is read in it.
void check_lines(std::string_view head, const std::vector<LineCase>& cases)
{
    for (const LineCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)));
        forget_log();
        const std::string listing = std::string(head) + "\n" + std::string(c.line);
        const auto list = entries(dir_list_parse(listing, JUNE_2024));
        ASSERT_EQ(list.size(), c.parsed ? 2u : 1u);
        if (c.parsed) {
            expect_entry(list[1], c.want);
            EXPECT_TRUE(logged().empty());
        } else {
            // Logged without its line end, and whole: a carriage return or a zero byte inside
            // it is escaped, never written as it is.
            std::string_view shown = c.line;
            if (!shown.empty() && shown.back() == '\r')
                shown.remove_suffix(1);
            EXPECT_EQ(logged(), std::vector<std::string>{unparsable(string_escape_control(shown))});
        }
    }
}

constexpr std::uint64_t FIVE_GIB = 5ull << 30;
constexpr std::uint64_t U64_MAX = UINT64_MAX;

}  // namespace

TEST(DirListParse, GroupLayoutLines)
{
    const std::vector<LineCase> cases = {
        {"-rw-r--r-- 1 ftp ftp 1234 Mar 14 09:30 read me.txt", true,
         {"read me.txt", 0, 0644, "ftp", "ftp", 1234, 2024, 3, 14, 9, 30, ""}},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 2 2009 pub", true,
         {"pub/", 1, 0755, "ftp", "ftp", 4096, 2009, 1, 2, 0, 0, ""}},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 2 2009 pub/", true,
         {"pub/", 1, 0755, "ftp", "ftp", 4096, 2009, 1, 2, 0, 0, ""}},
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 latest -> pub/new", true,
         {"latest", 0, 0777, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, "pub/new"}},
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 my  link -> a  target", true,
         {"my  link", 0, 0777, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, "a  target"}},
        // An arrow that begins the name is part of it.
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 -> x", true,
         {"-> x", 0, 0777, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 -> -> x", true,
         {"->", 0, 0777, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, "x"}},
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 dangling ->", true,
         {"dangling", 0, 0777, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        // Only a link is split at the arrow.
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a -> b", true,
         {"a -> b", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 5368709120 Jan 2 2009 big.iso", true,
         {"big.iso", 0, 0644, "ftp", "ftp", FIVE_GIB, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 18446744073709551615 Jan 2 2009 max", true,
         {"max", 0, 0644, "ftp", "ftp", U64_MAX, 2009, 1, 2, 0, 0, ""}},
        // Names keep the server's bytes: runs of blanks, trailing blanks, tabs, any high byte.
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 two  blanks  inside ", true,
         {"two  blanks  inside ", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 caf\xc3\xa9 \xe9t\xe9\ttab", true,
         {"caf\xc3\xa9 \xe9t\xe9\ttab", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a<b>&\"c%20", true,
         {"a<b>&\"c%20", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        // Blanks before the name are column padding.
        {"-rw-r--r--   1 ftp      ftp         7 Jan  2  2009    padded", true,
         {"padded", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 crlf.txt\r", true,
         {"crlf.txt", 0, 0644, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 1000 1000 7 jan 02 2009 numeric", true,
         {"numeric", 0, 0644, "1000", "1000", 7, 2009, 1, 2, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 7 September 9 2009 fullmonth", true,
         {"fullmonth", 0, 0644, "ftp", "ftp", 7, 2009, 9, 9, 0, 0, ""}},
        {"-rw-r--r-- 1 ftp ftp 7 Feb 1 0:05 early", true,
         {"early", 0, 0644, "ftp", "ftp", 7, 2024, 2, 1, 0, 5, ""}},
        {"-rw-r-----+ 1 ftp ftp 7 Jan 2 2009 acl", true,
         {"acl", 0, 0640, "ftp", "ftp", 7, 2009, 1, 2, 0, 0, ""}},
        {"prw-r--r-- 1 ftp ftp 0 Jan 2 2009 fifo", true,
         {"fifo", 0, 0644, "ftp", "ftp", 0, 2009, 1, 2, 0, 0, ""}},

        {"-rw-r--r-- 1 ftp ftp 18446744073709551616 Jan 2 2009 over", false, {}},
        {"-rw-r--r-- 1 ftp ftp -1 Jan 2 2009 negative", false, {}},
        {"-rw-r--r-- 1 ftp ftp 12k Jan 2 2009 suffix", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Foo 2 2009 month", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Ja 2 2009 month", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 32 2009 day", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 0 2009 day", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 24:00 hour", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 12:60 minute", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 12: minute", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 20x9 year", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 20090 year", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009", false, {}},
        {"   ", false, {}},
        // A carriage return or zero byte inside a name is refused, never cut or split.
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a\rb", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a\r\r", false, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a\0b"sv, false, {}},
    };
    check_lines("-rw-r--r-- 1 ftp ftp 10 Jan 2 2009 head", cases);
}

TEST(DirListParse, NoGroupLayoutLines)
{
    const std::vector<LineCase> cases = {
        {"-rw-r--r-- 1 ftp 1234 Mar 14 09:30 read me.txt", true,
         {"read me.txt", 0, 0644, "ftp", "unknown", 1234, 2024, 3, 14, 9, 30, ""}},
        {"drwxr-xr-x 2 ftp 4096 Jan 2 2009 pub", true,
         {"pub/", 1, 0755, "ftp", "unknown", 4096, 2009, 1, 2, 0, 0, ""}},
        {"lrwxrwxrwx 1 ftp 7 Jan 2 2009 latest -> pub/new", true,
         {"latest", 0, 0777, "ftp", "unknown", 7, 2009, 1, 2, 0, 0, "pub/new"}},
        {"-rw-r--r-- 1 ftp 5368709120 Jan 2 2009 big.iso", true,
         {"big.iso", 0, 0644, "ftp", "unknown", FIVE_GIB, 2009, 1, 2, 0, 0, ""}},
        // The layout is the listing's: a group column here shifts every field.
        {"-rw-r--r-- 1 ftp ftp 1234 Mar 14 09:30 grouped", false, {}},
        {"-rw-r--r-- 1 ftp 7 Jan 2 2009", false, {}},
    };
    check_lines("-rw-r--r-- 1 ftp 10 Jan 2 2009 head", cases);
}

TEST(DirListParse, FirstLineFixesTheLayout)
{
    struct Case {
        std::string_view listing;
        std::vector<std::string> names;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"-rw-r--r-- 1 ftp 7 Jan 2 2009 a\n-rw-r--r-- 1 ftp 8 Jan 2 2009 b c", {"a", "b c"}, {}},
        // A name with blanks in the first line is not taken for a group column.
        {"-rw-r--r-- 1 ftp 7 Jan 2 2009 read me.txt\n-rw-r--r-- 1 ftp 8 Jan 2 2009 b", {"read me.txt", "b"}, {}},
        {"lrwxrwxrwx 1 ftp 7 Jan 2 2009 l -> t\n-rw-r--r-- 1 ftp 8 Jan 2 2009 b", {"l", "b"}, {}},
        {"lrwxrwxrwx 1 ftp ftp 7 Jan 2 2009 my link -> t\n-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b", {"my link", "b"}, {}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 -> y\n-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b", {"-> y", "b"}, {}},
        // Too few words in the first line: no layout, every line refused.
        {"drwxr-xr-x 2 ftp 4096 pub\n-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b",
         {},
         {unparsable("drwxr-xr-x 2 ftp 4096 pub"), unparsable("-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b")}},
        {"Listing follows:\n-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b",
         {},
         {unparsable("Listing follows:"), unparsable("-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b")}},
        // "total" lines are skipped silently and fix nothing; an empty line is refused.
        {"total 12\r\n-rw-r--r-- 1 ftp 7 Jan 2 2009 a\r\n\r\nTOTAL 3\r\n-rw-r--r-- 1 ftp 8 Jan 2 2009 b\r\n",
         {"a", "b"},
         {unparsable("")}},
        {"-rw-r--r-- 1 ftp ftp 7 Jan 2 2009 a\n\n-rw-r--r-- 1 ftp ftp 8 Jan 2 2009 b\n", {"a", "b"}, {unparsable("")}},
        {"total 0\n", {}, {}},
        {"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.listing)));
        forget_log();
        EXPECT_EQ(names_of(dir_list_parse(c.listing, JUNE_2024)), c.names);
        EXPECT_EQ(logged(), c.logged);
    }
}

TEST(DirListParse, TimeOfDayTakesTheYearThatIsNotAhead)
{
    struct Case {
        std::time_t now;
        std::string_view date;
        int year, mon, mday, hour, min, wday;
    };
    const std::time_t jan10 = local_time(2024, 1, 10, 12, 0);
    const Case cases[] = {
        {JUNE_2024, "Mar 14 09:30", 2024, 3, 14, 9, 30, 4},
        {JUNE_2024, "Dec 31 23:59", 2023, 12, 31, 23, 59, 0},
        {jan10, "Dec 20 10:00", 2023, 12, 20, 10, 0, 3},
        {jan10, "Jan 10 08:00", 2024, 1, 10, 8, 0, 3},
        // Up to a day ahead is the server's clock or zone, not last year.
        {jan10, "Jan 11 08:00", 2024, 1, 11, 8, 0, 4},
        {jan10, "Jan 12 13:00", 2023, 1, 12, 13, 0, 4},
        {jan10, "Mar 14 2009", 2009, 3, 14, 0, 0, 6},
        {jan10, "Dec 20 2030", 2030, 12, 20, 0, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.date));
        const std::string line = "-rw-r--r-- 1 ftp ftp 7 " + std::string(c.date) + " f";
        const auto list = entries(dir_list_parse(line, c.now));
        ASSERT_EQ(list.size(), 1u);
        expect_entry(list[0], {"f", 0, 0644, "ftp", "ftp", 7, c.year, c.mon, c.mday, c.hour, c.min, ""});
        EXPECT_EQ(list[0].tm.tm_wday, c.wday);
    }
}

TEST(DirListParse, ReadsAFilebufWithTheCurrentYear)
{
    Filebuf buffer;
    buffer.Add("total 1\r\n-rw-r--r-- 1 ftp ftp 1234 Jan 1 00:00 new.txt\r\n"sv);
    const auto list = entries(dir_list_parse(buffer));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "new.txt");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(list[0].tm.tm_year, local.tm_year);

    EXPECT_TRUE(dir_list_parse(Filebuf()).empty());
}

TEST(DirListAdd, AppendsCopiesAndMarksDirectories)
{
    DirList added;
    std::string owner = "ftp", name = "pub";
    const std::tm tm = local_tm(2009, 1, 2, 3, 4);
    dir_list_add(added, 0, 0644, "root", "wheel", FIVE_GIB, tm, "file");
    const dir_t& dir = dir_list_add(added, 1, 0755, owner, "ftp", 4096, tm, name);
    dir_list_add(added, 1, 0755, owner, "ftp", 4096, tm, "already/");
    owner = "changed";
    name = "changed";

    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(&dir, &*std::next(added.begin()));   // still valid after a later add
    const auto list = entries(added);
    EXPECT_EQ(list[0].name, "file");
    EXPECT_EQ(list[0].size, FIVE_GIB);
    EXPECT_EQ(list[1].name, "pub/");
    EXPECT_EQ(list[1].owner, "ftp");
    EXPECT_EQ(list[2].name, "already/");
    EXPECT_EQ(list[1].mtime, local_time(2009, 1, 2, 3, 4));
    EXPECT_EQ(list[1].tm.tm_wday, 5);
}

TEST(DirListSort, OrdersByFieldAndDirectionStably)
{
    const auto make = [] {
        DirList list;
        dir_list_add(list, 0, 0644, "ftp", "ftp", 300, local_tm(2020, 1, 3), "beta");
        dir_list_add(list, 1, 0755, "ftp", "ftp", 4096, local_tm(2020, 1, 1), "Alpha");
        dir_list_add(list, 0, 0644, "ftp", "ftp", 10, local_tm(2020, 1, 5), "gamma");
        dir_list_add(list, 1, 0755, "ftp", "ftp", 512, local_tm(2020, 1, 2), "delta");
        dir_list_add(list, 0, 0644, "ftp", "ftp", 300, local_tm(2020, 1, 4), "Epsilon");
        return list;
    };
    using Names = std::vector<std::string>;
    struct Case {
        int descending, field;
        Names want;
    };
    const Case cases[] = {
        {0, DIR_SORT_NAME, {"Alpha/", "beta", "delta/", "Epsilon", "gamma"}},
        {1, DIR_SORT_NAME, {"gamma", "Epsilon", "delta/", "beta", "Alpha/"}},
        // Directories first whatever their sizes; beta and Epsilon tie and keep their order.
        {0, DIR_SORT_SIZE, {"delta/", "Alpha/", "gamma", "beta", "Epsilon"}},
        {1, DIR_SORT_SIZE, {"beta", "Epsilon", "gamma", "Alpha/", "delta/"}},
        {0, DIR_SORT_TIME, {"Alpha/", "delta/", "beta", "Epsilon", "gamma"}},
        {1, DIR_SORT_TIME, {"gamma", "Epsilon", "beta", "delta/", "Alpha/"}},
        {7, DIR_SORT_TIME, {"gamma", "Epsilon", "beta", "delta/", "Alpha/"}},
        {0, 0, {"beta", "Alpha/", "gamma", "delta/", "Epsilon"}},
        {1, 4, {"beta", "Alpha/", "gamma", "delta/", "Epsilon"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("descending " + std::to_string(c.descending) + " field " + std::to_string(c.field));
        DirList list = make();
        EXPECT_EQ(names_of(dir_list_sort(list, c.descending, c.field)), c.want);
    }
}

TEST(DirListSort, CaseOnlyDifferencesKeepTheirOrder)
{
    for (const int descending : {0, 1}) {
        DirList list;
        const std::tm tm = local_tm(2020, 1, 1);
        dir_list_add(list, 0, 0644, "ftp", "ftp", 1, tm, "README");
        dir_list_add(list, 0, 0644, "ftp", "ftp", 1, tm, "b");
        dir_list_add(list, 0, 0644, "ftp", "ftp", 1, tm, "readme");
        const auto want = descending != 0 ? std::vector<std::string>{"README", "readme", "b"}
                                          : std::vector<std::string>{"b", "README", "readme"};
        EXPECT_EQ(names_of(dir_list_sort(list, descending, DIR_SORT_NAME)), want);
    }
}

TEST(DirListFilter, KeepsCaselessMatchesAndIgnoresABadPattern)
{
    const auto make = [] {
        DirList list;
        const std::tm tm = local_tm(2020, 1, 1);
        for (const char* name : {"Apple", "bee", "ant", "Archive/", "crab/"})
            dir_list_add(list, name[std::string_view(name).size() - 1] == '/', 0644, "ftp", "ftp", 1, tm, name);
        return list;
    };
    using Names = std::vector<std::string>;
    struct Case {
        std::string pattern;
        Names want;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"^a", {"Apple", "ant", "Archive/"}, {}},
        {"/$", {"Archive/", "crab/"}, {}},
        {"^(bee|crab)", {"bee", "crab/"}, {}},
        {"nothing", {}, {}},
        {"(", {"Apple", "bee", "ant", "Archive/", "crab/"}, {"error: failed to compile regular expression: ("}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        forget_log();
        DirList list = make();
        EXPECT_EQ(names_of(dir_list_filter(list, c.pattern)), c.want);
        EXPECT_EQ(logged(), c.logged);
    }
}

TEST(DirListFilter, AClientsPatternGivesUpOnANameThatCostsItMuchBacktracking)
{
    DirList list;
    const std::tm tm = local_tm(2020, 1, 1);
    // On twenty a's the first branch backtracks a million times before the second one matches:
    // given the default limits the name would be kept after tens of milliseconds. Every such
    // name of a listing would cost as much; past its limit a client's pattern matches nothing.
    for (const std::string& name : {std::string(20, 'a') + "!", std::string("ab"), std::string("b")})
        dir_list_add(list, 0, 0644, "ftp", "ftp", 1, tm, name);
    EXPECT_EQ(names_of(dir_list_filter(list, "^(?:(a+)+b|a)")), std::vector<std::string>{"ab"});
}
