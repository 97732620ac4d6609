#include <gtest/gtest.h>

#include <string>

#include "http/body.h"
#include "http/header.h"
#include "http/transfer.h"
#include "road_fixture.h"
#include "util/filebuf.h"

using road::read_now;
using road::request_set;
using road::Response;
using road::Wired;
using road::write_all;

namespace {

class HttpBody : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

TEST_F(HttpBody, ChunkSizeLines)
{
    struct Case {
        std::string line;
        std::int64_t size;
    };
    const Case cases[] = {
        {"1a\r\n", 26},
        {"1A;name=value\r\n", 26},
        {"  ff \r\n", 255},
        {"0\r\n", 0},
        {"10\n", 16},
        {"7fffffffffffffff\r\n", INT64_MAX},
        {"8000000000000000\r\n", -1},          // beyond 63 bits
        {"ffffffffffffffffff\r\n", -1},
        {"\r\n", -1},                          // no number at all
        {"zz\r\n", -1},
        {"10 garbage\r\n", -1},               // text after the number that is no extension
        {"-5\r\n", -1},
        {std::string(70, '0') + "1\r\n", -1},  // a line longer than 64 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Wired wired;
        write_all(wired.server_peer, c.line + "NEXT");
        EXPECT_EQ(next_chunksize(wired.get(), SIDE_SERVER), c.size);
    }
    Wired silent;
    silent.close_server_peer();
    EXPECT_EQ(next_chunksize(silent.get(), SIDE_SERVER), -1);
}

TEST_F(HttpBody, ChunkedBodyIsReadDechunkedUpToTheEndOfItsTrailers)
{
    Wired wired;
    Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    write_all(wired.server_peer, "5\r\nhello\r\n7;x=y\r\n, world\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\nHTTP/1.1 200 OK\r\n");
    const std::unique_ptr<Filebuf> body = http_transfer_filebuf(wired.get(), SIDE_SERVER);
    EXPECT_EQ(body->view(), "hello, world");
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
    char line[64];
    ASSERT_GT(wired->server->GetLine(line, sizeof line, 0), 0);
    EXPECT_STREQ(line, "HTTP/1.1 200 OK\r\n");
}

TEST_F(HttpBody, BrokenChunkFramingMarksTheBodyIncomplete)
{
    const char* bodies[] = {
        "5\r\nhello\r\nzz\r\n",            // a size line that does not read
        "5\r\nhelloXX0\r\n\r\n",           // no line end after the data
        "5\r\nhel",                        // cut inside a chunk
        "5\r\nhello\r\n",                  // cut before the last chunk
        "0\r\nX-Trailer: 1\r\n",           // cut inside the trailers
    };
    for (const char* text : bodies) {
        SCOPED_TRACE(text);
        Wired wired;
        Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        wired->keepalive_server = 1;
        write_all(wired.server_peer, text);
        wired.close_server_peer();
        http_transfer_filebuf(wired.get(), SIDE_SERVER);
        EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
        EXPECT_EQ(wired->keepalive_server, 0);
    }
}

TEST_F(HttpBody, ChunkedRelayIsRechunkedForHttp11AndDechunkedOtherwise)
{
    const std::string chunked = "5\r\nhello\r\n7\r\n, world\r\n0\r\nTrailer: x\r\n\r\n";
    {
        Wired wired;
        Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        write_all(wired.server_peer, chunked);
        EXPECT_EQ(http_transfer(wired.get(), SIDE_SERVER, true), 1);
        EXPECT_EQ(read_now(wired.client_peer), "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n");
    }
    {
        Wired wired;
        Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        write_all(wired.server_peer, chunked);
        EXPECT_EQ(http_transfer(wired.get(), SIDE_SERVER, false), 1);
        EXPECT_EQ(read_now(wired.client_peer), "hello, world");
    }
}

TEST_F(HttpBody, ACutChunkedRelayNeverSendsTheLastChunk)
{
    Wired wired;
    Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    write_all(wired.server_peer, "5\r\nhello\r\n10\r\nshort");
    wired.close_server_peer();
    EXPECT_EQ(http_transfer(wired.get(), SIDE_SERVER, true), 0);
    EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
    EXPECT_EQ(read_now(wired.client_peer), "5\r\nhello\r\n10\r\nshort");
}

TEST_F(HttpBody, ABufferLimitStopsAtAChunkBoundaryAndTheRestFollowsIntact)
{
    Wired wired;
    Response response(wired.get(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    write_all(wired.server_peer, "4\r\nabcd\r\n4\r\nefgh\r\n6\r\nijklmn\r\n0\r\n\r\n");
    int more = 0;
    const std::unique_ptr<Filebuf> body = http_transfer_filebuf(wired.get(), SIDE_SERVER, 10, &more);
    EXPECT_EQ(more, 1);
    EXPECT_EQ(body->view(), "abcdefgh");
    EXPECT_EQ(http_transfer_rest(wired.get(), SIDE_SERVER, 8, true), 1);
    EXPECT_EQ(read_now(wired.client_peer), "6\r\nijklmn\r\n0\r\n\r\n");
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
}

TEST_F(HttpBody, ABufferLimitOnOtherFramings)
{
    {
        // A known length above the limit is not read at all.
        Wired wired;
        Response response(wired.get(), "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n");
        write_all(wired.server_peer, "01234567890123456789");
        int more = 0;
        EXPECT_EQ(http_transfer_filebuf(wired.get(), SIDE_SERVER, 10, &more)->size(), 0u);
        EXPECT_EQ(more, 1);
        EXPECT_EQ(http_transfer_rest(wired.get(), SIDE_SERVER, 0), 1);
        EXPECT_EQ(read_now(wired.client_peer), "01234567890123456789");
    }
    {
        // A body that lasts until the close is read up to the limit.
        Wired wired;
        Response response(wired.get(), "HTTP/1.0 200 OK\r\n\r\n");
        write_all(wired.server_peer, "01234567890123456789");
        wired.close_server_peer();
        int more = 0;
        const std::unique_ptr<Filebuf> body = http_transfer_filebuf(wired.get(), SIDE_SERVER, 10, &more);
        EXPECT_EQ(more, 1);
        EXPECT_EQ(body->view(), "0123456789");
        http_transfer_rest(wired.get(), SIDE_SERVER, 10);
        EXPECT_EQ(read_now(wired.client_peer), "0123456789");
    }
}

TEST_F(HttpBody, RequestBodiesAreFramedByLengthOrChunksAndOtherwiseAbsent)
{
    {
        Wired wired;
        request_set(wired.get(), "POST http://a/ HTTP/1.1\r\nContent-Length: 4\r\n\r\n");
        write_all(wired.client_peer, "bodyGET ");
        EXPECT_EQ(http_transfer_filebuf(wired.get(), SIDE_CLIENT)->view(), "body");
    }
    {
        Wired wired;
        request_set(wired.get(), "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
        write_all(wired.client_peer, "4\r\nbody\r\n0\r\n\r\nGET ");
        EXPECT_EQ(http_transfer_filebuf(wired.get(), SIDE_CLIENT)->view(), "body");
        char word[8] = {};
        EXPECT_EQ(wired->client->Read(word, 4), 4);   // the next request, and nothing of the body
        EXPECT_EQ(std::string(word, 4), "GET ");
    }
    {
        Wired wired;
        request_set(wired.get(), "GET http://a/ HTTP/1.1\r\n\r\n");
        write_all(wired.client_peer, "GET ");
        EXPECT_EQ(http_transfer_filebuf(wired.get(), SIDE_CLIENT)->size(), 0u);
        char word[8] = {};
        EXPECT_EQ(wired->client->Read(word, 4), 4);
    }
}

TEST_F(HttpBody, DiscardDropsExactlyTheBody)
{
    Wired wired;
    Response response(wired.get(), "HTTP/1.1 407 Auth\r\nContent-Length: 5\r\n\r\n");
    write_all(wired.server_peer, "12345HTTP");
    EXPECT_EQ(http_transfer_discard(wired.get(), SIDE_SERVER), 1);
    char rest[8] = {};
    EXPECT_EQ(wired->server->Read(rest, 4), 4);
    EXPECT_EQ(std::string(rest, 4), "HTTP");
}

TEST_F(HttpBody, ReadCallbackEnforcesTheDownloadAllowance)
{
    struct Case {
        std::uint32_t allowance;
        long length;
        int result;
        std::uint32_t left;
        bool failed;
    };
    const Case cases[] = {
        {ALLOWANCE_UNLIMITED, 8192, 0, ALLOWANCE_UNLIMITED, false},   // no limit is never used up
        {10000, 8192, 0, 1808, false},
        {8192, 8192, 0, 0, false},                                     // a block that fits exactly
        {100, 8192, -1, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.allowance);
        Wired wired;
        wired->download_allowance = c.allowance;
        const std::string block(static_cast<std::size_t>(c.length), 'x');
        EXPECT_EQ(protocol_http_read_callback(wired.get(), c.length, block.data()), c.result);
        EXPECT_EQ(wired->bytes_in, static_cast<std::uint64_t>(c.length));
        EXPECT_EQ(wired->download_allowance, c.left);
        EXPECT_EQ((wired->flags & CONN_TRANSFER_FAILED) != 0, c.failed);
    }
}

// The part of a response read before the buffer limit goes first, framed as the rest will be.
TEST_F(HttpBody, TheReadPartGoesAheadOfTheRestInTheSameFraming)
{
    struct Case {
        const char* name;
        const char* response;
        const char* rest;     // what the server still has to send
        bool rechunk;
        const char* client;   // what the client gets
    };
    const Case cases[] = {
        {"re-chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "3\r\ndef\r\n0\r\n\r\n", true,
         "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n"},
        {"de-chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "3\r\ndef\r\n0\r\n\r\n", false,
         "abcdef"},
        {"by length", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n", "def", true, "abcdef"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired;
        Response response(wired.get(), c.response);
        write_all(wired.server_peer, c.rest);
        Filebuf read;
        read.Add("abc");
        http_transfer_read_and_rest(wired.get(), &read, c.rechunk);
        EXPECT_EQ(read_now(wired.client_peer), c.client);
        EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
    }
}

} // namespace
