#include "http/header.h"
#include "policy/urlblacklist.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/request.h"
#include "policy/allowdeny.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "util/mem.h"
#include "util/url.h"

URLBLSection* urlbl_section = nullptr;

namespace {

// The categories as configured, and once more in the map's order without repeats.
void categories_read(URLBL& rule, const Field& field)
{
    rule.categories = field.string_list;
    rule.sorted.assign(rule.categories.begin(), rule.categories.end());
    std::sort(rule.sorted.begin(), rule.sorted.end());
    rule.sorted.erase(std::unique(rule.sorted.begin(), rule.sorted.end()), rule.sorted.end());
}

constexpr RuleField<URLBL> FIELDS[] = {
    {"enabled", &URLBL::enabled},   {"comment", &URLBL::comment}, {"profiles", &URLBL::profiles},
    {"categories", &categories_read}, {"template", &URLBL::templ},
};

constexpr RuleSectionShape<URLBLRules, URLBL> SHAPE{
    .name = "urlblacklist",
    .enabled_at = 0,
    .order_at = 1,
    .templ_at = 3,
    .lists = {&URLBLRules::allow, &URLBLRules::deny},
    .bypass = BYPASS_URLBLACKLIST,
    .fields = FIELDS,
    .item_fields = &URLBL::fields,
    .globals = [](URLBLRules& next, const FieldVector& fields) { next.directory = fields[2].text; },
};

struct FileClose {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
struct DirClose {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// The file's pieces as a line reader with a buffer of URLBL_LINE_MAX + 1 bytes gives them: each
// line without its line feed (a carriage return stays), a longer line cut into pieces of
// URLBL_LINE_MAX. False when the file cannot be opened.
template <class Piece>
bool read_pieces(const std::string& path, Piece&& piece)
{
    std::unique_ptr<std::FILE, FileClose> file(s_fopen(path.c_str(), "r"));
    if (file == nullptr)
        return false;
    std::string data;
    char chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        data.append(chunk, n);
    std::string_view rest(data);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const bool terminated = end != std::string_view::npos;
        std::string_view line = rest.substr(0, terminated ? end : rest.size());
        rest.remove_prefix(terminated ? end + 1 : rest.size());
        if (line.empty()) {
            piece(line);
            continue;
        }
        while (!line.empty()) {
            piece(line.substr(0, URLBL_LINE_MAX));
            line.remove_prefix(std::min(line.size(), URLBL_LINE_MAX));
        }
        // A line that fills the last piece exactly leaves its line feed to a piece of its own.
        if (terminated && end % URLBL_LINE_MAX == 0)
            piece(std::string_view());
    }
    return true;
}

bool is_directory(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool BlacklistCategory::store(std::string_view bytes, Span& span)
{
    // Offsets are 32 bits wide; a list beyond 4 GiB of text is cut there.
    if (text_.size() + bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return false;
    span.offset = static_cast<std::uint32_t>(text_.size());
    span.length = static_cast<std::uint32_t>(bytes.size());
    text_.append(bytes);
    return true;
}

void BlacklistCategory::add_domain(std::string_view domain)
{
    Pending entry{{}, {}, true};
    if (store(domain, entry.domain))
        pending_.push_back(entry);
}

void BlacklistCategory::add_url(std::string_view line)
{
    const std::size_t slash = line.find('/');
    std::string_view domain = line.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? std::string_view() : line.substr(slash);
    domain = domain.substr(0, URLBL_DOMAIN_MAX);
    Pending entry{{}, {}, false};
    if (store(domain, entry.domain) && store(path, entry.path))
        pending_.push_back(entry);
}

void BlacklistCategory::load(const std::string& directory)
{
    read_pieces(directory + "/domains", [this](std::string_view line) { add_domain(line); });
    read_pieces(directory + "/urls", [this](std::string_view line) { add_url(line); });
}

void BlacklistCategory::finish()
{
    // Stable, so the paths of a domain keep the order of their lines.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [this](const Pending& a, const Pending& b) { return text(a.domain) < text(b.domain); });
    entries_.clear();
    paths_.clear();
    for (std::size_t i = 0; i < pending_.size();) {
        std::size_t j = i;
        bool whole = false;
        while (j < pending_.size() && text(pending_[j].domain) == text(pending_[i].domain)) {
            whole = whole || pending_[j].whole;
            ++j;
        }
        Entry entry;
        entry.domain = pending_[i].domain;
        entry.paths_begin = static_cast<std::uint32_t>(paths_.size());
        // A whole domain ignores its "urls" lines.
        if (!whole) {
            for (std::size_t k = i; k < j; ++k)
                paths_.push_back(pending_[k].path);
        }
        entry.paths_end = static_cast<std::uint32_t>(paths_.size());
        entries_.push_back(entry);
        i = j;
    }
    std::vector<Pending>().swap(pending_);
    entries_.shrink_to_fit();
    paths_.shrink_to_fit();
    text_.shrink_to_fit();
}

const BlacklistCategory::Entry* BlacklistCategory::find(std::string_view domain) const
{
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), domain,
                                     [this](const Entry& entry, std::string_view key) { return text(entry.domain) < key; });
    if (it == entries_.end() || text(it->domain) != domain)
        return nullptr;
    return &*it;
}

bool BlacklistCategory::covers(std::string_view domain, std::string_view path) const
{
    const Entry* entry = find(domain);
    if (entry == nullptr)
        return false;
    if (entry->paths_begin == entry->paths_end)
        return true;
    for (std::uint32_t i = entry->paths_begin; i < entry->paths_end; ++i) {
        if (starts_with_nocase(path, text(paths_[i])))
            return true;
    }
    return false;
}

std::vector<std::string_view> BlacklistCategory::paths(std::string_view domain) const
{
    std::vector<std::string_view> result;
    if (const Entry* entry = find(domain)) {
        for (std::uint32_t i = entry->paths_begin; i < entry->paths_end; ++i)
            result.push_back(text(paths_[i]));
    }
    return result;
}

std::size_t BlacklistCategory::memory() const
{
    return text_.capacity() + entries_.capacity() * sizeof(Entry) + paths_.capacity() * sizeof(Span);
}

std::unique_ptr<BlacklistTree> blacklist_read(const std::string& directory)
{
    std::unique_ptr<DIR, DirClose> dir(s_opendir(directory.c_str()));
    if (dir == nullptr)
        return nullptr;
    auto tree = std::make_unique<BlacklistTree>();
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = directory + "/" + name;
        if (!is_directory(path))
            continue;
        ++tree->count;
        BlacklistCategory& category = tree->categories[name];
        category.load(path);
        category.finish();
    }
    return tree;
}

std::vector<std::string> urlbl_suffixes(std::string_view host)
{
    std::vector<std::string> labels = string_break(host, '.');
    std::vector<std::string> suffixes;
    suffixes.reserve(labels.size());
    std::string suffix;
    for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
        if (it->empty())
            continue;
        string_tolower(*it);
        suffix = suffix.empty() ? *it : *it + "." + suffix;
        suffixes.push_back(suffix);
    }
    return suffixes;
}

