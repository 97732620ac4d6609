#include "cache.h"

CacheSection* cache_section = nullptr;
