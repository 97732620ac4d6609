#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <shared_mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "core/global.h"
#include "http/header.h"
#include "util/log.h"
#include "http/protocol.h"
#include "net/network.h"
#include "core/options.h"
#include "core/performance.h"
#include "net/socket.h"

namespace {

// ------------------------------------------------------------------------------------------
// Helpers

// The messages of the native-log lines since the buffer was last cleared, oldest first, with
// their time stamp, client id and category prefix taken off.
std::vector<std::string> logged(const char* category = "network: ")
{
    std::vector<std::string> out;
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    for (auto it = buffered.rbegin(); it != buffered.rend(); ++it) {
        const std::size_t at = it->find(category);
        if (at != std::string::npos)
            out.push_back(it->substr(at + std::strlen(category)));
    }
    return out;
}

bool logged_line(const std::string& message, const char* category = "network: ")
{
    for (const std::string& line : logged(category))
        if (line == message)
            return true;
    return false;
}

// A plain client connected to 127.0.0.1:port; -1 when the connect fails.
int raw_connect(int port, int flags = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

int sockopt(int fd, int level, int name)
{
    int value = 0;
    socklen_t len = sizeof value;
    getsockopt(fd, level, name, &value, &len);
    return value;
}

// The listen backlog of the listener on port, as the kernel reports it (Send-Q of ss).
int backlog_of(int port)
{
    const std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char state[32] = {};
    int recv_q = -1, send_q = -1;
    const int n = std::fscanf(pipe, "%31s %d %d", state, &recv_q, &send_q);
    pclose(pipe);
    return n == 3 ? send_q : -1;
}

std::uint64_t network_count(const char* name)
{
    for (const StatCounter& c : global->stats.group("network")->counters())
        if (c.name == name)
            return c.value;
    return 0;
}

// The settings the tests change, put back afterwards; the listener table starts empty.
class Network : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global->stats.AddGroup("network", 0);
        for (const char* name : {"successful connections", "failed connections", "DNS failures"})
            global->stats.AddCounter("network", name, 1);
    }

    void SetUp() override
    {
        net_listen_closeall();
        net_init();
        logbuffer_clear(global->logbuffer.get());
    }

    void TearDown() override
    {
        net_listen_closeall();
        SND_BUF = saved_snd_;
        RCV_BUF = saved_rcv_;
        TCP_KEEPIDLE_TIME = saved_idle_;
        TCP_KEEPINTVL_TIME = saved_intvl_;
        TCP_KEEPCNT_COUNTS = saved_cnt_;
        MAXTHREADS = saved_threads_;
        somaxconn_file = saved_somaxconn_;
        username = saved_username_;
    }

private:
    int saved_snd_ = SND_BUF, saved_rcv_ = RCV_BUF;
    int saved_idle_ = TCP_KEEPIDLE_TIME, saved_intvl_ = TCP_KEEPINTVL_TIME, saved_cnt_ = TCP_KEEPCNT_COUNTS;
    int saved_threads_ = MAXTHREADS;
    std::string saved_somaxconn_ = somaxconn_file;
    std::string saved_username_ = username;
};

// ------------------------------------------------------------------------------------------
// Listeners

