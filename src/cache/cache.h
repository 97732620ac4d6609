// The object cache. Stand-in until the cache section is built from the configuration: caching
// is off, so no lookup ever finds an object and no response is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "util/filebuf.h"

struct CONNECTION_T;
struct HEADER;

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

// One cached object: the response header text as received, then the body.
struct CACHEMAP {
    std::string key;                  // the request's full URL
    std::string data;                 // header text and body stored so far
    std::uint32_t size = 0;           // bytes stored: header text plus body
    std::uint32_t header_length = 0;  // the body starts here
    std::uint32_t flags = 0;
    std::time_t retrieved = 0;        // fetched or last revalidated, cache clock
    std::time_t lastmod = 0;          // parsed Last-Modified, 0 when none
};

class CacheRef;

class CacheSection {
public:
    // Virtual so that a test double can count the references given back.
    virtual ~CacheSection() = default;

    // The section's mutex, for the callers that read an object's fields directly.
    void mutex_lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

    // Finds (flags without CACHE_WRITING) or creates (with it) the object of key, with one
    // reference for the caller; null when there is none or caching is off.
    CACHEMAP* cache_open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags);
    // cache_open, its reference held by a handle that gives it back.
    CacheRef open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags);
    // Appends a body stretch: length, or -1 when the object refuses it.
    long add(CACHEMAP* object, const char* bytes, std::size_t length);
    // Gives the caller's reference back; finishing completes an object being written.
    virtual void cache_close(CACHEMAP* object, bool finishing);
    // Marks the object invalid and gives the caller's reference back.
    virtual void invalidate(CACHEMAP* object);
    // Freshness check of a hit for the request: may set CACHE_VALIDATE.
    void check(CONNECTION_T* connection, CACHEMAP* object);
    // Records a successful revalidation.
    void validated(CACHEMAP* object);
    // 1 when the object is past its freshness lifetime.
    int stale(CACHEMAP* object);
    // A copy of the body, once writing has ended.
    std::unique_ptr<Filebuf> read_filebuf(CACHEMAP* object);
    // Writes the body to the side's socket; the bytes sent.
    long send(CACHEMAP* object, CONNECTION_T* connection, int side);
    // The "downloading" progress page for an object still being buffered.
    void send_status(CONNECTION_T* connection, CACHEMAP* object);
    std::uint32_t flag_set(CACHEMAP* object, std::uint32_t bits);
    std::uint32_t flag_unset(CACHEMAP* object, std::uint32_t bits);
    // The number of holders.
    int refcount(CACHEMAP* object);
    // At shutdown: deletes the files queued for deletion and rewrites the journal of every store
    // whose journal file is open.
    void graceful_exit();

private:
    std::mutex mutex_;
};

// One reference to a cache object, given back exactly once: by finish() (the writer completes
// the object), by invalidate(), or else unfinished by reset(), by an assignment over it or by the
// destructor. Move-only; a handle moved from holds nothing.
class CacheRef {
public:
    CacheRef() = default;
    // Takes over the reference that section's cache_open handed out for object (null: nothing).
    CacheRef(CacheSection* section, CACHEMAP* object) noexcept : section_(section), object_(object) {}
    CacheRef(CacheRef&& other) noexcept
        : section_(std::exchange(other.section_, nullptr)), object_(std::exchange(other.object_, nullptr))
    {
    }
    CacheRef& operator=(CacheRef&& other) noexcept
    {
        if (this != &other) {
            reset();
            section_ = std::exchange(other.section_, nullptr);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    CacheRef(const CacheRef&) = delete;
    CacheRef& operator=(const CacheRef&) = delete;
    ~CacheRef() { reset(); }

    CACHEMAP* get() const noexcept { return object_; }
    CACHEMAP* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void reset() noexcept
    {
        if (CACHEMAP* object = release(); object != nullptr)
            section_->cache_close(object, false);
    }
    void finish() noexcept
    {
        if (CACHEMAP* object = release(); object != nullptr)
            section_->cache_close(object, true);
    }
    void invalidate() noexcept
    {
        if (CACHEMAP* object = release(); object != nullptr)
            section_->invalidate(object);
    }
    // Lets go of the object without giving its reference back: the caller has done that.
    CACHEMAP* release() noexcept { return std::exchange(object_, nullptr); }

private:
    CacheSection* section_ = nullptr;
    CACHEMAP* object_ = nullptr;
};

// Created by the runtime bring-up; null before.
extern CacheSection* cache_section;

// 1 when the message may be stored: the request alone (response null) or request and response.
int cacheable(CONNECTION_T* connection, const HEADER* request, const HEADER* response);

// A request revalidating a cached object: If-Modified-Since becomes the object's retrieval time.
void conditional_header(HEADER* header, CACHEMAP* object);

// The object open for the connection's current request (CONNECTION_T::cache), or null; the
// connection thread gives it back after the request.
CACHEMAP* connection_cache(CONNECTION_T* connection);
