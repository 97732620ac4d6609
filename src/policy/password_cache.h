// The password cache: recent PAM verdicts by "user:password" key, so that a client sending the
// same credentials on every request does not cost a PAM conversation each time. Entries are
// removed only by age, by the cleaning timer job.
#pragma once

#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Values of an entry.
enum : int {
    PASSWORD_GOOD = 1,
    PASSWORD_BAD = 2,
};

struct PASSWORD_CACHE_ENTRY {
    std::time_t time = 0;   // insertion, seconds since the epoch
    std::string key;        // user name, ':', password
    int value = 0;          // PASSWORD_GOOD or PASSWORD_BAD
};

struct PASSWORD_CACHE_TABLE {
    int size = 0;                                        // bucket count, at least 1
    std::vector<std::list<PASSWORD_CACHE_ENTRY>> buckets;
};

// The clock of insertion times and expiry; tests replace it. Null restores time().
using password_clock_t = std::time_t (*)();
void password_cache_set_clock(password_clock_t clock);

// Table operations; callers hold global->password_cache_lock (shared to search, exclusive to
// change). Each given no table is a fatal assertion.

// A new empty table of `buckets` buckets; fewer than one gives one, so a key always has a bucket.
std::unique_ptr<PASSWORD_CACHE_TABLE> password_cache_create(int buckets);
// The bucket of key: over its bytes c, taken as signed, the unsigned 32-bit sum of
// password_cachesize + 20c + (c >> 2) + (c >> 4), modulo buckets; 0 for an empty key and for
// fewer than one bucket.
int password_cache_key(int buckets, std::string_view key);
// The entry whose key equals key byte for byte, or null.
PASSWORD_CACHE_ENTRY* password_cache_search(PASSWORD_CACHE_TABLE* table, std::string_view key);
// Appends an entry stamped now to the end of the key's bucket; a key already present has its
// entry returned unchanged.
PASSWORD_CACHE_ENTRY* password_cache_insert(PASSWORD_CACHE_TABLE* table, std::string_view key, int value);
// Removes the first entry with that key, if any.
void password_cache_purge(PASSWORD_CACHE_TABLE* table, std::string_view key);
// Removes every entry for which now minus its time, as an unsigned number, is at least age (so an
// entry stamped in the future goes too); how many went.
int password_cache_expire(PASSWORD_CACHE_TABLE* table, unsigned age);

// The locked forms used by the rest of the system, on global->password_cache.
// The value of the key's entry, or 0 when there is no table or no entry.
int check_password_cache(std::string_view key);
// Replaces the key's entry by a new one stamped now.
void update_password_cache(std::string_view key, int value);
// Timer job, every 60 seconds: expires entries at least password_cachexpire seconds old.
void password_cache_clean(void* unused);
// Puts password_cache_clean on the runtime record's timer list, once per process, when the
// record and its list exist.
void password_cache_schedule();
