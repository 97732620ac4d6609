#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "cache/admission.h"
#include "cache/cache.h"
#include "http/header.h"
#include "core/logentry.h"
#include "core/options.h"
#include "core/processors.h"
#include "core/threads.h"
#include "http/request.h"
#include "road_fixture.h"
#include "core/statgroups.h"
#include "http/urlcommand.h"
#include "policy/limit.h"
#include "policy_fixture.h"

using road::read_now;
using road::Wired;
using road::write_all;

namespace {

// Reads one request as an origin server sees it: the header block and the body its framing
// announces.
std::string origin_read_request(int fd)
{
    std::string in;
    char block[65536];
    auto more = [&]() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = read(fd, block, sizeof block);
        if (n <= 0)
            return false;
        in.append(block, static_cast<std::size_t>(n));
        return true;
    };
    while (in.find("\r\n\r\n") == std::string::npos)
        if (!more())
            return in;
    const std::size_t head = in.find("\r\n\r\n") + 4;
    const std::string header = in.substr(0, head);
    if (const std::size_t at = header.find("Content-Length: "); at != std::string::npos) {
        const std::size_t length = std::stoul(header.substr(at + 16));
        while (in.size() < head + length)
            if (!more())
                break;
    } else if (header.find("Transfer-Encoding: chunked") != std::string::npos) {
        while (in.size() < head + 5 || in.compare(in.size() - 5, 5, "0\r\n\r\n") != 0)
            if (!more())
                break;
    }
    return in;
}

// An origin server on 127.0.0.1: for each connection, in turn, reads one request and writes the
// next scripted reply, then closes. It never logs (its thread owns no thread-table slot).
class Origin {
public:
    using Script = std::function<void(int fd, std::string& received)>;

    explicit Origin(std::vector<std::string> replies)
    {
        for (std::string& reply : replies)
            scripts_.push_back([reply](int fd, std::string& received) {
                received = origin_read_request(fd);
                road::write_all(fd, reply);
            });
        start();
    }
    explicit Origin(std::vector<Script> scripts) : scripts_(std::move(scripts)) { start(); }
    Origin(const Origin&) = delete;
    Origin& operator=(const Origin&) = delete;
    ~Origin() { wait(); }

    // Stops accepting and ends the thread.
    void wait()
    {
        if (!thread_.joinable())
            return;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }

    int port() const { return port_; }
    // The request of connection i once it has been served (a bound of seconds against a broken
    // test, not a measured time).
    std::string received(std::size_t i)
    {
        std::unique_lock lock(mutex_);
        served_.wait_for(lock, std::chrono::seconds(5), [&] { return received_.size() > i; });
        return i < received_.size() ? received_[i] : std::string();
    }

private:
    void start()
    {
        listener_ = loopback_listener(&port_);
        EXPECT_GE(listener_, 0);
        thread_ = std::thread([this] {
            for (const Script& script : scripts_) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                std::string received;
                script(fd, received);
                {
                    std::lock_guard lock(mutex_);
                    received_.push_back(received);
                }
                served_.notify_all();
                close(fd);
            }
        });
    }

    std::vector<Script> scripts_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable served_;
    std::vector<std::string> received_;
};

// What the connection thread does between two requests of one connection.
void request_reset(CONNECTION_T* connection)
{
    connection->body.reset();
    connection->server.reset();
    connection->response = nullptr;
    connection->variables.clear();
    connection->access = 0;
    connection->request.reset();
    connection->requests += 1;
    connection->flags = 0;
}

class Request : public testing::Test {
protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        road::sections_create();
        road::log_clear();
    }

    // Sends the client's bytes, serves one request and gives what the client received.
    static std::string serve(Wired& wired, const std::string& request)
    {
        write_all(wired.client_peer, request);
        handle_request(wired.get());
        return read_now(wired.client_peer);
    }
};

// One general rule for every connection, whose upload buffer is upload_buffer; taken back by
// loading "<general></general>".
void general_rule_load(const std::string& upload_buffer)
{
    section_load(*general_section,
                 "<general><rule><enabled>true</enabled><comment/><profiles/><ctimeout>60</ctimeout>"
                 "<timeout>60</timeout><keeptimeout>60</keeptimeout><maxdbuffer>1M</maxdbuffer>"
                 "<maxubuffer>" + upload_buffer + "</maxubuffer><bufferwait>0</bufferwait><cportrange/><encodemime/>"
                 "<compressout>false</compressout><compressin>false</compressin>"
                 "<xforwardedfor>false</xforwardedfor><via>false</via></rule></general>");
}

std::string url(const Origin& origin, const char* path)
{
    return "http://127.0.0.1:" + std::to_string(origin.port()) + path;
}

