#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "http/connect.h"
#include "http/header.h"
#include "net/network.h"
#include "parent_fixture.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "road_fixture.h"
#include "http/transfer.h"

using parent::messages_of;
using parent::read_message;
using parent::value_of;
using road::read_now;
using road::Wired;
using road::write_all;

namespace {

class Connect : public testing::Test {
protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        road::sections_create();
        road::log_clear();
    }
};

void request_set(CONNECTION_T* connection, std::string_view text)
{
    connection->request = http_header_parse_request(text);
    ASSERT_NE(connection->request, nullptr);
}

// A parent that answers each request it reads with the next reply and, after the last one,
// relays "ping" with "pong" when asked to; then it hangs up. The requests it read, in order.
std::function<void(int)> parent_script(std::vector<std::string> replies, bool tunnel,
                                       std::vector<std::string>& requests)
{
    return [replies = std::move(replies), tunnel, &requests](int fd) {
        for (const std::string& reply : replies) {
            requests.push_back(read_message(fd));
            write_all(fd, reply);
        }
        if (tunnel) {
            char ping[4];
            if (read(fd, ping, sizeof ping) == 4 && std::string(ping, 4) == "ping")
                write_all(fd, "pong");
        }
        shutdown(fd, SHUT_RDWR);
    };
}

constexpr const char* OPENED = "HTTP/1.1 200 Connection established\r\n\r\n";
constexpr const char* BASIC_REFUSAL = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                     "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 2\r\n\r\nno";

TEST_F(Connect, ClientConnectPassedOnToAParent)
{
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        bool established;
        std::size_t requests;          // CONNECTs the parent read
        const char* error;             // line in the error log, or ""
    };
    const Case cases[] = {
        {"opened", {OPENED}, true, 1, ""},
        {"opened after Basic credentials", {BASIC_REFUSAL, OPENED}, true, 2, ""},
        {"refused", {"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}, false, 1,
         "request: failed CONNECT to srv:443"},
        {"credentials refused too", {BASIC_REFUSAL, BASIC_REFUSAL}, false, 2, "request: failed CONNECT to srv:443"},
        {"a scheme the proxy does not speak",
         {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\nContent-Length: 0\r\n\r\n"},
         false, 1, "request: failed CONNECT to srv:443"},
        // Parsed as an HTTP/0.9 answer, which says nothing of a tunnel.
        {"no status line", {"SSH-2.0-OpenSSH_9.2\r\n"}, false, 1, "request: failed CONNECT to srv:443"},
        {"no answer", {}, false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        road::log_clear();
        Wired wired;
        request_set(wired.get(), "CONNECT srv:443 HTTP/1.1\r\nUser-Agent: t\r\n\r\n");
        wired->proxy_type = UPSTREAM_HTTP;
        wired->proxy_username = "alice";
        wired->proxy_password = "secret";
        wired->keepalive_client = 1;
        write_all(wired.client_peer, "ping");
        std::vector<std::string> requests;
        {
            parent::Script script(wired.server_peer, parent_script(c.replies, c.established, requests));
            EXPECT_EQ(protocol_connect(wired.get()), 0);
        }

        const std::string got = read_now(wired.client_peer);
        if (c.established) {
            EXPECT_EQ(got, "HTTP/1.1 200 Connection Established\r\n\r\npong");
            EXPECT_EQ(wired->logentry.size, 8u);
        } else {
            EXPECT_EQ(got.rfind("HTTP/1.1 503 ", 0), 0u) << got;
            // The client is never asked for the parent's credentials.
            EXPECT_EQ(got.find("Proxy-Authenticate"), std::string::npos) << got;
        }
        ASSERT_EQ(requests.size(), c.requests);
        for (const std::string& request : requests) {
            EXPECT_EQ(request.rfind("CONNECT srv:443 HTTP/1.1\r\n", 0), 0u) << request;
            EXPECT_EQ(value_of(request, "Host"), "srv:443");
        }
        if (c.requests == 2) {
            EXPECT_EQ(value_of(requests[1], "Proxy-Authorization"), "Basic YWxpY2U6c2VjcmV0");
        }
        if (*c.error != '\0') {
            EXPECT_TRUE(road::was_logged("error: ", c.error));
        }
        if (c.replies.empty()) {
            EXPECT_TRUE(road::was_logged("request: ", "error: failed CONNECT to srv:443"));
        }
        EXPECT_EQ(wired->keepalive_client, 0);
        EXPECT_EQ(wired->keepalive_server, 0);
        EXPECT_EQ(wired->response, nullptr);
    }
}

TEST_F(Connect, TunnelThroughAParentOpensOnlyOnSuccess)
{
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        int result;
    };
    const Case cases[] = {
        {"opened", {OPENED}, 1},
        {"opened by an HTTP/1.0 parent", {"HTTP/1.0 200 Connection established\r\n\r\n"}, 1},
        {"opened after Basic credentials", {BASIC_REFUSAL, OPENED}, 1},
        // Any other answer leaves a connection that still speaks to the parent.
        {"refused", {"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}, -1},
        {"redirected", {"HTTP/1.1 302 Found\r\nLocation: http://x/\r\nContent-Length: 0\r\n\r\n"}, -1},
        {"credentials refused", {BASIC_REFUSAL, BASIC_REFUSAL}, -1},
        {"no status line", {"SSH-2.0-OpenSSH_9.2\r\n"}, -1},
        {"no answer", {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired;
        request_set(wired.get(), "GET http://srv/page HTTP/1.1\r\nProxy-Authorization: Basic Y2xpZW50OnB3\r\n\r\n");
        const HEADER* client_request = wired->request.get();
        wired->proxy_type = UPSTREAM_CONNECT;
        wired->proxy_username = "alice";
        wired->proxy_password = "secret";
        std::vector<std::string> requests;
        {
            parent::Script script(wired.server_peer, parent_script(c.replies, false, requests));
            EXPECT_EQ(proxy_connect(wired.get()), c.result);
        }
        EXPECT_EQ(wired->request.get(), client_request);
        EXPECT_EQ(wired->response, nullptr);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].rfind("CONNECT srv:80 HTTP/1.1\r\n", 0), 0u) << requests[i];
            // The client's own credentials are not the parent's: only the proxy's go there.
            EXPECT_EQ(value_of(requests[i], "Proxy-Authorization"), i == 0 ? "" : "Basic YWxpY2U6c2VjcmV0");
        }
    }
}

TEST_F(Connect, RequestsGoThroughTheParentsTunnelAsToTheOrigin)
{
    std::vector<std::string> received;
    Wired wired(false);
    request_set(wired.get(), "GET http://srv/page HTTP/1.1\r\nProxy-Authorization: Basic Y2xpZW50OnB3\r\n\r\n");
    wired->proxy_type = UPSTREAM_CONNECT;
    wired->parent_host = "127.0.0.1";
    {
        parent::Listener listener({[&](int fd) {
            received.push_back(read_message(fd));
            write_all(fd, OPENED);
            received.push_back(read_message(fd));
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
        }});
        wired->parent_port = listener.port();
        ASSERT_GE(protocol_start(wired.get()), 0);
        EXPECT_EQ(protocol_http(wired.get()), 1);
    }

    const std::string got = read_now(wired.client_peer);
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "hello");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].rfind("CONNECT srv:80 HTTP/1.1\r\n", 0), 0u) << received[0];
    // Inside the tunnel the request is written as to the origin itself.
    EXPECT_EQ(received[1].rfind("GET /page HTTP/1.1\r\n", 0), 0u) << received[1];
    EXPECT_EQ(value_of(received[1], "Proxy-Authorization"), "");
    EXPECT_EQ(value_of(received[1], "Host"), "srv");
}

