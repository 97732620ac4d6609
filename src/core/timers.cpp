#include "core/timers.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <vector>

#include "core/global.h"
#include "util/log.h"
#include "core/threads.h"

namespace {

using JobRef = std::list<TimerJob>::iterator;

// Where a timer due at `due` goes: before the first timer due later, so timers due at the
// same second keep the order in which they were inserted.
std::list<TIMERS_LIST>::iterator insert_position(std::list<TIMERS_LIST>& list, std::time_t due)
{
    return std::find_if(list.begin(), list.end(), [due](const TIMERS_LIST& t) { return t.due > due; });
}

// Whether a run of the timer was found due and has not ended (nor been cancelled).
bool job_pending(const TIMERS* timers, int id)
{
    return std::any_of(timers->jobs.begin(), timers->jobs.end(),
                       [id](const TimerJob& j) { return j.id == id && !j.cancelled; });
}

// Takes every timer due at `now` off the head of the list, records a run of each in `jobs` and
// puts the repeating ones back at their next due time. A repeating timer whose previous run is
// still pending is only moved on. The caller holds the mutex.
std::vector<JobRef> collect_due(TIMERS* timers, std::time_t now, bool for_runners)
{
    std::vector<JobRef> found;
    std::list<TIMERS_LIST>& list = timers->list;
    while (!list.empty() && list.front().due <= now) {
        const auto timer = list.begin();
        if (!job_pending(timers, timer->id)) {
            timers->jobs.push_back(TimerJob{timer->id, timer->callback, timer->argument, for_runners});
            found.push_back(std::prev(timers->jobs.end()));
        }
        if ((timer->flags & TIMER_REPEAT) == 0) {
            list.erase(timer);
            continue;
        }
        std::time_t next = timer->due + timer->interval;
        if (next <= now)
            next = now + 1;
        timer->due = next;
        // Past `now`, so the loop never meets it again.
        std::list<TIMERS_LIST> moving;
        moving.splice(moving.begin(), list, timer);
        list.splice(insert_position(list, next), moving, moving.begin());
    }
    return found;
}

// Runs one recorded job unless it was cancelled, and forgets it. Called without the mutex.
void run_job(TIMERS* timers, JobRef job)
{
    std::unique_lock lock(timers->mutex);
    if (!job->cancelled) {
        job->running = true;
        const TimerCallback callback = job->callback;
        void* const argument = job->argument;
        lock.unlock();
        callback(argument);
        lock.lock();
    }
    timers->jobs.erase(job);
}

// The first job queued for the runners and not taken yet. The caller holds the mutex.
JobRef next_queued(TIMERS* timers)
{
    return std::find_if(timers->jobs.begin(), timers->jobs.end(),
                        [](const TimerJob& j) { return j.for_runners && !j.running; });
}

// A job runner: takes the queued jobs one by one until the list is destroyed.
void* timer_runner(void* data)
{
    auto* const timers = static_cast<TIMERS*>(data);
    std::unique_lock lock(timers->mutex);
    for (;;) {
        JobRef job;
        timers->work.wait(lock, [&] { return timers->stopping || (job = next_queued(timers)) != timers->jobs.end(); });
        if (timers->stopping)
            break;
        --timers->idle;
        job->running = true;
        const TimerCallback callback = job->callback;
        void* const argument = job->argument;
        lock.unlock();
        callback(argument);
        lock.lock();
        timers->jobs.erase(job);
        ++timers->idle;
    }
    --timers->idle;
    --timers->runners;
    timers->gone.notify_all();
    lock.unlock();
    // `timers` may be gone from here on.
    const int slot = thread_find();
    std::lock_guard table(threadlistlock);
    threads[slot].state = THREAD_FREE;
    return nullptr;
}

} // namespace

TIMERS::~TIMERS()
{
    std::unique_lock lock(mutex);
    stopping = true;
    work.notify_all();
    gone.wait(lock, [this] { return runners == 0; });
}

std::unique_ptr<TIMERS> timers_init()
{
    return std::make_unique<TIMERS>();
}

TIMERS_LIST* timers_insert(TIMERS* timers, TIMERS_LIST timer)
{
    const std::time_t due = timer.due;
    return &*timers->list.insert(insert_position(timers->list, due), std::move(timer));
}

int timers_add(TIMERS* timers, int interval, int flags, TimerCallback callback, void* argument, std::time_t now)
{
    if (callback == nullptr)
        return -1;
    int id;
    {
        std::lock_guard lock(timers->mutex);
        id = timers->nextid++;
        timers_insert(timers, TIMERS_LIST{id, interval, now + interval, flags, callback, argument});
    }
    putlog(LOG_DEBUG, "added timer %d", id);
    return id;
}

void timers_check(TIMERS* timers, std::time_t now)
{
    std::vector<JobRef> due;
    {
        std::lock_guard lock(timers->mutex);
        due = collect_due(timers, now, false);
    }
    for (const JobRef& job : due)
        run_job(timers, job);
}

void timers_dispatch(TIMERS* timers, std::time_t now)
{
    std::unique_lock lock(timers->mutex);
    collect_due(timers, now, true);
    // Jobs waiting for a runner; taking one makes a runner busy, so the difference holds.
    const auto waiting = [timers] {
        return std::count_if(timers->jobs.begin(), timers->jobs.end(),
                             [](const TimerJob& j) { return j.for_runners && !j.running; });
    };
    if (waiting() == 0)
        return;
    timers->work.notify_all();
    // A runner counts as idle from its creation: it takes a job as soon as it starts.
    while (waiting() > timers->idle) {
        ++timers->runners;
        ++timers->idle;
        lock.unlock();
        const int slot = thread_create_internal(timer_runner, timers);
        lock.lock();
        if (slot < 0) {
            --timers->runners;
            --timers->idle;
            break;
        }
    }
    if (timers->runners > 0)
        return;
    // No runner at all: the jobs must not wait for one that cannot be started.
    for (JobRef job = next_queued(timers); job != timers->jobs.end(); job = next_queued(timers)) {
        job->for_runners = false;
        lock.unlock();
        run_job(timers, job);
        lock.lock();
    }
}

TimerFound timers_find(TIMERS* timers, int id)
{
    TimerFound found{std::unique_lock(timers->mutex)};
    const auto it = std::find_if(timers->list.begin(), timers->list.end(), [id](const TIMERS_LIST& t) { return t.id == id; });
    if (it != timers->list.end())
        found.timer = &*it;
    return found;
}

int timers_remove(TIMERS* timers, int id)
{
    std::lock_guard lock(timers->mutex);
    int removed = 0;
    const auto it = std::find_if(timers->list.begin(), timers->list.end(), [id](const TIMERS_LIST& t) { return t.id == id; });
    if (it != timers->list.end()) {
        timers->list.erase(it);
        removed = 1;
    }
    for (auto job = timers->jobs.begin(); job != timers->jobs.end();) {
        if (job->id != id || job->running || job->cancelled) {
            ++job;
            continue;
        }
        removed = 1;
        // A job claimed by a checking thread is still referred to there: it is only marked.
        if (job->for_runners) {
            job = timers->jobs.erase(job);
        } else {
            job->cancelled = true;
            ++job;
        }
    }
    return removed;
}

void* timer_thread(void*)
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        timers_dispatch(global->timers.get());
    }
}