std::string body_of(const std::string& response)
{
    const std::size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

TEST_F(Request, GetThroughTheProxyReachesTheOrigin)
{
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello"});
    Wired wired(false);
    const std::string got =
        serve(wired, "GET " + url(origin, "/a/b?c") + " HTTP/1.1\r\nHost: x\r\nUser-Agent: t\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
    EXPECT_NE(got.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_NE(got.find("Connection: keep-alive\r\n"), std::string::npos);
    EXPECT_EQ(body_of(got), "hello");
    EXPECT_EQ(wired->keepalive_client, 1);
    EXPECT_EQ(wired->keepalive_server, 1);
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);

    const std::string sent = origin.received(0);
    EXPECT_EQ(sent.rfind("GET /a/b?c HTTP/1.1\r\n", 0), 0u) << sent;
    EXPECT_NE(sent.find("Host: 127.0.0.1:" + std::to_string(origin.port()) + "\r\n"), std::string::npos);
    EXPECT_NE(sent.find("User-Agent: t\r\n"), std::string::npos);
    EXPECT_EQ(wired->logentry.status, 200);
    EXPECT_EQ(wired->logentry.url, url(origin, "/a/b?c"));
}

TEST_F(Request, ChunkedResponsesAreReframedForTheClientsVersion)
{
    const std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
    {
        Origin origin({reply});
        Wired wired(false);
        const std::string got = serve(wired, "GET " + url(origin, "/") + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(got.find("Transfer-Encoding"), std::string::npos) << got;
        EXPECT_NE(got.find("Connection: close\r\n"), std::string::npos);
        EXPECT_EQ(body_of(got), "hello world");
        EXPECT_EQ(wired->keepalive_client, 0);
    }
    {
        Origin origin({reply});
        Wired wired(false);
        const std::string got = serve(wired, "GET " + url(origin, "/") + " HTTP/1.1\r\n\r\n");
        EXPECT_NE(got.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << got;
        EXPECT_EQ(body_of(got), "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
        EXPECT_EQ(wired->keepalive_client, 1);
    }
}

TEST_F(Request, UnusualAnswersFromTheServer)
{
    struct Case {
        const char* name;
        std::string reply;
        std::string status_line;
        std::string body;   // empty: not compared
        bool failed;
        int keepalive;      // of the HTTP/1.1 client afterwards
    };
    const Case cases[] = {
        {"HTTP/0.9", "plain text\nmore text\n", "HTTP/1.1 200 OK\r\n", "plain text\nmore text\n", false, 0},
        {"100 Continue swallowed", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         "HTTP/1.1 200 OK\r\n", "ok", false, 1},
        {"unparsable status line", "HTTP/1.0 0 Zero\r\n\r\n", "HTTP/1.1 400 ", "", false, 1},
        {"body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this", "HTTP/1.1 200 OK\r\n",
         "only this", true, 1},
        {"chunked body cut short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n40\r\nab",
         "HTTP/1.1 200 OK\r\n", "5\r\nhello\r\n40\r\nab", true, 1},
        {"no body for 304", "HTTP/1.1 304 Not Modified\r\n\r\n", "HTTP/1.1 304 ", "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Origin origin({c.reply});
        Wired wired(false);
        const std::string got = serve(wired, "GET " + url(origin, "/") + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(got.rfind(c.status_line, 0), 0u) << got;
        if (!c.body.empty()) {
            EXPECT_EQ(body_of(got), c.body);
        }
        EXPECT_EQ((wired->flags & CONN_TRANSFER_FAILED) != 0, c.failed);
        if (c.failed) {
            EXPECT_EQ(wired->keepalive_server, 0);
        }
        EXPECT_EQ(wired->keepalive_client, c.keepalive);
    }
}

TEST_F(Request, HeadGetsTheHeaderOnly)
{
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"});
    Wired wired(false);
    const std::string got = serve(wired, "HEAD " + url(origin, "/") + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(got.find("Content-Length: 5\r\n"), std::string::npos) << got;
    EXPECT_EQ(body_of(got), "");
    EXPECT_EQ(origin.received(0).rfind("HEAD / HTTP/1.1\r\n", 0), 0u);
}

TEST_F(Request, PostBodiesReachTheOriginAndNothingIsLeftForTheNextRequest)
{
    const std::string next = "GET http://next/ HTTP/1.1\r\n\r\n";
    {
        Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
        Wired wired(false);
        const std::string got = serve(wired, "POST " + url(origin, "/form") +
                                                 " HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello=world" + next);
        EXPECT_EQ(body_of(got), "ok");
        const std::string sent = origin.received(0);
        EXPECT_NE(sent.find("Content-Length: 11\r\n"), std::string::npos) << sent;
        EXPECT_EQ(body_of(sent), "hello=world");
        EXPECT_EQ(wired->keepalive_client, 1);
        char line[64];
        ASSERT_GT(wired->client->GetLine(line, sizeof line, 0), 0);
        EXPECT_STREQ(line, "GET http://next/ HTTP/1.1\r\n");
    }
    {
        // A chunked upload above the (empty) upload buffer is relayed re-chunked.
        Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
        Wired wired(false);
        const std::string got =
            serve(wired, "POST " + url(origin, "/form") +
                             " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;x\r\n=world\r\n0\r\n\r\n" + next);
        EXPECT_EQ(body_of(got), "ok");
        const std::string sent = origin.received(0);
        EXPECT_NE(sent.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << sent;
        EXPECT_EQ(body_of(sent), "5\r\nhello\r\n6\r\n=world\r\n0\r\n\r\n");
        EXPECT_EQ(wired->keepalive_client, 1);
        char line[64];
        ASSERT_GT(wired->client->GetLine(line, sizeof line, 0), 0);
        EXPECT_STREQ(line, "GET http://next/ HTTP/1.1\r\n");
    }
}

TEST_F(Request, AnUploadCutShortIsNeverCompletedTowardsTheServer)
{
    struct Case {
        Origin::Script script;
        const char* tail;   // the client's last bytes, a while after the first ones
        bool leaves;        // the client closes after them, else it waits for an answer
        const char* received;
    };
    const Case cases[] = {
        {[](int fd, std::string& received) { received = origin_read_request(fd); }, "5\r\nhel", true,
         "3\r\nabc\r\n5\r\nhel"},
        // A server that has only said "100 Continue" waits for the rest of the body: that is no
        // answer to wait for on the client's behalf.
        {[](int fd, std::string& received) {
             while (received.find("\r\n\r\n") == std::string::npos) {
                 char byte;
                 if (read(fd, &byte, 1) != 1)
                     return;
                 received.push_back(byte);
             }
             road::write_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
             received += origin_read_request(fd);
         },
         "zz\r\n", false, "3\r\nabc\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        Origin origin(std::vector<Origin::Script>{c.script});
        {
            Wired wired(false);
            write_all(wired.client_peer,
                      "POST " + url(origin, "/") + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n");
            // The rest once the server has had time to speak.
            std::thread client([&wired, &c] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                write_all(wired.client_peer, c.tail);
                if (c.leaves)
                    wired.close_client_peer();
            });
            const auto begun = std::chrono::steady_clock::now();
            handle_request(wired.get());
            client.join();
            EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
            EXPECT_EQ(wired->keepalive_client, 0);
            EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
        }
        EXPECT_EQ(body_of(origin.received(0)), c.received);
    }
}

TEST_F(Request, KeepAliveServesSeveralRequestsOnOneConnection)
{
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none",
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\ntwo\r\n0\r\n\r\n",
                   "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthree"});
    Wired wired(false);
    const char* paths[] = {"/1", "/2", "/3"};
    const char* bodies[] = {"one", "3\r\ntwo\r\n0\r\n\r\n", "three"};
    for (int i = 0; i < 3; ++i) {
        const std::string got = serve(wired, "GET " + url(origin, paths[i]) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(body_of(got), bodies[i]);
        EXPECT_EQ(wired->keepalive_client, 1);
        request_reset(wired.get());
    }
    EXPECT_EQ(origin.received(2).rfind("GET /3 HTTP/1.1\r\n", 0), 0u);
}

TEST_F(Request, OriginFormTakesItsHostFromTheHostLine)
{
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
    Wired wired(false);
    wired->port = 3128;
    const std::string got =
        serve(wired, "GET /page HTTP/1.1\r\nHost: LOCALHOST:" + std::to_string(origin.port()) + "\r\n\r\n");
    EXPECT_EQ(body_of(got), "ok") << got;
    EXPECT_NE(origin.received(0).find("Host: localhost:" + std::to_string(origin.port()) + "\r\n"), std::string::npos)
        << origin.received(0);
}

// What the header stage saw of the request, and the text it puts in place of the header's.
struct HeaderStage {
    static inline bool parsed_seen = false;
    static inline std::string seen;
    static inline std::string from, to;

    static int rewrite(CONNECTION_T* connection, Filebuf* buffer)
    {
        parsed_seen = connection->request != nullptr;
        seen = std::string(buffer->view());
        if (!from.empty()) {
            const std::size_t at = seen.find(from);
            if (at != std::string::npos)
                buffer->Replace(at, at + from.size(), to);
        }
        return 0;
    }
};

// The header stage gets the request's text and no parsed request; the request goes on as the
// stage left the text, whether it changed it or not, and its variables name its lines as they
// then stand.
TEST_F(Request, TheHeaderStageRewritesTheRequest)
{
    struct Case {
        const char* what;
        std::string from, to;
        const char* path;          // as the origin is asked for it
        const char* header_line;   // a line the origin must get
        const char* variable;      // a CLIENT variable and its value after the request
        const char* value;
    };
    const Case cases[] = {
        {"left as it was", "", "", "/old", "X-Mark: one\r\n", "CLIENT[x-mark]", "one"},
        {"path and a line changed", "/old", "/new", "/new", "X-Mark: one\r\n", "CLIENT[x-mark]", "one"},
        {"a line's value changed", "X-Mark: one", "X-Mark: two", "/old", "X-Mark: two\r\n", "CLIENT[x-mark]", "two"},
        {"a line added", "X-Mark: one\r\n", "X-Mark: one\r\nX-Added: 3\r\n", "/old", "X-Added: 3\r\n",
         "CLIENT[x-added]", "3"},
    };
    ASSERT_EQ(processors.Add(HeaderStage::rewrite, STAGE_REQUEST_HEADER), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HeaderStage::from = c.from;
        HeaderStage::to = c.to;
        Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
        Wired wired(false);
        const std::string request = "GET " + url(origin, "/old") + " HTTP/1.1\r\nX-Mark: one\r\n\r\n";
        const std::string got = serve(wired, request);
        EXPECT_EQ(body_of(got), "ok") << got;
        EXPECT_FALSE(HeaderStage::parsed_seen);
        EXPECT_EQ(HeaderStage::seen, request + std::string(1, '\0'));
        const std::string sent = origin.received(0);
        EXPECT_EQ(sent.rfind(std::string("GET ") + c.path + " HTTP/1.1\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find(c.header_line), std::string::npos) << sent;
        EXPECT_EQ(wired->logentry.url, url(origin, c.path));
        EXPECT_EQ(std::string_view(wired->variables[c.variable]), c.value);
        EXPECT_EQ(std::string_view(wired->variables["HTTP_FILE"]), c.path);
    }
    processors.Remove(HeaderStage::rewrite);
}

TEST_F(Request, RefusalsAnswerAndCloseTheConnection)
{
    struct Case {
        const char* request;
        const char* status_line;
        const char* category;
        const char* message;
    };
    const Case cases[] = {
        {"GET /page HTTP/1.1\r\nHost: example.com:3128\r\n\r\n", "HTTP/1.1 404 ", "security: ",
         "Blocked Security Breach: 127.0.0.1 tried to make a request to website on 3128"},
        {"GET /page HTTP/1.1\r\n\r\n", "HTTP/1.1 404 ", "security: ",
         "Blocked Security Breach: 127.0.0.1 tried to make a malformatted request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        road::log_clear();
        Wired wired(false);
        wired->port = 3128;
        const std::string got = serve(wired, c.request);
        EXPECT_EQ(got.rfind(c.status_line, 0), 0u) << got;
        EXPECT_NE(got.find("Cache-Control: no-cache\r\n"), std::string::npos);
        EXPECT_EQ(wired->keepalive_client, 0);
        EXPECT_TRUE(road::was_logged(c.category, c.message));
    }
}

TEST_F(Request, AnUnreachableServerIsAnswered503)
{
    int port;
    {
        Origin probe(std::vector<std::string>{});
        port = probe.port();
    }
    Wired wired(false);
    const std::string got = serve(wired, "GET http://127.0.0.1:" + std::to_string(port) + "/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 503 ", 0), 0u) << got;
    EXPECT_TRUE(road::was_logged("header: ", "error: reading header from 127.0.0.1"));
}

TEST_F(Request, AClientThatSendsNothingOrNonsense)
{
    {
        Wired wired(false);
        wired.close_client_peer();
        handle_request(wired.get());
        EXPECT_EQ(wired->keepalive_client, 0);
        EXPECT_TRUE(road::was_logged("warning: ", "request: timeout waiting for header from 127.0.0.1"));
    }
    {
        using namespace std::literals;
        // A header that does not parse is answered with a page saying so, then closed.
        const std::string unusable[] = {
            "NONSENSE\r\n\r\n",
            // Beyond the area: refused, not served cut.
            "GET http://127.0.0.1:1/ HTTP/1.1\r\nX: " + std::string(5000, 'x') + "\r\n\r\n",
            // Stage 5 hands a header back as text that ends at its first zero byte: the lines
            // behind one (the length here) would be lost and the body read as the next request.
            "POST http://127.0.0.1:1/ HTTP/1.1\r\nX: a\0\r\nContent-Length: 5\r\n\r\nhello"s,
            "GET http://127.0.0.1:65536/ HTTP/1.1\r\n\r\n",
            "GET http://a%40b/ HTTP/1.1\r\n\r\n",
            "POST http://127.0.0.1:1/ HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nhi",
            "POST http://127.0.0.1:1/ HTTP/1.1\r\nContent-Length: 2, 2\r\n\r\nhi",
        };
        for (const std::string& head : unusable) {
            SCOPED_TRACE(head.substr(0, 60));
            road::log_clear();
            Wired wired(false);
            const std::string got = serve(wired, head);
            EXPECT_EQ(got.rfind("HTTP/1.1 400 ", 0), 0u) << got;
            EXPECT_NE(got.find("<title>Bad Request</title>"), std::string::npos) << got;
            EXPECT_NE(got.find("Connection: close\r\n"), std::string::npos);
            EXPECT_EQ(wired->keepalive_client, 0);
            EXPECT_TRUE(road::was_logged("warning: ", "request: invalid header recieved from 127.0.0.1"));
        }
    }
    {
        // A kept-alive connection that closes ends silently.
        road::log_clear();
        Wired wired(false);
        wired->requests = 3;
        wired.close_client_peer();
        handle_request(wired.get());
        EXPECT_TRUE(road::logged("warning: ").empty());
    }
}

TEST_F(Request, AnUploadIsRefusedOnlyBeyondALimitedAllowance)
{
    int port;
    {
        Origin probe(std::vector<std::string>{});
        port = probe.port();
    }
    struct Case {
        std::uint32_t allowance;
        std::string length;
        bool refused;
    };
    const Case cases[] = {
        {ALLOWANCE_UNLIMITED, "5000000000", false},   // all ones is no limit, not one of 4 GiB
        {10, "11", true},
        {10, "10", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Wired wired(false);
        wired->upload_allowance = c.allowance;
        // Not refused, the request goes on to a server that is not there.
        const std::string got = serve(wired, "POST http://127.0.0.1:" + std::to_string(port) +
                                                 "/ HTTP/1.1\r\nContent-Length: " + c.length + "\r\n\r\n0123456789");
        EXPECT_EQ(got.find("Upload transfer limit exceeded") != std::string::npos, c.refused) << got;
        EXPECT_EQ(got.rfind(c.refused ? "HTTP/1.1 200 " : "HTTP/1.1 503 ", 0), 0u) << got;
    }
}

// One limit rule whose upload quota is `quota`; none for an unlimited one.
void upload_quota_load(std::uint32_t quota)
{
    std::string rules;
    if (quota != ALLOWANCE_UNLIMITED)
        rules = "<limit><enabled>true</enabled><comment></comment><profiles></profiles><action>0</action><template>"
                "</template><download>0</download><upload>" + std::to_string(quota) + "</upload><requests>0</requests>"
                "<rate>0</rate><timematch>absolute</timematch><options>0</options></limit>";
    section_load(*limit_section, "<limits><enabled>" + std::string(rules.empty() ? "false" : "true") + "</enabled>" +
                                     rules + "</limits>");
}

TEST_F(Request, ChunkedUploadsCountAgainstTheAllowanceAndInTheBytesOut)
{
    struct Case {
        const char* upload_buffer;
        std::uint32_t allowance;
        bool refused;
    };
    const Case cases[] = {
        {"1M", ALLOWANCE_UNLIMITED, false},
        {"1M", 11, false},
        {"1M", 10, true},   // read whole first: refused before any of it reaches the server
        {"0", ALLOWANCE_UNLIMITED, false},
        {"0", 11, false},
        {"0", 10, true},    // relayed as it comes: stopped at the chunk that goes beyond
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.upload_buffer) + " " + std::to_string(c.allowance));
        general_rule_load(c.upload_buffer);
        Origin origin({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
        Wired wired(false);
        // The allowance a previous request left is what the body is read against; the limit
        // check that follows sets it again from the rules, and a relayed body is held to that.
        wired->upload_allowance = c.allowance;
        upload_quota_load(c.allowance);
        const std::string got = serve(wired, "POST " + url(origin, "/") +
                                                 " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                 "5\r\nhello\r\n6\r\n=world\r\n0\r\n\r\n");
        if (c.refused) {
            EXPECT_EQ(got.rfind("HTTP/1.1 200 ", 0), 0u) << got;
            EXPECT_NE(got.find("Upload transfer limit exceeded"), std::string::npos) << got;
            EXPECT_EQ(wired->keepalive_client, 0);
        } else {
            EXPECT_EQ(body_of(got), "ok") << got;
            EXPECT_EQ(wired->bytes_out, 11u);
        }
    }
    section_load(*general_section, "<general></general>");
    upload_quota_load(ALLOWANCE_UNLIMITED);
}

TEST_F(Request, ConnectRelaysBothWaysAndNeverKeepsTheConnection)
{
    Origin origin(std::vector<Origin::Script>{[](int fd, std::string& received) {
        char block[16];
        const ssize_t n = read(fd, block, sizeof block);
        received.assign(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        road::write_all(fd, "pong");
    }});
    Wired wired(false);
    const std::string got =
        serve(wired, "CONNECT 127.0.0.1:" + std::to_string(origin.port()) + " HTTP/1.1\r\n\r\nping");
    EXPECT_EQ(got, "HTTP/1.1 200 Connection Established\r\n\r\npong");
    EXPECT_EQ(origin.received(0), "ping");
    EXPECT_EQ(wired->keepalive_client, 0);
}

TEST_F(Request, KeepAliveOfTheClient)
{
    struct Case {
        const char* request;
        int keepalive;
    };
    const Case cases[] = {
        {"GET http://a/ HTTP/1.1\r\n\r\n", 1},
        {"GET http://a/ HTTP/1.0\r\n\r\n", 0},
        {"GET http://a/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", 1},
        {"GET http://a/ HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 1},
        {"GET http://a/ HTTP/1.1\r\nConnection: close\r\n\r\n", 0},
        {"GET http://a/ HTTP/1.1\r\nConnection: keep-alive\r\nProxy-Connection: close\r\n\r\n", 0},
        {"CONNECT a:443 HTTP/1.1\r\nProxy-Connection: keep-alive\r\n\r\n", 0},
        // a length beside the coding: a peer may have framed the body by either
        {"POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 0},
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n"
         "Connection: keep-alive\r\n\r\n", 0},
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Wired wired(false);
        wired->request = http_header_parse_request(c.request);
        ASSERT_NE(wired->request, nullptr);
        wired->keepalive_client = 1 - c.keepalive;
        keepalive_check_client(wired.get());
        EXPECT_EQ(wired->keepalive_client, c.keepalive);
    }
}

// A request decides on the flags its lookup found the object with. Another holder may invalidate
// the object (a failed revalidation, a transfer that failed) the moment the lookup lets the
// mutex go: the request still holds its reference and the stored bytes, so it is served a hit,
// never the 404 of an object found invalid. Offline requests from several threads, while one
// thread invalidates and stores the answer again and again: each gets the stored answer or, when
// it came between an invalidation and the next store, "nocache".
TEST_F(Request, AHitIsDecidedOnWhatItsLookupFoundWhileAnotherThreadInvalidatesTheObject)
{
    CacheSection cache;
    section_load(cache, "<cache><enabled>true</enabled><violations>true</violations><memorysize>64M</memorysize>"
                        "<memoryextra>4M</memoryextra><minsize>0</minsize><maxsize>1M</maxsize>"
                        "<prefetchwindow>60</prefetchwindow><icpport>0</icpport><icptimeout>1000</icptimeout>"
                        "<storeselect>0</storeselect><journalthreshold>0</journalthreshold>"
                        "<cleaninterval>30</cleaninterval><refresh><enabled>true</enabled><comment/><profiles/>"
                        "<cache>true</cache><minage>0</minage><maxage>86400</maxage><validate>86400</validate>"
                        "<lmfactor>10</lmfactor></refresh></cache>");
    CacheSection* const saved = std::exchange(cache_section, &cache);
    const std::time_t holdoff = cache_holdoff();
    cache_holdoff_set(0);
    const std::string key = "http://cached.test:80/x";   // a request's full URL names its port
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nCache-Control: no-store\r\n\r\n";
    const auto store = [&] {
        CACHEMAP* object = cache.cache_open(nullptr, key, header.c_str(), CACHE_WRITING);
        if (object == nullptr)
            return false;   // the invalid one is still held: it goes with its last holder
        EXPECT_EQ(cache.add(object, "stored", 6), 6);
        cache.cache_close(object, true);
        return true;
    };
    ASSERT_TRUE(store());
    // Threads of the table: the road logs, and a log line names its thread's client.
    std::atomic<int> running{0};
    using Body = std::function<void()>;
    const auto launch = [&running](Body body) {
        ++running;
        const ThreadStart run = [](void* given) -> void* {
            std::unique_ptr<Body>(static_cast<Body*>(given))->operator()();
            return nullptr;
        };
        auto owned = std::make_unique<Body>(std::move(body));
        ASSERT_GE(thread_create_internal(run, owned.get()), 0);
        owned.release();
    };
    constexpr int THREADS = 4, REQUESTS = 400;
    std::atomic<int> clients{THREADS}, hits{0}, misses{0}, others{0};
    launch([&] {
        while (clients.load() > 0) {
            cache.invalidate_key(key);
            while (clients.load() > 0 && !store())
                std::this_thread::yield();
        }
        --running;
    });
    for (int t = 0; t < THREADS; ++t) {
        launch([&] {
            for (int i = 0; i < REQUESTS; ++i) {
                Wired wired(false);
                wired->flags |= CONN_OFFLINE;
                write_all(wired.client_peer, "GET " + key + " HTTP/1.1\r\nHost: cached.test\r\n\r\n");
                handle_request(wired.get());
                connection_cache_settle(*wired.get());
                const std::string got = read_now(wired.client_peer);
                if (got.rfind("HTTP/1.1 200 ", 0) == 0 && body_of(got) == "stored")
                    ++hits;
                else if (got.rfind("HTTP/1.1 404 ", 0) == 0 && wired->logentry.cachecode() == std::string("TCP_MISS"))
                    ++misses;
                else
                    ++others;
            }
            --clients;
            --running;
        });
    }
    while (running.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    cache_section = saved;
    cache_holdoff_set(holdoff);

    for (const std::string& line : road::logged(""))
        EXPECT_EQ(line.find("Please re-check rules in the Caching Section"), std::string::npos) << line;
    EXPECT_EQ(others.load(), 0) << hits.load() << " hits, " << misses.load() << " misses";
    EXPECT_EQ(hits.load() + misses.load(), THREADS * REQUESTS);
    EXPECT_GT(hits.load(), 0);
}

// The access and extended logs in files of the test's own; the statistics of the proxy exist.
class Records : public Request {
protected:
    void SetUp() override
    {
        Request::SetUp();
        globalstats_init();
        dir_ = std::filesystem::temp_directory_path() / ("request_test." + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        slogfile = (dir_ / "access.log").string();
        elogfile = (dir_ / "extended.log").string();
    }
    void TearDown() override
    {
        {
            std::lock_guard lock(logfile_lock);
            for (int* fd : {&slogfd, &elogfd}) {
                if (*fd >= 0)
                    close(*fd);
                *fd = -1;
            }
        }
        slogfile.clear();
        elogfile.clear();
        std::filesystem::remove_all(dir_);
    }

    // The one record a log holds after its legend and the empty line, without its newlines.
    static std::string record(const std::string& path, const char* legend)
    {
        std::ifstream in(path);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string head = std::string(legend) + "\n";
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        const std::string rest = text.substr(std::min(head.size(), text.size()));
        EXPECT_EQ(rest.find('\n', 0), std::string::npos) << "more than one record: " << rest;
        return rest;
    }
    std::string access() const { return record(slogfile, access_legend); }
    std::string extended() const { return record(elogfile, apache_legend); }

    // A connection accepted on 127.0.0.1:3128 as client 42.
    static void accepted(Wired& wired)
    {
        wired->localip = "127.0.0.1";
        wired->port = 3128;
        wired->id = 42;
    }

    std::filesystem::path dir_;
};

std::uint64_t counted(const Stats* stats, const char* group, const std::string& name)
{
    const StatGroup* found = stats != nullptr ? stats->group(group) : nullptr;
    if (found == nullptr)
        return 0;
    for (const StatCounter& counter : found->counters())
        if (counter.name == name)
            return counter.value;
    return 0;
}

// What one request adds to the counters that the road changes, in the proxy's object and in
// the admitting rule's.
struct Counts {
    std::uint64_t http, connect, host, mime;
    static Counts of(const Stats* stats, const std::string& host, const std::string& mime)
    {
        return {counted(stats, "requests", "HTTP requests"), counted(stats, "requests", "CONNECT requests"),
                counted(stats, "hosts", host), counted(stats, "mimes", mime)};
    }
    Counts operator-(const Counts& o) const { return {http - o.http, connect - o.connect, host - o.host, mime - o.mime}; }
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& c)
{
    return out << "{http " << c.http << ", connect " << c.connect << ", host " << c.host << ", mime " << c.mime << "}";
}

// "\d+\.\d{3} \d+ " and the date of the extended record, which only the clock decides.
const std::string STAMP = R"(\d+\.\d{3})";
const std::string DATE = R"(\[\d{2}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:\d{2}:\d{2}:\d{2}\])";

std::string quoted_regex(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

TEST_F(Records, AnAnsweredRequestIsRecordedAndCountedInTheProxyAndItsRule)
{
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello"});
    Wired wired(false);
    accepted(wired);
    const std::shared_ptr<const AccessRules> rules = access_section->rules();
    const Stats* rule = rules->fallback.stats.get();
    const Counts proxy_before = Counts::of(&global->stats, "127.0.0.1", "text/plain");
    const Counts rule_before = Counts::of(rule, "127.0.0.1", "text/plain");
    const std::string user = R"(anonymous@10.9.8.7\x01x)";
    const std::uint64_t user_before = counted(&global->stats, "users", user);
    const std::string target = url(origin, "/a");
    // The forwarded address is the sender's text: a control byte in it must not split a record.
    const std::string got = serve(wired, "GET " + target +
                                             " HTTP/1.1\r\nUser-Agent: t/1\r\nReferer: http://r/\r\n"
                                             "X-Forwarded-For: 10.9.8.7\x01x\r\n\r\n");
    ASSERT_EQ(body_of(got), "hello") << got;

    const std::string u = quoted_regex(target);
    const std::string client = R"(10\.9\.8\.7\\x01x)";
    // The anonymous user is named after the forwarded address, written as the records write it.
    const std::string username = "anonymous@" + client;
    EXPECT_TRUE(std::regex_match(access(), std::regex(STAMP + R"( \d+ )" + client + " TCP_MISS/200 5 GET " + u + " " +
                                                      username + R"( DIRECT/127\.0\.0\.1 text/plain)")))
        << access();
    EXPECT_TRUE(std::regex_match(extended(), std::regex("\"" + STAMP + R"(-42-127\.0\.0\.1-3128" \d+ )" + client +
                                                        " \"" + username + R"(" "42" )" + DATE + " \"GET " + u +
                                                        R"(" 200 5 )" +
                                                        R"("http://r/" "t/1" text/plain "- -" "-" "127\.0\.0\.1:3128")")))
        << extended();

    EXPECT_EQ(wired->stats.get(), rule);
    EXPECT_EQ(Counts::of(&global->stats, "127.0.0.1", "text/plain") - proxy_before, (Counts{1, 0, 1, 1}));
    EXPECT_EQ(Counts::of(rule, "127.0.0.1", "text/plain") - rule_before, (Counts{1, 0, 1, 1}));
    EXPECT_EQ(counted(&global->stats, "users", user) - user_before, 1u);
}

int block_at_request_check(CONNECTION_T* connection, Filebuf*)
{
    connection->logentry.filter_name = "url-filter";
    connection->logentry.filtering_reason = "rule 7";
    template_section->send("noaccess", connection, 404);
    return 1;
}

TEST_F(Records, ARequestBlockedBeforeTheCacheIsRecordedAsDenied)
{
    ASSERT_EQ(processors.Add(block_at_request_check, STAGE_REQUEST_CHECK), 1);
    Wired wired(false);
    accepted(wired);
    const std::shared_ptr<const AccessRules> rules = access_section->rules();
    const Stats* rule = rules->fallback.stats.get();
    const Counts before = Counts::of(rule, "blocked.test", "text/html");
    const std::string got = serve(wired, "GET http://blocked.test:8080/x HTTP/1.1\r\n\r\n");
    processors.Remove(block_at_request_check);
    ASSERT_EQ(got.rfind("HTTP/1.1 404 ", 0), 0u) << got;
    const std::string size = std::to_string(body_of(got).size());

    EXPECT_TRUE(std::regex_match(access(), std::regex(STAMP + R"( \d+ 127\.0\.0\.1 TCP_DENIED/404 )" + size +
                                                      R"( GET http://blocked\.test:8080/x anonymous@127\.0\.0\.1 DIRECT/tarvodine text/html)")))
        << access();
    EXPECT_TRUE(std::regex_match(extended(), std::regex("\"" + STAMP + R"(-42-127\.0\.0\.1-3128" \d+ 127\.0\.0\.1 "anonymous@127\.0\.0\.1" "42" )" +
                                                        DATE + R"( "GET http://blocked\.test:8080/x" 404 )" + size +
                                                        R"( "-" "-" text/html "url-filter rule 7" "-" "127\.0\.0\.1:3128")")))
        << extended();
    // Only the host was counted: no request was carried out.
    EXPECT_EQ(Counts::of(rule, "blocked.test", "text/html") - before, (Counts{0, 0, 1, 0}));
}

int buffer_every_body(CONNECTION_T*, Filebuf*)
{
    return 1;
}

int block_at_response_check(CONNECTION_T* connection, Filebuf*)
{
    connection->logentry.filter_name = "keyword-filter";
    connection->logentry.filtering_reason = "score 120";
    template_section->send("noaccess", connection, 404);
    return 1;
}

// A body blocked after it was buffered is recorded as denied with the server's status, size and
// type (the block page names the proxy as the peer), and its type is not counted: only an answer
// that reached the client counts its type.
TEST_F(Records, ABodyBlockedAfterBufferingIsRecordedAsDeniedWithoutCountingItsType)
{
    // Bodies up to 1 MiB may be buffered.
    general_rule_load("1M");
    ASSERT_EQ(processors.Add(buffer_every_body, STAGE_BUFFER_CHECK), 1);
    ASSERT_EQ(processors.Add(block_at_response_check, STAGE_RESPONSE_CHECK), 1);
    Origin origin({"HTTP/1.1 200 OK\r\nContent-Type: text/x-blocked\r\nContent-Length: 5\r\n\r\nhello"});
    Wired wired(false);
    accepted(wired);
    const Counts before = Counts::of(&global->stats, "127.0.0.1", "text/x-blocked");
    const std::string got = serve(wired, "GET " + url(origin, "/b") + " HTTP/1.1\r\n\r\n");
    processors.Remove(block_at_response_check);
    processors.Remove(buffer_every_body);
    section_load(*general_section, "<general></general>");
    ASSERT_EQ(got.rfind("HTTP/1.1 404 ", 0), 0u) << got;
    EXPECT_EQ(body_of(got).find("hello"), std::string::npos);

    EXPECT_TRUE(std::regex_match(access(), std::regex(STAMP + R"( \d+ 127\.0\.0\.1 TCP_DENIED/200 5 GET )" +
                                                      quoted_regex(url(origin, "/b")) +
                                                      R"( anonymous@127\.0\.0\.1 DIRECT/tarvodine text/x-blocked)")))
        << access();
    EXPECT_NE(extended().find(" text/x-blocked \"keyword-filter score 120\" "), std::string::npos) << extended();
    EXPECT_EQ(Counts::of(&global->stats, "127.0.0.1", "text/x-blocked") - before, (Counts{1, 0, 1, 0}));
}

TEST_F(Records, ATunnelIsRecordedWithTheBytesItRelayed)
{
    Origin origin(std::vector<Origin::Script>{[](int fd, std::string& received) {
        char block[16];
        const ssize_t n = read(fd, block, sizeof block);
        received.assign(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        road::write_all(fd, "pong!");
    }});
    Wired wired(false);
    accepted(wired);
    const std::shared_ptr<const AccessRules> rules = access_section->rules();
    const Stats* rule = rules->fallback.stats.get();
    const Counts before = Counts::of(rule, "127.0.0.1", "-");
    const std::string target = "127.0.0.1:" + std::to_string(origin.port());
    const std::string got = serve(wired, "CONNECT " + target + " HTTP/1.1\r\n\r\nping");
    ASSERT_EQ(got, "HTTP/1.1 200 Connection Established\r\n\r\npong!");

    EXPECT_TRUE(std::regex_match(access(), std::regex(STAMP + R"( \d+ 127\.0\.0\.1 TCP_MISS/200 9 CONNECT )" +
                                                      quoted_regex(wired->logentry.url) + R"( anonymous@127\.0\.0\.1 DIRECT/127\.0\.0\.1 -)")))
        << access();
    EXPECT_EQ(wired->logentry.url, "connect://" + target + "/");
    EXPECT_TRUE(std::regex_match(extended(), std::regex("\"" + STAMP + R"(-42-127\.0\.0\.1-3128" \d+ 127\.0\.0\.1 "anonymous@127\.0\.0\.1" "42" )" +
                                                        DATE + " \"CONNECT " + quoted_regex(wired->logentry.url) +
                                                        R"(" 200 9 "-" "-" - "- -" "-" "127\.0\.0\.1:3128")")))
        << extended();
    EXPECT_EQ(Counts::of(rule, "127.0.0.1", "-") - before, (Counts{0, 1, 1, 0}));
}

TEST(Bypass, OptionLettersSetAndClearTheirBits)
{
    struct Case {
        std::uint32_t before;
        bool has_options;
        const char* options;
        std::uint32_t after;
    };
    const Case cases[] = {
        {0, false, "", 0xFFFFFFFFu},
        {0x5, true, "", 0x5},                     // an empty option text changes nothing
        {0x1, true, "-f+k", 0x100},
        {0, true, "fhmrcwepkdai", 0x1BFF},        // every letter; limits and blacklists stay
        {0xFFFF, true, "-fhm", 0xFFF8},
        {0, true, "f-f+f", 0x1},
        {0, true, "xyz!9", 0},                    // unknown characters are ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        EXPECT_EQ(bypass_apply(c.before, c.has_options, c.options), c.after);
    }
}

} // namespace
