#include "core/threads.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/resource.h>
#include <utility>

#include "core/global.h"
#include "core/connection.h"
#include "util/log.h"
#include "util/mem.h"
#include "core/performance.h"

thread_t threads[MAXTHREADS_LIMIT];
std::mutex threadlistlock;

namespace {

constexpr std::size_t SERVICE_STACK = 10485760;

// The calling thread's slot, set when it takes the slot; spares every log line a table scan.
thread_local thread_t* own_slot = nullptr;

std::atomic<ThreadStart> connection_entry{nullptr};

int used_slots() { return std::clamp(MAXTHREADS, 1, MAXTHREADS_LIMIT); }

struct Launch {
    ThreadStart start;
    void* arg;
    int index;
};

void* thread_launch(void* data)
{
    std::unique_ptr<Launch> launch(static_cast<Launch*>(data));
    {
        // The slot was reserved for this thread before it was created; it records itself.
        std::lock_guard lock(threadlistlock);
        threads[launch->index].thread = pthread_self();
        own_slot = &threads[launch->index];
    }
    const ThreadStart start = launch->start;
    void* const arg = launch->arg;
    launch.reset();
    return start(arg);
}

// Which step of the creation failed, in the words each creator logs.
struct CreateMessages {
    const char* function;
    const char* init;
};

// Parked connection threads, one bit per slot, so that a hand-over finds the lowest without
// scanning the table. Guarded by threadlistlock.
std::array<std::uint64_t, MAXTHREADS_LIMIT / 64> idle_slots{};

void idle_set(int index, bool idle)
{
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    std::uint64_t& word = idle_slots[static_cast<std::size_t>(index / 64)];
    word = idle ? word | bit : word & ~bit;
}

// The lowest parked slot among the used ones, or -1; threadlistlock held.
int idle_lowest()
{
    const int used = used_slots();
    for (std::size_t w = 0; w < idle_slots.size(); ++w) {
        if (idle_slots[w] == 0)
            continue;
        const int index = static_cast<int>(w * 64) + std::countr_zero(idle_slots[w]);
        return index < used ? index : -1;
    }
    return -1;
}

// Gives back a slot whose thread could not be started; threadlistlock not held.
void slot_release(int index)
{
    std::lock_guard lock(threadlistlock);
    thread_t& slot = threads[index];
    slot.arg = nullptr;
    slot.thread = pthread_t{};
    slot.state = THREAD_FREE;
}

// The slot is reserved under threadlistlock and the thread created outside it, so that a slow
// pthread_create never holds up the hand-overs and log lines of every other thread.
int create(ThreadStart start, void* arg, std::size_t stack, bool report_full, const CreateMessages& text)
{
    int index = 0;
    {
        std::unique_lock lock(threadlistlock);
        const int used = used_slots();
        while (index < used && threads[index].state != THREAD_FREE)
            ++index;
        if (index == used) {
            lock.unlock();
            if (report_full)
                putlog(LOG_ALWAYS, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
            return -1;
        }
        thread_t& slot = threads[index];
        slot.thread = pthread_t{};
        slot.state = THREAD_STARTED;
        slot.arg = static_cast<CONNECTION_T*>(arg);
        slot.clientid = 0;
        slot.requests = 0;
        slot.ip.clear();
        slot.url.clear();
        slot.method.clear();
    }

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        slot_release(index);
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, %s", rc, std::strerror(rc), text.function,
               text.init);
        return -1;
    }
    std::unique_ptr<pthread_attr_t, int (*)(pthread_attr_t*)> attr_owner(&attr, pthread_attr_destroy);
    rc = pthread_attr_setstacksize(&attr, stack);
    if (rc != 0) {
        slot_release(index);
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %zu", rc,
               std::strerror(rc), text.function, stack);
        return -1;
    }
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc != 0) {
        slot_release(index);
        putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread", rc,
               std::strerror(rc), text.function);
        return -1;
    }

    auto launch = std::make_unique<Launch>(Launch{start, arg, index});
    pthread_t id;
    rc = pthread_create(&id, &attr, thread_launch, launch.get());
    if (rc != 0) {
        slot_release(index);
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", rc, std::strerror(rc),
               text.function);
        return -1;
    }
    launch.release();
    return index;
}

// The caller's slot, or null. A thread that took its slot outside this file is found by the
// table scan once and remembered.
thread_t* caller_slot()
{
    thread_t* slot = own_slot;
    if (slot != nullptr && slot->state.load(std::memory_order_relaxed) != THREAD_FREE)
        return slot;
    std::lock_guard lock(threadlistlock);
    const pthread_t self = pthread_self();
    const int used = used_slots();
    for (int i = 0; i < used; ++i) {
        if (threads[i].state != THREAD_FREE && pthread_equal(threads[i].thread, self)) {
            own_slot = &threads[i];
            return own_slot;
        }
    }
    return nullptr;
}

} // namespace

SlotWake::SlotWake() { FATAL_ASSERT(sem_init(&sem_, 0, 0) == 0); }

SlotWake::~SlotWake() { sem_destroy(&sem_); }

void SlotWake::post() { sem_post(&sem_); }

