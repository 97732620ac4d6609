#include "cache/prefetch.h"

#include "cache/htmlstream.h"

PrefetchSection* prefetch_section = nullptr;

void PrefetchSection::queue_add(const URL&, const std::list<HTTP_HEADER>&, std::uint32_t, int) {}

void PrefetchSection::setup_callbacks(CONNECTION_T*) {}

HTMLStream* connection_htmlstream(CONNECTION_T*) { return nullptr; }

void htmlstream_feed(HTMLStream* stream, const char* bytes, std::size_t length)
{
    if (stream != nullptr && bytes != nullptr)
        stream->Add(bytes, length);
}

void htmlstream_flush(HTMLStream* stream)
{
    if (stream != nullptr)
        stream->Add(nullptr, 0);
}
