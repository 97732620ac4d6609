#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "util/hash.h"

namespace {

// The keys of one bucket, in chain order.
std::vector<std::string> bucket_keys(const HASH_TABLE& table, int bucket)
{
    std::vector<std::string> keys;
    for (const HASH_ENTRY& entry : table.buckets[bucket])
        keys.push_back(entry.key);
    return keys;
}

}  // namespace

TEST(HashKey, GivesTheDocumentedBuckets)
{
    using namespace std::literals;
    struct Case { int n; std::string_view key; int bucket; };
    const Case cases[] = {
        {8111, "ab", 3960},
        {8111, "a", 1970},
        {8111, "A", 1320},          // case counts: a different bucket from "a"
        {8111, "\xe9", 7643},       // the byte counts as -23, shifts keep the sign
        {8111, "", 0},
        {8111, "\x80", 5511},       // -2560 - 32 - 8 + 8111
        {256, "a", 10081 % 256},
        {104729, "ab", 20182},
        {1, "anything", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.key)) + " in " + std::to_string(c.n));
        EXPECT_EQ(hash_key(c.n, c.key), c.bucket);
    }
}

TEST(HashKey, SumWrapsAsUnsigned32Bits)
{
    // 'z' adds 122 * 20 + 30 + 7 + 8111 = 10588 per byte; 500,000 of them pass 2^32 once:
    // 5,294,000,000 - 4,294,967,296 = 999,032,704.
    const std::string key(500000, 'z');
    EXPECT_EQ(hash_key(1000003, key), static_cast<int>(999032704u % 1000003u));
}

TEST(HashTable, InsertSearchIgnoresCaseWithinABucket)
{
    auto table = hash_create(8111);
    HASH_ENTRY* entry = hash_insert(table.get(), "Example.ORG", std::string("10.0.0.1"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, "Example.ORG");
    EXPECT_EQ(entry->value, "10.0.0.1");
    EXPECT_EQ(entry->time, 0);
    EXPECT_EQ(hash_search(table.get(), "Example.ORG"), entry);
    EXPECT_EQ(hash_search(table.get(), "example.net"), nullptr);
    // In a table of one bucket every key meets every other: the comparison ignores case.
    auto single = hash_create(1);
    HASH_ENTRY* first = hash_insert(single.get(), "Host", std::string("x"));
    EXPECT_EQ(hash_search(single.get(), "hOST"), first);
    EXPECT_EQ(hash_search(single.get(), "Hos"), nullptr);
    EXPECT_EQ(hash_search(single.get(), "Hostt"), nullptr);
}

TEST(HashTable, KeysDifferingInCaseUsuallyMissEachOther)
{
    // "a" and "A" fall in different buckets of 8,111, so the case-free comparison never meets them.
    auto table = hash_create(8111);
    hash_insert(table.get(), "a", std::string("lower"));
    EXPECT_EQ(hash_search(table.get(), "A"), nullptr);
}

TEST(HashTable, InsertingAPresentKeyKeepsTheOldEntry)
{
    auto table = hash_create(16);
    HASH_ENTRY* entry = hash_insert(table.get(), "key", "old");
    entry->time = 12345;
    HASH_ENTRY* again = hash_insert(table.get(), "key", "new");
    EXPECT_EQ(again, entry);
    EXPECT_EQ(again->value, "old");
    EXPECT_EQ(again->time, 12345);
    EXPECT_EQ(table->buckets[hash_key(16, "key")].size(), 1u);
}

TEST(HashTable, ValuesOfAnyTypeAreOwnedAndReleased)
{
    auto value = std::make_shared<int>(7);
    std::weak_ptr<int> watch = value;
    auto table = hash_create<std::shared_ptr<int>>(16);
    hash_insert(table.get(), "tag", std::move(value));
    // A duplicate's value is dropped at once.
    auto duplicate = std::make_shared<int>(8);
    std::weak_ptr<int> watch_duplicate = duplicate;
    hash_insert(table.get(), "tag", std::move(duplicate));
    EXPECT_TRUE(watch_duplicate.expired());
    EXPECT_FALSE(watch.expired());
    hash_destroy(std::move(table));
    EXPECT_TRUE(watch.expired());
}

TEST(HashTable, PurgeKeepsTheRestOfTheBucketInOrder)
{
    struct Case { const char* removed; std::vector<std::string> left; };
    const Case cases[] = {
        {"one", {"two", "three", "four"}},     // head
        {"two", {"one", "three", "four"}},     // middle
        {"four", {"one", "two", "three"}},     // tail
        {"FOUR", {"one", "two", "three"}},     // without regard to case
        {"five", {"one", "two", "three", "four"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.removed);
        auto table = hash_create(1);
        for (const char* key : {"one", "two", "three", "four"})
            hash_insert(table.get(), key, std::string(key));
        hash_purge(table.get(), c.removed);
        EXPECT_EQ(bucket_keys(*table, 0), c.left);
        // The entries left are still found, and a new one goes to the tail.
        for (const std::string& key : c.left)
            EXPECT_NE(hash_search(table.get(), key), nullptr);
        hash_insert(table.get(), "last", std::string());
        EXPECT_EQ(bucket_keys(*table, 0).back(), "last");
    }
}

TEST(HashTable, ExpireRemovesEntriesAsOldAsTheAgeOrOlder)
{
    const std::time_t now = 1700000000;
    auto table = hash_create(8111);
    struct Stamp { const char* key; std::time_t time; bool kept; };
    const Stamp stamps[] = {
        {"exactly.example", now - 3600, false},
        {"older.example", now - 7200, false},
        {"never.stamped", 0, false},
        {"younger.example", now - 3599, true},
        {"now.example", now, true},
        {"future.example", now + 10, true},
    };
    for (const Stamp& s : stamps)
        hash_insert(table.get(), s.key, std::string("1.2.3.4"))->time = s.time;

    EXPECT_EQ(hash_expire(table.get(), 3600, now), 3);
    for (const Stamp& s : stamps) {
        SCOPED_TRACE(s.key);
        EXPECT_EQ(hash_search(table.get(), s.key) != nullptr, s.kept);
    }
    EXPECT_EQ(hash_expire(table.get(), 3600, now), 0);
}

TEST(HashTable, ExpireWithSmallClockValuesKeepsYoungEntries)
{
    // A clock that starts near the epoch (as injected clocks do) must not wipe young entries.
    auto table = hash_create(16);
    hash_insert(table.get(), "young", std::string("v"))->time = 100;
    hash_insert(table.get(), "unset", std::string("v"));
    EXPECT_EQ(hash_expire(table.get(), 3600, 200), 0);
    EXPECT_NE(hash_search(table.get(), "young"), nullptr);
    EXPECT_EQ(hash_expire(table.get(), 3600, 3700), 2);
}

TEST(HashTable, BucketsListEntriesInInsertionOrder)
{
    auto table = hash_create(1);
    for (const char* key : {"c", "a", "b"})
        hash_insert(table.get(), key, std::string());
    EXPECT_EQ(bucket_keys(*table, 0), (std::vector<std::string>{"c", "a", "b"}));
}

// The fatal assertion ends the process through the shutdown path, whose exit status is not the
// point here: only that the process does not go on.
static bool any_status(int) { return true; }

TEST(HashTableDeath, NullTableOrNoBucketsIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(hash_search<std::string>(nullptr, "x"), any_status, "");
    EXPECT_EXIT(hash_insert<std::string>(nullptr, "x", "v"), any_status, "");
    EXPECT_EXIT(hash_create(0), any_status, "");
}
