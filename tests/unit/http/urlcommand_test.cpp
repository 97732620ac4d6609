#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "http/header.h"
#include "road_fixture.h"
#include "http/urlcommand.h"

using road::read_now;
using road::Wired;

namespace {

using namespace std::literals;

class UrlCommand : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

void request_set(CONNECTION_T* connection, std::string_view text)
{
    connection->request = http_header_parse_request(text);
    ASSERT_NE(connection->request, nullptr);
}

// The commands as their prefixes read; empty for none.
std::string prefixes(const url_command_list* commands)
{
    return commands != nullptr ? url_command_create(*commands) : std::string();
}

TEST(UrlCommandParse, TakesThePrefixesOffTheFront)
{
    struct Case {
        std::string_view text;
        const char* commands;   // as url_command_create writes them
        std::string_view left;
    };
    const Case cases[] = {
        {"xx--bypass.example.com", "xx--bypass.", "example.com"},
        {"XX--Template[blocked].example.com", "xx--Template[blocked].", "example.com"},
        {"xx--raw.xx--bypass[-f+k].example.com", "xx--raw.xx--bypass[-f+k].", "example.com"},
        {"xx--template[].example.com", "xx--template[].", "example.com"},
        {"xx--raw[open.example.com", "xx--raw.", "example.com"},       // no "]" before the dot
        {"xx--a[b]c.example.com", "xx--a[b].", "example.com"},
        {"xx--raw.", "xx--raw.", ""},
        {"xx--https", "", "xx--https"},                                 // no dot: no command
        {"example.com", "", "example.com"},
        {"xx--.example.com", "", "xx--.example.com"},                   // no name
        // Only letters, digits and "+_-." make a name or an option text.
        {"xx--raw\r\nX-Evil: 1.example.com", "", "xx--raw\r\nX-Evil: 1.example.com"},
        {"xx--template[a\r\nb].example.com", "", "xx--template[a\r\nb].example.com"},
        {"xx--ra\0w.example.com"sv, "", "xx--ra\0w.example.com"sv},
        {"xx--raw.xx--bad name.example.com", "xx--raw.", "xx--bad name.example.com"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        std::string text(c.text);
        const UrlCommands commands = url_command_parse(text);
        EXPECT_EQ(prefixes(commands.get()), c.commands);
        EXPECT_EQ(text, c.left);
        if (commands != nullptr) {
            EXPECT_FALSE(commands->empty());
        }
    }
}

TEST(UrlCommandParse, NamesAreFoundWithoutRegardToCase)
{
    std::string text = "xx--Template[blocked].xx--raw.host";
    const UrlCommands commands = url_command_parse(text);
    const url_command_t* templ = url_command_find(commands.get(), "TEMPLATE");
    ASSERT_NE(templ, nullptr);
    EXPECT_EQ(templ->command, "Template");
    EXPECT_EQ(templ->options, "blocked");
    ASSERT_NE(url_command_find(commands.get(), "raw"), nullptr);
    EXPECT_FALSE(url_command_find(commands.get(), "raw")->options.has_value());
    EXPECT_EQ(url_command_find(commands.get(), "bypass"), nullptr);
    EXPECT_EQ(url_command_find(nullptr, "raw"), nullptr);
}

TEST_F(UrlCommand, CommandsAreTakenFromTheHostTheHostLineOrTheFirstPathSegment)
{
    struct Case {
        const char* name;
        const char* request;
        const char* commands;
        const char* host;          // the request's host afterwards; null: none
        const char* host_header;   // the Host line afterwards; null: none
        const char* path;
        const char* url;           // null: none
    };
    const Case cases[] = {
        {"absolute", "GET http://xx--raw.origin.test/a HTTP/1.1\r\n\r\n", "xx--raw.", "origin.test", nullptr, "/a",
         "http://origin.test:80/a"},
        {"absolute with a port", "GET http://xx--https.xx--fresh.origin.test:8443/a?b HTTP/1.1\r\n\r\n",
         "xx--https.xx--fresh.", "origin.test", nullptr, "/a?b", "http://origin.test:8443/a?b"},
        {"absolute without commands", "GET http://origin.test/a HTTP/1.1\r\nHost: xx--raw.origin.test\r\n\r\n", "",
         "origin.test", "xx--raw.origin.test", "/a", "http://origin.test:80/a"},
        {"Host line", "GET /a HTTP/1.1\r\nHost: xx--raw.origin.test:81\r\n\r\n", "xx--raw.", nullptr,
         "origin.test:81", "/a", nullptr},
        {"first path segment", "GET /xx--raw./a/b HTTP/1.0\r\n\r\n", "xx--raw.", nullptr, nullptr, "/a/b", nullptr},
        {"encoded path segment", "GET /xx--template%5Bblocked%5D./a HTTP/1.0\r\n\r\n", "xx--template[blocked].",
         nullptr, nullptr, "/a", nullptr},
        {"path segment without commands", "GET /dir/a HTTP/1.0\r\n\r\n", "", nullptr, nullptr, "/dir/a", nullptr},
        {"a single path segment", "GET /xx--raw. HTTP/1.0\r\n\r\n", "", nullptr, nullptr, "/xx--raw.", nullptr},
        {"a segment decoding to a line break", "GET /xx--raw%0d%0a./a HTTP/1.0\r\n\r\n", "", nullptr, nullptr,
         "/xx--raw%0d%0a./a", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired(false);
        request_set(wired.get(), c.request);
        ASSERT_EQ(url_command_extract(wired.get()), 1);
        const HEADER* request = wired->request.get();
        EXPECT_EQ(prefixes(wired->url_commands.get()), c.commands);
        EXPECT_EQ(request->host, c.host ? HeaderText(c.host) : std::nullopt);
        EXPECT_EQ(request->host_header, c.host_header ? HeaderText(c.host_header) : std::nullopt);
        EXPECT_EQ(request->path, HeaderText(c.path));
        if (c.url != nullptr) {
            EXPECT_EQ(request->url, HeaderText(c.url));
        }
        EXPECT_EQ(read_now(wired.client_peer), "");
    }
}

TEST_F(UrlCommand, ARefererLendsItsCommandsToRequestsWithoutTheirOwn)
{
    struct Case {
        const char* name;
        const char* request;   // the Referer line is added
        const char* referer;
        const char* commands;
        const char* rewritten;   // the Referer afterwards
    };
    const Case cases[] = {
        {"a POST takes them over", "POST http://origin.test/form HTTP/1.1\r\nContent-Length: 0\r\n",
         "http://xx--raw.origin.test/page", "xx--raw.", "http://origin.test/page"},
        {"own commands win", "GET http://xx--bypass.origin.test/a HTTP/1.1\r\n", "http://xx--raw.origin.test/page",
         "xx--bypass.", "http://origin.test/page"},
        {"a GET without a host to redirect to", "GET /a HTTP/1.0\r\n", "http://xx--raw.origin.test/",
         "xx--raw.", "http://origin.test/"},
        {"the rest of the Referer kept as written", "HEAD http://origin.test/a HTTP/1.1\r\n",
         "http://xx--raw.origin.test:8080/p?q=a%20b&r=/x", "xx--raw.", "http://origin.test:8080/p?q=a%20b&r=/x"},
        {"encoded prefixes", "HEAD http://origin.test/a HTTP/1.1\r\n", "http://xx--template%5Bblocked%5D.origin.test/p",
         "xx--template[blocked].", "http://origin.test/p"},
        {"a decoded rest is written back encoded", "HEAD http://origin.test/a HTTP/1.1\r\n",
         "http://xx--template%5Bb%5D.origin.test/%0d%0aX-Evil:%201", "xx--template[b].",
         "http://origin.test/%0d%0aX-Evil%3a+1"},
        {"a prefix decoding to a line break is none", "HEAD http://origin.test/a HTTP/1.1\r\n",
         "http://xx--raw%0d%0aSet-Cookie:%20x=1.origin.test/", "", "http://xx--raw%0d%0aSet-Cookie:%20x=1.origin.test/"},
        {"no commands", "HEAD http://origin.test/a HTTP/1.1\r\n", "http://origin.test/p", "", "http://origin.test/p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired(false);
        request_set(wired.get(), std::string(c.request) + "Referer: " + c.referer + "\r\n\r\n");
        ASSERT_EQ(url_command_extract(wired.get()), 1);
        EXPECT_EQ(prefixes(wired->url_commands.get()), c.commands);
        EXPECT_EQ(wired->request->referer, HeaderText(c.rewritten));
        EXPECT_EQ(read_now(wired.client_peer), "");
    }
}

TEST_F(UrlCommand, AGetWithoutCommandsIsRedirectedWithTheReferrers)
{
    struct Case {
        const char* name;
        const char* request;
        const char* location;
        int keepalive;   // the client keep-alive flag afterwards
    };
    const Case cases[] = {
        {"absolute", "GET http://origin.test/a?b HTTP/1.1\r\nReferer: http://xx--raw.origin.test/page\r\n\r\n",
         "http://xx--raw.origin.test:80/a?b", 1},
        {"Host line with a port",
         "GET /a HTTP/1.1\r\nHost: origin.test:8080\r\nReferer: http://XX--Raw.xx--bypass[-f].o.test/\r\n\r\n",
         "http://xx--Raw.xx--bypass[-f].origin.test:8080/a", 1},
        {"a body that is never read",
         "GET http://origin.test/a HTTP/1.1\r\nContent-Length: 3\r\nReferer: http://xx--raw.o.test/\r\n\r\n",
         "http://xx--raw.origin.test:80/a", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired(false);
        request_set(wired.get(), c.request);
        wired->keepalive_client = 1;
        ASSERT_EQ(url_command_extract(wired.get()), 0);
        const std::string answer = read_now(wired.client_peer);
        EXPECT_EQ(answer.rfind("HTTP/1.1 302 ", 0), 0u) << answer;
        EXPECT_NE(answer.find("\r\nLocation: "s + c.location + "\r\n"), std::string::npos) << answer;
        EXPECT_NE(answer.find("\r\nContent-Length: 0\r\n"), std::string::npos) << answer;
        EXPECT_EQ(wired->keepalive_client, c.keepalive);
        EXPECT_EQ(wired->url_commands, nullptr);
    }
}

TEST_F(UrlCommand, LocationsGetTheRequestsSchemeAndPrefixes)
{
    Wired wired(false);
    request_set(wired.get(), "GET http://xx--raw.origin.test:8080/dir/page.html?x=/y HTTP/1.1\r\n\r\n");
    ASSERT_EQ(url_command_extract(wired.get()), 1);
    struct Case {
        std::string url;
        std::string added;
    };
    const Case cases[] = {
        {"http://other.test/x", "http://xx--raw.other.test/x"},
        {"https://other.test:444/x", "http://xx--raw.other.test:444/x"},
        {"/new/path", "http://xx--raw.origin.test:8080/new/path"},
        {"file.html", "http://xx--raw.origin.test:8080/dir/file.html"},
        {"/go?to=http://evil.test/", "http://xx--raw.origin.test:8080/go?to=http://evil.test/"},
        {"go?to=http://evil.test/", "http://xx--raw.origin.test:8080/dir/go?to=http://evil.test/"},
        {"//cdn.test/x", "http://xx--raw.cdn.test/x"},
        {"/" + std::string(5000, 'a'), ("http://xx--raw.origin.test:8080/" + std::string(5000, 'a')).substr(0, 4095)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 40));
        EXPECT_EQ(url_command_add(wired.get(), c.url), c.added);
    }
}

TEST_F(UrlCommand, EachCommandIsLogged)
{
    std::string text = "xx--bypass.xx--template[blocked].host";
    const UrlCommands commands = url_command_parse(text);
    url_command_log(commands.get());
    url_command_log(nullptr);
    const std::vector<std::string> lines = road::logged("URL command: ");
    EXPECT_EQ(lines, (std::vector<std::string>{"command: bypass", "command: template, options: blocked"}));
}

} // namespace