TEST_F(Network, ListenerLogsItsSettingsInOrder)
{
    SND_BUF = 8191;
    RCV_BUF = 10000;
    TCP_KEEPIDLE_TIME = 900;
    TCP_KEEPINTVL_TIME = 75;
    TCP_KEEPCNT_COUNTS = 9;
    // What a fresh TCP socket of this system starts with.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    const int snd = sockopt(probe, SOL_SOCKET, SO_SNDBUF), rcv = sockopt(probe, SOL_SOCKET, SO_RCVBUF);
    const int idle = sockopt(probe, IPPROTO_TCP, TCP_KEEPIDLE), intvl = sockopt(probe, IPPROTO_TCP, TCP_KEEPINTVL),
              cnt = sockopt(probe, IPPROTO_TCP, TCP_KEEPCNT);
    close(probe);
    int somaxconn = 0;
    std::ifstream(somaxconn_file) >> somaxconn;

    const int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    const int fd = socklist[0].fd;
    const std::vector<std::string> expected = {
        "default system somaxconn: " + std::to_string(somaxconn),
        "System Default TCP Buffer size for client->tarvodine->website " + std::to_string(snd) + " bytes",
        "System Default TCP Buffer size for client<-tarvodine<-website " + std::to_string(rcv) + " bytes ",
        "TCP Buffer size for client->tarvodine->website in bytes Requested[8190], Allowed[" +
            std::to_string(sockopt(fd, SOL_SOCKET, SO_SNDBUF)) + "]",
        "TCP Buffer size for client<-tarvodine<-website in bytes Requested[10000], Allowed[" +
            std::to_string(sockopt(fd, SOL_SOCKET, SO_RCVBUF)) + "]",
        "System Default TCP_KEEPIDLE " + std::to_string(idle) + " seconds",
        "System Default TCP_KEEPINTVL " + std::to_string(intvl) + " seconds",
        "System Default TCP_KEEPCNT " + std::to_string(cnt) + " probes",
        "Changed TCP_KEEPIDLE to 900 seconds",
        "Changed TCP_KEEPINTVL to 75 seconds",
        "Changed TCP_KEEPCNT to 9 probes",
        "listening on 127.0.0.1:" + std::to_string(port),
    };
    EXPECT_EQ(logged(), expected);

    EXPECT_EQ(socklist[0].state, 1);
    EXPECT_EQ(socklist[0].port, port);
    EXPECT_EQ(socklist[0].ip, "127.0.0.1");
    EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(sockopt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(sockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE), 900);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(Network, ZeroSettingsAreLeftAtTheSystemDefaults)
{
    SND_BUF = RCV_BUF = 0;
    TCP_KEEPIDLE_TIME = TCP_KEEPINTVL_TIME = TCP_KEEPCNT_COUNTS = 0;
    const int port = free_port();
    ASSERT_EQ(net_listen(port, nullptr), 0);
    int defaults = 0;
    for (const std::string& line : logged()) {
        EXPECT_EQ(line.find("Requested["), std::string::npos) << line;
        EXPECT_EQ(line.find("Changed"), std::string::npos) << line;
        defaults += line.starts_with("System Default") ? 1 : 0;
    }
    EXPECT_EQ(defaults, 5);
    EXPECT_TRUE(logged_line("listening on 0.0.0.0:" + std::to_string(port)));
    EXPECT_EQ(socklist[0].ip, "");
}

TEST_F(Network, BacklogIsTheSmallerOfTheSystemLimitAndMaxThreads)
{
    const std::string limit_file = testing::TempDir() + "network_test_somaxconn";
    std::ofstream(limit_file) << "12\n";
    struct Case {
        std::string file;
        int maxthreads, backlog;
        bool logged;
    };
    const Case cases[] = {
        {limit_file, 16384, 12, true},
        {limit_file, 7, 7, true},
        {"/nonexistent/somaxconn", 16384, 25, false},
        {"/nonexistent/somaxconn", 9, 9, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + std::to_string(c.maxthreads));
        net_listen_closeall();
        logbuffer_clear(global->logbuffer.get());
        somaxconn_file = c.file;
        MAXTHREADS = c.maxthreads;
        const int port = free_port();
        ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
        EXPECT_EQ(backlog_of(port), c.backlog);
        EXPECT_EQ(logged_line("default system somaxconn: 12"), c.logged);
    }
    std::remove(limit_file.c_str());
}

TEST_F(Network, PortInUseIsReportedAsFailedToBind)
{
    const int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    EXPECT_EQ(net_listen(port, "127.0.0.1"), -1);
    EXPECT_TRUE(logged_line("error: failed to bind to 127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(net_listen(port, nullptr), -1);
    EXPECT_TRUE(logged_line("error: failed to bind to 0.0.0.0:" + std::to_string(port)));
    EXPECT_EQ(socklist[1].state, 0);   // the failed ones took no slot
    EXPECT_EQ(net_listen(free_port(), "127.0.0.1"), 1);
}

TEST_F(Network, BadAddressesAndPortsAreRefusedNeverWidened)
{
    const int port = free_port();
    struct Case {
        const char* address;
        int port;
    };
    const Case cases[] = {
        {"300.1.1.1", port},
        {"localhost", port},         // names are not addresses here
        {"127.0.0.1 ", port},
        {"127.0.0.1", 0},
        {"127.0.0.1", -1},
        {"127.0.0.1", 65536},
        {"127.0.0.1", 65536 + port}, // would wrap around to port
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
        EXPECT_EQ(net_listen(c.port, c.address), -1);
        EXPECT_TRUE(logged_line("error: failed to bind to " + std::string(c.address) + ":" + std::to_string(c.port)));
    }
    EXPECT_EQ(socklist[0].state, 0);
    const int probe = raw_connect(port);
    EXPECT_EQ(probe, -1) << "something listens on the port";
    if (probe >= 0)
        close(probe);
}

TEST_F(Network, TwentyFirstListenerFails)
{
    // Twenty-one distinct free ports, held until all are known.
    std::vector<int> holders, ports;
    for (int i = 0; i < MAXLISTENERS + 1; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        holders.push_back(fd);
        ports.push_back(ntohs(a.sin_port));
    }
    for (const int fd : holders)
        close(fd);
    for (int i = 0; i < MAXLISTENERS; ++i)
        ASSERT_EQ(net_listen(ports[i], "127.0.0.1"), i);
    EXPECT_EQ(net_listen(ports[MAXLISTENERS], "127.0.0.1"), -1);
    EXPECT_TRUE(logged_line("error: failed to bind to 127.0.0.1:" + std::to_string(ports[MAXLISTENERS])));

    net_listen_closeall();
    for (const Listener& slot : socklist)
        EXPECT_EQ(slot.state, 0);
    EXPECT_EQ(raw_connect(ports[0]), -1);
}

TEST_F(Network, AcceptFillsTheRecordFromTheListenerAndThePeer)
{
    const int first = free_port(), second = free_port();
    ASSERT_EQ(net_listen(first, "127.0.0.1"), 0);
    ASSERT_EQ(net_listen(second, nullptr), 1);
    EXPECT_EQ(net_accept(0), nullptr);   // nobody waiting

    const int client = raw_connect(second);
    ASSERT_GE(client, 0);
    ConnectionPtr conn = net_accept(5);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->port, second);
    EXPECT_EQ(conn->ip, "127.0.0.1");
    EXPECT_EQ(conn->localip, "127.0.0.1");
    ASSERT_NE(conn->client, nullptr);
    EXPECT_NE(fcntl(conn->client->fd(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(conn->client->Write("hello", 5), 5);
    char buf[8] = {};
    EXPECT_EQ(read(client, buf, sizeof buf), 5);
    EXPECT_EQ(conn->proxy_type, UPSTREAM_DIRECT);
    close(client);
}

// Another thread never closes a listener under the accepting thread's wait, where its descriptor
// could be reused meanwhile: it asks, and the accepting thread closes the listeners itself.
TEST_F(Network, ListenersAreClosedOnTheAcceptingThreadAtAnotherThreadsRequest)
{
    const int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    bool closed_in_time = false;
    std::thread asker([&] { closed_in_time = net_listen_closeall_request(std::chrono::seconds(30)); });
    // The request ends the wait; the bound only stops a broken test.
    EXPECT_EQ(net_accept(30), nullptr);
    asker.join();
    EXPECT_TRUE(closed_in_time);
    EXPECT_EQ(socklist[0].state, 0);
    EXPECT_EQ(raw_connect(port), -1);

    // Nobody accepting: the asker is told so, and the next wait closes them all the same.
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    EXPECT_FALSE(net_listen_closeall_request(std::chrono::milliseconds(1)));
    EXPECT_EQ(socklist[0].state, 1);
    EXPECT_EQ(net_accept(30), nullptr);
    EXPECT_EQ(socklist[0].state, 0);

    // A request once served leaves nothing behind for the next wait.
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    EXPECT_EQ(net_accept(0), nullptr);
    EXPECT_EQ(socklist[0].state, 1);
}

// ------------------------------------------------------------------------------------------
// Connecting

struct ConnectCounts {
    std::uint64_t ok, failed, dns, made, lost;
    static ConnectCounts now()
    {
        return {network_count("successful connections"), network_count("failed connections"),
                network_count("DNS failures"), performance_log->get_new_connection(),
                performance_log->get_connection_fail()};
    }
    ConnectCounts operator-(const ConnectCounts& o) const
    {
        return {ok - o.ok, failed - o.failed, dns - o.dns, made - o.made, lost - o.lost};
    }
    bool operator==(const ConnectCounts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ConnectCounts& c)
{
    return out << "{ok " << c.ok << ", failed " << c.failed << ", dns " << c.dns << ", made " << c.made << ", lost "
               << c.lost << "}";
}

TEST_F(Network, ConnectGivesABlockingDescriptorAndCountsIt)
{
    const int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        const ConnectCounts before = ConnectCounts::now();
        const int fd = net_connect(host, port, 5);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(sockopt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(ConnectCounts::now() - before, (ConnectCounts{1, 0, 0, 1, 0}));
        ConnectionPtr accepted = net_accept(5);
        ASSERT_NE(accepted, nullptr);
        close(fd);
    }
}

// The machine's first IPv4 address outside the loopback, when it has one.
std::optional<in_addr_t> non_loopback_address()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<in_addr_t> found;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            const in_addr_t address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
            if ((ntohl(address) >> 24) != 127)
                found = address;
        }
    }
    freeifaddrs(list);
    return found;
}

in_addr_t address_of(const char* dotted)
{
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1) << dotted;
    return address.s_addr;
}

TEST_F(Network, OwnListenersAreKnownByAddressAndPort)
{
    const int one = free_port();
    const int every = free_port();
    const int other = free_port();
    ASSERT_EQ(net_listen(one, "127.0.0.1"), 0);
    ASSERT_EQ(net_listen(every, nullptr), 1);
    struct Case { const char* address; int port; bool reached; };
    const Case cases[] = {
        {"127.0.0.1", one, true},
        {"0.0.0.0", one, true},          // a connect to 0.0.0.0 goes to the loopback
        {"127.0.0.2", one, false},       // the listener is bound to another address
        {"127.0.0.1", other, false},
        {"127.0.0.1", every, true},
        {"127.9.8.7", every, true},      // the whole loopback is the machine's
        {"0.0.0.0", every, true},
        {"192.0.2.200", every, false},   // not an address of this machine
        {"192.0.2.200", one, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
        EXPECT_EQ(net_listener_reached(address_of(c.address), c.port), c.reached);
    }
    if (const std::optional<in_addr_t> address = non_loopback_address()) {
        EXPECT_TRUE(net_listener_reached(*address, every));
        EXPECT_FALSE(net_listener_reached(*address, one));
    }

    // Closed, they are no longer the proxy's.
    net_listen_closeall();
    EXPECT_FALSE(net_listener_reached(address_of("127.0.0.1"), one));
    EXPECT_FALSE(net_listener_reached(address_of("127.0.0.1"), every));
}

// A connect that must not reach the proxy's own listener is refused before it is made, by
// whatever name or form of the address; other connects go there as before.
TEST_F(Network, ConnectToAnOwnListenerIsRefusedWhenAsked)
{
    const int port = free_port();
    ASSERT_EQ(net_listen(port, nullptr), 0);
    char hostname[256] = {};
    ASSERT_EQ(gethostname(hostname, sizeof hostname - 1), 0);
    for (const char* host : {"127.0.0.1", "localhost", "127.1", "2130706433", "0.0.0.0", static_cast<const char*>(hostname)}) {
        SCOPED_TRACE(host);
        const ConnectCounts before = ConnectCounts::now();
        EXPECT_EQ(net_connect(host, port, nullptr, 5, true), NET_SELF);
        EXPECT_EQ(ConnectCounts::now() - before, (ConnectCounts{0, 1, 0, 0, 1}));
    }
    pollfd nothing{socklist[0].fd, POLLIN, 0};
    EXPECT_EQ(poll(&nothing, 1, 0), 0) << "no connection was made";

    const int fd = net_connect("localhost", port, nullptr, 5);
    ASSERT_GE(fd, 0);
    EXPECT_NE(net_accept(5), nullptr);
    close(fd);
}

TEST_F(Network, ConnectFailuresGiveTheirCodeAndAreCounted)
{
    const int closed = free_port();
    struct Case {
        const char* host;
        int port;
        int code;
        ConnectCounts counted;
    };
    const Case cases[] = {
        {"127.0.0.1", closed, NET_NOCONNECT, {0, 1, 0, 0, 1}},
        {"999.1.1.1", 80, NET_NODNS, {0, 1, 1, 0, 1}},
        {nullptr, 80, NET_UNKNOWN, {0, 1, 0, 0, 1}},
        {"127.0.0.1", 0, NET_UNKNOWN, {0, 1, 0, 0, 1}},
        {"127.0.0.1", -80, NET_UNKNOWN, {0, 1, 0, 0, 1}},
        {"127.0.0.1", 65536 + closed, NET_UNKNOWN, {0, 1, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host ? c.host : "(null)") + ":" + std::to_string(c.port));
        const ConnectCounts before = ConnectCounts::now();
        EXPECT_EQ(net_connect(c.host, c.port, 5), c.code);
        EXPECT_EQ(ConnectCounts::now() - before, c.counted);
    }
}

TEST_F(Network, ConnectGivesUpAtItsTimeOut)
{
    // A listener whose queue is full drops new handshakes: the connect stays pending.
    const int port = free_port();
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i)
        fillers.push_back(raw_connect(port, SOCK_NONBLOCK));
    pollfd p{fillers[0], POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);

    const ConnectCounts before = ConnectCounts::now();
    EXPECT_EQ(net_connect("127.0.0.1", port, 0), NET_NOCONNECT);
    EXPECT_EQ(ConnectCounts::now() - before, (ConnectCounts{0, 1, 0, 0, 1}));
    EXPECT_TRUE(logged_line(
        "network: socket lost while trying to make a network connection, reduce load and restart the service",
        "error: "));
    for (const int fd : fillers)
        close(fd);
    close(listener);
}

TEST_F(Network, ConnectBindsTheOutgoingAddressOrGoesOnUnbound)
{
    const int port = free_port();
    ASSERT_EQ(net_listen(port, nullptr), 0);
    struct Case {
        const char* local;
        const char* seen;     // the client address the listener sees
        bool bind_logged;
    };
    const Case cases[] = {
        {"127.0.0.2", "127.0.0.2", false},
        {nullptr, "127.0.0.1", false},
        {"192.0.2.55", "127.0.0.1", true},   // not an address of this machine
        {"not-an-address", "127.0.0.1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.local ? c.local : "(null)");
        logbuffer_clear(global->logbuffer.get());
        const int fd = net_connect("127.0.0.1", port, c.local, 5);
        ASSERT_GE(fd, 0);
        ConnectionPtr accepted = net_accept(5);
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->ip, c.seen);
        if (c.local != nullptr) {
            EXPECT_EQ(logged_line("error: failed to bind on " + std::string(c.local) + " for outgoing connection"),
                      c.bind_logged);
        }
        close(fd);
    }
}

// ------------------------------------------------------------------------------------------
// SOCKS, against a scripted server on the other end of a socket pair

// Runs the server's side: for each step, reads exactly `expect` bytes, then writes `reply`
// (after which a step may close). Everything the client sent, including bytes after the last
// step, ends up in received().
class ScriptedServer {
public:
    struct Step {
        std::size_t expect;
        std::string reply;
        bool close_after = false;
    };

    explicit ScriptedServer(std::vector<Step> steps)
    {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        client = std::make_unique<Socket>(fds[0]);
        fd_ = fds[1];
        thread_ = std::thread([this, steps = std::move(steps)] { run(steps); });
    }

    // Closes the client side and waits for the server to see it.
    std::string received()
    {
        client.reset();
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

    ~ScriptedServer() { received(); }

    SocketPtr client;

private:
    void run(const std::vector<Step>& steps)
    {
        char byte;
        bool open = true;
        for (const Step& step : steps) {
            for (std::size_t i = 0; i < step.expect && open; ++i) {
                open = read(fd_, &byte, 1) == 1;
                if (open)
                    received_ += byte;
            }
            if (!open)
                break;
            if (!step.reply.empty() && write(fd_, step.reply.data(), step.reply.size()) < 0)
                break;
            if (step.close_after) {
                open = false;
                break;
            }
        }
        while (open && read(fd_, &byte, 1) == 1)
            received_ += byte;
        close(fd_);
    }

    int fd_ = -1;
    std::thread thread_;
    std::string received_;
};

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (const int v : values)
        out += static_cast<char>(v);
    return out;
}

TEST_F(Network, Socks4ReplyCodesMapToOutcomes)
{
    username = "proxyuser";
    const std::string message = bytes({4, 1, 0x1f, 0x90, 127, 0, 0, 1}) + "proxyuser" + bytes({0});
    struct Case {
        std::string reply;
        bool close_after;
        int result;
    };
    const Case cases[] = {
        {bytes({0, 0x5a, 0, 0, 0, 0, 0, 0}), false, 1},
        {bytes({0, 0x5b, 0, 0, 0, 0, 0, 0}), false, NET_NOCONNECT},
        {bytes({0, 0x5c, 0, 0, 0, 0, 0, 0}), false, NET_BADAUTH},
        {bytes({0, 0x5d, 0, 0, 0, 0, 0, 0}), false, NET_BADAUTH},
        {bytes({0, 0x10, 0, 0, 0, 0, 0, 0}), false, NET_UNKNOWN},
        {bytes({0, 0x5a, 0}), true, NET_NOCONNECT},   // short
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c.reply[1])));
        ScriptedServer server({{message.size(), c.reply, c.close_after}});
        EXPECT_EQ(socks4_handshake(*server.client, "LocalHost", 8080, 5), c.result);
        EXPECT_EQ(server.received(), message);
    }
}

