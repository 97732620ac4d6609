#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <tuple>
#include <string>
#include <thread>

#include "util/filebuf.h"
#include "http/header.h"
#include "core/processors.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/response.h"
#include "road_fixture.h"

using road::read_now;
using road::Wired;
using road::write_all;

namespace {

class Protocol : public testing::Test {
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

// A stage-7 callback that answers every request itself, as an authentication rule does.
int answer_auth(CONNECTION_T* connection, Filebuf* body)
{
    HeaderPtr answer = header_new();
    answer->kind = HEADER_RESPONSE;
    answer->status = 407;
    answer->content_length = 999;   // replaced by the body's size
    answer->chunked = 1;
    body->Swap(nullptr);
    body->Add("auth please");
    connection->response = answer.release();
    connection->username = "alice";
    return 1;
}

TEST_F(Protocol, AStageAnswerIsSentWithItsBodyAndFreed)
{
    ASSERT_EQ(processors.Add(answer_auth, STAGE_AUTH), 1);
    Wired wired(false);
    request_set(wired.get(), "GET http://a/ HTTP/1.1\r\n\r\n");
    wired->keepalive_client = 1;
    Filebuf body;
    EXPECT_EQ(process_request(wired.get(), &body), 0);
    processors.Remove(answer_auth);

    EXPECT_EQ(wired->response, nullptr);
    const std::string got = read_now(wired.client_peer);
    EXPECT_EQ(got.rfind("HTTP/1.1 407 ", 0), 0u) << got;
    EXPECT_NE(got.find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(got.find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "auth please");
    EXPECT_EQ(wired->logentry.username, "alice");
    EXPECT_EQ(wired->variables["USERNAME"], "alice");
}

TEST_F(Protocol, WithoutAnAnswerTheBodyDecidesTheRequestsLength)
{
    struct Case {
        const char* request;
        const char* body;
        std::uint32_t flags;
        bool length;
        std::int64_t content_length;
        int chunked;
    };
    const Case cases[] = {
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "hello", 0, true, 5, 0},
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "", 0, true, 0, 0},
        // Still on its way from the client: relayed with the framing it came with.
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "hel", CONN_STREAM, false, 0, 1},
        {"POST http://a/ HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "", CONN_STREAM, true, 100, 0},
        {"GET http://a/ HTTP/1.1\r\n\r\n", "", 0, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Wired wired(false);
        request_set(wired.get(), c.request);
        wired->flags = c.flags;
        Filebuf body;
        body.Add(std::string_view(c.body));
        EXPECT_EQ(process_request(wired.get(), &body), 1);
        EXPECT_EQ((wired->request->flags & HEADER_LENGTH) != 0, c.length);
        if (c.length) {
            EXPECT_EQ(wired->request->content_length, c.content_length);
        }
        EXPECT_EQ(wired->request->chunked, c.chunked);
    }
}

TEST_F(Protocol, PooledConnectionsAreKeyedByTheWholeRoute)
{
    struct Case {
        const char* name;
        int kind;
        const char* parent;
        const char* user;
        std::uint32_t flags;
        const char* url;
    };
    const Case cases[] = {
        {"direct", UPSTREAM_DIRECT, "", "", 0, "http://srv/"},
        {"direct over TLS", UPSTREAM_DIRECT, "", "", CONN_TLS, "http://srv/"},
        {"URL credentials", UPSTREAM_DIRECT, "", "", 0, "http://u:p@srv/"},
        {"SOCKS4", UPSTREAM_SOCKS4, "socks", "", 0, "http://srv/"},
        {"SOCKS5", UPSTREAM_SOCKS5, "socks", "", 0, "http://srv/"},
        {"SOCKS5 elsewhere", UPSTREAM_SOCKS5, "other", "", 0, "http://srv/"},
        {"parent", UPSTREAM_HTTP, "parent", "", 0, "http://srv/"},
        {"parent as another user", UPSTREAM_HTTP, "parent", "bob", 0, "http://srv/"},
        {"parent through CONNECT", UPSTREAM_CONNECT, "parent", "", 0, "http://srv/"},
    };
    std::set<std::string> keys;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired(false);
        request_set(wired.get(), std::string("GET ") + c.url + " HTTP/1.1\r\n\r\n");
        wired->proxy_type = c.kind;
        wired->parent_host = c.parent;
        wired->parent_port = 8080;
        wired->proxy_username = c.user;
        wired->flags = c.flags;
        const ServerKey key = serverpool_key(wired.get());
        EXPECT_EQ(key.protocol, "http");
        if (c.kind == UPSTREAM_HTTP) {
            EXPECT_EQ(key.host, "parent");
            EXPECT_EQ(key.port, 8080);
        } else {
            EXPECT_EQ(key.host, "srv");
            EXPECT_EQ(key.port, 80);
        }
        keys.insert(key.route + "|" + key.host + "|" + key.user.value_or("-") + "|" + key.password.value_or("-"));
    }
    EXPECT_EQ(keys.size(), std::size(cases));

