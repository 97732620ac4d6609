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

constexpr RuleField<Header> FIELDS[] = {
    {"enabled", &Header::enabled}, {"comment", &Header::comment}, {"profiles", &Header::profiles},
    {"name", &Header::name},       {"value", &Header::value},     {"direction", &Header::direction},
};

constexpr RuleSectionShape<HeaderRules, Header> SHAPE{
    .name = "header-filtering",
    .enabled_at = 0,
    .order_at = 1,
    .templ_at = RULE_GLOBAL_NONE,
    .lists = {&HeaderRules::allow, &HeaderRules::deny, &HeaderRules::add},
    .bypass = BYPASS_HEADER,
    .fields = FIELDS,
};

const char* side_name(int direction) { return direction == HEADERFILTER_REQUEST ? "client" : "server"; }

} // namespace

bool Header::applies(const StringList& connection_profiles, int which) const
{
    return enabled != 0 && (direction & which) != 0 && profile_find(connection_profiles, profiles) == 1;
}

bool Header::match(const StringList& connection_profiles, int which, const HTTP_HEADER& line) const
{
    return applies(connection_profiles, which) && name.matches(line.name) && value.matches(line.value);
}

HeaderSection::HeaderSection() : RuleSection(SHAPE) {}

void HeaderSection::filter(CONNECTION_T* connection, int direction)
{
    const std::shared_ptr<const HeaderRules> current = rules();
    if (!active(*current, *connection))
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
        const std::string& name = rule.name.text();
        const std::string& value = rule.value.text();
        if (!rule.applies(profiles, direction) || name.empty() || value.empty())
            continue;
        header->filtered.push_back(HTTP_HEADER{HTTP_HEADER_PASS, name, value});
        putlog(LOG_HEADER, "added: to %s: %s: %s", side_name(direction), name.c_str(), value.c_str());
    }
}
