#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <shared_mutex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/connection.h"
#include "util/filebuf.h"
#include "core/global.h"
#include "http/header.h"
#include "policy_fixture.h"
#include "net/socket.h"
#include "http/template.h"
#include "util/helpers.h"

namespace fs = std::filesystem;

namespace {

const XmlFields TEMPLATE_RULE = {
    {"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"name", ""},     {"file", ""},
    {"mime", ""},        {"code", "200"}, {"type", "file"}, {"parse", "true"},
};

std::string rule(const std::map<std::string, std::string>& set)
{
    return item_xml("template", TEMPLATE_RULE, set);
}

std::string newest_log_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

// What the proxy sent: the header block and the body.
struct Answer {
    std::string header;
    std::string body;
    bool has(const std::string& line) const { return header.find("\r\n" + line + "\r\n") != std::string::npos; }
};

class TemplateTest : public testing::Test {
protected:
    void SetUp() override
    {
        shipped_definitions_set();
        templates_ = std::make_unique<TemplateSection>();
        dir_ = fs::path(testing::TempDir()) /
               ("template_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);

        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        peer_ = pair[1];
        fcntl(peer_, F_SETFL, O_NONBLOCK);
        connection_ = connection_new();
        connection_->client = std::make_unique<Socket>(pair[0]);
        connection_->request = http_header_parse_request("GET http://www.example.com/x HTTP/1.1\r\n\r\n");
        ASSERT_NE(connection_->request, nullptr);
    }

    void TearDown() override
    {
        connection_->response = nullptr;
        connection_.reset();
        close(peer_);
    }

    void load(const std::string& rules, const std::string& directory = "")
    {
        section_load(*templates_, "<templates><path>" + directory + "</path>" + rules + "</templates>");
    }

    std::string file(const std::string& name, const std::string& text)
    {
        std::ofstream(dir_ / name) << text;
        return (dir_ / name).string();
    }

    Answer answer()
    {
        std::string bytes;
        char block[65536];
        for (;;) {
            const ssize_t n = read(peer_, block, sizeof block);
            if (n <= 0)
                break;
            bytes.append(block, static_cast<std::size_t>(n));
        }
        const std::size_t end = bytes.find("\r\n\r\n");
        if (end == std::string::npos)
            return {bytes, {}};
        return {bytes.substr(0, end + 2), bytes.substr(end + 4)};
    }

    std::unique_ptr<TemplateSection> templates_;
    fs::path dir_;
    int peer_ = -1;
    ConnectionPtr connection_;
};

TEST(BuiltinPages, TheFixedTable)
{
    struct Row { const char* name; const char* mime; bool parse; const char* holds; };
    const Row rows[] = {
        {"unknown",       "text/html", true,  "<title>Error</title>"},
        {"badrequest",    "text/html", true,  "<title>Bad Request</title>"},
        {"badresponse",   "text/html", true,  "<title>Bad Response</title>"},
        {"nodns",         "text/html", true,  "DNS Lookup for @HTTP_HOST@ failed"},
        {"nofile",        "text/html", true,  "@HTTP_FILE@ not found"},
        {"nocache",       "text/html", true,  "<title>Cache file not found</title>"},
        {"noconnect",     "text/html", true,  "Connection to @HTTP_HOST@:@HTTP_PORT@ failed"},
        {"blocked",       "text/html", true,  "@URL@ is blocked"},
        {"blacklisted",   "text/html", true,  "@URL@ is in the blacklisted @CATEGORY@ category"},
        {"virus",         "text/html", true,  "@AVSCANNER@ detected:"},
        {"badprotocol",   "text/html", true,  "<title>Protocol not implemented</title>"},
        {"noaccess",      "text/html", true,  "<title>Access denied</title>"},
        {"badauth",       "text/html", true,  "<title>Authorization failed</title>"},
        {"downloadlimit", "text/html", true,  "You have exceeded your download limit of @DOWNLOADLIMIT@ bytes"},
        {"uploadlimit",   "text/html", true,  "You have exceeded your upload limit of @UPLOADLIMIT@ bytes"},
        {"maxrequests",   "text/html", true,  "<title>Request limit exceeded</title>"},
        {"imgfilter",     "text/html", true,  "Possible porn detected, scored @IMAGESCORE@ with a threshold of @IMAGETHRESHOLD@"},
        {"downloading",   "text/html", true,  "content=\"1;URL=@URL@\""},
        {"proxy.pac",     "application/x-ns-proxy-autoconfig", true, "\"PROXY @INTERFACE@:@PORT@;DIRECT\""},
        {"interfacehead", "text/html", true,  "/template/logo1"},
        {"tinygif",       "image/gif", false, "GIF89a"},
        {"logo1",         "image/gif", false, "GIF89a"},
        {"logo",          "image/gif", false, "GIF89a"},
        {"checkeredgif",  "image/gif", false, "GIF89a"},
        {"tinyswf",       "application/x-shockwave", false, "FWS"},
        {"empty",         "text/plain", false, ""},
        {"uparrow",       "image/gif", false, "GIF89a"},
        {"downarrow",     "image/gif", false, "GIF89a"},
        {"interface.css", "text/plain", false, "<style type=\"text/css\">"},
        {"tooltip",       "text/plain", false, "function overhere("},
    };
    ASSERT_EQ(builtin_pages().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        const BuiltinPage& page = builtin_pages()[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(page.name, row.name);
        EXPECT_EQ(page.mime, row.mime);
        EXPECT_EQ(page.parse, row.parse);
        EXPECT_NE(page.bytes.find(row.holds), std::string_view::npos);
        if (page.mime == "text/html" && page.name != "interfacehead") {
            EXPECT_EQ(page.bytes.find("<html>"), 0u);
            EXPECT_NE(page.bytes.find("<base href=\"http://"), std::string_view::npos);
            EXPECT_NE(page.bytes.find("<img src=\"/template/logo\""), std::string_view::npos);
        }
        if (page.mime == "image/gif") {
            EXPECT_EQ(page.bytes.back(), ';');   // the GIF trailer
        }
    }
    EXPECT_EQ(builtin_pages()[25].bytes.size(), 0u);
    EXPECT_EQ(builtin_pages()[24].bytes.size(), 25u);   // the SWF's own length field
    EXPECT_EQ(static_cast<unsigned char>(builtin_pages()[24].bytes[4]), 25u);
}

// Every byte of the built-in pages is fixed: an image, the style or a script that changes on the
// way through an edit of its source shows here as another size or digest.
TEST(BuiltinPages, BytesAreFixed)
{
    struct Row { std::string_view name; std::size_t size; const char* md5; };
    const Row rows[] = {
        {"unknown",        405,  "0c99e95b8bd7b7439d828cbdc8a957c0"},
        {"badrequest",     372,  "57853e5a40baf27f4340d275cc3b1c8f"},
        {"badresponse",    391,  "ff5bc546ca9de0a7dd419bc8002dc969"},
        {"nodns",          400,  "f6a2b368a89e5427fd54afb5e82637dd"},
        {"nofile",         385,  "8b744a454454c8676d8502df7cefd24a"},
        {"nocache",        385,  "f7a879732d553b8bf449b1885b2f5df1"},
        {"noconnect",      411,  "d1212953b4b99f6f3cb76a42e1122afb"},
        {"blocked",        378,  "b0e49718175bed2d9595e93b041c1c7c"},
        {"blacklisted",    413,  "c4c93d4ca2482c5f6440b83308fbe65f"},
        {"virus",          445,  "1d4034ceaa43f8c6b46f8d006f60de0d"},
        {"badprotocol",    398,  "15c269136d85816447c98374bd8b2714"},
        {"noaccess",       376,  "c74a6a671ffb1b673d80a78b3bf5a73c"},
        {"badauth",        390,  "f9775997fbdd99ce5b1c991227f7bf9b"},
        {"downloadlimit",  444,  "8f5b6621383b4ed37b72a2202e8a3b78"},
        {"uploadlimit",    438,  "acaec532997166c4d9eb60b369ed0fd8"},
        {"maxrequests",    394,  "d9903925844077124881947fa3781036"},
        {"imgfilter",      457,  "75c16661c2127ea5fad76f0c3618c218"},
        {"downloading",    461,  "246a15cfb95ab8c39e4f7f69d0c0da3a"},
        {"proxy.pac",      86,   "ebf2256612acb29a2c27dfa504b57bb4"},
        {"interfacehead",  194,  "ec4399f9f222f19d94b1791d493dba9a"},
        {"tinygif",        43,   "325472601571f31e1bf00674c368d335"},
        {"logo1",          665,  "7015a3f168b60772381b16e21b67a80a"},
        {"logo",           317,  "5aec2ac4425cc6de7cd83eaa8d8e9d23"},
        {"checkeredgif",   46,   "1712219caa6d04b4fc999abad0e4f1f1"},
        {"tinyswf",        25,   "be4a9a78dc3d9c177ac7421cc9f6bd0c"},
        {"empty",          0,    "d41d8cd98f00b204e9800998ecf8427e"},
        {"uparrow",        52,   "bc64b466f2f0874da2d260634b23c1dd"},
        {"downarrow",      51,   "6d6343f52012655d36c9699285871ec4"},
        {"interface.css",  1433, "7861e5ff0fc79dc1e05386ee3223a075"},
        {"tooltip",        960,  "b57f24cfe62ca225605f1a65d427e755"},
    };
    ASSERT_EQ(builtin_pages().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const BuiltinPage& page = builtin_pages()[i];
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(page.name, rows[i].name);
        EXPECT_EQ(page.bytes.size(), rows[i].size);
        EXPECT_EQ(md5_string(page.bytes), rows[i].md5);
    }
}

TEST_F(TemplateTest, BuiltinPageWithoutConfiguration)
{
    ASSERT_EQ(templates_->send("noaccess", connection_.get(), 404), 1);
    EXPECT_NE(newest_log_line().find("sent noaccess"), std::string::npos);
    const Answer sent = answer();
    EXPECT_EQ(sent.header.rfind("HTTP/1.1 404 ", 0), 0u) << sent.header;
    EXPECT_TRUE(sent.has("Content-Type: text/html"));
    EXPECT_TRUE(sent.has("Cache-Control: no-cache"));
    EXPECT_TRUE(sent.has("Content-Length: " + std::to_string(sent.body.size())));
    EXPECT_EQ(sent.body.rfind("<style type=\"text/css\">", 0), 0u);   // the style goes first
    EXPECT_NE(sent.body.find("<title>Access denied</title>"), std::string::npos);

    const LogEntry& log = connection_->logentry;
    EXPECT_EQ(log.status, 404);
    EXPECT_EQ(log.size, sent.body.size());
    EXPECT_EQ(log.peer, "tarvodine");
    EXPECT_EQ(log.mime, "text/html");
    EXPECT_STREQ(log.cachecode(), "TCP_MISS");
    EXPECT_STREQ(log.peercode(), "DIRECT");
}

TEST_F(TemplateTest, BuiltinValuesAreEscapedConfiguredOnesRaw)
{
    connection_->variables["URL"] = "http://x/?q=<script>&\"";
    ASSERT_EQ(templates_->send("Blocked", connection_.get(), 403), 1);   // names in any case
    const Answer builtin = answer();
    EXPECT_NE(builtin.body.find("http://x/?q=&lt;script&gt;&amp;&quot; is blocked"), std::string::npos);
    EXPECT_EQ(builtin.body.find("<script>"), std::string::npos);

    load(rule({{"name", "blocked"}, {"file", file("blocked.html", "raw @URL@ @UNSET@.")}, {"mime", "text/html"}}));
    ASSERT_EQ(templates_->send("blocked", connection_.get(), 403), 1);
    EXPECT_EQ(answer().body, "raw http://x/?q=<script>&\" .");
    EXPECT_EQ(connection_->variables.count("UNSET"), 1u);   // asked for, added empty
}

TEST_F(TemplateTest, ConfiguredTemplateChoice)
{
    const std::string page = file("page.html", "configured");
    struct Case { const char* what; std::string rules; const char* profile; bool configured; };
    const Case cases[] = {
        {"applies",                  rule({{"name", "NOACCESS"}, {"file", page}}),                       nullptr, true},
        {"profile not carried",      rule({{"name", "noaccess"}, {"file", page}, {"profiles", "staff"}}), nullptr, false},
        {"profile carried",          rule({{"name", "noaccess"}, {"file", page}, {"profiles", "staff"}}), "staff", true},
        {"disabled",                 rule({{"name", "noaccess"}, {"file", page}, {"enabled", "false"}}), nullptr, false},
        {"other name",               rule({{"name", "blocked"}, {"file", page}}),                         nullptr, false},
        {"empty file: built-in",     rule({{"name", "noaccess"}, {"file", ""}}) +
                                     rule({{"name", "noaccess"}, {"file", page}}),                        nullptr, false},
        {"first of two",             rule({{"name", "noaccess"}, {"file", page}, {"profiles", "x"}}) +
                                     rule({{"name", "noaccess"}, {"file", page}}),                        nullptr, true},
        {"unreadable file: built-in", rule({{"name", "noaccess"}, {"file", (dir_ / "missing").string()}}), nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.rules);
        connection_->profiles.clear();
        if (c.profile != nullptr)
            connection_->profiles.push_back(c.profile);
        const std::unique_ptr<Filebuf> got = templates_->get(connection_.get(), "noaccess", nullptr);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->view() == "configured", c.configured);
    }
}

TEST_F(TemplateTest, FilePathsAndTypes)
{
    file("rel.txt", "relative");
    load(rule({{"name", "a"}, {"file", "rel.txt"}, {"mime", "text/x-a"}}), dir_.string());
    std::unique_ptr<Filebuf> got = templates_->get(connection_.get(), "a", nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->view(), "relative");
    EXPECT_EQ(got->type(), "text/x-a");

    // Without a directory the name is taken from the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    load(rule({{"name", "a"}, {"file", "rel.txt"}, {"mime", ""}}));
    got = templates_->get(connection_.get(), "a", nullptr);
    fs::current_path(before);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->view(), "relative");
    EXPECT_EQ(got->type(), "");

    // No MIME type goes out as text/plain.
    fs::current_path(dir_);
    ASSERT_EQ(templates_->send("a", connection_.get(), 200), 1);
    fs::current_path(before);
    EXPECT_TRUE(answer().has("Content-Type: text/plain"));
}

TEST_F(TemplateTest, ConfiguredResponseCode)
{
    const std::string page = file("page.txt", "x");
    struct Case { int configured; int given; int sent; };
    const Case cases[] = {
        {403, 200, 403},
        {99,  404, 404},   // outside 100..599: none
        {600, 404, 404},
        {0,   503, 503},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        load(rule({{"name", "page"}, {"file", page}, {"code", std::to_string(c.configured)}}));
        ASSERT_EQ(templates_->send("page", connection_.get(), c.given), 1);
        EXPECT_EQ(answer().header.rfind("HTTP/1.1 " + std::to_string(c.sent) + " ", 0), 0u);
    }
    int code = -1;
    load(rule({{"name", "page"}, {"file", page}, {"code", "302"}}));
    ASSERT_NE(templates_->get(connection_.get(), "page", &code), nullptr);
    EXPECT_EQ(code, 302);
    code = -1;
    ASSERT_NE(templates_->get(connection_.get(), "blocked", &code), nullptr);
    EXPECT_EQ(code, -1);   // built-in pages report none
}

TEST_F(TemplateTest, ProgramTemplate)
{
    // The response slot belongs to whoever filled it; the program's header must not touch it.
    const HeaderPtr owned = http_header_parse_response("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n");
    connection_->response = owned.get();
    connection_->variables["WHO"] = "tester";

    load(rule({{"name", "prog"}, {"type", "program"}, {"code", "403"},
               {"file", "/bin/sh -c \"printf 'HTTP/1.0 200 OK\\r\\nContent-Type: text/html\\r\\n\\r\\n&lt;b&gt;@WHO@ %s&lt;/b&gt;' $WHO\""}}));
    ASSERT_EQ(templates_->send("prog", connection_.get(), 200), 1);
    const Answer sent = answer();
    EXPECT_EQ(sent.header.rfind("HTTP/1.1 403 ", 0), 0u);
    EXPECT_TRUE(sent.has("Content-Type: text/html"));
    EXPECT_EQ(sent.body, "<b>tester tester</b>");
    EXPECT_EQ(connection_->response, owned.get());
    ASSERT_TRUE(owned->content_type);
    EXPECT_EQ(*owned->content_type, "image/png");

    // No output, or no program: no page, and no built-in one either.
    for (const char* command : {"/bin/true", "/nonexistent/program"}) {
        SCOPED_TRACE(command);
        load(rule({{"name", "noaccess"}, {"type", "program"}, {"file", command}}));
        int code = -1;
        EXPECT_EQ(templates_->get(connection_.get(), "noaccess", &code), nullptr);
        EXPECT_EQ(code, -1);
        EXPECT_EQ(templates_->send("noaccess", connection_.get(), 404), 0);
    }
    EXPECT_EQ(connection_->response, owned.get());
}

TEST_F(TemplateTest, StyleOfBuiltinPages)
{
    // A configured style serves every built-in HTML page; its '@' is the style's own.
    load(rule({{"name", "interface.css"}, {"file", file("my.css", "<style>/* @media */</style>")}, {"parse", "false"}}));
    connection_->variables["URL"] = "u";
    const std::unique_ptr<Filebuf> page = templates_->get(connection_.get(), "blocked", nullptr);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->view().rfind("<style>/* @media */</style><html>", 0), 0u);
    EXPECT_NE(page->view().find("u is blocked"), std::string_view::npos);
    EXPECT_EQ(page->type(), "text/html");

    // The style itself, and pages other than HTML, are not preceded by it.
    const std::unique_ptr<Filebuf> css = templates_->get(connection_.get(), "interface.css", nullptr);
    EXPECT_EQ(css->view(), "<style>/* @media */</style>");
    const std::unique_ptr<Filebuf> gif = templates_->get(connection_.get(), "logo", nullptr);
    EXPECT_EQ(gif->view().rfind("GIF89a", 0), 0u);
    EXPECT_EQ(gif->type(), "image/gif");
}

TEST_F(TemplateTest, NothingToSend)
{
    EXPECT_EQ(templates_->send("error", connection_.get(), 404), 0);   // neither configured nor built in
    EXPECT_EQ(templates_->get(connection_.get(), "error", nullptr), nullptr);
    Filebuf buffer;
    EXPECT_EQ(templates_->insert(connection_.get(), &buffer, "error"), 0);
    EXPECT_EQ(buffer.size(), 0u);

    connection_->flags |= CONN_NOCLIENT;
    EXPECT_EQ(templates_->send("noaccess", connection_.get(), 404), 0);
    connection_->flags &= ~CONN_NOCLIENT;
    EXPECT_EQ(answer().header, "");
}

TEST_F(TemplateTest, EmptyPageAndHeadRequests)
{
    ASSERT_EQ(templates_->send("empty", connection_.get(), 200), 1);
    Answer sent = answer();
    EXPECT_TRUE(sent.has("Content-Length: 0"));
    EXPECT_EQ(sent.body, "");

    connection_->request = http_header_parse_request("HEAD http://www.example.com/x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(templates_->send("logo", connection_.get(), 200), 1);
    sent = answer();
    EXPECT_TRUE(sent.has("Content-Type: image/gif"));
    EXPECT_FALSE(sent.has("Content-Length: 0"));
    EXPECT_EQ(sent.body, "");
}

TEST_F(TemplateTest, InsertAppends)
{
    Filebuf buffer;
    buffer.Add("<head>");
    ASSERT_EQ(templates_->insert(connection_.get(), &buffer, "tooltip"), 1);
    EXPECT_EQ(buffer.view().rfind("<head><script", 0), 0u);
    // Without a connection: no profiles, and placeholders are emptied.
    Filebuf pac;
    ASSERT_EQ(templates_->insert(nullptr, &pac, "proxy.pac"), 1);
    EXPECT_NE(pac.view().find("\"PROXY :;DIRECT\""), std::string_view::npos);
}

} // namespace
