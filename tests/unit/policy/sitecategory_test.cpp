#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/threads.h"
#include "core/connection.h"
#include "http/header.h"
#include "policy/sitecategory.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/base64.h"

namespace {

using namespace std::literals;

// ---- DNS answers written by hand ----

std::string u16(unsigned v)
{
    return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}

// A name as labels; "" is the root.
std::string labels(std::string_view dotted)
{
    std::string out;
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view label = dotted.substr(0, dot);
        out += static_cast<char>(label.size());
        out += label;
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    return out + '\0';
}

// A header with those counts and one question for "site.test" (its name at offset 12).
std::string head(unsigned questions = 1, unsigned answers = 0)
{
    std::string out = u16(0x1234) + u16(0x8180) + u16(questions) + u16(answers) + u16(0) + u16(0);
    return out + labels("site.test") + u16(15) + u16(1);
}

std::string record(const std::string& owner, unsigned type, const std::string& data)
{
    return owner + u16(type) + u16(1) + "\0\0\x0e\x10"s + u16(static_cast<unsigned>(data.size())) + data;
}

std::string mx(unsigned preference, const std::string& exchange)
{
    return record("\xc0\x0c", 15, u16(preference) + exchange);
}

std::vector<MxRecord> parse(const std::string& bytes, std::size_t length = std::string::npos)
{
    // A copy of exactly the bytes given, so that a read past them is the sanitizer's to see.
    const std::size_t n = std::min(length, bytes.size());
    std::vector<unsigned char> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return sitegrade_parse_mx(copy.data(), copy.size());
}

TEST(SiteGradeParseMx, ReadsEveryMxRecordWithinTheBytes)
{
    const std::string a_record = record("\xc0\x0c", 1, "\x7f\0\0\x01"s);
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t length;
        std::vector<MxRecord> want;
    };
    const std::string two = head(1, 2) + mx(30, labels("adult")) + mx(70, labels("news"));
    const Case cases[] = {
        {"two records in answer order", two, std::string::npos, {{"adult", 30}, {"news", 70}}},
        {"the received length ends the walk", two, two.size() - 1, {{"adult", 30}}},
        {"preference read unsigned", head(1, 1) + mx(65535, labels("x")), std::string::npos, {{"x", 65535}}},
        {"exchange compressed onto the question", head(1, 1) + mx(5, "\x03www\xc0\x0c"), std::string::npos,
         {{"www.site.test", 5}}},
        {"other types stepped over", head(1, 3) + mx(1, labels("a")) + a_record + mx(2, labels("b")),
         std::string::npos, {{"a", 1}, {"b", 2}}},
        {"records beyond the counts still read", head(1, 0) + mx(9, labels("extra")), std::string::npos,
         {{"extra", 9}}},
        {"data length past the end", head(1, 2) + mx(1, labels("a")) + "\xc0\x0c"s + u16(15) + u16(1) +
                                         "\0\0\0\0"s + u16(200) + u16(3),
         std::string::npos, {{"a", 1}}},
        {"exchange running past its data", head(1, 1) + "\xc0\x0c"s + u16(15) + u16(1) + "\0\0\0\0"s + u16(3) +
                                               u16(7) + labels("longer"),
         std::string::npos, {}},
        {"MX data too short for a name", head(1, 1) + record("\xc0\x0c", 15, u16(1)), std::string::npos, {}},
        {"owner pointer looping onto itself", head(1, 1) + record("\xc0\x1b", 15, u16(1) + labels("a")),
         std::string::npos, {}},
        {"pointer past the end", head(1, 1) + mx(1, "\xc3\xff"), std::string::npos, {}},
        {"more questions than bytes", head(5, 1) + mx(1, labels("a")), std::string::npos, {}},
        {"question without its type and class", head(1).substr(0, 12 + 11 + 2), std::string::npos, {}},
        {"shorter than a header", head().substr(0, 11), std::string::npos, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse(c.bytes, c.length), c.want);
    }
}

