#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/processors.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/rewrite.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields REWRITE_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"mime", ""},
                                {"pattern", ""},     {"replace", ""}, {"which", "4"}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("rewrite", REWRITE_RULE, set); }

class RewriteTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        sections_create({"rewrite"});
        road::log_clear();
    }
    void TearDown() override { load("", false); }

    void load(const std::string& rules, bool enabled = true)
    {
        section_load(*rewrite_section,
                     std::string("<rewrite><enabled>") + (enabled ? "true" : "false") + "</enabled>" + rules + "</rewrite>");
    }

    // A connection with a parsed request and a response of the given Content-Type (nullopt: none).
    void exchange(road::Wired& wired, const std::optional<std::string>& type)
    {
        wired->request = http_header_parse_request("POST http://a.example/form HTTP/1.1\r\nHost: x\r\n\r\n");
        std::string text = "HTTP/1.1 200 OK\r\n";
        if (type)
            text += "Content-Type: " + *type + "\r\n";
        response_ = http_header_parse_response(text + "\r\n");
        wired->response = response_.get();
    }

    static std::string run(int stage, CONNECTION_T* connection, std::string_view text, int* answer = nullptr)
    {
        Filebuf buffer;
        buffer.Add(text);
        const int result = processors.Execute(stage, connection, &buffer);
        if (answer != nullptr)
            *answer = result;
        return std::string(buffer.view());
    }

    HeaderPtr response_;
};

TEST_F(RewriteTest, EveryApplicableRuleRunsOnWhatTheEarlierOnesLeft)
{
    struct Case {
        const char* what;
        std::string rules;
        std::string body;
        std::string result;
        std::optional<std::string> type = "text/html";
        std::uint32_t bypass = 0;
    };
    const Case cases[] = {
        {"every match is replaced, with captures", rule({{"pattern", "(\\w+)@example\\.com"}, {"replace", "[$1]"}}),
         "a@example.com, B@EXAMPLE.COM", "[a], [B]"},
        {"the second rule sees the first one's output",
         rule({{"pattern", "cat"}, {"replace", "dog"}}) + rule({{"pattern", "dog"}, {"replace", "wolf"}}), "cat dog",
         "wolf wolf"},
        {"an empty replacement deletes the matches", rule({{"pattern", "&lt;script&gt;.*?&lt;/script&gt;"}}),
         "a<script>x\ny</script>b<SCRIPT></script>c", "abc"},
        {"an empty match never loops", rule({{"pattern", "x*"}, {"replace", "+"}}), "ab", "+a+b+"},
        {"bytes after a zero byte are rewritten too", rule({{"pattern", "secret"}, {"replace", "****"}}),
         std::string("a\0secret", 8), std::string("a\0****", 6)},
        {"variables expand in the replacement", rule({{"pattern", "HERE"}, {"replace", "@WHO@"}}), "HERE", "proxy"},
        {"a content-type pattern that matches", rule({{"mime", "text/html"}, {"pattern", "a"}, {"replace", "b"}}),
         "aa", "bb"},
        {"a content-type pattern that does not", rule({{"mime", "^text/html"}, {"pattern", "a"}, {"replace", "b"}}),
         "aa", "aa", "image/png"},
        {"no Content-Type is tested as the empty text", rule({{"mime", ".*"}, {"pattern", "a"}, {"replace", "b"}}),
         "aa", "bb", std::nullopt},
        {"a rule for other kinds", rule({{"pattern", "a"}, {"replace", "b"}, {"which", "11"}}), "aa", "aa"},
        {"a disabled rule", rule({{"enabled", "false"}, {"pattern", "a"}, {"replace", "b"}}), "aa", "aa"},
        {"a pattern that does not compile is inert", rule({{"pattern", "(["}, {"replace", "b"}}), "([", "(["},
        {"bypass letter w", rule({{"pattern", "a"}, {"replace", "b"}}), "aa", "aa", "text/html", BYPASS_REWRITE},
    };
    for (const Case& c : cases) {
        load(c.rules);
        road::Wired wired(false);
        exchange(wired, c.type);
        wired->bypass = c.bypass;
        wired->variables["WHO"] = "proxy";
        int answer = 0;
        EXPECT_EQ(run(STAGE_RESPONSE_MODIFY, wired.get(), c.body, &answer), c.result) << c.what;
        EXPECT_EQ(answer, 1) << c.what;
        wired->response = nullptr;
    }
    EXPECT_TRUE(road::was_logged("rewriting: ", "cat matched 1 times in body"));

    load(cases[0].rules, false);
    road::Wired wired(false);
    exchange(wired, "text/html");
    EXPECT_EQ(run(STAGE_RESPONSE_MODIFY, wired.get(), "a@example.com"), "a@example.com") << "a disabled section";
    wired->response = nullptr;
}

