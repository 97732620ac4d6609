#include "net/serverpool.h"

#include <algorithm>

#include <poll.h>
#include <unistd.h>

#include "config/general.h"
#include "core/global.h"
#include "util/log.h"
#include "core/performance.h"
#include "net/socket.h"
#include "util/stringutil.h"

namespace {

// The shipped defaults, for a pool used before the general section exists.
constexpr int DEFAULT_POOLSIZE = 20;
constexpr int DEFAULT_POOLTIMEOUT = 30;

std::time_t clock_now()
{
    return std::time(nullptr);
}

ServerPool::Limits general_limits()
{
    if (general_section == nullptr)
        return {DEFAULT_POOLSIZE, DEFAULT_POOLTIMEOUT};
    return {general_section->poolsize_get(), general_section->pooltimeout_get()};
}

// Whether a pooled entry's key serves a request's key. A logged-in connection is handed only to
// the same user with the same password; when either password is missing, only to a request
// that involves no user at all.
bool key_matches(const ServerKey& entry, const ServerKey& wanted)
{
    if (entry.user != wanted.user)
        return false;
    if (entry.password && wanted.password) {
        if (*entry.password != *wanted.password)
            return false;
    } else if (entry.user || wanted.user) {
        return false;
    }
    return equal_nocase(entry.protocol, wanted.protocol) && equal_nocase(entry.host, wanted.host) &&
           entry.port == wanted.port && entry.route == wanted.route;
}

// An idle upstream connection has nothing to say. Bytes it holds or sends while it waits (more
// than its answer announced, an answer to nothing) or its close would otherwise be read as the
// answer to the next request, whichever client makes it: such a connection is never reused.
bool silent(const Socket& socket)
{
    if (socket.input_length() > 0)
        return false;
    pollfd polled{socket.fd(), POLLIN, 0};
    return poll(&polled, 1, 0) == 0;
}

void log_key(const char* what, const ServerKey& key)
{
    // Every request looks a key up: its line is not built while the category is off.
    if ((loglevel & LOG_DEBUG) == 0)
        return;
    const std::string user = key.user ? string_escape_control(*key.user) : std::string();
    putlog(LOG_DEBUG, "Connection Pool: %s: %s://%s:*@%s:%d ", what, key.protocol.c_str(), user.c_str(),
           key.host.c_str(), key.port);
}

} // namespace

void serverpool_route_add(std::string& route, std::string_view part)
{
    route += std::to_string(part.size());
    route += ':';
    route += part;
}

ServerPool::ServerPool(clock_t clock, limits_t limits)
    : clock_(clock != nullptr ? clock : clock_now), limits_(limits != nullptr ? limits : general_limits)
{
}

ServerPool::~ServerPool()
{
    Clean(1);
}

std::size_t ServerPool::size() const
{
    std::lock_guard lock(mutex_);
    return list_.size();
}

std::vector<ServerPool::View> ServerPool::view() const
{
    std::vector<View> out;
    const std::time_t now = clock_();
    std::lock_guard lock(mutex_);
    out.reserve(list_.size());
    for (const serverpool_t& entry : list_)
        out.push_back({entry.key.protocol, entry.key.host, entry.key.port, entry.key.user, now - entry.time});
    return out;
}

SocketPtr ServerPool::Find(const ServerKey& key)
{
    SocketPtr found;
    for (;;) {
        // The entry leaves the list by a splice, so that its node is freed after the mutex.
        Entries taken;
        {
            std::lock_guard lock(mutex_);
            const auto entry = std::find_if(list_.begin(), list_.end(),
                                            [&](const serverpool_t& e) { return key_matches(e.key, key); });
            if (entry == list_.end())
                break;
            taken.splice(taken.end(), list_, entry);
        }
        SocketPtr candidate = std::move(taken.front().socket);
        // Checked once out of the pool, without the mutex: every request looks in the pool, and
        // none should wait for another's system call. One that spoke is closed here and the
        // next one of the key is tried.
        if (silent(*candidate)) {
            found = std::move(candidate);
            break;
        }
    }
    if (found != nullptr) {
        performance_log->set_connection_pool_hit(1);
        if (global != nullptr)
            global->stats.Increment("connection pool", "hit");
        log_key("hit", key);
    } else {
        if (global != nullptr)
            global->stats.Increment("connection pool", "miss");
        log_key("miss", key);
    }
    return found;
}

void ServerPool::Add(SocketPtr socket, const ServerKey& key)
{
    if (socket == nullptr || !silent(*socket))
        return;
    const int poolsize = limits_().size;
    // Built and freed outside the mutex: the entry (its node and its copy of the key) is spliced
    // in, and the one it pushes out is spliced out and closed after unlocking.
    Entries added;
    added.push_back(serverpool_t{std::move(socket), 0, key});
    Entries dropped;
    std::size_t warn = 0;
    {
        std::lock_guard lock(mutex_);
        const std::size_t count = list_.size();
        if (static_cast<long long>(count) >= poolsize && !list_.empty()) {
            dropped.splice(dropped.end(), list_, list_.begin());
            if (count != warn_level_) {
                warn_level_ = count;
                warn = count;
            }
        }
        added.front().time = clock_();
        list_.splice(list_.end(), added);
    }
    dropped.clear();
    if (warn != 0)
        putlog(LOG_ALWAYS,
               "Connection Pool: size:%zu is inadequate, consider increasing this, else reduce Connection Pool Timeout",
               warn);
    log_key("added", key);
}

std::vector<SocketPtr> ServerPool::CleanUnlocked(int all)
{
    std::vector<SocketPtr> closing;
    performance_log->set_connection_pool_size(list_.size());
    if (list_.empty()) {
        warn_level_ = 0;
        return closing;
    }
    const Limits limits = limits_();
    const std::time_t now = clock_();
    const std::size_t seen = list_.size();
    long long number = 0;
    for (auto entry = list_.begin(); entry != list_.end(); ++number) {
        if (all == 1 || now >= entry->time + limits.timeout || number > limits.size) {
            closing.push_back(std::move(entry->socket));
            entry = list_.erase(entry);
        } else {
            ++entry;
        }
    }
    putlog(LOG_DEBUG, "connection pool: deleted: %zu of %zu connections", closing.size(), seen);
    warn_level_ = 0;
    return closing;
}

void ServerPool::Clean(int all)
{
    std::vector<SocketPtr> closing;
    {
        std::lock_guard lock(mutex_);
        closing = CleanUnlocked(all);
    }
}

void* serverpool_clean(void* /*unused*/)
{
    for (;;) {
        global->serverpool->Clean(0);
        sleep(10);
    }
}
