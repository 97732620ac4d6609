#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "config/general.h"
#include "counting_cache.h"
#include "util/filebuf.h"
#include "http/header.h"
#include "policy_fixture.h"
#include "core/processors.h"
#include "http/proto_http.h"
#include "road_fixture.h"
#include "http/transfer.h"

using road::read_all;
using road::read_now;
using road::request_set;
using road::Response;
using road::Wired;
using road::write_all;

namespace {

class ProtoHttp : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

TEST_F(ProtoHttp, AnswersThatCannotBePassedOnAreBadResponses)
{
    using namespace std::literals;
    struct Case {
        const char* name;
        std::string_view reply;
        const char* status_line;
    };
    const Case cases[] = {
        {"a plain answer", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "HTTP/1.1 200 OK\r\n"},
        // Upgrade is never forwarded: nothing asked for another protocol
        {"a switch nobody asked for", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x05hello",
         "HTTP/1.1 400 "},
        // stage 6 hands text back up to its first zero byte: the length behind it would be lost
        {"a zero byte in a line", "HTTP/1.1 200 OK\r\nX: a\0\r\nContent-Length: 2\r\n\r\nok"sv, "HTTP/1.1 400 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired;
        request_set(wired.get(), "GET http://origin.test/ HTTP/1.1\r\n\r\n");
        write_all(wired.server_peer, c.reply);
        const int result = protocol_http(wired.get());
        const std::string got = read_now(wired.client_peer);
        EXPECT_EQ(got.rfind(c.status_line, 0), 0u) << got;
        if (std::string_view(c.status_line).find(" 400 ") != std::string_view::npos) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(wired->keepalive_server, 0);
            EXPECT_EQ(got.find("hello"), std::string::npos);
            EXPECT_TRUE(road::was_logged("error: ", "Bad response from server"));
        }
    }
}

// A copy the pipeline found in the cache, held by the connection: the exchange leaves it there
// for the connection thread to give back, unless the copy fails its revalidation or the answer
// has no body, which invalidates it, once.
TEST_F(ProtoHttp, CachedCopiesAreServedRevalidatedOrInvalidated)
{
    const char* lastmod = "Tue, 01 Jun 2021 10:00:00 GMT";
    const std::string stored_header =
        std::string("HTTP/1.1 200 OK\r\nContent-Length: 6\r\nLast-Modified: ") + lastmod + "\r\n\r\n";
    struct Case {
        const char* name;
        const char* method;
        bool validate;                      // the pipeline asked for a conditional request
        std::string reply;                  // from the server; empty: the server is not asked
        const char* cachecode;              // null: left as the pipeline set it
        bool from_cache;                    // the client gets the stored header
        std::vector<std::string> given_back;
        const char* logged;                 // caching line, or null
        bool server_dropped = false;        // the server connection goes
    };
    const std::string key = "http://origin.test/";
    const Case cases[] = {
        {"a fresh copy", "GET", false, "", nullptr, true, {}, nullptr},
        {"a 304", "GET", true, "HTTP/1.1 304 Not Modified\r\n\r\n", "TCP_REFRESH_HIT", true, {}, "validated: "},
        // A small body nobody wants is read, so that its connection serves the next request.
        {"the same Last-Modified", "GET", true,
         std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + lastmod + "\r\nContent-Length: 3\r\n\r\nnew",
         "TCP_REFRESH_HIT", true, {}, "validated: "},
        // A large one, or one whose end only its chunks tell, goes with its connection.
        {"the same Last-Modified, a large body", "GET", true,
         std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + lastmod + "\r\nContent-Length: 65537\r\n\r\nnew",
         "TCP_REFRESH_HIT", true, {}, "validated: ", true},
        {"the same Last-Modified, chunked", "GET", true,
         std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + lastmod +
             "\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nnew\r\n0\r\n\r\n",
         "TCP_REFRESH_HIT", true, {}, "validated: ", true},
        {"the same Last-Modified, a server that closes", "GET", true,
         std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + lastmod +
             "\r\nContent-Length: 3\r\nConnection: close\r\n\r\nnew",
         "TCP_REFRESH_HIT", true, {}, "validated: ", true},
        {"a changed copy", "GET", true,
         "HTTP/1.1 200 OK\r\nLast-Modified: Wed, 02 Jun 2021 10:00:00 GMT\r\nContent-Length: 3\r\n\r\nnew",
         "TCP_REFRESH_MISS", false, {"invalidate " + key}, "failed validation: "},
        {"a HEAD", "HEAD", false, "", nullptr, true, {"invalidate " + key}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        road::log_clear();
        CountingCache cache;
        CACHEMAP object;
        object.key = key;
        std::string stored = stored_header + "cached";
        object.mapping = stored.data();
        object.header_length = static_cast<std::uint32_t>(stored_header.size());
        object.size = stored.size();
        object.retrieved = std::time(nullptr);
        std::tm broken{};
        ASSERT_NE(strptime(lastmod, "%a, %d %b %Y %T GMT", &broken), nullptr);
        object.lastmod = std::mktime(&broken);

        Wired wired;
        request_set(wired.get(), std::string(c.method) + " " + key + " HTTP/1.1\r\n\r\n");
        if (std::string_view(c.method) == "HEAD")
            wired->flags |= CONN_HEAD;
        if (c.validate)
            wired->flags |= CONN_VALIDATE;
        wired->cache = CacheRef(&cache, &object);
        write_all(wired.server_peer, c.reply);

        EXPECT_EQ(protocol_http(wired.get()), 1);
        const std::string got = read_now(wired.client_peer);
        const std::string asked = read_now(wired.server_peer);
        EXPECT_EQ(asked.empty(), c.reply.empty()) << asked;
        EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
        EXPECT_EQ(got.find("\r\nAge: ") != std::string::npos, c.from_cache) << got;
        if (c.from_cache) {
            EXPECT_NE(got.find("\r\nContent-Length: 6\r\n"), std::string::npos) << got;   // the stored body's
        } else {
            EXPECT_EQ(got.substr(got.size() - 3), "new");
        }
        EXPECT_EQ(wired->server == nullptr, c.server_dropped);
        if (c.validate && !c.server_dropped && wired->server != nullptr) {
            // Nothing of the answer is left to be read as the next one.
            EXPECT_EQ(wired->server->input_length(), 0u);
            EXPECT_EQ(wired->keepalive_server, 1);
        }
        EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
        if (c.cachecode != nullptr) {
            EXPECT_STREQ(wired->logentry.cachecode(), c.cachecode);
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(road::was_logged("cache: ", c.logged + key));
        }
        EXPECT_EQ(cache.given_back, c.given_back);
        EXPECT_EQ(wired->cache.get(), c.given_back.empty() ? &object : nullptr);
        wired->cache.release();   // `object` dies with this iteration
    }
}

TEST_F(ProtoHttp, ServerKeepAlive)
{
    struct Case {
        const char* response;
        int server;
        int client_after;   // the client flag, set to 1 before
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n", 0, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", 0, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\nConnection: keep-alive\r\n\r\n", 1, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\nProxy-Connection: keep-alive\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\n\r\n", 0, 0},           // ends with the connection: both close
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response);
        Wired wired;
        Response response(wired.get(), c.response);
        wired->keepalive_client = 1;
        keepalive_check_server(wired.get());
        EXPECT_EQ(wired->keepalive_server, c.server);
        EXPECT_EQ(wired->keepalive_client, c.client_after);
    }
}


