#include "threads.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/resource.h>

#include "global.h"
#include "log.h"
#include "mem.h"

thread_t threads[MAXTHREADS_LIMIT];
std::mutex threadlistlock;

namespace {

constexpr std::size_t SERVICE_STACK = 10485760;

// The calling thread's slot, set when it takes the slot; spares every log line a table scan.
thread_local thread_t* own_slot = nullptr;

int used_slots() { return std::clamp(MAXTHREADS, 1, MAXTHREADS_LIMIT); }

struct Launch {
    thread_start_t start;
    void* arg;
    int index;
};

void* thread_launch(void* data)
{
    std::unique_ptr<Launch> launch(static_cast<Launch*>(data));
    {
        // The creator fills the slot with this lock held; once it is ours the slot is complete.
        std::lock_guard lock(threadlistlock);
        own_slot = &threads[launch->index];
    }
    const thread_start_t start = launch->start;
    void* const arg = launch->arg;
    launch.reset();
    return start(arg);
}

// Which step of the creation failed, in the words each creator logs.
struct CreateMessages {
    const char* function;
    const char* init;
};

int create(thread_start_t start, void* arg, std::size_t stack, bool report_full, const CreateMessages& text)
{
    std::unique_lock lock(threadlistlock);
    const int used = used_slots();
    int index = 0;
    while (index < used && threads[index].state != THREAD_FREE)
        ++index;
    if (index == used) {
        lock.unlock();
        if (report_full)
            putlog(LOG_ALWAYS, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        return -1;
    }

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        lock.unlock();
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, %s", rc, std::strerror(rc), text.function,
               text.init);
        return -1;
    }
    std::unique_ptr<pthread_attr_t, int (*)(pthread_attr_t*)> attr_owner(&attr, pthread_attr_destroy);
    rc = pthread_attr_setstacksize(&attr, stack);
    if (rc != 0) {
        lock.unlock();
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %zu", rc,
               std::strerror(rc), text.function, stack);
        return -1;
    }
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc != 0) {
        lock.unlock();
        putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread", rc,
               std::strerror(rc), text.function);
        return -1;
    }

    thread_t& slot = threads[index];
    auto launch = std::make_unique<Launch>(Launch{start, arg, index});
    rc = pthread_create(&slot.thread, &attr, thread_launch, launch.get());
    if (rc != 0) {
        slot.thread = pthread_t{};
        lock.unlock();
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", rc, std::strerror(rc),
               text.function);
        return -1;
    }
    launch.release();
    slot.state = THREAD_STARTED;
    slot.arg = static_cast<CONNECTION_T*>(arg);
    slot.clientid = 0;
    slot.requests = 0;
    slot.ip.clear();
    slot.url.clear();
    slot.method.clear();
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
    }
    threads[0].thread = pthread_self();
    threads[0].state = THREAD_STARTED;
    own_slot = &threads[0];
}

int thread_create_internal(thread_start_t start, void* arg)
{
    return create(start, arg, SERVICE_STACK, true, {"thread_create_internal", "failed to inititalise thread"});
}

int thread_create(thread_start_t start, void* arg)
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
