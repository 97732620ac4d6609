#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/global.h"
#include "util/log.h"
#include "core/performance.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "core/statgroups.h"

namespace {

std::time_t fake_now = 1000;
std::time_t fake_clock() { return fake_now; }

ServerPool::Limits fake_limits_value{2, 30};
ServerPool::Limits fake_limits() { return fake_limits_value; }

// A pooled connection: the proxy's Socket, and the server's end kept here to see it closed.
struct Upstream {
    SocketPtr socket;
    int fd = -1;
    int peer = -1;

    Upstream()
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        socket = std::make_unique<Socket>(pair[0]);
        fd = pair[0];
        peer = pair[1];
    }
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;
    ~Upstream() { close(peer); }
    bool closed() const
    {
        char byte;
        const ssize_t got = recv(peer, &byte, 1, MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
};

ServerKey key(const char* host = "origin.test", std::optional<std::string> user = std::nullopt,
              std::optional<std::string> password = std::nullopt)
{
    ServerKey made;
    made.protocol = "http";
    made.host = host;
    made.port = 80;
    made.user = std::move(user);
    made.password = std::move(password);
    serverpool_route_add(made.route, "plain");
    serverpool_route_add(made.route, "4");
    return made;
}

int count_logged(const std::string& text)
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    int n = 0;
    for (const std::string& line : buffered)
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

std::uint64_t pool_counter(const char* name)
{
    for (const StatCounter& counter : global->stats.group("connection pool")->counters())
        if (counter.name == name)
            return counter.value;
    return 0;
}

class ServerPoolTest : public testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1000;
        fake_limits_value = {2, 30};
        globalstats_init();
        logbuffer_clear(global->logbuffer.get());
    }

    ServerPool pool{fake_clock, fake_limits};
};

TEST_F(ServerPoolTest, TheOldestMatchingConnectionIsHandedOutFirst)
{
    Upstream first, second, elsewhere;
    fake_limits_value.size = 5;
    pool.Add(std::move(elsewhere.socket), key("other.test"));
    pool.Add(std::move(first.socket), key());
    pool.Add(std::move(second.socket), key());

    SocketPtr a = pool.Find(key());
    SocketPtr b = pool.Find(key());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->fd(), first.fd);
    EXPECT_EQ(b->fd(), second.fd);
    EXPECT_EQ(pool.Find(key()), nullptr);
    EXPECT_EQ(pool.size(), 1u);
    // A socket handed out belongs to the request: the pool has not closed it.
    EXPECT_FALSE(first.closed());
}