    // Origins reached through one parent share its connections.
    Wired a(false), b(false);
    request_set(a.get(), "GET http://one/ HTTP/1.1\r\n\r\n");
    request_set(b.get(), "GET http://two:81/ HTTP/1.1\r\n\r\n");
    for (CONNECTION_T* connection : {a.get(), b.get()}) {
        connection->proxy_type = UPSTREAM_HTTP;
        connection->parent_host = "parent";
        connection->parent_port = 3128;
    }
    const ServerKey ka = serverpool_key(a.get()), kb = serverpool_key(b.get());
    EXPECT_EQ(std::tie(ka.host, ka.port, ka.route), std::tie(kb.host, kb.port, kb.route));
}

TEST_F(Protocol, ADeadReusedConnectionIsReplacedAndTheRequestSentAgain)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, 1);
    std::string received;
    std::thread origin([&] {
        const int fd = accept(listener, nullptr, nullptr);
        char block[4096];
        const ssize_t n = read(fd, block, sizeof block);
        received.assign(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        road::write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        close(fd);
    });

    Wired wired;
    request_set(wired.get(), "GET http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x HTTP/1.1\r\n\r\n");
    wired->keepalive_server = 1;   // as a pooled connection has it
    wired.close_server_peer();     // which the server has closed meanwhile
    const HeaderText text = header_get_reconnect(wired.get(), 60);
    origin.join();
    close(listener);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(received.rfind("GET /x HTTP/1.1\r\n", 0), 0u);
}

TEST_F(Protocol, AFreshConnectionThatGivesNothingIsAnswered503)
{
    Wired wired;
    request_set(wired.get(), "GET http://srv/ HTTP/1.1\r\n\r\n");
    wired.close_server_peer();
    EXPECT_FALSE(header_get_reconnect(wired.get(), 60));
    EXPECT_EQ(read_now(wired.client_peer).rfind("HTTP/1.1 503 ", 0), 0u);
}

TEST_F(Protocol, AStreamedUploadIsNotSentTwice)
{
    Wired wired;
    request_set(wired.get(), "POST http://srv/ HTTP/1.1\r\nContent-Length: 10\r\n\r\n");
    wired->keepalive_server = 1;
    wired->keepalive_client = 1;
    wired->flags |= CONN_STREAM;
    wired.close_server_peer();
    EXPECT_FALSE(header_get_reconnect(wired.get(), 60));
    EXPECT_EQ(wired->keepalive_client, 0);
    EXPECT_TRUE(road::was_logged("warning: ", "request: server dropped connection during direct POST"));
}

