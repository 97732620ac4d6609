#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "util/atom.h"
#include "util/filebuf.h"
#include "core/global.h"
#include "core/options.h"
#include "core/performance.h"
#include "net/socket.h"

namespace {

using namespace std::chrono_literals;

// One end wrapped in a Socket (`sock`), the other left raw (`peer`) for the test to drive.
class SocketPair : public testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sock = std::make_unique<Socket>(fds[0]);
        peer = fds[1];
    }

    void TearDown() override
    {
        sock.reset();
        if (peer >= 0)
            close(peer);
    }

    void send_peer(const std::string& bytes)
    {
        ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Everything the peer can read now, without waiting.
    std::string drain_peer()
    {
        std::string all;
        char block[65536];
        for (;;) {
            const ssize_t n = recv(peer, block, sizeof block, MSG_DONTWAIT);
            if (n <= 0)
                break;
            all.append(block, static_cast<std::size_t>(n));
        }
        return all;
    }

    void close_peer()
    {
        close(peer);
        peer = -1;
    }

    // Fills the kernel's buffers towards the peer until a non-blocking send would block.
    std::size_t stuff_peer_direction()
    {
        const std::string chunk(4096, 'z');
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = send(sock->fd(), chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n <= 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        return total;
    }

    SocketPtr sock;
    int peer = -1;
};

// A clock that only moves when told to or when someone sleeps on it.
struct FakeClock {
    LimitGroup::Clock::time_point now{std::chrono::seconds(1000)};
    std::vector<std::chrono::microseconds> sleeps;

    void attach(const LimitGroupRef& group)
    {
        group->SetClock([this] { return now; },
                        [this](std::chrono::microseconds t) {
                            sleeps.push_back(t);
                            now += t;
                        });
    }
};

TEST_F(SocketPair, ReadTakesBufferedBytesFirstAndWaitsOnlyWhenShort)
{
    send_peer("0123456789abcdefghij");
    ASSERT_EQ(sock->Read(nullptr, -1, 5), 20);   // fill: nothing delivered, all buffered
    ASSERT_EQ(sock->input_length(), 20u);

    char buf[32] = {};
    // 20 buffered, 10 asked: served at once, without waiting.
    EXPECT_EQ(sock->Read(buf, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(sock->input_length(), 10u);

    // 10 buffered, 10 asked: served at once, the buffer empties.
    EXPECT_EQ(sock->Read(buf, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
    EXPECT_EQ(sock->input_length(), 0u);
}

TEST_F(SocketPair, ShortBufferWaitsThenAddsOneReadKeepingTheExcess)
{
    send_peer("WXYZ");
    ASSERT_EQ(sock->Read(nullptr, -1, 5), 4);
    char buf[16] = {};
    // Nothing more arrives within the wait: -1, and the 4 bytes stay buffered.
    EXPECT_EQ(sock->Read(buf, 10, 0), -1);
    EXPECT_EQ(sock->input_length(), 4u);

    send_peer("0123456789");
    EXPECT_EQ(sock->Read(buf, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "WXYZ012345");
    EXPECT_EQ(sock->input_length(), 4u);   // "6789" from the same read, kept for the next call
    EXPECT_EQ(sock->Read(buf, 4, 5), 4);
    EXPECT_EQ(std::string(buf, 4), "6789");

    // Without a time-out, buffered bytes are delivered rather than blocking for more.
    sock->PushFront("late", 4);
    EXPECT_EQ(sock->Read(buf, 10), 4);
    EXPECT_EQ(std::string(buf, 4), "late");
}

TEST_F(SocketPair, LastBytesBeforeTheHangUpAreStillDelivered)
{
    send_peer("bye");
    close_peer();   // a socketpair reports the hang-up together with the readable bytes
    char buf[8] = {};
    EXPECT_EQ(sock->Read(buf, sizeof buf, 5), 3);
    EXPECT_EQ(std::string(buf, 3), "bye");
    EXPECT_EQ(sock->Read(buf, sizeof buf, 5), 0);
}

TEST_F(SocketPair, GetLineCutsCopiesAndConsumesWholeLines)
{
    struct Case {
        int size;
        int result;
        std::string copied;   // what the buffer holds up to its terminator
    };
    const Case cases[] = {
        {100, 5, "abc\r\n"},
        {6, 5, "abc\r\n"},
        {5, 5, "abc\r"},      // length equal to size: cut to size - 1
        {3, 3, "ab"},
        {1, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        send_peer("abc\r\ndef");
        char buf[128];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(sock->GetLine(buf, c.size, 5), c.result);
        EXPECT_EQ(std::string(buf), c.copied);
        // Whatever was copied, the whole line is gone and "def" waits.
        EXPECT_EQ(sock->input_length(), 3u);
        char rest[8] = {};
        ASSERT_EQ(sock->Read(rest, 3, 5), 3);
        EXPECT_EQ(std::string(rest, 3), "def");
    }
}

TEST_F(SocketPair, GetLineReadsUntilTheNewlineArrives)
{
    int events = 0;
    sock->CallBackAdd([](void* data, long, const char*) { return ++*static_cast<int*>(data), 0; }, &events,
                      SOCKET_EVENT_READ);
    send_peer("GET / HT");
    ASSERT_EQ(sock->Read(nullptr, -1, 5), 8);
    send_peer("TP/1.1\nHost: x\n");
    char buf[64];
    EXPECT_EQ(sock->GetLine(buf, sizeof buf, 5), 15);
    EXPECT_STREQ(buf, "GET / HTTP/1.1\n");
    EXPECT_EQ(sock->GetLine(nullptr, -1, 5), 8);   // dropped
    EXPECT_EQ(sock->input_length(), 0u);
    EXPECT_EQ(events, 0);   // lines raise no read event

    // No newline before the end of the stream: the read's 0, the partial line stays.
    send_peer("tail");
    close_peer();
    EXPECT_EQ(sock->GetLine(buf, sizeof buf, 5), 0);
    EXPECT_EQ(sock->input_length(), 4u);
}

TEST_F(SocketPair, GetLineGivesUpOnALineThatNeverEnds)
{
    // Sent in pieces so the peer's socket buffer never blocks the test.
    const std::string piece(8192, 'a');
    std::size_t sent = 0;
    int result = 0;
    while (sent < SOCKET_LINE_MAX + piece.size() && result == 0) {
        send_peer(piece);
        sent += piece.size();
        char buf[64];
        result = sent > SOCKET_LINE_MAX ? sock->GetLine(buf, sizeof buf, 5) : 0;
    }
    EXPECT_EQ(result, -1);
    EXPECT_LE(sock->input_length(), SOCKET_LINE_MAX + piece.size());
}

TEST_F(SocketPair, PushFrontIsReadFirst)
{
    send_peer("world");
    ASSERT_EQ(sock->Read(nullptr, -1, 5), 5);
    char one[1];
    ASSERT_EQ(sock->Read(one, 1, 5), 1);   // "w" taken: the data now starts inside the block
    EXPECT_EQ(sock->PushFront("hello w", 7), 4u);
    EXPECT_EQ(sock->PushFront(">", 1), 11u);
    char buf[32] = {};
    EXPECT_EQ(sock->Read(buf, 12, 5), 12);
    EXPECT_EQ(std::string(buf, 12), ">hello world");
}

TEST_F(SocketPair, BuffersKeepSixtyFourKibAndGiveLargerBlocksBack)
{
    BLOCKSIZE = 8192;
    send_peer(std::string(100, 'a'));
    ASSERT_EQ(sock->Read(nullptr, -1, 5), 100);
    EXPECT_EQ(sock->input_capacity(), 65536u);
    char buf[128];
    ASSERT_EQ(sock->Read(buf, 100, 5), 100);
    EXPECT_EQ(sock->input_capacity(), 65536u);   // emptied, kept for reuse

    const std::string big(70000, 'b');
    sock->PushFront(big.data(), big.size());
    EXPECT_EQ(sock->input_capacity(), 131072u);
    std::vector<char> out(big.size());
    ASSERT_EQ(sock->Read(out.data(), 10, 5), 10);
    ASSERT_EQ(sock->Read(out.data(), 69990, 5), 69990);
    EXPECT_EQ(sock->input_capacity(), 0u);   // a block above 64 KiB is freed once empty
}

TEST_F(SocketPair, WriteKeepsWhatTheFullPeerCannotTakeAndPreservesOrder)
{
    ASSERT_EQ(sock->Blocking(false), 0);
    const std::size_t stuffed = stuff_peer_direction();
    ASSERT_GT(stuffed, 0u);

    const std::string first(3000, '1');
    const std::string second = "second";
    EXPECT_EQ(sock->Write(first.data(), static_cast<long>(first.size())), 0);
    EXPECT_EQ(sock->output_length(), first.size());
    EXPECT_EQ(sock->Write(second.data(), static_cast<long>(second.size())), 0);
    EXPECT_EQ(sock->output_length(), first.size() + second.size());

    std::string received = drain_peer();
    ASSERT_EQ(received.size(), stuffed);
    sock->Flush();
    EXPECT_EQ(sock->output_length(), 0u);
    received = drain_peer();
    EXPECT_EQ(received, first + second);
    EXPECT_EQ(sock->bytes_out(), first.size() + second.size());
}

// Over a packet socket each send arrives as one message, so the messages show how the bytes
// were grouped into sends.
TEST(SocketHold, HeldBytesLeaveInOneSendWithTheNextWriteOrAloneWithAFlush)
{
    const std::string big(70000, 'b');   // with the held bytes above one 64 KiB block
    struct Case {
        const char* name;
        std::string written;             // empty: Flush instead of a Write
        std::vector<std::string> sends;
    };
    for (const Case& c : {Case{"write", "body", {"headbody"}}, Case{"flush", "", {"head"}},
                          Case{"large write", big, {"head", big}}}) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        const int bigger = 1 << 20;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &bigger, sizeof bigger);
        auto sock = std::make_unique<Socket>(fds[0]);
        std::vector<std::string> written_events;
        sock->CallBackAdd([](void* data, long length, const char* bytes) {
            if (bytes != nullptr)   // a flush reports its pending bytes without them
                static_cast<std::vector<std::string>*>(data)->emplace_back(bytes, static_cast<std::size_t>(length));
            return 0;
        }, &written_events, SOCKET_EVENT_WRITE);

        sock->Hold("head", 4);
        EXPECT_EQ(sock->output_length(), 4u);
        char block[80000];
        EXPECT_EQ(recv(fds[1], block, sizeof block, MSG_DONTWAIT), -1);   // nothing sent yet
        if (c.written.empty()) {
            sock->Flush();
        } else {
            EXPECT_EQ(sock->Write(c.written.data(), static_cast<long>(c.written.size())),
                      static_cast<long>(c.written.size()));
        }
        EXPECT_EQ(sock->output_length(), 0u);
        EXPECT_EQ(sock->bytes_out(), 4 + c.written.size());
        std::vector<std::string> sends;
        for (ssize_t n; (n = recv(fds[1], block, sizeof block, MSG_DONTWAIT)) > 0;)
            sends.emplace_back(block, static_cast<std::size_t>(n));
        EXPECT_EQ(sends, c.sends);
        std::vector<std::string> events{"head"};
        if (!c.written.empty())
            events.push_back(c.written);
        EXPECT_EQ(written_events, events);
        sock.reset();
        close(fds[1]);
    }
}

TEST_F(SocketPair, HeldBytesGoOutFirstWhenThePeerIsFullAndAreDroppedByAFailure)
{
    ASSERT_EQ(sock->Blocking(false), 0);
    const std::size_t stuffed = stuff_peer_direction();
    sock->Hold("head", 4);
    EXPECT_EQ(sock->Write("body", 4), 0);
    EXPECT_EQ(sock->output_length(), 8u);
    EXPECT_EQ(drain_peer().size(), stuffed);
    sock->Flush();
    EXPECT_EQ(drain_peer(), "headbody");

    sock->Hold("late", 4);
    close_peer();
    EXPECT_EQ(sock->Write("more", 4), -1);
    EXPECT_EQ(sock->output_length(), 0u);
    sock->Hold("after", 5);   // a failed socket takes nothing more
    EXPECT_EQ(sock->output_length(), 0u);
}

TEST_F(SocketPair, BlockingWriteWaitsNoLongerThanItsTimeOut)
{
    stuff_peer_direction();
    sock->SetTimeout(0);
    const std::string data(1000, 'q');
    EXPECT_EQ(sock->Write(data.data(), static_cast<long>(data.size())), 0);
    EXPECT_EQ(sock->output_length(), data.size());
    sock->Flush();   // makes no progress and gives up instead of blocking
    EXPECT_EQ(sock->output_length(), data.size());
    drain_peer();
}

TEST_F(SocketPair, FailedWriteDropsOutputRaisesErrorAndShutsTheConnection)
{
    ASSERT_EQ(sock->Blocking(false), 0);
    stuff_peer_direction();
    ASSERT_EQ(sock->Write("pending", 7), 0);
    int errors = 0;
    sock->CallBackAdd([](void* data, long length, const char* bytes) {
        EXPECT_EQ(length, -1);
        EXPECT_EQ(bytes, nullptr);
        return ++*static_cast<int*>(data), 0;
    }, &errors, SOCKET_EVENT_ERROR);
    close_peer();

    EXPECT_EQ(sock->Write("more", 4), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(sock->output_length(), 0u);
    EXPECT_EQ(sock->Write("again", 5), -1);   // nothing goes out after a gap
    EXPECT_EQ(sock->output_length(), 0u);
}

TEST_F(SocketPair, PutSockCutsAtEightThousandOneHundredNinetyOne)
{
    const std::string long_text(10000, 'p');
    std::string received;
    std::thread reader([&] {
        char block[4096];
        ssize_t n;
        while ((n = read(peer, block, sizeof block)) > 0)
            received.append(block, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(sock->PutSock("%s", long_text.c_str()), 8191);
    EXPECT_EQ(sock->PutSock("<%d>", 42), 4);
    sock.reset();
    reader.join();
    EXPECT_EQ(received, std::string(8191, 'p') + "<42>");
}

TEST_F(SocketPair, WriteFilebufSendsEverything)
{
    Filebuf buffer;
    buffer.Add(std::string(100000, 'f'));
    std::string received;
    std::thread reader([&] {
        char block[4096];
        ssize_t n;
        while (received.size() < 100000 && (n = read(peer, block, sizeof block)) > 0)
            received.append(block, static_cast<std::size_t>(n));
    });
    EXPECT_GT(sock->WriteFilebuf(buffer), 0);
    EXPECT_EQ(sock->output_length(), 0u);
    reader.join();
    EXPECT_EQ(received, std::string(100000, 'f'));
}

TEST(LimitGroupTest, QuotaIsATenthOfTheRateAndZeroDoesNotLimit)
{
    struct Case { unsigned rate, quota, grant_max; };
    const Case cases[] = {
        {0, 0, 0}, {5, 1, 1}, {10, 1, 1}, {10000, 1000, 1000}, {12345, 1234, 1234},
        {1000000, 100000, LimitGroup::GRANT_MAX},   // a busy group hands its window out in turns
        {100000000, 10000000, 625000},              // a fast one in sixteenths
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        LimitGroupRef group = atom_make<LimitGroup>(c.rate);
        EXPECT_EQ(group->quota(), c.quota);
        EXPECT_EQ(group->grant_max(), c.grant_max);
        if (c.rate == 0) {
            std::uint64_t ticket = 0;
            EXPECT_EQ(group->Reserve(5000, &ticket), 0);   // 0 = unlimited
        }
    }
}

// Whatever the sockets ask for, hold, give back or pause for, the bytes moved between any two
// grants stay within one window's quota plus what the rate allows for the time between them;
// and a group that is always asked moves its full rate.
TEST(LimitGroupTest, OverAnyStretchTheGroupMovesAtMostAQuotaBeyondItsRate)
{
    for (const unsigned rate : {7u, 10000u, 1000000u}) {
        SCOPED_TRACE(rate);
        LimitGroupRef group = atom_make<LimitGroup>(rate);
        FakeClock clock;
        clock.attach(group);
        std::mt19937 random(rate);
        const auto began = clock.now;
        std::vector<double> at;      // seconds since began, of each grant
        std::vector<long> moved;     // bytes each grant moved, once settled
        // Sockets sharing the group, each holding its last grant until it asks again.
        struct Held { long granted = 0; std::uint64_t ticket = 0; std::size_t index = 0; };
        std::vector<std::optional<Held>> sockets(4);

        const auto take = [&](std::optional<Held>& socket) {
            const long wants[] = {0, 1, 500, static_cast<long>(random() % 50000)};
            const long want = wants[random() % 4];
            Held held;
            held.granted = group->Reserve(want, &held.ticket);
            ASSERT_GE(held.granted, 1);
            ASSERT_LE(held.granted, static_cast<long>(group->grant_max()));
            if (want > 0) {
                ASSERT_LE(held.granted, want);
            }
            held.index = at.size();
            at.push_back(std::chrono::duration<double>(clock.now - began).count());
            moved.push_back(0);
            socket = held;
        };
        const auto settle = [&](std::optional<Held>& socket, bool whole) {
            if (!socket)
                return;
            // Now and then a socket moves less than it was granted (its peer went quiet).
            const long n = whole || random() % 4 != 0 ? socket->granted : static_cast<long>(random() % (socket->granted + 1));
            group->Settle(n, socket->granted, socket->ticket);
            moved[socket->index] = n;
            socket.reset();
        };

        // One socket asking again at once and moving every grant whole: the full rate.
        for (int step = 0; step < 1000; ++step) {
            take(sockets[0]);
            settle(sockets[0], true);
        }
        const double rated = static_cast<double>(rate) * at.back();
        const double total = static_cast<double>(std::accumulate(moved.begin(), moved.end(), 0L));
        EXPECT_GE(total, rated);
        EXPECT_LE(total, rated + group->quota() + group->grant_max());

        // Four sockets in any order, settling late, with pauses.
        for (int step = 0; step < 2000; ++step) {
            std::optional<Held>& socket = sockets[random() % sockets.size()];
            settle(socket, false);
            take(socket);
            clock.now += std::chrono::microseconds(random() % 3000);
            if (random() % 50 == 0)
                clock.now += 300ms;   // a pause: the time nobody used is not saved up
        }
        for (std::optional<Held>& socket : sockets)
            settle(socket, true);

        std::vector<long> prefix{0};
        for (const long n : moved)
            prefix.push_back(prefix.back() + n);
        for (std::size_t i = 0; i < at.size(); ++i) {
            for (std::size_t j = i; j < at.size(); ++j) {
                const double allowed = group->quota() + static_cast<double>(rate) * (at[j] - at[i]) + 1;
                const long bytes = prefix[j + 1] - prefix[i];
                if (static_cast<double>(bytes) > allowed) {
                    FAIL() << bytes << " bytes from grant " << i << " to " << j << ", over " << allowed;
                }
            }
        }
    }
}

// A socket that holds a grant while it waits on its peer costs the others of its group that one
// grant, never the rest of a window; a grant handed back before anybody asked again is theirs.
TEST_F(SocketPair, AGrantHeldByOneSocketHoldsBackNoOther)
{
    LimitGroupRef group = atom_make<LimitGroup>(1000000);   // 100,000 bytes a window
    FakeClock clock;
    clock.attach(group);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto idle = std::make_unique<Socket>(pair[0]);
    idle->SetRate(nullptr, group);
    sock->SetRate(nullptr, group);

    const int held = idle->Throttle(true);
    EXPECT_EQ(held, static_cast<int>(LimitGroup::GRANT_MAX));
    const auto began = clock.now;
    const std::string bytes(150000, 'w');
    std::string received;
    std::thread reader([&] {
        char block[65536];
        ssize_t n;
        while (received.size() < bytes.size() && (n = read(peer, block, sizeof block)) > 0)
            received.append(block, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(sock->Write(bytes.data(), static_cast<long>(bytes.size())), static_cast<long>(bytes.size()));
    reader.join();
    EXPECT_EQ(received, bytes);
    // 150,000 bytes beyond the window's 100,000 that the group may run ahead, plus the held grant.
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(clock.now - began);
    EXPECT_GE(waited, 66384us - 1us);
    EXPECT_LE(waited, 66384us + 1us);

    // Its first grant was lost once others were placed behind it. A grant it gives back while
    // nothing was counted after it comes back whole: a full window is there as soon as the bytes
    // actually moved are paid for, 16,384 microseconds sooner than if it had kept the grant.
    EXPECT_EQ(idle->Throttle(true), held);
    idle->SetRate(nullptr, nullptr);
    clock.now += 100ms - 16384us;
    const std::size_t sleeps = clock.sleeps.size();
    EXPECT_EQ(sock->Write(bytes.data(), 100000), 100000);
    EXPECT_EQ(clock.sleeps.size(), sleeps);
    EXPECT_EQ(drain_peer().size(), 100000u);
    sock->SetRate(nullptr, nullptr);
    close(pair[1]);
}

// Sockets of one group asking in turn each get what they asked for, in turn, and the group's
// clock moves exactly at its rate once the first window is spent: nobody takes another's share.
TEST_F(SocketPair, SocketsSharingAGroupTakeEqualTurnsAtTheRate)
{
    LimitGroupRef group = atom_make<LimitGroup>(1000000);
    FakeClock clock;
    clock.attach(group);
    constexpr int SOCKETS = 10;
    constexpr int ROUNDS = 30;
    constexpr long BLOCK = 8192;
    std::vector<SocketPtr> sockets;
    std::vector<int> peers;
    for (int i = 0; i < SOCKETS; ++i) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        sockets.push_back(std::make_unique<Socket>(pair[0]));
        sockets.back()->SetRate(nullptr, group);
        peers.push_back(pair[1]);
    }
    const std::string block(BLOCK, 'q');
    std::vector<std::size_t> received(SOCKETS);
    const auto began = clock.now;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int i = 0; i < SOCKETS; ++i) {
            ASSERT_EQ(sockets[i]->Write(block.data(), BLOCK), BLOCK);
            char buf[65536];
            ssize_t n;
            while ((n = recv(peers[i], buf, sizeof buf, MSG_DONTWAIT)) > 0)
                received[i] += static_cast<std::size_t>(n);
        }
    }
    for (int i = 0; i < SOCKETS; ++i) {
        EXPECT_EQ(received[i], static_cast<std::size_t>(ROUNDS * BLOCK)) << i;
        EXPECT_EQ(sockets[i]->bytes_out(), static_cast<std::uint64_t>(ROUNDS * BLOCK)) << i;
        sockets[i].reset();
        close(peers[i]);
    }
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(clock.now - began);
    const auto paced = std::chrono::microseconds(SOCKETS * ROUNDS * BLOCK - 100000);   // 1 byte a microsecond
    EXPECT_GE(waited, paced - 1us);
    EXPECT_LE(waited, paced + 1us);
}

TEST_F(SocketPair, ReadGroupPacesReads)
{
    LimitGroupRef group = atom_make<LimitGroup>(10000);   // 1000 bytes a window
    FakeClock clock;
    clock.attach(group);
    sock->SetRate(group, nullptr);
    group.reset();   // the socket's reference keeps it

    send_peer(std::string(5000, 'r'));
    std::vector<char> buf(5000);
    std::size_t got = 0;
    while (got < 5000) {
        const int n = sock->Read(buf.data(), 5000, 5);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 1000);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(sock->bytes_in(), 5000u);
    // The first window's 1000 bytes at once, the other 4000 at the rate.
    const auto slept = std::accumulate(clock.sleeps.begin(), clock.sleeps.end(), std::chrono::microseconds{0});
    EXPECT_EQ(slept, 400ms);
}

TEST_F(SocketPair, OneReadTakesAtMostTheBlockAskedFor)
{
    // A socket pair's buffer holds more than the largest block here.
    send_peer(std::string(100000, 'b'));
    std::vector<char> buf(100000);
    EXPECT_EQ(sock->Read(buf.data(), 100000, 5), BLOCKSIZE);
    EXPECT_EQ(sock->Read(buf.data(), 100000, 5, 65536), 65536);
    EXPECT_EQ(sock->input_length(), 0u);
}

// A blocking writer under a slow rate is paced where it writes: it never piles the bytes the
// group holds back into its output buffer, where a fast source would make them grow unbounded.
TEST_F(SocketPair, ABlockingWriteSleepsThroughItsGrantsInsteadOfQueueing)
{
    LimitGroupRef group = atom_make<LimitGroup>(10000);
    FakeClock clock;
    clock.attach(group);
    sock->SetRate(nullptr, group);
    group.reset();

    const std::string bytes(8000, 'p');
    EXPECT_EQ(sock->Write(bytes.data(), 8000), 8000);
    EXPECT_EQ(sock->output_length(), 0u);
    EXPECT_EQ(drain_peer(), bytes);
    const auto slept = std::accumulate(clock.sleeps.begin(), clock.sleeps.end(), std::chrono::microseconds{0});
    EXPECT_EQ(slept, 700ms);
    sock.reset();
}

TEST_F(SocketPair, AGroupOfRateZeroLetsEverythingThrough)
{
    sock->SetRate(atom_make<LimitGroup>(0), atom_make<LimitGroup>(0));
    const std::string bytes(100000, 'z');
    std::string received;
    std::thread reader([&] {
        char block[65536];
        ssize_t n;
        while (received.size() < bytes.size() && (n = read(peer, block, sizeof block)) > 0)
            received.append(block, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(sock->Write(bytes.data(), static_cast<long>(bytes.size())), static_cast<long>(bytes.size()));
    reader.join();
    EXPECT_EQ(received, bytes);
    send_peer(std::string(20000, 'y'));
    std::vector<char> buf(20000);
    EXPECT_EQ(sock->Read(buf.data(), 20000, 5), BLOCKSIZE);
}

TEST_F(SocketPair, DestroyingFlushesPendingBytesThroughTheWriteGroup)
{
    LimitGroupRef group = atom_make<LimitGroup>(20);   // 2 bytes a window
    FakeClock clock;
    clock.attach(group);
    sock->SetRate(nullptr, group);
    group.reset();
    ASSERT_EQ(sock->Blocking(false), 0);   // one grant a write: the rest waits in the buffer

    EXPECT_EQ(sock->Write("xxabc", 5), 2);
    EXPECT_EQ(sock->output_length(), 3u);
    sock.reset();   // also deletes the group: ASan reports it otherwise
    char buf[16];
    std::string received;
    ssize_t n;
    while ((n = read(peer, buf, sizeof buf)) > 0)
        received.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(received, "xxabc");
    // The 3 bytes beyond the first window went at the group's 20 bytes a second.
    const auto slept = std::accumulate(clock.sleeps.begin(), clock.sleeps.end(), std::chrono::microseconds{0});
    EXPECT_EQ(slept, 150ms);
}

TEST_F(SocketPair, SetRateWithTheSameGroupKeepsItAlive)
{
    LimitGroupRef group = atom_make<LimitGroup>(1000);
    LimitGroup* const shared = group.get();
    sock->SetRate(group, group);
    group.reset();
    // The socket held the last references.
    sock->SetRate(LimitGroupRef::share(shared), LimitGroupRef::share(shared));
    EXPECT_EQ(shared->quota(), 100u);
    sock->SetRate(nullptr, nullptr);   // now it goes
}

struct Seen {
    std::vector<std::string> calls;
    int verdict = 0;
};

int record_a(void* data, long length, const char* bytes)
{
    auto* seen = static_cast<Seen*>(data);
    seen->calls.push_back("a:" + std::to_string(length) + ":" + (bytes ? std::string(bytes, length > 0 ? length : 0) : "-"));
    return seen->verdict;
}

int record_b(void* data, long length, const char*)
{
    static_cast<Seen*>(data)->calls.push_back("b:" + std::to_string(length));
    return 0;
}

TEST_F(SocketPair, CallBacksSeeEveryByteInOrderAndCanFailARead)
{
    Seen seen;
    const int a = sock->CallBackAdd(record_a, &seen, SOCKET_EVENT_READ | SOCKET_EVENT_WRITE);
    const int b = sock->CallBackAdd(record_b, &seen, SOCKET_EVENT_READ);
    EXPECT_EQ(b, a + 1);

    send_peer("hi");
    char buf[8];
    ASSERT_EQ(sock->Read(buf, 8, 5), 2);
    ASSERT_EQ(sock->Write("out", 3), 3);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"a:2:hi", "b:2", "a:3:out"}));

    seen.calls.clear();
    EXPECT_EQ(sock->CallBackMaskSet(a, SOCKET_EVENT_WRITE), SOCKET_EVENT_WRITE);
    EXPECT_EQ(sock->CallBackMaskGet(a), SOCKET_EVENT_WRITE);
    EXPECT_EQ(sock->CallBackMaskGet(b), SOCKET_EVENT_READ);
    sock->CallBackMaskSet(a, SOCKET_EVENT_READ);
    seen.verdict = -1;
    send_peer("no");
    EXPECT_EQ(sock->Read(buf, 8, 5), -1);   // a callback refused the bytes
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"a:2:no"}));   // b never ran

    EXPECT_EQ(sock->CallBackRemove(a), 1);
    seen.calls.clear();
    send_peer("ok");
    EXPECT_EQ(sock->Read(buf, 8, 5), 2);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"b:2"}));
    EXPECT_EXIT(sock->CallBackRemove(a), [](int) { return true; }, "");
}

TEST_F(SocketPair, ByteTotalsReachThePerformanceLogAndNetworkStatistics)
{
    global->stats.AddGroup("network", 0);
    global->stats.AddCounter("network", "bytes in", 2);
    global->stats.AddCounter("network", "bytes out", 2);
    const StatGroup* network = global->stats.group("network");
    auto value = [&](const char* name) {
        for (const StatCounter& c : network->counters())
            if (c.name == name)
                return c.value;
        return std::uint64_t{0};
    };
    const std::uint64_t log_in = performance_log->get_bytes_in(), log_out = performance_log->get_bytes_out();
    const std::uint64_t stat_in = value("bytes in"), stat_out = value("bytes out");

    send_peer("12345");
    char buf[8];
    ASSERT_EQ(sock->Read(buf, 8, 5), 5);
    ASSERT_EQ(sock->Write("abc", 3), 3);
    sock.reset();

    EXPECT_EQ(performance_log->get_bytes_in() - log_in, 5u);
    EXPECT_EQ(performance_log->get_bytes_out() - log_out, 3u);
    EXPECT_EQ(value("bytes in") - stat_in, 5u);
    EXPECT_EQ(value("bytes out") - stat_out, 3u);
}

// Two plain sockets, a source and a destination, each with a raw peer for the test to drive.
class SplicePair : public testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        source = std::make_unique<Socket>(fds[0]);
        source_peer = fds[1];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        destination = std::make_unique<Socket>(fds[0]);
        destination_peer = fds[1];
    }

    void TearDown() override
    {
        source.reset();
        destination.reset();
        for (const int fd : {source_peer, destination_peer}) {
            if (fd >= 0)
                close(fd);
        }
    }

    // Everything the destination's peer receives until `length` bytes came or the stream ends.
    static std::string receive(int fd, std::size_t length)
    {
        std::string all;
        char block[65536];
        while (all.size() < length) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n <= 0)
                break;
            all.append(block, static_cast<std::size_t>(n));
        }
        return all;
    }

    static std::string pattern(std::size_t size)
    {
        std::string bytes(size, '\0');
        std::mt19937 random(7);
        for (char& c : bytes)
            c = static_cast<char>(random());
        return bytes;
    }

    SocketPtr source;
    SocketPtr destination;
    int source_peer = -1;
    int destination_peer = -1;
};

