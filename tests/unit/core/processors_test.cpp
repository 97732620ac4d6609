#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "util/filebuf.h"
#include "core/processors.h"

namespace {

// Which callbacks ran, in order, with what they were given. The callbacks are plain function
// pointers, so they report through this one record; only the concurrency test calls from
// several threads, and its callbacks do not touch it.
struct Trace {
    std::vector<int> calls;
    std::vector<const void*> first, second;
    void clear() { *this = Trace{}; }
};
Trace trace;

template <int Id, int Result>
int proc(CONNECTION_T* connection, Filebuf* buffer)
{
    trace.calls.push_back(Id);
    trace.first.push_back(connection);
    trace.second.push_back(buffer);
    return Result;
}

template <int Id, int Result>
int hook(void* a, void* b)
{
    trace.calls.push_back(Id);
    trace.first.push_back(a);
    trace.second.push_back(b);
    return Result;
}

template <int Id, int Result>
int handler(CONNECTION_T* connection)
{
    trace.calls.push_back(Id);
    trace.first.push_back(connection);
    return Result;
}

// Connections are only passed through, so any distinct address stands for one.
alignas(16) char connection_storage[16];
CONNECTION_T* const dummy_connection = reinterpret_cast<CONNECTION_T*>(connection_storage);

class StageRegistry : public testing::Test {
protected:
    void SetUp() override { trace.clear(); }
};

} // namespace