TEST(SiteGradeParseMx, KeepsNamesBelowTheSize)
{
    const std::vector<MxRecord> records = {{"abc", 1}, {"de", 2}, {"f", 3}};
    // "abc," is 4, "abc,de," 7, "abc,de,f," 9 characters: each must stay below the size.
    const std::map<std::size_t, std::size_t> kept = {{0, 0}, {4, 0}, {5, 1}, {7, 1}, {8, 2}, {9, 2}, {10, 3}};
    for (const auto& [size, count] : kept) {
        SCOPED_TRACE(size);
        const std::vector<MxRecord> got = sitegrade_cap_names(records, size);
        EXPECT_EQ(got, std::vector<MxRecord>(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count)));
    }
}

TEST(SiteGradeRange, SplitsAtTheLastDash)
{
    struct Case {
        std::string_view text;
        int min, max;
    };
    const Case cases[] = {
        {"20-40", 20, 40},
        {"30", 30, 30},
        {"-5", 0, 5},
        {"10-", 10, 0},
        {"5-10-20", 5, 20},                  // only the last dash splits
        {"a-b", 0, 0},
        {"0000000000000009-12", 0, 12},      // the lower bound is read from 15 characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        const ScoreRange range = sitegrade_range(c.text);
        EXPECT_EQ(range.min, c.min);
        EXPECT_EQ(range.max, c.max);
    }
}

// ---- The section, with the service played by the test ----

const XmlFields RULE = {{"enabled", "true"}, {"comment", ""}, {"log", "true"}, {"profiles", ""}, {"categories", ""},
                        {"range", ""},       {"add", ""},     {"remove", ""}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("rule", RULE, set); }

// What the service answers, by query name; every question asked, in order.
std::map<std::string, std::vector<MxRecord>> answers;
std::vector<std::string> asked;
// Run while the service "waits": must not find any section lock of the scoring held.
void (*while_waiting)() = nullptr;

std::vector<MxRecord> service(const std::string& query, std::size_t size)
{
    asked.push_back(query);
    if (while_waiting != nullptr)
        while_waiting();
    const auto found = answers.find(query);
    return found == answers.end() ? std::vector<MxRecord>{} : sitegrade_cap_names(found->second, size);
}

class SiteGradeTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        sections_create({"sitegrade"});
        sitegrade_set_lookup(service);
        answers.clear();
        asked.clear();
        while_waiting = nullptr;
        road::log_clear();
    }
    void TearDown() override
    {
        load(*sitegrade_section, "", "", false);
        sitegrade_section->limits_set(SITEGRADE_LEARNED_MAX, SITEGRADE_FAILURE_MEMORY);
        sitegrade_set_lookup(nullptr);
        sitegrade_set_interface_test(nullptr);
    }

    static void load(Section& section, const std::string& rules, const std::string& hints = "", bool enabled = true)
    {
        section_load(section, std::string("<siteGrade><enabled>") + (enabled ? "true" : "false") + "</enabled><hintsdir>" +
                                  hints + "</hintsdir>" + rules + "</siteGrade>");
    }

    // Both passes for a request to the host, starting with the profiles given.
    static std::vector<std::string> run(const std::string& host, std::vector<std::string> profiles = {},
                                        int passes = 2)
    {
        road::Wired wired(false);
        wired->request = http_header_parse_request("GET http://" + host + "/ HTTP/1.1\r\n\r\n");
        EXPECT_NE(wired->request, nullptr);
        for (const std::string& name : profiles)
            wired->profiles.push_back(name);
        EXPECT_EQ(sitegrade_first(wired.get(), nullptr), 0);
        if (passes > 1) {
            EXPECT_EQ(sitegrade_second(wired.get(), nullptr), 0);
        }
        return {wired->profiles.begin(), wired->profiles.end()};
    }

    static std::string zone(const std::string& host) { return host + "." + SITEGRADE_ZONE; }
};

