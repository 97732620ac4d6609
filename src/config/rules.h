// The rules a section builds from its items, one generation at a time. update() builds the next
// generation whole, without a lock, and swaps it in under the section's lock; readers copy the
// pointer and work on that generation for as long as they hold it, so no lock is held across
// DNS, a template send or another section, and rules never change under a running check.
//
//   struct NetworkRules { std::vector<Listen> listens; };
//
//   class NetworkSection final : public Section {
//   public:
//       std::shared_ptr<const NetworkRules> rules() const { return rules_.snapshot(); }
//       void update() override
//       {
//           rules_.rebuild([this](NetworkRules& next) { rules_from_items(next.listens, subsections_[0]); });
//       }
//   private:
//       SectionRules<NetworkRules> rules_{*this};
//   };
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config/field.h"
#include "config/item.h"
#include "config/ranges.h"
#include "config/section.h"
#include "util/mem.h"
#include "util/regex.h"
#include "util/stringutil.h"

template <class T>
class SectionRules {
public:
    // Guarded by the owner's lock (its read/write lock, or its mutex for a kind-1 section). The
    // first generation is a default T, so a snapshot is never null.
    explicit SectionRules(const Section& owner) : owner_(owner) {}
    SectionRules(const SectionRules&) = delete;
    SectionRules& operator=(const SectionRules&) = delete;

    // The generation in force: a pointer copy, never a rebuild. Not while holding the owner's
    // lock.
    std::shared_ptr<const T> snapshot() const
    {
        SectionReadLock lock(owner_);
        return current_;
    }

    // Calls build(T&) on a new default T, without the lock, and publishes the result. The
    // replaced generation is freed after the lock is released, and only once the last snapshot
    // of it is dropped, so freeing compiled patterns never blocks readers. Called from update(),
    // where the writer holds writer_mutex_ and the items hold still.
    template <class Build>
    void rebuild(Build&& build)
    {
        auto next = std::make_shared<T>();
        std::forward<Build>(build)(*next);
        std::shared_ptr<const T> old = std::move(next);
        {
            SectionWriteLock lock(owner_);
            current_.swap(old);
        }
    }

private:
    const Section& owner_;
    std::shared_ptr<const T> current_ = std::make_shared<const T>();
};

// Appends a rule built from each item of the subsection (Rule has a constructor from an Item),
// in item order.
template <class Rule>
void rules_from_items(std::vector<Rule>& rules, const Subsection& subsection)
{
    rules.reserve(rules.size() + subsection.items.size());
    for (const Item& item : subsection.items)
        rules.emplace_back(item);
}

// One value of a rule's item and the member of the rule it is read into; a rule's table lists
// its values in their positions, so that reading a rule is one walk of the table:
//
//   constexpr RuleField<Mime> MIME_FIELDS[] = {
//       {"enabled", &Mime::enabled}, {"comment", &Mime::comment}, {"profiles", &Mime::profiles},
//       {"host", &Mime::host}, {"file", &Mime::path}, {"mime", &Mime::type}, {"template", &Mime::templ},
//   };
//
// The member's type says how the value is read: a number, a text, a list of texts, address
// ranges, a match-only pattern compiled in any letter case, or a capture pattern compiled with
// the entry's options. A value the rule reads its own way names a function instead.
template <class Rule>
struct RuleField {
    using Read = void (*)(Rule& rule, const Field& field);
    using Member = std::variant<int Rule::*, std::string Rule::*, StringList Rule::*, IpRangeList Rule::*,
                                RulePattern Rule::*, RuleSubPattern Rule::*, Read>;

    std::string_view name;   // the value's element name in the declarations
    Member member;
    int options = 0;         // REG_SUB_* bits, for a capture pattern
};

// The values every rule begins with, at positions 0, 1 and 2 of its item.
struct RuleHead {
    int enabled = 1;
    std::string comment;
    StringList profiles;
};

// The rule the table reads from the item's values; an item with fewer values than the table
// lists is a fatal assertion (the section's constructor checks its declarations first).
template <class Rule>
Rule rule_read(const FieldVector& fields, std::span<const RuleField<Rule>> table)
{
    FATAL_ASSERT(fields.size() >= table.size());
    Rule rule;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Field& field = fields[i];
        const RuleField<Rule>& entry = table[i];
        if (const auto* number = std::get_if<int Rule::*>(&entry.member))
            rule.**number = field.int_value;
        else if (const auto* text = std::get_if<std::string Rule::*>(&entry.member))
            rule.**text = field.text;
        else if (const auto* list = std::get_if<StringList Rule::*>(&entry.member))
            rule.**list = field.string_list;
        else if (const auto* ranges = std::get_if<IpRangeList Rule::*>(&entry.member))
            rule.**ranges = field.ip_ranges;
        else if (const auto* pattern = std::get_if<RulePattern Rule::*>(&entry.member))
            rule.**pattern = RulePattern(field.text);
        else if (const auto* sub = std::get_if<RuleSubPattern Rule::*>(&entry.member))
            rule.**sub = RuleSubPattern(field.text, entry.options);
        else
            std::get<typename RuleField<Rule>::Read>(entry.member)(rule, field);
    }
    return rule;
}
