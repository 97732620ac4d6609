#include "net/network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "util/descriptor.h"
#include "net/dns.h"
#include "core/global.h"
#include "util/log.h"
#include "core/options.h"
#include "core/performance.h"
#include "net/socket.h"

Listener socklist[MAXLISTENERS];

namespace {

// Each open listener's address (host byte order) and port as one word, for the connection
// threads that check their connects against them without a lock: set when a listener opens,
// cleared when all close. A slot left empty may stand between used ones.
std::array<std::atomic<std::uint64_t>, MAXLISTENERS> listening{};
constexpr std::uint64_t LISTENING_USED = std::uint64_t{1} << 48;

std::uint64_t listening_word(in_addr_t address, int port)
{
    return LISTENING_USED | (std::uint64_t{ntohl(address)} << 16) | static_cast<std::uint64_t>(port & 0xffff);
}

// Whether the address (network byte order) is one of the machine's: a connect to it reaches a
// listener on every address.
bool local_address(in_addr_t address)
{
    if ((ntohl(address) >> 24) == 127)
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address)
            return true;
    }
    return false;
}

} // namespace

bool net_listener_reached(in_addr_t address, int port)
{
    // A connect to 0.0.0.0 goes to the loopback.
    if (address == htonl(INADDR_ANY))
        address = htonl(INADDR_LOOPBACK);
    bool every_address = false;
    for (const std::atomic<std::uint64_t>& slot : listening) {
        const std::uint64_t word = slot.load(std::memory_order_acquire);
        if (word == 0 || static_cast<int>(word & 0xffff) != port)
            continue;
        const auto bound = static_cast<std::uint32_t>(word >> 16);
        if (bound == ntohl(address))
            return true;
        every_address = every_address || bound == INADDR_ANY;
    }
    return every_address && local_address(address);
}
std::string somaxconn_file = "/proc/sys/net/core/somaxconn";

namespace {

// The backlog limit when the system's cannot be read.
constexpr int DEFAULT_SOMAXCONN = 25;
// The longest SOCKS5 name, user or password: each goes with one length byte.
constexpr std::size_t SOCKS5_FIELD_MAX = 255;
// The longest SOCKS4 user id.
constexpr std::size_t SOCKS4_USER_MAX = 255;

constexpr short POLL_BROKEN = POLLERR | POLLHUP | POLLNVAL;

// Another thread's request that the accepting thread close the listeners: a byte in the pipe
// wakes net_accept, which closes them on its own thread and clears close_pending. Both
// descriptors and the flag are guarded by close_mutex.
std::mutex close_mutex;
std::condition_variable close_done;
int close_pipe[2] = {-1, -1};
bool close_pending = false;

int close_wakeup_fd()
{
    std::lock_guard lock(close_mutex);
    return close_pipe[0];
}

// On the accepting thread, once the wake-up descriptor is readable.
void close_request_serve()
{
    std::lock_guard lock(close_mutex);
    char drained[64];
    while (read(close_pipe[0], drained, sizeof drained) > 0) {
    }
    if (!close_pending)
        return;
    net_listen_closeall();
    close_pending = false;
    close_done.notify_all();
}

// The least block a CONNECT tunnel relays with.
constexpr int TUNNEL_BLOCK = 65536;

int getsockopt_int(int fd, int level, int name)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, level, name, &value, &length) != 0)
        return -1;
    return value;
}

void setsockopt_int(int fd, int level, int name, int value)
{
    setsockopt(fd, level, name, &value, sizeof value);
}

std::string dotted(const in_addr& address)
{
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &address, text.data(), text.size());
    return text.data();
}

bool valid_port(int port)
{
    return port >= 1 && port <= 65535;
}

void count_network(const char* counter)
{
    if (global != nullptr)
        global->stats.Increment("network", counter);
}

