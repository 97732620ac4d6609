// The frame of the sections that judge a request by lists of rules (URL, MIME, cookie, header
// and keyword filters, URL blacklists, redirections, rewriting), and the two-pass allow and deny
// order shared by the sections that keep an allow list, a deny list
// and an order value: access rules, URL filter, URL blacklists, cookie, header and MIME filters.
//
// With a non-zero order the allow list is scanned first and the default is deny: a client needs
// an allow rule and may then still be denied by a deny rule. With order zero the deny list is
// scanned first and the default is allow: a request passes unless a deny rule matches, and an
// allow rule may then admit it again. Each list stops at its first matching rule; the second list
// is scanned only when the first one matched. Each section reports the verdict its own way.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "core/connection.h"
#include "util/mem.h"

template <class Rule>
struct AllowDeny {
    bool allowed;
    const Rule* rule;   // the deciding rule; null when the default decided
};

// `allow` and `deny` are any ranges of Rule walked in order; match(const Rule&) answers whether
// one rule matches the request at hand. The result points into the lists it was given.
template <class Rule, class AllowList, class DenyList, class Match>
AllowDeny<Rule> allowdeny_decide(int order, const AllowList& allow, const DenyList& deny, Match&& match)
{
    const auto first_match = [&match](const auto& list) -> const Rule* {
        for (const Rule& rule : list) {
            if (match(rule))
                return &rule;
        }
        return nullptr;
    };
    if (order != 0) {
        const Rule* allowing = first_match(allow);
        if (allowing == nullptr)
            return {false, nullptr};
        if (const Rule* denying = first_match(deny))
            return {false, denying};
        return {true, allowing};
    }
    const Rule* denying = first_match(deny);
    if (denying == nullptr)
        return {true, nullptr};
    if (const Rule* allowing = first_match(allow))
        return {true, allowing};
    return {false, denying};
}

// The global values every rule section keeps; a section's rules record derives from it and adds
// its lists (and any value of its own, read by the shape's `globals`).
struct RuleGlobals {
    int enabled = 0;
    int order = 0;          // non-zero: allow list first, the default is to deny
    std::string templ;      // the section's page; empty: the section's built-in name
};

// Where a position is not declared.
constexpr std::size_t RULE_GLOBAL_NONE = static_cast<std::size_t>(-1);

// What tells one rule section apart in the frame: its name, the positions of its global values,
// the lists its subsections fill (in subsection order), the bypass letter that turns it off, and
// the table of its rules' values.
template <class Rules, class Rule>
struct RuleSectionShape {
    const char* name;
    std::size_t enabled_at;
    std::size_t order_at;    // RULE_GLOBAL_NONE: no order
    std::size_t templ_at;    // RULE_GLOBAL_NONE: no section page
    std::array<std::vector<Rule> Rules::*, 3> lists;   // null past the last list
    unsigned bypass;         // BYPASS_* bit; 0: none turns it off
    std::span<const RuleField<Rule>> fields;
    // Set: each rule keeps its item's values there, for a page that shows the rule.
    FieldVector Rule::*item_fields = nullptr;
    // Set: reads the section's own further global values into the next generation.
    void (*globals)(Rules& next, const FieldVector& fields) = nullptr;
};

// The part of the frame that does not depend on the rule type: what a test of every section
// compares with the declarations.
class RuleSectionFrame : public Section {
public:
    // The element names of the values each rule reads, in position order.
    virtual std::vector<std::string_view> rule_field_names() const = 0;
    // The element names of each rule list's declared values (one vector a list).
    virtual std::vector<std::vector<std::string>> declared_rule_fields() const = 0;

protected:
    RuleSectionFrame(const char* name) : Section(name, SECTION_RWLOCK) {}
};

// A section whose rules are lists of Rule read through the shape's table. The constructor checks
// the declarations against the shape (a fatal assertion when they lack a position) and builds the
// first generation; every update() builds the next one whole and swaps it in.
template <class Rules, class Rule>
class RuleSection : public RuleSectionFrame {
public:
    using Shape = RuleSectionShape<Rules, Rule>;

    std::shared_ptr<const Rules> rules() const { return rules_.snapshot(); }

    void update() final
    {
        rules_.rebuild([this](Rules& next) {
            next.enabled = fields_[shape_.enabled_at].int_value;
            if (shape_.order_at != RULE_GLOBAL_NONE)
                next.order = fields_[shape_.order_at].int_value;
            if (shape_.templ_at != RULE_GLOBAL_NONE)
                next.templ = fields_[shape_.templ_at].text;
            if (shape_.globals != nullptr)
                shape_.globals(next, fields_);
            for (std::size_t i = 0; i < lists(); ++i) {
                std::vector<Rule>& list = next.*shape_.lists[i];
                list.reserve(subsections_[i].items.size());
                for (const Item& item : subsections_[i].items) {
                    list.push_back(rule_read(item.fields, shape_.fields));
                    if (shape_.item_fields != nullptr)
                        list.back().*shape_.item_fields = item.fields;
                }
            }
        });
    }

    // Whether the section judges the connection at all: enabled, and its bypass letter not set.
    bool active(const Rules& rules, const CONNECTION_T& connection) const
    {
        return rules.enabled != 0 && (connection.bypass & shape_.bypass) == 0;
    }

    std::vector<std::string_view> rule_field_names() const override
    {
        std::vector<std::string_view> names;
        for (const RuleField<Rule>& field : shape_.fields)
            names.push_back(field.name);
        return names;
    }

    std::vector<std::vector<std::string>> declared_rule_fields() const override
    {
        std::vector<std::vector<std::string>> lists_names(lists());
        for (std::size_t i = 0; i < lists(); ++i) {
            for (const Field& field : subsections_[i].templ)
                lists_names[i].push_back(field.name);
        }
        return lists_names;
    }

protected:
    explicit RuleSection(const Shape& shape) : RuleSectionFrame(shape.name), shape_(shape)
    {
        for (const std::size_t at : {shape.enabled_at, shape.order_at, shape.templ_at})
            FATAL_ASSERT(at == RULE_GLOBAL_NONE || at < fields_.size());
        FATAL_ASSERT(subsections_.size() >= lists());
        for (std::size_t i = 0; i < lists(); ++i)
            FATAL_ASSERT(subsections_[i].templ.size() >= shape.fields.size());
        update();
    }

private:
    std::size_t lists() const
    {
        std::size_t count = 0;
        while (count < shape_.lists.size() && shape_.lists[count] != nullptr)
            ++count;
        return count;
    }

    const Shape& shape_;
    SectionRules<Rules> rules_{*this};
};
