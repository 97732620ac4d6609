#include "net/socket.h"
#include "daemon/clientpool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

#include "util/descriptor.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "core/global.h"
#include "util/log.h"
#include "util/mem.h"
#include "core/options.h"
#include "core/performance.h"
#include "core/threads.h"

namespace {

// The wait-set key of the wake-up pipe; pooled connections count from 1.
constexpr std::uint64_t WAKE_TOKEN = 0;
constexpr int EVENTS_PER_WAIT = 256;

std::time_t system_clock() { return std::time(nullptr); }

// Whether a reported connection has a request to serve. A client that has hung up with nothing
// left unread needs no thread: reading would only find the end of the stream.
bool has_input(const CONNECTION_T& connection, std::uint32_t events)
{
    if (connection.client->input_length() > 0)
        return true;
    if ((events & EPOLLIN) == 0)
        return false;
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0)
        return true;
    int pending = 0;
    return ioctl(connection.client->fd(), FIONREAD, &pending) == 0 && pending > 0;
}

} // namespace

ClientPool::ClientPool(handover_t handover, clock_t clock)
    : handover_(handover != nullptr ? handover : process_new), clock_(clock != nullptr ? clock : system_clock)
{
    int pipe_fds[2];
    FATAL_ASSERT(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) == 0);
    wake_read_ = pipe_fds[0];
    wake_write_ = pipe_fds[1];
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    FATAL_ASSERT(epoll_fd_ >= 0);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = WAKE_TOKEN;
    FATAL_ASSERT(epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_read_, &wake) == 0);
}

ClientPool::~ClientPool()
{
    list_.clear();
    close(epoll_fd_);
    close(wake_read_);
    close(wake_write_);
}

void ClientPool::Add(ConnectionPtr connection)
{
    if (connection == nullptr)
        return;
    if (connection->client == nullptr) {
        Close(std::move(connection));
        return;
    }
    const std::time_t now = clock_();
    std::time_t deadline = std::numeric_limits<std::time_t>::max();
    if (general_section != nullptr) {
        const CONNECTION_T* c = connection.get();
        deadline = now + (c->requests == 0 ? general_section->timeout_get(c) : general_section->keeptimeout_get(c));
    }
    const std::uint64_t token = next_token_.fetch_add(1, std::memory_order_relaxed) + 1;
    const bool kept = connection->requests > 0;
    // Once listed the connection is the pool's, and may be closed under us by Clean: what
    // arming needs is taken before.
    const int fd = connection->client->fd();
    {
        std::lock_guard lock(mutex_);
        if (!kept)
            ++new_client_;
        list_.push_back(clientpool_t{std::move(connection), now, deadline, token});
        by_token_.emplace(token, std::prev(list_.end()));
    }
    // Armed after it is listed, outside the mutex: its one event may come at once, and must
    // find it. Should Clean have closed it meanwhile, the registration under its stale token
    // reports at most once, is dropped, and is replaced by the next Add of that descriptor.
    if (Watch(fd, kept, token))
        return;
    const int refused = errno;
    ConnectionPtr unwatched;
    {
        std::lock_guard lock(mutex_);
        const auto found = by_token_.find(token);
        if (found == by_token_.end())
            return;
        unwatched = Remove(found->second);
    }
    errno = refused;
    log_syscall("epoll_ctl", "Add", "client pool failed to watch a connection");
    Close(std::move(unwatched));
}

void ClientPool::Wakeup()
{
    const char byte = 0;
    // A full pipe already holds a wake-up.
    static_cast<void>(write(wake_write_, &byte, 1));
}

void ClientPool::Clean()
{
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::vector<ConnectionPtr> closing;
    {
        std::lock_guard lock(mutex_);
        closing.reserve(list_.size());
        while (!list_.empty())
            closing.push_back(Remove(list_.begin()));
    }
    Wakeup();
    for (ConnectionPtr& connection : closing) {
        Unwatch(*connection);
        Close(std::move(connection));
    }
}

void ClientPool::Poll()
{
    for (;;)
        Pass(std::max(CLIENT_POOL_TIMEOUT, 1) * 1000);
}

void ClientPool::Pass(int timeout_ms)
{
    const std::time_t t = clock_();
    std::size_t n = 0;
    std::uint64_t fresh = 0;
    {
        std::lock_guard lock(mutex_);
        n = list_.size();
        fresh = std::exchange(new_client_, 0);
    }
    performance_log->set_clients_in_pool(n);
    if (fresh >= 1)
        performance_log->set_connections_handled(fresh);

    std::array<epoll_event, EVENTS_PER_WAIT> events;
    int count = epoll_wait(epoll_fd_, events.data(), EVENTS_PER_WAIT, timeout_ms);
    if (count < 0) {
        const int err = errno;
        if (err != EINTR) {
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable", err,
                   std::strerror(err), "Poll");
            fd_failure();
            return;
        }
        count = 0;
    }
    Dispatch(events.data(), count, t, n);
}

