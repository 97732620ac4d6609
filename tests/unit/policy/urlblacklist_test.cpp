#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/threads.h"
#include "daemon/sections.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/urlblacklist.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

namespace fs = std::filesystem;

const XmlFields URLBL_RULE = {
    {"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"categories", ""}, {"template", ""}};

std::string allow(const std::map<std::string, std::string>& set) { return item_xml("allow", URLBL_RULE, set); }
std::string deny(const std::map<std::string, std::string>& set) { return item_xml("deny", URLBL_RULE, set); }

void write_file(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A tree of a few categories as list publishers ship them: comments, a file with CRLF line ends,
// paths in "urls", a category without lists and a stray file beside the categories.
class BlacklistTreeFixture : public testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = testing::TempDir() + "urlbl.XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        write_file(dir_ / "ads/domains", "# advertising\nads.example\ndoubleclick.test\n");
        write_file(dir_ / "ads/urls", "news.example/ads/\nads.example/only/this\nplain.example\nnews.example/Banner\n");
        write_file(dir_ / "news/domains", "news.example\nads.example\n");
        write_file(dir_ / "dos/domains", "crlf.example\r\nother.example\r\n");
        fs::create_directories(dir_ / "empty");
        write_file(dir_ / "README", "not a category\n");
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(BlacklistTreeFixture, ReadsEveryCategoryDirectoryAndItsLists)
{
    const std::unique_ptr<BlacklistTree> tree = blacklist_read(dir_.string());
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->count, 4) << "the empty category counts, the stray file does not";
    std::vector<std::string> names;
    for (const auto& [name, category] : tree->categories)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"ads", "dos", "empty", "news"}));

    const BlacklistCategory& ads = tree->categories.at("ads");
    struct Case {
        const char* domain;
        const char* path;
        bool covered;
    };
    const Case cases[] = {
        {"ads.example", "/anything", true},            // whole domain: its "urls" line is ignored
        {"doubleclick.test", "/", true},
        {"news.example", "/ads/banner.gif", true},       // listed path prefix
        {"news.example", "/ADS/x", true},               // in any letter case
        {"news.example", "/ad", false},
        {"news.example", "/news/ads/", false},           // a prefix, not a substring
        {"news.example", "/banner/1", true},             // second path of the same domain
        {"plain.example", "/whatever", true},            // no "/": the empty path covers all
        {"plain.example", "", true},
        {"# advertising", "/", true},                    // a comment is an entry that no host spells
        {"example", "/", false},
        {"sub.ads.example", "/", false},                 // suffixes are the caller's to form
    };
    for (const Case& c : cases)
        EXPECT_EQ(ads.covers(c.domain, c.path), c.covered) << c.domain << c.path;
    std::vector<std::string> walked;
    ads.each([&walked](std::string_view domain, const std::vector<std::string_view>& paths) {
        walked.push_back(std::string(domain) + ":" + std::to_string(paths.size()));
    });
    EXPECT_EQ(walked, (std::vector<std::string>{"# advertising:0", "ads.example:0", "doubleclick.test:0",
                                                "news.example:2", "plain.example:1"}));
    EXPECT_TRUE(ads.paths("ads.example").empty());
    EXPECT_EQ(ads.paths("news.example"), (std::vector<std::string_view>{"/ads/", "/Banner"}));

    const BlacklistCategory& dos = tree->categories.at("dos");
    EXPECT_FALSE(dos.listed("crlf.example")) << "the carriage return stays part of the entry";
    EXPECT_TRUE(dos.listed("crlf.example\r"));
    EXPECT_EQ(tree->categories.at("empty").domains(), 0u);

    EXPECT_EQ(blacklist_read((dir_ / "missing").string()), nullptr);
}

