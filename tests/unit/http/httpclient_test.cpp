#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loopback.h"
#include "http/httpclient.h"
#include "road_fixture.h"
#include "util/url.h"

namespace {

using namespace std::literals;

// An origin server for one fetch: it accepts one connection, records the request header, writes
// the answer and closes. The waits are bounds on a broken test, not measured times.
class Origin {
public:
    explicit Origin(std::string answer) : answer_(std::move(answer))
    {
        fd_ = loopback_listener(&port_);
        EXPECT_GE(fd_, 0);
        thread_ = std::thread([this] { serve(); });
    }
    Origin(const Origin&) = delete;
    Origin& operator=(const Origin&) = delete;
    ~Origin()
    {
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }

    int port() const { return port_; }
    // Every byte the origin received; joins the server first.
    const std::string& received()
    {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

private:
    void serve()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return;
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0)
            return;
        char block[4096];
        while (received_.find("\r\n\r\n") == std::string::npos) {
            pollfd q{client, POLLIN, 0};
            if (poll(&q, 1, 10000) <= 0)
                break;
            const ssize_t n = read(client, block, sizeof block);
            if (n <= 0)
                break;
            received_.append(block, static_cast<std::size_t>(n));
        }
        std::string_view rest = answer_;
        while (!rest.empty()) {
            const ssize_t n = write(client, rest.data(), rest.size());
            if (n <= 0)
                break;
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        close(client);
    }

    std::string answer_;
    int fd_ = -1;
    int port_ = 0;
    std::string received_;
    std::thread thread_;
};

struct ResponseFree {
    void operator()(HTTPRESPONSE* response) const noexcept { httpresponse_free(response); }
};
using Response = std::unique_ptr<HTTPRESPONSE, ResponseFree>;

Response fetch(const std::string& url, const std::list<HTTP_HEADER>* lines = nullptr)
{
    const std::optional<URL> parsed = url_parse(url);
    EXPECT_TRUE(parsed.has_value()) << url;
    if (!parsed)
        return nullptr;
    return Response(http_fetch(*parsed, lines));
}

std::size_t count(std::string_view text, std::string_view what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class HttpClient : public testing::Test {
protected:
    void SetUp() override { road::sections_create(); }
};

TEST_F(HttpClient, SendsOneGetWithTheDefaultAgentOrTheGivenLinesAndTheUrlsCredentials)
{
    const std::list<HTTP_HEADER> given = {{HTTP_HEADER_PASS, "X-Sync", "1"}, {HTTP_HEADER_PASS, "Accept", "*/*"}};
    struct Case {
        std::string user, password;
        const std::list<HTTP_HEADER>* lines;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"", "", nullptr,
         {"User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)\r\n"},
         {"Authorization", "X-Sync"}},
        {"", "", &given, {"X-Sync: 1\r\n", "Accept: */*\r\n"}, {"User-Agent", "Authorization"}},
        // base64("admin:s3cret"), base64("admin:") and base64(":s3cret")
        {"admin", "s3cret", nullptr, {"Authorization: Basic YWRtaW46czNjcmV0\r\n", "User-Agent: "}, {"admin"}},
        {"admin", "", nullptr, {"Authorization: Basic YWRtaW46\r\n"}, {"admin"}},
        {"", "s3cret", nullptr, {"Authorization: Basic OnMzY3JldA==\r\n"}, {"s3cret"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + ":" + c.password + (c.lines != nullptr ? " with lines" : ""));
        Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        const std::string port = std::to_string(origin.port());
        std::optional<URL> url = url_parse("http://127.0.0.1:" + port + "/dir/conf.xml");
        ASSERT_TRUE(url.has_value());
        url->user = c.user;
        url->password = c.password;
        const Response response(http_fetch(*url, c.lines));
        ASSERT_NE(response, nullptr);
        const std::string& request = origin.received();
        EXPECT_EQ(request.rfind("GET /dir/conf.xml HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_EQ(count(request, "GET "), 1u) << request;
        EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + port + "\r\n"), std::string::npos) << request;
        for (const std::string& line : c.present)
            EXPECT_NE(request.find(line), std::string::npos) << line << " in " << request;
        for (const std::string& text : c.absent)
            EXPECT_EQ(request.find(text), std::string::npos) << text << " in " << request;
    }
}

TEST_F(HttpClient, ReturnsEveryStatusWithItsBodyAndNullWhenNoWholeAnswerCame)
{
    struct Case {
        std::string_view answer;
        bool answered;
        int status;
        std::string_view body;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, 200, "hello"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n", true, 200, "hello"},
        {"HTTP/1.0 200 OK\r\n\r\nread until the server closes", true, 200, "read until the server closes"},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 8\r\n\r\nnot here", true, 404, "not here"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true, 200, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na\0bc"sv, true, 200, "a\0bc"sv},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ncut short", false, 0, ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\ncut", false, 0, ""},
        {"HTTP/1.1 0 Zero\r\n\r\n", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.answer)));
        Origin origin{std::string(c.answer)};
        const Response response = fetch("http://127.0.0.1:" + std::to_string(origin.port()) + "/");
        ASSERT_EQ(response != nullptr, c.answered);
        if (response == nullptr)
            continue;
        EXPECT_EQ(httpresponse_code(*response), c.status);
        EXPECT_EQ(response->body.view(), c.body);
    }
}

// A peer may not make the proxy hold a body of any size: past the bound nothing is kept, by
// whatever framing the body comes.
TEST_F(HttpClient, BodyBeyondTheBoundIsRefusedByEveryFraming)
{
    constexpr std::size_t BOUND = 8;
    struct Case {
        std::string_view answer;
        bool too_large;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n12345678", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n123456789", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 300000000\r\n\r\n123456789", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n3\r\n678\r\n0\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n4\r\n6789\r\n0\r\n\r\n", true},
        {"HTTP/1.0 200 OK\r\n\r\n12345678", false},
        {"HTTP/1.0 200 OK\r\n\r\n123456789", true},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n123456789", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.answer)));
        Origin origin{std::string(c.answer)};
        const std::optional<URL> url = url_parse("http://127.0.0.1:" + std::to_string(origin.port()) + "/");
        ASSERT_TRUE(url.has_value());
        bool too_large = !c.too_large;
        const Response response(http_fetch(*url, nullptr, BOUND, &too_large));
        EXPECT_EQ(too_large, c.too_large);
        ASSERT_EQ(response == nullptr, c.too_large);
        if (response != nullptr) {
            EXPECT_EQ(response->body.view(), "12345678");
        }
    }
}

TEST_F(HttpClient, UnreachableServerGivesNull)
{
    int port = 0;
    const int fd = loopback_listener(&port);
    ASSERT_GE(fd, 0);
    close(fd);   // nothing listens there any more
    EXPECT_EQ(fetch("http://127.0.0.1:" + std::to_string(port) + "/conf.xml"), nullptr);
}

} // namespace
