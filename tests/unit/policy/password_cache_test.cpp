#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "core/global.h"
#include "core/options.h"
#include "policy/password_cache.h"
#include "core/timers.h"

namespace {

std::time_t fake_now = 1000000;
std::time_t fake_clock() { return fake_now; }

class PasswordCache : public testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1000000;
        password_cache_set_clock(fake_clock);
        saved_size_ = password_cachesize;
        saved_age_ = password_cachexpire;
        global->password_cache = password_cache_create(password_cachesize);
    }
    void TearDown() override
    {
        password_cache_set_clock(nullptr);
        password_cachesize = saved_size_;
        password_cachexpire = saved_age_;
        global->password_cache = password_cache_create(password_cachesize);
    }

private:
    int saved_size_ = 0;
    int saved_age_ = 0;
};

TEST_F(PasswordCache, BucketOfAKey)
{
    struct Case { int cachesize; int buckets; std::string key; int bucket; };
    const Case cases[] = {
        {100, 100, "", 0},
        // 'a' = 97: 100 + 1940 + 24 + 6 = 2070.
        {100, 100, "a", 70},
        {100, 7, "a", 2070 % 7},
        // The size setting takes part in the sum even when the table has another bucket count.
        {50, 100, "a", 20},
        // A byte above 0x7F counts negative, and shifts keep its sign: 100 - 20 - 1 - 1 = 78.
        {100, 100, "\xff", 78},
        // "ab": 2070 + (100 + 1960 + 24 + 6) = 4160.
        {100, 1000, "ab", 160},
        {100, 0, "ab", 0},
        {100, -3, "ab", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.key) + " in " + std::to_string(c.buckets));
        password_cachesize = c.cachesize;
        EXPECT_EQ(password_cache_key(c.buckets, c.key), c.bucket);
    }
}

TEST_F(PasswordCache, TableWithoutBucketsStillHoldsKeys)
{
    for (const int buckets : {0, -1}) {
        auto table = password_cache_create(buckets);
        EXPECT_EQ(table->size, 1);
        ASSERT_NE(password_cache_insert(table.get(), "alice:secret", PASSWORD_GOOD), nullptr);
        EXPECT_NE(password_cache_search(table.get(), "alice:secret"), nullptr);
    }
}

TEST_F(PasswordCache, KeysCompareByteForByte)
{
    auto table = password_cache_create(1);   // one bucket: every key meets every other
    password_cache_insert(table.get(), "alice:secret", PASSWORD_GOOD);
    for (const char* other : {"alice:Secret", "ALICE:secret", "alice:secre", "alice:secret "}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(password_cache_search(table.get(), other), nullptr);
    }
    const PASSWORD_CACHE_ENTRY* entry = password_cache_search(table.get(), "alice:secret");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->value, PASSWORD_GOOD);
    EXPECT_EQ(entry->time, 1000000);
}

TEST_F(PasswordCache, InsertKeepsAPresentEntryAndPurgeRemovesOne)
{
    auto table = password_cache_create(10);
    PASSWORD_CACHE_ENTRY* first = password_cache_insert(table.get(), "bob:pw", PASSWORD_BAD);
    fake_now += 5;
    PASSWORD_CACHE_ENTRY* again = password_cache_insert(table.get(), "bob:pw", PASSWORD_GOOD);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->value, PASSWORD_BAD);
    EXPECT_EQ(again->time, 1000000);

    password_cache_insert(table.get(), "carol:pw", PASSWORD_GOOD);
    password_cache_purge(table.get(), "bob:pw");
    password_cache_purge(table.get(), "nobody:pw");
    EXPECT_EQ(password_cache_search(table.get(), "bob:pw"), nullptr);
    EXPECT_NE(password_cache_search(table.get(), "carol:pw"), nullptr);
}

TEST_F(PasswordCache, ExpireByAge)
{
    auto table = password_cache_create(10);
    password_cache_insert(table.get(), "old:1", PASSWORD_GOOD);        // 1000000
    fake_now = 1000100;
    password_cache_insert(table.get(), "young:1", PASSWORD_GOOD);      // 1000100
    fake_now = 1000700;
    password_cache_insert(table.get(), "future:1", PASSWORD_GOOD);     // 1000700
    fake_now = 1000600;

    // old is exactly 600 seconds old; young 500; future stamped ahead of now goes as well.
    EXPECT_EQ(password_cache_expire(table.get(), 600), 2);
    EXPECT_EQ(password_cache_search(table.get(), "old:1"), nullptr);
    EXPECT_EQ(password_cache_search(table.get(), "future:1"), nullptr);
    EXPECT_NE(password_cache_search(table.get(), "young:1"), nullptr);
    EXPECT_EQ(password_cache_expire(table.get(), 600), 0);
    EXPECT_EQ(password_cache_expire(table.get(), 0), 1);
}

TEST_F(PasswordCache, LockedFormsRefreshOnUpdate)
{
    EXPECT_EQ(check_password_cache("dave:pw"), 0);
    update_password_cache("dave:pw", PASSWORD_BAD);
    EXPECT_EQ(check_password_cache("dave:pw"), PASSWORD_BAD);
    fake_now += 30;
    update_password_cache("dave:pw", PASSWORD_GOOD);
    EXPECT_EQ(check_password_cache("dave:pw"), PASSWORD_GOOD);
    EXPECT_EQ(password_cache_search(global->password_cache.get(), "dave:pw")->time, 1000030);

    const std::unique_ptr<PASSWORD_CACHE_TABLE> keep = std::move(global->password_cache);
    EXPECT_EQ(check_password_cache("dave:pw"), 0);   // no table: nothing is known
    global->password_cache = password_cache_create(1);
}

// The cleaning job on the timer list, minute by minute: an entry refreshed every minute stays,
// one left alone goes at the first cleaning that finds it 600 seconds old.
TEST_F(PasswordCache, CleaningTimerExpiresIdleEntries)
{
    password_cachexpire = 600;
    auto timers = timers_init();
    const std::time_t start = fake_now;
    ASSERT_GE(timers_add(timers.get(), 60, TIMER_REPEAT, password_cache_clean, nullptr, start), 0);
    update_password_cache("used:pw", PASSWORD_GOOD);
    update_password_cache("idle:pw", PASSWORD_GOOD);

    std::time_t idle_gone = 0;
    for (int minute = 1; minute <= 15; ++minute) {
        fake_now = start + 60 * minute;
        if (check_password_cache("used:pw") == PASSWORD_GOOD)
            update_password_cache("used:pw", PASSWORD_GOOD);   // the client comes back
        fake_now += 1;
        timers_check(timers.get(), start + 60 * minute);
        if (idle_gone == 0 && check_password_cache("idle:pw") == 0)
            idle_gone = 60 * minute;
    }
    EXPECT_EQ(check_password_cache("used:pw"), PASSWORD_GOOD);
    EXPECT_EQ(idle_gone, 600);
}

} // namespace
