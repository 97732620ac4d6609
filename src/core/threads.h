// The thread table: every thread of the process owns one slot.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <string>

#include "core/options.h"

// The table only hands connections over; their readers include core/connection.h.
struct CONNECTION_T;
struct ConnectionFree;
using ConnectionPtr = std::unique_ptr<CONNECTION_T, ConnectionFree>;
struct statm_t;

using ThreadStart = void* (*)(void*);

// Slot states.
enum : int {
    THREAD_FREE = 0,
    THREAD_SERVING = 1,
    THREAD_IDLE = 2,         // parked, waiting for a hand-over
    THREAD_STARTED = 3,      // a new thread, a service thread, or a hand-over not yet taken
    THREAD_PREFETCHING = 4,
};

// Wakes a parked connection thread: one count for each connection handed to it. A semaphore
// rather than a condition waited on with threadlistlock, because a thread woken from such a
// condition takes the lock back marked as contended, so every hand-over would pay one more
// futex call to release it; the semaphore is waited on without any lock.
class SlotWake {
public:
    SlotWake();
    SlotWake(const SlotWake&) = delete;
    SlotWake& operator=(const SlotWake&) = delete;
    ~SlotWake();

    void post();
    // True when a count was taken before the deadline (steady clock).
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    // Takes a count, waiting as long as it takes.
    void wait();
    // Drops every count (a slot that is taken anew starts with none).
    void reset();

private:
    sem_t sem_;
};

// One slot. Every field is guarded by threadlistlock; state and clientid are also read without
// it by the owner (every log line prints its client id), so they are atomic.
struct thread_t {
    pthread_t thread{};                // the owner, valid while state is not THREAD_FREE
    SlotWake wake;                     // wakes the parked owner; posted after arg is set
    CONNECTION_T* arg = nullptr;       // the connection handed to the owner
    std::atomic<std::uint32_t> clientid{0};
    std::atomic<int> state{THREAD_FREE};
    std::uint64_t requests = 0;        // requests served on the current connection
    std::string ip, url, method;       // for display; empty when there is none
};

// The first MAXTHREADS slots are used.
extern thread_t threads[MAXTHREADS_LIMIT];
extern std::mutex threadlistlock;

// Once, in main, before any other thread exists: the caller takes slot 0 with client id 0, and
// every log line from now on prints its thread's client id.
void threads_init();
// The body of the connection threads process_new starts (the daemon's process_entry), set at
// start-up before the first hand-over; until then process_new starts none.
void threads_set_connection_entry(ThreadStart entry);
// Service threads (10 MiB stack); slot index or -1.
int thread_create_internal(ThreadStart start, void* arg);
// Connection threads and prefetch workers (stack of max_opt_stack bytes); slot index or -1.
int thread_create(ThreadStart start, void* arg);
// Hands a readable client connection to the parked connection thread of the lowest slot, or
// starts a new one on the connection entry. The serving slot's index, the connection then
// being that thread's (`connection` is left null); -1 when no thread could take it (nothing
// logged), and the connection stays the caller's.
int process_new(ConnectionPtr& connection);
// Parks the calling connection thread in its slot (idle) for up to `seconds`. The connection
// that process_new handed over meanwhile, which the thread now serves (slot state serving); or
// null when none came in time: the slot is then free and the thread, which owns no slot any
// more, must end without logging.
ConnectionPtr thread_park(int seconds);
// Counts the used slots by state, under threadlistlock, into the first five fields of `statm`
// (size: free, resident: serving, shared: idle, text: started, lib: prefetching).
void thread_report(statm_t* statm);
// The calling thread's slot; a thread without one is a fatal assertion.
int thread_find();
std::uint32_t thread_get_clientid();
void thread_set_clientid(std::uint32_t id);
// Adds the calling thread's own CPU time and page faults to the totals in the runtime record;
// a connection thread calls it as it ends.
void rusage_update();
