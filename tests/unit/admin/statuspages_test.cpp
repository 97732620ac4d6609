#include <gtest/gtest.h>

#include <sys/socket.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "admin/interface.h"
#include "admin/statuspages.h"
#include "core/global.h"
#include "core/threads.h"
#include "core/connection.h"
#include "http/header.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "road_fixture.h"
#include "util/filebuf.h"
#include "util/hash.h"
#include "util/log.h"

namespace {

constexpr const char* SCRIPT = "\"><script>alert(1)</script>";

class StatusPagesTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
    void TearDown() override
    {
        logbuffer_resize(global->logbuffer.get(), 1000);
        road::log_clear();
    }

    std::string render(InterfacePageFunction function, const std::string& arguments = "",
                       CONNECTION_T* connection = nullptr)
    {
        CGIMap args(arguments);
        road::Wired wired(false);
        Filebuf page;
        function(&page, args, connection != nullptr ? connection : wired.get());
        return std::string(page.view());
    }
};

// The data rows' classes in order of appearance.
std::vector<std::string> row_classes(const std::string& page)
{
    std::vector<std::string> out;
    static const std::regex row("<tr class=\"(listeven|listodd)\">");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), row); it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1]);
    return out;
}

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Whatever a client, a server or a log line carried reaches the administrator's page as text.
TEST_F(StatusPagesTest, ShownTextsAreEscaped)
{
    road::Wired wired(false);
    wired->request = http_header_parse_request(std::string("GET http://tarvodine/headers HTTP/1.1\r\nX-Evil: ") +
                                               SCRIPT + "\r\n\r\n");
    ASSERT_NE(wired->request, nullptr);
    putlog(LOG_WARNING, "from a server: %s", SCRIPT);
    {
        std::lock_guard lock(global->dnslock);
        hash_insert(global->dnscache.get(), std::string("evil") + SCRIPT, std::string(SCRIPT))->time = std::time(nullptr);
    }
    const std::string pages[] = {
        render(interface_page_headers, "", wired.get()),
        render(interface_page_log),
        render(interface_page_dnscache),
        render(interface_page_log, std::string("pattern=") + "%22%3E%3Cscript%3E"),
        render(interface_page_urlbl, "show=true&domain=%22%3E%3Cscript%3E&file=%22%3E%3Cscript%3E"),
    };
    {
        std::lock_guard lock(global->dnslock);
        hash_purge(global->dnscache.get(), std::string("evil") + SCRIPT);
    }
    for (const std::string& page : pages) {
        EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
    }
    EXPECT_NE(pages[0].find("&quot;&gt;&lt;script&gt;"), std::string::npos);
    EXPECT_NE(pages[1].find("&lt;script&gt;"), std::string::npos);
}

TEST_F(StatusPagesTest, LogPageActionsThenMatchingLines)
{
    putlog(LOG_WARNING, "first apple");
    putlog(LOG_WARNING, "second banana");
    putlog(LOG_WARNING, "third APPLE");

    struct Case { std::string arguments; int rows; std::string size_shown; };
    const Case cases[] = {
        {"", 3, "1000"},
        {"pattern=apple", 2, "1000"},         // without regard to case
        {"pattern=cherry", 0, "1000"},
        {"pattern=%28", 4, "1000"},           // does not compile (logged as it is): filters nothing
        {"size=-1", 4, "1000"},               // no change
        {"size=2", 2, "2"},                   // keeps the newest two
        {"size=0", 0, "0"},                   // off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string page = render(interface_page_log, c.arguments);
        EXPECT_EQ(static_cast<int>(row_classes(page).size()), c.rows) << page;
        EXPECT_NE(page.find("name=\"size\" size=\"10\" value=\"" + c.size_shown + "\""), std::string::npos) << page;
    }
    logbuffer_resize(global->logbuffer.get(), 1000);
    putlog(LOG_WARNING, "kept");
    // Emptied first, then resized: nothing from before survives, and new lines are kept again.
    render(interface_page_log, "clear=on&size=5");
    putlog(LOG_WARNING, "after");
    const std::string page = render(interface_page_log);
    EXPECT_EQ(page.find("kept"), std::string::npos);
    EXPECT_NE(page.find("after"), std::string::npos);
    EXPECT_NE(page.find("value=\"5\""), std::string::npos);
}

