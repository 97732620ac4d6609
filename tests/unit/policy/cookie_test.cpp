#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/cookie.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

const XmlFields COOKIE_RULE = {
    {"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"year", "-"},   {"month", "-"},
    {"day", "-"},        {"weekday", "-"}, {"hour", "-"},    {"minute", "-"}, {"domain", ""},
    {"path", ""},        {"direction", "2"}, {"timematch", "absolute"},
};

std::string rule(const std::string& list, const std::map<std::string, std::string>& set)
{
    return item_xml(list, COOKIE_RULE, set);
}

TEST(CookieHeaderTest, ParseAndBuildNormaliseTheLine)
{
    struct Case {
        const char* value;
        const char* built;
    };
    const Case cases[] = {
        {"id=7; Path=/; Domain=shop; Secure; HttpOnly", "id=7; domain=shop; path=/"},
        {"$Version=1; a=b; $Path=/", "a=b; path=/; version=1"},
        {"a=1; Max-Age=60; Comment=x; b=2", "a=1; Max-Age=60; Comment=x; b=2"},
        {"s=2; expires=Wed, 09 Jun 2027 10:18:14 GMT", "s=2; expires=Wed, 09-Jun-2027 10:18:14 GMT"},
        {"e=1; EXPIRES=Thu, 01-Jan-2026 00:00:00 GMT", "e=1; expires=Thu, 01-Jan-2026 00:00:00 GMT"},
        {"path=/", ""},   // attributes alone: no pair, nothing to build
        {"a=1, b=2", "a=1, b=2"},   // folded cookies are one pair
        {"a=b=c;;  ; d=; flag", "a=b=c"},
        {" $ $a=1 ; version=abc", "a=1 "},   // blanks after the value stay; a bad version is 0
        {"p=1; path=/a; path=/b", "p=1; path=/b"},
        {"x=1; expires=soon", "x=1; expires=soon"},   // no date: an ordinary pair
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(CookieHeader(c.value).Build(), c.built);
    }
    road::sections_create();
    road::log_clear();
    CookieHeader bad("x=1; expires=soon");
    EXPECT_FALSE(bad.expiry_set);
    EXPECT_TRUE(road::was_logged("warning: ", "failed to parse cookie expiry time: soon"));
}

TEST(CookieHeaderTest, ExpiredIsTrueWithoutExpiryOrForAFutureOne)
{
    EXPECT_EQ(CookieHeader("a=1").Expired(), 1);
    EXPECT_EQ(CookieHeader("a=1; expires=Fri, 01-Jan-2100 00:00:00 GMT").Expired(), 1);
    EXPECT_EQ(CookieHeader("a=1; expires=Thu, 01-Jan-1998 00:00:00 GMT").Expired(), 0);
}

class CookieSectionTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        if (cookie_section == nullptr) {
            static CookieSection section;
            cookie_section = &section;
        }
        road::log_clear();
    }
    void TearDown() override { load("deny_allow", "", false); }

    void load(const std::string& order, const std::string& rules, bool enabled = true)
    {
        section_load(*cookie_section, std::string("<cookies-filtering><enabled>") + (enabled ? "true" : "false") +
                                          "</enabled><order>" + order + "</order>" + rules + "</cookies-filtering>");
    }
};

