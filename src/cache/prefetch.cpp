#include "cache/prefetch.h"

PrefetchSection* prefetch_section = nullptr;

void PrefetchSection::queue_add(const URL&, const std::list<HTTP_HEADER>&, std::uint32_t, int) {}

void PrefetchSection::setup_callbacks(CONNECTION_T*) {}

HTMLStream* connection_htmlstream(CONNECTION_T*) { return nullptr; }

void htmlstream_feed(HTMLStream*, const char*, std::size_t) {}

void htmlstream_flush(HTMLStream*) {}