TEST(BlacklistCategory, OverlongLinesAreReadInPieces)
{
    BlacklistCategory category;
    const std::string head(URLBL_LINE_MAX, 'a');
    category.add_domain(head);
    category.add_domain("tail.example");
    category.add_url(std::string(600, 'b') + "/path");
    category.finish();
    EXPECT_TRUE(category.listed(head));
    EXPECT_TRUE(category.listed("tail.example"));
    EXPECT_EQ(category.paths(std::string(URLBL_DOMAIN_MAX, 'b')), (std::vector<std::string_view>{"/path"}))
        << "a urls domain is cut to its limit";

    std::string templ = testing::TempDir() + "urlbl.XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    write_file(fs::path(templ) / "long/domains", head + "tail.example\nnext.example");
    const std::unique_ptr<BlacklistTree> tree = blacklist_read(templ);
    fs::remove_all(templ);
    ASSERT_NE(tree, nullptr);
    const BlacklistCategory& read = tree->categories.at("long");
    EXPECT_TRUE(read.listed(head));
    EXPECT_TRUE(read.listed("tail.example")) << "the rest of an overlong line is an entry of its own";
    EXPECT_TRUE(read.listed("next.example")) << "a last line without a line feed";
    EXPECT_EQ(read.domains(), 3u);
}

TEST(UrlblSuffixes, FromTheLastLabelToTheWholeHost)
{
    EXPECT_EQ(urlbl_suffixes("www.Ads.Example"), (std::vector<std::string>{"example", "ads.example", "www.ads.example"}));
    EXPECT_EQ(urlbl_suffixes("ads.example."), (std::vector<std::string>{"example", "ads.example"}));
    EXPECT_EQ(urlbl_suffixes(".a..b.example"), (std::vector<std::string>{"example", "b.example", "a.b.example"}));
    EXPECT_TRUE(urlbl_suffixes("").empty());
}

class UrlblTest : public BlacklistTreeFixture {
protected:
    void SetUp() override
    {
        BlacklistTreeFixture::SetUp();
        road::sections_create();
        sections_create({"urlblacklist"});
        road::log_clear();
    }
    void TearDown() override
    {
        load("deny_allow", "", "", false);
        BlacklistTreeFixture::TearDown();
    }

    void load(const std::string& order, const std::string& templ, const std::string& rules, bool enabled = true)
    {
        section_load(*urlbl_section, std::string("<urlblacklist><enabled>") + (enabled ? "true" : "false") +
                                         "</enabled><order>" + order + "</order><directory>" + dir_.string() +
                                         "</directory><template>" + templ + "</template>" + rules +
                                         "</urlblacklist>");
    }

    static void request(road::Wired& wired, const std::string& line)
    {
        wired->request = http_header_parse_request(line + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr) << line;
    }
};

TEST_F(UrlblTest, LoadingCountsCategoriesOrKeepsWhatItHad)
{
    load("deny_allow", "", "");
    urlbl_section->load();
    EXPECT_TRUE(road::was_logged("URL blacklist: ", "loaded 4 categories"));
    const std::shared_ptr<const BlacklistTree> before = urlbl_section->tree();
    EXPECT_EQ(before->categories.size(), 4u);

    const std::string missing = (dir_ / "missing").string();
    section_load(*urlbl_section, "<urlblacklist><enabled>true</enabled><order>deny_allow</order><directory>" +
                                     missing + "</directory><template></template></urlblacklist>");
    urlbl_section->load();
    EXPECT_TRUE(road::was_logged("URL blacklist: ", "failed to load URL blacklist from " + missing));
    EXPECT_EQ(urlbl_section->tree(), before);

    // A new tree is built aside: a check that holds the old one keeps it whole.
    fs::remove_all(dir_ / "ads");
    load("deny_allow", "", "");
    urlbl_section->load();
    EXPECT_EQ(urlbl_section->tree()->categories.count("ads"), 0u);
    EXPECT_TRUE(before->categories.at("ads").listed("ads.example"));
}

// Checks on a thread of the thread table (it logs each match) while the lists are loaded again.
struct Checker {
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<int> checks{0};
    std::atomic<int> wrong{0};

    static void* run(void* arg)
    {
        auto* self = static_cast<Checker*>(arg);
        while (!self->stop || self->checks == 0) {
            road::Wired wired(false);
            wired->request = http_header_parse_request("GET http://ads.example/ HTTP/1.1\r\nHost: x\r\n\r\n");
            if (urlbl_section->check(wired.get()) == nullptr)
                ++self->wrong;
            ++self->checks;
        }
        self->finished = true;
        return nullptr;
    }
};

