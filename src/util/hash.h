// The general chained hash table: a fixed number of buckets of time-stamped entries whose keys
// and values the table owns. It does no locking: every user guards its table with its own lock.
//
// The DNS cache keeps host name -> dotted address text (HASH_TABLE, string values); other users
// may keep any movable value type through HashTableOf<Value>.
#pragma once

#include <cstddef>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/mem.h"

// The bucket of a key among n (n > 0): the sum over the key's bytes c, each taken as a signed
// 8-bit value, of 20c + (c >> 2) + (c >> 4) + 8111 in unsigned 32-bit arithmetic, modulo n.
// An empty key is bucket 0. The index depends on the exact bytes, case included.
int hash_key(int n, std::string_view key);

// ASCII comparison without regard to case, as the table compares its keys.
bool hash_key_equal(std::string_view a, std::string_view b);

template <class Value>
struct HashEntryOf {
    std::time_t time = 0;   // seconds since the epoch, set by the user; 0 when inserted
    std::string key;
    Value value;
};

template <class Value>
struct HashTableOf {
    explicit HashTableOf(int n) : size(n), buckets(static_cast<std::size_t>(n)) {}

    const int size;
    // Each bucket lists its entries in insertion order; entries never move while they stay in
    // the table, so a pointer returned by a lookup remains valid until the entry is removed.
    std::vector<std::list<HashEntryOf<Value>>> buckets;
};

using HASH_TABLE = HashTableOf<std::string>;
using HASH_ENTRY = HashEntryOf<std::string>;

// A table of n empty buckets; n must be positive.
template <class Value = std::string>
std::unique_ptr<HashTableOf<Value>> hash_create(int n)
{
    FATAL_ASSERT(n > 0);
    return std::make_unique<HashTableOf<Value>>(n);
}

// The entry whose key equals `key` without regard to case, searching only the key's bucket;
// null when there is none.
template <class Value>
HashEntryOf<Value>* hash_search(HashTableOf<Value>* table, std::string_view key)
{
    FATAL_ASSERT(table != nullptr);
    for (HashEntryOf<Value>& entry : table->buckets[hash_key(table->size, key)]) {
        if (hash_key_equal(entry.key, key))
            return &entry;
    }
    return nullptr;
}

// Appends a new entry (key copied, value taken over, time 0) at the tail of the key's bucket and
// returns it. When the key is present already, the given value is dropped and the existing entry
// is returned unchanged: its value and time stay.
template <class Value>
HashEntryOf<Value>* hash_insert(HashTableOf<Value>* table, std::string_view key, std::type_identity_t<Value> value)
{
    FATAL_ASSERT(table != nullptr);
    auto& bucket = table->buckets[hash_key(table->size, key)];
    for (HashEntryOf<Value>& entry : bucket) {
        if (hash_key_equal(entry.key, key))
            return &entry;
    }
    bucket.push_back(HashEntryOf<Value>{0, std::string(key), std::move(value)});
    return &bucket.back();
}

// Removes the entry with the key, if any.
template <class Value>
void hash_purge(HashTableOf<Value>* table, std::string_view key)
{
    FATAL_ASSERT(table != nullptr);
    auto& bucket = table->buckets[hash_key(table->size, key)];
    for (auto it = bucket.begin(); it != bucket.end(); ++it) {
        if (hash_key_equal(it->key, key)) {
            bucket.erase(it);
            return;
        }
    }
}

// Removes every entry whose time is not later than now - age (seconds) and returns how many went.
// An entry whose time was never set (0) goes at any expiry made at a real clock time; `now` is
// the caller's clock, the system clock by default.
template <class Value>
int hash_expire(HashTableOf<Value>* table, int age, std::time_t now = std::time(nullptr))
{
    FATAL_ASSERT(table != nullptr);
    const std::time_t cutoff = now - age;
    int removed = 0;
    for (auto& bucket : table->buckets) {
        removed += static_cast<int>(
            bucket.remove_if([cutoff](const HashEntryOf<Value>& entry) { return entry.time <= cutoff; }));
    }
    return removed;
}

// Frees every entry with its key and value, and the table.
template <class Value>
void hash_destroy(std::unique_ptr<HashTableOf<Value>> table)
{
    FATAL_ASSERT(table != nullptr);
}