TEST_F(StageRegistry, ProcessorsRunTheirStageInRegistrationOrder)
{
    Processors p;
    EXPECT_EQ(p.Add(proc<1, 0>, STAGE_RESPONSE_MODIFY), 1);
    EXPECT_EQ(p.Add(proc<2, 0>, STAGE_REQUEST_CHECK), 1);
    EXPECT_EQ(p.Add(proc<3, 7>, STAGE_RESPONSE_MODIFY), 1);
    EXPECT_EQ(p.Add(proc<4, 0>, STAGE_RESPONSE_MODIFY), 1);
    Filebuf body;

    EXPECT_EQ(p.Execute(STAGE_RESPONSE_MODIFY, dummy_connection, &body), 0);   // the last answer
    EXPECT_EQ(trace.calls, (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(trace.first, (std::vector<const void*>(3, dummy_connection)));
    EXPECT_EQ(trace.second, (std::vector<const void*>(3, &body)));

    trace.clear();
    EXPECT_EQ(p.Execute(STAGE_AUTH, dummy_connection, &body), 0);   // nothing registered there
    EXPECT_TRUE(trace.calls.empty());
    EXPECT_EQ(Processors{}.Execute(STAGE_REQUEST_CHECK, nullptr, nullptr), 0);
}

TEST_F(StageRegistry, CheckingStagesStopAtTheFirstOne)
{
    struct Case { int stage; std::vector<int> calls; int result; };
    const Case cases[] = {
        {STAGE_REQUEST_CHECK, {1}, 1},
        {STAGE_REQUEST_MODIFY, {1}, 1},
        {STAGE_RESPONSE_CHECK, {1}, 1},
        {STAGE_RESPONSE_MODIFY, {1, 2}, 0},    // modifications all run; the last answer counts
        {STAGE_BUFFER_CHECK, {1}, 1},
        {STAGE_REQUEST_HEADER, {1, 2}, 0},
        {STAGE_RESPONSE_HEADER, {1, 2}, 0},
        {STAGE_AUTH, {1}, 1},
        {8, {1, 2}, 0},                        // a stage the core never runs has no stop rule
        {-1, {1, 2}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("stage " + std::to_string(c.stage));
        Processors p;
        p.Add(proc<1, 1>, c.stage);
        p.Add(proc<2, 0>, c.stage);
        trace.clear();
        EXPECT_EQ(p.Execute(c.stage, nullptr, nullptr), c.result);
        EXPECT_EQ(trace.calls, c.calls);
    }
}

TEST_F(StageRegistry, OnlyAnAnswerOfExactlyOneStopsAProcessorStage)
{
    Processors p;
    p.Add(proc<1, 2>, STAGE_RESPONSE_CHECK);
    p.Add(proc<2, -1>, STAGE_RESPONSE_CHECK);
    p.Add(proc<3, 0>, STAGE_RESPONSE_CHECK);
    EXPECT_EQ(p.Execute(STAGE_RESPONSE_CHECK, nullptr, nullptr), 0);
    EXPECT_EQ(trace.calls, (std::vector<int>{1, 2, 3}));
}

TEST_F(StageRegistry, ACallbackIsRegisteredOnceAtItsFirstStage)
{
    Processors p;
    EXPECT_EQ(p.Add(proc<1, 0>, STAGE_REQUEST_HEADER), 1);
    EXPECT_EQ(p.Add(proc<1, 0>, STAGE_REQUEST_HEADER), 0);
    EXPECT_EQ(p.Add(proc<1, 0>, STAGE_RESPONSE_HEADER), 0);
    EXPECT_EQ(p.Add(nullptr, STAGE_RESPONSE_HEADER), 0);
    p.Execute(STAGE_RESPONSE_HEADER, nullptr, nullptr);
    EXPECT_TRUE(trace.calls.empty());
    p.Execute(STAGE_REQUEST_HEADER, nullptr, nullptr);
    EXPECT_EQ(trace.calls, (std::vector<int>{1}));
}

TEST_F(StageRegistry, RemoveTakesTheCallbackOutAndFreesItForAnotherStage)
{
    Processors p;
    p.Add(proc<1, 0>, STAGE_RESPONSE_MODIFY);
    p.Add(proc<2, 0>, STAGE_RESPONSE_MODIFY);
    p.Add(proc<3, 0>, STAGE_RESPONSE_MODIFY);
    EXPECT_EQ(p.Remove(proc<2, 0>), 1);
    EXPECT_EQ(p.Remove(proc<2, 0>), 0);
    EXPECT_EQ(p.Remove(proc<4, 0>), 0);
    p.Execute(STAGE_RESPONSE_MODIFY, nullptr, nullptr);
    EXPECT_EQ(trace.calls, (std::vector<int>{1, 3}));

    EXPECT_EQ(p.Add(proc<2, 0>, STAGE_REQUEST_HEADER), 1);   // back, at the end of the list
    EXPECT_EQ(p.Add(proc<1, 0>, STAGE_RESPONSE_MODIFY), 0);
    trace.clear();
    p.Execute(STAGE_REQUEST_HEADER, nullptr, nullptr);
    EXPECT_EQ(trace.calls, (std::vector<int>{2}));
}

TEST_F(StageRegistry, HooksStopAtTheFirstNonZeroAnswerInEveryStage)
{
    // Hook stage 2 takes any non-zero answer as a take-over: a later hook answering 0 must not
    // hide it.
    struct Case { int stage; int (*first)(void*, void*); std::vector<int> calls; int result; };
    const Case cases[] = {
        {HOOK_STARTUP, hook<1, 0>, {1, 2, 3}, 0},
        {HOOK_PRE_RESPONSE, hook<1, 1>, {1}, 1},
        {HOOK_POST_RESPONSE, hook<1, 1>, {1}, 1},
        {HOOK_POST_RESPONSE, hook<1, 2>, {1}, 2},
        {HOOK_POST_RESPONSE, hook<1, -1>, {1}, -1},
        {HOOK_POST_RESPONSE, hook<1, 0>, {1, 2, 3}, 0},
    };
    int a = 0, b = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("stage " + std::to_string(c.stage));
        Hooks h;
        EXPECT_EQ(h.Add(c.first, c.stage), 1);
        EXPECT_EQ(h.Add(hook<2, 0>, c.stage), 1);
        EXPECT_EQ(h.Add(hook<3, 0>, c.stage), 1);
        EXPECT_EQ(h.Add(hook<4, 5>, c.stage + 1), 1);   // another stage's hook is never called
        trace.clear();
        EXPECT_EQ(h.Execute(c.stage, &a, &b), c.result);
        EXPECT_EQ(trace.calls, c.calls);
        EXPECT_EQ(trace.first, std::vector<const void*>(c.calls.size(), &a));
        EXPECT_EQ(trace.second, std::vector<const void*>(c.calls.size(), &b));
    }
}

TEST_F(StageRegistry, HooksRegisterOnceAndRemove)
{
    Hooks h;
    EXPECT_EQ(h.Execute(HOOK_STARTUP, nullptr, nullptr), 0);
    EXPECT_EQ(h.Add(hook<1, 0>, HOOK_STARTUP), 1);
    EXPECT_EQ(h.Add(hook<1, 0>, HOOK_PRE_RESPONSE), 0);
    EXPECT_EQ(h.Add(nullptr, HOOK_PRE_RESPONSE), 0);
    EXPECT_EQ(h.Execute(HOOK_PRE_RESPONSE, nullptr, nullptr), 0);
    EXPECT_TRUE(trace.calls.empty());
    EXPECT_EQ(h.Remove(hook<1, 0>), 1);
    EXPECT_EQ(h.Remove(hook<1, 0>), 0);
    EXPECT_EQ(h.Execute(HOOK_STARTUP, nullptr, nullptr), 0);
    EXPECT_TRUE(trace.calls.empty());
}

TEST_F(StageRegistry, ProtocolsMatchTheSchemeExactly)
{
    Protocols p;
    EXPECT_EQ(p.Execute("gopher", dummy_connection), -1);   // empty registry
    EXPECT_EQ(p.Add(handler<1, 10>, "gopher"), 1);
    EXPECT_EQ(p.Add(handler<2, 20>, "wais"), 1);
    EXPECT_EQ(p.Add(handler<3, 30>, "gopher"), 1);   // shadowed by the first "gopher"
    EXPECT_EQ(p.Add(handler<1, 10>, "news"), 0);     // a handler is registered once
    EXPECT_EQ(p.Add(nullptr, "news"), 0);

    using namespace std::literals;
    struct Case { std::string_view scheme; int result; std::vector<int> calls; };
    const Case cases[] = {
        {"gopher", 10, {1}},
        {"wais", 20, {2}},
        {"GOPHER", -1, {}},
        {"Wais", -1, {}},
        {"gophe", -1, {}},
        {"gophers", -1, {}},
        {"gopher\0"sv, -1, {}},   // the length counts, not a terminator
        {"", -1, {}},
        {"news", -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.scheme)));
        trace.clear();
        EXPECT_EQ(p.Execute(c.scheme, dummy_connection), c.result);
        EXPECT_EQ(trace.calls, c.calls);
        if (!c.calls.empty()) {
            EXPECT_EQ(trace.first.front(), dummy_connection);
        }
    }

    EXPECT_EQ(p.Remove(handler<1, 10>), 1);
    EXPECT_EQ(p.Remove(handler<1, 10>), 0);
    trace.clear();
    EXPECT_EQ(p.Execute("gopher", nullptr), 30);   // the second registration shows through
    EXPECT_EQ(trace.calls, (std::vector<int>{3}));
}

