#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "util/atom.h"
#include "util/filebuf.h"
#include "core/options.h"
#include "road_fixture.h"
#include "http/transfer.h"
#include "net/socket.h"

using road::read_all;
using road::read_now;
using road::Wired;
using road::write_all;

namespace {

class Transfer : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

Filebuf filled(std::size_t size)
{
    Filebuf buffer;
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    buffer.Add(bytes);
    return buffer;
}

TEST_F(Transfer, ChunkedSendSplitsAtBlockSizeAndEndsWithTheLastChunk)
{
    ASSERT_EQ(BLOCKSIZE, 8192);
    Wired wired;
    const Filebuf buffer = filled(20000);
    EXPECT_EQ(net_filebuf_send_chunked(&buffer, wired.get(), SIDE_CLIENT), 20000);
    wired->client.reset();
    const std::string got = read_all(wired.client_peer);

    const std::string body(buffer.view());
    const std::string expected = "2000\r\n" + body.substr(0, 8192) + "\r\n2000\r\n" + body.substr(8192, 8192) +
                                 "\r\ne20\r\n" + body.substr(16384) + "\r\n0\r\n\r\n";
    EXPECT_EQ(got, expected);
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
}

TEST_F(Transfer, ChunkedSendToAGoneClientFailsWithoutDeclaringTheBodyComplete)
{
    Wired wired;
    wired.close_client_peer();
    const Filebuf buffer = filled(100);
    EXPECT_EQ(net_filebuf_send_chunked(&buffer, wired.get(), SIDE_CLIENT), -1);
    EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
}

TEST_F(Transfer, WritesToAClientThatWasLetGoCountAsSent)
{
    Wired wired;
    wired->flags |= CONN_NOCLIENT;
    const Filebuf buffer = filled(300);
    EXPECT_EQ(net_filebuf_send(&buffer, wired.get(), SIDE_CLIENT), 300);
    EXPECT_EQ(net_filebuf_send_chunked(&buffer, wired.get(), SIDE_CLIENT), 300);
    EXPECT_EQ(read_now(wired.client_peer), "");
    // Side 2 writes to the client all the same.
    EXPECT_EQ(net_filebuf_send(&buffer, wired.get(), SIDE_CLIENT_ALWAYS), 300);
    EXPECT_EQ(read_now(wired.client_peer), std::string(buffer.view()));
}

TEST_F(Transfer, ReadIntoABufferReportsABodyCutShort)
{
    struct Case {
        std::size_t sent;
        bool close;
        std::int64_t length;
        int result;
        bool failed;
    };
    const Case cases[] = {
        {1000, false, 1000, 1, false},
        {500, true, 1000, 0, true},             // the server closed half-way
        {0, false, 0, 1, false},                 // nothing to read at all
        {700, true, TRANSFER_UNTIL_CLOSE, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        Wired wired;
        const Filebuf bytes = filled(c.sent);
        write_all(wired.server_peer, bytes.view());
        if (c.close)
            wired.close_server_peer();
        Filebuf buffer;
        EXPECT_EQ(net_filebuf_read(&buffer, wired.get(), SIDE_SERVER, c.length), c.result);
        EXPECT_EQ(buffer.view(), bytes.view());
        EXPECT_EQ((wired->flags & CONN_TRANSFER_FAILED) != 0, c.failed);
    }
}

TEST_F(Transfer, ReadUpToAMaximumLeavesTheRestUnread)
{
    Wired wired;
    const Filebuf bytes = filled(30000);
    write_all(wired.server_peer, bytes.view());
    Filebuf buffer;
    EXPECT_EQ(net_filebuf_read_upto(&buffer, wired.get(), SIDE_SERVER, 10000), 0);
    EXPECT_EQ(buffer.size(), 10000u);
    wired.close_server_peer();
    EXPECT_EQ(net_filebuf_read_upto(&buffer, wired.get(), SIDE_SERVER, 1u << 20), 1);
    EXPECT_EQ(buffer.view(), bytes.view());
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
}

TEST_F(Transfer, RelayOfAKnownLengthThatEndsShortIsMarkedFailed)
{
    Wired wired;
    const Filebuf bytes = filled(500);
    write_all(wired.server_peer, bytes.view());
    wired.close_server_peer();
    EXPECT_EQ(net_transfer(wired.get(), SIDE_SERVER, 1000), 500);
    EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
    EXPECT_EQ(read_now(wired.client_peer), std::string(bytes.view()));
}

TEST_F(Transfer, RelayStopsAtTheLengthAndLeavesWhatFollows)
{
    Wired wired;
    write_all(wired.server_peer, "0123456789NEXT");
    EXPECT_EQ(net_transfer(wired.get(), SIDE_SERVER, 10), 10);
    EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
    EXPECT_EQ(read_now(wired.client_peer), "0123456789");
    char rest[8] = {};
    EXPECT_EQ(wired->server->Read(rest, 4), 4);
    EXPECT_EQ(std::string(rest, 4), "NEXT");
}

TEST_F(Transfer, BufferedBytesGoFirstAndAHeldHeaderLeadsThem)
{
    // The body's first bytes read with the header wait in the server socket; the header waits in
    // the client socket. The client gets header, buffered bytes and the rest in order, and a
    // relay of only the buffered bytes needs nothing more from the server.
    struct Case {
        const char* name;
        std::int64_t length;
        std::string later;   // sent by the server after the buffered bytes
        std::string got;
    };
    for (const Case& c : {Case{"buffered only", 6, "", "HEAD\r\nfirst-"},
                          Case{"buffered and more", 11, "rest!", "HEAD\r\nfirst-rest!"}}) {
        SCOPED_TRACE(c.name);
        Wired wired;
        wired->server->PushFront("first-", 6);
        wired->client->Hold("HEAD\r\n", 6);
        if (!c.later.empty())
            write_all(wired.server_peer, c.later);
        EXPECT_EQ(net_transfer(wired.get(), SIDE_SERVER, c.length), c.length);
        EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
        EXPECT_EQ(read_now(wired.client_peer), c.got);
    }
}

TEST_F(Transfer, ClientBytesArrivingDuringARelayWaitForTheNextRequest)
{
    Wired wired;
    write_all(wired.client_peer, "GET /next HTTP/1.1\r\n");
    const Filebuf bytes = filled(20000);
    write_all(wired.server_peer, bytes.view());
    wired.close_server_peer();
    EXPECT_EQ(net_transfer(wired.get(), SIDE_SERVER, TRANSFER_UNTIL_CLOSE), 20000);
    EXPECT_EQ(read_now(wired.client_peer), std::string(bytes.view()));
    char line[64];
    EXPECT_GT(wired->client->GetLine(line, sizeof line, 0), 0);
    EXPECT_STREQ(line, "GET /next HTTP/1.1\r\n");
}

TEST_F(Transfer, RelayToAClientThatHungUpIsMarkedFailedEvenWithoutALength)
{
    std::signal(SIGPIPE, SIG_IGN);
    Wired wired;
    wired.close_client_peer();
    const Filebuf bytes = filled(50000);
    write_all(wired.server_peer, bytes.view());
    wired.close_server_peer();
    net_transfer(wired.get(), SIDE_SERVER, TRANSFER_UNTIL_CLOSE);
    EXPECT_NE(wired->flags & CONN_TRANSFER_FAILED, 0u);
}

TEST_F(Transfer, RequestBodyRelayGoesToTheServer)
{
    Wired wired;
    write_all(wired.client_peer, "name=value&x=1");
    EXPECT_EQ(net_transfer(wired.get(), SIDE_CLIENT, 14), 14);
    EXPECT_EQ(read_now(wired.server_peer), "name=value&x=1");
}

// What the peer receives until `length` bytes came or the stream ends.
std::string read_exactly(int fd, std::size_t length)
{
    std::string out;
    char block[65536];
    while (out.size() < length) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n <= 0)
            break;
        out.append(block, static_cast<std::size_t>(n));
    }
    return out;
}

