// The pool of idle client connections: new connections from the accept loop and kept-alive ones
// between requests. One service thread waits on all of them; a connection that becomes readable
// is handed to a connection thread, one that hangs up or stays idle too long is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/epoll.h>

#include "core/connection.h"

class Filebuf;

// One pooled connection.
struct clientpool_t {
    ConnectionPtr connection;
    std::time_t added = 0;       // when it entered the pool
    std::time_t deadline = 0;    // closed at this time unless it becomes readable first
    std::uint64_t token = 0;     // its key in the wait set; never used for another entry
};

class ClientPool {
public:
    // Gives a readable connection to a thread: as process_new (the slot, the connection taken;
    // or -1, the connection left to the pool, which closes it).
    using handover_t = int (*)(ConnectionPtr& connection);
    // The pool's clock, seconds since the epoch.
    using clock_t = std::time_t (*)();

    // Null arguments: process_new and time(). The wait set and the wake-up pipe are created
    // here; failing that is the fatal assertion.
    explicit ClientPool(handover_t handover = nullptr, clock_t clock = nullptr);
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;
    // Frees the pooled connections with their records (nothing is logged).
    ~ClientPool();

    // Pools a connection from any thread. Its idle limit is taken now: the general client
    // time-out before its first request, the keep-alive time-out after. A connection without
    // a client socket, or one the wait set refuses, is closed at once.
    void Add(ConnectionPtr connection);
    // Writes one zero byte to the wake-up pipe, ending the poller's current wait.
    void Wakeup();
    // Closes every pooled connection (descriptor shortage, SIGHUP). Connections the poller has
    // already taken out for a hand-over or a close are not touched.
    void Clean();
    // The poller: passes of CLIENT_POOL_TIMEOUT seconds at most, forever.
    [[noreturn]] void Poll();
    // One pass: waits up to timeout_ms for input, hang-ups or a wake-up, then hands over the
    // readable connections, closes the broken ones and, once per second of the clock, those
    // idle past their limit.
    void Pass(int timeout_ms);

    std::size_t size() const;
    // Appends the HTML table of pooled connections, oldest first.
    void show_connections(Filebuf* buffer) const;

private:
    using Entries = std::list<clientpool_t>;

    // Takes the entry out of the list; mutex_ held. A connection the poller closes then leaves
    // the wait set (Unwatch), without the mutex; one it hands over stays there, disarmed by the
    // one event each Add arms it for, so that its next Add re-arms it with one call.
    ConnectionPtr Remove(Entries::iterator entry);
    // Arms the descriptor in the wait set for one event under `token`, adding it when it is not
    // there yet (`kept`: a connection that has served requests, likely there); false when the
    // wait set refuses it.
    bool Watch(int fd, bool kept, std::uint64_t token);
    void Unwatch(const CONNECTION_T& connection);
    // Acts on the events of one wait; t is the clock at the start of the pass, n the pool's
    // size then.
    void Dispatch(const epoll_event* events, int count, std::time_t t, std::size_t n);
    // Reads the wake-up bytes and logs them; n is the pool's size for the log line.
    void DrainWakeups(std::size_t n);
    // Closes a connection under its own client id.
    static void Close(ConnectionPtr connection);

    handover_t handover_;
    clock_t clock_;
    int epoll_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;

    std::atomic<std::uint64_t> next_token_{0};

    // Guards what follows: only list and map changes happen under it, never a system call.
    mutable std::mutex mutex_;
    Entries list_;               // oldest first
    std::unordered_map<std::uint64_t, Entries::iterator> by_token_;
    std::uint64_t new_client_ = 0;   // added before serving any request, since the last pass
    std::time_t swept_ = -1;         // clock second of the last idle sweep

    friend struct ClientPoolProbe;   // the unit tests' view of a pass split in two
};

// Service-thread body: runs Poll on the global pool.
void* clientpool_thread(void* unused);