TEST_F(Protocol, EncodedContentIsAcceptedOnlyWhenTheClientAsksForIt)
{
    struct Case {
        const char* accept;
        std::uint32_t flags;
        int result;
    };
    const Case cases[] = {
        {"Accept-Encoding: gzip, br\r\n", 0, 1},
        {"Accept-Encoding: DEFLATE\r\n", 0, 1},
        {"Accept-Encoding: br\r\n", 0, 0},
        {"", 0, 0},
        {"Accept-Encoding: gzip\r\n", CONN_ENCODED, 0},   // asked for by the proxy, not the client
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.accept);
        Wired wired(false);
        request_set(wired.get(), std::string("GET http://a/ HTTP/1.1\r\n") + c.accept + "\r\n");
        wired->flags = c.flags;
        EXPECT_EQ(accepts_encoded_content(wired.get()), c.result);
    }
}

TEST_F(Protocol, BufferingDecisions)
{
    struct Case {
        const char* request;
        const char* response;
        int buffer;
        bool process_after;
    };
    const Case cases[] = {
        // Without a download buffer a known length always streams.
        {"GET http://a/ HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", 0, true},
        {"GET http://a/ HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 1, true},
        {"GET http://a/ HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0, false},
        {"GET http://a/ HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", 1, true},
        {"GET http://a/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n",
         0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response);
        Wired wired(false);
        request_set(wired.get(), c.request);
        const HeaderPtr response = http_header_parse_response(c.response);
        wired->response = response.get();
        wired->flags = CONN_PROCESS;
        EXPECT_EQ(buffer_check(wired.get()), c.buffer);
        EXPECT_EQ((wired->flags & CONN_PROCESS) != 0, c.process_after);
        wired->response = nullptr;
    }
}

TEST_F(Protocol, TransferLimitRefusesWhatWouldExceedTheAllowance)
{
    Wired wired(false);
    request_set(wired.get(), "GET http://a/ HTTP/1.1\r\n\r\n");
    const HeaderPtr sized = http_header_parse_response("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    const HeaderPtr unsized = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
    wired->download_allowance = 1000;
    wired->response = sized.get();
    EXPECT_EQ(transfer_limit_check(wired.get()), 1);
    wired->response = unsized.get();
    wired->download_allowance = 1;
    EXPECT_EQ(transfer_limit_check(wired.get()), 1);
    wired->response = sized.get();
    EXPECT_EQ(read_now(wired.client_peer), "");
    EXPECT_EQ(transfer_limit_check(wired.get()), 0);
    wired->response = nullptr;
    EXPECT_EQ(read_now(wired.client_peer).rfind("HTTP/1.1 200 ", 0), 0u);
    EXPECT_TRUE(road::was_logged("warning: ", "limits: transfer would exceed transfer limit"));
}

// Stage 5 and stage 6 callbacks that leave nothing.
int wipe(CONNECTION_T*, Filebuf* buffer)
{
    buffer->Swap(nullptr);
    return 0;
}

TEST_F(Protocol, AHeaderRewrittenToNothingIsAnInvalidHeader)
{
    ASSERT_EQ(processors.Add(wipe, STAGE_REQUEST_HEADER), 1);
    {
        Wired wired(false);
        write_all(wired.client_peer, "GET http://a/ HTTP/1.1\r\n\r\n");
        handle_request(wired.get());
        EXPECT_EQ(read_now(wired.client_peer).rfind("HTTP/1.1 400 ", 0), 0u);
        EXPECT_EQ(wired->keepalive_client, 0);
        EXPECT_TRUE(road::was_logged("warning: ", "request: invalid header received from 127.0.0.1"));
    }
    processors.Remove(wipe);

    ASSERT_EQ(processors.Add(wipe, STAGE_RESPONSE_HEADER), 1);
    {
        Wired wired;
        request_set(wired.get(), "GET http://a/ HTTP/1.1\r\n\r\n");
        write_all(wired.server_peer, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        EXPECT_EQ(protocol_http(wired.get()), -1);
        EXPECT_EQ(read_now(wired.client_peer).rfind("HTTP/1.1 400 ", 0), 0u);
        EXPECT_EQ(wired->keepalive_server, 0);
        EXPECT_EQ(wired->response, nullptr);
    }
    processors.Remove(wipe);
}

} // namespace