TEST_F(Connect, AParentThatClosesWithoutOpeningTheTunnelFailsTheConnect)
{
    parent::Listener listener({[](int fd) { read_message(fd); }});
    Wired wired(false);
    request_set(wired.get(), "GET http://srv/ HTTP/1.1\r\n\r\n");
    wired->proxy_type = UPSTREAM_CONNECT;
    wired->parent_host = "127.0.0.1";
    wired->parent_port = listener.port();
    EXPECT_EQ(protocol_start(wired.get()), NET_UNKNOWN);
    EXPECT_EQ(wired->server, nullptr);
    EXPECT_TRUE(road::was_logged("error: ", "network: connection to proxy failed"));
}

TEST_F(Connect, ProxyTestShowsTheRequestAsTheUpstreamDeliversIt)
{
    // An upstream that delivers the request it reads to the address in its request line, with
    // a Via of its own.
    std::string forwarded;
    auto deliver_back = [&](int fd) {
        forwarded = read_message(fd);
        const std::string target = forwarded.substr(forwarded.find("http://") + 7);
        const std::string authority = target.substr(0, target.find('/'));
        const int port = std::stoi(authority.substr(authority.find(':') + 1));
        const int back = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, authority.substr(0, authority.find(':')).c_str(), &address.sin_addr);
        if (connect(back, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            write_all(back, "GET / HTTP/1.1\r\nHost: " + authority + "\r\nVia: 1.1 upstream.test\r\n\r\n");
        read_message(back);   // until the proxy hangs up
        close(back);
    };
    Wired wired(false);
    request_set(wired.get(), "GET http://upstream.test/ HTTP/1.1\r\n\r\n");
    wired->proxy_type = UPSTREAM_HTTP;
    wired->parent_host = "127.0.0.1";
    wired->keepalive_server = 1;
    const Socket* server = nullptr;
    {
        parent::Listener upstream({deliver_back});
        wired->parent_port = upstream.port();
        ASSERT_GE(protocol_start(wired.get()), 0);
        server = wired->server.get();
        proxy_test(wired.get());
    }

    HeaderPtr delivered(wired->response);
    wired->response = nullptr;
    ASSERT_NE(delivered, nullptr);
    EXPECT_EQ(*delivered->via, "1.1 upstream.test");
    EXPECT_EQ(*delivered->path, "/");
    // Sent to the upstream as to a parent, for the proxy's own address and listening port.
    EXPECT_EQ(forwarded.rfind("GET http://127.0.0.1:", 0), 0u) << forwarded;
    EXPECT_EQ(wired->server.get(), server);
    EXPECT_EQ(wired->keepalive_server, 0);
}

TEST_F(Connect, ProxyTestNeedsAnUpstreamReachedOverIPv4)
{
    Wired wired;   // the server socket is a local socket pair
    request_set(wired.get(), "GET http://upstream.test/ HTTP/1.1\r\n\r\n");
    proxy_test(wired.get());
    EXPECT_EQ(wired->response, nullptr);
    EXPECT_EQ(read_now(wired.server_peer), "");
}

} // namespace