TEST_F(CookieSectionTest, RulesJudgeIncomingCookiesByExpiryDomainAndPathOutgoingByDirectionAlone)
{
    struct Case {
        const char* what;
        std::string order;
        std::string rules;
        int direction;
        const char* cookie;
        bool kept;
        std::string profile = "";
        std::uint32_t bypass = 0;
    };
    const std::string tracker = rule("deny", {{"domain", "^tracker\\."}});
    const std::string in_2027 = rule("deny", {{"year", "2027,2027"}, {"direction", "0"}});
    const Case cases[] = {
        {"domain matches", "deny_allow", tracker, COOKIE_INCOMING, "t=1; domain=Tracker.example", false},
        {"domain differs", "deny_allow", tracker, COOKIE_INCOMING, "t=1; domain=shop", true},
        {"no domain never matches a pattern", "deny_allow", tracker, COOKIE_INCOMING, "t=1", true},
        {"outgoing ignores the domain", "deny_allow", tracker, COOKIE_OUTGOING, "t=1", false},
        {"direction 0 never sees outgoing", "deny_allow", in_2027, COOKIE_OUTGOING, "t=1", true},
        {"expiry inside the years", "deny_allow", in_2027, COOKIE_INCOMING,
         "s=2; expires=Wed, 09 Jun 2027 10:18:14 GMT", false},
        {"expiry outside the years", "deny_allow", in_2027, COOKIE_INCOMING,
         "s=2; expires=Fri, 09 Jun 2028 10:18:14 GMT", true},
        {"no expiry lies in no window", "deny_allow", in_2027, COOKIE_INCOMING, "s=2", true},
        {"path pattern", "deny_allow", rule("deny", {{"path", "^/private"}}), COOKIE_INCOMING, "p=3; path=/private/x",
         false},
        {"profile condition", "deny_allow", rule("deny", {{"profiles", "kids"}}), COOKIE_OUTGOING, "a=1", false,
         "kids"},
        {"profile missing", "deny_allow", rule("deny", {{"profiles", "kids"}}), COOKIE_OUTGOING, "a=1", true},
        {"disabled rule", "deny_allow", rule("deny", {{"enabled", "false"}}), COOKIE_OUTGOING, "a=1", true},
        {"allow first, nothing allowed", "allow_deny", "", COOKIE_INCOMING, "a=1", false},
        {"allow first, allowed", "allow_deny", rule("allow", {{"direction", "1"}}), COOKIE_OUTGOING, "a=1", true},
        {"allow first, denied again", "allow_deny", rule("allow", {}) + tracker, COOKIE_INCOMING,
         "t=1; domain=tracker.x", false},
        {"deny first, allowed again", "deny_allow", tracker + rule("allow", {{"path", "^/ok$"}}), COOKIE_INCOMING,
         "t=1; domain=tracker.x; path=/ok", true},
        {"bypass letter c", "allow_deny", "", COOKIE_INCOMING, "a=1", true, "", BYPASS_COOKIE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.order, c.rules);
        road::Wired wired(false);
        if (!c.profile.empty())
            wired->profiles.push_back(c.profile);
        wired->bypass = c.bypass;
        CookieHeader cookie(c.cookie);
        EXPECT_EQ(cookie_section->check(c.direction, wired.get(), cookie), c.kept);
    }
    load("allow_deny", "", false);
    road::Wired wired(false);
    CookieHeader cookie("a=1");
    EXPECT_TRUE(cookie_section->check(COOKIE_INCOMING, wired.get(), cookie)) << "a disabled section drops nothing";
}

TEST_F(CookieSectionTest, WithTheFilterOffTheWriterSendsEveryLineAsReceived)
{
    road::Wired wired(false);
    wired->request = http_header_parse_request("GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\n\r\n");
    ASSERT_NE(wired->request, nullptr);
    HeaderPtr response = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_NE(response, nullptr);
    const char* const values[] = {"sid=abc; Path=/; Secure; HttpOnly; SameSite=Strict", "id=7;Path=/;  Secure",
                                  "$Version=1; a=b; $Path=/", "s=2; expires=Wed, 09 Jun 2027 10:18:14 GMT",
                                  "Path=/; Secure"};
    struct Off {
        const char* what;
        bool enabled;
        std::uint32_t bypass;
    };
    for (const Off& off : {Off{"disabled", false, 0}, Off{"bypass letter c", true, BYPASS_COOKIE}}) {
        // Rules that would drop every line, had the filter been on.
        load("allow_deny", rule("deny", {}), off.enabled);
        wired->bypass = off.bypass;
        for (const HEADER* header : {static_cast<const HEADER*>(wired->request.get()), static_cast<const HEADER*>(response.get())}) {
            for (const char* value : values) {
                SCOPED_TRACE(std::string(off.what) + ": " + value);
                const HTTP_HEADER line{HTTP_HEADER_PASS, header->kind == HEADER_RESPONSE ? "Set-Cookie" : "Cookie", value};
                EXPECT_EQ(cookie_line(*header, line, wired.get()), std::optional<std::string>(value));
            }
        }
    }
}

TEST_F(CookieSectionTest, TheWriterDropsBlockedLinesAndKeepsTheOthersAsReceived)
{
    load("deny_allow", rule("deny", {{"direction", "1"}}));
    road::Wired wired(false);
    wired->request = http_header_parse_request("GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\n\r\n");
    ASSERT_NE(wired->request, nullptr);
    HeaderPtr response = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_NE(response, nullptr);

    struct Case {
        const HEADER* header;
        int type;
        const char* value;
        std::optional<std::string> written;
    };
    const Case cases[] = {
        {wired->request.get(), HTTP_HEADER_PASS, "a=1", std::nullopt},   // outgoing: denied
        {response.get(), HTTP_HEADER_PASS, "a=1;Path=/;Secure; HttpOnly; SameSite=Lax", "a=1;Path=/;Secure; HttpOnly; SameSite=Lax"},
        {response.get(), HTTP_HEADER_PASS, "Path=/; Secure", "Path=/; Secure"},
        {response.get(), HTTP_HEADER_FIELD, "Path=/; Secure", std::nullopt},
        {response.get(), HTTP_HEADER_FIELD, "b=2; Path=/x; Secure", "b=2; path=/x"},   // not from the wire: built
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const HTTP_HEADER line{c.type, "Set-Cookie", c.value};
        EXPECT_EQ(cookie_line(*c.header, line, wired.get()), c.written);
    }
    EXPECT_TRUE(road::was_logged("cookie filter: ", "blocked: outgoing to a.example"))
        << testing::PrintToString(road::logged(""));
}

} // namespace
