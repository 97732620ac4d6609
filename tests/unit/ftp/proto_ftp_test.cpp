#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <map>
#include <string>
#include <thread>

#include "ftp/ftplist.h"
#include "config/general.h"
#include "http/header.h"
#include "admin/interface.h"
#include "counting_cache.h"
#include "net/network.h"
#include "policy_fixture.h"
#include "core/processors.h"
#include "ftp/proto_ftp.h"
#include "loopback.h"
#include "road_fixture.h"
#include "util/url.h"

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

using Files = std::map<std::string, std::pair<std::size_t, std::string>>;

// What LIST sends for the files.
std::string listing_of(const Files& files)
{
    std::string text;
    for (const auto& [path, file] : files)
        text += "-rw-r--r--    1 0        0     " + std::to_string(file.first) + " Jan 02  2009 " +
                path.substr(path.rfind('/') + 1) + "\r\n";
    return text;
}

// The next command on the control connection, without its line end; false at the connection's
// end.
bool command_read(int control, std::string& line)
{
    line.clear();
    char c;
    while (read(control, &c, 1) == 1) {
        if (c == '\n') {
            line.erase(line.find_last_not_of('\r') + 1);
            return true;
        }
        line += c;
    }
    return false;
}

// The answer to PASV naming port on 127.0.0.1.
std::string passive_reply(int port)
{
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 255) +
           ").\r\n";
}

// An FTP server on 127.0.0.1 for one control session: files maps a path to the size its
// listing shows and the bytes RETR sends. Data connections are passive.
class ScriptedFtp {
public:
    explicit ScriptedFtp(Files files)
        : files_(std::move(files)), listener_(listen_on())
    {
        thread_ = std::thread([this] { serve(); });
    }
    ScriptedFtp(const ScriptedFtp&) = delete;
    ScriptedFtp& operator=(const ScriptedFtp&) = delete;
    ~ScriptedFtp()
    {
        thread_.join();
        close(listener_);
    }
    int port() const { return port_of(listener_); }

private:
    static int listen_on()
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd, 1), 0);
        return fd;
    }
    static int port_of(int fd)
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    static void say(int fd, const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

    void serve()
    {
        const int control = accept(listener_, nullptr, nullptr);
        ASSERT_GE(control, 0);
        say(control, "220 scripted\r\n");
        int passive = -1;
        std::string line;
        while (command_read(control, line)) {
            const std::string verb = line.substr(0, line.find(' '));
            const std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
            if (verb == "USER") {
                say(control, "331 password\r\n");
            } else if (verb == "PASS") {
                say(control, "230 in\r\n");
            } else if (verb == "TYPE") {
                say(control, "200 binary\r\n");
            } else if (verb == "CWD") {
                say(control, files_.count(argument) != 0 ? "550 not a directory\r\n" : "250 ok\r\n");
            } else if (verb == "PASV") {
                passive = listen_on();
                say(control, passive_reply(port_of(passive)));
            } else if (verb == "LIST" || verb == "RETR") {
                const std::string payload = verb == "LIST" ? listing_of(files_) : files_.at(argument).second;
                const int data = accept(passive, nullptr, nullptr);
                close(passive);
                say(control, "150 here\r\n");
                say(data, payload);
                close(data);
                say(control, "226 done\r\n");
            } else {
                say(control, "500 unknown\r\n");
            }
        }
        close(control);
    }

    Files files_;
    int listener_;
    std::thread thread_;
};

int buffer_wanted(CONNECTION_T*, Filebuf*) { return 1; }

