// The object cache: responses kept as memory mappings of their stored bytes (the response header
// text as received, then the body), looked up by the request URL, filled by one writer while any
// number of readers already send them, and kept in the files of the disk stores (cache/store.h)
// so that they outlive the process.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/admission.h"
#include "config/section.h"
#include "core/owners.h"
#include "http/header.h"
#include "util/filebuf.h"

struct CONNECTION_T;
struct Store;
class CGIMap;

// Flag bits of CACHEMAP and of cache_open's flags argument.
enum : std::uint32_t {
    CACHE_WRITING = 0x1,
    CACHE_INVALID = 0x2,
    CACHE_EXPIRED = 0x4,
    CACHE_VALIDATE = 0x8,
    CACHE_PREFETCHED = 0x10,
    CACHE_VIOLATION = 0x20,
    CACHE_OFFLINE = 0x40,
    CACHE_DISK = 0x80,
    CACHE_MEM = 0x100,
    CACHE_CONDVAR = 0x200,
    CACHE_CLEAN = 0x400,
    CACHE_BUFFERWAIT = 0x800,
    CACHE_DISCARD = 0x1000,
    CACHE_FORCE = 0x2000,
};

// One cached object. Every field is guarded by the cache section's mutex; the bytes below
// `size` of the mapping are written once and may be read outside the mutex by a holder, as long
// as the mapping cannot move under it (see `pins`).
struct CACHEMAP {
    std::condition_variable condition;   // readers wait here while the object is written
    int fd = -1;                         // the object file while it is written
    std::string key;                     // the request's full URL
    char* mapping = nullptr;             // null when not mapped
    bool owned = false;                  // the mapping was made by the cache (a test may lend one)
    int refs = 0;                        // holders
    std::uint64_t size = 0;              // bytes stored: header text plus body
    std::uint64_t length = 0;            // bytes mapped
    std::uint64_t file_length = 0;       // bytes allocated to the object file
    std::uint32_t header_length = 0;     // the body starts here
    std::uint32_t flags = 0;
    HeaderPtr header;                    // the stored header parsed; null until parsed
    Store* store = nullptr;              // null for a memory-only object
    std::string md5 = "0";               // hex digest of the stored bytes, "0" when none
    int pins = 0;                        // holders reading the mapping outside the mutex
    std::time_t access = 0;              // last open or close by a reader, cache clock
    std::time_t retrieved = 0;           // fetched or last revalidated, cache clock
    std::time_t expires = 0;             // from Expires or max-age, 0 when none
    std::time_t lmexpires = 0;           // freshness end from Last-Modified, 0 when none
    std::time_t lastmod = 0;             // parsed Last-Modified, 0 when none
    int minage = 0, maxage = 0, validate = 0, lmfactor = 0;   // from the refresh rule
    // What the freshness check takes from the parsed header, read from it once: its dates and
    // directives stay as they are, only the clock they are held against moves.
    struct HeaderFacts {
        bool read = false;
        std::time_t expires = 0;               // Expires, 0 when none or unparsable
        bool expired = false;                  // an Expires that does not parse: stale at once
        std::time_t lastmod = 0;               // Last-Modified, 0 when none or unparsable
        std::optional<long long> max_age;      // the last max-age directive of Cache-Control
        bool forced = false;                   // must-revalidate, no-cache, no-store or private
        bool violation = false;                // no-cache, no-store or private
    } facts;                                   // cleared whenever `header` changes
};

struct CacheFound;

// The cache's clock: the current time plus the GMT offset. Replaceable so that tests can move it.
using CacheClock = std::time_t (*)();

class CacheSection : public Section {
public:
    // Positions of the section's global values.
    enum : std::size_t {
        VALUE_ENABLED = 0,
        VALUE_VIOLATIONS = 1,
        VALUE_MEMORY_SIZE = 2,
        VALUE_MEMORY_EXTRA = 3,
        VALUE_MIN_SIZE = 4,
        VALUE_MAX_SIZE = 5,
        VALUE_PREFETCH_WINDOW = 6,
        VALUE_ICP_PORT = 7,
        VALUE_ICP_TIMEOUT = 8,
        VALUE_STORE_SELECT = 9,
        VALUE_JOURNAL_THRESHOLD = 10,
        VALUE_CLEAN_INTERVAL = 11,
        VALUE_COUNT = 12,
    };

