#include "cache/cache.h"

#include <ctime>

#include "http/connection.h"
#include "http/header.h"

CacheSection* cache_section = nullptr;

CACHEMAP* CacheSection::cache_open(CONNECTION_T*, std::string_view, const char*, std::uint32_t) { return nullptr; }

CacheRef CacheSection::open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags)
{
    return CacheRef(this, cache_open(connection, key, header, flags));
}

long CacheSection::add(CACHEMAP*, const char*, std::size_t) { return -1; }

void CacheSection::cache_close(CACHEMAP*, bool) {}

void CacheSection::invalidate(CACHEMAP*) {}

void CacheSection::check(CONNECTION_T*, CACHEMAP*) {}

void CacheSection::validated(CACHEMAP*) {}

int CacheSection::stale(CACHEMAP*) { return 0; }

std::unique_ptr<Filebuf> CacheSection::read_filebuf(CACHEMAP*) { return std::make_unique<Filebuf>(); }

long CacheSection::send(CACHEMAP*, CONNECTION_T*, int) { return 0; }

void CacheSection::send_status(CONNECTION_T*, CACHEMAP*) {}

std::uint32_t CacheSection::flag_set(CACHEMAP* object, std::uint32_t) { return object != nullptr ? object->flags : 0; }

std::uint32_t CacheSection::flag_unset(CACHEMAP* object, std::uint32_t) { return object != nullptr ? object->flags : 0; }

int CacheSection::refcount(CACHEMAP*) { return 0; }

int cacheable(CONNECTION_T*, const HEADER*, const HEADER*) { return 0; }

CACHEMAP* connection_cache(CONNECTION_T* connection) { return connection->cache.get(); }

void conditional_header(HEADER* header, CACHEMAP* object)
{
    std::time_t retrieved = 0;
    if (cache_section != nullptr) {
        cache_section->mutex_lock();
        retrieved = object->retrieved;
        cache_section->unlock();
    } else {
        retrieved = object->retrieved;
    }
    // The cache clock runs GMT offset ahead, so local time of it reads as GMT.
    std::tm broken{};
    localtime_r(&retrieved, &broken);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    header->if_modified_since = std::string(text, n);
}

void CacheSection::graceful_exit() {}