TEST_F(SiteGradeTest, AnAnswerInRangeFiresAndEveryAnswerIsCachedCaseless)
{
    answers[zone("a1.test")] = {{"News", 70}, {"ADULT", 30}, {"sports", 5}};
    load(*sitegrade_section, rule({{"categories", "adult"}, {"range", "20-40"}, {"add", "graded,kids"},
                                   {"remove", "kids"}}));
    EXPECT_EQ(run("a1.test", {"kids", "x", "kids"}), (std::vector<std::string>{"x", "graded"}));
    EXPECT_EQ(asked, std::vector<std::string>{zone("a1.test")});
    // Every answer is kept, whatever rule asked, and found again in any case.
    EXPECT_EQ(sitegrade_section->check_sg_cache("a1.test.news." + std::string(SITEGRADE_ZONE)), 70);
    EXPECT_EQ(sitegrade_section->check_sg_cache("A1.TEST.Sports." + std::string(SITEGRADE_ZONE)), 5);
    EXPECT_TRUE(road::was_logged("profiles: ", "siteGrade: Added:  Profile: graded"));
    EXPECT_TRUE(road::was_logged("profiles: ", "siteGrade: Removed:  Profile: kids"));

    // The second request is answered from the cache.
    asked.clear();
    EXPECT_EQ(run("a1.test"), (std::vector<std::string>{"graded"}));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(road::was_logged(
        "profiles: ", "sitegrade: cache hit! site: a1.test scored: 30 in category: adult, matches required range"));
}

TEST_F(SiteGradeTest, ScoresAtTheBoundsOfTheRange)
{
    struct Case {
        const char* host;
        int score;
        const char* range;
        bool fires;
    };
    const Case cases[] = {
        {"b1.test", 40, "20-40", true},  {"b2.test", 41, "20-40", false}, {"b3.test", 20, "20-40", true},
        {"b4.test", 19, "20-40", false}, {"b5.test", 7, "7", true},       {"b6.test", 8, "7", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        answers[zone(c.host)] = {{"cat", c.score}};
        load(*sitegrade_section, rule({{"categories", "cat"}, {"range", c.range}, {"add", "hit"}}));
        // From the answer, then from the cache.
        for (int round = 0; round < 2; ++round)
            EXPECT_EQ(run(c.host, {}, 1), c.fires ? std::vector<std::string>{"hit"} : std::vector<std::string>{});
        EXPECT_EQ(std::count(asked.begin(), asked.end(), zone(c.host)), 1);
    }
}

TEST_F(SiteGradeTest, TheFirstPassTakesOnlyRulesWithoutProfiles)
{
    answers[zone("c1.test")] = {{"cat", 10}};
    load(*sitegrade_section, rule({{"profiles", "first"}, {"categories", "cat"}, {"range", "10"}, {"add", "second"}}) +
                                 rule({{"categories", "cat"}, {"range", "10"}, {"add", "first"}}));
    // Pass 0 adds "first" only; pass 1 then takes the first rule too, since "first" is carried.
    EXPECT_EQ(run("c1.test", {}, 1), std::vector<std::string>{"first"});
    EXPECT_EQ(run("c1.test"), (std::vector<std::string>{"first", "second"}));
    // A negated condition is a profile condition like any other: second pass only.
    load(*sitegrade_section, rule({{"profiles", "!nobody"}, {"categories", "cat"}, {"range", "10"}, {"add", "neg"}}));
    EXPECT_EQ(run("c1.test", {}, 1), std::vector<std::string>{});
    EXPECT_EQ(run("c1.test"), std::vector<std::string>{"neg"});
}

TEST_F(SiteGradeTest, ACachedCategoryInRangeSparesTheLookupOfAnUncachedOne)
{
    ASSERT_EQ(sitegrade_section->update_sg_cache("d1.test.known." + std::string(SITEGRADE_ZONE), 50), 1);
    EXPECT_EQ(sitegrade_section->update_sg_cache("D1.test.KNOWN." + std::string(SITEGRADE_ZONE), 1), 0);
    load(*sitegrade_section, rule({{"categories", "unknown,known"}, {"range", "40-60"}, {"add", "hit"}}));
    EXPECT_EQ(run("d1.test"), std::vector<std::string>{"hit"});
    EXPECT_TRUE(asked.empty());
}

TEST_F(SiteGradeTest, WhatIsNeverScored)
{
    answers[zone("e1.test")] = {{"cat", 1}};
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}));
    sitegrade_set_interface_test([](CONNECTION_T* connection) { return *connection->request->host == "e1.test"; });
    EXPECT_EQ(run("e1.test"), std::vector<std::string>{});
    sitegrade_set_interface_test(nullptr);

    road::Wired origin_form(false);
    origin_form->request = http_header_parse_request("GET / HTTP/1.0\r\n\r\n");
    ASSERT_NE(origin_form->request, nullptr);
    ASSERT_FALSE(origin_form->request->host);
    sitegrade_first(origin_form.get(), nullptr);
    sitegrade_second(origin_form.get(), nullptr);
    EXPECT_TRUE(asked.empty());

    // A disabled section or rule, and a rule without categories or range, do nothing.
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}), "", false);
    load(*sitegrade_section, rule({{"enabled", "false"}, {"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}) +
                                 rule({{"categories", ""}, {"range", "0-9"}, {"add", "hit"}}) +
                                 rule({{"categories", "cat"}, {"range", ""}, {"add", "hit"}}));
    EXPECT_EQ(run("e1.test"), std::vector<std::string>{});
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(road::was_logged("error: ", "sitegrade: malformed entry: category or score range not specified."));

    // The host's final dot is not part of what is asked.
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}));
    EXPECT_EQ(run("e1.test."), std::vector<std::string>{"hit"});
    EXPECT_EQ(asked, std::vector<std::string>{zone("e1.test")});
}

