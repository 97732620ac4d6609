#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/global.h"
#include "core/options.h"
#include "core/threads.h"
#include "core/timers.h"

namespace {

constexpr std::time_t T0 = 1'700'000'000;

// The ids and due times of the list, head first.
std::vector<std::pair<int, std::time_t>> schedule(TIMERS& timers)
{
    std::lock_guard lock(timers.mutex);
    std::vector<std::pair<int, std::time_t>> out;
    for (const TIMERS_LIST& t : timers.list)
        out.emplace_back(t.id, t.due);
    return out;
}

// A job that appends its tag to the log given as its argument.
struct Tagged {
    std::vector<int>* log;
    int tag;
};
void record(void* data)
{
    const auto* run = static_cast<Tagged*>(data);
    run->log->push_back(run->tag);
}

// A latch with bounded waits: a test that goes wrong fails instead of hanging.
class Signal {
public:
    void raise()
    {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    // True once raised at least n times in all.
    bool wait(int n = 1)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n; });
    }
    int count()
    {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

} // namespace

TEST(Timers, AddKeepsTheListSortedWithTiesInInsertionOrder)
{
    const auto timers = timers_init();
    EXPECT_EQ(timers->nextid, 0);
    EXPECT_TRUE(timers->list.empty());
    std::vector<int> log;
    Tagged run{&log, 0};
    EXPECT_EQ(timers_add(timers.get(), 60, TIMER_REPEAT, record, &run, T0), 0);
    EXPECT_EQ(timers_add(timers.get(), 1, TIMER_REPEAT, record, &run, T0), 1);
    EXPECT_EQ(timers_add(timers.get(), 60, TIMER_REPEAT, record, &run, T0), 2);   // after the first 60
    EXPECT_EQ(timers_add(timers.get(), 30, 0, record, &run, T0), 3);
    EXPECT_EQ(timers_add(timers.get(), 0, 0, record, &run, T0 - 5), 4);           // earlier than the head
    EXPECT_EQ(timers_add(timers.get(), 1, 0, nullptr, &run, T0), -1);
    EXPECT_EQ(timers->nextid, 5);
    using Sched = std::vector<std::pair<int, std::time_t>>;
    EXPECT_EQ(schedule(*timers), (Sched{{4, T0 - 5}, {1, T0 + 1}, {3, T0 + 30}, {0, T0 + 60}, {2, T0 + 60}}));

    std::lock_guard lock(timers->mutex);
    TIMERS_LIST* placed = timers_insert(timers.get(), TIMERS_LIST{99, 10, T0 + 30, 0, record, &run});
    EXPECT_EQ(placed->id, 99);
    EXPECT_EQ(std::next(timers->list.begin(), 3)->id, 99);   // after timer 3, due at the same second
}

TEST(Timers, CheckRunsTheDueTimersInOrderAndReschedulesThem)
{
    const auto timers = timers_init();
    std::vector<int> log;
    Tagged a{&log, 'a'}, b{&log, 'b'}, c{&log, 'c'}, once{&log, 'o'};
    const int ida = timers_add(timers.get(), 10, TIMER_REPEAT, record, &a, T0);
    const int idb = timers_add(timers.get(), 10, TIMER_REPEAT, record, &b, T0);
    timers_add(timers.get(), 25, TIMER_REPEAT, record, &c, T0);
    const int ido = timers_add(timers.get(), 15, 0, record, &once, T0);

    timers_check(timers.get(), T0 + 9);
    EXPECT_TRUE(log.empty());
    timers_check(timers.get(), T0 + 10);
    EXPECT_EQ(log, (std::vector<int>{'a', 'b'}));
    timers_check(timers.get(), T0 + 15);
    timers_check(timers.get(), T0 + 20);
    timers_check(timers.get(), T0 + 25);
    EXPECT_EQ(log, (std::vector<int>{'a', 'b', 'o', 'a', 'b', 'c'}));
    timers_check(timers.get(), T0 + 60);
    EXPECT_EQ(log, (std::vector<int>{'a', 'b', 'o', 'a', 'b', 'c', 'a', 'b', 'c'}));

    // The one-shot timer is gone; the others stay until removed.
    EXPECT_EQ(timers_remove(timers.get(), ido), 0);
    EXPECT_EQ(timers_remove(timers.get(), idb), 1);
    EXPECT_EQ(timers_remove(timers.get(), idb), 0);
    log.clear();
    timers_check(timers.get(), T0 + 61);
    EXPECT_EQ(log, (std::vector<int>{'a'}));
    EXPECT_EQ(timers_find(timers.get(), ida).timer->due, T0 + 71);
}

