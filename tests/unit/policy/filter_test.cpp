#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "dns_seed.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/filter.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields FILTER_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"host", ""},
                               {"file", ""},        {"ip", ""},      {"template", ""}};

std::string allow(const std::map<std::string, std::string>& set) { return item_xml("allow", FILTER_RULE, set); }
std::string deny(const std::map<std::string, std::string>& set) { return item_xml("deny", FILTER_RULE, set); }

class FilterTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dns_seed("inside.test", "10.1.2.3");
        dns_seed("outside.test", "192.168.7.7");
    }
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
    void TearDown() override { load("deny_allow", "", "", false); }

    void load(const std::string& order, const std::string& templ, const std::string& rules, bool enabled = true)
    {
        section_load(*filter_section, std::string("<url-filtering><enabled>") + (enabled ? "true" : "false") +
                                          "</enabled><order>" + order + "</order><template>" + templ +
                                          "</template>" + rules + "</url-filtering>");
    }

    static void request(road::Wired& wired, const std::string& line)
    {
        wired->request = http_header_parse_request(line + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr) << line;
    }

    // The comment of the rule that blocks, "(default)" for the section's own decision, or
    // nullopt when the request passes.
    std::optional<std::string> verdict(const std::string& line, const std::string& profile = "",
                                       std::uint32_t bypass = 0, std::uint32_t flags = 0)
    {
        road::Wired wired(false);
        request(wired, line);
        if (!profile.empty())
            wired->profiles.push_back(profile);
        wired->bypass = bypass;
        wired->flags |= flags;
        const std::shared_ptr<const Filter> rule = filter_section->check(wired.get());
        if (rule == nullptr)
            return std::nullopt;
        return rule->fields.empty() ? std::string("(default)") : rule->comment;
    }
};