TEST_F(Network, Socks4SendsAtMost255UserBytesAndNothingForAnUnknownHost)
{
    username = std::string(300, 'u');
    const std::string message = bytes({4, 1, 0, 80, 10, 1, 2, 3}) + std::string(255, 'u') + bytes({0});
    {
        ScriptedServer server({{message.size(), bytes({0, 0x5a, 0, 0, 0, 0, 0, 0})}});
        EXPECT_EQ(socks4_handshake(*server.client, "10.1.2.3", 80, 5), 1);
        EXPECT_EQ(server.received(), message);
    }
    ScriptedServer server({});
    EXPECT_EQ(socks4_handshake(*server.client, "999.1.1.1", 80, 5), NET_NODNS);
    EXPECT_EQ(socks4_handshake(*server.client, "10.1.2.3", 0, 5), NET_UNKNOWN);
    EXPECT_EQ(server.received(), "");
}

TEST_F(Network, Socks5ConsumesExactlyTheBoundAddress)
{
    const std::string greeting = bytes({5, 2, 0, 2});
    const std::string request = bytes({5, 1, 0, 3, 11}) + "example.org" + bytes({0x01, 0xbb});
    struct Case {
        const char* what;
        std::string bound;   // the reply after its first four bytes' address type
        int type;
    };
    const Case cases[] = {
        {"IPv4", bytes({127, 0, 0, 1, 0, 80}), 1},
        {"IPv6", std::string(16, '\x01') + bytes({0, 80}), 4},
        {"name", bytes({5}) + "a.b.c" + bytes({0, 80}), 3},
        {"empty name", bytes({0, 0, 80}), 3},
        {"odd type", bytes({0, 80}), 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server({{greeting.size(), bytes({5, 0})},
                               {request.size(), bytes({5, 0, 0, c.type}) + c.bound + "TUNNEL"}});
        ASSERT_EQ(socks5_handshake(*server.client, "example.org", 443, "", "", 5), 1);
        char first[6];
        ASSERT_EQ(server.client->Read(first, 6, 5), 6);
        EXPECT_EQ(std::string(first, 6), "TUNNEL");
        EXPECT_EQ(server.received(), greeting + request);
    }
}

TEST_F(Network, Socks5RefusalsAndShortAnswersGiveNoConnect)
{
    const std::string greeting = bytes({5, 2, 0, 2});
    const std::string credentials = bytes({1, 5}) + "alice" + bytes({6}) + "secret";
    const std::string request = bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + bytes({0, 80});
    const std::string granted = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80});
    struct Case {
        const char* what;
        std::string user, password;
        std::vector<ScriptedServer::Step> steps;
        int result;
        std::string sent;
    };
    const Case cases[] = {
        {"password accepted", "alice", "secret",
         {{greeting.size(), bytes({5, 2})}, {credentials.size(), bytes({1, 0})}, {request.size(), granted}},
         1, greeting + credentials + request},
        {"password rejected", "alice", "secret",
         {{greeting.size(), bytes({5, 2})}, {credentials.size(), bytes({1, 1})}},
         NET_NOCONNECT, greeting + credentials},
        {"password asked, none configured", "alice", "",
         {{greeting.size(), bytes({5, 2})}}, NET_NOCONNECT, greeting},
        {"user asked, none configured", "", "secret",
         {{greeting.size(), bytes({5, 2})}}, NET_NOCONNECT, greeting},
        {"no acceptable method", "alice", "secret",
         {{greeting.size(), bytes({5, 0xff})}}, NET_NOCONNECT, greeting},
        {"GSSAPI chosen", "", "",
         {{greeting.size(), bytes({5, 1})}}, NET_NOCONNECT, greeting},
        {"request refused", "", "",
         {{greeting.size(), bytes({5, 0})}, {request.size(), bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}},
         NET_NOCONNECT, greeting + request},
        {"method answer short", "", "",
         {{greeting.size(), bytes({5}), true}}, NET_NOCONNECT, greeting},
        {"bound address short", "", "",
         {{greeting.size(), bytes({5, 0})}, {request.size(), bytes({5, 0, 0, 4, 1, 2, 3}), true}},
         NET_NOCONNECT, greeting + request},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.steps);
        EXPECT_EQ(socks5_handshake(*server.client, "127.0.0.1", 80, c.user, c.password, 5), c.result);
        EXPECT_EQ(server.received(), c.sent);
    }
}