TEST_F(RewriteTest, TheMaskAndTheTypeTestChooseTheKindsOfText)
{
    // Each kind's stage, and whether the rule rewrites it; "x" becomes "y".
    struct Case {
        const char* what;
        std::map<std::string, std::string> set;
        bool client, server, body, post;
    };
    const Case cases[] = {
        {"client header and body", {{"which", "5"}}, true, false, true, false},
        {"server header and request body", {{"which", "10"}}, false, true, false, true},
        {"every kind", {{"which", "15"}}, true, true, true, true},
        {"a type pattern keeps it to HTML bodies", {{"which", "15"}, {"mime", "text/html"}}, false, false, true, false},
        {"a type pattern matching the empty text keeps headers",
         {{"which", "15"}, {"mime", "^(text/html)?$"}}, true, true, true, true},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> set = c.set;
        set["pattern"] = "x";
        set["replace"] = "y";
        load(rule(set));
        road::Wired wired(false);
        exchange(wired, "text/html");
        const auto expect = [](bool changed) { return changed ? std::string("y\r\n", 3) : std::string("x\r\n", 3); };
        {
            // The request header stage runs before the request is parsed again.
            const HeaderPtr parsed = std::move(wired->request);
            EXPECT_EQ(run(STAGE_REQUEST_HEADER, wired.get(), std::string("x\r\n\0", 4)), expect(c.client) + '\0')
                << c.what;
            wired->request = http_header_dup(parsed.get());
        }
        EXPECT_EQ(run(STAGE_RESPONSE_HEADER, wired.get(), std::string("x\r\n\0", 4)), expect(c.server) + '\0') << c.what;
        EXPECT_EQ(run(STAGE_RESPONSE_MODIFY, wired.get(), "x\r\n"), expect(c.body)) << c.what;
        int answer = -1;
        EXPECT_EQ(run(STAGE_REQUEST_MODIFY, wired.get(), "x\r\n", &answer), expect(c.post)) << c.what;
        EXPECT_EQ(answer, 0) << "later request stages still run";
        EXPECT_EQ(processors.Execute(STAGE_BUFFER_CHECK, wired.get(), nullptr), c.body ? 1 : 0) << c.what;
        wired->response = nullptr;
    }
}

TEST_F(RewriteTest, HeaderRulesSeeTheRawTextAndAnEmptyRequestBodyIsNotOffered)
{
    load(rule({{"pattern", "^User-Agent:[^\\r]*\\r\\n"}, {"which", "1"}}) +
         rule({{"pattern", "^GET\\ http://a\\.example/"}, {"replace", "GET http://b.example/"}, {"which", "1"}}) +
         rule({{"pattern", "\\z"}, {"replace", "marked"}, {"which", "8"}}));
    road::Wired wired(false);
    const std::string raw = "GET http://a.example/p HTTP/1.1\r\nHost: a.example\r\nUser-Agent: probe\r\n\r\n";
    EXPECT_EQ(run(STAGE_REQUEST_HEADER, wired.get(), raw + '\0'),
              std::string("GET http://b.example/p HTTP/1.1\r\nHost: a.example\r\n\r\n") + '\0');
    EXPECT_EQ(run(STAGE_REQUEST_MODIFY, wired.get(), ""), "");
    EXPECT_EQ(run(STAGE_REQUEST_MODIFY, wired.get(), "a=1"), "a=1marked");
    EXPECT_TRUE(road::was_logged("rewriting: ", "^User-Agent:[^\\r]*\\r\\n matched 1 times in client header"));
}

TEST_F(RewriteTest, BypassTurnsTheBufferingRequestOffToo)
{
    load(rule({{"pattern", "a"}, {"replace", "b"}}));
    road::Wired wired(false);
    exchange(wired, "text/html");
    EXPECT_EQ(rewrite_section->check_match(wired.get(), REWRITE_BODY), 1);
    EXPECT_EQ(rewrite_section->check_match(wired.get(), REWRITE_CLIENT_HEADER), 0);
    wired->bypass = BYPASS_REWRITE;
    EXPECT_EQ(rewrite_section->check_match(wired.get(), REWRITE_BODY), 0);
    Filebuf body;
    body.Add("a");
    EXPECT_EQ(rewrite_section->rewrite_do(wired.get(), &body, REWRITE_BODY), 0);
    EXPECT_EQ(body.view(), "a");
    wired->response = nullptr;
}

} // namespace
