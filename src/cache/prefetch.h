// The "prefetch" section: while an HTML page streams to a client, the links its rules name (a
// tag and one of its attributes, such as the images of a page) are taken from each tag as soon
// as it is parsed, resolved against the page's URL and queued; worker threads fetch the queued
// URLs through forwarding and the protocol handlers into the cache, as requests without a
// client. Pages fetched so are searched in turn, down to each rule's link depth.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "core/connection.h"
#include "http/header.h"
#include "util/regex.h"
#include "util/stringutil.h"
#include "util/url.h"

class HTMLStream;
class Item;
struct CONNECTION_T;
struct htmlstream_node;

// Positions of a prefetch rule's values in its item.
enum : int {
    PREFETCH_FIELD_ENABLED = 0,
    PREFETCH_FIELD_COMMENT = 1,
    PREFETCH_FIELD_PROFILES = 2,
    PREFETCH_FIELD_TAG = 3,
    PREFETCH_FIELD_ATTRIBUTE = 4,
    PREFETCH_FIELD_PATTERN = 5,
    PREFETCH_FIELD_MAXSIZE = 6,
    PREFETCH_FIELD_MAXDEPTH = 7,
    PREFETCH_FIELD_COUNT = 8,
};

// One rule: built once, then only read.
class Prefetch {
public:
    Prefetch() = default;
    explicit Prefetch(const Item& item);
    // The copy compiles the pattern again.
    Prefetch(const Prefetch& other);
    Prefetch(Prefetch&&) noexcept = default;
    Prefetch& operator=(const Prefetch&) = delete;
    Prefetch& operator=(Prefetch&&) = delete;
    ~Prefetch() = default;

    // Enabled, for these profiles, with a tag and an attribute.
    bool usable(const StringList& connection_profiles) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string tag;                // tag name, such as img
    std::string attribute;          // the attribute holding the link, such as src
    std::string pattern;            // a link must match it; empty: any
    std::uint32_t maxsize = 0;      // download allowance of each fetch; 0 unlimited
    int maxdepth = 0;               // links are taken from pages below this depth; 0 unlimited
    UniqueRegex regex;              // null when empty or not compiling

private:
    void compile();
};

struct PrefetchRules {
    int enabled = 0;
    int threads = 0;
    int queuesize = 0;
    int hostlimit = 0;              // 0: none
    std::vector<Prefetch> rules;    // in configuration order
};

// One queued fetch.
struct PREFETCH_QUEUE {
    std::uint32_t clientid = 0;     // of the thread that queued it; its fetch logs under it
    int depth = 0;
    std::uint32_t allowance = 0;    // 0xFFFFFFFF unlimited
    URL url;
    std::optional<std::list<HTTP_HEADER>> lines;   // the asking request's lines, or none
};

class PrefetchSection final : public Section {
public:
    // The declarations must give four global values (enabled, threads, queue size, host limit)
    // and one subsection of at least PREFETCH_FIELD_COUNT fields.
    PrefetchSection();
    ~PrefetchSection() override = default;

    void update() override;
    std::shared_ptr<const PrefetchRules> rules() const;

    // Once, at start-up: as many workers as the configured thread count.
    void init_threads();
    // When a response header has been read: attaches an HTML stream to the connection, with
    // prefetch_callback registered for each usable rule's tag, when prefetching is on, the
    // response is text/html and the origin connection is not encrypted.
    void setup_callbacks(CONNECTION_T* connection);
    // Queues a fetch of url with the asking request's header lines (empty: none), the download
    // allowance and the link depth. Refuses (with a log line) when the queue is full, the URL
    // is cached or its host has host-limit entries waiting; ignores a URL already queued. true
    // when queued.
    bool queue_add(URL url, const std::list<HTTP_HEADER>& lines, std::uint32_t allowance, int depth);
    // The queued URLs from the head, rebuilt by url_create.
    std::vector<std::string> queue_urls() const;
    std::size_t queue_count() const;
    // Waits for a queued entry and takes it off the head.
    std::unique_ptr<PREFETCH_QUEUE> queue_take();

private:
    SectionRules<PrefetchRules> rules_{*this};
    // Guarded by mutex_, the section's own lock.
    std::deque<std::unique_ptr<PREFETCH_QUEUE>> queue_;
    std::condition_variable queued_;
};

// Created by the runtime bring-up; null before.
extern PrefetchSection* prefetch_section;

// Registered with the HTML stream for the rules' tags; argument: the connection whose response
// is parsed. Queues the first link a rule takes from the tag.
void prefetch_callback(HTMLStream* stream, htmlstream_node* node, void* argument);
// The link an attribute value names, seen from a page requested as `request`: absolute URLs
// as written, "//host/path" on the page's scheme, other values on the page's scheme, host and
// port, relative to the page's directory. nullopt for a value that does not parse.
std::optional<URL> prefetch_link(const HEADER& request, std::string_view value);
// Worker thread body; argument: the section.
void* prefetch_thread(void* argument);
// One fetch into the cache, without a client.
void protocol_prefetch(const PREFETCH_QUEUE& entry);

// A new stream for the connection's response, owned as the connection record holds it; it holds
// at most the connection's download buffer limit.
HTMLStreamPtr htmlstream_new(const CONNECTION_T* connection);
// The HTML stream attached to the connection's current request, or null.
HTMLStream* connection_htmlstream(CONNECTION_T* connection);
void htmlstream_feed(HTMLStream* stream, const char* bytes, std::size_t length);
void htmlstream_flush(HTMLStream* stream);