TEST(Timers, ARepeatingTimerKeepsItsPeriodButNeverCatchesUp)
{
    struct Case { int interval; std::time_t late; std::time_t next; };
    const Case cases[] = {
        {60, 0, T0 + 120},     // on time: one interval after its due time
        {60, 5, T0 + 120},     // a little late: still on its own grid, not now + 60
        {60, 59, T0 + 120},
        {60, 60, T0 + 121},    // a whole period late: now + 1, never twice at once
        {60, 70, T0 + 131},
        {1, 0, T0 + 2},
        {1, 3, T0 + 5},
        {0, 0, T0 + 1},        // an interval of 0 runs once a second, not in a loop
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("interval " + std::to_string(c.interval) + ", late " + std::to_string(c.late));
        const auto timers = timers_init();
        std::vector<int> log;
        Tagged run{&log, 1};
        const int id = timers_add(timers.get(), c.interval, TIMER_REPEAT, record, &run, T0);
        const std::time_t now = T0 + c.interval + c.late;
        timers_check(timers.get(), now);
        EXPECT_EQ(log.size(), 1u);
        EXPECT_EQ(timers_find(timers.get(), id).timer->due, c.next);
        timers_check(timers.get(), now);
        EXPECT_EQ(log.size(), 1u);
    }
}

TEST(Timers, FindReturnsWithTheMutexHeld)
{
    const auto timers = timers_init();
    std::vector<int> log;
    Tagged run{&log, 1};
    const int id = timers_add(timers.get(), 5, TIMER_REPEAT, record, &run, T0);
    const auto held_elsewhere = [&] {
        bool locked = false;
        std::thread([&] {
            locked = !timers->mutex.try_lock();
            if (!locked)
                timers->mutex.unlock();
        }).join();
        return locked;
    };
    {
        TimerFound found = timers_find(timers.get(), id);
        ASSERT_NE(found.timer, nullptr);
        EXPECT_EQ(found.timer->interval, 5);
        EXPECT_EQ(found.timer->argument, &run);
        EXPECT_TRUE(found.lock.owns_lock());
        EXPECT_TRUE(held_elsewhere());
    }
    EXPECT_FALSE(held_elsewhere());
    {
        TimerFound missing = timers_find(timers.get(), id + 1);
        EXPECT_EQ(missing.timer, nullptr);
        EXPECT_TRUE(missing.lock.owns_lock());
        EXPECT_TRUE(held_elsewhere());
    }
    EXPECT_FALSE(held_elsewhere());
}

namespace {

// Jobs that change the list they are run from.
struct Churn {
    TIMERS* timers = nullptr;
    std::vector<int> log;
    int self = -1, victim = -1, added = -1;
    Tagged added_run{&log, 'n'};
};
void remove_self(void* data)
{
    auto* churn = static_cast<Churn*>(data);
    churn->log.push_back('s');
    EXPECT_EQ(timers_remove(churn->timers, churn->self), 1);
}
void remove_victim_and_add(void* data)
{
    auto* churn = static_cast<Churn*>(data);
    churn->log.push_back('r');
    EXPECT_EQ(timers_remove(churn->timers, churn->victim), 1);
    churn->added = timers_add(churn->timers, 0, 0, record, &churn->added_run, T0 + 1);
    EXPECT_NE(timers_find(churn->timers, churn->added).timer, nullptr);
}
void victim(void* data)
{
    static_cast<Churn*>(data)->log.push_back('v');
}

} // namespace

TEST(Timers, JobsMayChangeTheListTheyRunFrom)
{
    const auto timers = timers_init();
    Churn churn;
    churn.timers = timers.get();
    churn.self = timers_add(timers.get(), 1, TIMER_REPEAT, remove_self, &churn, T0);
    timers_add(timers.get(), 1, 0, remove_victim_and_add, &churn, T0);
    churn.victim = timers_add(timers.get(), 1, TIMER_REPEAT, victim, &churn, T0);

    // The victim was due with the others, but was removed before its turn: it does not run.
    // The timer added during the run is due at once, yet waits for the next check.
    timers_check(timers.get(), T0 + 1);
    EXPECT_EQ(churn.log, (std::vector<int>{'s', 'r'}));
    EXPECT_EQ(schedule(*timers), (std::vector<std::pair<int, std::time_t>>{{churn.added, T0 + 1}}));
    timers_check(timers.get(), T0 + 2);
    EXPECT_EQ(churn.log, (std::vector<int>{'s', 'r', 'n'}));
    EXPECT_TRUE(schedule(*timers).empty());
    EXPECT_TRUE(timers->jobs.empty());
}

