#include "policy/password_cache.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "core/global.h"
#include "util/mem.h"
#include "core/options.h"
#include "core/timers.h"

namespace {

std::atomic<password_clock_t> password_clock{nullptr};

std::time_t password_now()
{
    const password_clock_t clock = password_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : std::time(nullptr);
}

std::list<PASSWORD_CACHE_ENTRY>& bucket_of(PASSWORD_CACHE_TABLE* table, std::string_view key)
{
    return table->buckets[static_cast<std::size_t>(password_cache_key(table->size, key))];
}

} // namespace

void password_cache_set_clock(password_clock_t clock)
{
    password_clock.store(clock, std::memory_order_relaxed);
}

std::unique_ptr<PASSWORD_CACHE_TABLE> password_cache_create(int buckets)
{
    auto table = std::make_unique<PASSWORD_CACHE_TABLE>();
    table->size = buckets < 1 ? 1 : buckets;
    table->buckets.resize(static_cast<std::size_t>(table->size));
    return table;
}

int password_cache_key(int buckets, std::string_view key)
{
    if (buckets < 1)
        return 0;
    std::uint32_t sum = 0;
    for (const char byte : key) {
        const int c = static_cast<signed char>(byte);
        sum += static_cast<std::uint32_t>(password_cachesize) + static_cast<std::uint32_t>(20 * c) +
               static_cast<std::uint32_t>(c >> 2) + static_cast<std::uint32_t>(c >> 4);
    }
    return static_cast<int>(sum % static_cast<std::uint32_t>(buckets));
}

PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, std::string_view key)
{
    FATAL_ASSERT(table != nullptr);
    // Byte for byte: a case variant of a good password is a different password.
    for (PASSWORD_CACHE_ENTRY& entry : bucket_of(table, key)) {
        if (entry.key == key)
            return &entry;
    }
    return nullptr;
}

PASSWORD_CACHE_ENTRY* password_cache_insert(PASSWORD_CACHE_TABLE* table, std::string_view key, int value)
{
    FATAL_ASSERT(table != nullptr);
    if (PASSWORD_CACHE_ENTRY* present = password_cache_search(table, key))
        return present;
    std::list<PASSWORD_CACHE_ENTRY>& bucket = bucket_of(table, key);
    bucket.push_back(PASSWORD_CACHE_ENTRY{password_now(), std::string(key), value});
    return &bucket.back();
}

void password_cache_purge(PASSWORD_CACHE_TABLE* table, std::string_view key)
{
    FATAL_ASSERT(table != nullptr);
    std::list<PASSWORD_CACHE_ENTRY>& bucket = bucket_of(table, key);
    for (auto it = bucket.begin(); it != bucket.end(); ++it) {
        if (it->key == key) {
            bucket.erase(it);
            return;
        }
    }
}

int password_cache_expire(PASSWORD_CACHE_TABLE* table, unsigned age)
{
    FATAL_ASSERT(table != nullptr);
    const std::time_t now = password_now();
    int removed = 0;
    for (std::list<PASSWORD_CACHE_ENTRY>& bucket : table->buckets) {
        removed += static_cast<int>(bucket.remove_if([now, age](const PASSWORD_CACHE_ENTRY& entry) {
            return static_cast<unsigned>(now - entry.time) >= age;
        }));
    }
    return removed;
}

int check_password_cache(std::string_view key)
{
    std::shared_lock lock(global->password_cache_lock);
    if (global->password_cache == nullptr)
        return 0;
    const PASSWORD_CACHE_ENTRY* entry = password_cache_search(global->password_cache.get(), key);
    return entry != nullptr ? entry->value : 0;
}

void update_password_cache(std::string_view key, int value)
{
    std::unique_lock lock(global->password_cache_lock);
    password_cache_purge(global->password_cache.get(), key);
    password_cache_insert(global->password_cache.get(), key, value);
}

void password_cache_schedule()
{
    static std::once_flag scheduled;
    if (global == nullptr || global->timers == nullptr)
        return;
    std::call_once(scheduled,
                   [] { timers_add(global->timers.get(), 60, TIMER_REPEAT, password_cache_clean, nullptr); });
}

void password_cache_clean(void*)
{
    std::unique_lock lock(global->password_cache_lock);
    password_cache_expire(global->password_cache.get(), static_cast<unsigned>(password_cachexpire));
}