TEST_F(StageRegistry, TheProcessWideRegistriesStartEmpty)
{
    EXPECT_EQ(processors.Execute(STAGE_REQUEST_CHECK, nullptr, nullptr), 0);
    EXPECT_EQ(hooks.Execute(HOOK_STARTUP, nullptr, nullptr), 0);
    EXPECT_EQ(protocols.Execute("http", nullptr), -1);
}

namespace {

std::atomic<int> steady_calls{0};
int steady(CONNECTION_T*, Filebuf*)
{
    steady_calls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
int churn_a(CONNECTION_T*, Filebuf*) { return 0; }
int churn_b(CONNECTION_T*, Filebuf*) { return 0; }

} // namespace

TEST_F(StageRegistry, LateRegistrationsDoNotDisturbRunningStages)
{
    // Connection threads run a stage while a module or the ICAP section registers and removes
    // callbacks; every run must see a whole list (the steady callback exactly once) and no list
    // may be freed under a reader (AddressSanitizer reports that).
    Processors p;
    p.Add(churn_a, STAGE_RESPONSE_MODIFY);
    p.Add(steady, STAGE_RESPONSE_MODIFY);
    constexpr int READERS = 3, RUNS = 20000, CHANGES = 2000;
    std::atomic<bool> ready{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < READERS; ++i) {
        readers.emplace_back([&] {
            while (!ready.load())
                std::this_thread::yield();
            for (int run = 0; run < RUNS; ++run)
                p.Execute(STAGE_RESPONSE_MODIFY, nullptr, nullptr);
        });
    }
    ready = true;
    for (int i = 0; i < CHANGES; ++i) {
        p.Add(churn_b, STAGE_RESPONSE_MODIFY);
        p.Remove(churn_a);
        p.Add(churn_a, STAGE_RESPONSE_MODIFY);
        p.Remove(churn_b);
    }
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(steady_calls.load(), READERS * RUNS);
}
