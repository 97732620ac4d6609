#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/connection.h"
#include "config/general.h"
#include "core/global.h"
#include "http/header.h"
#include "core/options.h"
#include "policy_fixture.h"
#include "config/profile.h"

namespace {

const XmlFields PROFILE_RULE = {
    {"enabled", "true"},  {"comment", ""},       {"log", "true"},       {"profiles", ""},
    {"scheme", ""},       {"host", ""},          {"file", ""},          {"mime", ""},
    {"port", ""},         {"urlcommand", ""},    {"proxyhost", ""},     {"requestheader", ""},
    {"responseheader", ""}, {"month", "-"},      {"day", "-"},          {"weekday", "-"},
    {"hour", "-"},        {"minute", "-"},       {"timematch", "absolute"}, {"add", ""},
    {"remove", ""},
};

std::string rule(const std::map<std::string, std::string>& set)
{
    return item_xml("profile", PROFILE_RULE, set);
}

StringList list(std::initializer_list<const char*> names)
{
    StringList result;
    for (const char* name : names)
        result.push_back(name);
    return result;
}

std::vector<std::string> names_of(const StringList& names)
{
    return {names.begin(), names.end()};
}

// The profile lines logged since mark, oldest first.
std::vector<std::string> profile_lines_since(std::size_t mark)
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    std::vector<std::string> lines;
    const std::size_t total = buffered.size();
    for (std::size_t i = total - mark; i-- > 0;) {
        const std::string& line = buffered[i];
        const std::size_t at = line.find(" Profile: ");
        if (at != std::string::npos)
            lines.push_back(line.substr(line.rfind(' ', at - 1) + 1));
    }
    return lines;
}

std::size_t log_mark()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.size();
}

std::time_t fake_now = 0;
std::time_t fake_clock()
{
    return fake_now;
}

// Local time of year 2024 (month 0-11).
std::time_t local_time(int mon, int mday, int hour, int min)
{
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = mon;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class ProfileTest : public testing::Test {
protected:
    void SetUp() override
    {
        shipped_definitions_set();
        profiles_ = std::make_unique<ProfileSection>();
        general_ = std::make_unique<GeneralSection>();
        global->logbuffer->capacity = 100000;
        fake_now = local_time(5, 12, 12, 0);   // a Wednesday noon
        profile_set_clock(fake_clock);
        connection_ = connection_new();
        request("GET http://www.example.com:8080/dir/page.html HTTP/1.1\r\nHost: www.example.com:8080\r\n"
                "User-Agent: Tester/1.0\r\n\r\n");
    }

    void TearDown() override
    {
        profile_set_clock(nullptr);
        general_section = nullptr;
        proxyhost.clear();
        connection_->response = nullptr;
    }

    void load(const std::string& rules) { section_load(*profiles_, "<profiles>" + rules + "</profiles>"); }

    void request(const std::string& text)
    {
        connection_->request = http_header_parse_request(text);
        ASSERT_NE(connection_->request, nullptr);
    }

    void respond(const std::string& text)
    {
        response_ = http_header_parse_response(text);
        ASSERT_NE(response_, nullptr);
        connection_->response = response_.get();
    }

    std::vector<std::string> run()
    {
        profiles_->profiles_update(connection_.get());
        return names_of(connection_->profiles);
    }

    std::unique_ptr<ProfileSection> profiles_;
    std::unique_ptr<GeneralSection> general_;
    ConnectionPtr connection_;
    HeaderPtr response_;
};

TEST(ProfileFind, FirstCarriedEntryDecides)
{
    struct Case { StringList names; StringList condition; int applies; };
    const Case cases[] = {
        {list({}),                 list({}),                 1},
        {list({"x"}),              list({}),                 1},
        {list({}),                 list({"!guest"}),         1},
        {list({"guest"}),          list({"!guest"}),         0},
        {list({"staff"}),          list({"staff"}),          1},
        {list({}),                 list({"staff"}),          0},
        {list({"Staff"}),          list({"staff"}),          0},   // case-sensitive
        {list({"guest", "staff"}), list({"staff", "!guest"}), 1},  // staff comes first
        {list({"guest"}),          list({"staff", "!guest"}), 0},
        {list({}),                 list({"staff", "!guest"}), 1},  // a negated entry is present
        {list({"guest", "staff"}), list({"!guest", "staff"}), 0},
        {list({"a"}),              list({"b", "c"}),         0},
        {list({"c"}),              list({"b", "c"}),         1},
        {list({"!x"}),             list({"!x"}),             1},   // "!x" negates the name x
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(names_of(c.names)) + " / " + testing::PrintToString(names_of(c.condition)));
        EXPECT_EQ(profile_find(c.names, c.condition), c.applies);
    }
}