// The system's limit of pending connections, logged when it could be read.
int system_somaxconn()
{
    std::ifstream in(somaxconn_file);
    int value = 0;
    if (!in || !(in >> value))
        return DEFAULT_SOMAXCONN;
    putlog(LOG_NETWORK, "default system somaxconn: %d", value);
    return value;
}

void set_listener_buffer(int fd, int name, int size, const char* path)
{
    const int requested = size / 2;
    setsockopt_int(fd, SOL_SOCKET, name, requested);
    putlog(LOG_NETWORK, "TCP Buffer size for %s in bytes Requested[%d], Allowed[%d]", path, requested * 2,
           getsockopt_int(fd, SOL_SOCKET, name));
}

int connect_failed(int code)
{
    count_network("failed connections");
    performance_log->set_connection_fail(1);
    return code;
}

// Exactly n bytes into buffer, each read waiting up to timeout seconds; false when fewer came.
bool read_exact(Socket& socket, unsigned char* buffer, std::size_t n, int timeout)
{
    std::size_t got = 0;
    while (got < n) {
        const int r = socket.Read(reinterpret_cast<char*>(buffer) + got, static_cast<int>(n - got), timeout);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// The whole message out, or false.
bool write_all(Socket& socket, const std::vector<unsigned char>& message)
{
    if (socket.Write(reinterpret_cast<const char*>(message.data()), static_cast<long>(message.size())) < 0)
        return false;
    socket.Flush();
    return socket.output_length() == 0;
}

void put_port(std::vector<unsigned char>& message, int port)
{
    message.push_back(static_cast<unsigned char>((port >> 8) & 0xff));
    message.push_back(static_cast<unsigned char>(port & 0xff));
}

void put_field(std::vector<unsigned char>& message, std::string_view field)
{
    message.push_back(static_cast<unsigned char>(field.size()));
    message.insert(message.end(), field.begin(), field.end());
}

}  // namespace

void net_init()
{
    for (Listener& slot : socklist)
        slot = Listener{};
    std::lock_guard lock(close_mutex);
    if (close_pipe[0] < 0 && pipe2(close_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        close_pipe[0] = close_pipe[1] = -1;
        log_syscall("pipe", "net_init", "listeners can only be closed by the accepting thread");
    }
}

int net_listen(int port, const char* address)
{
    if (address != nullptr && *address == '\0')
        address = nullptr;
    const char* shown = address != nullptr ? address : "0.0.0.0";
    auto fail = [&] {
        putlog(LOG_NETWORK, "error: failed to bind to %s:%d", shown, port);
        return -1;
    };

    const int backlog = std::min(system_somaxconn(), MAXTHREADS);

    // An address that does not parse is refused, never widened to every address.
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!valid_port(port) || (address != nullptr && inet_pton(AF_INET, address, &where.sin_addr) != 1))
        return fail();
    where.sin_port = htons(static_cast<std::uint16_t>(port));

    int slot = 0;
    while (slot < MAXLISTENERS && socklist[slot].state != 0)
        ++slot;
    if (slot == MAXLISTENERS)
        return fail();
    const int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return fail();

    setsockopt_int(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    setsockopt_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setsockopt_int(fd, IPPROTO_TCP, TCP_NODELAY, 1);

    putlog(LOG_NETWORK, "System Default TCP Buffer size for client->tarvodine->website %d bytes",
           getsockopt_int(fd, SOL_SOCKET, SO_SNDBUF));
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-tarvodine<-website %d bytes ",
           getsockopt_int(fd, SOL_SOCKET, SO_RCVBUF));
    if (SND_BUF > 0)
        set_listener_buffer(fd, SO_SNDBUF, SND_BUF, "client->tarvodine->website");
    if (RCV_BUF > 0)
        set_listener_buffer(fd, SO_RCVBUF, RCV_BUF, "client<-tarvodine<-website");

    putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPCNT));
    if (TCP_KEEPIDLE_TIME > 0) {
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    }
    if (TCP_KEEPINTVL_TIME > 0) {
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    }
    if (TCP_KEEPCNT_COUNTS > 0) {
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
        putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes", getsockopt_int(fd, IPPROTO_TCP, TCP_KEEPCNT));
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);

    if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return fail();
    }
    socklist[slot] = Listener{1, fd, port, address != nullptr ? std::string(address) : std::string()};
    listening[static_cast<std::size_t>(slot)].store(listening_word(where.sin_addr.s_addr, port), std::memory_order_release);
    putlog(LOG_NETWORK, "listening on %s:%d", shown, port);
    return slot;
}