TEST_F(SiteGradeTest, AnUnansweredCategoryIsAskedAgainAndAFailureLogged)
{
    answers[zone("f1.test")] = {{"other", 3}};
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}));
    EXPECT_EQ(run("f1.test"), std::vector<std::string>{});
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(sitegrade_section->check_sg_cache("f1.test.other." + std::string(SITEGRADE_ZONE)), 3);

    EXPECT_EQ(run("f2.test", {}, 1), std::vector<std::string>{});
    EXPECT_TRUE(road::was_logged("error: ", "siteGrade: failed to lookup site: f2.test"));
}

// A name without an answer is not asked again while the failure is remembered, by any rule or
// pass of any request; once it is forgotten the name is asked again.
TEST_F(SiteGradeTest, AFailedLookupIsRememberedForAShortTime)
{
    sitegrade_section->limits_set(SITEGRADE_LEARNED_MAX, std::chrono::milliseconds(300));
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-4"}, {"add", "hit"}}) +
                                 rule({{"categories", "cat"}, {"range", "5-9"}, {"add", "high"}}));
    EXPECT_EQ(run("n1.test"), std::vector<std::string>{});
    EXPECT_EQ(run("n1.test"), std::vector<std::string>{});
    EXPECT_EQ(asked, std::vector<std::string>{zone("n1.test")}) << "two rules, two passes, two requests: one question";
    EXPECT_EQ(road::logged("error: ").size(), 1u);

    // Another name is asked for all the same.
    EXPECT_EQ(run("n2.test", {}, 1), std::vector<std::string>{});
    EXPECT_EQ(asked.size(), 2u);

    // Forgotten after its time: asked again, and an answer that came meanwhile is used.
    answers[zone("n1.test")] = {{"cat", 4}};
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::string> profiles;
    while (profiles.empty() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        profiles = run("n1.test", {}, 1);
    }
    EXPECT_EQ(profiles, std::vector<std::string>{"hit"});
    EXPECT_EQ(std::count(asked.begin(), asked.end(), zone("n1.test")), 2) << testing::PrintToString(asked);
}

// Learned scores are bounded: beyond the limit the oldest go (and are asked for again when
// needed), while the table never holds more than the limit.
TEST_F(SiteGradeTest, LearnedScoresAreBoundedOldestFirst)
{
    sitegrade_section->limits_set(3, SITEGRADE_FAILURE_MEMORY);
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "0-9"}, {"add", "hit"}}));
    for (int i = 1; i <= 5; ++i) {
        const std::string host = "o" + std::to_string(i) + ".test";
        answers[zone(host)] = {{"cat", i}};
        EXPECT_EQ(run(host, {}, 1), std::vector<std::string>{"hit"});
    }
    const auto key = [](int i) { return "o" + std::to_string(i) + ".test.cat." + std::string(SITEGRADE_ZONE); };
    EXPECT_EQ(sitegrade_section->check_sg_cache(key(1)), -1);
    EXPECT_EQ(sitegrade_section->check_sg_cache(key(2)), -1);
    for (int i = 3; i <= 5; ++i)
        EXPECT_EQ(sitegrade_section->check_sg_cache(key(i)), i);
    asked.clear();
    EXPECT_EQ(run("o1.test", {}, 1), std::vector<std::string>{"hit"});
    EXPECT_EQ(asked, std::vector<std::string>{zone("o1.test")});
    EXPECT_EQ(sitegrade_section->check_sg_cache(key(3)), -1);
}

