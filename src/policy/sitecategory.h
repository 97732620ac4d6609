// The "siteGrade" section: site categories scored by an outside DNS service (MX answers of a
// category zone), by hints files and by a cache file of earlier answers, add profiles to a
// connection and remove them, so that which other rules apply follows the site's categories.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "util/hash.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// The category service's zone: a host's categories are the MX records of "<host>.<zone>".
inline constexpr const char* SITEGRADE_ZONE = "grade.tarvodine.net";
// Buckets of the category cache.
inline constexpr int SITEGRADE_CACHE_BUCKETS = 8111;
// The cache file in the hints directory; hints files are the entries whose name ends in this
// suffix.
inline constexpr const char* SITEGRADE_CACHE_FILE = "sitegrade.cache";
inline constexpr std::string_view SITEGRADE_HINTS_SUFFIX = ".sitegrade";
// The most scores learned from answers (and from the cache file) kept at once: beyond it the
// oldest go, so that a client walking random host names cannot grow the table and the cache file
// without end. Scores from hints files are the administrator's and always stay.
inline constexpr std::size_t SITEGRADE_LEARNED_MAX = 100000;
// How long a query name whose lookup failed is not asked again.
inline constexpr std::chrono::seconds SITEGRADE_FAILURE_MEMORY{60};

// Positions of a rule's values in its item.
enum : int {
    SITEGRADE_FIELD_ENABLED = 0,
    SITEGRADE_FIELD_COMMENT = 1,
    SITEGRADE_FIELD_LOG = 2,
    SITEGRADE_FIELD_PROFILES = 3,
    SITEGRADE_FIELD_CATEGORIES = 4,
    SITEGRADE_FIELD_RANGE = 5,
    SITEGRADE_FIELD_ADD = 6,
    SITEGRADE_FIELD_REMOVE = 7,
    SITEGRADE_FIELD_COUNT = 8,
};

// One MX record of an answer: the category its exchange names, and the score its preference
// gives (0 to 65,535).
struct MxRecord {
    std::string name;
    int score = 0;
    bool operator==(const MxRecord&) const = default;
};

// The MX records of a DNS answer, in answer order, whatever section they stand in. Only the
// first `length` bytes are read (the caller passes the smaller of what was received and its
// buffer's size); the question section is skipped, then records are read until a name cannot be
// expanded or a record does not fit. Never reads outside the bytes given.
std::vector<MxRecord> sitegrade_parse_mx(const unsigned char* answer, std::size_t length);

// The records in order while their names, each followed by ",", stay below `size` characters.
std::vector<MxRecord> sitegrade_cap_names(std::vector<MxRecord> records, std::size_t size);

// Asks the resolver (class IN, type MX) for the query name with the calling thread's own
// resolver state: the records whose names fit in `size` characters (see sitegrade_cap_names);
// none when the query fails.
std::vector<MxRecord> getmx(const std::string& query, std::size_t size);

// What asks the service; tests replace it so that no query leaves the process. Null restores
// getmx.
using SiteGradeLookup = std::vector<MxRecord> (*)(const std::string& query, std::size_t size);
void sitegrade_set_lookup(SiteGradeLookup lookup);

// Whether a request is addressed to the interface host name; the interface hands its test down
// at start-up. Until it is set no request counts as one.
using SiteGradeInterfaceTest = bool (*)(CONNECTION_T* connection);
void sitegrade_set_interface_test(SiteGradeInterfaceTest test);

// The score range of a rule: "MIN-MAX" split at its last "-", or a single number N for N-N;
// each side read as atoi reads it, the lower one from at most 15 characters.
struct ScoreRange {
    int min = 0;
    int max = 0;
    bool contains(int score) const { return score >= min && score <= max; }
};
ScoreRange sitegrade_range(std::string_view text);

// One rule, built once from its item, then only read.
class SiteGrade {
public:
    explicit SiteGrade(const Item& item);

    int enabled = 1;
    std::string comment;
    int log = 0;
    StringList profiles;      // the condition of the second pass; empty: both passes
    StringList categories;
    std::string range_text;   // empty: the rule is malformed and skipped
    ScoreRange range;
    StringList add, remove;
};

