#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "http/header.h"
#include "http/request.h"
#include "http/urlcommand.h"
#include "policy/redirect.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

const XmlFields REDIRECT_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"url", ""},
                                 {"redirect", ""},    {"port", "-1"},  {"send302", "0"},  {"options", "0"},
                                 {"applyto", "1"}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("redirect", REDIRECT_RULE, set); }

class RedirectTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
    void TearDown() override { load("", false); }

    void load(const std::string& rules, bool enabled = true)
    {
        section_load(*redirect_section, std::string("<redirect><enabled>") + (enabled ? "true" : "false") +
                                            "</enabled>" + rules + "</redirect>");
    }

    static void request(road::Wired& wired, const std::string& line)
    {
        wired->request = http_header_parse_request(line + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr) << line;
    }
};

TEST_F(RedirectTest, ARequestRewrittenInPlaceFetchesTheNewUrl)
{
    struct Case {
        const char* what;
        std::string rules;
        std::string line;
        // What the request then asks for: scheme, host, port, path; "" host: none.
        std::string scheme, host;
        int port;
        std::string path;
        std::uint32_t bypass = 0;
    };
    const std::string to_b = rule({{"url", "^http://a\\.example/(.*)"}, {"redirect", "http://b.example/$1"}});
    const Case cases[] = {
        {"the port is not in the subject and stays", to_b, "GET http://a.example:8080/x?y=1", "http", "b.example", 8080,
         "/x?y=1"},
        {"the port field gives another one",
         rule({{"url", "^http://a\\.example/(.*)"}, {"redirect", "https://b.example/$1"}, {"port", "8443"}}),
         "GET http://a.example/x", "https", "b.example", 8443, "/x"},
        {"a path-only template keeps scheme and host",
         rule({{"url", "/old/(.*)"}, {"redirect", "/new/$1"}}), "GET http://a.example/old/p", "http", "a.example", 80,
         "/new/p"},
        {"a host with a port but no scheme keeps the port in the host text",
         rule({{"url", "^http://a\\.example/"}, {"redirect", "b.example:8000/z"}}), "GET http://a.example/",
         "http", "b.example:8000", 80, "/z"},
        {"a new URL without a path asks for /", rule({{"url", "a\\.example"}, {"redirect", "http://b.example"}}),
         "GET http://a.example/deep/page", "http", "b.example", 80, "/"},
        {"variables and captures expand; the template is the whole new URL",
         rule({{"url", "^http://(a)\\.example/"}, {"redirect", "http://@METHOD@.$1.example/"}}),
         "GET http://a.example/ignored", "http", ".a.example", 80, "/"},
        {"option 2 matches the URL decoded",
         rule({{"url", "/x/y$"}, {"redirect", "http://b.example/found"}, {"options", "2"}}), "GET http://a.example/x%2Fy",
         "http", "b.example", 80, "/found"},
        {"without option 2 an escaped reserved character does not match",
         rule({{"url", "/x/y$"}, {"redirect", "http://b.example/found"}}), "GET http://a.example/x%2Fy", "http",
         "a.example", 80, "/x%2Fy"},
        {"escapes of unreserved characters and a numeric host are matched in their one spelling",
         rule({{"url", "^http://127\\.0\\.0\\.1/xAy$"}, {"redirect", "http://b.example/found"}}),
         "GET http://0x7f.1./x%41y", "http", "b.example", 80, "/found"},
        {"option 1 encodes the new path",
         rule({{"url", "a\\.example"}, {"redirect", "http://b.example/a b?q=1"}, {"options", "1"}}),
         "GET http://a.example/", "http", "b.example", 80, "/a+b%3fq%3d1"},
        {"option 4 decodes the new path",
         rule({{"url", "a\\.example"}, {"redirect", "http://b.example/a%2Fb"}, {"options", "4"}}),
         "GET http://a.example/", "http", "b.example", 80, "/a/b"},
        {"option 1 wins over 4",
         rule({{"url", "a\\.example"}, {"redirect", "http://b.example/a b"}, {"options", "5"}}),
         "GET http://a.example/", "http", "b.example", 80, "/a+b"},
        {"control bytes of the new URL are percent-encoded",
         rule({{"url", "a\\.example"}, {"redirect", "http://b.example/x\\r\\nSet-Cookie: y\\e"}}),
         "GET http://a.example/", "http", "b.example", 80, "/x%0D%0ASet-Cookie: y%1B"},
        {"decoded control bytes caught by a group are encoded again",
         rule({{"url", "example/(.*)$"}, {"redirect", "http://b.example/$1"}, {"options", "2"}}),
         "GET http://a.example/a%0D%0AX:%09b%7F", "http", "b.example", 80, "/a%0D%0AX:%09b%7F"},
        {"the first matching rule decides",
         rule({{"url", "nothing"}, {"redirect", "http://c.example/"}}) + to_b + rule({{"url", "."}, {"redirect", "http://d.example/"}}),
         "GET http://a.example/1", "http", "b.example", 80, "/1"},
        {"rules for Locations only leave requests alone",
         rule({{"url", "."}, {"redirect", "http://d.example/"}, {"applyto", "0"}}), "GET http://a.example/", "http",
         "a.example", 80, "/"},
        {"rules for both apply to requests", rule({{"url", "."}, {"redirect", "http://d.example/"}, {"applyto", "2"}}),
         "GET http://a.example/", "http", "d.example", 80, "/"},
        {"an empty pattern disables the rule", rule({{"redirect", "http://d.example/"}}), "GET http://a.example/",
         "http", "a.example", 80, "/"},
        {"a disabled rule", rule({{"enabled", "false"}, {"url", "."}, {"redirect", "http://d.example/"}}),
         "GET http://a.example/", "http", "a.example", 80, "/"},
        {"bypass letter r", to_b, "GET http://a.example/x", "http", "a.example", 80, "/x", BYPASS_REDIRECT},
        {"an origin-form request is matched by its path",
         rule({{"url", "^/old$"}, {"redirect", "/new"}}), "GET /old", "http", "", 80, "/new"},
    };
    for (const Case& c : cases) {
        load(c.rules);
        road::Wired wired(false);
        request(wired, c.line);
        wired->bypass = c.bypass;
        EXPECT_EQ(redirect_section->redirect_do(wired.get(), REDIRECT_REQUEST), 0) << c.what;
        const HEADER* r = wired->request.get();
        EXPECT_EQ(text_or_empty(r->scheme), c.scheme) << c.what;
        EXPECT_EQ(text_or_empty(r->host), c.host) << c.what;
        EXPECT_EQ(r->port, c.port) << c.what;
        EXPECT_EQ(text_or_empty(r->path), c.path) << c.what;
        if (!c.host.empty()) {
            EXPECT_EQ(r->kind, HEADER_ABSOLUTE) << c.what;
            EXPECT_EQ(text_or_empty(r->url), c.scheme + "://" + c.host + ":" + std::to_string(c.port) + c.path) << c.what;
        }
        EXPECT_EQ(road::read_now(wired.client_peer), "") << c.what;
    }
    EXPECT_TRUE(road::was_logged("redirect: ", "request for http://a.example/old/p to http://a.example/new/p"));
    EXPECT_TRUE(road::was_logged("redirect: ", "request for /old to /new"));
}