TEST_F(Network, Socks5RefusesFieldsLongerThanTheirLengthByte)
{
    const std::string long_field(256, 'x');
    ScriptedServer server({});
    EXPECT_EQ(socks5_handshake(*server.client, long_field, 80, "", "", 5), NET_NOCONNECT);
    EXPECT_EQ(socks5_handshake(*server.client, "h", 80, long_field, "pw", 5), NET_NOCONNECT);
    EXPECT_EQ(socks5_handshake(*server.client, "h", 80, "u", long_field, 5), NET_NOCONNECT);
    EXPECT_EQ(socks5_handshake(*server.client, "", 80, "", "", 5), NET_UNKNOWN);
    EXPECT_EQ(server.received(), "");
}

TEST_F(Network, ConnectionHandshakesUseTheRequestAndUpstreamCredentials)
{
    const std::string greeting = bytes({5, 2, 0, 2});
    const std::string credentials = bytes({1, 3}) + "bob" + bytes({2}) + "pw";
    const std::string request = bytes({5, 1, 0, 3, 8}) + "origin.a" + bytes({0x1f, 0x90});
    ScriptedServer server({{greeting.size(), bytes({5, 2})},
                           {credentials.size(), bytes({1, 0})},
                           {request.size(), bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})}});
    ConnectionPtr conn = connection_new();
    EXPECT_EQ(proxy_socks5(conn.get(), 5), NET_UNKNOWN);   // no server socket, no request yet
    conn->server = std::move(server.client);
    conn->request = header_new();
    conn->request->host = "origin.a";
    conn->request->port = 8080;
    conn->proxy_username = "bob";
    conn->proxy_password = "pw";
    EXPECT_EQ(proxy_socks5(conn.get(), 5), 1);
    conn->server.reset();
    EXPECT_EQ(server.received(), greeting + credentials + request);

    ScriptedServer socks4({{8 + username.size() + 1, bytes({0, 0x5a, 0, 0, 0, 0, 0, 0})}});
    conn->server = std::move(socks4.client);
    conn->request->host = "10.9.8.7";
    EXPECT_EQ(proxy_socks4(conn.get(), 5), 1);
    conn->server.reset();
    EXPECT_EQ(socks4.received().substr(0, 8), bytes({4, 1, 0x1f, 0x90, 10, 9, 8, 7}));
}

