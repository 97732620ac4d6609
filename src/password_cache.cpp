#include "password_cache.h"

void password_cache_clean(void*) {}
