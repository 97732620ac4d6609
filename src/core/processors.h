// The stage registries: the core runs the callbacks that sections and modules register at
// numbered stages of the request road, and the handlers modules register for URL schemes.
//
// Readers (every connection thread) take no lock: each run walks one immutable snapshot of its
// registry. A registration replaces the snapshot whole, so one made while the proxy serves (a
// module, or the ICAP section's first rule) never disturbs a stage that is running; that run
// finishes on the list it started with, and the next run sees the change.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct CONNECTION_T;
class Filebuf;

enum ProcessorStage : int {
    STAGE_REQUEST_CHECK = 0,     // before the cache lookup; 1: blocked, page already sent
    STAGE_REQUEST_MODIFY = 1,    // request body; 1: answered through the response slot
    STAGE_RESPONSE_CHECK = 2,    // buffered response body; 1: blocked, page already sent
    STAGE_RESPONSE_MODIFY = 3,   // buffered response body, changed in place
    STAGE_BUFFER_CHECK = 4,      // no buffer; 1: the body must be buffered
    STAGE_REQUEST_HEADER = 5,    // raw request header text, terminating zero counted in its size
    STAGE_RESPONSE_HEADER = 6,   // raw response header text, the same
    STAGE_AUTH = 7,              // request body; 1: answered through the response slot
};

enum HookStage : int {
    HOOK_STARTUP = 0,            // once, after the configuration was loaded; two nulls
    HOOK_PRE_RESPONSE = 1,       // connection and buffered body, before the response stages
    HOOK_POST_RESPONSE = 2,      // the same, after them
};

using ProcessorCallback = int (*)(CONNECTION_T*, Filebuf*);
using HookCallback = int (*)(void*, void*);
using ProtocolHandler = int (*)(CONNECTION_T*);

struct Processor {
    int stage;
    ProcessorCallback callback;
};

struct Hook {
    int stage;
    HookCallback callback;
};

struct Protocol {
    std::string scheme;
    ProtocolHandler handler;
};

// An ordered list that readers walk without a lock while rare writers replace it whole.
//
// Registrations are few (the sections at start-up, a module, the ICAP section's first rule), so
// every list ever published is kept until the registry goes: a reader loads one plain pointer,
// with no reference count to bump. A counted snapshot made every stage of every request contend
// on the shared pointer's internal lock.
template <class Entry>
class CowList {
public:
    using Snapshot = const std::vector<Entry>*;

    constexpr CowList() noexcept = default;
    CowList(const CowList&) = delete;
    CowList& operator=(const CowList&) = delete;

    // Null while nothing was ever registered; valid as long as the registry.
    Snapshot snapshot() const noexcept { return current_.load(std::memory_order_acquire); }

    // Calls change(std::vector<Entry>&) on a copy of the list and publishes the copy when it
    // answers true. Writers are serialised, so none loses another's change.
    template <class Change>
    bool change(Change&& change)
    {
        std::lock_guard lock(writer_);
        const Snapshot current = current_.load(std::memory_order_relaxed);
        auto next = current ? std::make_unique<std::vector<Entry>>(*current) : std::make_unique<std::vector<Entry>>();
        if (!std::forward<Change>(change)(*next))
            return false;
        kept_.push_back(std::move(next));
        current_.store(kept_.back().get(), std::memory_order_release);
        return true;
    }

private:
    std::mutex writer_;
    std::vector<std::unique_ptr<const std::vector<Entry>>> kept_;
    std::atomic<Snapshot> current_{nullptr};
};

class Processors {
public:
    constexpr Processors() noexcept = default;

    // Appends {stage, callback}: 1. A callback already registered at any stage, or a null one,
    // is refused: 0, nothing changes.
    int Add(ProcessorCallback callback, int stage);
    // Removes the first entry of the callback: 1, or 0 when there is none.
    int Remove(ProcessorCallback callback);
    // Calls the stage's callbacks in registration order. In the checking stages (0, 1, 2, 4, 7)
    // the first that answers 1 ends the run. The last answer, or 0 when none was called.
    int Execute(int stage, CONNECTION_T* connection, Filebuf* buffer) const;

private:
    CowList<Processor> list_;
};

class Hooks {
public:
    constexpr Hooks() noexcept = default;

    // As for Processors.
    int Add(HookCallback callback, int stage);
    int Remove(HookCallback callback);
    // Calls the stage's hooks in registration order; the first non-zero answer ends the run, so
    // a hook that took over the body is never overruled by a later one. The last answer, or 0
    // when none was called.
    int Execute(int stage, void* a, void* b) const;

private:
    CowList<Hook> list_;
};

class Protocols {
public:
    constexpr Protocols() noexcept = default;

    // Appends {scheme, handler}: 1. A handler already registered, or a null one, is refused: 0.
    int Add(ProtocolHandler handler, std::string scheme);
    // Removes the first entry of the handler: 1, or 0 when there is none.
    int Remove(ProtocolHandler handler);
    // The answer of the first handler whose scheme equals `scheme` byte for byte (case counts),
    // or -1 when no entry matches.
    int Execute(std::string_view scheme, CONNECTION_T* connection) const;

private:
    CowList<Protocol> list_;
};

// Whether a run of the processor stage ends at the first callback that answers 1.
constexpr bool processor_stage_stops(int stage)
{
    return stage >= 0 && stage < 8 && ((0x97u >> stage) & 1u) != 0;
}

// The process-wide registries, empty before start-up.
extern Processors processors;
extern Hooks hooks;
extern Protocols protocols;