namespace {

// A job that blocks until released, reporting when it starts.
struct Slow {
    Signal started, release, done;
};
void slow_job(void* data)
{
    auto* slow = static_cast<Slow*>(data);
    slow->started.raise();
    EXPECT_TRUE(slow->release.wait());
    slow->done.raise();
}

struct Fast {
    Signal ran;
    int slot = -1;
};
void fast_job(void* data)
{
    auto* fast = static_cast<Fast*>(data);
    fast->slot = thread_find();   // a job may log: it runs on a thread with a slot of its own
    fast->ran.raise();
}

} // namespace

namespace {

// Waits, a bounded time, until at most `n` runs of the list are found due and not ended.
bool jobs_settle(TIMERS* timers, std::size_t n)
{
    for (int i = 0; i < 10000; ++i) {
        {
            std::lock_guard lock(timers->mutex);
            if (timers->jobs.size() <= n)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

TEST(Timers, ASlowJobDoesNotHoldBackTheOthers)
{
    Slow slow;
    Fast fast;
    {
        const auto timers = timers_init();
        const int slow_id = timers_add(timers.get(), 1, TIMER_REPEAT, slow_job, &slow, T0);
        timers_add(timers.get(), 1, TIMER_REPEAT, fast_job, &fast, T0);

        timers_dispatch(timers.get(), T0 + 1);
        ASSERT_TRUE(slow.started.wait());
        ASSERT_TRUE(fast.ran.wait(1));
        EXPECT_GT(fast.slot, 0);
        // While the slow job waits, the next seconds run the fast one, and never start the slow
        // one a second time; the runner that is free takes the work.
        for (int second = 2; second <= 4; ++second) {
            ASSERT_TRUE(jobs_settle(timers.get(), 1));
            timers_dispatch(timers.get(), T0 + second);
            ASSERT_TRUE(fast.ran.wait(second));
        }
        EXPECT_EQ(slow.started.count(), 1);
        {
            std::lock_guard lock(timers->mutex);
            EXPECT_EQ(timers->runners, 2);
        }
        // Removing the running timer lets its run end and keeps it from coming back.
        EXPECT_EQ(timers_remove(timers.get(), slow_id), 1);
        slow.release.raise();
        ASSERT_TRUE(slow.done.wait());
        ASSERT_TRUE(jobs_settle(timers.get(), 0));
        timers_dispatch(timers.get(), T0 + 5);
        ASSERT_TRUE(fast.ran.wait(5));
    }   // the list waits for its runners to stop
    EXPECT_EQ(slow.started.count(), 1);
    EXPECT_EQ(fast.ran.count(), 5);
}

namespace {

struct Pair {
    TIMERS* timers = nullptr;
    int second = -1;
    std::vector<int> log;
    std::thread::id thread;
};
void first_removes_second(void* data)
{
    auto* pair = static_cast<Pair*>(data);
    pair->log.push_back(1);
    pair->thread = std::this_thread::get_id();
    EXPECT_EQ(timers_remove(pair->timers, pair->second), 1);
}
void second_job(void* data)
{
    static_cast<Pair*>(data)->log.push_back(2);
}

} // namespace

TEST(Timers, WithoutARunnerTheDispatchingThreadRunsTheJobs)
{
    // A full thread table leaves no runner to start; the jobs must still run, and a job removed
    // by an earlier one of the same second must not.
    const int saved = MAXTHREADS;
    MAXTHREADS = 1;
    const auto timers = timers_init();
    Pair pair;
    pair.timers = timers.get();
    timers_add(timers.get(), 1, TIMER_REPEAT, first_removes_second, &pair, T0);
    pair.second = timers_add(timers.get(), 1, TIMER_REPEAT, second_job, &pair, T0);
    timers_dispatch(timers.get(), T0 + 1);
    MAXTHREADS = saved;
    EXPECT_EQ(pair.log, (std::vector<int>{1}));
    EXPECT_EQ(pair.thread, std::this_thread::get_id());
    EXPECT_TRUE(timers->jobs.empty());
    EXPECT_EQ(timers->runners, 0);
    EXPECT_EQ(schedule(*timers).size(), 1u);
}

namespace {

void tick(void* data)
{
    static_cast<Signal*>(data)->raise();
}

} // namespace

TEST(Timers, TheTimerThreadRunsTheGlobalList)
{
    ASSERT_NE(global->timers, nullptr);
    Signal ticks;
    const int id = timers_add(global->timers.get(), 1, TIMER_REPEAT, tick, &ticks);
    ASSERT_GE(thread_create_internal(timer_thread, nullptr), 0);
    EXPECT_TRUE(ticks.wait(2));
    EXPECT_EQ(timers_remove(global->timers.get(), id), 1);
    // A run may be under way; wait for the runners to let go of `ticks`.
    EXPECT_TRUE(jobs_settle(global->timers.get(), 0));
}
