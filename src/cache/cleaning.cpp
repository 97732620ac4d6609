// Cleaning keeps the mapped bytes inside the memory cache size and each store inside its size,
// oldest access first; object files are deleted by a service thread, never inside a request.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <unordered_set>

#include "cache/admission.h"
#include "cache/cache.h"
#include "cache/store.h"
#include "util/log.h"
#include "util/mem.h"

namespace {

unsigned percent(std::uint64_t used, std::uint64_t size)
{
    if (used == 0 || size == 0)
        return 0;
    return static_cast<unsigned>(static_cast<double>(used) / static_cast<double>(size) * 100.0);
}

} // namespace

void CacheSection::clean()
{
    const std::time_t interval = clean_interval();
    if (cleaning_)
        return;
    const std::time_t now = this->now();
    if (last_clean_ != 0 && now < last_clean_ + interval) {
        if (pressure_ == 0) {
            cache_holdoff_set(last_clean_ + interval + 120);
            if (mapped_bytes_ > values_.memory_size)
                putlog(LOG_ERROR,
                       "cache: memory: [objects:bytes max_size:free_extra - %d:%u %u:%u] can not clean for next %d seconds",
                       mapped_objects_, static_cast<unsigned>(mapped_bytes_), static_cast<unsigned>(values_.memory_size),
                       static_cast<unsigned>(values_.memory_extra), static_cast<int>(last_clean_ + interval - now));
            putlog(LOG_ALWAYS,
                   "cache: Memory cache size: %u bytes, Memory free extra: %u bytes maybe too less, if system has more "
                   "free memory - increase Memory cache size, else increase Memory free extra",
                   static_cast<unsigned>(values_.memory_size), static_cast<unsigned>(values_.memory_extra));
            for (const auto& store : stores_) {
                if (store->path.empty() || store->bytes <= store->size)
                    continue;
                putlog(LOG_ERROR, "cache: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%",
                       store->path.c_str(), store->objects, static_cast<unsigned long long>(store->bytes),
                       percent(store->bytes, store->size));
                putlog(LOG_ALWAYS, "cache: disk store %s is underdimensioned, please consider increasing it",
                       store->path.c_str());
            }
        }
        pressure_ = 1;
        return;
    }
    last_clean_ = now;
    putlog(LOG_CACHE, "cleaning triggered");
    cleaning_ = true;

    // One pass over the objects nobody holds, least recently used first.
    std::vector<CACHEMAP*> unheld;
    unheld.reserve(table_.size());
    for (const auto& [key, object] : table_)
        if (object->refs <= 0)
            unheld.push_back(object.get());
    const bool any = std::any_of(unheld.begin(), unheld.end(), [](const CACHEMAP* o) { return o->access != 0; });
    if (!any) {
        cache_holdoff_raise(now + interval + 120, now + interval + 60);
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cleaning_ = false;
        return;
    }
    for (const auto& store : stores_) {
        if (store->path.empty())
            continue;
        putlog(LOG_CACHE, "before cleaning: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%, diskfull: %d",
               store->path.c_str(), store->objects, static_cast<unsigned long long>(store->bytes),
               percent(store->bytes, store->size), store->disk_full ? 1 : 0);
        if (store->disk_full || store->bytes > store->size) {
            // Clamped at 0: a margin larger than what the store holds empties it, rather than
            // wrapping to a target no store reaches.
            if (store->margin > 9'999'999)
                store->clean_target = store->bytes > store->margin ? store->bytes - store->margin : 0;
            else
                store->clean_target = 10'000'000;
        } else {
            store->clean_target = store->size;
        }
    }
    putlog(LOG_CACHE, "before cleaning: memory: %d entries, bytes %u, used: %u%%", mapped_objects_,
           static_cast<unsigned>(mapped_bytes_), percent(mapped_bytes_, values_.memory_size));

    std::stable_sort(unheld.begin(), unheld.end(),
                     [](const CACHEMAP* a, const CACHEMAP* b) { return a->access < b->access; });
    for (CACHEMAP* object : unheld) {
        if ((object->flags & CACHE_DISCARD) != 0) {
            if (now - object->retrieved > 60) {
                ++object->refs;
                invalidate_unlocked(object);
            }
            continue;
        }
        const bool disk = (object->flags & CACHE_DISK) != 0;
        FATAL_ASSERT(disk || (object->flags & CACHE_MEM) != 0);
        FATAL_ASSERT(!disk || object->store != nullptr);
        if (disk) {
            Store* store = object->store;
            if (store->bytes > store->clean_target) {
                ++object->refs;
                invalidate_unlocked(object);
                continue;
            }
            store->disk_full = false;
            if ((object->flags & CACHE_MEM) != 0 && mapped_bytes_ > 0)
                mem_delete(object);
        } else if (mapped_bytes_ > 0) {
            ++object->refs;
            invalidate_unlocked(object);
        }
    }

    putlog(LOG_CACHE, "after cleaning: memory: %d entries, bytes %u, used: %u%%", mapped_objects_,
           static_cast<unsigned>(mapped_bytes_), percent(mapped_bytes_, values_.memory_size));
    if (mapped_bytes_ > memory_limit()) {
        cache_holdoff_set(now + interval + 120);
        pressure_ = 2;
        last_clean_ = now;
        putlog(LOG_ERROR,
               "cache: memory cache: underdimensioned, please consider increasing memory cache size, new responses "
               "after %d seconds will be cached",
               static_cast<int>(cache_holdoff() - now));
    } else {
        pressure_ = 0;
    }
    for (const auto& store : stores_) {
        if (store->path.empty())
            continue;
        putlog(LOG_CACHE, "after cleaning: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%, diskfull: %d",
               store->path.c_str(), store->objects, static_cast<unsigned long long>(store->bytes),
               percent(store->bytes, store->size), store->disk_full ? 1 : 0);
    }
    cleaning_ = false;
}

