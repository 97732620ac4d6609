#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/headerfilter.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields HEADER_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},
                               {"name", ""},        {"value", ""},   {"direction", "3"}};

std::string rule(const std::string& list, const std::map<std::string, std::string>& set)
{
    return item_xml(list, HEADER_RULE, set);
}

class HeaderFilterTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
        wired_->request = http_header_parse_request(
            "GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\nX-Secret: s\r\nX-Public: p\r\nUser-Agent: ua\r\n\r\n");
        ASSERT_NE(wired_->request, nullptr);
        response_ = http_header_parse_response(
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Powered-By: php\r\nX-Secret: r\r\n\r\n");
        ASSERT_NE(response_, nullptr);
        wired_->response = response_.get();
    }
    void TearDown() override
    {
        wired_->response = nullptr;
        load("deny_allow", "", false);
    }

    void load(const std::string& order, const std::string& rules, bool enabled = true)
    {
        section_load(*header_section, std::string("<header-filtering><enabled>") + (enabled ? "true" : "false") +
                                          "</enabled><order>" + order + "</order>" + rules + "</header-filtering>");
    }

    // "name: value" of each line the writer would take from the filtered list.
    static std::vector<std::string> emitted(const HEADER& header)
    {
        std::vector<std::string> out;
        for (const HTTP_HEADER& line : (header.flags & HEADER_FILTERED) ? header.filtered : header.lines) {
            if (line.type == HTTP_HEADER_PASS)
                out.push_back(line.name + ": " + line.value);
        }
        return out;
    }

    road::Wired wired_{false};
    HeaderPtr response_;
};

TEST_F(HeaderFilterTest, RulesRemoveAndAddLinesByDirection)
{
    struct Case {
        const char* what;
        std::string order;
        std::string rules;
        std::vector<std::string> request, response;
    };
    const Case cases[] = {
        {"no rules, deny first: as received", "deny_allow", "", {"X-Secret: s", "X-Public: p"},
         {"X-Powered-By: php", "X-Secret: r"}},
        {"no rules, allow first: every line goes", "allow_deny", "", {}, {}},
        {"mask 1 never touches a response", "deny_allow", rule("deny", {{"name", "^x-secret$"}, {"direction", "1"}}),
         {"X-Public: p"}, {"X-Powered-By: php", "X-Secret: r"}},
        {"mask 3 applies to both", "deny_allow", rule("deny", {{"name", "^X-Secret$"}}), {"X-Public: p"},
         {"X-Powered-By: php"}},
        {"value pattern", "deny_allow", rule("deny", {{"value", "^p"}}), {"X-Secret: s"}, {"X-Secret: r"}},
        {"allowed again after a deny", "deny_allow",
         rule("deny", {{"name", "^X-"}}) + rule("allow", {{"value", "^p$"}}), {"X-Public: p"}, {}},
        {"allow first then a deny", "allow_deny",
         rule("allow", {{"name", "^X-"}}) + rule("deny", {{"name", "Powered"}}), {"X-Secret: s", "X-Public: p"},
         {"X-Secret: r"}},
        {"a broken pattern matches as if empty", "deny_allow", rule("deny", {{"name", "(["}, {"value", "^s$"}}),
         {"X-Public: p"}, {"X-Powered-By: php", "X-Secret: r"}},
        {"adds: every match, literal, empty value adds nothing", "deny_allow",
         rule("add", {{"name", "X-A"}, {"value", "@CLIENTID@"}, {"direction", "1"}}) +
             rule("add", {{"name", "X-A"}, {"value", "two"}}) + rule("add", {{"name", "X-Empty"}}) +
             rule("add", {{"name", "X-Off"}, {"value", "1"}, {"enabled", "false"}}),
         {"X-Secret: s", "X-Public: p", "X-A: @CLIENTID@", "X-A: two"}, {"X-Powered-By: php", "X-Secret: r", "X-A: two"}},
        {"added lines skip the lists", "allow_deny", rule("add", {{"name", "X-A"}, {"value", "1"}}), {"X-A: 1"},
         {"X-A: 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.order, c.rules);
        for (HEADER* header : {wired_->request.get(), response_.get()}) {
            header->flags &= ~HEADER_FILTERED;
            header->filtered.clear();
        }
        header_section->filter(wired_.get(), HEADERFILTER_REQUEST);
        header_section->filter(wired_.get(), HEADERFILTER_RESPONSE);
        EXPECT_EQ(emitted(*wired_->request), c.request);
        EXPECT_EQ(emitted(*response_), c.response);
    }
}

TEST_F(HeaderFilterTest, FieldLinesAreWrittenWhateverTheFilterSays)
{
    load("allow_deny", rule("deny", {{"name", "^Content-Type$"}}));
    header_section->filter(wired_.get(), HEADERFILTER_RESPONSE);
    Filebuf out;
    header_send_filebuf(&out, response_.get(), wired_.get(), HEADER_TO_CLIENT);
    const std::string text(out.data(), out.size());
    EXPECT_NE(text.find("Content-Type: text/html\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("X-Powered-By"), std::string::npos) << text;
    EXPECT_TRUE(road::was_logged("header: ", "removed: from server: X-Powered-By: php"))
        << testing::PrintToString(road::logged(""));
}

TEST_F(HeaderFilterTest, FilteringAgainAddsNothingTwice)
{
    load("deny_allow", rule("add", {{"name", "X-A"}, {"value", "1"}}));
    header_section->filter(wired_.get(), HEADERFILTER_REQUEST);
    header_section->filter(wired_.get(), HEADERFILTER_REQUEST);
    EXPECT_EQ(emitted(*wired_->request), (std::vector<std::string>{"X-Secret: s", "X-Public: p", "X-A: 1"}));
}

TEST_F(HeaderFilterTest, BypassOrADisabledSectionLeavesTheReceivedLines)
{
    load("allow_deny", rule("add", {{"name", "X-A"}, {"value", "1"}}), false);
    header_section->filter(wired_.get(), HEADERFILTER_REQUEST);
    EXPECT_EQ(wired_->request->flags & HEADER_FILTERED, 0);
    load("allow_deny", rule("add", {{"name", "X-A"}, {"value", "1"}}));
    wired_->bypass = BYPASS_HEADER;
    header_section->filter(wired_.get(), HEADERFILTER_REQUEST);
    EXPECT_EQ(wired_->request->flags & HEADER_FILTERED, 0);
    EXPECT_TRUE(wired_->request->filtered.empty());
}

} // namespace
