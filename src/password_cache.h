// The cache of recent password checks. Stand-in until client authentication is built: there is
// no cache, so there is nothing to expire.
#pragma once

// The timer job (every 60 seconds): removes the entries at least password_cachexpire seconds
// old; the argument is not used.
void password_cache_clean(void* unused);