int buffer_wanted(CONNECTION_T*, Filebuf*) { return 1; }

// The bodies the response stages and the hooks were given, in order.
std::vector<std::string> stages_saw;

int check_records(CONNECTION_T*, Filebuf* body)
{
    stages_saw.push_back("check " + std::string(body->view()));
    return 0;
}

int hook_records(void*, void* body)
{
    stages_saw.push_back("hook " + std::string(static_cast<Filebuf*>(body)->view()));
    return 0;
}

// For the life of a test: a general rule with compression for clients, the defaults back
// afterwards, and a stage-4 callback that has every response body buffered.
struct Buffering {
    explicit Buffering(std::map<std::string, std::string> set = {})
    {
        set.emplace("compressout", "true");
        section_load(*general_section, "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, set) + "</general>");
        processors.Add(buffer_wanted, STAGE_BUFFER_CHECK);
    }
    Buffering(const Buffering&) = delete;
    Buffering& operator=(const Buffering&) = delete;
    ~Buffering()
    {
        processors.Remove(buffer_wanted);
        section_load(*general_section, "<general></general>");
    }
};

// The client's answer split at the end of its header.
std::pair<std::string, std::string> head_and_body(const std::string& answer)
{
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        return {answer, ""};
    return {answer.substr(0, end + 2), answer.substr(end + 4)};
}

// A buffered body that ended short goes out as a failure, never as a complete object of what
// arrived; the transfer stays marked failed, so the stored copy is dropped and both connections
// close.
TEST_F(ProtoHttp, ABufferedBodyThatEndedShortIsNeverSentAsComplete)
{
    const Buffering buffering;
    struct Case {
        const char* name;
        std::string reply;                 // the server closes after it
        std::uint32_t allowance;
        const char* status_line;           // the start of what the client gets
        bool failed;
    };
    const Case cases[] = {
        {"whole", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", ALLOWANCE_UNLIMITED,
         "HTTP/1.1 200 OK\r\n", false},
        {"short of its Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n01234",
         ALLOWANCE_UNLIMITED, "HTTP/1.1 400 ", true},
        {"cut inside a chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n01234",
         ALLOWANCE_UNLIMITED, "HTTP/1.1 400 ", true},
        // without a length nothing is refused before the transfer: the allowance stops it
        {"beyond the download allowance",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n0\r\n\r\n", 4,
         "HTTP/1.1 200 ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        road::log_clear();
        Wired wired;
        request_set(wired.get(), "GET http://origin.test/ HTTP/1.1\r\n\r\n");
        wired->flags |= CONN_PROCESS;
        wired->keepalive_client = 1;
        wired->download_allowance = c.allowance;
        write_all(wired.server_peer, c.reply);
        wired.close_server_peer();

        EXPECT_EQ(protocol_http(wired.get()), 1);
        EXPECT_NE(wired->flags & CONN_BUFFER, 0u);
        const auto [head, body] = head_and_body(read_now(wired.client_peer));
        EXPECT_EQ(head.rfind(c.status_line, 0), 0u) << head;
        EXPECT_EQ((wired->flags & CONN_TRANSFER_FAILED) != 0, c.failed);
        if (!c.failed) {
            EXPECT_NE(head.find("\r\nContent-Length: 10\r\n"), std::string::npos) << head;
            EXPECT_EQ(body, "0123456789");
            continue;
        }
        // A page of the proxy's, never the bytes that came.
        EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
        EXPECT_EQ(body.find("01234"), std::string::npos) << body;
        EXPECT_EQ(wired->keepalive_client, 0);
        EXPECT_EQ(wired->keepalive_server, 0);
        EXPECT_EQ(road::was_logged("error: ", "Bad response from server"), c.allowance == ALLOWANCE_UNLIMITED);
        EXPECT_EQ(wired->logentry.status, c.allowance == ALLOWANCE_UNLIMITED ? 400 : 200);
    }
}

// A compressed body that does not decode goes through the hooks and the response stages as the
// bytes it came as, and out so, its Content-Encoding kept and never compressed over; one that
// decodes is seen decoded and compressed afresh for the client.
TEST_F(ProtoHttp, ABodyThatDoesNotDecodeStillPassesTheResponseStages)
{
    const Buffering buffering(std::map<std::string, std::string>{{"maxdbuffer", "64K"}});
    processors.Add(check_records, STAGE_RESPONSE_CHECK);
    hooks.Add(hook_records, HOOK_PRE_RESPONSE);
    const auto gzipped = [](const std::string& text) {
        Filebuf buffer;
        buffer.Add(text);
        EXPECT_EQ(buffer.Compress(1), 1);
        return std::string(buffer.view());
    };
    struct Case {
        const char* name;
        std::string sent;
        std::string seen;                   // by the hook and the check
    };
    const std::string plain = "some text that the stages look at";
    const std::string bomb = gzipped(std::string(1 << 20, 'a'));   // inflates far past 64K
    const Case cases[] = {
        {"decodes", gzipped(plain), plain},
        {"corrupt", "this was never compressed by anyone", "this was never compressed by anyone"},
        {"inflates past the cap", bomb, bomb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stages_saw.clear();
        Wired wired;
        request_set(wired.get(), "GET http://origin.test/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n");
        wired->flags |= CONN_PROCESS;
        write_all(wired.server_peer, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                         std::to_string(c.sent.size()) + "\r\n\r\n" + c.sent);

        EXPECT_EQ(protocol_http(wired.get()), 1);
        EXPECT_EQ(stages_saw, (std::vector<std::string>{"hook " + c.seen, "check " + c.seen}));
        const auto [head, body] = head_and_body(read_now(wired.client_peer));
        EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
        EXPECT_NE(head.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
        if (c.seen == plain) {
            Filebuf got;
            got.Add(body);
            EXPECT_EQ(got.Uncompress(1), 1);
            EXPECT_EQ(got.view(), plain);
        } else {
            EXPECT_EQ(body, c.sent);
        }
    }
    hooks.Remove(hook_records);
    processors.Remove(check_records);
}

} // namespace
