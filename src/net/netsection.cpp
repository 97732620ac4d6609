#include "net/netsection.h"

#include <arpa/inet.h>

#include "core/connection.h"
#include "util/log.h"
#include "util/mem.h"
#include "net/network.h"
#include "config/profile.h"

NetworkSection* network_section = nullptr;

namespace {

// Positions of a rule's values.
enum : std::size_t {
    RULE_ENABLED = 0,
    RULE_COMMENT = 1,
    RULE_PORT = 2,          // Listen
    RULE_PROFILES = 2,      // Interface
    RULE_ADDRESS = 3,
    RULE_FIELDS = 4,
};

enum : std::size_t {
    SUBSECTION_LISTEN = 0,
    SUBSECTION_INTERFACE = 1,
};

} // namespace

Listen::Listen(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    port = f[RULE_PORT].int_value;
    address = f[RULE_ADDRESS].text;
}

Interface::Interface(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    profiles = f[RULE_PROFILES].string_list;
    address = f[RULE_ADDRESS].text;
}

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK)
{
    FATAL_ASSERT(subsections_.size() > SUBSECTION_INTERFACE);
    FATAL_ASSERT(subsections_[SUBSECTION_LISTEN].templ.size() >= RULE_FIELDS);
    FATAL_ASSERT(subsections_[SUBSECTION_INTERFACE].templ.size() >= RULE_FIELDS);
}

void NetworkSection::update()
{
    rules_.rebuild([this](NetworkRules& next) {
        rules_from_items(next.listens, subsections_[SUBSECTION_LISTEN]);
        rules_from_items(next.interfaces, subsections_[SUBSECTION_INTERFACE]);
    });
}

std::shared_ptr<const NetworkRules> NetworkSection::rules() const
{
    return rules_.snapshot();
}

void NetworkSection::check()
{
    const std::shared_ptr<const NetworkRules> snapshot = rules();
    for (const Listen& rule : snapshot->listens) {
        if (rule.enabled != 1 || rule.port == -1)
            continue;
        net_listen(rule.port, rule.address.c_str());
    }
}

in_addr_t NetworkSection::interface_select(const CONNECTION_T* connection) const
{
    const std::shared_ptr<const NetworkRules> snapshot = rules();
    for (const Interface& rule : snapshot->interfaces) {
        if (rule.enabled == 0 || profile_find(connection->profiles, rule.profiles) != 1)
            continue;
        putlog(LOG_NETWORK, "binding outgoing connection to %s", rule.address.c_str());
        in_addr address{};
        if (inet_pton(AF_INET, rule.address.c_str(), &address) != 1)
            return htonl(INADDR_ANY);
        return address.s_addr;
    }
    return htonl(INADDR_ANY);
}
