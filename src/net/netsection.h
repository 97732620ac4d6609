// The "network" section: the addresses and ports the proxy listens on beside the one given with
// -L, and the local addresses outgoing connections are bound to, chosen per connection by
// profile.
#pragma once

#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "config/item.h"
#include "config/rules.h"
#include "config/section.h"
#include "util/stringutil.h"

struct CONNECTION_T;

// A listening address, built from an item of the first subsection.
struct Listen {
    int enabled = 0;       // only 1 opens a listener
    std::string comment;
    int port = -1;         // -1: not set, nothing is opened
    std::string address;   // dotted IPv4; empty: every address

    explicit Listen(const Item& item);
};

// An outgoing-address rule, built from an item of the second subsection.
struct Interface {
    int enabled = 0;       // nonzero: the rule takes part
    std::string comment;
    StringList profiles;   // the connections it applies to (profile_find)
    std::string address;   // dotted IPv4 local address

    explicit Interface(const Item& item);
};

struct NetworkRules {
    std::vector<Listen> listens;         // in item order
    std::vector<Interface> interfaces;   // in item order
};

class NetworkSection final : public Section {
public:
    // The "network" section of sectionxml; its declarations must give the listen subsection
    // first and the interface subsection second, each with four fields.
    NetworkSection();
    void update() override;

    // The rules in force: a pointer copy, never a rebuild.
    std::shared_ptr<const NetworkRules> rules() const;

    using Section::check;
    // Once, at bring-up after the configuration is loaded: opens a listener (net_listen) for
    // every rule enabled with 1 whose port is set. One that fails is logged there and the rest
    // are still opened. Later changes of the rules open or close nothing.
    void check();

    // The local address for an outgoing connection of the connection, in network byte order:
    // that of the first enabled rule whose profiles match the connection's (logged as "binding
    // outgoing connection to %s"), or INADDR_ANY when no rule matches or its address does not
    // parse as a dotted IPv4 address.
    in_addr_t interface_select(const CONNECTION_T* connection) const;

private:
    SectionRules<NetworkRules> rules_{*this};
};

// Created by the runtime bring-up; null before.
extern NetworkSection* network_section;
