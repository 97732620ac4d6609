#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/processors.h"
#include "http/header.h"
#include "http/request.h"
#include "http/urlcommand.h"
#include "policy/keyword.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields KEYWORD_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},
                                {"mime", ""},        {"keyword", ""}, {"score", "0"}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("keyword", KEYWORD_RULE, set); }

class KeywordTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        sections_create({"keyword"});
        road::log_clear();
    }
    void TearDown() override { load(0, "", "", false); }

    void load(int threshold, const std::string& templ, const std::string& rules, bool enabled = true)
    {
        section_load(*keyword_section, std::string("<keywords-filtering><enabled>") + (enabled ? "true" : "false") +
                                           "</enabled><threshold>" + std::to_string(threshold) +
                                           "</threshold><template>" + templ + "</template>" + rules +
                                           "</keywords-filtering>");
    }

    // A response of the given Content-Type (nullopt: none) on the connection.
    void respond(road::Wired& wired, const std::optional<std::string>& type)
    {
        wired->request = http_header_parse_request("GET http://words.example/page HTTP/1.1\r\nHost: x\r\n\r\n");
        std::string text = "HTTP/1.1 200 OK\r\n";
        if (type)
            text += "Content-Type: " + *type + "\r\n";
        response_ = http_header_parse_response(text + "\r\n");
        wired->response = response_.get();
    }

    static Filebuf body_of(std::string_view text)
    {
        Filebuf body;
        body.Add(text);
        return body;
    }

    HeaderPtr response_;
};

TEST_F(KeywordTest, EachApplicableRuleAddsItsScoreOnce)
{
    struct Case {
        const char* what;
        std::string rules;
        std::optional<std::string> body;   // nullopt: no body given
        std::optional<std::string> type = "text/html";
        int total = 0;
        std::uint32_t bypass = 0;
    };
    const std::string six = rule({{"keyword", "casino"}, {"score", "6"}});
    const std::string five = rule({{"keyword", "poker"}, {"score", "5"}});
    const Case cases[] = {
        {"both keywords, each many times", six + five, "casino casino POKER casino poker", "text/html", 11},
        {"one keyword", six + five, "no cards, a Casino", "text/html", 6},
        {"none", six + five, "a quiet page", "text/html", 0},
        {"a negative score lowers the total", six + rule({{"keyword", "news"}, {"score", "-4"}}), "casino news",
         "text/html", 2},
        {"a rule without keyword scores every applicable response", rule({{"mime", "^video/"}, {"score", "20"}}),
         "anything", "video/mp4", 20},
        {"the type pattern must match", rule({{"mime", "^video/"}, {"score", "20"}}), "anything", "text/html", 0},
        {"no Content-Type is matched as the empty text", rule({{"mime", "^$"}, {"score", "3"}}) + six, "casino",
         std::nullopt, 9},
        {"bytes after a zero byte are searched too", six, std::string("text\0then casino", 16), "text/html", 6},
        {"without a body every applicable rule counts", six + five, std::nullopt, "text/html", 11},
        {"a disabled rule never scores", rule({{"enabled", "false"}, {"keyword", "casino"}, {"score", "6"}}),
         "casino", "text/html", 0},
        {"a profile condition not met", rule({{"profiles", "kids"}, {"keyword", "casino"}, {"score", "6"}}),
         "casino", "text/html", 0},
        {"bypass letter k", six, "casino", "text/html", 0, BYPASS_KEYWORD},
        {"a keyword that does not compile scores as a rule without one", rule({{"keyword", "(["}, {"score", "4"}}),
         "text", "text/html", 4},
    };
    for (const Case& c : cases) {
        load(10, "", c.rules);
        road::Wired wired(false);
        respond(wired, c.type);
        wired->bypass = c.bypass;
        std::optional<Filebuf> body;
        if (c.body)
            body.emplace(body_of(*c.body));
        EXPECT_EQ(keyword_section->check(wired.get(), body ? &*body : nullptr), c.total) << c.what;
        if (body) {
            EXPECT_EQ(body->view(), *c.body) << c.what << ": the body is left as it came";
        }
        wired->response = nullptr;
    }

    load(10, "", cases[0].rules, false);
    road::Wired wired(false);
    respond(wired, "text/html");
    Filebuf body = body_of("casino poker");
    EXPECT_EQ(keyword_section->check(wired.get(), &body), 0) << "a disabled section scores nothing";
    wired->response = nullptr;
}