    // Reads the "cache" declarations (twelve global values, the store subsection first).
    CacheSection();
    ~CacheSection() override;

    // Closes the journals of the old stores, builds the stores of the configuration and brings
    // their objects back from their journals.
    void update() override;

    // Finds (flags without CACHE_WRITING) or creates (with it) the object of key, with one
    // reference for the caller; null when there is none or caching is off.
    CACHEMAP* cache_open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags);
    // cache_open, its reference held by a handle that gives it back.
    CacheRef open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags);
    // Appends a body stretch: length, or -1 when the object refuses it (it is then invalid, and
    // every later append is refused too).
    long add(CACHEMAP* object, const char* bytes, std::size_t length);
    // Gives the caller's reference back; finishing completes an object being written.
    virtual void cache_close(CACHEMAP* object, bool finishing);
    // Marks the object invalid and gives the caller's reference back.
    virtual void invalidate(CACHEMAP* object);
    // Invalidates the object of key, if any; 1 when found.
    int invalidate_key(std::string_view key);
    // A request's lookup: open without CACHE_WRITING (CACHE_OFFLINE when offline) and, for an
    // object found neither invalid nor still buffered, its invalidation when its answer's Vary
    // does not suit the request as it goes to the origin (vary_shareable; the lookup then finds
    // nothing) or else, unless offline, its check for the request, under one lock.
    CacheFound lookup(CONNECTION_T* connection, std::string_view key, bool offline);
    // Freshness check of a hit for the request: may set CACHE_VALIDATE.
    void check(CONNECTION_T* connection, CACHEMAP* object);
    // Records a successful revalidation.
    void validated(CACHEMAP* object);
    // 1 when the object is past its freshness lifetime.
    int stale(CACHEMAP* object);
    // For a hit's answer, in one look: the object's flags and the seconds since it was retrieved
    // or last revalidated, on the cache's clock (never negative).
    struct HitState {
        std::uint32_t flags = 0;
        std::time_t age = 0;
    };
    HitState hit_state(CACHEMAP* object);
    // The stored answer's Last-Modified on the cache clock, 0 when none or unparsable. Read under
    // the mutex: every other reader's open works the object's dates out again.
    std::time_t last_modified(CACHEMAP* object);
    // Whether objects stored against their caching headers may be served.
    bool violations_allowed();
    // A copy of the stored response header text, as a hit sends it: without the Set-Cookie
    // and Set-Cookie2 lines, which were meant for the client it was fetched for.
    std::string header_text(CACHEMAP* object);
    // A copy of the body, once writing has ended.
    std::unique_ptr<Filebuf> read_filebuf(CACHEMAP* object);
    // Writes the body to the side's socket, following a writer still filling it; the bytes sent.
    // Fewer bytes than the object's length end the client connection's keep-alive.
    long send(CACHEMAP* object, CONNECTION_T* connection, int side);
    // The "downloading" progress page for an object still being buffered.
    void send_status(CONNECTION_T* connection, CACHEMAP* object);
    // Whether the table holds key.
    int exists(std::string_view key);
    std::uint32_t flag_get(CACHEMAP* object);
    // The ICP responder's UDP port (0: none) and the milliseconds ICP queries wait.
    int icpport_get();
    int icptimeout_get();
    std::uint32_t flag_set(CACHEMAP* object, std::uint32_t bits);
    std::uint32_t flag_unset(CACHEMAP* object, std::uint32_t bits);
    // The names of the set bits, ", " between them.
    static std::string flag_string(std::uint32_t flags);
    // The number of holders; exactly 1 (the caller alone) also marks the object invalid.
    int refcount(CACHEMAP* object);
    // At shutdown: deletes the files queued for deletion and rewrites the journal of every store
    // whose journal file is open. After a fatal state, a mutex that is not let go within moments
    // (the thread that met it may hold it) is done without.
    void graceful_exit();

    // Works off the pending deletions, one file every 10 ms; never returns.
    void unlink_thread();
    // Deletes every file waiting for deletion now; the number deleted.
    int unlink_pending();
    // The paths waiting for deletion, oldest first.
    std::vector<std::string> unlink_list();
    // Drops from memory every object nobody holds; their files and journal lines stay.
    void force_clean();

    // Replaces the cache clock (tests); null restores the real one. The first cleaning interval
    // starts again on the new clock.
    void clock_set(CacheClock clock)
    {
        std::lock_guard lock(mutex_);
        clock_ = clock;
        last_clean_ = now();
    }
    std::time_t now() const;

    // Counters, read under the mutex.
    std::uint64_t mapped_bytes();
    int mapped_objects();
    int object_count();
    // The store rules in force, for the tests and the status pages; guarded by the mutex.
    const std::vector<std::unique_ptr<Store>>& stores() const { return stores_; }
    // The most objects mapped at once: a share of the system's mapping limit, so that many
    // small objects never make a mapping fail.
    void mapping_limit_set(int limit) { mapping_limit_ = limit; }

    // The object file's path: "<store>/<two hex digits>/<md5 of the key>".
    static std::string filename(const Store& store, std::string_view key);
    // Keys that a journal line can hold: no control byte, not too long.
    static bool key_storable(std::string_view key);

    // Journal lines (cache/store.cpp), under the mutex.
    int journal_add(CACHEMAP* object);
    void journal_write(Store* store);
    void journal_read(Store* store);