void net_listen_closeall()
{
    for (std::atomic<std::uint64_t>& word : listening)
        word.store(0, std::memory_order_release);
    for (Listener& slot : socklist) {
        if (slot.state != 0 && slot.fd >= 0)
            close(slot.fd);
        slot = Listener{};
    }
}

bool net_listen_closeall_request(std::chrono::milliseconds wait)
{
    std::unique_lock lock(close_mutex);
    if (close_pipe[1] < 0)
        return false;
    close_pending = true;
    const char wake = 0;
    // A full pipe already holds a wake-up.
    if (write(close_pipe[1], &wake, 1) < 0 && errno != EAGAIN)
        return false;
    return close_done.wait_for(lock, wait, [] { return !close_pending; });
}

ConnectionPtr net_accept(int timeout)
{
    std::array<pollfd, MAXLISTENERS + 1> polled{};
    nfds_t count = 0;
    while (count < MAXLISTENERS && socklist[count].state == 1) {
        polled[count] = pollfd{socklist[count].fd, POLLIN, 0};
        ++count;
    }
    const int wakeup = close_wakeup_fd();
    if (wakeup >= 0)
        polled[count] = pollfd{wakeup, POLLIN, 0};
    const nfds_t watched = wakeup >= 0 ? count + 1 : count;
    const int wait = timeout < 0 ? -1 : static_cast<int>(std::min<long long>(timeout * 1000LL, 0x7fffffff));
    if (poll(polled.data(), watched, wait) <= 0)
        return nullptr;
    if (wakeup >= 0 && (polled[count].revents & POLLIN) != 0) {
        close_request_serve();
        return nullptr;
    }

    for (nfds_t i = 0; i < count; ++i) {
        if ((polled[i].revents & POLLIN) == 0)
            continue;
        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        const int fd = s_accept(polled[i].fd, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (fd < 0) {
            const int err = errno;
            if (err != ENOTSOCK)
                putlog(LOG_ALWAYS, "error: network: [system: accept:%d:%s], in %s, failed to accept a new connection",
                       err, std::strerror(err), "net_accept");
            continue;
        }
        // Programs the proxy starts must not hold its clients open.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        ConnectionPtr connection = connection_new();
        connection->client = std::make_unique<Socket>(fd);
        connection->port = socklist[i].port;
        connection->ip = dotted(peer.sin_addr);
        sockaddr_in local{};
        socklen_t local_length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0) {
            const int err = errno;
            putlog(LOG_ALWAYS, "error: network: [system: getsockname:%d:%s], in %s, problem in accepting a new connection",
                   err, std::strerror(err), "net_accept");
        } else {
            connection->localip = dotted(local.sin_addr);
        }
        return connection;
    }
    return nullptr;
}