void CacheSection::disk_delete(CACHEMAP* object)
{
    Store* store = object->store;
    if (store == nullptr || (object->flags & CACHE_DISK) == 0)
        return;
    if (!store->path.empty())
        unlink_list_add(filename(*store, object->key));
    store->bytes -= std::min(store->bytes, object->size);
    if (store->objects > 0)
        --store->objects;
    object->flags &= ~CACHE_DISK;
}

void CacheSection::unlink_list_add(std::string path)
{
    std::lock_guard lock(unlink_mutex_);
    unlink_list_.push_back(std::move(path));
    unlink_wake_.notify_one();
}

void CacheSection::unlink_list_zap(const std::string& path)
{
    std::lock_guard lock(unlink_mutex_);
    const auto it = std::find(unlink_list_.begin(), unlink_list_.end(), path);
    if (it != unlink_list_.end())
        unlink_list_.erase(it);
}

std::vector<std::string> CacheSection::unlink_list()
{
    std::lock_guard lock(unlink_mutex_);
    return {unlink_list_.begin(), unlink_list_.end()};
}

void CacheSection::unlink_thread()
{
    std::unique_lock lock(unlink_mutex_);
    for (;;) {
        unlink_wake_.wait(lock, [this] { return !unlink_list_.empty(); });
        const std::string path = std::move(unlink_list_.front());
        const int count = static_cast<int>(unlink_list_.size());
        // Unlinked with the list's mutex held, so that a writer withdrawing the path waits until
        // the old file is gone before it creates the new one.
        const bool failed = ::unlink(path.c_str()) != 0;
        unlink_list_.pop_front();
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (failed)
            putlog(LOG_DEBUG, "error: cache: failed to delete file (1 of %d) %s", count, path.c_str());
        lock.lock();
    }
}

int CacheSection::unlink_pending()
{
    std::lock_guard lock(unlink_mutex_);
    return unlink_all();
}

int CacheSection::unlink_all()
{
    int deleted = 0;
    for (const std::string& path : unlink_list_)
        if (::unlink(path.c_str()) == 0)
            ++deleted;
    unlink_list_.clear();
    return deleted;
}

void CacheSection::force_clean()
{
    Lock lock(mutex_);
    for (auto it = table_.begin(); it != table_.end();) {
        CACHEMAP* object = it->second.get();
        ++it;
        if (object->refs > 0)
            continue;
        putlog(LOG_DEBUG, "cache: flushed %s from memory", object->key.c_str());
        remove(object);
    }
}

void CacheSection::sweep_orphans(Store* store)
{
    namespace fs = std::filesystem;
    {
        std::unordered_set<std::string> named;
        for (const auto& [key, object] : table_)
            if (object->store == store && (object->flags & CACHE_DISK) != 0)
                named.insert(filename(*store, object->key));
        {
            std::lock_guard pending(unlink_mutex_);
            for (const std::string& path : unlink_list_)
                named.insert(path);
        }
        std::error_code error;
        for (fs::directory_iterator dir(store->path, error), end; !error && dir != end; dir.increment(error)) {
            // Object files live in the two-hex-digit directories only.
            const std::string name = dir->path().filename().string();
            if (name.size() != 2 || !std::isxdigit(static_cast<unsigned char>(name[0])) ||
                !std::isxdigit(static_cast<unsigned char>(name[1])) || !dir->is_directory(error))
                continue;
            std::error_code inner;
            for (fs::directory_iterator file(dir->path(), inner), last; !inner && file != last; file.increment(inner)) {
                const std::string path = file->path().string();
                if (file->is_regular_file(inner) && named.count(path) == 0) {
                    putlog(LOG_DEBUG, "cache: orphaned file: %s", path.c_str());
                    ::unlink(path.c_str());
                }
            }
        }
    }
}

void* unlink_thread(void*)
{
    if (cache_section != nullptr)
        cache_section->unlink_thread();
    return nullptr;
}
