// Prefetching of linked objects. Stand-in until the prefetch section is built from the
// configuration: nothing is queued and no HTML stream is ever attached to a connection; a
// stream handed in is fed all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>

struct CONNECTION_T;
struct HTTP_HEADER;
struct URL;

// The parser fed with a response body; it belongs to the HTML stream component.
class HTMLStream;

class PrefetchSection {
public:
    // Queues url for the prefetch workers with the request's header lines, the download
    // allowance and the link depth.
    void queue_add(const URL& url, const std::list<HTTP_HEADER>& lines, std::uint32_t allowance, int depth);
    // Attaches an HTML stream to the connection when its response is to be scanned for links.
    void setup_callbacks(CONNECTION_T* connection);
};

// Created by the runtime bring-up; null before.
extern PrefetchSection* prefetch_section;

// The HTML stream attached to the connection's current request, or null.
HTMLStream* connection_htmlstream(CONNECTION_T* connection);
void htmlstream_feed(HTMLStream* stream, const char* bytes, std::size_t length);
void htmlstream_flush(HTMLStream* stream);
