#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>

#include "ftplist.h"
#include "header.h"
#include "interface.h"
#include "proto_ftp.h"
#include "road_fixture.h"

using road::read_all;
using road::Wired;
using road::write_all;

namespace {

TEST(FtpReplyCode, ReadsTheLeadingNumberAsAtoiDoes)
{
    struct Case { std::string_view line; int code; };
    const Case cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,4,1).\r\n", 227},
        {"230-Welcome\r\n", 230},
        {"  550 No such file\r\n", 550},
        {"   a continuation line\r\n", 0},
        {"\r\n", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line));
        EXPECT_EQ(ftp_reply_code(c.line), c.code);
    }
}

TEST(FtpPathDecode, DecodesEscapesAndRefusesLineBreaks)
{
    using namespace std::literals;
    struct Case { std::string_view path; std::optional<std::string> decoded; };
    const Case cases[] = {
        {"/pub/read%20me.txt", "/pub/read me.txt"},
        {"/pub/a+b%2Bc", "/pub/a+b+c"},        // a '+' in a path is a '+'
        {"/pub/100%", "/pub/100%"},            // not an escape: kept
        {"/pub/%zz%4", "/pub/%zz%4"},
        {"/pub/x%0D%0ADELE%20y", std::nullopt},
        {"/pub/x%0aRMD%20y", std::nullopt},
        {"/pub/x%00y", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(ftp_path_decode(c.path), c.decoded);
    }
    EXPECT_TRUE(ftp_value_safe("anonymous@example.org"));
    EXPECT_FALSE(ftp_value_safe("user\r\nDELE x"));
    EXPECT_FALSE(ftp_value_safe("user\nDELE x"));
    EXPECT_FALSE(ftp_value_safe("pass\0word"sv));
}

class FtpControl : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

TEST_F(FtpControl, CodeWaitSkipsOtherRepliesAndStopsWhereTheLinesEnd)
{
    struct Case { std::string replies; int code1, code2; int result; std::string left; };
    const Case cases[] = {
        {"220 ready\r\n331 password\r\n200 next\r\n", 331, 530, 331, "200 next\r\n"},
        {"530-Not\r\n530 anonymous only\r\n", 331, 530, 530, "530 anonymous only\r\n"},
        {"150 listing\r\n226 done\r\n  banner text\r\n200 ok\r\n", 200, 0, 0, "200 ok\r\n"},   // 0: no number
        {"150 listing\r\n226 done\r\n", 250, 550, 226, ""},   // runs out: the last number read
        {"", 250, 550, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies);
        Wired wired;
        write_all(wired.server_peer, c.replies);
        wired.close_server_peer();
        EXPECT_EQ(ftp_code_wait(wired.get(), c.code1, c.code2), c.result);
        char rest[64] = "";
        const int n = wired->server->GetLine(rest, sizeof rest, 0);
        EXPECT_EQ(std::string(rest, n > 0 ? static_cast<std::size_t>(n) : 0), c.left);
    }
}

TEST_F(FtpControl, ReadCallbackCountsAndStopsAtTheAllowance)
{
    Wired wired(false);
    wired->download_allowance = 100;
    const std::string block(60, 'x');
    EXPECT_EQ(protocol_ftp_read_callback(wired.get(), 60, block.data()), 0);
    EXPECT_EQ(protocol_ftp_read_callback(wired.get(), 40, block.data()), 0);   // fits exactly
    EXPECT_EQ(wired->download_allowance, 0u);
    EXPECT_EQ(protocol_ftp_read_callback(wired.get(), 1, block.data()), -1);
    EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
    EXPECT_EQ(wired->bytes_in, 101u);
}

TEST(CGIMap, ParsesArgumentTexts)
{
    struct Case { std::string_view text; std::map<std::string, std::string, std::less<>> values; };
    const Case cases[] = {
        {"order=descending&field=size", {{"order", "descending"}, {"field", "size"}}},
        {"a=b=c", {{"a=b", "c"}}},                                  // the last '=' separates
        {"a&b=2", {{"a&b", "2"}}},                                  // kept in front of the next name
        {"a=1&tail", {{"a", "1"}}},                                 // a last part without '=' is dropped
        {"x=1&x=2", {{"x", "2"}}},
        {"argument=read+me%21&filename=a%26b", {{"argument", "read me!"}, {"filename", "a&b"}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        const CGIMap map(c.text);
        EXPECT_EQ(map.values(), c.values);
    }
    EXPECT_EQ(CGIMap("a=1").get("b"), "");
}

class FtpListingPage : public testing::Test {
protected:
    void SetUp() override { road::sections_create(); }
};

TEST_F(FtpListingPage, NamesAreEscapedAndLinksEncoded)
{
    Wired wired(false);
    wired->request = http_header_parse_request("GET ftp://ftp.test:2121/pub/ HTTP/1.1\r\nHost: ftp.test\r\n\r\n");
    ASSERT_NE(wired->request, nullptr);

    std::tm when{};
    when.tm_year = 109;
    when.tm_mon = 0;
    when.tm_mday = 2;
    DirList entries;
    dir_list_add(entries, 1, 0755, "ftp", "ftp", 4096, when, "sub");
    dir_list_add(entries, 0, 0644, "ftp", "ftp", 2048, when, "<script>x</script>");
    dir_list_add(entries, 0, 0644, "ftp", "ftp", 1, when, "javascript:alert(1)");
    dir_list_add(entries, 0, 0644, "ftp", "ftp", 1, when, "say \"hi\" & go?.txt");
    show_dirlist(wired.get(), entries);
    wired.connection.reset();
    const std::string answer = read_all(wired.client_peer);

    const std::size_t body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("Content-Type: text/html\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - body - 4) + "\r\n"), std::string::npos);
    const std::string page = answer.substr(body + 4);

    EXPECT_NE(page.find("<title>Directory listing for ftp://ftp.test:2121/pub/</title>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    const char* wanted[] = {
        "<a href=\"sub/\">sub/</a></td><td>DIR</td><td>Fri, 02 Jan 2009 00:00:00 GMT</td>",
        "value=\"&lt;script&gt;x&lt;/script&gt;\"",
        "<a href=\"%3Cscript%3Ex%3C/script%3E\">&lt;script&gt;x&lt;/script&gt;</a></td><td>2.0 KB</td>",
        "<a href=\"javascript%3Aalert%281%29\">",
        "<a href=\"say%20%22hi%22%20%26%20go%3F.txt\">say &quot;hi&quot; &amp; go?.txt</a>",
        "?order=descending&amp;field=size",
        "?order=ascending&amp;field=date",
        "<form method=\"GET\" action=\"/pub/\">",
        "<input type=\"radio\" name=\"action\" value=\"rmdir\">Rmdir: ",
    };
    for (const char* piece : wanted)
        EXPECT_NE(page.find(piece), std::string::npos) << piece;
    // Rows alternate, in the order given.
    EXPECT_LT(page.find("listeven"), page.find("listodd"));
    EXPECT_LT(page.find("sub/"), page.find("javascript"));
}

} // namespace
