#include "policy/sitecategory.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>

#include "config/item.h"
#include "config/profile.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/header.h"
#include "util/base64.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "util/mem.h"

SiteGradeSection* sitegrade_section = nullptr;

namespace {

// Characters of category names one lookup keeps.
constexpr std::size_t NAMES_SIZE = 2048;
// Longest piece of a hints file taken as one line.
constexpr std::size_t HINTS_LINE = 1023;
// Longest lower bound of a score range.
constexpr std::size_t RANGE_LOWER = 15;

std::atomic<SiteGradeLookup> lookup_fn{nullptr};
std::atomic<SiteGradeInterfaceTest> interface_test{nullptr};

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

struct FileClose {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

struct DirClose {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

// The whole file, split at newlines (a final line without one included). A read error ends it.
std::vector<std::string> file_lines(FILE* file)
{
    std::string text;
    std::array<char, 4096> chunk;
    std::size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
        text.append(chunk.data(), got);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return lines;
}

bool is_interface_request(CONNECTION_T* connection)
{
    const SiteGradeInterfaceTest test = interface_test.load();
    return test != nullptr && test(connection);
}

// Base64 over the whole line, skipping what lies outside the alphabet (the line's own end,
// say); each line gets a string of its own sized for what it can decode to.
std::optional<std::string> decode_line(std::string_view line)
{
    std::string text;
    text.reserve(line.size());
    for (const char c : line) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
            c == '=')
            text += c;
    }
    if (text.empty())
        return std::nullopt;
    std::string out(text.size() / 4 * 3 + 4, '\0');
    const int length = from64tobits(out.data(), out.size(), text);
    if (length <= 0)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(length));
    return out;
}

} // namespace

void sitegrade_set_lookup(SiteGradeLookup lookup)
{
    lookup_fn.store(lookup);
}

void sitegrade_set_interface_test(SiteGradeInterfaceTest test)
{
    interface_test.store(test);
}

ScoreRange sitegrade_range(std::string_view text)
{
    const std::size_t dash = text.rfind('-');
    if (dash == std::string_view::npos) {
        const int n = atoi_lenient(text);
        return {n, n};
    }
    return {atoi_lenient(text.substr(0, std::min(dash, RANGE_LOWER))), atoi_lenient(text.substr(dash + 1))};
}

std::string sitegrade_key(std::string_view host, std::string_view category)
{
    std::string key;
    key.reserve(host.size() + category.size() + std::char_traits<char>::length(SITEGRADE_ZONE) + 2);
    key.append(host).append(".").append(category).append(".").append(SITEGRADE_ZONE);
    return lower(key);
}

SiteGrade::SiteGrade(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= SITEGRADE_FIELD_COUNT);
    enabled = f[SITEGRADE_FIELD_ENABLED].int_value;
    comment = f[SITEGRADE_FIELD_COMMENT].text;
    log = f[SITEGRADE_FIELD_LOG].int_value;
    profiles = f[SITEGRADE_FIELD_PROFILES].string_list;
    categories = f[SITEGRADE_FIELD_CATEGORIES].string_list;
    range_text = f[SITEGRADE_FIELD_RANGE].text;
    range = sitegrade_range(range_text);
    add = f[SITEGRADE_FIELD_ADD].string_list;
    remove = f[SITEGRADE_FIELD_REMOVE].string_list;
}

SiteGradeSection::SiteGradeSection() : Section("siteGrade", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= 2);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= SITEGRADE_FIELD_COUNT);
    {
        std::unique_lock lock(cache_lock_);
        cache_ = std::make_unique<SG_CACHE_TABLE>(SITEGRADE_CACHE_BUCKETS);
    }
    putlog(LOG_ALWAYS, "siteGrade: cache initialized for %d records and is ready to use", SITEGRADE_CACHE_BUCKETS);
    putlog(LOG_DEBUG, "siteGrade: Allocated %d Memory for cached records", SITEGRADE_CACHE_BUCKETS * 4);
    update();
}

SiteGradeSection::~SiteGradeSection()
{
    std::unique_lock lock(file_lock_);
    if (cfd_ >= 0)
        close(cfd_);
    cfd_ = -1;
}

void SiteGradeSection::update()
{
    // The files are loaded before the new rules are published, so that no request asks the
    // service for a score a hints file gives.
    const int enabled = fields_[0].int_value;
    const std::string hints = fields_[1].text;
    if (enabled != 0)
        sitegrade_init(hints);
    rules_.rebuild([this, enabled, &hints](SiteGradeRules& next) {
        next.enabled = enabled;
        next.hints = hints;
        if (enabled != 0)
            rules_from_items(next.rules, subsections_[0]);
    });
}

