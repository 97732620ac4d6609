#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "http/header.h"
#include "http/request.h"
#include "policy/mime.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields MIME_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"host", ""},
                             {"file", ""},        {"mime", ""},    {"template", ""}};

std::string allow(const std::map<std::string, std::string>& set) { return item_xml("allow", MIME_RULE, set); }
std::string deny(const std::map<std::string, std::string>& set) { return item_xml("deny", MIME_RULE, set); }

class MimeTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
    void TearDown() override { load("deny_allow", "", "", false); }

    void load(const std::string& order, const std::string& templ, const std::string& rules, bool enabled = true)
    {
        section_load(*mime_section, std::string("<mime-filtering><enabled>") + (enabled ? "true" : "false") +
                                        "</enabled><order>" + order + "</order><template>" + templ + "</template>" +
                                        rules + "</mime-filtering>");
    }

    // A GET for url answered with the given Content-Type (nullopt: none).
    void exchange(road::Wired& wired, const std::string& url, const std::optional<std::string>& type)
    {
        wired->request = http_header_parse_request("GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr);
        std::string text = "HTTP/1.1 200 OK\r\n";
        if (type)
            text += "Content-Type: " + *type + "\r\n";
        response_ = http_header_parse_response(text + "\r\n");
        ASSERT_NE(response_, nullptr);
        wired->response = response_.get();
    }

    // The comment of the rule that blocks, "(default)" for the section's own decision, or
    // nullopt when the response passes.
    std::optional<std::string> verdict(const std::string& url, const std::optional<std::string>& type,
                                       const std::string& profile = "", std::uint32_t bypass = 0)
    {
        road::Wired wired(false);
        exchange(wired, url, type);
        if (!profile.empty())
            wired->profiles.push_back(profile);
        wired->bypass = bypass;
        const std::shared_ptr<const Mime> rule = mime_section->check(wired.get());
        wired->response = nullptr;
        if (rule == nullptr)
            return std::nullopt;
        return rule->fields.empty() ? std::string("(default)") : rule->comment;
    }

    HeaderPtr response_;
};

TEST_F(MimeTest, VerdictsFollowTheTwoPassOrderAndEachPattern)
{
    struct Case {
        const char* what;
        std::string order;
        std::string rules;
        std::string url;
        std::optional<std::string> type;
        std::optional<std::string> blocked_by;
        std::string profile = "";
        std::uint32_t bypass = 0;
    };
    const std::string images = deny({{"comment", "images"}, {"mime", "^image/"}});
    const Case cases[] = {
        {"type-only deny rule blocks images of any host", "deny_allow", images, "http://a.example/x.png",
         "IMAGE/PNG", "images"},
        {"other types pass", "deny_allow", images, "http://a.example/", "text/html", std::nullopt},
        {"no Content-Type never matches a type pattern", "deny_allow", images, "http://a.example/", std::nullopt,
         std::nullopt},
        {"an empty type pattern matches a response without Content-Type", "deny_allow",
         deny({{"comment", "any"}, {"host", "^a\\."}}), "http://a.example/", std::nullopt, "any"},
        {"the type pattern sees the parameters", "deny_allow",
         deny({{"comment", "utf8"}, {"mime", "charset=utf-8$"}}), "http://a.example/", "text/html; charset=utf-8",
         "utf8"},
        {"host pattern", "deny_allow", deny({{"comment", "b"}, {"host", "^b\\.example$"}}), "http://a.example/",
         "text/html", std::nullopt},
        {"path pattern", "deny_allow", deny({{"comment", "exe"}, {"file", "\\.exe$"}}), "http://a.example/setup.exe",
         "application/octet-stream", "exe"},
        {"escaped letters of the path", "deny_allow", deny({{"comment", "exe"}, {"file", "\\.exe$"}}),
         "http://a.example/setup.%65x%45", "application/octet-stream", "exe"},
        {"a numeric host in another spelling", "deny_allow",
         deny({{"comment", "loopback"}, {"host", "^127\\.0\\.0\\.1$"}}), "http://0177.1./", "text/html", "loopback"},
        {"an allow rule re-admits what a deny rule blocked", "deny_allow",
         images + allow({{"host", "^trusted\\."}}), "http://trusted.example/x.png", "image/png", std::nullopt},
        {"allow first with an empty allow list blocks by default", "allow_deny", "", "http://a.example/",
         "text/html", "(default)"},
        {"allow first: an allowed response passes", "allow_deny", allow({{"mime", "^text/"}}), "http://a.example/",
         "text/html", std::nullopt},
        {"allow first: a deny rule still blocks an allowed one", "allow_deny",
         allow({}) + deny({{"comment", "gif"}, {"mime", "gif"}}), "http://a.example/", "image/gif", "gif"},
        {"disabled rule", "deny_allow", deny({{"comment", "off"}, {"enabled", "false"}}), "http://a.example/",
         "text/html", std::nullopt},
        {"profile condition not met", "deny_allow", deny({{"comment", "kids"}, {"profiles", "kids"}}),
         "http://a.example/", "text/html", std::nullopt},
        {"profile condition met", "deny_allow", deny({{"comment", "kids"}, {"profiles", "kids"}}),
         "http://a.example/", "text/html", "kids", "kids"},
        {"bypass letter m", "deny_allow", images, "http://a.example/x.png", "image/png", std::nullopt, "",
         BYPASS_MIME},
        {"a broken pattern leaves that test out", "deny_allow", deny({{"comment", "broken"}, {"mime", "(["}}),
         "http://a.example/", "text/html", "broken"},
    };
    for (const Case& c : cases) {
        load(c.order, "", c.rules);
        EXPECT_EQ(verdict(c.url, c.type, c.profile, c.bypass), c.blocked_by) << c.what;
    }

    load("allow_deny", "", "", false);
    EXPECT_EQ(verdict("http://a.example/", "text/html"), std::nullopt) << "a disabled section blocks nothing";
}