TEST_F(ProfileTest, RequestConditions)
{
    struct Case { const char* what; std::map<std::string, std::string> set; bool applies; };
    const Case cases[] = {
        {"no condition",              {},                                         true},
        {"disabled",                  {{"enabled", "false"}},                     false},
        {"profile condition",         {{"profiles", "staff"}},                    false},
        {"negated condition",         {{"profiles", "!staff"}},                   true},
        {"port listed",               {{"port", "80,8000-8100"}},                 true},
        {"port not listed",           {{"port", "80,443"}},                       false},
        {"scheme",                    {{"scheme", "^HTTP$"}},                     true},
        {"other scheme",              {{"scheme", "^ftp$"}},                      false},
        {"host",                      {{"host", "example\\.com$"}},               true},
        {"other host",                {{"host", "^example"}},                     false},
        {"path",                      {{"file", "^/dir/.*\\.html$"}},             true},
        {"other path",                {{"file", "\\.gif$"}},                      false},
        {"request header",            {{"requestheader", "user-agent: tester/"}},  true},
        {"request header, other",     {{"requestheader", "Referer:"}},            false},
        {"bad pattern is no test",    {{"host", "("}},                            true},
        {"every condition",           {{"port", "8080"}, {"scheme", "http"}, {"host", "www"},
                                       {"file", "page"}, {"requestheader", "Host:"}}, true},
        {"one of all fails",          {{"port", "8080"}, {"scheme", "http"}, {"host", "www"},
                                       {"file", "nothere"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::map<std::string, std::string> set = c.set;
        set["add"] = "hit";
        load(rule(set));
        connection_->profiles.clear();
        EXPECT_EQ(run(), c.applies ? std::vector<std::string>{"hit"} : std::vector<std::string>{});
    }
}

TEST_F(ProfileTest, ResponseConditionsWaitForTheResponse)
{
    load(rule({{"mime", "^text/html"}, {"add", "html"}}) + rule({{"responseheader", "X-Kind: special"}, {"add", "special"}}));
    EXPECT_EQ(run(), std::vector<std::string>{});
    respond("HTTP/1.1 200 OK\r\nContent-Type: TEXT/HTML; charset=utf-8\r\nX-Kind: special\r\n\r\n");
    EXPECT_EQ(run(), (std::vector<std::string>{"html", "special"}));

    connection_->profiles.clear();
    respond("HTTP/1.1 200 OK\r\nX-Kind: plain\r\n\r\n");   // no Content-Type at all
    EXPECT_EQ(run(), std::vector<std::string>{});
}

TEST_F(ProfileTest, ProxyHostNameFromOptionOrGeneralSection)
{
    load(rule({{"proxyhost", "^cache1\\."}, {"add", "first"}}));
    EXPECT_EQ(run(), std::vector<std::string>{});   // no general section: no name

    general_section = general_.get();
    section_load(*general_, "<general><hostname>cache1.example</hostname></general>");
    EXPECT_EQ(run(), std::vector<std::string>{"first"});

    connection_->profiles.clear();
    proxyhost = "cache2.example";                    // -H wins
    EXPECT_EQ(run(), std::vector<std::string>{});
}

TEST_F(ProfileTest, RulesChainAddAndRemove)
{
    load(rule({{"add", "a,b"}}) +
         rule({{"profiles", "a"}, {"add", "c"}}) +
         rule({{"profiles", "c"}, {"remove", "a,absent"}}) +
         rule({{"profiles", "a"}, {"add", "never"}}) +
         rule({{"log", "false"}, {"add", "quiet"}, {"remove", "quiet2"}}));
    const std::size_t mark = log_mark();
    EXPECT_EQ(run(), (std::vector<std::string>{"b", "c", "quiet"}));
    EXPECT_EQ(profile_lines_since(mark), (std::vector<std::string>{
        "Added Profile: a", "Added Profile: b", "Added Profile: c", "Removed Profile: a", "Removed Profile: absent"}));
    EXPECT_EQ(connection_->logentry.profiles, "b,c,quiet");

    // A second run starts from what the first left: present names are not added or logged again.
    const std::size_t again = log_mark();
    EXPECT_EQ(run(), (std::vector<std::string>{"b", "c", "quiet"}));
    EXPECT_EQ(profile_lines_since(again), (std::vector<std::string>{
        "Added Profile: a", "Removed Profile: a", "Removed Profile: absent"}));
}

TEST_F(ProfileTest, RemoveTakesEveryOccurrence)
{
    connection_->profiles = list({"x", "y", "x"});
    load(rule({{"remove", "x"}}));
    EXPECT_EQ(run(), std::vector<std::string>{"y"});
}

TEST_F(ProfileTest, LogEntryKeepsItsTextWhenNoProfileIsLeft)
{
    load(rule({{"add", "a"}}) + rule({{"remove", "a"}}));
    EXPECT_EQ(connection_->logentry.profiles, "-");
    EXPECT_EQ(run(), std::vector<std::string>{});
    EXPECT_EQ(connection_->logentry.profiles, "-");
}

TEST_F(ProfileTest, TimeWindows)
{
    struct Case {
        const char* what;
        std::map<std::string, std::string> window;
        std::time_t now;
        bool applies;
    };
    const std::map<std::string, std::string> office = {
        {"hour", "9,17"}, {"weekday", "1,5"}, {"timematch", "recurring"}};
    const std::map<std::string, std::string> holidays = {
        {"month", "11,0"}, {"day", "24,2"}, {"timematch", "absolute"}};
    const std::map<std::string, std::string> afternoon = {{"hour", "13,17"}, {"minute", "0,30"}};
    const Case cases[] = {
        {"Friday 17:59, recurring",  office,  local_time(5, 14, 17, 59), true},
        {"Monday 09:00, recurring",  office,  local_time(5, 10, 9, 0),   true},
        {"Friday 18:00, recurring",  office,  local_time(5, 14, 18, 0),  false},
        {"Sunday noon, recurring",   office,  local_time(5, 16, 12, 0),  false},
        {"Dec 25, absolute reversed", holidays, local_time(11, 25, 12, 0), false},
        {"Jan 1, absolute reversed",  holidays, local_time(0, 1, 12, 0),   false},
        {"13:45, absolute",          afternoon, local_time(5, 12, 13, 45), true},    // points in time
        {"17:30, absolute",          afternoon, local_time(5, 12, 17, 30), true},
        {"17:31, absolute",          afternoon, local_time(5, 12, 17, 31), false},
        {"no active element",        {{"hour", "9,10"}},                     local_time(5, 12, 12, 0), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::map<std::string, std::string> set = c.window;
        set["add"] = "in";
        std::string xml = rule(set);
        if (std::string(c.what) == "no active element") {
            const std::string active = "<hour>9,10</hour>";
            xml.replace(xml.find(active), active.size(), "<hour active=\"false\">9,10</hour>");
        }
        load(xml);
        fake_now = c.now;
        connection_->profiles.clear();
        EXPECT_EQ(run(), c.applies ? std::vector<std::string>{"in"} : std::vector<std::string>{});
    }
}

TEST_F(ProfileTest, RulesAreReplacedByEachLoad)
{
    load(rule({{"add", "old"}}));
    const std::shared_ptr<const ProfileRules> held = profiles_->rules();
    load(rule({{"add", "new"}}));
    EXPECT_EQ(names_of(held->rules.front().add), std::vector<std::string>{"old"});
    EXPECT_EQ(run(), std::vector<std::string>{"new"});

    // A copy of a rule has patterns of its own.
    load(rule({{"host", "example"}, {"add", "copied"}}));
    const Profile copy = profiles_->rules()->rules.front();
    ASSERT_NE(copy.host.regex, nullptr);
    EXPECT_NE(copy.host.regex.get(), profiles_->rules()->rules.front().host.regex.get());
}

} // namespace