struct SiteGradeRules {
    int enabled = 0;
    std::string hints;        // the hints directory; empty: no files
    std::vector<SiteGrade> rules;
};

// Caseless keys: every key is kept and looked up in lower case.
using SG_CACHE_TABLE = HashTableOf<int>;

class SiteGradeSection final : public Section {
public:
    // The declarations must give enabled and the hints directory as the first two global values
    // and a first subsection of at least SITEGRADE_FIELD_COUNT fields. The first pass runs at
    // the authentication stage, the second at the request-modification stage.
    SiteGradeSection();
    ~SiteGradeSection() override;

    // Rebuilds the rules; while the cache file is not open for appending, also loads the hints
    // and cache files and opens the cache file.
    void update() override;
    std::shared_ptr<const SiteGradeRules> rules() const;

    // Runs the rules of one pass (0: those without profiles, 1: those the connection's profiles
    // accept) for the request's host. No section lock is held while the service is asked.
    // Returns 0.
    int check_profiles(CONNECTION_T* connection, int pass);

    // The score cached for a key (any case), or -1.
    int check_sg_cache(std::string_view key) const;
    // 1 when the key was new and now holds score; 0 when it was present (the first score stays).
    // A learned score (from an answer or the cache file) counts against the limit of learned
    // scores, and the oldest learned one goes beyond it; a score from a hints file stays.
    int update_sg_cache(std::string_view key, int score, bool learned = true);
    // The limits: learned scores kept (and lines of the cache file, twice that, before it is
    // rewritten from the table) and how long a failed lookup is remembered. Tests shrink them.
    void limits_set(std::size_t learned, std::chrono::steady_clock::duration failure_memory);
    // Whether the cache file is open for appending.
    bool cache_file_writable() const;

    // The file steps of update(), each logging its own failures.
    void sitegrade_init(const std::string& hints);
    void sitegrade_filetocache_insert(const std::string& hints);
    void sitegrade_cache_file_setup(const std::string& hints);
    // Appends "key\tscore", Base64-encoded, as one line of the cache file; a file grown to twice
    // the learned scores it may hold is rewritten from the table.
    void sitegrade_dnstofile_insert(std::string_view key, int score);

private:
    using Clock = std::chrono::steady_clock;

    // Fires a rule: the add list's missing profiles are appended, the remove list's dropped.
    static void fire(const SiteGrade& rule, CONNECTION_T* connection);
    // Whether the query name's lookup failed within the failure memory; and noting that it did.
    bool failed_recently(const std::string& query);
    void failure_remember(const std::string& query);
    // Replaces the cache file by the learned scores of the table, oldest first. File lock held.
    void cache_file_rewrite();

    SectionRules<SiteGradeRules> rules_{*this};

    mutable std::shared_mutex cache_lock_;
    std::unique_ptr<SG_CACHE_TABLE> cache_;
    std::deque<std::string> learned_;          // learned keys, oldest first; under cache_lock_
    std::atomic<std::size_t> learned_max_{SITEGRADE_LEARNED_MAX};

    std::mutex failed_lock_;                   // guards what follows
    std::unordered_map<std::string, Clock::time_point> failed_;   // query name -> when it failed
    std::deque<std::pair<std::string, Clock::time_point>> failed_order_;   // oldest first
    Clock::duration failure_memory_ = SITEGRADE_FAILURE_MEMORY;

    mutable std::shared_mutex file_lock_;
    bool writable_ = false;
    int cfd_ = -1;
    std::string cache_path_;                   // of the open cache file
    std::size_t file_records_ = 0;             // lines in it
};

// The stage callbacks; both always answer 0, so the rest of the stage runs.
int sitegrade_first(CONNECTION_T* connection, Filebuf* body);
int sitegrade_second(CONNECTION_T* connection, Filebuf* body);

// The cache key of a host's score in a category.
std::string sitegrade_key(std::string_view host, std::string_view category);

// Created by the runtime bring-up; null before.
extern SiteGradeSection* sitegrade_section;
