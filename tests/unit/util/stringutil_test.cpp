#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "util/configerror.h"
#include "util/stringutil.h"

using Items = std::vector<std::string>;

TEST(SStrncpy, CutsToDestinationAndTerminates)
{
    struct Case { const char* src; std::size_t size; const char* want; };
    const Case cases[] = {
        {"abcdef", 4, "abc"},
        {"ab", 4, "ab"},
        {"abc", 4, "abc"},     // exactly fills the buffer
        {"abcdef", 1, ""},
        {"", 4, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.src) + " size " + std::to_string(c.size));
        char dst[8];
        std::memset(dst, 'Z', sizeof dst);
        EXPECT_EQ(s_strncpy(dst, c.src, c.size), dst);
        EXPECT_STREQ(dst, c.want);
        // Nothing written past the destination's size.
        for (std::size_t i = c.size; i < sizeof dst; ++i)
            EXPECT_EQ(dst[i], 'Z') << "byte " << i;
    }
}

TEST(SStrncat, NeverHoldsMoreThanSizeMinusOne)
{
    struct Case { const char* dst; const char* src; std::size_t size; const char* want; };
    const Case cases[] = {
        {"ab", "xyz", 4, "abx"},
        {"abcdef", "xyz", 4, "abc"},   // already too long: cut, nothing appended
        {"abc", "xyz", 4, "abc"},      // exactly full
        {"ab", "xyz", 1, ""},
        {"", "xyz", 8, "xyz"},
        {"ab", "", 8, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dst) + " + " + c.src + " size " + std::to_string(c.size));
        char dst[16];
        std::memset(dst, 'Z', sizeof dst);
        std::strcpy(dst, c.dst);
        EXPECT_EQ(s_strncat(dst, c.src, c.size), dst);
        EXPECT_STREQ(dst, c.want);
    }
}

TEST(SStrncat, UnterminatedDestinationIsNotReadPastSize)
{
    char dst[4] = {'a', 'b', 'c', 'd'};   // no terminator anywhere
    s_strncat(dst, "x", sizeof dst);
    EXPECT_STREQ(dst, "abc");
}

TEST(SStrnlen, CountsAtMostN)
{
    EXPECT_EQ(s_strnlen("abcdef", 3), 3u);
    EXPECT_EQ(s_strnlen("ab", 10), 2u);
    EXPECT_EQ(s_strnlen("", 10), 0u);
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(s_strnlen(unterminated, 3), 3u);
}

TEST(StringTolower, OnlyAsciiLetters)
{
    std::string s = "AbC-1\xC9z";
    EXPECT_EQ(string_tolower(s), "abc-1\xC9z");
    char buf[] = "HeLLo World";
    EXPECT_STREQ(string_tolower(buf), "hello world");
}

TEST(StringAppend, AppendsToExisting)
{
    std::string s;
    string_append(s, "ab");
    EXPECT_EQ(string_append(s, "cd"), "abcd");
}

TEST(Nocase, OnlyAsciiLettersFoldOverTheWholeLength)
{
    using namespace std::literals;
    struct Case { std::string_view a, b; bool equal; };
    const Case cases[] = {
        {"Content-Length", "content-LENGTH", true},
        {"", "", true},
        {"abc", "abcd", false},
        {"abcd", "abc", false},
        {"@[\\]^", "`{|}~", false},          // one bit apart, but no letters
        {"x\0a"sv, "X\0A"sv, true},
        {"x\0a"sv, "x\0b"sv, false},         // the zero byte does not end the comparison
        {"\xc4"sv, "\xe4"sv, false},          // no folding beyond ASCII
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + std::string(c.b));
        EXPECT_EQ(equal_nocase(c.a, c.b), c.equal);
        EXPECT_EQ(equal_nocase(c.b, c.a), c.equal);
    }

    EXPECT_TRUE(starts_with_nocase("Basic dXNlcg==", "basic"));
    EXPECT_TRUE(starts_with_nocase("NTLM", "ntlm"));
    EXPECT_FALSE(starts_with_nocase("NTL", "NTLM"));
    EXPECT_FALSE(starts_with_nocase("Keep-Alive", "alive"));
    EXPECT_TRUE(contains_nocase("x-GZip, deflate", "gzip"));
    EXPECT_FALSE(contains_nocase("identity", "gzip"));
}

TEST(SStrcasestr, FindsFirstCaselessMatch)
{
    using std::string_view;
    struct Case { string_view haystack, needle; std::size_t want; };
    const Case cases[] = {
        {"Content-Type: TEXT/html", "text/", 14},
        {"gzip, deflate", "GZIP", 0},
        {"x-gzip", "gzip", 2},
        {"aaab", "aab", 1},        // restarts after a partial match
        {"identity", "gzip", string_view::npos},
        {"ab", "abc", string_view::npos},
        {"abc", "", 0},
        {"", "", string_view::npos},
        {"", "a", string_view::npos},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.haystack) + " / " + std::string(c.needle));
        EXPECT_EQ(s_strcasestr(c.haystack, c.needle), c.want);
    }
}

TEST(Isempty, BlanksAndUnprintablesOnly)
{
    using namespace std::literals;
    struct Case { std::string_view s; std::size_t n; int want; };
    const Case cases[] = {
        {"", 5, 1},
        {"abc", 0, 1},
        {"   ", 3, 1},
        {" \t\r\n", 4, 1},
        {"  x", 2, 1},       // x lies beyond n
        {"  x", 3, 0},
        {" \0x"sv, 3, 1},    // the terminator comes first
        {"\x01\x7f", 2, 1},
        {"-", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.s)) + " n " + std::to_string(c.n));
        EXPECT_EQ(isempty(c.s, c.n), c.want);
    }
}