private:
    friend class CacheTestPeer;
    // The interface's cache page walks the table under the mutex it holds.
    friend void interface_page_cache(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
    using Lock = std::unique_lock<std::mutex>;

    // The values in force, read under the mutex.
    struct Values {
        int enabled = 0;
        int violations = 0;
        std::uint64_t memory_size = 0, memory_extra = 0, min_size = 0, max_size = 0;
        int prefetch_window = 0;
        int icp_port = 0, icp_timeout = 0;
        int store_select = 0;
        std::uint32_t journal_threshold = 0, clean_interval = 0;
    };

    CACHEMAP* find(std::string_view key);
    CACHEMAP* create(std::string_view key, std::uint32_t flags, std::time_t now);
    void remove(CACHEMAP* object);
    // dropped: the object was refused and dropped, with the hold-off that memory pressure asks.
    CACHEMAP* open_complete(Lock& lock, CONNECTION_T* connection, CACHEMAP* object, const char* header,
                            std::uint32_t flags, bool creating, std::time_t now, bool& dropped);
    bool map_file(CACHEMAP* object);
    // After an open: the hold-off of memory over its limit between two cleanings (state 3), the
    // store's disk-full mark, and a cleaning when a limit is passed.
    void pressure_check(CACHEMAP* result, std::time_t now);
    // The cleaning interval in force (30 s when 0) and the mapped bytes above which memory counts
    // as under pressure: the memory cache size less the free extra.
    std::time_t clean_interval() const;
    std::uint64_t memory_limit() const;
    // Appends with the mutex held; a body stretch is copied with it released (the writer's pin
    // keeps the mapping in place), the header text with it held, so that no reader ever finds
    // the new object before its header is there.
    long add_locked(Lock& lock, CACHEMAP* object, const char* bytes, std::size_t length, bool header = false);
    bool file_create(CACHEMAP* object);
    bool reserve(Lock& lock, CACHEMAP* object, std::uint64_t needed);
    bool to_memory(Lock& lock, CACHEMAP* object);
    void shrink(CACHEMAP* object);
    void close_unlocked(CACHEMAP* object, bool finishing);
    void invalidate_unlocked(CACHEMAP* object);
    void mem_delete(CACHEMAP* object);
    void unpin(CACHEMAP* object);
    bool md5_check(Lock& lock, CACHEMAP* object);
    void touch(CACHEMAP* object, bool retrieval);
    void select_store(CONNECTION_T* connection, CACHEMAP* object);
    void stores_update(std::vector<std::unique_ptr<Store>> old);
    void journal_close(Store* store);
    std::string journal_line(const CACHEMAP* object) const;
    std::string journal_text(const Store* store) const;
    // Rewrites the journals whose threshold was reached, writing and syncing the new file with
    // the mutex released.
    void journal_rewrites(Lock& lock);
    // Opens the store's journal for appending when it is closed; false when it can't be.
    bool journal_open(Store* store);
    // Writes the journal lines appended under the mutex, with the mutex released, in order.
    void journal_flush(Lock& lock);
    // Before a public operation lets the mutex go: its journal lines, then any rewrite due.
    void journal_settle(Lock& lock);
    void check_locked(CONNECTION_T* connection, CACHEMAP* object, std::time_t now);
    CACHEMAP* open_locked(Lock& lock, CONNECTION_T* connection, std::string_view key, const char* header,
                          std::uint32_t flags);
    void memory_line();
    // Admission and freshness of stored objects (cache/admission.cpp).
    void select_refresh(CONNECTION_T* connection, CACHEMAP* object);
    void check_header(CACHEMAP* object);
    bool cacheable2(CACHEMAP* object);
    // Cleaning and deletion (cache/cleaning.cpp).
    void clean();
    void disk_delete(CACHEMAP* object);
    void unlink_list_zap(const std::string& path);
    void unlink_list_add(std::string path);
    // Deletes every queued file (the unlink mutex held, or done without at a fatal exit); the
    // number deleted.
    int unlink_all();
    // Deletes the store's object files that no object names (left by a crash or a kill).
    void sweep_orphans(Store* store);

    Values values_;
    CacheClock clock_ = nullptr;
    std::unordered_map<std::string_view, std::unique_ptr<CACHEMAP>> table_;
    std::vector<std::unique_ptr<Store>> stores_;
    std::uint64_t mapped_bytes_ = 0;
    int mapped_objects_ = 0;
    int mapping_limit_ = 0;
    std::time_t last_clean_ = 0;
    int pressure_ = 0;                         // 0 normal, 1 cleaning asked too early, 2 still over, 3 over between cleanings
    bool cleaning_ = false;
    std::vector<Refresh> refreshes_;           // in configuration order
    // Files waiting for the unlink thread, oldest first; its mutex is taken under mutex_, never
    // the other way round.
    std::mutex unlink_mutex_;
    std::condition_variable unlink_wake_;
    std::deque<std::string> unlink_list_;
    int rewrites_running_ = 0;                 // journal rewrites and flushes with the mutex released
    bool flushing_ = false;                    // a journal_flush is writing
    std::condition_variable rewrites_done_;    // the store rules stay while any runs
};

