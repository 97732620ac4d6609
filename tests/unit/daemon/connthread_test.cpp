#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "core/connection.h"
#include "daemon/connthread.h"
#include "core/global.h"
#include "core/options.h"
#include "core/performance.h"
#include "core/threads.h"

namespace {

// A connection thread stand-in: parks, records what it is handed, parks again for `linger`
// seconds and ends when nothing more comes.
struct Parker {
    std::mutex mutex;
    std::condition_variable cv;
    int slot = -1;
    std::vector<std::uint32_t> served;   // ids of the connections handed over
    bool ended = false;
};

struct ParkerArgs {
    std::shared_ptr<Parker> parker;
    int first_wait;
    int linger;
};

void* parker_thread(void* data)
{
    const std::unique_ptr<ParkerArgs> args(static_cast<ParkerArgs*>(data));
    const std::shared_ptr<Parker> parker = args->parker;
    {
        std::lock_guard lock(parker->mutex);
        parker->slot = thread_find();
    }
    int wait = args->first_wait;
    for (;;) {
        ConnectionPtr connection = thread_park(wait);
        if (connection == nullptr)
            break;
        wait = args->linger;
        std::lock_guard lock(parker->mutex);
        parker->served.push_back(connection->id);
        parker->cv.notify_all();
    }
    // The slot is free now: nothing here may log.
    std::lock_guard lock(parker->mutex);
    parker->ended = true;
    parker->cv.notify_all();
    return nullptr;
}

std::shared_ptr<Parker> start_parker(int first_wait, int linger)
{
    auto parker = std::make_shared<Parker>();
    auto args = std::make_unique<ParkerArgs>(ParkerArgs{parker, first_wait, linger});
    EXPECT_GE(thread_create(parker_thread, args.get()), 0);
    args.release();
    return parker;
}

int slot_state(int slot)
{
    std::lock_guard lock(threadlistlock);
    return threads[slot].state;
}

void wait_for_state(int slot, int state)
{
    while (slot_state(slot) != state)
        std::this_thread::yield();
}

int parker_slot(Parker& parker)
{
    for (;;) {
        {
            std::lock_guard lock(parker.mutex);
            if (parker.slot >= 0)
                return parker.slot;
        }
        std::this_thread::yield();
    }
}

void wait_ended(Parker& parker)
{
    std::unique_lock lock(parker.mutex);
    parker.cv.wait(lock, [&] { return parker.ended; });
}

ConnectionPtr numbered(std::uint32_t id)
{
    ConnectionPtr connection = connection_new("192.0.2.9");
    connection->id = id;
    return connection;
}

statm_t report()
{
    statm_t counts;
    thread_report(&counts);
    return counts;
}

// A connection entry stand-in: records the id of the connection it was started with and frees
// its slot as a connection thread does when nothing more comes.
struct Started {
    std::mutex mutex;
    std::condition_variable cv;
    std::uint32_t id = 0;
    bool ended = false;
};
Started started;

void* recording_entry(void* data)
{
    const std::uint32_t id = ConnectionPtr(static_cast<CONNECTION_T*>(data))->id;
    static_cast<void>(thread_park(0));
    std::lock_guard lock(started.mutex);
    started.id = id;
    started.ended = true;
    started.cv.notify_all();
    return nullptr;
}

class HandOver : public testing::Test {
protected:
    void TearDown() override
    {
        MAXTHREADS = saved_maxthreads_;
        threads_set_connection_entry(process_entry);
    }

private:
    const int saved_maxthreads_ = MAXTHREADS;
};

TEST_F(HandOver, ParkedThreadsTakeConnectionsLowestSlotFirst)
{
    const statm_t before = report();
    auto low = start_parker(600, 0);
    auto high = start_parker(600, 0);
    const int low_slot = parker_slot(*low);
    const int high_slot = parker_slot(*high);
    ASSERT_LT(low_slot, high_slot);
    wait_for_state(low_slot, THREAD_IDLE);
    wait_for_state(high_slot, THREAD_IDLE);
    EXPECT_EQ(report().shared, before.shared + 2);   // idle

    ConnectionPtr first = numbered(101);
    EXPECT_EQ(process_new(first), low_slot);
    EXPECT_EQ(first, nullptr);
    // The low thread serves its connection and, parked again without a time to wait, frees its
    // slot; until it has, it would be the lowest idle slot again and take the second one too.
    wait_ended(*low);
    ConnectionPtr second = numbered(102);
    EXPECT_EQ(process_new(second), high_slot);
    wait_ended(*high);
    EXPECT_EQ(low->served, std::vector<std::uint32_t>{101});
    EXPECT_EQ(high->served, std::vector<std::uint32_t>{102});
    EXPECT_EQ(slot_state(low_slot), THREAD_FREE);
    EXPECT_EQ(slot_state(high_slot), THREAD_FREE);
    const statm_t after = report();
    EXPECT_EQ(after.size, before.size);
    EXPECT_EQ(after.shared, before.shared);
    EXPECT_EQ(after.text, before.text);
}

// A thread that served a request and parks: its slot shows nothing of that request while it
// waits, so the connections page never lists a parked thread with an old URL.
void* serving_then_parking(void* data)
{
    const std::unique_ptr<std::shared_ptr<Parker>> holder(static_cast<std::shared_ptr<Parker>*>(data));
    const std::shared_ptr<Parker> parker = *holder;
    {
        std::lock_guard table(threadlistlock);
        const int slot = thread_find();
        threads[slot].method = "GET";
        threads[slot].url = "http://origin.test/a/long/path/that/is/no/short/string";
        threads[slot].ip = "192.0.2.200";
        std::lock_guard lock(parker->mutex);
        parker->slot = slot;
    }
    // Once served, it parks with no time to wait and ends.
    for (int wait = 600; ConnectionPtr connection = thread_park(wait); wait = 0) {
        std::lock_guard lock(parker->mutex);
        parker->served.push_back(connection->id);
    }
    std::lock_guard lock(parker->mutex);
    parker->ended = true;
    parker->cv.notify_all();
    return nullptr;
}

TEST_F(HandOver, ParkedSlotKeepsNoTextOfItsLastRequest)
{
    auto parker = std::make_shared<Parker>();
    ASSERT_GE(thread_create(serving_then_parking, std::make_unique<std::shared_ptr<Parker>>(parker).release()), 0);
    const int slot = parker_slot(*parker);
    wait_for_state(slot, THREAD_IDLE);
    {
        std::lock_guard lock(threadlistlock);
        EXPECT_EQ(threads[slot].method, "");
        EXPECT_EQ(threads[slot].url, "");
        EXPECT_EQ(threads[slot].ip, "");
        EXPECT_EQ(threads[slot].requests, 0);
    }
    ConnectionPtr connection = numbered(303);
    EXPECT_EQ(process_new(connection), slot);
    wait_ended(*parker);
    EXPECT_EQ(parker->served, std::vector<std::uint32_t>{303});
}

// Connection threads that park with no time to wait, so that nearly every hand-over meets a
// park whose time is running out: each connection handed over is served exactly once, whether
// its thread saw it in the wait or in the check after it, or a new thread was started for it.
struct Tally {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> served;   // how often each connection id was served
    int ended = 0;
    int started = 0;
};
Tally tally;

void tally_serve(std::uint32_t id)
{
    std::lock_guard lock(tally.mutex);
    ++tally.served.at(id);
    tally.cv.notify_all();
}

void* impatient_entry(void* data)
{
    {
        std::lock_guard lock(tally.mutex);
        ++tally.started;
    }
    tally_serve(ConnectionPtr(static_cast<CONNECTION_T*>(data))->id);
    {
        std::lock_guard table(threadlistlock);
        threads[thread_find()].arg = nullptr;
    }
    while (ConnectionPtr connection = thread_park(0))
        tally_serve(connection->id);
    std::lock_guard lock(tally.mutex);
    ++tally.ended;
    tally.cv.notify_all();
    return nullptr;
}

TEST_F(HandOver, HandOversRacingTheEndOfAParkAreEachServedOnce)
{
    constexpr int CONNECTIONS = 3000;
    const statm_t before = report();
    tally.served.assign(CONNECTIONS, 0);
    threads_set_connection_entry(impatient_entry);
    for (int id = 0; id < CONNECTIONS; ++id) {
        ConnectionPtr connection = numbered(static_cast<std::uint32_t>(id));
        ASSERT_GE(process_new(connection), 0);
        EXPECT_EQ(connection, nullptr);
    }
    const auto total = [] {
        int sum = 0;
        for (const int count : tally.served)
            sum += count;
        return sum;
    };
    {
        std::unique_lock lock(tally.mutex);
        ASSERT_TRUE(tally.cv.wait_for(lock, std::chrono::seconds(60), [&] { return total() >= CONNECTIONS; }))
            << total() << " served";
    }
    // Every thread has ended and given its slot back.
    for (int spins = 0; report().size != before.size && spins < 2000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(report().size, before.size);
    std::lock_guard lock(tally.mutex);
    EXPECT_EQ(tally.ended, tally.started);
    for (int id = 0; id < CONNECTIONS; ++id)
        ASSERT_EQ(tally.served[static_cast<std::size_t>(id)], 1) << "connection " << id;
}

// A connection thread that parks for long: it serves what it is handed until it is handed the
// stop connection, then parks once more without a time to wait and ends. Ending any other way
// means a park returned with nothing handed over.
constexpr std::uint32_t STOP = 0xffffffffu;

void* steady_parker(void* data)
{
    const std::unique_ptr<std::shared_ptr<Parker>> holder(static_cast<std::shared_ptr<Parker>*>(data));
    const std::shared_ptr<Parker> parker = *holder;
    {
        std::lock_guard lock(parker->mutex);
        parker->slot = thread_find();
    }
    bool stopped = false;
    while (ConnectionPtr connection = thread_park(stopped ? 0 : 600)) {
        if (connection->id == STOP) {
            stopped = true;
            continue;
        }
        tally_serve(connection->id);
        std::lock_guard lock(parker->mutex);
        parker->served.push_back(connection->id);
    }
    std::lock_guard lock(parker->mutex);
    parker->ended = true;
    if (!stopped)
        parker->served.push_back(STOP);   // woken for nothing
    parker->cv.notify_all();
    return nullptr;
}

TEST_F(HandOver, HandOversFromManyThreadsWakeEachParkedThreadOncePerConnection)
{
    constexpr int PARKERS = 4;
    constexpr int PRODUCERS = 4;
    constexpr int EACH = 500;
    const statm_t before = report();
    {
        std::lock_guard lock(tally.mutex);
        tally.served.assign(PRODUCERS * EACH, 0);
        tally.started = 0;
        tally.ended = 0;
    }
    // When every parked thread is busy a new one is started; it serves once and ends.
    threads_set_connection_entry(impatient_entry);
    std::vector<std::shared_ptr<Parker>> parkers;
    for (int i = 0; i < PARKERS; ++i) {
        parkers.push_back(std::make_shared<Parker>());
        ASSERT_GE(thread_create(steady_parker, std::make_unique<std::shared_ptr<Parker>>(parkers.back()).release()),
                  0);
        wait_for_state(parker_slot(*parkers.back()), THREAD_IDLE);
    }

    std::vector<std::thread> producers;
    std::atomic<int> refused{0};
    for (int p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([p, &refused] {
            for (int i = 0; i < EACH; ++i) {
                ConnectionPtr connection = numbered(static_cast<std::uint32_t>(p * EACH + i));
                if (process_new(connection) < 0)
                    ++refused;
            }
        });
    }
    for (std::thread& producer : producers)
        producer.join();
    EXPECT_EQ(refused, 0);
    const auto total = [] {
        int sum = 0;
        for (const int count : tally.served)
            sum += count;
        return sum;
    };
    {
        std::unique_lock lock(tally.mutex);
        ASSERT_TRUE(tally.cv.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return total() >= PRODUCERS * EACH && tally.ended == tally.started; }))
            << total() << " served";
        for (int id = 0; id < PRODUCERS * EACH; ++id)
            ASSERT_EQ(tally.served[static_cast<std::size_t>(id)], 1) << "connection " << id;
    }