TEST(StringBreak, MergesRunsAndNeverReturnsNothing)
{
    struct Case { std::string_view s; char sep; Items want; };
    const Case cases[] = {
        {"a,b", ',', {"a", "b"}},
        {",a,,b,", ',', {"a", "b"}},
        {"a", ',', {"a"}},
        {"", ',', {""}},
        {",,,", ',', {""}},
        {"GET /x HTTP/1.1", ' ', {"GET", "/x", "HTTP/1.1"}},
        {"a\tb", '\t', {"a", "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.s));
        const Items got = string_break(c.s, c.sep);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(array_length(got), c.want.size());
    }
}

TEST(ArrayMerge, JoinsWithoutOuterSeparators)
{
    EXPECT_EQ(array_merge({"a", "b", "c"}, ":"), "a:b:c");
    EXPECT_EQ(array_merge({"a"}, ":"), "a");
    EXPECT_EQ(array_merge({}, ":"), "");
    EXPECT_EQ(array_merge({"", ""}, ", "), ", ");
}

TEST(ArrayMerge, CutsEachItemAtTheFormattedAppendLimit)
{
    const std::string longest(8191, 'x');
    EXPECT_EQ(array_merge({std::string(10000, 'x'), "y"}, ":"), longest + ":y");
}

TEST(ArrayHelpers, FindAddDelete)
{
    Items a;
    array_add(array_add(array_add(a, "x"), "y"), "x");
    EXPECT_EQ(a, (Items{"x", "y", "x"}));
    EXPECT_EQ(array_find(a, "y"), 1);
    EXPECT_EQ(array_find(a, "Y"), 0);
    EXPECT_EQ(array_delete(a, "x"), (Items{"y"}));
    EXPECT_EQ(array_delete(a, "absent"), (Items{"y"}));
}

TEST(SignedToUnsignedChar, CopiesEveryByte)
{
    const auto got = signed_to_unsigned_char("a\xff");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], 'a');
    EXPECT_EQ(got[1], 0xff);
}

TEST(StringListParse, EverySeparatorCounts)
{
    struct Case { std::string_view text; std::string_view sep; Items want; };
    const Case cases[] = {
        {"a,,b", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {"a,", ",", {"a"}},
        {"", ",", {}},
        {",", ",", {""}},
        {"a, b", ", ", {"a", "b"}},
        {"a,b", "", {"a,b"}},     // no separator: the whole text is one item
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at " + std::string(c.sep));
        const StringList list(c.text, c.sep);
        EXPECT_EQ(Items(list.begin(), list.end()), c.want);
    }
}

TEST(StringListParse, AppendsToExistingItems)
{
    StringList list("a,b", ",");
    list.parse("b,c", ",");
    EXPECT_EQ(Items(list.begin(), list.end()), (Items{"a", "b", "b", "c"}));
}

TEST(StringList, HasIsExactAndCaseSensitive)
{
    const StringList list("Staff,guests,", ",");
    EXPECT_EQ(list.has("Staff"), 1);
    EXPECT_EQ(list.has("staff"), 0);
    EXPECT_EQ(list.has("guest"), 0);
    EXPECT_EQ(list.has(""), 0);
}

TEST(StringList, ItemHelpers)
{
    const StringList list("a,b", ",");
    std::string text;
    for (const std::string& item : list)
        StringList::display(item, text);
    EXPECT_EQ(text, "a,b,");

    std::string copy = "old";
    StringList::get_strlist("new", copy);
    EXPECT_EQ(copy, "new");

    EXPECT_EQ(StringList::show_p("Added", "a"), 1);
}

TEST(Couple, ExactlyTwoItems)
{
    const Couple couple("x,y");
    EXPECT_EQ(couple.first(), "x");
    EXPECT_EQ(couple.second(), "y");

    const Couple empty_first(",y");
    EXPECT_EQ(empty_first.first(), "");
    EXPECT_EQ(empty_first.second(), "y");

    for (const char* text : {"x", "x,y,z", "", ",", "x,"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(Couple{text}, ConfigError);
    }
}

TEST(StringSelectVector, CaselessIndexAndReset)
{
    StringSelectVector choices;
    choices.emplace_back("name", "Name", "", true);
    choices.emplace_back("size", "Size", "", false);
    choices.emplace_back("SIZE", "Size again", "", true);

    EXPECT_EQ(choices.case_indexof("NAME"), 0);
    EXPECT_EQ(choices.case_indexof("size"), 1);   // the first match wins
    EXPECT_THROW(choices.case_indexof("time"), ConfigError);
    EXPECT_THROW(choices.case_indexof("nam"), ConfigError);

    choices.reset();
    for (const StringSelect& choice : choices)
        EXPECT_FALSE(choice.selected) << choice.value;
}

TEST(AtoiLenient, ReadsAsAtoiAndSaturates)
{
    struct Case {
        std::string_view text;
        int value;
    };
    const Case cases[] = {
        {"42", 42},
        {"  \t-17abc", -17},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"99999999999999999999", 2147483647},
        {"-99999999999999999999", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(atoi_lenient(c.text), c.value);
    }
}