const std::string* URLBL::match(const CONNECTION_T& connection, const BlacklistMap& map,
                                const std::vector<std::string>& suffixes, std::string_view path) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1 || map.empty())
        return nullptr;
    // sorted is in the map's order, so the first category found is the first in the map.
    for (const std::string& name : sorted) {
        const auto it = map.find(name);
        if (it == map.end())
            continue;
        for (const std::string& suffix : suffixes) {
            if (it->second.covers(suffix, path))
                return &it->first;
        }
    }
    return nullptr;
}

URLBLSection::URLBLSection() : RuleSection(SHAPE) {}

std::shared_ptr<const BlacklistTree> URLBLSection::tree() const
{
    return tree_.snapshot();
}

void URLBLSection::load()
{
    const std::string directory = rules()->directory;
    std::unique_ptr<BlacklistTree> read = blacklist_read(directory);
    if (read == nullptr) {
        putlog(LOG_URLBLACKLIST, "failed to load URL blacklist from %s", directory.c_str());
        return;
    }
    const int count = read->count;
    tree_.rebuild([&read](BlacklistTree& next) { next = std::move(*read); });
    // Reading a large tree leaves megabytes of freed file text and line records in the heap,
    // and the replaced tree on a reload: give them back.
    malloc_trim(0);
    putlog(LOG_URLBLACKLIST, "loaded %d categories", count);
}

std::shared_ptr<const URLBL> URLBLSection::check(CONNECTION_T* connection) const
{
    std::shared_ptr<const URLBLRules> current = rules();
    if (!active(*current, *connection))
        return nullptr;
    const std::shared_ptr<const BlacklistTree> lists = tree();
    const HEADER* request = connection->request.get();
    const UrlMatchText url(request != nullptr ? text_view(request->host) : std::string_view(),
                           request != nullptr ? text_view(request->path) : std::string_view());
    const std::vector<std::string> suffixes = urlbl_suffixes(url.host());
    const auto match = [connection, &lists, &suffixes, &url](const URLBL& rule) {
        const std::string* category = rule.match(*connection, lists->categories, suffixes, url.path());
        if (category == nullptr)
            return false;
        connection->variables["CATEGORY"] = *category;
        connection->variables["FILTER"] = "URL BlackList";
        putlog(LOG_URLBLACKLIST, "match found in %s category", category->c_str());
        connection->logentry.filter_name = "urlbl";
        connection->logentry.filtering_reason = *category;
        return true;
    };
    const AllowDeny<URLBL> verdict = allowdeny_decide<URLBL>(current->order, current->allow, current->deny, match);
    if (verdict.allowed)
        return nullptr;
    const URLBL* rule = verdict.rule != nullptr ? verdict.rule : &current->fallback;
    return std::shared_ptr<const URLBL>(std::move(current), rule);
}

int URLBLSection::check_and_block(CONNECTION_T* connection) const
{
    const std::shared_ptr<const URLBL> rule = check(connection);
    if (rule == nullptr)
        return 0;
    const HEADER* request = connection->request.get();
    putlog(LOG_URLBLACKLIST, "blocked %s%s", request != nullptr ? text_or_empty(request->host) : "",
           request != nullptr ? text_or_empty(request->path) : "");
    std::string page = rule->templ;
    if (page.empty())
        page = rules()->templ;
    if (page.empty())
        page = "blacklisted";
    const bool tunnel = request != nullptr && request->kind == HEADER_CONNECT;
    template_section->send(page, connection, tunnel ? 404 : 200);
    return 1;
}

int urlbl_reqcheck(CONNECTION_T* connection, Filebuf* /*buffer*/)
{
    return urlbl_section->check_and_block(connection);
}