int uppercase(CONNECTION_T*, Filebuf* body)
{
    std::transform(body->data(), body->data() + body->size(), body->data(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return 0;
}

// The reply the server gives to command on the connection's control connection; empty when none
// comes.
std::string reply_to(Wired& wired, std::string_view command)
{
    const std::string line = std::string(command) + "\r\n";
    EXPECT_GE(wired->server->Write(line.data(), static_cast<long>(line.size())), 0);
    wired->server->Flush();
    char reply[128] = "";
    return wired->server->GetLine(reply, sizeof reply, 10) > 0 ? std::string(reply) : std::string();
}

// A control connection to the server on port, as the upstream connection leaves it.
void control_connect(Wired& wired, int port)
{
    const int fd = net_connect("127.0.0.1", port, 10);
    ASSERT_GE(fd, 0);
    wired->server = std::make_unique<Socket>(fd);
}

// Registers the callbacks for the life of a test.
struct Registered {
    Registered()
    {
        processors.Add(buffer_wanted, STAGE_BUFFER_CHECK);
        processors.Add(uppercase, STAGE_RESPONSE_MODIFY);
    }
    ~Registered()
    {
        processors.Remove(buffer_wanted);
        processors.Remove(uppercase);
    }
};

TEST_F(FtpControl, AFileIsDeliveredOnlyWhenItIsWhatItsListingAnnounced)
{
    section_load(*general_section, "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, {}) + "</general>");
    const std::string content = "file content\n";
    struct Case {
        const char* what;
        bool buffered;
        std::size_t listed, sent;
        bool failed;
        std::string status_line;
        std::string body;   // what the client gets after the header
    };
    const Case cases[] = {
        {"streamed as listed", false, 13, 13, false, "HTTP/1.1 200 OK", content},
        {"streamed, longer than listed", false, 5, 13, true, "HTTP/1.1 200 OK", content.substr(0, 5)},
        {"streamed, shorter than listed", false, 13, 5, true, "HTTP/1.1 200 OK", content.substr(0, 5)},
        {"buffered and processed", true, 13, 13, false, "HTTP/1.1 200 OK", "FILE CONTENT\n"},
        {"buffered, longer than listed", true, 5, 13, true, "HTTP/1.1 404 Not Found", ""},
        {"buffered, shorter than listed", true, 13, 5, true, "HTTP/1.1 404 Not Found", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<Registered> registered;
        if (c.buffered)
            registered.emplace();
        ScriptedFtp server({{"/pub/file.txt", {c.listed, content.substr(0, c.sent)}}});
        Wired wired(false);
        control_connect(wired, server.port());
        wired->request = http_header_parse_request("GET ftp://127.0.0.1:" + std::to_string(server.port()) +
                                                   "/pub/file.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr);
        wired->flags |= CONN_PROCESS;

        protocol_ftp(wired.get());
        EXPECT_EQ((wired->flags & CONN_TRANSFER_FAILED) != 0, c.failed);
        EXPECT_EQ((wired->flags & CONN_BUFFER) != 0, c.buffered);
        if (!c.failed) {
            // The transfer's last reply has been read: the connection may serve the next request.
            EXPECT_EQ(wired->keepalive_server, 1);
            EXPECT_EQ(reply_to(wired, "NOOP"), "500 unknown\r\n");
        }
        wired.connection.reset();
        const std::string answer = read_all(wired.client_peer);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status_line);
        const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
        if (c.status_line.find("200") != std::string::npos) {
            EXPECT_EQ(body, c.body);
            const std::size_t length = c.buffered ? c.body.size() : c.listed;
            EXPECT_NE(answer.find("Content-Length: " + std::to_string(length) + "\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(body.find("file content"), std::string::npos);   // a page, never the bytes
        }
    }
}

// The copy the pipeline found in the cache goes back through the connection's handle, to the
// section it came from and once: invalidated for a directory and for a file that changed since,
// left to the connection thread when the file is unchanged.
TEST_F(FtpControl, TheCachedCopyGoesBackThroughTheConnectionsHandle)
{
    section_load(*general_section, "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, {}) + "</general>");
    const Files files = {{"/pub/file.txt", {4, "data"}}};
    const std::time_t listed = dir_list_parse(listing_of(files), std::time(nullptr)).front().mtime;
    struct Case {
        const char* what;
        const char* path;
        std::time_t lastmod;
        bool kept;
    };
    const Case cases[] = {
        {"a directory", "/pub/", listed, false},
        {"a file changed since", "/pub/file.txt", listed - 60, false},
        {"an unchanged file", "/pub/file.txt", listed, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedFtp server(files);
        Wired wired(false);
        control_connect(wired, server.port());
        const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + c.path;
        wired->request = http_header_parse_request("GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr);
        CountingCache cache;
        CACHEMAP object;
        object.key = url;
        std::string stored = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndata";
        object.mapping = stored.data();
        object.header_length = static_cast<std::uint32_t>(stored.size() - 4);
        object.size = stored.size();
        object.lastmod = c.lastmod;
        wired->cache = CacheRef(&cache, &object);

        protocol_ftp(wired.get());
        EXPECT_EQ(cache.given_back, c.kept ? std::vector<std::string>{} : std::vector<std::string>{"invalidate " + url});
        EXPECT_EQ(wired->cache.get(), c.kept ? &object : nullptr);
        wired->cache.release();   // `object` dies with this iteration
        wired.connection.reset();
    }
}

TEST_F(FtpControl, AListingIsTakenWholeUpToTheDownloadBufferLimit)
{
    const Files files = {{"/pub/a.txt", {10, ""}}, {"/pub/b.txt", {20, ""}}};
    const std::size_t size = listing_of(files).size();
    struct Case { std::size_t limit; std::string status_line; };
    const Case cases[] = {
        {size, "HTTP/1.1 200 OK"},             // exactly the limit: whole
        {size - 1, "HTTP/1.1 404 Not Found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        section_load(*general_section,
                     "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, {{"maxdbuffer", std::to_string(c.limit)}}) + "</general>");
        ScriptedFtp server(files);
        Wired wired(false);
        control_connect(wired, server.port());
        wired->request = http_header_parse_request("GET ftp://127.0.0.1:" + std::to_string(server.port()) +
                                                   "/pub/ HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr);
        protocol_ftp(wired.get());
        wired.connection.reset();
        const std::string answer = read_all(wired.client_peer);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status_line);
    }
}

// The server's part in one transfer on a loopback control connection: answers PASV from a
// listener of its own, or PORT; then answers the transfer command with `replies`, in active
// mode after connecting to the proxy when `connects`, or before when `early`. No replies:
// the control connection ends instead.
void transfer_peer(int control, const std::string& replies, bool connects, bool early)
{
    const auto say = [control](const std::string& text) { send(control, text.data(), text.size(), MSG_NOSIGNAL); };
    int passive = -1;
    std::optional<sockaddr_in> active;
    std::string line;
    while (command_read(control, line)) {
        if (line == "PASV") {
            int port = 0;
            passive = loopback_listener(&port, 1);
            say(passive_reply(port));
        } else if (line.starts_with("PORT ")) {
            active = ftpport_parse(std::string_view(line).substr(5));
            say("200 port\r\n");
        } else {
            int data = -1;
            const auto connect_back = [&] {
                data = socket(AF_INET, SOCK_STREAM, 0);
                EXPECT_EQ(connect(data, reinterpret_cast<const sockaddr*>(&*active), sizeof *active), 0);
            };
            if (active && connects && !early)
                connect_back();
            if (replies.empty())
                shutdown(control, SHUT_WR);
            say(replies);
            if (active && connects && early)
                connect_back();
            // Stays until the proxy is done with the control connection.
            while (command_read(control, line)) {
            }
            if (data >= 0)
                close(data);
            break;
        }
    }
    if (passive >= 0)
        close(passive);
    close(control);
}

// An "ftp" section in force for the life of a test.
struct Installed {
    FtpSection section;
    Installed() { ftp_section = &section; }
    ~Installed() { ftp_section = nullptr; }
};

TEST_F(FtpControl, TransferSetupHandsOverOnlyATransferTheServerAccepted)
{
    struct Case {
        const char* what;
        bool passive;
        std::string replies;
        bool connects, early;
        int reply;
        bool opened;
    };
    const Case cases[] = {
        {"passive, 150", true, "150 here\r\n", true, false, 150, true},
        {"passive, 125", true, "125 already open\r\n", true, false, 125, true},
        {"passive, earlier answers first", true, "200 binary\r\n226-done\r\n226 done\r\n150 here\r\n", true, false, 150,
         true},
        {"passive, refused", true, "550 no such file\r\n", true, false, 550, false},
        {"passive, no reply", true, "", true, false, -1, false},
        {"active, 150 after connecting", false, "150 here\r\n", true, false, 150, true},
        {"active, 150 before connecting", false, "150 here\r\n", true, true, 150, true},
        {"active, refused without connecting", false, "550 no such file\r\n", false, false, 550, false},
        {"active, earlier answers, then refused", false, "226 done\r\n550-no such\r\n550 file\r\n", false, false, 550,
         false},
        {"active, no reply", false, "", false, false, -1, false},
    };
    Installed ftp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A time-out the test never waits for: only the server's replies end the waits.
        section_load(ftp.section, std::string("<ftp><passive>") + (c.passive ? "true" : "false") +
                                      "</passive><timeout>60</timeout><user>anonymous</user><password>x</password>"
                                      "<sortorder>0</sortorder><sortfield>1</sortfield></ftp>");
        int port = 0;
        const int listener = loopback_listener(&port, 1);
        Wired wired(false);
        control_connect(wired, port);
        wired->request = http_header_parse_request("GET ftp://127.0.0.1:" + std::to_string(port) +
                                                   "/pub/file.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        const int control = accept(listener, nullptr, nullptr);
        close(listener);
        ASSERT_GE(control, 0);
        std::thread peer(transfer_peer, control, c.replies, c.connects, c.early);

        const auto start = std::chrono::steady_clock::now();
        int reply = 0;
        const SocketPtr data = ftp_transfer_setup(wired.get(), "RETR /pub/file.txt", &reply);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(data != nullptr, c.opened);
        wired->server.reset();
        peer.join();
    }
}

} // namespace
