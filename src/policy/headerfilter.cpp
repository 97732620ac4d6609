#include "policy/headerfilter.h"

#include "config/item.h"
#include "config/profile.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/allowdeny.h"
#include "util/log.h"
#include "util/mem.h"

HeaderSection* header_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_ORDER = 1,
    GLOBAL_COUNT = 2,
};

enum : std::size_t {
    SUBSECTION_ALLOW = 0,
    SUBSECTION_DENY = 1,
    SUBSECTION_ADD = 2,
};

const char* side_name(int direction) { return direction == HEADERFILTER_REQUEST ? "client" : "server"; }

} // namespace

Header::Header(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= HEADER_FIELD_COUNT);
    enabled = f[HEADER_FIELD_ENABLED].int_value;
    comment = f[HEADER_FIELD_COMMENT].text;
    profiles = f[HEADER_FIELD_PROFILES].string_list;
    name = f[HEADER_FIELD_NAME].text;
    value = f[HEADER_FIELD_VALUE].text;
    direction = f[HEADER_FIELD_DIRECTION].int_value;
    compile();
}

Header::Header(const Header& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      name(other.name),
      value(other.value),
      direction(other.direction)
{
    compile();
}

void Header::compile()
{
    name_regex = rule_pattern_compile(name);
    value_regex = rule_pattern_compile(value);
}

bool Header::applies(const StringList& connection_profiles, int which) const
{
    return enabled != 0 && (direction & which) != 0 && profile_find(connection_profiles, profiles) == 1;
}

bool Header::match(const StringList& connection_profiles, int which, const HTTP_HEADER& line) const
{
    return applies(connection_profiles, which) && rule_pattern_matches(name_regex, line.name) &&
           rule_pattern_matches(value_regex, line.value);
}

HeaderSection::HeaderSection() : Section("header-filtering", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(subsections_.size() > SUBSECTION_ADD);
    for (std::size_t i = SUBSECTION_ALLOW; i <= SUBSECTION_ADD; ++i)
        FATAL_ASSERT(subsections_[i].templ.size() >= HEADER_FIELD_COUNT);
    update();
}

void HeaderSection::update()
{
    rules_.rebuild([this](HeaderRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.order = fields_[GLOBAL_ORDER].int_value;
        rules_from_items(next.allow, subsections_[SUBSECTION_ALLOW]);
        rules_from_items(next.deny, subsections_[SUBSECTION_DENY]);
        rules_from_items(next.add, subsections_[SUBSECTION_ADD]);
    });
}

std::shared_ptr<const HeaderRules> HeaderSection::rules() const
{
    return rules_.snapshot();
}

void HeaderSection::filter(CONNECTION_T* connection, int direction)
{
    const std::shared_ptr<const HeaderRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_HEADER) != 0)
        return;
    HEADER* header = direction == HEADERFILTER_REQUEST ? connection->request.get() : connection->response;
    if (header == nullptr)
        return;
    const StringList& profiles = connection->profiles;
    // Filtering twice must not keep what an earlier pass made: the list is built afresh.
    header->filtered.clear();
    header->flags |= HEADER_FILTERED;
    for (const HTTP_HEADER& line : header->lines) {
        const AllowDeny<Header> verdict = allowdeny_decide<Header>(
            current->order, current->allow, current->deny,
            [&](const Header& rule) { return rule.match(profiles, direction, line); });
        if (verdict.allowed) {
            header->filtered.push_back(line);
            continue;
        }
        putlog(LOG_HEADER, "removed: from %s: %s: %s", side_name(direction), line.name.c_str(), line.value.c_str());
    }
    for (const Header& rule : current->add) {
        if (!rule.applies(profiles, direction) || rule.name.empty() || rule.value.empty())
            continue;
        header->filtered.push_back(HTTP_HEADER{HTTP_HEADER_PASS, rule.name, rule.value});
        putlog(LOG_HEADER, "added: to %s: %s: %s", side_name(direction), rule.name.c_str(), rule.value.c_str());
    }
}
