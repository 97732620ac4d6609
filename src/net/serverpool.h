// The pool of idle upstream connections: after a request whose server connection stays open,
// its Socket is kept here, and the next request for the same key takes it instead of
// connecting. One pool exists, in the runtime record; a service thread cleans it every 10
// seconds. Its limits are the general section's pool size and pool time-out.
//
// A pooled Socket is owned by the pool alone until Find hands it out; sockets that a cleaning
// or an overflow drops are closed after the pool's mutex is released.
#pragma once

#include <cstddef>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/owners.h"

class Socket;

// What a pooled connection leads to. A connection is reused only for an equal key: protocol and
// host compared without regard to case, the port, the URL's user and password byte for byte
// (see ServerPool::Find), and the route byte for byte (whether TLS is on, the kind of upstream,
// the parent or SOCKS server and the upstream credentials).
struct ServerKey {
    std::string protocol;
    std::string host;
    int port = 0;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string route;
};

// Appends one part to a route as its length, a colon and its bytes, so that two different
// lists of parts never make the same route.
void serverpool_route_add(std::string& route, std::string_view part);

// One pooled connection.
struct serverpool_t {
    SocketPtr socket;
    std::time_t time = 0;   // when it was added
    ServerKey key;
};

class ServerPool {
public:
    // The pool's clock, seconds since the epoch.
    using clock_t = std::time_t (*)();
    // The pool size and the pool time-out in seconds.
    struct Limits {
        int size = 0;
        int timeout = 0;
    };
    using limits_t = Limits (*)();

    // Null arguments: time() and the general section's limits.
    explicit ServerPool(clock_t clock = nullptr, limits_t limits = nullptr);
    ServerPool(const ServerPool&) = delete;
    ServerPool& operator=(const ServerPool&) = delete;
    // Closes every pooled connection.
    ~ServerPool();

    // The oldest idle connection for key, taken out of the pool; null when there is none. A
    // matching connection that has something to read (bytes or its close) is closed instead.
    // Counted as a hit or a miss of the "connection pool" statistics.
    SocketPtr Find(const ServerKey& key);
    // Keeps an idle connection for the next request with the same key; null is ignored, and a
    // socket that already holds or has unread input is closed. When the pool already holds its
    // size, the oldest entry is closed.
    void Add(SocketPtr socket, const ServerKey& key);
    // Closes the expired entries and those beyond the pool size, or every one when all is 1.
    void Clean(int all);

    std::size_t size() const;

    // What the interface's pool page shows of one entry.
    struct View {
        std::string protocol;
        std::string host;
        int port = 0;
        std::optional<std::string> user;
        std::time_t age = 0;   // seconds in the pool
    };
    // The entries, oldest first, copied under the pool's mutex.
    std::vector<View> view() const;

private:
    using Entries = std::list<serverpool_t>;

    // mutex_ held. Moves the entries to close out of the list and returns their sockets, which
    // the caller closes after unlocking.
    std::vector<SocketPtr> CleanUnlocked(int all);

    clock_t clock_;
    limits_t limits_;
    mutable std::mutex mutex_;   // guards what follows
    Entries list_;               // oldest first
    std::size_t warn_level_ = 0; // the length the "inadequate" warning was last logged for
};

// Service-thread body (the argument is not used): forever cleans the global pool, then sleeps
// 10 seconds.
void* serverpool_clean(void* unused);
