#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/filebuf.h"
#include "core/global.h"
#include "util/regex.h"

using namespace std::literals;

namespace {

std::string newest_log_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

std::string replaced(std::string_view text, const char* pattern, const char* templ,
                     VariableMap* variables, int* count)
{
    const UniqueRegexSub sub(reg_sub_compile(pattern, REG_SUB_RULE));
    EXPECT_NE(sub, nullptr) << pattern;
    if (sub == nullptr)
        return {};
    Filebuf buffer;
    buffer.Add(text);
    buffer.set_type("text/html");
    *count = reg_replace(buffer, sub.get(), templ, variables);
    EXPECT_EQ(buffer.type(), "text/html");
    return std::string(buffer.view());
}

TEST(RegexMatch, CaselessAndWholeView)
{
    struct Case { const char* pattern; std::string_view text; bool matched; };
    const Case cases[] = {
        {"ABC",        "xabcx",            true},
        {"ABC",        "xabx",             false},
        {"^text/.*",   "TEXT/HTML",        true},
        {"secret",     "a\0secret"sv,      true},    // a zero byte hides nothing from the view form
        {"^GET .*\r\nHost: a\\.b", "GET / HTTP/1.0\r\nHost: a.b\r\n\r\n", true},
        {"b$",         "ab\0"sv,           false},   // the view ends after the zero byte
        {"^$",         "",                 true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const UniqueRegex regex(reg_compile(c.pattern, REG_CASELESS));
        ASSERT_NE(regex, nullptr);
        EXPECT_EQ(reg_exec(regex.get(), c.text) == 0, c.matched);
    }
    const UniqueRegex secret(reg_compile("secret", REG_CASELESS));
    EXPECT_NE(reg_exec(secret.get(), "a\0secret"), 0);   // the terminated form stops at the zero
}

TEST(RegexMatch, OnePatternManyThreadsOnLongSubjects)
{
    // A long subject that the pattern takes apart group by group makes the matcher grow its
    // working memory while it runs: threads matching one compiled pattern at once must each
    // have their own.
    const UniqueRegex regex(reg_compile("^(ab|cd|e)+$", REG_CASELESS));
    ASSERT_NE(regex, nullptr);
    std::string text;
    for (int i = 0; i < 6000; ++i)
        text += i % 3 == 0 ? "AB" : i % 3 == 1 ? "cd" : "e";
    const std::string broken = text + "x";
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 20;
    std::vector<int> right(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                const std::string_view subject = std::string_view(i % 2 == 0 ? text : broken).substr(t * 5);   // whole groups off
                const bool expected = i % 2 == 0;
                if ((reg_exec(regex.get(), subject) == 0) == expected &&
                    (reg_exec(regex.get(), std::string(subject).c_str()) == 0) == expected)
                    ++right[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(right, std::vector<int>(THREADS, ROUNDS));
}

// A rule's pattern is a value: the rule that holds it copies with it, and every copy matches as
// the original, each from a thread of its own, without compiling again.
TEST(RulePatternValue, CopiesShareTheCompiledFormAndMatchAlike)
{
    struct Case {
        std::string_view text;
        bool compiled;
        std::string_view subject;
        bool matches;
    };
    const Case cases[] = {
        {"", false, "anything", true},            // no pattern: the test is left out
        {"^www\\.", true, "WWW.example.org", true},  // any letter case
        {"^www\\.", true, "ftp.example.org", false},
        {"a(", false, "a(", true},                // does not compile: left out, as empty is
        {"b\\0c", true, "ab\0cd"sv, true},          // every byte of the subject is seen
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        const RulePattern original{std::string(c.text)};
        const RulePattern copy = original;
        EXPECT_EQ(copy.text(), c.text);
        EXPECT_EQ(copy.compiled(), c.compiled);
        EXPECT_EQ(copy.regex(), original.regex());
        std::vector<int> right(4, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t, mine = copy] {
                for (int i = 0; i < 50; ++i)
                    right[t] += mine.matches(c.subject) == c.matches ? 1 : 0;
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(right, std::vector<int>(4, 50));
    }

    const RuleSubPattern sub("(b+)", REG_SUB_RULE);
    const RuleSubPattern sub_copy = sub;
    ASSERT_TRUE(sub_copy.compiled());
    EXPECT_EQ(sub_copy.regex(), sub.regex());
    const std::unique_ptr<regmatch_sub_t> match = reg_sub_exec(sub_copy.regex(), "aBBc");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->substrings.at(1), "BB");
    EXPECT_FALSE(RuleSubPattern("", REG_SUB_RULE).compiled());
}

TEST(RegexMatch, AnUntrustedPatternGivesUpFastAsNoMatch)
{
    // Each name would take the default limits' worth of backtracking (a tenth of a second and
    // more); a client's pattern must cost about a millisecond a name at most.
    const UniqueRegex catastrophic(reg_compile("^(a+)+$", REG_CASELESS | REG_UNTRUSTED));
    ASSERT_NE(catastrophic, nullptr);
    const std::string name = std::string(30, 'a') + "!";
    // The time this thread ran, not the time that passed: other work on the machine delays the
    // matches without making them cost more.
    const auto cpu_now = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    const auto began = cpu_now();
    for (int i = 0; i < 100; ++i)
        EXPECT_NE(reg_exec(catastrophic.get(), name), 0);
    const auto spent = cpu_now() - began;
    // A bound under the sanitizers, two orders of magnitude below the cost without limits.
    EXPECT_LT(spent, std::chrono::seconds(3));

    // Patterns that do their work in reasonable steps are not hurt by the limits; one that would
    // match only after a million steps of backtracking gives up first, as no match.
    struct Case { const char* pattern; std::string text; bool matched; };
    const Case cases[] = {
        {"^(?:(a+)+b|a)",      std::string(20, 'a') + "!",       false},
        {"^(?:(a+)+b|a)",      std::string(20, 'a') + "b",       true},
        {"^(a+)+$",            std::string(30, 'a'),              true},
        {"^A.*\\.TXT$",        "a" + std::string(250, 'x') + ".txt", true},
        {"^(ab|c)*d",          std::string(200, 'c') + "d",      true},
        {"x",                  std::string(255, 'y'),             false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const UniqueRegex regex(reg_compile(c.pattern, REG_CASELESS | REG_UNTRUSTED));
        ASSERT_NE(regex, nullptr);
        EXPECT_EQ(reg_exec(regex.get(), c.text) == 0, c.matched);
        EXPECT_EQ(reg_exec(regex.get(), c.text.c_str()) == 0, c.matched);
    }
}

TEST(RegexMatch, BadPatternsAreLoggedAndGiveNull)
{
    EXPECT_EQ(reg_compile("(", REG_CASELESS), nullptr);
    EXPECT_NE(newest_log_line().find("error: failed to compile regular expression: ("), std::string::npos);
    EXPECT_EQ(reg_sub_compile("a[", REG_SUB_RULE), nullptr);
    EXPECT_NE(newest_log_line().find("error: failed to compile regular expression: a["), std::string::npos);
}

TEST(RegSub, ExecGivesOffsetsAndSubstrings)
{
    const UniqueRegexSub sub(reg_sub_compile("(a+)(x)?(b)", REG_SUB_CASELESS));
    ASSERT_NE(sub, nullptr);
    const auto match = reg_sub_exec(sub.get(), "cAAb!");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->start, 1);
    EXPECT_EQ(match->end, 4);
    EXPECT_EQ(match->count, 4);
    EXPECT_EQ(match->substrings, (std::vector<std::string>{"AAb", "AA", "", "b"}));   // group 2 took no part
    EXPECT_EQ(reg_sub_exec(sub.get(), "xyz"), nullptr);
}

TEST(RegSub, ExecRefusesMoreSubstringsThanItHasRoomFor)
{
    std::string fifteen, sixteen;
    for (int i = 0; i < 15; ++i)
        fifteen += "(.)";
    sixteen = fifteen + "(.)";
    const UniqueRegexSub fits(reg_sub_compile(fifteen.c_str(), 0));
    const UniqueRegexSub over(reg_sub_compile(sixteen.c_str(), 0));
    const std::string text(20, 'z');
    ASSERT_NE(reg_sub_exec(fits.get(), text), nullptr);
    EXPECT_EQ(reg_sub_exec(fits.get(), text)->count, 16);
    EXPECT_EQ(reg_sub_exec(over.get(), text), nullptr);
}

TEST(RegSub, RuleOptions)
{
    struct Case { const char* pattern; int options; std::string_view text; bool matched; };
    const Case cases[] = {
        {"abc",        0,                  "ABC",        false},
        {"abc",        REG_SUB_CASELESS,   "ABC",        true},
        {"^b",         0,                  "a\nb",       false},
        {"^b",         REG_SUB_MULTILINE,  "a\nb",       true},
        {"a.b",        0,                  "a\nb",       false},
        {"a.b",        REG_SUB_DOTALL,     "a\nb",       true},
        {"a b # note", REG_SUB_EXTENDED,   "ab",         true},
        {"a.*b",       REG_SUB_UNGREEDY,   "ab",         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const UniqueRegexSub sub(reg_sub_compile(c.pattern, c.options));
        ASSERT_NE(sub, nullptr);
        EXPECT_EQ(reg_sub_exec(sub.get(), c.text) != nullptr, c.matched);
    }
    const UniqueRegexSub lazy(reg_sub_compile("a.*b", REG_SUB_UNGREEDY));
    EXPECT_EQ(reg_sub_exec(lazy.get(), "abab")->substrings[0], "ab");

    EXPECT_EQ(pcre_options("iMsXu"), REG_SUB_RULE | REG_SUB_UNGREEDY);
    EXPECT_EQ(pcre_options("qz"), 0);
}

TEST(RegSub, ParseTemplates)
{
    regmatch_sub_t match;
    match.substrings = {"whole", "p", "q"};
    match.count = 3;
    struct Case { std::string_view templ; std::string_view expected; };
    const Case cases[] = {
        {"x$2$1$$y",        "xqp$y"},
        {"$0",              "whole"},
        {"[$3]",            "[]"},            // no such substring
        {"a$",              "a$"},            // a final '$'
        {"a$!b",            "ab"},            // '$' before a character below '0'
        {"a$\xe9z",         "az"},            // '$' before a byte above 0x7f
        {"\\tX\\",          "\tX"},           // a final backslash ends the replacement
        {"\\\\\\a\\e\\f\\n\\r\\q", "\\\a\x1b\f\n\rq"},
        {"@HOST@/$1",       "h/p"},
        {"@@",              "@"},
    };
    VariableMap variables{{"HOST", "h"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.templ)));
        EXPECT_EQ(reg_sub_parse(match, c.templ, &variables), c.expected);
    }
    // Numbering goes on past '9'.
    match.substrings.resize(11);
    match.substrings[10] = "ten";
    match.count = 11;
    EXPECT_EQ(reg_sub_parse(match, "$:", nullptr), "ten");
    // A placeholder is expanded before the captures are read.
    VariableMap dollar{{"REF", "$1"}, {"HOST", "h"}};
    match.substrings[1] = "p";
    EXPECT_EQ(reg_sub_parse(match, "@REF@", &dollar), "p");
    EXPECT_EQ(reg_sub_parse(match, "@MISSING@x", &dollar), "x");
    EXPECT_EQ(dollar.count("MISSING"), 1u);
}

TEST(RegReplace, ReplacesEveryMatch)
{
    struct Case {
        std::string_view text;
        const char* pattern;
        const char* templ;
        std::string_view expected;
        int count;
    };
    const Case cases[] = {
        {"caab!",        "(a+)(b)",  "x$2$1$$y",  "cxbaa$y!",      1},
        {"cab cab",      "(a)(b)",   "$3",        "c c",           2},   // no such group: removed
        {"a1b22c333",    "[0-9]+",   nullptr,     "abc",           3},   // no template: removed
        {"aab",          "^a",       "X",         "XXb",           2},   // each search is a subject of its own
        {"nothing",      "zz",       "X",         "nothing",       0},
        {"a\0b\0a"sv,    "a",        "<$0>",      "<a>\0b\0<a>"sv, 2},   // bytes after a zero are kept
        {"x\0"sv,        "\\x00",    "0",         "x0",            1},
        // Empty matches move on by one byte, so these end.
        {"ab",           "x*",       "-",         "-a-b-",         3},
        {"abc",          "$",        "!",         "abc!",          1},
        {"",             "x*",       "-",         "-",             1},
        {"aa",           "a*",       "-",         "--",            2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)) + " " + c.pattern);
        int count = -1;
        EXPECT_EQ(replaced(c.text, c.pattern, c.templ, nullptr, &count), c.expected);
        EXPECT_EQ(count, c.count);
    }
}

TEST(RegReplace, ExpandsVariablesInTheTemplate)
{
    VariableMap variables{{"HOST", "h"}};
    int count = 0;
    EXPECT_EQ(replaced("http://old/p1 http://old/p2", "http://old/(p\\d)", "http://@HOST@/$1", &variables, &count),
              "http://h/p1 http://h/p2");
    EXPECT_EQ(count, 2);
}

TEST(RegReplace, OnePatternManyThreads)
{
    const UniqueRegexSub sub(reg_sub_compile("(\\w+)@(\\w+)", REG_SUB_RULE));
    ASSERT_NE(sub, nullptr);
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Filebuf buffer;
                buffer.Add("mail u" + std::to_string(t) + "@host" + std::to_string(i) + " now");
                std::string expected = "mail host" + std::to_string(i) + "!u" + std::to_string(t) + " now";
                if (reg_replace(buffer, sub.get(), "$2!$1", nullptr) == 1 && buffer.view() == expected)
                    ++good[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(good, std::vector<int>(4, 200));
}

TEST(StringReplace, EveryOccurrence)
{
    struct Case { std::string_view text; std::string_view from; const char* to; std::string_view expected; };
    const Case cases[] = {
        {"aXbXc",   "X",   "--",    "a--b--c"},
        {"aXXb",    "X",   "XX",    "aXXXXb"},   // searching on after each replacement
        {"abcabc",  "bc",  nullptr, "aa"},
        {"abc",     "",    "z",     "abc"},
        {"abc",     "q",   "z",     "abc"},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        buffer.Add(c.text);
        EXPECT_EQ(string_replace(buffer, c.from, c.to), 0);
        EXPECT_EQ(buffer.view(), c.expected);
    }
}

} // namespace