int splice_watch(void*, long, const char*)
{
    return 0;
}

TEST_F(SplicePair, OnlyBytesNobodyWatchesOnPlainUnlimitedSocketsMayBeSpliced)
{
    struct Case {
        const char* name;
        std::function<void(Socket& source, Socket& destination)> set;
        bool can;       // CanSpliceTo
        bool spliced;   // SpliceTo moved the bytes
    };
    const LimitGroupRef group = atom_make<LimitGroup>(1u << 30);
    const std::vector<Case> cases = {
        {"plain", [](Socket&, Socket&) {}, true, true},
        // Bytes buffered on either side go first, through the copying path.
        {"source buffers input", [](Socket& s, Socket&) { s.PushFront("x", 1); }, true, false},
        {"destination holds output", [](Socket&, Socket& d) { d.Hold("x", 1); }, true, false},
        {"source read group", [&](Socket& s, Socket&) { s.SetRate(group, nullptr); }, false, false},
        {"destination write group", [&](Socket&, Socket& d) { d.SetRate(nullptr, group); }, false, false},
        {"source write group only", [&](Socket& s, Socket&) { s.SetRate(nullptr, group); }, true, true},
        {"read callback on the source",
         [](Socket& s, Socket&) { s.CallBackAdd(splice_watch, nullptr, SOCKET_EVENT_READ); }, false, false},
        {"write callback on the destination",
         [](Socket&, Socket& d) { d.CallBackAdd(splice_watch, nullptr, SOCKET_EVENT_WRITE); }, false, false},
        {"error callbacks only",
         [](Socket& s, Socket& d) {
             s.CallBackAdd(splice_watch, nullptr, SOCKET_EVENT_ERROR | SOCKET_EVENT_WRITE);
             d.CallBackAdd(splice_watch, nullptr, SOCKET_EVENT_ERROR | SOCKET_EVENT_READ);
         },
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.set(*source, *destination);
        EXPECT_EQ(source->CanSpliceTo(*destination), c.can);
        ASSERT_EQ(write(source_peer, "abc", 3), 3);
        SplicePipe pipe;
        ASSERT_TRUE(pipe.ok());
        const Socket::Spliced moved = source->SpliceTo(*destination, pipe, 3);
        if (c.spliced) {
            EXPECT_EQ(moved.read, 3);
            EXPECT_EQ(receive(destination_peer, 3), "abc");
            EXPECT_EQ(source->bytes_in(), 3u);
            EXPECT_EQ(destination->bytes_out(), 3u);
        } else {
            // Nothing is taken: the copying path finds every byte where it was.
            EXPECT_EQ(moved.read, -2);
            EXPECT_EQ(source->bytes_in(), 0u);
            EXPECT_EQ(destination->bytes_out(), 0u);
        }
    }
}

TEST_F(SplicePair, SplicedBytesArriveWholeInOrderAndAreCountedOnBothSockets)
{
    const std::string body = pattern(3 * 1048576 + 123);
    std::thread writer([&] {
        for (std::size_t at = 0; at < body.size();) {
            const ssize_t n = write(source_peer, body.data() + at, body.size() - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        shutdown(source_peer, SHUT_WR);
    });
    std::string got;
    std::thread reader([&] { got = receive(destination_peer, body.size()); });
    SplicePipe pipe;
    ASSERT_TRUE(pipe.ok());
    std::uint64_t total = 0;
    for (;;) {
        pollfd ready{source->fd(), POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, -1), 1);
        const Socket::Spliced moved = source->SpliceTo(*destination, pipe, 1 << 20);
        ASSERT_FALSE(moved.destination_failed);
        ASSERT_GE(moved.read, 0);
        if (moved.read == 0)
            break;
        total += static_cast<std::uint64_t>(moved.read);
    }
    writer.join();
    reader.join();
    EXPECT_EQ(total, body.size());
    EXPECT_TRUE(got == body);
    EXPECT_EQ(source->bytes_in(), body.size());
    EXPECT_EQ(destination->bytes_out(), body.size());
    // The destination's descriptor is blocking again, as its Socket believes.
    EXPECT_EQ(fcntl(destination->fd(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(SplicePair, WhatTheDestinationCannotTakeInTimeWaitsInItsOutputInOrder)
{
    // A peer that reads nothing and a time-out of zero: the send gives up at once, as Write does.
    const int small = 4096;
    ASSERT_EQ(setsockopt(destination->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    destination->SetTimeout(0);
    const std::string body = pattern(100000);
    ASSERT_EQ(write(source_peer, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    SplicePipe pipe;
    std::size_t moved_total = 0;
    while (moved_total < body.size() && destination->output_length() == 0) {
        const Socket::Spliced moved = source->SpliceTo(*destination, pipe, body.size() - moved_total);
        ASSERT_GT(moved.read, 0);
        ASSERT_FALSE(moved.destination_failed);
        moved_total += static_cast<std::size_t>(moved.read);
    }
    EXPECT_GT(destination->output_length(), 0u);
    EXPECT_EQ(destination->bytes_out() + destination->output_length(), moved_total);
    if (moved_total < body.size()) {
        // The queue goes first, copied: nothing more is spliced past it.
        EXPECT_EQ(source->SpliceTo(*destination, pipe, body.size() - moved_total).read, -2);
    }

    std::string got;
    std::thread reader([&] { got = receive(destination_peer, moved_total); });
    destination->SetTimeout(60);
    destination->Flush();
    reader.join();
    EXPECT_EQ(destination->output_length(), 0u);
    EXPECT_TRUE(got == body.substr(0, moved_total));
}

TEST_F(SplicePair, ADestinationThatHungUpFailsAsAFailedWriteWithoutSigpipe)
{
    // SIGPIPE keeps its default action: raised and not taken back, it would end the test.
    close(destination_peer);
    destination_peer = -1;
    Seen seen;
    destination->CallBackAdd(record_a, &seen, SOCKET_EVENT_ERROR);
    const std::string body = pattern(70000);
    ASSERT_EQ(write(source_peer, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    SplicePipe pipe;
    const Socket::Spliced moved = source->SpliceTo(*destination, pipe, body.size());
    EXPECT_GT(moved.read, 0);
    EXPECT_TRUE(moved.destination_failed);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"a:-1:-"}));
    EXPECT_EQ(destination->Write("x", 1), -1);
    EXPECT_FALSE(source->CanSpliceTo(*destination));
}

TEST_F(SocketPair, EncryptWithAPeerNotSpeakingTlsLeavesThePlainSocket)
{
    send_peer("HTTP/1.0 400 Bad Request\r\n\r\n");
    EXPECT_EQ(sock->Encrypt(1), 0);
    EXPECT_EQ(sock->tls(), 0);
    ASSERT_EQ(sock->Write("plain", 5), 5);
    // After the refused handshake's first message.
    const std::string seen = drain_peer();
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ(seen.substr(seen.size() - 5), "plain");
}

}  // namespace