// Connection threads, each with its slot, scoring names of their own.
struct Scorers {
    std::mutex mutex;
    std::condition_variable cv;
    int started = 0;
    int finished = 0;
    std::atomic<int> wrong{0};
};

constexpr int SCORER_THREADS = 8;
constexpr int NAMES_PER_SCORER = 200;

void* score_names(void* data)
{
    std::unique_ptr<std::shared_ptr<Scorers>> holder(static_cast<std::shared_ptr<Scorers>*>(data));
    const std::shared_ptr<Scorers> scorers = *holder;
    int t = 0;
    {
        std::lock_guard lock(scorers->mutex);
        t = scorers->started++;
    }
    for (int i = 0; i < NAMES_PER_SCORER; ++i) {
        const bool answered = i % 2 == 0;
        const std::string host = (answered ? "c" : "x") + std::to_string(t) + "-" + std::to_string(i) + ".test";
        CONNECTION_T connection;
        connection.request = http_header_parse_request("GET http://" + host + "/ HTTP/1.1\r\n\r\n");
        sitegrade_first(&connection, nullptr);
        sitegrade_second(&connection, nullptr);
        if (connection.profiles.has("hit") != answered)
            ++scorers->wrong;
    }
    {
        std::lock_guard lock(threadlistlock);
        threads[thread_find()].state = THREAD_FREE;
    }
    std::lock_guard lock(scorers->mutex);
    ++scorers->finished;
    scorers->cv.notify_all();
    return nullptr;
}

