#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net/socket.h"
#include "daemon/clientpool.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "core/global.h"
#include "core/performance.h"
#include "config/section.h"
#include "core/threads.h"

// The unit tests' way into one pass: the wait and the dispatch of its events apart, so that
// something can happen in between.
struct ClientPoolProbe {
    static int Wait(ClientPool& pool, std::array<epoll_event, 16>& events)
    {
        return epoll_wait(pool.epoll_fd_, events.data(), static_cast<int>(events.size()), 1000);
    }
    static void Dispatch(ClientPool& pool, const std::array<epoll_event, 16>& events, int count, std::time_t t)
    {
        pool.Dispatch(events.data(), count, t, pool.size());
    }
};

namespace {

std::time_t fake_now = 1000;
std::time_t fake_clock() { return fake_now; }

// What the pool handed over, in order; the answer the next hand-overs give.
std::vector<ConnectionPtr> handed;
int handover_answer = 7;
// Run inside a hand-over, when set.
void (*during_handover)() = nullptr;

int record_handover(ConnectionPtr& connection)
{
    if (during_handover != nullptr)
        during_handover();
    if (handover_answer < 0)
        return handover_answer;
    handed.push_back(std::move(connection));
    return handover_answer;
}

std::vector<std::string> log_lines()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return {buffered.begin(), buffered.end()};
}

