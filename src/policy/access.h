// The "access" section: which clients may use the proxy, with which permissions, and which of
// them must authenticate first. The rule that admits a client stamps its connection with
// permission bits, bypass bits, interface credentials, profiles and statistics.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/auth.h"   // access_auth, the section's stage callback
#include "core/connection.h"
#include "config/ranges.h"
#include "config/rules.h"
#include "util/regex.h"
#include "config/section.h"
#include "util/stringutil.h"

class Item;

// Positions of an access rule's values in its item.
enum : int {
    ACCESS_FIELD_ENABLED = 0,
    ACCESS_FIELD_COMMENT = 1,
    ACCESS_FIELD_LOG = 2,
    ACCESS_FIELD_RESERVED = 3,        // read and kept, never consulted
    ACCESS_FIELD_INTERFACES = 4,
    ACCESS_FIELD_CLIENTS = 5,
    ACCESS_FIELD_PAM = 6,
    ACCESS_FIELD_USER = 7,
    ACCESS_FIELD_PASSWORD = 8,
    ACCESS_FIELD_ACCESS = 9,
    ACCESS_FIELD_BYPASS = 10,
    ACCESS_FIELD_INTERFACE_USER = 11,
    ACCESS_FIELD_INTERFACE_PASSWORD = 12,
    ACCESS_FIELD_PROFILES = 13,
    ACCESS_FIELD_COUNT = 14,
};

// One access rule: built once, then only read, by any number of connection threads at once.
class Access {
public:
    // The built-in rule of a client admitted without a deciding rule: every permission, no
    // bypass, no credentials, statistics of its own.
    Access();
    // Reads the values by position; the item has at least ACCESS_FIELD_COUNT fields.
    explicit Access(const Item& item);
    // The copy compiles the pattern again and shares the statistics object.
    Access(const Access& other);
    Access(Access&&) noexcept = default;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() = default;

    // The match test for a request whose credentials are user and password (nullopt without
    // credentials): enabled, the local address and port on an interface entry, the client or the
    // forwarded address (nullopt: none counts) in the ranges, then the user name and password,
    // or in PAM mode the user name against the pattern only.
    bool match(const CONNECTION_T& connection, std::optional<std::string_view> forwarded,
               std::optional<std::string_view> user, std::optional<std::string_view> password) const;
    // Whether admitting a client through this rule needs a verified user name and password.
    bool needs_credentials() const { return pam == 1 || (!user.empty() && !password.empty()); }

    int enabled = 1;
    std::string comment;
    int log = 1;
    StringList reserved;
    StringList interfaces;             // "address:port" entries; empty: every interface
    IpRangeList clients;               // empty: every address
    int pam = 0;                       // 1: the user name is a pattern, PAM checks the password
    std::string user;
    std::string password;
    int access = -1;                   // ACCESS_* bits granted
    std::uint32_t bypass = 0;          // bits ORed into the connection's bypass mask
    std::string interface_user;        // the web interface's login for these clients
    std::string interface_password;
    std::vector<std::string> profiles; // added to the connection, in order
    UniqueRegex pattern;               // the user name compiled caseless; null when empty or broken
    StatsRef stats;

private:
    void compile();
};

// One generation of rules. Built whole by update() and swapped in; a request works on the one
// it took, so rules never change under a running check.
struct AccessRules {
    std::vector<Access> allow;
    std::vector<Access> deny;
    Access fallback;                   // the built-in rule
    int order = 0;                     // non-zero: allow list first, refuse unless allowed

    // The admitting rule of the two-pass order for the request's credentials and forwarded
    // address: the deciding rule, the built-in rule when none decided, null when refused.
    const Access* admit(const CONNECTION_T& connection, std::optional<std::string_view> forwarded,
                        std::optional<std::string_view> user, std::optional<std::string_view> password) const;
    // The request's X-Forwarded-For value, but only from a trusted downstream proxy: a connecting
    // address that, judged alone and without credentials, is admitted by a rule asking for none.
    // Any other client could claim an admitted address, so its value counts for nothing.
    std::optional<std::string_view> forwarded_for(const CONNECTION_T& connection) const;
};

class AccessSection final : public Section {
public:
    // The definition must declare the order as the first global value and two subsections of at least ACCESS_FIELD_COUNT fields.
    AccessSection();
    ~AccessSection() override = default;

    // Builds the next generation from the allow and deny items and the order, then swaps it in.
    void update() override;

    // The current generation: a pointer copy, never a rebuild.
    std::shared_ptr<const AccessRules> rules() const;

    // The admitting rule for the credentials (nullopt without credentials): the deciding rule of
    // the two-pass order, the built-in rule when the client is admitted without one, or null when
    // it is refused. The X-Forwarded-For value takes part only as AccessRules::forwarded_for
    // allows. The result keeps its generation alive.
    std::shared_ptr<const Access> check(const CONNECTION_T* connection, std::optional<std::string_view> user,
                                        std::optional<std::string_view> password) const;
    // Stamps the connection with the rule: the authentication-needed bit when the rule needs
    // credentials (else the "anonymous" user text), profiles to add, bypass and permission bits,
    // interface credentials, statistics.
    static void setup(CONNECTION_T* connection, const Access& rule);

    // A client without credentials: 1 admitted and stamped, 0 refused (logged).
    int check_and_setup(CONNECTION_T* connection);
    // A client with credentials: checks them against the rules, through PAM and its cache for a
    // PAM rule, and stamps the connection with the admitting rule. The authentication-needed bit
    // carries the outcome; the result tells whether this proxy verified the credentials itself
    // (1), so that they are not passed on.
    int check_and_setup(CONNECTION_T* connection, std::string_view user, std::string_view password);

    // Logs the text of a PAM result code and records the key as known bad for the codes that
    // reject the credentials themselves.
    static void display_pam_msg(int code, const std::string& key);

private:
    SectionRules<AccessRules> rules_{*this};
};

// Created by the runtime bring-up; null before.
extern AccessSection* access_section;

// A text from the client as log lines and user texts show it: control bytes as "\xHH".
std::string access_shown(std::string_view text);
// The address a client goes by in user texts and log records: the X-Forwarded-For value the
// current rules trust (AccessRules::forwarded_for), else the connecting address.
std::string_view access_client(const CONNECTION_T& connection);
// The user text of a connection: name, "@", and its access_client address, both as
// access_shown writes them.
std::string access_user_text(const CONNECTION_T& connection, std::string_view name);
