// Timers: periodic housekeeping (limit counters, DNS cache, password cache, configuration
// synchronisation) kept in one list sorted by due time and run from the timer thread.
//
// No job runs with the list's mutex held, so a job may add, find and remove timers, its own
// included. The timer thread hands each due job to a job runner (a service thread kept for
// later jobs), so a job that waits on the network never holds back the one-second jobs; a
// repeating timer whose previous run has not ended is not started a second time.
#pragma once

#include <condition_variable>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>

// Timer flags.
enum : int {
    TIMER_REPEAT = 0x1,
};

using TimerCallback = void (*)(void*);

// One timer.
struct TIMERS_LIST {
    int id = 0;
    int interval = 0;               // seconds between runs
    std::time_t due = 0;            // next run, seconds since the epoch
    int flags = 0;                  // TIMER_REPEAT
    TimerCallback callback = nullptr;
    void* argument = nullptr;       // passed to the callback
};

// A run that was found due and has not ended yet.
struct TimerJob {
    int id;
    TimerCallback callback;
    void* argument;
    bool for_runners;               // queued for the job runners; else the checking thread runs it
    bool running = false;
    bool cancelled = false;         // removed before the checking thread started it
};

// The timer list. Every field is guarded by `mutex`.
struct TIMERS {
    TIMERS() = default;
    TIMERS(const TIMERS&) = delete;
    TIMERS& operator=(const TIMERS&) = delete;
    // Stops the job runners, waiting for the jobs they are running to end.
    ~TIMERS();

    std::mutex mutex;
    int nextid = 0;                 // id of the next timer added
    std::list<TIMERS_LIST> list;    // by due time; timers due at the same second in order of insertion
    std::list<TimerJob> jobs;       // due runs, in the order they were found due
    int runners = 0;                // job runner threads
    int idle = 0;                   // of which waiting for a job (or not yet started)
    bool stopping = false;
    std::condition_variable work;   // a job was queued, or the runners must stop
    std::condition_variable gone;   // a runner ended
};

// A new empty list (next id 0, no timers).
std::unique_ptr<TIMERS> timers_init();

// Adds a timer first due `interval` seconds after `now`, repeating when flags holds TIMER_REPEAT;
// its id, or -1 (nothing added) for a null callback.
int timers_add(TIMERS* timers, int interval, int flags, TimerCallback callback, void* argument,
               std::time_t now = std::time(nullptr));

// Runs every timer due at `now` on the calling thread, in list order, without holding the
// list's mutex while a job runs. A repeating timer is next due one interval after its previous
// due time, or at now + 1 when that is not later than now: missed periods are not made up.
// A one-shot timer is gone once found due.
void timers_check(TIMERS* timers, std::time_t now = std::time(nullptr));

// The same bookkeeping, but each due job is handed to a job runner thread, started when none is
// free; the runs start in list order. When no runner exists and none can be started the jobs
// run on the calling thread.
void timers_dispatch(TIMERS* timers, std::time_t now = std::time(nullptr));

// A found timer, with the list's mutex held for as long as this lives. `timer` is null when no
// timer has the id; the mutex is held all the same.
struct TimerFound {
    std::unique_lock<std::mutex> lock;
    TIMERS_LIST* timer = nullptr;
};
TimerFound timers_find(TIMERS* timers, int id);

// 1 when the timer was found and removed, else 0. A run already started ends normally; one found
// due but not yet started does not happen.
int timers_remove(TIMERS* timers, int id);

// Puts `timer` into the list by its due time and returns it in its place. The caller holds the
// list's mutex.
TIMERS_LIST* timers_insert(TIMERS* timers, TIMERS_LIST timer);

// Service-thread body: forever sleeps one second and dispatches the due timers of the global list.
void* timer_thread(void* unused);