std::shared_ptr<const SiteGradeRules> SiteGradeSection::rules() const
{
    return rules_.snapshot();
}

int SiteGradeSection::check_sg_cache(std::string_view key) const
{
    const std::string wanted = lower(key);
    std::shared_lock lock(cache_lock_);
    const HashEntryOf<int>* entry = hash_search(cache_.get(), wanted);
    return entry != nullptr ? entry->value : -1;
}

int SiteGradeSection::update_sg_cache(std::string_view key, int score, bool learned)
{
    std::string wanted = lower(key);
    std::unique_lock lock(cache_lock_);
    if (hash_search(cache_.get(), wanted) != nullptr)
        return 0;
    hash_insert(cache_.get(), wanted, score);
    if (learned) {
        learned_.push_back(std::move(wanted));
        while (learned_.size() > learned_max_.load()) {
            hash_purge(cache_.get(), learned_.front());
            learned_.pop_front();
        }
    }
    return 1;
}

void SiteGradeSection::limits_set(std::size_t learned, Clock::duration failure_memory)
{
    learned_max_ = std::max<std::size_t>(learned, 1);
    std::lock_guard lock(failed_lock_);
    failure_memory_ = failure_memory;
}

bool SiteGradeSection::failed_recently(const std::string& query)
{
    std::lock_guard lock(failed_lock_);
    const auto found = failed_.find(query);
    if (found == failed_.end())
        return false;
    if (Clock::now() - found->second < failure_memory_)
        return true;
    failed_.erase(found);
    return false;
}

void SiteGradeSection::failure_remember(const std::string& query)
{
    std::lock_guard lock(failed_lock_);
    const Clock::time_point now = Clock::now();
    failed_[query] = now;
    failed_order_.emplace_back(query, now);
    // Bounded as the scores are: the oldest go first, and what has expired on the way.
    while (!failed_order_.empty() &&
           (failed_order_.size() > learned_max_.load() || now - failed_order_.front().second >= failure_memory_)) {
        const auto& [name, when] = failed_order_.front();
        const auto found = failed_.find(name);
        if (found != failed_.end() && found->second == when)
            failed_.erase(found);
        failed_order_.pop_front();
    }
}

bool SiteGradeSection::cache_file_writable() const
{
    std::shared_lock lock(file_lock_);
    return writable_;
}

void SiteGradeSection::sitegrade_init(const std::string& hints)
{
    // Without a hints directory there are no files to read or write: answers stay in memory.
    if (hints.empty() || cache_file_writable())
        return;
    sitegrade_filetocache_insert(hints);
    if (create_recursive_directory(hints.c_str()) != 1) {
        putlog(LOG_ERROR, "error: sitegrade: failed to create the hints directory");
        return;
    }
    {
        std::unique_lock lock(file_lock_);
        writable_ = true;
    }
    sitegrade_cache_file_setup(hints);
}

void SiteGradeSection::sitegrade_filetocache_insert(const std::string& hints)
{
    if (hints.empty())
        return;
    {
        const DirPtr dir(s_opendir(hints.c_str()));
        if (dir == nullptr) {
            putlog(LOG_ERROR, "siteGrade: hints directory: %s, does not exist", hints.c_str());
            return;
        }
        while (const dirent* entry = readdir(dir.get())) {
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            const std::size_t dot = name.rfind('.');
            if (dot == std::string_view::npos || name.substr(dot) != SITEGRADE_HINTS_SUFFIX)
                continue;
            const std::string path = hints + "/" + std::string(name);
            const FilePtr file(s_fopen(path.c_str(), "r"));
            if (file == nullptr) {
                log_syscall("open_1", "sitegrade_filetocache_insert", ("failed to open private cache: " + path).c_str());
                continue;
            }
            int records = 0;
            for (const std::string& whole : file_lines(file.get())) {
                // A long line is taken in pieces, each as a line of its own.
                for (std::size_t at = 0; at == 0 || at < whole.size(); at += HINTS_LINE) {
                    std::string_view line = std::string_view(whole).substr(at, HINTS_LINE);
                    if (!line.empty() && line.back() == '\r')
                        line.remove_suffix(1);
                    const std::vector<std::string> items = string_break(line, '\t');
                    if (items.size() != 2)
                        continue;
                    ++records;
                    const int score = atoi_lenient(items[1]);
                    if (score != 0)
                        update_sg_cache(items[0], score, false);
                }
            }
            putlog(LOG_ALWAYS, "siteGrade: read from %s, records: %d", path.c_str(), records);
        }
    }

    const std::string path = hints + "/" + SITEGRADE_CACHE_FILE;
    const FilePtr file(s_fopen(path.c_str(), "r"));
    if (file == nullptr) {
        log_syscall("open_2", "sitegrade_filetocache_insert", ("failed to open ccs cache: " + path).c_str());
        return;
    }
    int records = 0;
    for (const std::string& line : file_lines(file.get())) {
        const std::optional<std::string> text = decode_line(line);
        if (!text) {
            putlog(LOG_ERROR, "siteGrade: failed to decode: %s", line.c_str());
            continue;
        }
        const std::vector<std::string> items = string_break(*text, '\t');
        if (items.size() != 2)
            continue;
        ++records;
        update_sg_cache(items[0], atoi_lenient(items[1]));
    }
    putlog(LOG_ALWAYS, "siteGrade: read from %s, records: %d", path.c_str(), records);
    std::unique_lock lock(file_lock_);
    file_records_ = static_cast<std::size_t>(records);
}