bool SlotWake::wait_until(std::chrono::steady_clock::time_point deadline)
{
    // The steady clock is the monotonic one.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec until{};
    until.tv_sec = static_cast<std::time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    for (;;) {
        if (sem_clockwait(&sem_, CLOCK_MONOTONIC, &until) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void SlotWake::wait()
{
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
}

void SlotWake::reset()
{
    while (sem_trywait(&sem_) == 0) {
    }
}

void threads_init()
{
    std::lock_guard lock(threadlistlock);
    for (thread_t& slot : threads) {
        slot.thread = pthread_t{};
        slot.arg = nullptr;
        slot.clientid = 0;
        slot.state = THREAD_FREE;
        slot.requests = 0;
        slot.ip.clear();
        slot.url.clear();
        slot.method.clear();
        slot.wake.reset();
    }
    idle_slots.fill(0);
    threads[0].thread = pthread_self();
    threads[0].state = THREAD_STARTED;
    own_slot = &threads[0];
    log_set_clientid(thread_get_clientid);
}

void threads_set_connection_entry(ThreadStart entry) { connection_entry.store(entry, std::memory_order_release); }

int thread_create_internal(ThreadStart start, void* arg)
{
    // kept as is
    return create(start, arg, SERVICE_STACK, true, {"thread_create_internal", "failed to inititalise thread"});
}

int thread_create(ThreadStart start, void* arg)
{
    return create(start, arg, static_cast<std::size_t>(max_opt_stack), false,
                  {"thread_create", "failed to initialize thread"});
}

int thread_find()
{
    thread_t* slot = caller_slot();
    FATAL_ASSERT(slot != nullptr);
    return static_cast<int>(slot - threads);
}

std::uint32_t thread_get_clientid()
{
    thread_t* slot = caller_slot();
    // The fatal assertion's own lines are written by a thread without a slot under id 0.
    if (slot == nullptr && fatal_assertion_running())
        return 0;
    FATAL_ASSERT(slot != nullptr);
    return slot->clientid.load(std::memory_order_relaxed);
}

void thread_set_clientid(std::uint32_t id)
{
    thread_t* slot = caller_slot();
    FATAL_ASSERT(slot != nullptr);
    slot->clientid.store(id, std::memory_order_relaxed);
}

void rusage_update()
{
    rusage own{};
    if (getrusage(RUSAGE_THREAD, &own) != 0 || global == nullptr)
        return;
    std::lock_guard lock(global->mutex);
    rusage& total = global->usage;
    total.ru_utime.tv_sec += own.ru_utime.tv_sec;
    total.ru_utime.tv_usec += own.ru_utime.tv_usec;
    total.ru_stime.tv_sec += own.ru_stime.tv_sec;
    total.ru_stime.tv_usec += own.ru_stime.tv_usec;
    for (timeval* tv : {&total.ru_utime, &total.ru_stime}) {
        tv->tv_sec += tv->tv_usec / 1000000;
        tv->tv_usec %= 1000000;
    }
    total.ru_minflt += own.ru_minflt;
    total.ru_majflt += own.ru_majflt;
}

int process_new(ConnectionPtr& connection)
{
    {
        std::unique_lock lock(threadlistlock);
        const int index = idle_lowest();
        if (index >= 0) {
            thread_t& slot = threads[index];
            idle_set(index, false);
            connection->slot = index;
            slot.arg = connection.release();
            slot.state = THREAD_STARTED;
            lock.unlock();
            // Posted outside the lock: the parked thread takes the connection under the lock
            // whether or not this wakes it first, and then waits for this count (thread_park).
            slot.wake.post();
            return index;
        }
    }
    const ThreadStart entry = connection_entry.load(std::memory_order_acquire);
    if (entry == nullptr)
        return -1;
    const int index = thread_create(entry, connection.get());
    // Once created, the thread owns the record and may already have closed it.
    if (index >= 0)
        static_cast<void>(connection.release());
    return index;
}

ConnectionPtr thread_park(int seconds)
{
    thread_t* slot = caller_slot();
    FATAL_ASSERT(slot != nullptr);
    const int index = static_cast<int>(slot - threads);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(seconds, 0));

    // The texts of the last request are freed after the lock is given up, not under it.
    std::string method, url, ip;
    {
        std::lock_guard lock(threadlistlock);
        slot->method.swap(method);
        slot->url.swap(url);
        slot->ip.swap(ip);
        slot->arg = nullptr;
        slot->requests = 0;
        slot->state = THREAD_IDLE;
        idle_set(index, true);
    }
    const bool woken = slot->wake.wait_until(deadline);
    std::unique_lock lock(threadlistlock);
    // A connection handed over is served even when it arrives as the time runs out: process_new
    // has already taken it out of the client pool and counts on this thread.
    if (slot->arg != nullptr) {
        ConnectionPtr connection(std::exchange(slot->arg, nullptr));
        slot->state = THREAD_SERVING;
        lock.unlock();
        // The time ran out between the hand-over and its post: the count is taken now, so that
        // the next park does not wake for a connection already served.
        if (!woken)
            slot->wake.wait();
        return connection;
    }
    idle_set(index, false);
    slot->state = THREAD_FREE;
    slot->thread = pthread_t{};
    own_slot = nullptr;
    lock.unlock();
    rusage_update();
    return nullptr;
}

void thread_report(statm_t* statm)
{
    std::array<unsigned long, 5> counts{};
    {
        std::lock_guard lock(threadlistlock);
        const int used = used_slots();
        for (int i = 0; i < used; ++i) {
            const int state = threads[i].state.load(std::memory_order_relaxed);
            if (state >= 0 && state < static_cast<int>(counts.size()))
                ++counts[static_cast<std::size_t>(state)];
        }
    }
    statm->size = counts[0];
    statm->resident = counts[1];
    statm->shared = counts[2];
    statm->text = counts[3];
    statm->lib = counts[4];
}