// Many threads scoring new names at once, half of them without an answer: the table and the
// memory of failures stay within the limit, and every answered name still fires.
TEST_F(SiteGradeTest, ManyThreadsScoringNewNamesStayWithinTheLimit)
{
    sitegrade_section->limits_set(50, std::chrono::seconds(60));
    // Thread-safe: answers only names beginning with "c", from the name alone.
    sitegrade_set_lookup([](const std::string& query, std::size_t) {
        return query.rfind("c", 0) == 0 ? std::vector<MxRecord>{{"cat", 1}} : std::vector<MxRecord>{};
    });
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "1"}, {"add", "hit"}, {"log", "false"}}));
    auto scorers = std::make_shared<Scorers>();
    for (int t = 0; t < SCORER_THREADS; ++t)
        ASSERT_GE(thread_create(score_names, std::make_unique<std::shared_ptr<Scorers>>(scorers).release()), 0);
    {
        std::unique_lock lock(scorers->mutex);
        scorers->cv.wait(lock, [&] { return scorers->finished == SCORER_THREADS; });
    }
    EXPECT_EQ(scorers->wrong, 0);
    int kept = 0;
    for (int t = 0; t < SCORER_THREADS; ++t) {
        for (int i = 0; i < NAMES_PER_SCORER; i += 2) {
            const std::string key = "c" + std::to_string(t) + "-" + std::to_string(i) + ".test.cat." + SITEGRADE_ZONE;
            kept += sitegrade_section->check_sg_cache(key) == 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(kept, 50);
}

TEST_F(SiteGradeTest, ACategoryWithAFinalDotAsksItsOwnZone)
{
    answers["g1.test.cats.example"] = {{"cats.example", 4}, {"other", 9}};
    load(*sitegrade_section, rule({{"categories", "cats.example."}, {"range", "4"}, {"add", "hit"}}));
    EXPECT_EQ(run("g1.test"), std::vector<std::string>{"hit"});
    EXPECT_EQ(asked, std::vector<std::string>{"g1.test.cats.example"});
    EXPECT_EQ(sitegrade_section->check_sg_cache("g1.test.other." + std::string(SITEGRADE_ZONE)), 9);
}

TEST_F(SiteGradeTest, NoSectionLockIsHeldWhileTheServiceIsAsked)
{
    answers[zone("h1.test")] = {{"cat", 1}};
    load(*sitegrade_section, rule({{"categories", "cat"}, {"range", "1"}, {"add", "hit"}}));
    // Another thread takes the section's write lock, as a configuration load does, while the
    // lookup waits: with a read lock held over the lookup this would never return.
    while_waiting = [] {
        std::thread writer([] {
            sitegrade_section->write_lock();
            sitegrade_section->unlock();
        });
        writer.join();
    };
    EXPECT_EQ(run("h1.test"), std::vector<std::string>{"hit"});
    EXPECT_EQ(asked.size(), 1u);
}

// ---- Files, on a section of their own so that each test starts with nothing loaded ----

class SiteGradeFiles : public SiteGradeTest {
protected:
    void SetUp() override
    {
        SiteGradeTest::SetUp();
        char pattern[] = "/tmp/sitegrade_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        section_.reset();
        // The shared section registers again under its name.
        sections_create({"sitegrade"});
        std::filesystem::remove_all(dir_);
        SiteGradeTest::TearDown();
    }

    SiteGradeSection& fresh()
    {
        section_ = std::make_unique<SiteGradeSection>();
        return *section_;
    }

    void write(const std::string& name, const std::string& text) const
    {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_;
    std::unique_ptr<SiteGradeSection> section_;
};

TEST_F(SiteGradeFiles, HintsWinOverTheCacheFileAndZeroLeavesTheKeyFree)
{
    const std::string z = SITEGRADE_ZONE;
    write("local.sitegrade", "a.test.cat." + z + "\t12\r\nb.test.cat." + z + "\t0\nnot a record\n\tx\t\nlast\t7");
    write("ignored.sitegrade.bak", "c.test.cat." + z + "\t5\n");
    write("sitegrade.cache", to64frombits("a.test.cat." + z + "\t99") + "\n" + to64frombits("B.test.cat." + z + "\t0") +
                                 "\n!!!\n" + to64frombits("three\titems\there") + "\n" + to64frombits("c.test.cat." + z + "\t5"));
    SiteGradeSection& section = fresh();
    load(section, "", dir_);
    EXPECT_EQ(section.check_sg_cache("a.test.cat." + z), 12);
    EXPECT_EQ(section.check_sg_cache("b.test.cat." + z), 0);   // from the cache file, score 0 kept
    EXPECT_EQ(section.check_sg_cache("c.test.cat." + z), 5);
    EXPECT_EQ(section.check_sg_cache("last"), 7);
    EXPECT_TRUE(road::was_logged("advice: ", "siteGrade: read from " + dir_ + "/local.sitegrade, records: 3"));
    EXPECT_TRUE(road::was_logged("advice: ", "siteGrade: read from " + dir_ + "/sitegrade.cache, records: 3"));
    EXPECT_TRUE(road::was_logged("error: ", "siteGrade: failed to decode: !!!"));
    EXPECT_TRUE(section.cache_file_writable());
}

TEST_F(SiteGradeFiles, AnswersAreAppendedAndReadBackAfterARestart)
{
    answers[zone("k.test")] = {{"Cat", 8}, {"dog", 9}};
    {
        SiteGradeSection& section = fresh();
        load(section, rule({{"categories", "cat"}, {"range", "8"}, {"add", "hit"}}), dir_ + "/made/here");
        // The missing directory is said, then made, and the cache file opened in it.
        EXPECT_TRUE(road::was_logged("error: ", "siteGrade: hints directory: " + dir_ + "/made/here, does not exist"));
        ASSERT_TRUE(section.cache_file_writable());
        sitegrade_section = &section;
        EXPECT_EQ(run("k.test"), std::vector<std::string>{"hit"});
    }
    std::vector<std::string> lines;
    std::istringstream text(read("made/here/sitegrade.cache"));
    for (std::string line; std::getline(text, line);) {
        std::string out(line.size(), '\0');
        const int n = from64tobits(out.data(), out.size(), line);
        ASSERT_GT(n, 0);
        lines.push_back(out.substr(0, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"k.test.cat." + std::string(SITEGRADE_ZONE) + "\t8",
                                               "k.test.dog." + std::string(SITEGRADE_ZONE) + "\t9"}));

    asked.clear();
    SiteGradeSection& again = fresh();
    load(again, rule({{"categories", "dog"}, {"range", "9"}, {"add", "dog"}}), dir_ + "/made/here");
    sitegrade_section = &again;
    EXPECT_EQ(run("k.test"), std::vector<std::string>{"dog"});
    EXPECT_TRUE(asked.empty());
    // Appending goes on at the end, and nothing is written twice.
    answers[zone("l.test")] = {{"cat", 1}};
    run("l.test");
    const std::string after = read("made/here/sitegrade.cache");
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 3);
}

std::vector<std::string> decoded_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string out(line.size(), '\0');
        const int n = from64tobits(out.data(), out.size(), line);
        lines.push_back(n > 0 ? out.substr(0, static_cast<std::size_t>(n)) : std::string());
    }
    return lines;
}

