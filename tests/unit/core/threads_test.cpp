#include <array>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include "core/global.h"
#include "util/log.h"
#include "core/options.h"
#include "core/threads.h"

namespace {

// A thread started through the table: it reports its slot and client id, waits until the test
// lets it go, then frees its slot and says so as its last act on shared test state.
struct Probe {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false, release = false, done = false;
    int slot = -1;
    std::uint32_t clientid = 0;
    std::uint32_t set_clientid = 0;   // given to the thread
    std::uint32_t seen_clientid = 0;  // what it read back after setting it
};

void* probe_thread(void* data)
{
    std::unique_ptr<std::shared_ptr<Probe>> holder(static_cast<std::shared_ptr<Probe>*>(data));
    const std::shared_ptr<Probe> probe = *holder;
    std::unique_lock lock(probe->mutex);
    probe->slot = thread_find();
    probe->clientid = thread_get_clientid();
    thread_set_clientid(probe->set_clientid);
    probe->seen_clientid = thread_get_clientid();
    probe->started = true;
    probe->cv.notify_all();
    probe->cv.wait(lock, [&] { return probe->release; });
    {
        std::lock_guard table(threadlistlock);
        threads[probe->slot].state = THREAD_FREE;
    }
    probe->done = true;
    probe->cv.notify_all();
    return nullptr;
}

class Started {
public:
    explicit Started(std::uint32_t clientid = 0) : probe_(std::make_shared<Probe>()) { probe_->set_clientid = clientid; }
    ~Started() { finish(); }

    // Starts the thread through `create`; on failure the argument stays ours and is freed.
    int start(int (*create)(ThreadStart, void*))
    {
        auto holder = std::make_unique<std::shared_ptr<Probe>>(probe_);
        arg_ = holder.get();
        const int index = create(probe_thread, arg_);
        if (index >= 0)
            holder.release();
        return index;
    }
    void* arg() const { return arg_; }

    const Probe& wait_started()
    {
        std::unique_lock lock(probe_->mutex);
        probe_->cv.wait(lock, [&] { return probe_->started; });
        return *probe_;
    }

    void finish()
    {
        std::unique_lock lock(probe_->mutex);
        if (!probe_->started)
            return;
        probe_->release = true;
        probe_->cv.notify_all();
        probe_->cv.wait(lock, [&] { return probe_->done; });
    }

private:
    std::shared_ptr<Probe> probe_;
    void* arg_ = nullptr;
};

std::array<int, 5> slot_counts()
{
    std::array<int, 5> counts{};
    std::lock_guard lock(threadlistlock);
    for (int i = 0; i < MAXTHREADS; ++i)
        ++counts[static_cast<std::size_t>(threads[i].state.load())];
    return counts;
}

std::string newest_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

std::string message_of(const std::string& line)
{
    const std::size_t id = line.find("] ");
    return id == std::string::npos ? line : line.substr(id + 2);
}

// The settings a test changes, put back when it ends.
class ThreadTable : public testing::Test {
protected:
    void TearDown() override
    {
        MAXTHREADS = saved_maxthreads_;
        max_opt_stack = saved_stack_;
    }

private:
    const int saved_maxthreads_ = MAXTHREADS;
    const long saved_stack_ = max_opt_stack;
};

TEST_F(ThreadTable, MainThreadHoldsSlotZero)
{
    EXPECT_EQ(thread_find(), 0);
    EXPECT_EQ(thread_get_clientid(), 0u);
    std::lock_guard lock(threadlistlock);
    EXPECT_EQ(threads[0].state, THREAD_STARTED);
}

TEST_F(ThreadTable, NewThreadsTakeTheLowestFreeSlots)
{
    Started first(11), second(22);
    const int a = first.start(thread_create);
    const int b = second.start(thread_create_internal);
    ASSERT_EQ(a, 1);
    ASSERT_EQ(b, 2);
    EXPECT_EQ(first.wait_started().slot, 1);
    EXPECT_EQ(second.wait_started().slot, 2);
    {
        std::lock_guard lock(threadlistlock);
        EXPECT_EQ(threads[1].state, THREAD_STARTED);
        EXPECT_EQ(threads[1].requests, 0);
    }

    first.finish();
    Started third(33);
    EXPECT_EQ(third.start(thread_create), 1);
    EXPECT_EQ(third.wait_started().slot, 1);
    {
        std::lock_guard lock(threadlistlock);
        EXPECT_EQ(static_cast<void*>(threads[1].arg), third.arg());
    }
}

TEST_F(ThreadTable, ClientIdBelongsToEachThread)
{
    thread_set_clientid(7);
    Started other(99);
    ASSERT_GE(other.start(thread_create), 0);
    const Probe& probe = other.wait_started();
    EXPECT_EQ(probe.clientid, 0u);        // a new thread starts with client id 0
    EXPECT_EQ(probe.seen_clientid, 99u);
    EXPECT_EQ(thread_get_clientid(), 7u);
    {
        std::lock_guard lock(threadlistlock);
        EXPECT_EQ(threads[probe.slot].clientid, 99u);
    }
    thread_set_clientid(0);
}

TEST_F(ThreadTable, FullTableIsReportedOnlyForServiceThreads)
{
    MAXTHREADS = 1;    // -t 1: only the main thread has a slot
    logbuffer_clear(global->logbuffer.get());
    Started service, connection;
    EXPECT_EQ(service.start(thread_create_internal), -1);
    EXPECT_EQ(message_of(newest_line()), "advice: error: increase MAXTHREADS: 1 maybe inadequate");

    logbuffer_clear(global->logbuffer.get());
    EXPECT_EQ(connection.start(thread_create), -1);
    EXPECT_EQ(newest_line(), "");
}

TEST_F(ThreadTable, FailedCreationLeavesNoSlotTaken)
{
    const auto before = slot_counts();
    max_opt_stack = 1;    // below any stack the system accepts
    Started never;
    EXPECT_EQ(never.start(thread_create), -1);
    EXPECT_EQ(message_of(newest_line()),
              "error: [system: pthread_attr_setstacksize:22:Invalid argument], in thread_create, "
              "failed to set thread stack_size: 1");
    EXPECT_EQ(slot_counts(), before);
}

TEST_F(ThreadTable, ThreadWithoutSlotIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);    // the notice is not this test's output
            std::thread outsider([] { thread_find(); });
            outsider.join();
        },
        testing::ExitedWithCode(1), "");
}

TEST_F(ThreadTable, ResourceTotalsAddTheThreadsOwnUsage)
{
    rusage before{};
    {
        std::lock_guard lock(global->mutex);
        before = global->usage;
    }
    std::thread worker([] {
        // Fresh pages: each first touch is a minor fault of this thread.
        constexpr std::size_t size = 64 * 4096;
        void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memset(pages, 1, size);
        munmap(pages, size);
        rusage_update();
    });
    // rusage_update logs nothing and needs no slot, so a plain thread may call it.
    worker.join();
    rusage process{};
    getrusage(RUSAGE_SELF, &process);
    std::lock_guard lock(global->mutex);
    const long added = global->usage.ru_minflt - before.ru_minflt;
    EXPECT_GE(added, 64);
    EXPECT_LT(added, process.ru_minflt / 2) << "the whole process's faults were added";
    EXPECT_LT(global->usage.ru_utime.tv_usec, 1000000);
    EXPECT_LT(global->usage.ru_stime.tv_usec, 1000000);
}

} // namespace
