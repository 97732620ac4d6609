#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
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

    std::unique_ptr<Socket> sock;
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
    struct Case { unsigned rate, quota; };
    const Case cases[] = {{0, 0}, {5, 1}, {10, 1}, {10000, 1000}, {12345, 1234}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        LimitGroupRef group = atom_make<LimitGroup>(c.rate);
        EXPECT_EQ(group->quota(), c.quota);
        if (c.rate == 0) {
            EXPECT_EQ(group->Throttle(), 0);   // 0 = unlimited
        }
    }
}

TEST(LimitGroupTest, WindowBudgetIsHandedOutAndTheRestOfTheWindowSleptOut)
{
    LimitGroupRef group = atom_make<LimitGroup>(10000);
    FakeClock clock;
    clock.attach(group);

    EXPECT_EQ(group->Throttle(), 1000);   // a new window
    group->Incr(400);
    clock.now += 30ms;
    EXPECT_EQ(group->Throttle(), 600);
    group->Incr(600);
    clock.now += 20ms;
    EXPECT_EQ(group->Throttle(), 1000);   // spent: sleeps the 50 ms that are left
    ASSERT_EQ(clock.sleeps.size(), 1u);
    EXPECT_EQ(clock.sleeps[0], 50ms);

    group->Incr(10);
    clock.now += 250ms;                   // a long pause: a new window, no sleep
    EXPECT_EQ(group->Throttle(), 1000);
    EXPECT_EQ(clock.sleeps.size(), 1u);

    group->Incr(5000);                    // overdrawn by concurrent sockets: still one window at most
    clock.now += 1ms;
    EXPECT_EQ(group->Throttle(), 1000);
    ASSERT_EQ(clock.sleeps.size(), 2u);
    EXPECT_EQ(clock.sleeps[1], 99ms);
}

TEST_F(SocketPair, ReadGroupBoundsEachRead)
{
    LimitGroupRef group = atom_make<LimitGroup>(10000);
    FakeClock clock;
    clock.attach(group);
    sock->SetRate(group, nullptr);
    group.reset();   // the socket's reference keeps it

    send_peer(std::string(5000, 'r'));
    std::vector<char> buf(5000);
    EXPECT_EQ(sock->Read(buf.data(), 5000, 5), 1000);
    EXPECT_EQ(sock->Read(buf.data(), 5000, 5), 1000);   // the window is spent: slept out first
    EXPECT_EQ(clock.sleeps.size(), 1u);
    EXPECT_EQ(sock->bytes_in(), 2000u);
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

TEST_F(SocketPair, DestroyingFlushesPendingBytesThroughTheWriteGroup)
{
    LimitGroupRef group = atom_make<LimitGroup>(20);   // 2 bytes a window
    FakeClock clock;
    clock.attach(group);
    sock->SetRate(nullptr, group);
    group.reset();

    EXPECT_EQ(sock->Write("xxabc", 5), 2);
    EXPECT_EQ(sock->output_length(), 3u);
    sock.reset();   // also deletes the group: ASan reports it otherwise
    char buf[16];
    std::string received;
    ssize_t n;
    while ((n = read(peer, buf, sizeof buf)) > 0)
        received.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(received, "xxabc");
}

// Sockets that share a write group split each window's budget between them, whichever asks
// first, and what one was granted but did not send goes back to the others.
TEST_F(SocketPair, SocketsSharingAGroupShareEachWindow)
{
    LimitGroupRef group = atom_make<LimitGroup>(10000);   // 1000 bytes a window
    FakeClock clock;
    clock.attach(group);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto other = std::make_unique<Socket>(pair[0]);
    sock->SetRate(nullptr, group);
    other->SetRate(nullptr, group);

    EXPECT_EQ(sock->Throttle(true), 1000);
    EXPECT_EQ(other->Throttle(true), 1000);   // the first grant spent the window: slept out
    EXPECT_EQ(clock.sleeps.size(), 1u);

    // sock's old grant died with its window, and other holds this one: the write waits for
    // the next window and takes 3 bytes of it.
    EXPECT_EQ(sock->Write("abc", 3), 3);
    EXPECT_EQ(clock.sleeps.size(), 2u);
    clock.now += 10ms;
    other.reset();                            // its grant was of an earlier window: nothing back
    EXPECT_EQ(sock->Throttle(true), 997);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(sock->Write("defg", 4), 4);     // settles: 4 of the 997 moved
    EXPECT_EQ(sock->Throttle(true), 993);
    EXPECT_EQ(clock.sleeps.size(), 2u);
    sock->SetRate(nullptr, nullptr);
    close(pair[1]);
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