TEST_F(MimeTest, ABlockSendsTheChosenTemplateAndRecordsWhy)
{
    struct Case {
        std::string section_template;
        std::string rule_template;
        const char* title;
    };
    const Case cases[] = {
        {"imgfilter", "blacklisted", "Page blacklisted"},
        {"imgfilter", "", "Possible pornographic image"},
        {"", "", "Page Blocked"},
    };
    for (const Case& c : cases) {
        load("deny_allow", c.section_template, deny({{"mime", "^image/"}, {"template", c.rule_template}}));
        road::Wired wired(false);
        exchange(wired, "http://pics.example/a.png", "image/png");
        EXPECT_FALSE(mime_section->check_and_block(wired.get()));
        wired->response = nullptr;
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_EQ(sent.rfind("HTTP/1.1 200", 0), 0u) << sent;
        EXPECT_NE(sent.find(c.title), std::string::npos) << sent;
        EXPECT_EQ(wired->variables["FILTER"], "MiMe Filter");
        EXPECT_EQ(wired->variables["MIME"], "image/png");
        EXPECT_EQ(wired->logentry.filter_name, "mime-filter");
        EXPECT_EQ(wired->logentry.filtering_reason, "image/png");
    }
    EXPECT_TRUE(road::was_logged("mime filter: ", "blocked: mime-type image/png from pics.example/a.png"));

    // Blocked by default, without a Content-Type: the texts say so.
    load("allow_deny", "", "");
    road::Wired wired(false);
    exchange(wired, "http://a.example/", std::nullopt);
    EXPECT_FALSE(mime_section->check_and_block(wired.get()));
    wired->response = nullptr;
    EXPECT_EQ(wired->variables["MIME"], "(UNKNOWN)");
    EXPECT_EQ(wired->logentry.filtering_reason, "(none)");
    EXPECT_TRUE(road::was_logged("mime filter: ", "blocked: mime-type (none) from a.example/"));

    // A response that passes leaves everything as it was.
    load("deny_allow", "", "");
    road::Wired passing(false);
    exchange(passing, "http://a.example/", "text/html");
    EXPECT_TRUE(mime_section->check_and_block(passing.get()));
    passing->response = nullptr;
    EXPECT_EQ(road::read_now(passing.client_peer), "");
    EXPECT_TRUE(passing->variables.empty());
    EXPECT_NE(passing->logentry.filter_name, "mime-filter");
}

TEST_F(MimeTest, ThePageShowsTheBlockingRuleOrNone)
{
    load("deny_allow", "", deny({{"comment", "no &lt;images&gt;"}, {"mime", "^image/"}}));
    road::Wired wired(false);
    exchange(wired, "http://pics.example/a.png?<b>", "image/png");
    std::string page(mime_section->check_show(wired.get())->view());
    EXPECT_NE(page.find("<title>MIME filter match for pics.example/a.png?&lt;b&gt;</title>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td width=\"20%\">Comment</td><td>no &lt;images&gt;</td>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td width=\"20%\">MIME type</td><td>^image/</td>"), std::string::npos) << page;
    EXPECT_EQ(page.find("None"), std::string::npos);

    wired->bypass = BYPASS_MIME;
    page = std::string(mime_section->check_show(wired.get())->view());
    EXPECT_NE(page.find("<tr><td align=\"center\" colspan=\"2\">None</td></tr>"), std::string::npos) << page;
    wired->response = nullptr;
}

} // namespace