TEST_F(FilterTest, RulesSeeEverySpellingOfAHostOrPathAsOne)
{
    load("deny_allow", "",
         deny({{"comment", "loopback"}, {"host", "^127\\.0\\.0\\.1$"}}) +
             deny({{"comment", "dir"}, {"file", "^/forbidden-dir/"}}) +
             deny({{"comment", "name"}, {"host", "^shop\\.example$"}}));
    struct Case { const char* request; std::optional<std::string> blocked_by; };
    const Case cases[] = {
        {"GET http://127.0.0.1/",                          "loopback"},
        {"GET http://127.1/",                              "loopback"},
        {"GET http://2130706433/",                         "loopback"},
        {"GET http://0177.0.0.1/",                         "loopback"},
        {"GET http://127.000.000.001/",                    "loopback"},
        {"GET http://0x7f.1/",                             "loopback"},
        {"GET http://127.0.0.1./",                         "loopback"},
        {"GET http://127.0.0.2/",                          std::nullopt},
        {"GET http://shop.example./",                      "name"},
        {"GET http://a.example/forbidden-dir/secret.txt",  "dir"},
        {"GET http://a.example/%66orbidden-dir/secret.txt", "dir"},
        {"GET http://a.example/%46ORBIDDEN%2Ddir/x",       "dir"},
        {"GET http://a.example/forbidden%2Ddir%2Fsecret",  std::nullopt},   // an escaped '/' is no '/'
        {"CONNECT 0x7f.0.0.1:443",                         "loopback"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(verdict(c.request), c.blocked_by) << c.request;
}

TEST_F(FilterTest, VerdictsFollowTheTwoPassOrderAndEachCondition)
{
    struct Case {
        const char* what;
        std::string order;
        std::string rules;
        std::string request;
        std::optional<std::string> blocked_by;
        std::string profile = "";
        std::uint32_t bypass = 0;
        std::uint32_t flags = 0;
    };
    const std::string shop = deny({{"comment", "shop"}, {"host", "shop"}});
    const std::string net10 = deny({{"comment", "net10"}, {"ip", "10.0.0.0-10.255.255.255"}});
    const Case cases[] = {
        {"order 0 without rules passes", "deny_allow", "", "GET http://a.example/", std::nullopt},
        {"order 1 without rules blocks by default", "allow_deny", "", "GET http://a.example/", "(default)"},
        {"host pattern is unanchored", "deny_allow", shop, "GET http://myshop.example/", "shop"},
        {"host pattern ignores letter case", "deny_allow", deny({{"comment", "upper"}, {"host", "SHOP"}}),
         "GET http://myshop.example/", "upper"},
        {"host pattern does not look at the path", "deny_allow", shop, "GET http://a.example/shop", std::nullopt},
        {"CONNECT host", "deny_allow", shop, "CONNECT shop.example:443", "shop"},
        {"path pattern", "deny_allow", deny({{"comment", "exe"}, {"file", "\\.EXE$"}}),
         "GET http://a.example/setup.exe", "exe"},
        {"host and path both needed", "deny_allow", deny({{"comment", "both"}, {"host", "shop"}, {"file", "^/pay"}}),
         "GET http://shop.example/cart", std::nullopt},
        {"resolved address inside the range", "deny_allow", net10, "GET http://inside.test/", "net10"},
        {"resolved address outside the range", "deny_allow", net10, "GET http://outside.test/", std::nullopt},
        {"a literal address", "deny_allow", net10, "GET http://10.9.9.9/", "net10"},
        {"range bounds are inclusive", "deny_allow", deny({{"comment", "one"}, {"ip", "10.1.2.3-10.1.2.3"}}),
         "GET http://inside.test/", "one"},
        {"offline holds the address condition without a lookup", "deny_allow", net10, "GET http://outside.test/",
         "net10", "", 0, CONN_OFFLINE},
        {"an allow rule re-admits", "deny_allow", shop + allow({{"file", "^/free"}}), "GET http://shop.example/free",
         std::nullopt},
        {"allow first: allowed passes", "allow_deny", allow({{"host", "example"}}), "GET http://a.example/",
         std::nullopt},
        {"allow first: a deny rule still blocks", "allow_deny", allow({}) + shop, "GET http://shop.example/", "shop"},
        {"first matching deny rule decides", "deny_allow", deny({{"comment", "first"}, {"host", "a"}}) + shop,
         "GET http://shop.example/", "first"},
        {"disabled rule", "deny_allow", deny({{"comment", "off"}, {"enabled", "false"}}), "GET http://a.example/",
         std::nullopt},
        {"profile not met", "deny_allow", deny({{"comment", "kids"}, {"profiles", "kids"}}), "GET http://a.example/",
         std::nullopt},
        {"profile met", "deny_allow", deny({{"comment", "kids"}, {"profiles", "kids"}}), "GET http://a.example/",
         "kids", "kids"},
        {"bypass letter f", "deny_allow", shop, "GET http://shop.example/", std::nullopt, "", BYPASS_URLFILTER},
        {"bypass of another filter", "deny_allow", shop, "GET http://shop.example/", "shop", "", BYPASS_MIME},
        {"a broken pattern leaves that test out", "deny_allow", deny({{"comment", "broken"}, {"host", "(["}}),
         "GET http://a.example/", "broken"},
    };
    for (const Case& c : cases) {
        load(c.order, "", c.rules);
        EXPECT_EQ(verdict(c.request, c.profile, c.bypass, c.flags), c.blocked_by) << c.what;
    }
    load("allow_deny", "", "", false);
    EXPECT_EQ(verdict("GET http://a.example/"), std::nullopt) << "a disabled section blocks nothing";
}

TEST_F(FilterTest, ABlockSendsTheChosenTemplateWithItsStatusAndRecordsIt)
{
    struct Case {
        std::string section_template;
        std::string rule_template;
        std::string request;
        const char* status;
        const char* title;
    };
    const Case cases[] = {
        {"imgfilter", "blacklisted", "GET http://shop.example/a?b", "HTTP/1.1 200", "Page blacklisted"},
        {"imgfilter", "", "GET http://shop.example/a?b", "HTTP/1.1 200", "Possible pornographic image"},
        {"", "", "GET http://shop.example/a?b", "HTTP/1.1 200", "Page Blocked"},
        {"", "", "CONNECT shop.example:443", "HTTP/1.1 404", "Page Blocked"},
    };
    for (const Case& c : cases) {
        load("deny_allow", c.section_template, deny({{"host", "shop"}, {"template", c.rule_template}}));
        road::Wired wired(false);
        request(wired, c.request);
        EXPECT_EQ(filter_reqcheck(wired.get(), nullptr), 1);
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_EQ(sent.rfind(c.status, 0), 0u) << sent;
        EXPECT_NE(sent.find(c.title), std::string::npos) << sent;
        EXPECT_EQ(wired->variables["FILTER"], "URL Filter");
        EXPECT_EQ(wired->logentry.filter_name, "url-filter");
        EXPECT_EQ(wired->logentry.filtering_reason, "-");
    }
    EXPECT_TRUE(road::was_logged("url filter: ", "blocked: shop.example/a?b"));

    // The default decision blocks with the section's page too.
    load("allow_deny", "blacklisted", "");
    road::Wired by_default(false);
    request(by_default, "GET http://a.example/");
    EXPECT_EQ(filter_section->check_and_block(by_default.get()), 1);
    EXPECT_NE(road::read_now(by_default.client_peer).find("Page blacklisted"), std::string::npos);

    load("deny_allow", "", deny({{"host", "shop"}}));
    road::Wired passing(false);
    request(passing, "GET http://a.example/");
    EXPECT_EQ(filter_section->check_and_block(passing.get()), 0);
    EXPECT_EQ(road::read_now(passing.client_peer), "");
    EXPECT_TRUE(passing->variables.empty());
    EXPECT_NE(passing->logentry.filter_name, "url-filter");
}

TEST_F(FilterTest, TheTestPageShowsTheBlockingRuleEscaped)
{
    load("deny_allow", "", deny({{"comment", "no &lt;shops&gt;"}, {"host", "shop"}}));
    road::Wired wired(false);
    request(wired, "GET http://shop.example/a?<script>");
    std::string page(filter_section->check_show(wired.get())->view());
    EXPECT_NE(page.find("<title>URL filter match for shop.example/a?&lt;script&gt;</title>"), std::string::npos) << page;
    EXPECT_NE(page.find("align=\"center\">URL filter match for shop.example/a?&lt;script&gt;</td>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("<td width=\"20%\">Comment</td><td>no &lt;shops&gt;</td>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td width=\"20%\">Host</td><td>shop</td>"), std::string::npos) << page;
    EXPECT_EQ(page.find("None"), std::string::npos);
    EXPECT_EQ(road::read_now(wired.client_peer), "") << "the page is the caller's to send";

    wired->bypass = BYPASS_URLFILTER;
    page = std::string(filter_section->check_show(wired.get())->view());
    EXPECT_NE(page.find("<tr><td align=\"center\" colspan=\"2\">None</td></tr>"), std::string::npos) << page;

    load("allow_deny", "", "");
    wired->bypass = 0;
    page = std::string(filter_section->check_show(wired.get())->view());
    EXPECT_NE(page.find("<tr><td align=\"center\" colspan=\"2\">Default</td></tr>"), std::string::npos) << page;
}

} // namespace
