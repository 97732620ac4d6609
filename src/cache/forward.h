// The "forward" section: requests sent to parent or sibling proxies chosen by rules, scored by
// CARP hashing of the URL or by ICP queries to the peers.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cache/icp.h"
#include "config/rules.h"
#include "config/section.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;

// Positions of a forwarding rule's values in its item.
enum : int {
    FORWARD_FIELD_ENABLED = 0,
    FORWARD_FIELD_COMMENT = 1,
    FORWARD_FIELD_PROFILES = 2,
    FORWARD_FIELD_HOST = 3,
    FORWARD_FIELD_USER = 4,
    FORWARD_FIELD_PASSWORD = 5,
    FORWARD_FIELD_DOMAIN = 6,
    FORWARD_FIELD_PORT = 7,
    FORWARD_FIELD_ICPTYPE = 8,
    FORWARD_FIELD_ICPPORT = 9,
    FORWARD_FIELD_TYPE = 10,
    FORWARD_FIELD_PROTOCOLS = 11,
    FORWARD_FIELD_COUNT = 12,
};

enum : int {
    FORWARD_ICP_NONE = 0,
    FORWARD_ICP_PARENT = 1,
    FORWARD_ICP_SIBLING = 2,
};

// Bits of a rule's protocols.
enum : int {
    FORWARD_PROTO_HTTP = 1,
    FORWARD_PROTO_FTP = 2,
    FORWARD_PROTO_CONNECT = 4,
};

// A peer that missed an ICP answer is left out of ICP for this long.
constexpr std::time_t FORWARD_DEAD_SECONDS = 30;

// One rule: built once, then read by any number of connection threads; only its dead-since time
// changes, under the section's status mutex.
class Forward {
public:
    explicit Forward(const Item& item);

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string host;       // empty: direct, and the end of the candidates
    std::string user, password, domain;
    int port = -1;          // -1: 443 for UPSTREAM_CONNECT, else 3128
    int icp_type = FORWARD_ICP_NONE;
    int icp_port = 0;
    int proxy_type = 0;     // UPSTREAM_HTTP, _SOCKS4, _SOCKS5 or _CONNECT
    int protocols = 0;      // FORWARD_PROTO_* bits

    mutable std::time_t dead_since = 0;   // 0 alive
};

struct ForwardRules {
    std::vector<Forward> rules;
    int enabled = 0;
    int carp = 0;               // non-zero: CARP, else ICP and plain choice
    std::uint32_t modulus = 0;  // 0: scores are not reduced
};

struct proxy_candidate {
    std::uint32_t request_number = 0;
    sockaddr_in peer{};         // where the ICP query went: only a reply from there counts
    std::uint32_t score = 0;
    icp_packet reply;           // opcode ICP_NO_REPLY while a reply is awaited
    const Forward* rule = nullptr;
};

class ForwardSection final : public Section {
public:
    // The declarations must give the enabled flag, the CARP switch and the CARP modulus as the
    // first three global values and one subsection of at least FORWARD_FIELD_COUNT fields.
    ForwardSection();
    ~ForwardSection() override = default;

    void update() override;
    std::shared_ptr<const ForwardRules> rules() const;

    // Chooses the upstream of the request: sets the connection's upstream kind, parent host and
    // port and upstream credentials. Direct (upstream kind as it stands) when no rule applies.
    // Always 0.
    int forward_do(CONNECTION_T* connection);

    // The chosen candidate's rule, or null for a direct connection. The rules belong to the
    // generation the candidates were collected from, which the caller keeps alive.
    const Forward* proxy_select(CONNECTION_T* connection, const ForwardRules& rules,
                                std::vector<proxy_candidate>& candidates);
    void peer_select_carp(CONNECTION_T* connection, const ForwardRules& rules, std::vector<proxy_candidate>& candidates);
    void peer_select_icp(CONNECTION_T* connection, std::vector<proxy_candidate>& candidates);

    // The CARP score of url on the member, reduced by modulus when it isn't 0.
    static std::uint32_t carp_hash(std::string_view url, std::string_view member, std::uint32_t modulus = 0);

    // The rule's dead-since time, and marking it dead since now (dead) or alive.
    std::time_t get_status(const Forward& rule) const;
    void set_status(const Forward& rule, int dead);

    // The ICP wait's clock; tests replace it to age a dead peer.
    void set_clock(std::time_t (*clock)()) { clock_ = clock; }

private:
    std::time_t now() const;

    SectionRules<ForwardRules> rules_{*this};
    mutable std::mutex status_mutex_;
    std::time_t (*clock_)() = nullptr;
};

// Created by the runtime bring-up; null before.
extern ForwardSection* forward_section;
