#include <gtest/gtest.h>

#include <map>
#include <string>
#include <zlib.h>

#include "core/connection.h"
#include "http/encoding.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "http/header.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

const XmlFields GENERAL_RULE = {
    {"enabled", "true"},      {"comment", ""},         {"profiles", ""},          {"ctimeout", "60"},
    {"timeout", "60"},        {"keeptimeout", "60"},   {"maxdbuffer", "4M"},      {"maxubuffer", "1M"},
    {"bufferwait", "0"},      {"cportrange", "443"},   {"encodemime", "text/.*"}, {"compressout", "true"},
    {"compressin", "false"},  {"xforwardedfor", "false"}, {"via", "true"},
};

std::string text(std::size_t n)
{
    std::string s;
    while (s.size() < n)
        s += "line of text " + std::to_string(s.size()) + "\n";
    s.resize(n);
    return s;
}

// window_bits as zlib takes them: 16 + 15 gzip, 15 zlib wrapper, -15 raw.
std::string inflated(std::string_view bytes, int window_bits)
{
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, window_bits), Z_OK);
    std::string out(1 << 22, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

std::string deflated(std::string_view bytes, int window_bits)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

class Encoding : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
        rules({});
    }

    static void rules(const std::map<std::string, std::string>& set)
    {
        section_load(*general_section, "<general>" + item_xml("rule", GENERAL_RULE, set) + "</general>");
    }

    // A connection whose request carries accept_encoding (null: none) and whose response
    // carries content_encoding (null: none).
    void exchange(const char* accept_encoding, const char* content_encoding)
    {
        std::string request = "GET http://origin.test/page HTTP/1.1\r\nHost: origin.test\r\n";
        if (accept_encoding != nullptr)
            request += std::string("Accept-Encoding: ") + accept_encoding + "\r\n";
        connection_->request = http_header_parse_request(request + "\r\n");
        ASSERT_NE(connection_->request, nullptr);
        std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
        if (content_encoding != nullptr)
            response += std::string("Content-Encoding: ") + content_encoding + "\r\n";
        response_ = http_header_parse_response(response + "\r\n");
        ASSERT_NE(response_, nullptr);
        connection_->response = response_.get();
    }

    void TearDown() override { connection_->response = nullptr; }

    ConnectionPtr connection_ = connection_new("127.0.0.1");
    HeaderPtr response_;
};

TEST_F(Encoding, TheClientsAcceptEncodingChoosesTheCompression)
{
    struct Case {
        const char* accept;        // null: no Accept-Encoding
        const char* compressout;
        std::uint32_t flags;
        const char* chosen;        // null: nothing encoded
    };
    const Case cases[] = {
        {"GZIP, deflate",     "true",  0,             "gzip"},
        {"deflate",           "true",  0,             "deflate"},
        {"br, x-gzip;q=0.5",  "true",  0,             "gzip"},      // a substring decides
        {"identity",          "true",  0,             nullptr},
        {nullptr,             "true",  0,             nullptr},
        {"gzip",              "false", 0,             nullptr},
        {"gzip, deflate",     "true",  CONN_ENCODED,  nullptr},     // the proxy asked, not the client
    };
    const std::string body = text(50000);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.accept ? c.accept : "(none)") + " compressout " + c.compressout);
        rules({{"compressout", c.compressout}});
        exchange(c.accept, nullptr);
        connection_->flags = c.flags;
        Filebuf buf;
        buf.Add(body);
        ASSERT_EQ(filebuf_encode(&buf, connection_.get()), c.chosen != nullptr ? 1 : 0);
        if (c.chosen == nullptr) {
            EXPECT_FALSE(connection_->response->content_encoding.has_value());
            EXPECT_EQ(buf.view(), body);
            continue;
        }
        EXPECT_EQ(connection_->response->content_encoding, std::string(c.chosen));
        EXPECT_LT(buf.size(), body.size());
        EXPECT_EQ(inflated(buf.view(), std::string(c.chosen) == "gzip" ? 16 + 15 : -15), body);
    }
}

TEST_F(Encoding, BodiesAreDecodedByTheirContentEncoding)
{
    const std::string body = text(80000);
    struct Case { const char* encoding; std::string bytes; bool decodes; };
    const Case cases[] = {
        {"gzip",    deflated(body, 16 + 15), true},
        {"x-gzip",  deflated(body, 16 + 15), true},
        {"GZip",    deflated(body, 16 + 15), true},
        {"deflate", deflated(body, 15),      true},   // as RFC 9110 has it
        {"deflate", deflated(body, -15),     true},   // as many servers send it
        {"gzip",    deflated(body, 15),      false},  // not what it claims
        {"br",      deflated(body, 16 + 15), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        road::log_clear();
        exchange(nullptr, c.encoding);
        Filebuf buf;
        buf.Add(c.bytes);
        ASSERT_EQ(filebuf_decode(&buf, connection_.get()), c.decodes ? 1 : 0);
        EXPECT_EQ(buf.view(), c.decodes ? body : c.bytes);
        EXPECT_EQ(connection_->response->content_encoding, std::string(c.encoding));   // the caller's to drop
    }
    EXPECT_TRUE(road::was_logged("warning: ", "unhandled content encoding: br"));
}

TEST_F(Encoding, DecodingStopsAtTheDownloadBufferLimit)
{
    rules({{"maxdbuffer", "64K"}});
    for (const std::size_t size : {std::size_t{65536}, std::size_t{65537}}) {
        SCOPED_TRACE(size);
        road::log_clear();
        const std::string packed = deflated(std::string(size, 'z'), 16 + 15);
        exchange(nullptr, "gzip");
        Filebuf buf;
        buf.Add(packed);
        const bool fits = size <= 65536;
        ASSERT_EQ(filebuf_decode(&buf, connection_.get()), fits ? 1 : 0);
        EXPECT_EQ(buf.size(), fits ? size : packed.size());
        EXPECT_EQ(road::was_logged("error: ", "failed to decompress gzip encoded content"), !fits);
    }
}

} // namespace