// ------------------------------------------------------------------------------------------
// Relaying

class Relay : public testing::Test {
protected:
    void SetUp() override
    {
        int c[2], s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, c), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
        conn = connection_new();
        conn->client = std::make_unique<Socket>(c[0]);
        conn->server = std::make_unique<Socket>(s[0]);
        client_peer = c[1];
        server_peer = s[1];
    }

    void TearDown() override
    {
        conn.reset();
        if (client_peer >= 0)
            close(client_peer);
        if (server_peer >= 0)
            close(server_peer);
    }

    static std::string drain(int fd)
    {
        std::string all;
        char block[4096];
        ssize_t n;
        while ((n = recv(fd, block, sizeof block, MSG_DONTWAIT)) > 0)
            all.append(block, static_cast<std::size_t>(n));
        return all;
    }

    ConnectionPtr conn;
    int client_peer = -1, server_peer = -1;
};

TEST_F(Relay, BothDirectionsUntilOneSideEnds)
{
    ASSERT_EQ(write(client_peer, "CONNECT-DATA", 12), 12);
    ASSERT_EQ(write(server_peer, "reply", 5), 5);
    shutdown(client_peer, SHUT_WR);
    EXPECT_EQ(net_proxy(conn.get(), -1), 17u);
    EXPECT_EQ(drain(server_peer), "CONNECT-DATA");
    EXPECT_EQ(drain(client_peer), "reply");
}

TEST_F(Relay, StopsAtTheLengthLeavingTheRestBuffered)
{
    ASSERT_EQ(write(client_peer, "abcdefgh", 8), 8);
    EXPECT_EQ(net_proxy(conn.get(), 5), 5u);
    EXPECT_EQ(drain(server_peer), "abcde");
    EXPECT_EQ(conn->client->input_length(), 3u);
}

TEST_F(Relay, BufferedInputIsRelayedWithoutWaitingForMore)
{
    conn->client->PushFront("early", 5);   // e.g. bytes that came behind the CONNECT header
    close(server_peer);
    server_peer = -1;
    EXPECT_EQ(net_proxy(conn.get(), -1), 5u);
    EXPECT_EQ(conn->client->input_length(), 0u);
}

}  // namespace
