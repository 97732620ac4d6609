#include "core/processors.h"

#include <algorithm>

constinit Processors processors;
constinit Hooks hooks;
constinit Protocols protocols;

namespace {

// Appends {stage, callback} unless the callback is null or already registered at any stage.
template <class Entry, class Callback>
int add_once(CowList<Entry>& list, Callback callback, int stage)
{
    if (callback == nullptr)
        return 0;
    return list.change([&](std::vector<Entry>& entries) {
        if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.callback == callback; }))
            return false;
        entries.push_back(Entry{stage, callback});
        return true;
    }) ? 1 : 0;
}

// Removes the first entry whose `member` is `callback`.
template <class Entry, class Callback, class Member>
int remove_first(CowList<Entry>& list, Callback callback, Member member)
{
    return list.change([&](std::vector<Entry>& entries) {
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [&](const Entry& e) { return e.*member == callback; });
        if (it == entries.end())
            return false;
        entries.erase(it);
        return true;
    }) ? 1 : 0;
}

} // namespace

int Processors::Add(ProcessorCallback callback, int stage)
{
    return add_once(list_, callback, stage);
}

int Processors::Remove(ProcessorCallback callback)
{
    return remove_first(list_, callback, &Processor::callback);
}

int Processors::Execute(int stage, CONNECTION_T* connection, Filebuf* buffer) const
{
    const auto entries = list_.snapshot();
    if (!entries)
        return 0;
    const bool stops = processor_stage_stops(stage);
    int result = 0;
    for (const Processor& entry : *entries) {
        if (entry.stage != stage)
            continue;
        result = entry.callback(connection, buffer);
        if (stops && result == 1)
            break;
    }
    return result;
}

int Hooks::Add(HookCallback callback, int stage)
{
    return add_once(list_, callback, stage);
}

int Hooks::Remove(HookCallback callback)
{
    return remove_first(list_, callback, &Hook::callback);
}

int Hooks::Execute(int stage, void* a, void* b) const
{
    const auto entries = list_.snapshot();
    if (!entries)
        return 0;
    int result = 0;
    for (const Hook& entry : *entries) {
        if (entry.stage != stage)
            continue;
        result = entry.callback(a, b);
        if (result != 0)
            break;
    }
    return result;
}

int Protocols::Add(ProtocolHandler handler, std::string scheme)
{
    if (handler == nullptr)
        return 0;
    return list_.change([&](std::vector<Protocol>& entries) {
        if (std::any_of(entries.begin(), entries.end(), [&](const Protocol& e) { return e.handler == handler; }))
            return false;
        entries.push_back(Protocol{std::move(scheme), handler});
        return true;
    }) ? 1 : 0;
}

int Protocols::Remove(ProtocolHandler handler)
{
    return remove_first(list_, handler, &Protocol::handler);
}

int Protocols::Execute(std::string_view scheme, CONNECTION_T* connection) const
{
    const auto entries = list_.snapshot();
    if (!entries)
        return -1;
    for (const Protocol& entry : *entries) {
        if (entry.scheme == scheme)
            return entry.handler(connection);
    }
    return -1;
}