TEST_F(RedirectTest, ARequestAnsweredWithA302CarriesItsUrlCommands)
{
    struct Case {
        const char* what;
        std::string templ;
        bool commands;
        std::string location;
    };
    const Case cases[] = {
        {"plain", "http://b.example/$1", false, "http://b.example/x"},
        {"commands go in front of the host", "http://b.example/$1", true, "http://xx--nocache.b.example/x"},
        {"a URL without scheme gets them in front", "b.example/$1", true, "xx--nocache.b.example/x"},
        {"a path gets none", "/moved/$1", true, "/moved/x"},
    };
    for (const Case& c : cases) {
        load(rule({{"url", "^http://a\\.example/(.*)"}, {"redirect", c.templ}, {"send302", "1"}}));
        road::Wired wired(false);
        request(wired, "GET http://a.example/x");
        if (c.commands)
            wired->url_commands = std::make_unique<url_command_list>(url_command_list{{"nocache", std::nullopt}});
        EXPECT_EQ(redirect_section->redirect_do(wired.get(), REDIRECT_REQUEST), 1) << c.what;
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_EQ(sent.rfind("HTTP/1.1 302", 0), 0u) << sent;
        EXPECT_NE(sent.find("\r\nLocation: " + c.location + "\r\n"), std::string::npos) << c.what << "\n" << sent;
        EXPECT_NE(sent.find("\r\nContent-Length: 0\r\n"), std::string::npos) << sent;
        EXPECT_EQ(std::string(text_or_empty(wired->request->host)), "a.example") << "the request itself is left as it was";
    }
    EXPECT_TRUE(road::was_logged("redirect: ", "sent 302 redirect for request for http://a.example/x to /moved/x"));
}

TEST_F(RedirectTest, TheLocationOfARedirectAnswerIsReplaced)
{
    struct Case {
        const char* applyto;
        std::string location;
    };
    const Case cases[] = {
        {"0", "https://b.example/login"},
        {"2", "https://b.example/login"},
        {"1", "http://a.example/login"},
    };
    for (const Case& c : cases) {
        load(rule({{"url", "^http://a\\.example/(.*)"}, {"redirect", "https://b.example/$1\\n"}, {"applyto", c.applyto}}));
        road::Wired wired(false);
        request(wired, "GET http://a.example/");
        HeaderPtr response = http_header_parse_response("HTTP/1.1 302 Found\r\nLocation: http://a.example/login\r\n\r\n");
        wired->response = response.get();
        EXPECT_EQ(redirect_section->redirect_do(wired.get(), REDIRECT_LOCATION), 0);
        wired->response = nullptr;
        // The trailing line break of the template arrives encoded.
        const std::string expected = std::string(c.applyto) == "1" ? c.location : c.location + "%0A";
        EXPECT_EQ(text_or_empty(response->location), expected) << c.applyto;
        EXPECT_EQ(std::string(text_or_empty(wired->request->host)), "a.example");
        EXPECT_EQ(road::read_now(wired.client_peer), "");
    }
    EXPECT_TRUE(road::was_logged("redirect: ", "302 redirect for http://a.example/login to https://b.example/login%0A"));
}

TEST(RedirectControls, OnlyControlBytesAreEncoded)
{
    EXPECT_EQ(redirect_controls_encode(std::string("a\0b\r\n\t\x1f\x7f c%~\x80", 13)), "a%00b%0D%0A%09%1F%7F c%~\x80");
}

} // namespace
