// Cleaning and deletion of cached objects. Until cleaning exists the cache never evicts, and an
// object's file is deleted at once when the object is dropped.
#include <unistd.h>

#include "cache/cache.h"
#include "cache/store.h"

void CacheSection::clean() {}

void CacheSection::disk_delete(CACHEMAP* object)
{
    Store* store = object->store;
    if (store == nullptr || (object->flags & CACHE_DISK) == 0)
        return;
    ::unlink(filename(*store, object->key).c_str());
    store->bytes -= std::min(store->bytes, object->size);
    if (store->objects > 0)
        --store->objects;
    object->flags &= ~CACHE_DISK;
}

void CacheSection::unlink_list_zap(const std::string&) {}