int count_read(void* data, long length, const char*)
{
    if (length > 0)
        *static_cast<std::uint64_t*>(data) += static_cast<std::uint64_t>(length);
    return 0;
}

TEST_F(Transfer, LargeRelaysArriveWholeWhetherSplicedOrCopied)
{
    // Plain sockets move the bytes in the kernel; a watcher on either side, a rate group or
    // bytes already buffered make them go (at first or all the way) through the process. The
    // client gets the same bytes every way, and every count stays exact.
    struct Case {
        const char* name;
        std::int64_t length;   // TRANSFER_UNTIL_CLOSE: the server closes after the body
        bool watch;            // a read callback on the server socket counts what it sees
        bool rated;            // the client socket writes through a (generous) group
        std::string buffered;  // already read from the server before the relay
    };
    const std::size_t size = 2 * 1048576 + 77;
    const Case cases[] = {
        {"known length", static_cast<std::int64_t>(size), false, false, ""},
        {"until close", TRANSFER_UNTIL_CLOSE, false, false, ""},
        {"buffered bytes first", static_cast<std::int64_t>(size), false, false, "already-read "},
        {"watched", static_cast<std::int64_t>(size), true, false, ""},
        {"rated", static_cast<std::int64_t>(size), false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired;
        const Filebuf later = filled(size - c.buffered.size());
        const std::string body = c.buffered + std::string(later.view());
        if (!c.buffered.empty())
            wired->server->PushFront(c.buffered.data(), c.buffered.size());
        std::uint64_t seen = 0;
        if (c.watch)
            wired->server->CallBackAdd(count_read, &seen, SOCKET_EVENT_READ);
        if (c.rated)
            wired->client->SetRate(nullptr, atom_make<LimitGroup>(1u << 30));
        const int server_peer = wired.server_peer;
        std::thread origin([&] {
            write_all(server_peer, later.view());
            if (c.length == TRANSFER_UNTIL_CLOSE)
                shutdown(server_peer, SHUT_WR);
        });
        std::string got;
        const int client_peer = wired.client_peer;
        std::thread client([&] { got = read_exactly(client_peer, size); });
        EXPECT_EQ(net_transfer(wired.get(), SIDE_SERVER, c.length), static_cast<std::int64_t>(size));
        origin.join();
        client.join();
        EXPECT_EQ(wired->flags & CONN_TRANSFER_FAILED, 0u);
        EXPECT_EQ(got.size(), size);
        EXPECT_TRUE(got == body);
        EXPECT_EQ(wired->client->bytes_out(), size);
        EXPECT_EQ(wired->server->bytes_in(), size - c.buffered.size());
        if (c.watch) {
            EXPECT_EQ(seen, size);
        }
    }
}

} // namespace
