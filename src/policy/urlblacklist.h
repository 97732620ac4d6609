// The "urlblacklist" section: requests blocked by categorised lists of domains and of
// domain-and-path prefixes read from a directory tree (DIR/CATEGORY/domains, DIR/CATEGORY/urls).
// Rules, in an allow list and a deny list decided in the two-pass order the access rules use,
// name the categories they act on.
//
// The lists of a large blacklist run to millions of lines, so a category keeps its entries in
// one text arena and a sorted index into it rather than a node per entry: a lookup is a binary
// search per label of the host. A load builds the whole tree aside and swaps it in, so requests
// are never held up by it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/field.h"
#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// Longest domain taken from a "urls" line, and longest piece a list line is read in.
constexpr std::size_t URLBL_DOMAIN_MAX = 511;
constexpr std::size_t URLBL_LINE_MAX = 1023;

// One category: its domains in byte-wise order, each either whole (every path) or with the path
// prefixes its "urls" lines gave, in file order.
class BlacklistCategory {
public:
    // Reads DIR/CATEGORY/domains and DIR/CATEGORY/urls; a file that cannot be read is skipped.
    void load(const std::string& directory);
    // Entries as the files would give them, for builders other than load().
    void add_domain(std::string_view domain);
    void add_url(std::string_view line);
    // Sorts the entries; called once, after the last add.
    void finish();

    // Whether the domain is listed for the path: a whole domain for any path, else a listed
    // path that begins the request's path in any letter case.
    bool covers(std::string_view domain, std::string_view path) const;

    std::size_t domains() const { return entries_.size(); }
    // The listed paths of a domain; empty for a whole domain or one not listed.
    std::vector<std::string_view> paths(std::string_view domain) const;
    bool listed(std::string_view domain) const { return find(domain) != nullptr; }
    // Calls visit(domain, paths) for every domain in byte-wise order, paths empty for a whole
    // domain: the interface's search walks the lists this way.
    template <class Visit>
    void each(Visit&& visit) const
    {
        std::vector<std::string_view> listed;
        for (const Entry& entry : entries_) {
            listed.clear();
            for (std::uint32_t i = entry.paths_begin; i < entry.paths_end; ++i)
                listed.push_back(text(paths_[i]));
            visit(text(entry.domain), listed);
        }
    }
    std::size_t memory() const;

private:
    struct Span {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    struct Entry {
        Span domain;
        std::uint32_t paths_begin = 0;   // into paths_; begin == end: a whole domain
        std::uint32_t paths_end = 0;
    };
    struct Pending {
        Span domain;
        Span path;
        bool whole;
    };

    std::string_view text(Span span) const { return std::string_view(text_).substr(span.offset, span.length); }
    bool store(std::string_view bytes, Span& span);
    const Entry* find(std::string_view domain) const;

    std::string text_;               // every domain and path, back to back
    std::vector<Entry> entries_;     // sorted by domain once finished
    std::vector<Span> paths_;
    std::vector<Pending> pending_;   // lines read, until finish()
};

// Category name to its lists, in byte-wise order of the names.
using BlacklistMap = std::map<std::string, BlacklistCategory>;

struct BlacklistTree {
    BlacklistMap categories;
    int count = 0;   // category directories found
};

// Builds the tree of a directory; null when it cannot be opened.
std::unique_ptr<BlacklistTree> blacklist_read(const std::string& directory);

// One rule: read once from its item, then only read, by any number of connection threads at once.
// A default rule is the section's own decision when the default blocks: enabled, no condition,
// no template.
struct URLBL : RuleHead {
    // The first category, in the map's order among those the rule names, that lists the host
    // (its suffixes, shortest first) and the path, both as rules see them (UrlMatchText); null
    // when the rule does not match.
    const std::string* match(const CONNECTION_T& connection, const BlacklistMap& map,
                             const std::vector<std::string>& suffixes, std::string_view path) const;

    StringList categories;        // as configured
    std::vector<std::string> sorted;   // the categories in the map's order, without repeats
    std::string templ;            // empty: the section's template
    FieldVector fields;           // empty for the built-in rule
};

struct URLBLRules : RuleGlobals {
    std::vector<URLBL> allow;
    std::vector<URLBL> deny;
    URLBL fallback;         // the built-in rule
    std::string directory;
};

// The host's suffixes from the shortest (last label) to the whole host, its labels split at
// runs of dots, in lower case.
std::vector<std::string> urlbl_suffixes(std::string_view host);

class URLBLSection final : public RuleSection<URLBLRules, URLBL> {
public:
    // The declarations must give the enabled flag, the order, the directory and the template as
    // the first four global values, and two subsections (allow, deny) with the values of a rule.
    URLBLSection();

    std::shared_ptr<const BlacklistTree> tree() const;

    // Reads the configured directory into a new tree and swaps it in; checks meanwhile go on
    // with the tree they have.
    void load();

    // The rule that blocks the request, the built-in rule when the default blocks it, or null.
    // Every rule that matches on the way names its category in the connection's variables and
    // log record.
    std::shared_ptr<const URLBL> check(CONNECTION_T* connection) const;
    // 1 once the request was blocked and its page sent (or the page could not be: the request
    // is blocked all the same), else 0.
    int check_and_block(CONNECTION_T* connection) const;

private:
    SectionRules<BlacklistTree> tree_{*this};
};

// The request check of stage 0.
int urlbl_reqcheck(CONNECTION_T* connection, Filebuf* buffer);

// Created by the runtime bring-up; null before.
extern URLBLSection* urlbl_section;