int net_connect(const char* host, int port, const char* local, int timeout, bool not_own_listener)
{
    if (host == nullptr || !valid_port(port))
        return connect_failed(NET_UNKNOWN);
    const HostentPtr resolved = net_dns(host);
    if (resolved == nullptr) {
        count_network("DNS failures");
        return connect_failed(NET_NODNS);
    }
    // The address checked is the one connected to, whatever name or form led to it.
    in_addr_t target = 0;
    std::memcpy(&target, resolved->addr.data(), sizeof target);
    if (not_own_listener && net_listener_reached(target, port))
        return connect_failed(NET_SELF);
    const int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return connect_failed(NET_NOCONNECT);

    setsockopt_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setsockopt_int(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (RCV_BUF > 0)
        setsockopt_int(fd, SOL_SOCKET, SO_SNDBUF, RCV_BUF / 2);
    if (SND_BUF > 0)
        setsockopt_int(fd, SOL_SOCKET, SO_RCVBUF, SND_BUF / 2);
    if (TCP_KEEPIDLE_TIME > 0)
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
    if (TCP_KEEPINTVL_TIME > 0)
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
    if (TCP_KEEPCNT_COUNTS > 0)
        setsockopt_int(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);

    // The local port is chosen at the connect, so that bound sockets share the port range by
    // destination as unbound ones do.
    setsockopt_int(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
    const char* local_text = local != nullptr && *local != '\0' ? local : "0.0.0.0";
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, local_text, &from.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
        putlog(LOG_NETWORK, "error: failed to bind on %s for outgoing connection", local_text);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&to.sin_addr.s_addr, resolved->addr.data(), sizeof to.sin_addr.s_addr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            close(fd);
            return connect_failed(NET_NOCONNECT);
        }
        const int events = poll_until(fd, POLLOUT, timeout >= 0 ? std::optional(deadline) : std::nullopt);
        if (events <= 0 || (events & POLL_BROKEN) != 0 || getsockopt_int(fd, SOL_SOCKET, SO_ERROR) != 0) {
            close(fd);
            putlog(LOG_ERROR,
                   "network: socket lost while trying to make a network connection, reduce load and restart the service");
            return connect_failed(NET_NOCONNECT);
        }
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    count_network("successful connections");
    performance_log->set_new_connection(1);
    return fd;
}

int net_connect(const char* host, int port, int timeout)
{
    return net_connect(host, port, nullptr, timeout);
}

int net_connect(const char* host, int port)
{
    return net_connect(host, port, nullptr, -1);
}

int socks4_handshake(Socket& socket, const char* host, int port, int timeout)
{
    if (host == nullptr || !valid_port(port))
        return NET_UNKNOWN;
    const HostentPtr resolved = net_dns(host);
    if (resolved == nullptr)
        return NET_NODNS;

    std::vector<unsigned char> message{0x04, 0x01};
    put_port(message, port);
    message.insert(message.end(), resolved->addr.begin(), resolved->addr.end());
    const std::string_view user = std::string_view(username).substr(0, SOCKS4_USER_MAX);
    message.insert(message.end(), user.begin(), user.end());
    message.push_back(0x00);
    if (!write_all(socket, message))
        return NET_NOCONNECT;

    std::array<unsigned char, 8> reply{};
    if (!read_exact(socket, reply.data(), reply.size(), timeout))
        return NET_NOCONNECT;
    switch (reply[1]) {
    case 0x5A: return 1;
    case 0x5B: return NET_NOCONNECT;
    case 0x5C:
    case 0x5D: return NET_BADAUTH;
    default: return NET_UNKNOWN;
    }
}

int socks5_handshake(Socket& socket, std::string_view host, int port, std::string_view user,
                     std::string_view password, int timeout)
{
    if (host.empty() || !valid_port(port))
        return NET_UNKNOWN;
    // A field that does not fit its length byte would be cut into another name: refused.
    if (host.size() > SOCKS5_FIELD_MAX || user.size() > SOCKS5_FIELD_MAX || password.size() > SOCKS5_FIELD_MAX)
        return NET_NOCONNECT;

    if (!write_all(socket, {0x05, 0x02, 0x00, 0x02}))
        return NET_NOCONNECT;
    std::array<unsigned char, 2> choice{};
    if (!read_exact(socket, choice.data(), choice.size(), timeout))
        return NET_NOCONNECT;
    if (choice[1] == 0x02) {
        if (user.empty() || password.empty())
            return NET_NOCONNECT;
        std::vector<unsigned char> credentials{0x01};
        put_field(credentials, user);
        put_field(credentials, password);
        std::array<unsigned char, 2> verdict{};
        if (!write_all(socket, credentials) || !read_exact(socket, verdict.data(), verdict.size(), timeout) ||
            verdict[1] != 0x00)
            return NET_NOCONNECT;
    } else if (choice[1] != 0x00) {
        return NET_NOCONNECT;
    }

    std::vector<unsigned char> request{0x05, 0x01, 0x00, 0x03};
    put_field(request, host);
    put_port(request, port);
    if (!write_all(socket, request))
        return NET_NOCONNECT;
    std::array<unsigned char, 4> reply{};
    if (!read_exact(socket, reply.data(), reply.size(), timeout) || reply[1] != 0x00)
        return NET_NOCONNECT;

    // The bound address and port, by address type; nothing more is read.
    std::array<unsigned char, 257> bound{};
    std::size_t rest = 2;
    switch (reply[3]) {
    case 0x01: rest = 6; break;
    case 0x04: rest = 18; break;
    case 0x03: {
        if (!read_exact(socket, bound.data(), 1, timeout))
            return NET_NOCONNECT;
        rest = static_cast<std::size_t>(bound[0]) + 2;
        break;
    }
    default: break;
    }
    if (!read_exact(socket, bound.data(), rest, timeout))
        return NET_NOCONNECT;
    return 1;
}

std::uint64_t net_proxy(CONNECTION_T* connection, std::int64_t length)
{
    std::uint64_t total = 0;
    if (connection == nullptr || connection->client == nullptr || connection->server == nullptr)
        return total;
    Socket& client = *connection->client;
    Socket& server = *connection->server;
    // A tunnel moves bulk data: the relay block is never smaller than TUNNEL_BLOCK, whatever
    // BLOCKSIZE the socket buffers gave (per read, a system call costs as much for 8 KiB as for
    // 64 KiB, and the socket buffers of a loaded tunnel hold far more).
    std::vector<char> block(static_cast<std::size_t>(std::max(BLOCKSIZE, TUNNEL_BLOCK)));

    // Moves one block from one side to the other; false when the relay must end.
    auto pass = [&](Socket& from, Socket& to) {
        std::size_t want = block.size();
        if (length >= 0)
            want = std::min<std::uint64_t>(want, static_cast<std::uint64_t>(length) - total);
        const int n = from.Read(block.data(), static_cast<int>(want), -1, static_cast<int>(block.size()));
        if (n <= 0)
            return false;
        total += static_cast<std::uint64_t>(n);
        return to.Write(block.data(), n) >= 0;
    };

    for (;;) {
        std::array<pollfd, 2> polled{pollfd{client.fd(), POLLIN, 0}, pollfd{server.fd(), POLLIN, 0}};
        const int wait = client.input_length() > 0 || server.input_length() > 0 ? 0 : -1;
        if (poll(polled.data(), polled.size(), wait) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (client.input_length() > 0 || (polled[0].revents & POLLIN) != 0) {
            if (!pass(client, server))
                break;
        } else if ((polled[0].revents & POLL_BROKEN) != 0) {
            putlog(LOG_ERROR, "network: active client socket lost while trying to make a connection, system "
                              "overloaded or network disrupted");
            break;
        }
        if (length >= 0 && total >= static_cast<std::uint64_t>(length))
            break;
        if (server.input_length() > 0 || (polled[1].revents & POLLIN) != 0) {
            if (!pass(server, client))
                break;
        } else if ((polled[1].revents & POLL_BROKEN) != 0) {
            putlog(LOG_ERROR, "network: active outgoing socket lost while trying to reach a network host, system "
                              "overloaded or network disrupted");
            break;
        }
        if (length >= 0 && total >= static_cast<std::uint64_t>(length))
            break;
    }
    return total;
}
