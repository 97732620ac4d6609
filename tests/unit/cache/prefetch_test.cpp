#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/htmlstream.h"
#include "cache/prefetch.h"
#include "core/threads.h"
#include "core/connection.h"
#include "http/header.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/url.h"

namespace {

const XmlFields PREFETCH_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},  {"tag", "img"},
                                 {"attribute", "src"}, {"pattern", ""}, {"maxsize", "0"}, {"maxdepth", "0"}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("rule", PREFETCH_RULE, set); }

class PrefetchTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        drain();
        road::log_clear();
        download_buffer("4M");
    }
    void TearDown() override
    {
        drain();
        load("", false);
        section_load(*general_section, "<general></general>");
    }

    // A stream holds at most the connection's download buffer limit.
    static void download_buffer(const std::string& limit)
    {
        section_load(*general_section,
                     "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, {{"maxdbuffer", limit}}) + "</general>");
    }

    static void load(const std::string& rules, bool enabled = true, int queuesize = 100, int hostlimit = 0)
    {
        section_load(*prefetch_section, std::string("<prefetch><enabled>") + (enabled ? "true" : "false") +
                                            "</enabled><threads>0</threads><queuesize>" + std::to_string(queuesize) +
                                            "</queuesize><hostlimit>" + std::to_string(hostlimit) + "</hostlimit>" +
                                            rules + "</prefetch>");
    }

    // Takes every queued entry off, head first.
    static std::vector<std::unique_ptr<PREFETCH_QUEUE>> drain()
    {
        std::vector<std::unique_ptr<PREFETCH_QUEUE>> taken;
        while (prefetch_section->queue_count() > 0)
            taken.push_back(prefetch_section->queue_take());
        return taken;
    }

    static std::vector<std::string> drained_urls()
    {
        std::vector<std::string> urls;
        for (const auto& entry : drain())
            urls.push_back(url_create(entry->url));
        return urls;
    }

    // A connection whose request for url was answered with the Content-Type given.
    ConnectionPtr page(const std::string& url, const std::string& type = "text/html; charset=utf-8")
    {
        ConnectionPtr connection = connection_new("127.0.0.1");
        connection->request = http_header_parse_request("GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_NE(connection->request, nullptr);
        response_ = http_header_parse_response("HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\n\r\n");
        connection->response = response_.get();
        return connection;
    }

    // Sets the stream up for the connection and feeds it the markup whole.
    static void feed(CONNECTION_T* connection, std::string_view markup)
    {
        prefetch_section->setup_callbacks(connection);
        htmlstream_feed(connection_htmlstream(connection), markup.data(), markup.size());
        htmlstream_flush(connection_htmlstream(connection));
    }

    static std::size_t logged_count(const std::string& message)
    {
        std::size_t count = 0;
        for (const std::string& line : road::logged("advice: "))
            count += line == message ? 1 : 0;
        return count;
    }

    HeaderPtr response_;
};

TEST_F(PrefetchTest, LinksResolveAgainstThePage)
{
    const HeaderPtr request =
        http_header_parse_request("GET http://Page.example:8080/dir/page.html?q=a/b HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_NE(request, nullptr);
    struct Case {
        std::string value;
        std::optional<std::string> link;
    } const cases[] = {
        {"/a.gif", "http://page.example:8080/a.gif"},
        {"b.gif", "http://page.example:8080/dir/b.gif"},
        {"sub/c.gif#top", "http://page.example:8080/dir/sub/c.gif"},
        {"http://other.example/d.gif", "http://other.example:80/d.gif"},
        {"ftp://files.example/e.txt", "ftp://files.example:21/e.txt"},
        // A network-path reference names another host, not a path on the page's host.
        {"//cdn.example/f.js", "http://cdn.example:80/f.js"},
        {"//cdn.example:81/g.js", "http://cdn.example:81/g.js"},
        {"http://bad.example:0/", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<URL> link = prefetch_link(*request, c.value);
        ASSERT_EQ(link.has_value(), c.link.has_value()) << c.value;
        if (link) {
            EXPECT_EQ(url_create(*link), *c.link) << c.value;
        }
    }
}

TEST_F(PrefetchTest, EachRuleTakesItsLinksFromThePageWhateverTheBlocks)
{
    load(rule({}) + rule({{"tag", "script"}, {"pattern", "\\.js$"}, {"maxsize", "1000"}}) +
         rule({{"tag", "link"}, {"attribute", "href"}, {"enabled", "false"}}) +
         rule({{"tag", "a"}, {"attribute", ""}}));
    const std::string markup =
        "<html><body><IMG Src=\"/a.gif\" alt=x><img src=b.gif>"
        "<!-- <img src=\"hidden.gif\"> -->"
        "<script src=\"ignored.txt\" src=\"app.JS\"></script>"
        "<link href=\"style.css\"><a href=\"next.html\">next</a>"
        "<img src=\"http://other.example/c.gif\"></body></html>";
    const std::vector<std::string> expected = {"http://page.example:80/a.gif", "http://page.example:80/dir/b.gif",
                                               "http://page.example:80/dir/app.JS", "http://other.example:80/c.gif"};
    for (std::size_t split = 0; split <= markup.size(); ++split) {
        ConnectionPtr connection = page("http://page.example/dir/page.html");
        prefetch_section->setup_callbacks(connection.get());
        HTMLStream* stream = connection_htmlstream(connection.get());
        ASSERT_NE(stream, nullptr);
        htmlstream_feed(stream, markup.data(), split);
        htmlstream_feed(stream, markup.data() + split, markup.size() - split);
        htmlstream_flush(stream);
        const std::vector<std::unique_ptr<PREFETCH_QUEUE>> queued = drain();
        std::vector<std::string> urls;
        for (const auto& entry : queued)
            urls.push_back(url_create(entry->url));
        ASSERT_EQ(urls, expected) << "split at " << split;
        // The script rule's size is each fetch's allowance; no size is no limit. Links of a
        // client's page are at depth 1 and carry no request lines.
        EXPECT_EQ(queued[0]->allowance, ALLOWANCE_UNLIMITED);
        EXPECT_EQ(queued[2]->allowance, 1000u);
        for (const auto& entry : queued) {
            EXPECT_EQ(entry->depth, 1);
            EXPECT_FALSE(entry->lines.has_value());
        }
    }
}

TEST_F(PrefetchTest, OnlyPlainHtmlResponsesOfMatchingRulesGetAStream)
{
    struct Case {
        const char* what;
        bool enabled;
        std::string rules;
        std::string type;
        std::uint32_t flags;
        std::vector<std::string> profiles;
        bool stream;
    } const cases[] = {
        {"html", true, rule({}), "TEXT/HTML", 0, {}, true},
        {"prefetching off", false, rule({}), "text/html", 0, {}, false},
        {"not html", true, rule({}), "text/plain", 0, {}, false},
        {"encrypted towards the origin", true, rule({}), "text/html", CONN_TLS, {}, false},
        {"no rule", true, "", "text/html", 0, {}, false},
        {"disabled rule", true, rule({{"enabled", "false"}}), "text/html", 0, {}, false},
        {"rule without a tag", true, rule({{"tag", ""}}), "text/html", 0, {}, false},
        {"other profiles", true, rule({{"profiles", "staff"}}), "text/html", 0, {"guests"}, false},
        {"its profile", true, rule({{"profiles", "staff"}}), "text/html", 0, {"staff"}, true},
    };
    for (const Case& c : cases) {
        load(c.rules, c.enabled);
        ConnectionPtr connection = page("http://page.example/", c.type);
        connection->flags = c.flags;
        for (const std::string& profile : c.profiles)
            connection->profiles.push_back(profile);
        prefetch_section->setup_callbacks(connection.get());
        EXPECT_EQ(connection_htmlstream(connection.get()) != nullptr, c.stream) << c.what;
    }
}

TEST_F(PrefetchTest, TheMaximumDepthStopsLinksOfDeeperPages)
{
    load(rule({{"maxdepth", "2"}}));
    for (const int depth : {0, 1, 2, 3}) {
        ConnectionPtr connection = page("http://page.example/p.html");
        connection->depth = depth;
        feed(connection.get(), "<img src=\"/x.gif\">");
        const std::vector<std::unique_ptr<PREFETCH_QUEUE>> queued = drain();
        ASSERT_EQ(queued.size(), depth < 2 ? 1u : 0u) << depth;
        if (!queued.empty()) {
            EXPECT_EQ(queued[0]->depth, depth + 1);
        }
    }
}

TEST_F(PrefetchTest, TheQueueRefusesBeyondItsSizeAndTheHostLimitAndIgnoresRepeats)
{
    const std::string full = "prefetch: max quesize: 3 cannot add this request into prefetch queue, consider "
                             "increasing the queuesize";
    const std::string host = "prefetch: max hostlimit: 2 cannot add this request into prefetch queue, consider "
                             "increasing the hostlimit";
    load("", true, 3, 2);
    auto url = [](const std::string& text) { return *url_parse(text); };
    EXPECT_TRUE(prefetch_section->queue_add(url("http://a.example/1"), {}, ALLOWANCE_UNLIMITED, 1));
    // The same resource again, in other capitals of its host, is dropped without a word.
    EXPECT_FALSE(prefetch_section->queue_add(url("http://A.example/1"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_TRUE(prefetch_section->queue_add(url("http://a.example/2"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_FALSE(prefetch_section->queue_add(url("http://a.example/3"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_EQ(logged_count(host), 1u);
    EXPECT_TRUE(prefetch_section->queue_add(url("http://b.example/1"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_FALSE(prefetch_section->queue_add(url("http://c.example/1"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_EQ(logged_count(full), 1u);
    EXPECT_EQ(prefetch_section->queue_urls(),
              (std::vector<std::string>{"http://a.example:80/1", "http://a.example:80/2", "http://b.example:80/1"}));

    // A worker taking the head makes room for one more, and the host has room again.
    const std::unique_ptr<PREFETCH_QUEUE> head = prefetch_section->queue_take();
    EXPECT_EQ(url_create(head->url), "http://a.example:80/1");
    EXPECT_TRUE(prefetch_section->queue_add(url("http://a.example/3"), {}, ALLOWANCE_UNLIMITED, 1));
    EXPECT_EQ(prefetch_section->queue_count(), 3u);
}

// A page of tags, fed as a transfer brings it and whole as a cache hit is: the links of its first
// tags are queued, and the stream stops at the connection's download buffer limit with a line
// saying so. Without a download buffer nothing is parsed.
TEST_F(PrefetchTest, APageIsParsedUpToTheDownloadBufferLimit)
{
    load(rule({}), true, 1000);
    std::string markup;
    for (int i = 0; markup.size() < (4u << 20); ++i)
        markup += "<img src=\"/" + std::to_string(i) + ".gif\"><b>x</b>";
    const std::string stopped = "HTML stream: parsing stopped: the page holds more than 65536 bytes";
    for (const std::size_t block : {std::size_t{16384}, markup.size()}) {
        SCOPED_TRACE(block);
        road::log_clear();
        download_buffer("64K");
        ConnectionPtr connection = page("http://page.example/p.html");
        prefetch_section->setup_callbacks(connection.get());
        HTMLStream* stream = connection_htmlstream(connection.get());
        ASSERT_NE(stream, nullptr);
        for (std::size_t at = 0; at < markup.size(); at += block)
            htmlstream_feed(stream, markup.data() + at, std::min(block, markup.size() - at));
        htmlstream_flush(stream);
        EXPECT_TRUE(stream->stopped());
        EXPECT_LE(stream->memory(), 65536u);
        const std::vector<std::string> warnings = road::logged("warning: ");
        EXPECT_EQ(std::count(warnings.begin(), warnings.end(), stopped), 1);
        const std::vector<std::string> urls = drained_urls();
        ASSERT_FALSE(urls.empty());
        EXPECT_LT(urls.size(), 1000u);
        EXPECT_EQ(urls.front(), "http://page.example:80/0.gif");
    }

    download_buffer("0");
    ConnectionPtr connection = page("http://page.example/p.html");
    feed(connection.get(), "<img src=\"/a.gif\">");
    EXPECT_TRUE(drained_urls().empty());
}

TEST_F(PrefetchTest, AQueuedFetchKeepsTheAskingRequestsLines)
{
    load("");
    const std::list<HTTP_HEADER> lines = {{HTTP_HEADER_PASS, "Cookie", "a=1"},
                                          {HTTP_HEADER_FIELD, "User-Agent", "Browser/1"}};
    ASSERT_TRUE(prefetch_section->queue_add(*url_parse("http://a.example/1"), lines, 5000, 1));
    const std::unique_ptr<PREFETCH_QUEUE> entry = prefetch_section->queue_take();
    ASSERT_TRUE(entry->lines.has_value());
    ASSERT_EQ(entry->lines->size(), 2u);
    EXPECT_EQ(entry->lines->front().value, "a=1");
    EXPECT_EQ(entry->allowance, 5000u);
    EXPECT_EQ(entry->clientid, thread_get_clientid());
}

} // namespace