TEST_F(ServerPoolTest, KeysMatchOnlyForTheSameRouteAndCredentials)
{
    using std::nullopt;
    struct Case {
        const char* name;
        ServerKey pooled, wanted;
        bool found;
    };
    ServerKey other_port = key(), other_route = key(), loud = key();
    other_port.port = 8080;
    serverpool_route_add(other_route.route, "parent");
    loud.protocol = "HTTP";
    loud.host = "Origin.TEST";
    const Case cases[] = {
        {"no credentials on either side", key(), key(), true},
        {"protocol and host in another case", key(), loud, true},
        {"another port", key(), other_port, false},
        {"another route", key(), other_route, false},
        {"the pooled one has none, the request has some", key(), key("origin.test", "u", "p"), false},
        {"the same user and password", key("origin.test", "u", "p"), key("origin.test", "u", "p"), true},
        {"the request has none", key("origin.test", "u", "p"), key(), false},
        {"a user name in another case", key("origin.test", "u", "p"), key("origin.test", "U", "p"), false},
        {"a password in another case", key("origin.test", "u", "secret"), key("origin.test", "u", "Secret"), false},
        {"another password", key("origin.test", "u", "p"), key("origin.test", "u", "q"), false},
        {"a user without a password", key("origin.test", "u", nullopt), key("origin.test", "u", nullopt), false},
        {"a request without its password", key("origin.test", "u", "p"), key("origin.test", "u", nullopt), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upstream upstream;
        ServerPool own(fake_clock, fake_limits);
        own.Add(std::move(upstream.socket), c.pooled);
        EXPECT_EQ(own.Find(c.wanted) != nullptr, c.found);
    }
}

TEST_F(ServerPoolTest, RoutesOfDifferentPartsNeverCoincide)
{
    std::string a, b;
    serverpool_route_add(a, "user password=");
    serverpool_route_add(a, "x");
    serverpool_route_add(b, "user");
    serverpool_route_add(b, " password=x");
    EXPECT_NE(a, b);
}

TEST_F(ServerPoolTest, HitsAndMissesAreCounted)
{
    const std::uint64_t hits = pool_counter("hit"), misses = pool_counter("miss");
    const std::uint64_t performance_hits = performance_log->get_connection_pool_hit();
    Upstream upstream;
    pool.Add(std::move(upstream.socket), key());
    EXPECT_EQ(pool.Find(key("other.test")), nullptr);
    EXPECT_NE(pool.Find(key()), nullptr);
    EXPECT_EQ(pool_counter("hit") - hits, 1u);
    EXPECT_EQ(pool_counter("miss") - misses, 1u);
    EXPECT_EQ(performance_log->get_connection_pool_hit() - performance_hits, 1u);
}

TEST_F(ServerPoolTest, AFullPoolClosesItsOldestAndWarnsOncePerLength)
{
    const std::string warning = "Connection Pool: size:2 is inadequate, consider increasing this, else reduce "
                                "Connection Pool Timeout";
    Upstream one, two, three, four, five;
    pool.Add(std::move(one.socket), key());
    pool.Add(std::move(two.socket), key());
    EXPECT_EQ(count_logged(warning), 0);

    pool.Add(std::move(three.socket), key());
    EXPECT_TRUE(one.closed());
    EXPECT_FALSE(two.closed());
    EXPECT_EQ(count_logged(warning), 1);

    pool.Add(std::move(four.socket), key());
    EXPECT_TRUE(two.closed());
    EXPECT_EQ(count_logged(warning), 1);
    EXPECT_EQ(pool.size(), 2u);

    // A cleaning forgets the length warned about.
    pool.Clean(0);
    pool.Add(std::move(five.socket), key());
    EXPECT_TRUE(three.closed());
    EXPECT_EQ(count_logged(warning), 2);
}

TEST_F(ServerPoolTest, ASizeOfZeroStillKeepsTheNewestConnection)
{
    fake_limits_value.size = 0;
    Upstream one, two;
    pool.Add(std::move(one.socket), key());
    pool.Add(std::move(two.socket), key());
    EXPECT_TRUE(one.closed());
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_NE(pool.Find(key()), nullptr);
}

TEST_F(ServerPoolTest, CleaningClosesExpiredEntriesAndThoseBeyondTheSize)
{
    fake_limits_value.size = 5;
    Upstream old, young;
    pool.Add(std::move(old.socket), key());
    fake_now = 1001;
    pool.Add(std::move(young.socket), key());

    fake_now = 1030;   // old is 30 seconds old, young 29
    pool.Clean(0);
    EXPECT_TRUE(old.closed());
    EXPECT_FALSE(young.closed());

    // Positions 0 to the size survive: one more than the size.
    Upstream b, c;
    pool.Add(std::move(b.socket), key());
    pool.Add(std::move(c.socket), key());
    fake_limits_value.size = 1;
    pool.Clean(0);
    EXPECT_FALSE(young.closed());
    EXPECT_FALSE(b.closed());
    EXPECT_TRUE(c.closed());
    EXPECT_EQ(pool.size(), 2u);
    EXPECT_EQ(performance_log->get_connection_pool_size(), 3u);
}

TEST_F(ServerPoolTest, CleaningAllClosesEverySocket)
{
    Upstream one, two;
    pool.Add(std::move(one.socket), key());
    pool.Add(std::move(two.socket), key("other.test"));
    pool.Clean(1);
    EXPECT_TRUE(one.closed());
    EXPECT_TRUE(two.closed());
    EXPECT_EQ(pool.size(), 0u);
}

TEST_F(ServerPoolTest, AConnectionWithSomethingToReadIsNeverReused)
{
    // Whatever an idle server sent (more than its answer held, an answer to nothing) or its
    // close would be taken for the answer to the next request.
    struct Case {
        const char* name;
        bool buffered_when_added;   // bytes already read past the answer
        const char* sent_while_idle;
        bool closed_while_idle;
        bool reused;
    };
    const Case cases[] = {
        {"silent", false, nullptr, false, true},
        {"bytes behind its answer", true, nullptr, false, false},
        {"an answer to nothing", false, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\ninjected", false, false},
        {"its close", false, nullptr, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upstream upstream, behind;
        const int silent_fd = behind.fd;
        const int first_fd = upstream.fd;
        ServerPool own(fake_clock, [] { return ServerPool::Limits{5, 30}; });
        if (c.buffered_when_added)
            upstream.socket->PushFront("HTTP/1.1 200 OK\r\n", 17);
        own.Add(std::move(upstream.socket), key());
        own.Add(std::move(behind.socket), key());
        if (c.sent_while_idle != nullptr) {
            ASSERT_GT(write(upstream.peer, c.sent_while_idle, strlen(c.sent_while_idle)), 0);
        }
        if (c.closed_while_idle)
            shutdown(upstream.peer, SHUT_WR);
        // The older one goes first, unless it has spoken: then the silent one behind it.
        const SocketPtr found = own.Find(key());
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->fd(), c.reused ? first_fd : silent_fd);
        EXPECT_EQ(upstream.closed(), !c.reused);
        EXPECT_EQ(own.size(), c.reused ? 1u : 0u);
    }
}

// Requests taking and giving back connections at once: a connection is never handed to two
// of them, and none is lost or closed while it is pooled or held.
TEST_F(ServerPoolTest, ConcurrentFindsAndAddsHandEachConnectionToOneHolder)
{
    constexpr int CONNECTIONS = 12;
    constexpr int THREADS = 6;
    constexpr int ROUNDS = 3000;
    fake_limits_value.size = CONNECTIONS + 1;
    std::vector<std::unique_ptr<Upstream>> upstreams;
    for (int i = 0; i < CONNECTIONS; ++i) {
        upstreams.push_back(std::make_unique<Upstream>());
        pool.Add(std::move(upstreams.back()->socket), key());
    }
    std::vector<std::atomic<int>> holders(1024);
    std::atomic<bool> shared{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                SocketPtr socket = pool.Find(key());
                if (socket == nullptr)
                    continue;
                if (holders[static_cast<std::size_t>(socket->fd())].fetch_add(1) != 0)
                    shared = true;
                holders[static_cast<std::size_t>(socket->fd())].fetch_sub(1);
                pool.Add(std::move(socket), key());
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(shared);
    EXPECT_EQ(pool.size(), static_cast<std::size_t>(CONNECTIONS));
    for (const auto& upstream : upstreams)
        EXPECT_FALSE(upstream->closed());
}

TEST_F(ServerPoolTest, TheDestructorClosesWhatIsLeft)
{
    Upstream one;
    {
        ServerPool own(fake_clock, fake_limits);
        own.Add(std::move(one.socket), key());
        EXPECT_FALSE(one.closed());
    }
    EXPECT_TRUE(one.closed());
}

} // namespace
