// The object cache: objects in memory and on disk, keyed by the request URL.
#pragma once

#include <ctime>
#include <mutex>

// One cached object.
struct CACHEMAP {
    std::time_t retrieved = 0;   // cache clock: when it was fetched or last revalidated
};

class CacheSection {
public:
    void mutex_lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Null until the configuration creates the section.
extern CacheSection* cache_section;