TEST_F(KeywordTest, ATotalAtTheThresholdBlocksAndOneBelowPasses)
{
    struct Case {
        int threshold;
        std::string templ;
        const char* body;
        bool blocked;
        std::map<std::string, std::string> variables;
        const char* title = "";
    };
    const std::string rules = rule({{"keyword", "casino"}, {"score", "6"}}) + rule({{"keyword", "poker"}, {"score", "4"}});
    const Case cases[] = {
        {10, "", "casino poker", true,
         {{"SCORE", "10"}, {"THRESHOLD", "10"}, {"FILTER", "KeyWord Filter"}, {"REASON", "score: 10 exceeded threshold: 10"}},
         "Page Blocked"},
        {9, "blacklisted", "casino poker", true,
         {{"SCORE", "10"}, {"THRESHOLD", "9"}, {"FILTER", "KeyWord Filter"}, {"REASON", "score: 10 exceeded threshold: 9"}},
         "Page blacklisted"},
        {11, "", "casino poker", false, {{"SCORE", "10"}, {"THRESHOLD", "11"}}},
        {0, "", "a quiet page", false, {}},   // a total of 0 never blocks, whatever the threshold
    };
    for (const Case& c : cases) {
        load(c.threshold, c.templ, rules);
        road::Wired wired(false);
        respond(wired, "text/html");
        Filebuf body = body_of(c.body);
        EXPECT_EQ(keyword_section->check_and_block(wired.get(), &body), c.blocked ? 1 : 0) << c.threshold;
        wired->response = nullptr;
        for (const auto& [name, value] : c.variables)
            EXPECT_EQ(std::string_view(wired->variables[VariableText(name)]), value) << c.threshold << " " << name;
        for (const char* name : {"SCORE", "FILTER"}) {
            if (c.variables.count(name) == 0) {
                EXPECT_EQ(wired->variables.count(name), 0u) << c.threshold << " " << name;
            }
        }
        const std::string sent = road::read_now(wired.client_peer);
        if (c.blocked) {
            EXPECT_NE(sent.find(c.title), std::string::npos) << sent;
            EXPECT_EQ(wired->logentry.filter_name, "keyword-filter");
            EXPECT_EQ(wired->logentry.filtering_reason, "10");
            EXPECT_TRUE(road::was_logged("keyword filter: ", "blocked: score:10 threshold:" + std::to_string(c.threshold)));
        } else {
            EXPECT_EQ(sent, "");
        }
    }
}

TEST_F(KeywordTest, TheBodyIsBufferedOnlyWhenAKeywordCouldApply)
{
    struct Case {
        const char* what;
        std::string rules;
        std::uint32_t bypass;
        int buffer;
    };
    const Case cases[] = {
        {"an applicable keyword rule", rule({{"mime", "^text/"}, {"keyword", "casino"}, {"score", "6"}}), 0, 1},
        {"a keyword rule for other types", rule({{"mime", "^video/"}, {"keyword", "casino"}, {"score", "6"}}), 0, 0},
        {"a rule without keyword", rule({{"score", "6"}}), 0, 0},
        {"bypass letter k", rule({{"keyword", "casino"}, {"score", "6"}}), BYPASS_KEYWORD, 0},
    };
    for (const Case& c : cases) {
        load(10, "", c.rules);
        road::Wired wired(false);
        respond(wired, "text/html");
        wired->bypass = c.bypass;
        EXPECT_EQ(processors.Execute(STAGE_BUFFER_CHECK, wired.get(), nullptr), c.buffer) << c.what;
        wired->response = nullptr;
    }
}

TEST_F(KeywordTest, TheScoreCommandShowsTheTotalInsteadOfTheResponse)
{
    load(5, "", rule({{"keyword", "casino"}, {"score", "6"}}));
    road::Wired wired(false);
    respond(wired, "text/html");
    Filebuf body = body_of("casino");
    EXPECT_EQ(hooks.Execute(HOOK_PRE_RESPONSE, wired.get(), &body), 0) << "no command: the response goes on";
    EXPECT_EQ(road::read_now(wired.client_peer), "");

    wired->url_commands = std::make_unique<url_command_list>(url_command_list{{"score", std::nullopt}});
    EXPECT_EQ(hooks.Execute(HOOK_PRE_RESPONSE, wired.get(), &body), 1);
    wired->response = nullptr;
    const std::string sent = road::read_now(wired.client_peer);
    EXPECT_EQ(sent.rfind("HTTP/1.1 200", 0), 0u) << sent;
    EXPECT_NE(sent.find("Keyword score for words.example/page"), std::string::npos) << sent;
    EXPECT_NE(sent.find("<td align=\"center\">6</td>"), std::string::npos) << sent;
}

} // namespace