// What a request's lookup found: the object, with one reference, and its flags as the lookup
// left them. The request decides on these flags, never on the object's own word read later: once
// the mutex is let go another holder may invalidate the object or clear its CACHE_VALIDATE (a
// revalidation of its own) before the request looks.
struct CacheFound {
    CacheRef object;
    std::uint32_t flags = 0;
};

// Created by the runtime bring-up; null before.
extern CacheSection* cache_section;

// 1 when the message may be stored: the request alone (response null) or request and response.
// An answer that forbids sharing (no-store, no-cache, private) while violations are off, or that
// varies on a request line the client chose, is not.
int cacheable(CONNECTION_T* connection, const HEADER* request, const HEADER* response);
// Whether the answer's Vary lines let it serve every request for its URL, the request given
// among them as it goes to the origin: only when each line named is one the proxy decided, not
// the client. The test of cacheable, and of a hit on an answer stored before it was made.
bool vary_shareable(const CONNECTION_T* connection, const HEADER& request, const HEADER& response);

// Thread entry: works off the cache's pending deletions for the life of the process.
void* unlink_thread(void*);

// A request revalidating a cached object: If-Modified-Since becomes the object's retrieval time.
void conditional_header(HEADER* header, CACHEMAP* object);

// The object open for the connection's current request (CONNECTION_T::cache), or null; the
// connection thread gives it back after the request.
CACHEMAP* connection_cache(CONNECTION_T* connection);
// Gives the connection's object back after its request: finished when it was being stored,
// invalidated when the transfer failed, so a fetch that ended short (cut by the server or by its
// download allowance) is never left behind as if it were the whole object.
void connection_cache_settle(CONNECTION_T& connection);