    // Only the long-parked threads are left; each is stopped in turn.
    for (int stopped = 1; stopped <= PARKERS; ++stopped) {
        ConnectionPtr stop = numbered(STOP);
        ASSERT_GE(process_new(stop), 0);
        const auto ended = [&] {
            int count = 0;
            for (const auto& parker : parkers) {
                std::lock_guard lock(parker->mutex);
                count += parker->ended ? 1 : 0;
            }
            return count;
        };
        for (int spins = 0; ended() < stopped && spins < 12000; ++spins)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(ended(), stopped);
    }
    for (const auto& parker : parkers) {
        std::lock_guard lock(parker->mutex);
        EXPECT_TRUE(std::find(parker->served.begin(), parker->served.end(), STOP) == parker->served.end())
            << "a parked thread woke without a connection";
    }
    for (int spins = 0; report().size != before.size && spins < 2000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(report().size, before.size);
}

TEST_F(HandOver, ParkedThreadWithoutWorkFreesItsSlot)
{
    const statm_t before = report();
    auto parker = start_parker(0, 0);
    wait_ended(*parker);
    EXPECT_TRUE(parker->served.empty());
    const statm_t after = report();
    EXPECT_EQ(after.size, before.size);   // free again
    EXPECT_EQ(after.shared, before.shared);
}

TEST_F(HandOver, FullTableLeavesTheConnectionToTheCaller)
{
    MAXTHREADS = 1;   // only the main thread's slot
    logbuffer_clear(global->logbuffer.get());
    ConnectionPtr connection = numbered(104);
    EXPECT_EQ(process_new(connection), -1);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->id, 104u);
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    EXPECT_TRUE(buffered.empty());
}