void SiteGradeSection::sitegrade_cache_file_setup(const std::string& hints)
{
    std::unique_lock lock(file_lock_);
    if (cfd_ != -1)
        return;
    const std::string path = hints + "/" + SITEGRADE_CACHE_FILE;
    cfd_ = s_open64(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (cfd_ < 0) {
        cfd_ = -1;
        writable_ = false;
        log_syscall("open64", "sitegrade_cache_file_setup", ("failed to open file: " + path).c_str());
        return;
    }
    if (lseek(cfd_, 0, SEEK_END) < 0)
        writable_ = false;
    cache_path_ = path;
    // A file appended to without end before is brought back to what the table holds.
    if (writable_ && file_records_ > 2 * learned_max_.load())
        cache_file_rewrite();
}

void SiteGradeSection::cache_file_rewrite()
{
    std::string text;
    std::size_t records = 0;
    {
        std::shared_lock lock(cache_lock_);
        for (const std::string& key : learned_) {
            const HashEntryOf<int>* entry = hash_search(cache_.get(), key);
            if (entry == nullptr)
                continue;
            text += to64frombits(key + "\t" + std::to_string(entry->value));
            text += '\n';
            ++records;
        }
    }
    // Written beside the file and renamed over it: a failure on the way leaves the old one whole.
    const std::string fresh = cache_path_ + ".new";
    const int fd = s_open64(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_syscall("open64", "cache_file_rewrite", ("failed to open file: " + fresh).c_str());
        return;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == text.size();
    const bool closed = close(fd) == 0;
    if (!complete || !closed || rename(fresh.c_str(), cache_path_.c_str()) != 0) {
        unlink(fresh.c_str());
        log_syscall("write", "cache_file_rewrite", ("failed to rewrite file: " + cache_path_).c_str());
        return;
    }
    close(cfd_);
    cfd_ = s_open64(cache_path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC, 0644);
    if (cfd_ < 0) {
        cfd_ = -1;
        writable_ = false;
        log_syscall("open64", "cache_file_rewrite", ("failed to open file: " + cache_path_).c_str());
        return;
    }
    file_records_ = records;
}

void SiteGradeSection::sitegrade_dnstofile_insert(std::string_view key, int score)
{
    if (!cache_file_writable())
        return;
    std::string text(key);
    text += '\t';
    text += std::to_string(score);
    const std::string line = to64frombits(text) + "\n";

    std::unique_lock lock(file_lock_);
    if (!writable_ || cfd_ < 0)
        return;
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = write(cfd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Appending stops until an update sets the file up again.
            writable_ = false;
            fsync(cfd_);
            close(cfd_);
            cfd_ = -1;
            return;
        }
        written += static_cast<std::size_t>(n);
    }
    if (++file_records_ > 2 * learned_max_.load())
        cache_file_rewrite();
}

void SiteGradeSection::fire(const SiteGrade& rule, CONNECTION_T* connection)
{
    StringList& names = connection->profiles;
    for (const std::string& name : rule.add) {
        if (names.has(name))
            continue;
        names.push_back(name);
        if (rule.log != 0)
            StringList::show_p("siteGrade: Added: ", name);
    }
    for (const std::string& name : rule.remove) {
        names.remove(name);
        if (rule.log != 0)
            StringList::show_p("siteGrade: Removed: ", name);
    }
}

int SiteGradeSection::check_profiles(CONNECTION_T* connection, int pass)
{
    // One generation of the rules for the whole run: no section lock is held while the service
    // is asked, however long it takes to answer.
    const std::shared_ptr<const SiteGradeRules> current = rules();
    if (current->enabled == 0 || connection->request == nullptr || !connection->request->host)
        return 0;
    std::string_view host = *connection->request->host;
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty())
        return 0;
    const SiteGradeLookup lookup = lookup_fn.load() != nullptr ? lookup_fn.load() : getmx;

    for (const SiteGrade& rule : current->rules) {
        if (rule.enabled == 0)
            continue;
        if (pass == 0 ? !rule.profiles.empty() : profile_find(connection->profiles, rule.profiles) != 1)
            continue;
        if (rule.categories.empty() || rule.range_text.empty()) {
            if (rule.log != 0)
                putlog(LOG_ERROR, "sitegrade: malformed entry: category or score range not specified.");
            continue;
        }

        struct Pending {
            std::string query;      // the name the service is asked for
            std::string category;   // the name an answer must give
        };
        std::vector<Pending> pending;
        bool fired = false;
        for (const std::string& written : rule.categories) {
            if (written.empty()) {
                if (rule.log != 0)
                    putlog(LOG_ERROR, "sitegrade: empty category name in a rule");
                continue;
            }
            // A category with a final dot is a zone of its own, asked for the host under it; its
            // score is the one its answer gives under the zone's own name.
            std::string category = written;
            std::string query;
            if (category.back() == '.') {
                category.pop_back();
                query = std::string(host) + "." + category;
            } else {
                query = std::string(host) + "." + SITEGRADE_ZONE;
            }
            const int score = check_sg_cache(sitegrade_key(host, category));
            if (score >= 0 && rule.range.contains(score)) {
                if (rule.log != 0)
                    putlog(LOG_PROFILES, "sitegrade: cache hit! site: %.*s scored: %d in category: %s, matches required range",
                           static_cast<int>(host.size()), host.data(), score, category.c_str());
                fire(rule, connection);
                fired = true;
                break;
            }
            if (score < 0) {
                pending.push_back({std::move(query), std::move(category)});
            } else if (rule.log != 0) {
                putlog(LOG_PROFILES,
                       "sitegrade: cache hit! site: %.*s scored: %d in category: %s, Does Not Match required range",
                       static_cast<int>(host.size()), host.data(), score, category.c_str());
            }
        }
        if (fired)
            continue;

        // One question a distinct query name, in the order the categories gave them.
        for (std::size_t i = 0; i < pending.size() && !fired; ++i) {
            const std::string& query = pending[i].query;
            if (std::any_of(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i),
                            [&query](const Pending& earlier) { return earlier.query == query; }))
                continue;
            // A name that had no answer a moment ago is not asked again for a while: each request
            // (and each rule of it) would wait for the service again, on the connection's thread.
            if (failed_recently(query))
                continue;
            const std::vector<MxRecord> answers = lookup(query, NAMES_SIZE);
            if (answers.empty()) {
                failure_remember(query);
                putlog(LOG_ERROR, "siteGrade: failed to lookup site: %.*s", static_cast<int>(host.size()), host.data());
                continue;
            }
            for (const MxRecord& answer : answers) {
                const std::string key = sitegrade_key(host, answer.name);
                if (update_sg_cache(key, answer.score) == 1 && !current->hints.empty()) {
                    sitegrade_dnstofile_insert(key, answer.score);
                    if (rule.log != 0)
                        putlog(LOG_PROFILES, "siteGrade: cache updated for: site: %.*s scored: %d in category: %s",
                               static_cast<int>(host.size()), host.data(), answer.score, answer.name.c_str());
                }
            }
            for (const Pending& wanted : pending) {
                if (wanted.query != query)
                    continue;
                const auto match = std::find_if(answers.begin(), answers.end(), [&wanted](const MxRecord& answer) {
                    return equal_nocase(answer.name, wanted.category);
                });
                if (match != answers.end() && rule.range.contains(match->score)) {
                    fire(rule, connection);
                    fired = true;
                    break;
                }
            }
        }
    }
    return 0;
}

int sitegrade_first(CONNECTION_T* connection, Filebuf*)
{
    if (sitegrade_section != nullptr && connection->request != nullptr && connection->request->host &&
        !is_interface_request(connection))
        sitegrade_section->check_profiles(connection, 0);
    return 0;
}

int sitegrade_second(CONNECTION_T* connection, Filebuf*)
{
    if (sitegrade_section != nullptr && connection->request != nullptr && connection->request->host &&
        !is_interface_request(connection))
        sitegrade_section->check_profiles(connection, 1);
    return 0;
}
