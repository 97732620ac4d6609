// Admission and freshness of cached objects. Until refresh rules exist every 200 answer to a GET
// may be stored, a stored object is fresh for as long as it is kept, and nothing is held off.
#include <cstring>

#include "cache/cache.h"
#include "http/connection.h"
#include "http/header.h"
#include "util/helpers.h"

int cacheable(CONNECTION_T*, const HEADER* request, const HEADER* response)
{
    if (request == nullptr || !request->method || *request->method != "GET")
        return 0;
    return response == nullptr || response->status == 200 ? 1 : 0;
}

void CacheSection::select_refresh(CONNECTION_T*, CACHEMAP*) {}

void CacheSection::check_header(CACHEMAP*) {}

bool CacheSection::cacheable2(CACHEMAP* object)
{
    return object->header != nullptr && object->header->status == 200;
}

void CacheSection::check(CONNECTION_T*, CACHEMAP*) {}

void CacheSection::validated(CACHEMAP* object)
{
    const std::time_t when = now();
    Lock lock(mutex_);
    object->retrieved = when;
}

int CacheSection::stale(CACHEMAP*)
{
    return 0;
}