TEST_F(UrlblTest, ChecksGoOnWhileTheListsAreLoadedAgain)
{
    load("deny_allow", "", deny({{"categories", "ads"}}));
    urlbl_section->load();
    Checker checker;
    ASSERT_GE(thread_create_internal(&Checker::run, &checker), 0);
    for (int i = 0; i < 20; ++i)
        urlbl_section->load();
    checker.stop = true;
    while (!checker.finished)
        std::this_thread::yield();
    EXPECT_GT(checker.checks, 0);
    EXPECT_EQ(checker.wrong, 0) << "every check saw a whole tree, never a half-built or empty one";
}

TEST_F(UrlblTest, VerdictsAndTheCategoryTheyName)
{
    load("deny_allow", "", "");
    urlbl_section->load();
    struct Case {
        const char* what;
        std::string order;
        std::string rules;
        std::string request;
        std::optional<std::string> blocked_by;   // comment, "(default)", or nullopt: passes
        std::string category = "";               // CATEGORY afterwards; empty: unset
        std::string profile = "";
        std::uint32_t bypass = 0;
    };
    const std::string ads = deny({{"comment", "ads"}, {"categories", "ads"}});
    const Case cases[] = {
        {"a listed domain", "deny_allow", ads, "GET http://ads.example/x", "ads", "ads"},
        {"a host under a listed domain", "deny_allow", ads, "GET http://WWW.ads.example/x", "ads", "ads"},
        {"a final dot does not escape", "deny_allow", ads, "GET http://www.ads.example./x", "ads", "ads"},
        {"a domain that merely ends alike", "deny_allow", ads, "GET http://badads.example/", std::nullopt},
        {"a listed path prefix", "deny_allow", ads, "GET http://www.news.example/Ads/1.gif", "ads", "ads"},
        {"another path of that domain", "deny_allow", ads, "GET http://news.example/sport", std::nullopt},
        {"escaped letters of a listed path", "deny_allow", ads, "GET http://news.example/%61%44s/1.gif", "ads", "ads"},
        {"an escaped slash is no slash", "deny_allow", ads, "GET http://news.example/ads%2F1.gif", std::nullopt},
        {"CRLF entries match nothing", "deny_allow", deny({{"comment", "dos"}, {"categories", "dos"}}),
         "GET http://crlf.example/", std::nullopt},
        {"CONNECT", "deny_allow", ads, "CONNECT ads.example:443", "ads", "ads"},
        {"deny ads, allow news: listed in both passes with news", "deny_allow",
         ads + allow({{"categories", "news"}}), "GET http://ads.example/", std::nullopt, "news"},
        {"the first category in name order decides", "deny_allow",
         deny({{"comment", "both"}, {"categories", "news,ads"}}), "GET http://ads.example/", "both", "ads"},
        {"a category the tree lacks", "deny_allow", deny({{"categories", "porn"}}), "GET http://ads.example/",
         std::nullopt},
        {"category names are exact", "deny_allow", deny({{"categories", "ADS"}}), "GET http://ads.example/",
         std::nullopt},
        {"allow first: unlisted is blocked by default", "allow_deny", allow({{"categories", "news"}}),
         "GET http://other.example/", "(default)"},
        {"allow first: allowed", "allow_deny", allow({{"categories", "news"}}), "GET http://news.example/",
         std::nullopt, "news"},
        {"allow first: a deny rule still blocks", "allow_deny", allow({{"categories", "news"}}) + ads,
         "GET http://ads.example/", "ads", "ads"},
        {"disabled rule", "deny_allow", deny({{"enabled", "false"}, {"categories", "ads"}}),
         "GET http://ads.example/", std::nullopt},
        {"profile not met", "deny_allow", deny({{"profiles", "kids"}, {"categories", "ads"}}),
         "GET http://ads.example/", std::nullopt},
        {"profile met", "deny_allow", deny({{"comment", "kids"}, {"profiles", "kids"}, {"categories", "ads"}}),
         "GET http://ads.example/", "kids", "ads", "kids"},
        {"the bare bypass command's bit", "deny_allow", ads, "GET http://ads.example/", std::nullopt, "", "",
         BYPASS_URLBLACKLIST},
        {"a lettered bypass does not reach this bit", "deny_allow", ads, "GET http://ads.example/", "ads", "ads", "",
         BYPASS_URLFILTER | BYPASS_DNSBL},
    };
    for (const Case& c : cases) {
        load(c.order, "", c.rules);
        road::Wired wired(false);
        request(wired, c.request);
        if (!c.profile.empty())
            wired->profiles.push_back(c.profile);
        wired->bypass = c.bypass;
        const std::shared_ptr<const URLBL> rule = urlbl_section->check(wired.get());
        const std::optional<std::string> got =
            rule == nullptr ? std::nullopt : std::optional<std::string>(rule->fields.empty() ? "(default)" : rule->comment);
        EXPECT_EQ(got, c.blocked_by) << c.what;
        if (c.category.empty()) {
            EXPECT_EQ(wired->variables.count("CATEGORY"), 0u) << c.what;
        } else {
            EXPECT_EQ(std::string_view(wired->variables["CATEGORY"]), c.category) << c.what;
            EXPECT_EQ(wired->variables["FILTER"], "URL BlackList") << c.what;
            EXPECT_EQ(wired->logentry.filter_name, "urlbl") << c.what;
            EXPECT_EQ(wired->logentry.filtering_reason, c.category) << c.what;
        }
    }
    EXPECT_TRUE(road::was_logged("URL blacklist: ", "match found in news category"));
}

