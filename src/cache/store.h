// Disk stores: directories that keep one file per cached object and a journal of tab-separated
// lines, one per change of an object, from which the object table is rebuilt at start-up.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "util/stringutil.h"

class Item;

// Positions of a store rule's values in its item.
enum : int {
    STORE_FIELD_ENABLED = 0,
    STORE_FIELD_COMMENT = 1,
    STORE_FIELD_PROFILES = 2,
    STORE_FIELD_PATH = 3,
    STORE_FIELD_SIZE = 4,
    STORE_FIELD_MARGIN = 5,
    STORE_FIELD_MD5 = 6,
    STORE_FIELD_COUNT = 7,
};

// Journal lines are formatted and read in buffers of this size; a longer line is never written
// and is skipped when read.
inline constexpr std::size_t JOURNAL_LINE_MAX = 8192;

// One store rule with its run-time state; the state is guarded by the cache section's mutex.
struct Store {
    explicit Store(const Item& item);
    Store() = default;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string path;            // empty: the rule has no store
    std::uint64_t size = 0;      // bytes; 0: never chosen
    std::uint32_t margin = 0;    // bytes freed below the size by a cleaning
    int md5 = 0;                 // 1: objects are verified against their digest

    int journal_fd = -1;         // the journal opened for appending, -1 when closed
    std::uint32_t journal_lines = 0;   // lines appended since the last rewrite
    int objects = 0;
    std::uint64_t bytes = 0;     // stored sizes of its objects
    bool disk_full = false;
    std::time_t journal_written = 0;   // last rewrite, cache clock; 0: none yet
    bool rewrite_due = false;    // the appended lines reached the threshold
    bool rewriting = false;      // a rewrite is being written outside the cache's mutex
    std::string pending;         // lines appended while it is
    std::string outgoing;        // lines appended, not yet written to the journal file
    std::uint64_t clean_target = 0;
};

// One journal line's columns.
struct JournalLine {
    std::uint32_t flags = 0;
    std::string_view key;
    std::uint64_t size = 0;
    std::time_t retrieved = 0, access = 0;
    bool refresh = false;        // the four refresh values are given
    int minage = 0, maxage = 0, validate = 0, lmfactor = 0;
    std::string_view md5;        // empty when not given
};

// Splits one line (without its line end) at runs of tabs; nullopt for a line of fewer than five
// columns or longer than a journal line may be. Columns that don't parse read as 0.
std::optional<JournalLine> journal_line_parse(std::string_view line);