bool logged(const std::string& text)
{
    for (const std::string& line : log_lines())
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

// One client: the proxy's side in a record, the client's own end kept here.
struct Client {
    ConnectionPtr connection;
    int peer = -1;

    Client(std::uint32_t id, std::uint64_t requests = 0)
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        connection = connection_new("192.0.2.1");
        connection->client = std::make_unique<Socket>(fds[0]);
        connection->id = id;
        connection->requests = requests;
        peer = fds[1];
    }
    ~Client()
    {
        if (peer >= 0)
            close(peer);
    }
    void send(const char* text) const { ASSERT_GT(write(peer, text, std::strlen(text)), 0); }
    // True once the proxy has closed its side (a reset when it left bytes unread).
    bool closed() const
    {
        char byte;
        const ssize_t got = recv(peer, &byte, 1, MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
};

std::vector<std::uint32_t> handed_ids()
{
    std::vector<std::uint32_t> ids;
    for (const ConnectionPtr& c : handed)
        ids.push_back(c->id);
    return ids;
}

// The process's open descriptors.
std::size_t open_descriptors()
{
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

// Takes the one connection handed over last, as its thread would.
ConnectionPtr take_handed()
{
    EXPECT_EQ(handed.size(), 1u);
    if (handed.empty())
        return nullptr;
    ConnectionPtr connection = std::move(handed.back());
    handed.clear();
    return connection;
}

class ClientPoolTest : public testing::Test {
protected:
    void SetUp() override
    {
        handed.clear();
        handover_answer = 7;
        during_handover = nullptr;
        fake_now = 1000;
        if (general_section == nullptr) {
            // The general section reads its declarations from the shipped definitions.
            if (sectionxml == nullptr)
                sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
            general_section = new GeneralSection;
        }
        logbuffer_clear(global->logbuffer.get());
    }
    void TearDown() override { handed.clear(); }

    ClientPool pool{record_handover, fake_clock};
};

TEST_F(ClientPoolTest, ReadableConnectionsAreHandedOverIdleOnesStay)
{
    Client quiet(1), asking(2);
    pool.Add(std::move(quiet.connection));
    pool.Add(std::move(asking.connection));
    asking.send("GET / HTTP/1.1\r\n");

    pool.Pass(1000);
    EXPECT_EQ(handed_ids(), std::vector<std::uint32_t>{2});
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_FALSE(quiet.closed());

    // The handed connection is its thread's now: it is reported no more, not even when more
    // input comes or the client hangs up, until it is given back.
    asking.send("Host: origin.test\r\n\r\n");
    shutdown(asking.peer, SHUT_WR);
    pool.Pass(0);
    EXPECT_EQ(handed.size(), 1u);
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_FALSE(asking.closed());
}

TEST_F(ClientPoolTest, HangUpNeedsNoThreadUnlessARequestCameWithIt)
{
    struct Case {
        const char* name;
        const char* sent;      // before the client's side ends
        int how;               // SHUT_WR, or -1 for a full close
        bool handed;
    };
    const Case cases[] = {
        {"close, nothing sent", "", -1, false},
        {"half close, nothing sent", "", SHUT_WR, false},
        {"request, then half close", "GET / HTTP/1.0\r\n\r\n", SHUT_WR, true},
        {"request, then close", "GET / HTTP/1.0\r\n\r\n", -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        handed.clear();
        logbuffer_clear(global->logbuffer.get());
        Client client(40, 2);
        pool.Add(std::move(client.connection));
        if (*c.sent != '\0')
            client.send(c.sent);
        if (c.how < 0) {
            close(client.peer);
            client.peer = -1;
        } else {
            shutdown(client.peer, c.how);
        }
        pool.Pass(1000);
        EXPECT_EQ(handed.size(), c.handed ? 1u : 0u);
        EXPECT_EQ(pool.size(), 0u);
        EXPECT_EQ(logged("[40] network: 192.0.2.1 disconnected after making 2 requests"), !c.handed);
    }
}

TEST_F(ClientPoolTest, IdleConnectionsAreClosedAtTheGeneralTimeOuts)
{
    // No general rule: 60 seconds before the first request and between requests.
    Client fresh(11, 0), kept(12, 4), back(13, 0);
    pool.Add(std::move(fresh.connection));
    pool.Add(std::move(kept.connection));
    // One that was handed over and given back after its request, as a connection thread does.
    pool.Add(std::move(back.connection));
    back.send("GET / HTTP/1.1\r\n\r\n");
    pool.Pass(1000);
    ConnectionPtr served = take_handed();
    ASSERT_NE(served, nullptr);
    char request[64];
    ASSERT_GT(read(served->client->fd(), request, sizeof request), 0);
    served->requests = 2;
    pool.Add(std::move(served));

    fake_now = 1059;
    pool.Pass(0);
    EXPECT_EQ(pool.size(), 3u);
    EXPECT_FALSE(fresh.closed());

    fake_now = 1060;
    pool.Pass(0);
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(fresh.closed());
    EXPECT_TRUE(kept.closed());
    EXPECT_TRUE(back.closed());
    EXPECT_TRUE(logged("[11] network: 192.0.2.1 disconnected after making 0 requests"));
    EXPECT_TRUE(logged("[12] network: 192.0.2.1 disconnected after making 4 requests"));
    EXPECT_TRUE(logged("[13] network: 192.0.2.1 disconnected after making 2 requests"));
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(thread_get_clientid(), 0u);   // the closing thread's own id is back
}

TEST_F(ClientPoolTest, ConnectionWithoutAThreadIsClosedAndCounted)
{
    handover_answer = -1;
    const std::uint64_t errors = performance_log->get_threading_error();
    Client client(21);
    pool.Add(std::move(client.connection));
    client.send("GET / HTTP/1.1\r\n\r\n");

    pool.Pass(1000);
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(performance_log->get_threading_error(), errors + 1);
}

ClientPool* cleaned_pool = nullptr;

TEST_F(ClientPoolTest, CleaningDuringAHandOverClosesOnlyWhatIsStillPooled)
{
    Client first(31), second(32), idle(33);
    pool.Add(std::move(first.connection));
    pool.Add(std::move(second.connection));
    pool.Add(std::move(idle.connection));
    first.send("x");
    second.send("y");
    cleaned_pool = &pool;
    during_handover = [] { cleaned_pool->Clean(); };

    pool.Pass(1000);
    // Both readable ones were already the poller's: handed over, not closed under it.
    EXPECT_EQ(handed_ids(), (std::vector<std::uint32_t>{31, 32}));
    EXPECT_FALSE(first.closed());
    EXPECT_TRUE(idle.closed());
    EXPECT_EQ(pool.size(), 0u);
}

TEST_F(ClientPoolTest, StaleEventOfACleanedConnectionIsDropped)
{
    Client gone(41);
    const int fd = gone.connection->client->fd();
    pool.Add(std::move(gone.connection));
    gone.send("GET / HTTP/1.1\r\n");

    std::array<epoll_event, 16> events{};
    const int count = ClientPoolProbe::Wait(pool, events);
    ASSERT_EQ(count, 1);
    // Between the wait and the dispatch: the pool is cleaned and a new client gets the same
    // descriptor number.
    pool.Clean();
    Client reused(42);
    ASSERT_EQ(reused.connection->client->fd(), fd);
    pool.Add(std::move(reused.connection));
    reused.send("GET / HTTP/1.1\r\n");

    ClientPoolProbe::Dispatch(pool, events, count, fake_now);
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(pool.size(), 1u);

    pool.Pass(1000);
    EXPECT_EQ(handed_ids(), std::vector<std::uint32_t>{42});
}

TEST_F(ClientPoolTest, PageListsPooledConnectionsOldestFirst)
{
    Client a(51, 3), b(52, 0);
    pool.Add(std::move(a.connection));
    fake_now = 1004;
    pool.Add(std::move(b.connection));
    fake_now = 1010;

    Filebuf page;
    pool.show_connections(&page);
    EXPECT_EQ(page.view(),
              "<table class=\"list\">\n"
              "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n"
              "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n"
              "<tr class=\"listeven\"><td>51</td><td>192.0.2.1</td><td>3</td><td>10</td></tr>\n"
              "<tr class=\"listodd\"><td>52</td><td>192.0.2.1</td><td>0</td><td>6</td></tr>\n"
              "</table>\n");
}

TEST_F(ClientPoolTest, NewConnectionsAreCountedOnceByThePoller)
{
    Client fresh(61, 0), kept(62, 1);
    pool.Add(std::move(fresh.connection));
    pool.Add(std::move(kept.connection));
    const std::uint64_t handled = performance_log->get_connections_handled();
    pool.Pass(0);
    EXPECT_EQ(performance_log->get_connections_handled(), handled + 1);
    EXPECT_EQ(performance_log->get_clients_in_pool(), 2u);
    pool.Pass(0);
    EXPECT_EQ(performance_log->get_connections_handled(), handled + 1);
}

TEST_F(ClientPoolTest, ConnectionGivenBackAfterAHandOverIsServedAtItsNextRequestOnly)
{
    // How the connection comes back: after serving a request (requests > 0) or before (0); the
    // thread may have pipelined bytes still unread in the socket.
    struct Case {
        const char* name;
        std::uint64_t requests;
        bool pipelined;
    };
    const Case cases[] = {
        {"kept alive, quiet", 1, false},
        {"kept alive, next request already sent", 1, true},
        {"no request served yet, quiet", 0, false},
        {"no request served yet, request already sent", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        handed.clear();
        Client client(70, 0);
        pool.Add(std::move(client.connection));
        client.send("GET /1 HTTP/1.1\r\n\r\n");
        pool.Pass(1000);
        ConnectionPtr connection = take_handed();
        ASSERT_NE(connection, nullptr);
        // The thread reads its request and gives the connection back, three times over.
        for (int round = 0; round < 3; ++round) {
            char buffer[64];
            ASSERT_GT(read(connection->client->fd(), buffer, sizeof buffer), 0);
            connection->requests = c.requests;
            if (c.pipelined)
                client.send("GET /2 HTTP/1.1\r\n\r\n");
            pool.Add(std::move(connection));
            if (!c.pipelined) {
                pool.Pass(0);
                EXPECT_TRUE(handed.empty());
                EXPECT_EQ(pool.size(), 1u);
                client.send("GET /2 HTTP/1.1\r\n\r\n");
            }
            pool.Pass(1000);
            EXPECT_EQ(pool.size(), 0u);
            connection = take_handed();
            ASSERT_NE(connection, nullptr);
            EXPECT_EQ(connection->id, 70u);
        }
        // Served and closed by its thread; a new client may get the same descriptor number.
        const int fd = connection->client->fd();
        connection.reset();
        Client next(71, c.requests);
        ASSERT_EQ(next.connection->client->fd(), fd);
        pool.Add(std::move(next.connection));
        pool.Pass(0);
        EXPECT_TRUE(handed.empty());
        next.send("GET / HTTP/1.1\r\n\r\n");
        pool.Pass(1000);
        EXPECT_EQ(handed_ids(), std::vector<std::uint32_t>{71});
    }
}

// Hand-overs for the test below, from the poller's thread: each connection is put back to its
// client's thread by id.
std::mutex returned_mutex;
std::condition_variable returned_cv;
std::map<std::uint32_t, ConnectionPtr> returned;

int return_to_client(ConnectionPtr& connection)
{
    std::lock_guard lock(returned_mutex);
    const std::uint32_t id = connection->id;
    returned[id] = std::move(connection);
    returned_cv.notify_all();
    return 1;
}

// Clients given back from many threads while the poller runs, each with its next request sent
// just before or just after it is given back: every request is handed over once, in order, and
// none is lost however soon its event comes.
TEST_F(ClientPoolTest, ClientsGivenBackFromManyThreadsAreHandedOverAtEachRequestInOrder)
{
    constexpr int THREADS = 8;
    constexpr int CLIENTS = 6;   // per thread
    constexpr int ROUNDS = 40;
    ClientPool shared_pool(return_to_client, fake_clock);
    std::atomic<int> faults{0};
    std::atomic<int> finished{0};
    std::atomic<bool> counted{false};
    const auto request = [](int round) { return "GET /" + std::to_string(round) + " HTTP/1.1\r\n\r\n"; };
    std::vector<std::thread> threads_of_clients;
    for (int t = 0; t < THREADS; ++t) {
        threads_of_clients.emplace_back([&, t] {
            std::vector<std::unique_ptr<Client>> clients;
            for (int c = 0; c < CLIENTS; ++c) {
                clients.push_back(std::make_unique<Client>(static_cast<std::uint32_t>(100 + t * CLIENTS + c)));
                shared_pool.Add(std::move(clients.back()->connection));
                clients.back()->send(request(0).c_str());
            }
            for (int round = 0; round < ROUNDS && faults == 0; ++round) {
                for (int c = 0; c < CLIENTS; ++c) {
                    const std::uint32_t id = static_cast<std::uint32_t>(100 + t * CLIENTS + c);
                    ConnectionPtr connection;
                    {
                        std::unique_lock lock(returned_mutex);
                        if (!returned_cv.wait_for(lock, std::chrono::seconds(20),
                                                  [&] { return returned.count(id) > 0; })) {
                            ++faults;
                            break;
                        }
                        connection = std::move(returned[id]);
                        returned.erase(id);
                    }
                    // What its thread reads is this round's request, whole.
                    const std::string expected = request(round);
                    std::string got(expected.size(), '\0');
                    if (read(connection->client->fd(), got.data(), got.size()) != static_cast<ssize_t>(got.size()) ||
                        got != expected)
                        ++faults;
                    connection->requests = static_cast<std::uint64_t>(round) + 1;
                    const bool last = round + 1 == ROUNDS;
                    const bool early = (round + c) % 2 == 0;
                    if (!last && early)
                        clients[static_cast<std::size_t>(c)]->send(request(round + 1).c_str());
                    shared_pool.Add(std::move(connection));
                    if (!last && !early)
                        clients[static_cast<std::size_t>(c)]->send(request(round + 1).c_str());
                }
            }
            for (const auto& client : clients)
                if (client->closed())
                    ++faults;
            ++finished;
            // The clients stay connected until the pool has been counted.
            while (!counted)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    // The poller runs here: its closes log, and only a thread with a slot may log.
    while (finished < THREADS)
        shared_pool.Pass(20);
    shared_pool.Pass(0);
    EXPECT_EQ(shared_pool.size(), static_cast<std::size_t>(THREADS * CLIENTS));
    counted = true;
    for (std::thread& thread : threads_of_clients)
        thread.join();
    EXPECT_EQ(faults, 0);
    std::lock_guard lock(returned_mutex);
    EXPECT_TRUE(returned.empty());   // nothing handed over without a request
    returned.clear();
}

TEST_F(ClientPoolTest, EveryWayOutOfThePoolReleasesTheDescriptor)
{
    const std::size_t before = open_descriptors();
    {
        Client handed_back(81, 1), hung_up(82, 1), idle(83, 1);
        for (Client* client : {&handed_back, &hung_up, &idle})
            pool.Add(std::move(client->connection));
        handed_back.send("GET / HTTP/1.1\r\n\r\n");
        pool.Pass(1000);
        ConnectionPtr connection = take_handed();
        ASSERT_NE(connection, nullptr);
        pool.Add(std::move(connection));   // still holds its request: handed over again
        pool.Pass(1000);
        take_handed().reset();             // its thread closes it

        close(hung_up.peer);
        hung_up.peer = -1;
        pool.Pass(1000);
        EXPECT_EQ(pool.size(), 1u);
        EXPECT_TRUE(handed.empty());

        fake_now += 60;                    // the keep-alive time-out of the idle ones
        Client late(85, 1);
        pool.Add(std::move(late.connection));
        pool.Pass(0);
        EXPECT_EQ(pool.size(), 1u);
        EXPECT_TRUE(idle.closed());
        pool.Clean();
        EXPECT_EQ(pool.size(), 0u);
        EXPECT_TRUE(late.closed());
    }
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