TEST_F(UrlblTest, WithoutListsOnlyTheDefaultDecides)
{
    for (const auto& [order, blocked] : {std::pair{"deny_allow", false}, std::pair{"allow_deny", true}}) {
        section_load(*urlbl_section, std::string("<urlblacklist><enabled>true</enabled><order>") + order +
                                         "</order><directory>" + (dir_ / "empty").string() +
                                         "</directory><template></template>" + allow({{"categories", "ads"}}) +
                                         "</urlblacklist>");
        urlbl_section->load();
        road::Wired wired(false);
        request(wired, "GET http://ads.example/");
        EXPECT_EQ(urlbl_section->check(wired.get()) != nullptr, blocked) << order;
    }
}

TEST_F(UrlblTest, ABlockSendsTheBlacklistedPageWithItsStatus)
{
    load("deny_allow", "", "");
    urlbl_section->load();
    struct Case {
        std::string section_template;
        std::string rule_template;
        std::string request;
        const char* status;
        const char* text;
    };
    const Case cases[] = {
        {"", "", "GET http://ads.example/a?b", "HTTP/1.1 200", "is in the blacklisted ads category"},
        {"", "", "CONNECT ads.example:443", "HTTP/1.1 404", "Page blacklisted"},
        {"blocked", "", "GET http://ads.example/a?b", "HTTP/1.1 200", "Page Blocked"},
        {"blocked", "imgfilter", "GET http://ads.example/a?b", "HTTP/1.1 200", "Possible pornographic image"},
    };
    for (const Case& c : cases) {
        load("deny_allow", c.section_template, deny({{"categories", "ads"}, {"template", c.rule_template}}));
        road::Wired wired(false);
        request(wired, c.request);
        EXPECT_EQ(urlbl_reqcheck(wired.get(), nullptr), 1);
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_EQ(sent.rfind(c.status, 0), 0u) << sent;
        EXPECT_NE(sent.find(c.text), std::string::npos) << sent;
        EXPECT_EQ(wired->logentry.filter_name, "urlbl");
        EXPECT_EQ(wired->logentry.filtering_reason, "ads");
    }
    EXPECT_TRUE(road::was_logged("URL blacklist: ", "blocked ads.example/a?b"));

    road::Wired passing(false);
    request(passing, "GET http://clean.example/");
    EXPECT_EQ(urlbl_section->check_and_block(passing.get()), 0);
    EXPECT_EQ(road::read_now(passing.client_peer), "");
}

} // namespace