// The cache file is rewritten from the table once it holds twice the learned scores the table may
// keep, also one appended to without end before; hints stay in the table whatever is learned.
TEST_F(SiteGradeFiles, TheCacheFileIsRewrittenFromTheBoundedTable)
{
    const std::string z = SITEGRADE_ZONE;
    std::string old;
    for (int i = 0; i < 10; ++i)
        old += to64frombits("old" + std::to_string(i) + ".test.cat." + z + "\t" + std::to_string(i)) + "\n";
    write("sitegrade.cache", old);
    write("local.sitegrade", "hinted.test.cat." + z + "\t7\n");
    SiteGradeSection& section = fresh();
    section.limits_set(2, SITEGRADE_FAILURE_MEMORY);
    load(section, rule({{"categories", "cat"}, {"range", "0-99"}, {"add", "hit"}}), dir_);
    // Of the old file, the newest two are kept, and the file says so.
    EXPECT_EQ(decoded_lines(read("sitegrade.cache")),
              (std::vector<std::string>{"old8.test.cat." + z + "\t8", "old9.test.cat." + z + "\t9"}));
    EXPECT_EQ(section.check_sg_cache("old7.test.cat." + z), -1);

    sitegrade_section = &section;
    for (int i = 0; i < 7; ++i) {
        const std::string host = "new" + std::to_string(i) + ".test";
        answers[zone(host)] = {{"cat", 20 + i}};
        EXPECT_EQ(run(host, {}, 1), std::vector<std::string>{"hit"});
        EXPECT_LE(decoded_lines(read("sitegrade.cache")).size(), 4u) << i;
    }
    const std::vector<std::string> lines = decoded_lines(read("sitegrade.cache"));
    EXPECT_EQ(lines.back(), "new6.test.cat." + z + "\t26");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "new5.test.cat." + z + "\t25"), lines.end());
    EXPECT_EQ(section.check_sg_cache("hinted.test.cat." + z), 7);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/sitegrade.cache.new"));

    // What a restart reads back is what the table held.
    SiteGradeSection& again = fresh();
    again.limits_set(2, SITEGRADE_FAILURE_MEMORY);
    load(again, "", dir_);
    sitegrade_section = &again;
    EXPECT_EQ(again.check_sg_cache("new6.test.cat." + z), 26);
    EXPECT_EQ(again.check_sg_cache("new5.test.cat." + z), 25);
}

TEST_F(SiteGradeFiles, WithoutAHintsDirectoryAnswersStayInMemory)
{
    answers[zone("m.test")] = {{"cat", 1}};
    SiteGradeSection& section = fresh();
    load(section, rule({{"categories", "cat"}, {"range", "1"}, {"add", "hit"}}), "");
    sitegrade_section = &section;
    EXPECT_EQ(run("m.test"), std::vector<std::string>{"hit"});
    EXPECT_FALSE(section.cache_file_writable());
    EXPECT_EQ(section.check_sg_cache("m.test.cat." + std::string(SITEGRADE_ZONE)), 1);
    EXPECT_TRUE(road::logged("error: ").empty());
}

} // namespace