void ClientPool::Dispatch(const epoll_event* events, int count, std::time_t t, std::size_t n)
{
    struct Reported {
        ConnectionPtr connection;
        std::uint32_t events;
    };
    std::vector<Reported> reported;
    std::vector<ConnectionPtr> dead;   // out of the wait set already
    std::vector<ConnectionPtr> expired;
    bool woken = false;
    {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < count; ++i) {
            const std::uint64_t token = events[i].data.u64;
            if (token == WAKE_TOKEN) {
                woken = true;
                continue;
            }
            // A connection removed since the wait (cleaned, or its descriptor now another's)
            // has no entry any more: its stale event is dropped.
            const auto found = by_token_.find(token);
            if (found != by_token_.end())
                reported.push_back(Reported{Remove(found->second), events[i].events});
        }
        if (t != swept_) {
            swept_ = t;
            for (auto entry = list_.begin(); entry != list_.end();) {
                const auto next = std::next(entry);
                if (entry->added <= t && t >= entry->deadline)
                    expired.push_back(Remove(entry));
                entry = next;
            }
        }
    }
    if (woken)
        DrainWakeups(n);

    std::uint64_t failed = 0;
    for (Reported& item : reported) {
        // A connection handed over stays in the wait set, disarmed by its event, for its next
        // Add to arm again; the others leave it before they are closed.
        if (has_input(*item.connection, item.events)) {
            if (handover_(item.connection) >= 0)
                continue;
            ++failed;
        }
        Unwatch(*item.connection);
        dead.push_back(std::move(item.connection));
    }
    for (ConnectionPtr& connection : expired) {
        Unwatch(*connection);
        Close(std::move(connection));
    }
    for (ConnectionPtr& connection : dead)
        Close(std::move(connection));
    if (failed > 0)
        performance_log->set_threading_error(failed);
}

void ClientPool::DrainWakeups(std::size_t n)
{
    std::array<char, 64> bytes;
    const ssize_t got = read(wake_read_, bytes.data(), bytes.size());
    if (got < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EINTR)
            return;
        putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe", err,
               std::strerror(err), "Poll");
        putlog(LOG_ALWAYS, "system unstable, please restart the service");
        return;
    }
    putlog(LOG_DEBUG, "client pool: size:%zu poll received wakeup %zd signals", n, got);
}

ConnectionPtr ClientPool::Remove(Entries::iterator entry)
{
    by_token_.erase(entry->token);
    ConnectionPtr connection = std::move(entry->connection);
    list_.erase(entry);
    return connection;
}

bool ClientPool::Watch(int fd, bool kept, std::uint64_t token)
{
    epoll_event event{};
    // One event, then disarmed: the connection is the poller's to hand over or close, and
    // nothing reports it again until it is pooled anew.
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.u64 = token;
    // A kept-alive connection is normally still there, disarmed, from its last hand-over; a new
    // one is not. The likelier operation goes first and the other is the fall-back.
    if (epoll_ctl(epoll_fd_, kept ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    if (errno != (kept ? ENOENT : EEXIST))
        return false;
    return epoll_ctl(epoll_fd_, kept ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0;
}

void ClientPool::Unwatch(const CONNECTION_T& connection)
{
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection.client->fd(), nullptr);
}

void ClientPool::Close(ConnectionPtr connection)
{
    const std::uint32_t previous = thread_get_clientid();
    thread_set_clientid(connection->id);
    net_close(std::move(connection));
    thread_set_clientid(previous);
}

std::size_t ClientPool::size() const
{
    std::lock_guard lock(mutex_);
    return list_.size();
}

void ClientPool::show_connections(Filebuf* buffer) const
{
    const std::time_t now = clock_();
    buffer->Addf("<table class=\"list\">\n");
    buffer->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    buffer->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    std::lock_guard lock(mutex_);
    bool even = true;
    for (const clientpool_t& entry : list_) {
        buffer->Addf("<tr class=\"%s\"><td>%u</td><td>%s</td><td>%" PRIu64 "</td><td>%ld</td></tr>\n",
                     even ? "listeven" : "listodd", entry.connection->id, entry.connection->ip.c_str(),
                     entry.connection->requests, static_cast<long>(now - entry.added));
        even = !even;
    }
    buffer->Addf("</table>\n");
}

void* clientpool_thread(void* /*unused*/)
{
    global->clientpool->Poll();
}