TEST_F(StatusPagesTest, NewestLineFirstAndRowsAlternate)
{
    putlog(LOG_WARNING, "older");
    putlog(LOG_WARNING, "newer");
    const std::string page = render(interface_page_log);
    EXPECT_LT(page.find("newer"), page.find("older"));
    EXPECT_EQ(row_classes(page), (std::vector<std::string>{"listeven", "listodd"}));
}

TEST_F(StatusPagesTest, HeadersPageListsBothListsWithOneAlternation)
{
    road::Wired wired(false);
    wired->request = http_header_parse_request("GET http://tarvodine/headers HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n");
    ASSERT_NE(wired->request, nullptr);
    wired->request->filtered = {{HTTP_HEADER_PASS, "A", "1"}};
    const std::string page = render(interface_page_headers, "", wired.get());
    EXPECT_LT(page.find("Unfiltered"), page.find("Filtered"));
    EXPECT_EQ(row_classes(page), (std::vector<std::string>{"listeven", "listodd", "listeven"}));
}

TEST_F(StatusPagesTest, ConnectionsShowServingSlotsOnly)
{
    struct Slot { int state; const char* url; bool shown; };
    const Slot slots[] = {
        {THREAD_SERVING, "http://serving.test/", true},
        {THREAD_PREFETCHING, "http://prefetching.test/", true},
        {THREAD_IDLE, "http://idle.test/", false},
        {THREAD_STARTED, "http://started.test/", false},
    };
    const int first = MAXTHREADS - static_cast<int>(std::size(slots));
    std::vector<int> saved;
    {
        std::lock_guard lock(threadlistlock);
        for (std::size_t i = 0; i < std::size(slots); ++i) {
            thread_t& slot = threads[first + static_cast<int>(i)];
            saved.push_back(slot.state.load());
            slot.state = slots[i].state;
            slot.url = slots[i].url;
            slot.method = "";
            slot.ip = "10.0.0.1";
        }
    }
    const std::string page = render(interface_page_connections);
    {
        std::lock_guard lock(threadlistlock);
        for (std::size_t i = 0; i < std::size(slots); ++i) {
            thread_t& slot = threads[first + static_cast<int>(i)];
            slot.state = saved[i];
            slot.url.clear();
            slot.ip.clear();
        }
    }
    for (const Slot& slot : slots)
        EXPECT_EQ(page.find(slot.url) != std::string::npos, slot.shown) << slot.url;
    EXPECT_GE(count(page, "<td>NONE</td>"), 2);   // the slots without a method
    EXPECT_NE(page.find("Client pool"), std::string::npos);
}

TEST_F(StatusPagesTest, PoolShowsEachIdleUpstream)
{
    std::vector<int> peers;
    auto add = [&peers](const char* host, std::optional<std::string> user) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        peers.push_back(pair[1]);
        ServerKey key;
        key.protocol = "http";
        key.host = host;
        key.port = 8080;
        key.user = std::move(user);
        global->serverpool->Add(std::make_unique<Socket>(pair[0]), key);
    };
    add("first.test", std::nullopt);
    add("second.test", std::string("<b>bob</b>"));
    const std::string page = render(interface_page_pool);
    global->serverpool->Clean(1);
    for (const int peer : peers)
        close(peer);
    EXPECT_LT(page.find("first.test"), page.find("second.test"));   // oldest first
    EXPECT_NE(page.find("<td>(none)</td>"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;bob&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(count(page, "<td>8080</td>"), 2);
}

TEST_F(StatusPagesTest, BlacklistFormListsOnlyAfterASearch)
{
    const std::string first = render(interface_page_urlbl);
    EXPECT_NE(first.find("Search URL blacklist"), std::string::npos);
    EXPECT_NE(first.find("name=\"show\" value=\"true\""), std::string::npos);
    EXPECT_EQ(first.find("<td>Category</td>"), std::string::npos);
    const std::string searched = render(interface_page_urlbl, "show=true&domain=x");
    EXPECT_NE(searched.find("<td>Category</td>"), std::string::npos);
    EXPECT_NE(searched.find("value=\"x\""), std::string::npos);
}

TEST_F(StatusPagesTest, PrefetchIgnoresWhatIsNoUrl)
{
    const std::string page = render(interface_page_prefetch, "queue=not+a+url");
    EXPECT_NE(page.find("Add URL to prefetch queue"), std::string::npos);
    EXPECT_TRUE(row_classes(page).empty());
}

} // namespace