TEST_F(HandOver, WithoutAParkedThreadTheConnectionEntryStartsOne)
{
    ASSERT_EQ(report().shared, 0u);   // no parked thread to take it

    // Before start-up has named the entry, no thread is started and the caller keeps it.
    threads_set_connection_entry(nullptr);
    ConnectionPtr kept = numbered(105);
    EXPECT_EQ(process_new(kept), -1);
    ASSERT_NE(kept, nullptr);

    threads_set_connection_entry(recording_entry);
    ConnectionPtr handed = numbered(106);
    EXPECT_GT(process_new(handed), 0);
    EXPECT_EQ(handed, nullptr);
    std::unique_lock lock(started.mutex);
    started.cv.wait(lock, [] { return started.ended; });
    EXPECT_EQ(started.id, 106u);
}

TEST_F(HandOver, ReportCountsUsedSlotsByState)
{
    MAXTHREADS = 40;
    const statm_t counts = report();
    EXPECT_EQ(counts.size, 39u);       // free
    EXPECT_EQ(counts.resident, 0u);    // serving
    EXPECT_EQ(counts.shared, 0u);      // idle
    EXPECT_EQ(counts.text, 1u);        // started: the main thread
    EXPECT_EQ(counts.lib, 0u);         // prefetching
}

TEST(KeepaliveWait, ShrinksWithSlotAndOverload)
{
    const int saved[] = {MAXTHREADS, CLIENT_POOL_TIMEOUT, overload_factor};
    struct Case {
        int maxthreads, pool_timeout, factor, slot, wait;
    };
    const Case cases[] = {
        {16384, 1, 1, 1, 0},          // the defaults: only input already there is served here
        {16384, 10, 1, 1, 9},
        {16384, 10, 1, 100, 9},
        {16384, 10, 1, 1000, 8},
        {16384, 10, 1, 5000, 5},
        {16384, 10, 4, 1000, 7},
        {16384, 10, 4, 5000, 3},
        {16384, 10, 0, 5000, 5},      // a factor below 1 counts as 1
        {16384, 10, -3, 1000, 8},
        {16384, 2000000, 1000000, 16383, 0},   // no overflow of 32 bits
        {16384, 2000000000, 1, 1, 1999755874},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maxthreads << " " << c.pool_timeout << " " << c.factor << " " << c.slot);
        MAXTHREADS = c.maxthreads;
        CLIENT_POOL_TIMEOUT = c.pool_timeout;
        overload_factor = c.factor;
        EXPECT_EQ(keepalive_wait(c.slot), c.wait);
    }
    MAXTHREADS = saved[0];
    CLIENT_POOL_TIMEOUT = saved[1];
    overload_factor = saved[2];
}

} // namespace
