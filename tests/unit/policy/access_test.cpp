#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "policy/access.h"
#include "access_fixture.h"
#include "policy/allowdeny.h"
#include "core/stats.h"

namespace {

using namespace accesstest;

using std::nullopt;

TEST(AllowDeny, TwoPassOrder)
{
    // Rules are numbers; a rule matches when the request's set holds it.
    struct Case {
        const char* name;
        int order;
        std::vector<int> allow, deny;
        std::set<int> matching;
        bool allowed;
        int deciding;   // 0: the default decided
    };
    const Case cases[] = {
        {"order 1, empty lists: default deny", 1, {}, {}, {}, false, 0},
        {"order 0, empty lists: default allow", 0, {}, {}, {}, true, 0},
        {"order 1, allow match, no deny", 1, {1, 2}, {3}, {2}, true, 2},
        {"order 1, first allow match decides", 1, {1, 2}, {}, {1, 2}, true, 1},
        {"order 1, allow then deny", 1, {1}, {3, 4}, {1, 4}, false, 4},
        {"order 1, no allow match: deny list never scanned", 1, {1}, {3}, {3}, false, 0},
        {"order 0, no deny match: allow list never scanned", 0, {1}, {3}, {1}, true, 0},
        {"order 0, deny match alone", 0, {1}, {3, 4}, {4}, false, 4},
        {"order 0, deny then allow again", 0, {1, 2}, {3}, {3, 2}, true, 2},
        {"order -1 counts as set", -1, {1}, {}, {}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::list<int> deny(c.deny.begin(), c.deny.end());   // any range will do
        const AllowDeny<int> got =
            allowdeny_decide<int>(c.order, c.allow, deny, [&](const int& rule) { return c.matching.count(rule) > 0; });
        EXPECT_EQ(got.allowed, c.allowed);
        EXPECT_EQ(got.rule == nullptr ? 0 : *got.rule, c.deciding);
    }
}

class AccessCheck : public AccessFixture {};

TEST_F(AccessCheck, WithoutRulesTheOrderDecides)
{
    load("deny_allow", {});
    ConnectionPtr conn = client_connection("192.168.1.1");
    conn->bypass = 0x4;
    ASSERT_EQ(section_->check_and_setup(conn.get()), 1);
    EXPECT_EQ(conn->access, -1);
    EXPECT_EQ(conn->bypass, 0x4u);
    EXPECT_EQ(conn->username, "anonymous@192.168.1.1");
    EXPECT_EQ(conn->auth & AUTH_NEEDED, 0);
    EXPECT_NE(conn->stats, nullptr);

    load("allow_deny", {});
    ConnectionPtr refused = client_connection("192.168.1.1");
    EXPECT_EQ(section_->check_and_setup(refused.get()), 0);
    EXPECT_EQ(refused->access, 0);
    EXPECT_EQ(refused->stats, nullptr);
    EXPECT_NE(newest_log_line().find("access policy has refused connection from 192.168.1.1 on port 3128"),
              std::string::npos)
        << newest_log_line();
}

TEST_F(AccessCheck, ShippedDefaultRefusesUntilConfigured)
{
    // A section that the configuration file leaves out keeps the declared order.
    ConnectionPtr conn = client_connection("127.0.0.1");
    EXPECT_EQ(section_->check(conn.get(), nullopt, nullopt), nullptr);
}

TEST_F(AccessCheck, AllowDenyListsByAddress)
{
    struct Case { const char* order; const char* ip; const char* admitted_by; };   // null: refused
    load("allow_deny", {{.clients = "10.0.0.0-10.0.0.255", .comment = "R1"}},
         {{.clients = "10.0.0.5", .comment = "R2"}});
    const Case allow_first[] = {
        {"allow_deny", "10.0.0.5", nullptr},
        {"allow_deny", "10.0.0.6", "R1"},
        {"allow_deny", "192.168.1.1", nullptr},
    };
    for (const Case& c : allow_first) {
        SCOPED_TRACE(c.ip);
        ConnectionPtr conn = client_connection(c.ip);
        const auto rule = section_->check(conn.get(), nullopt, nullopt);
        ASSERT_EQ(rule != nullptr, c.admitted_by != nullptr);
        if (rule) {
            EXPECT_EQ(rule->comment, c.admitted_by);
        }
    }

    load("deny_allow", {{.clients = "10.0.0.5", .comment = "R1"}},
         {{.clients = "10.0.0.0-10.0.0.255", .comment = "R2"}});
    const Case deny_first[] = {
        {"deny_allow", "10.0.0.5", "R1"},
        {"deny_allow", "10.0.0.6", nullptr},
        {"deny_allow", "192.168.1.1", ""},   // the built-in rule
    };
    for (const Case& c : deny_first) {
        SCOPED_TRACE(c.ip);
        ConnectionPtr conn = client_connection(c.ip);
        const auto rule = section_->check(conn.get(), nullopt, nullopt);
        ASSERT_EQ(rule != nullptr, c.admitted_by != nullptr);
        if (rule) {
            EXPECT_EQ(rule->comment, c.admitted_by);
        }
    }
    ConnectionPtr outsider = client_connection("192.168.1.1");
    EXPECT_EQ(section_->check(outsider.get(), nullopt, nullopt).get(), &section_->rules()->fallback);
}

TEST_F(AccessCheck, MatchTest)
{
    struct Case {
        const char* name;
        RuleXml rule;
        const char* ip;
        std::optional<std::string> xff;
        std::optional<std::string> user, password;
        bool matches;
    };
    const Case cases[] = {
        {"disabled", {.enabled = false}, "10.0.0.1", nullopt, nullopt, nullopt, false},
        {"any interface on the port", {.interfaces = "*:3128"}, "10.0.0.1", nullopt, nullopt, nullopt, true},
        {"another port", {.interfaces = "*:8080"}, "10.0.0.1", nullopt, nullopt, nullopt, false},
        {"the local address", {.interfaces = "10.1.1.1:8080,127.0.0.1:3128"}, "10.0.0.1", nullopt, nullopt, nullopt,
         true},
        {"another local address", {.interfaces = "10.1.1.1:3128"}, "10.0.0.1", nullopt, nullopt, nullopt, false},
        {"port alone names nothing", {.interfaces = "3128"}, "10.0.0.1", nullopt, nullopt, nullopt, false},
        {"address part too long", {.interfaces = "127.000.000.001:3128"}, "10.0.0.1", nullopt, nullopt, nullopt, false},
        {"peer in range", {.clients = "10.0.0.0-10.0.0.9"}, "10.0.0.1", nullopt, nullopt, nullopt, true},
        {"X-Forwarded-For in range", {.clients = "10.0.0.1"}, "192.168.1.1", "10.0.0.1", nullopt, nullopt, true},
        {"peer in range, X-Forwarded-For not", {.clients = "10.0.0.1"}, "10.0.0.1", "192.168.1.1", nullopt, nullopt,
         true},
        {"two forwarded addresses count as none", {.clients = "10.0.0.1"}, "192.168.1.1", "10.0.0.1, 10.0.0.2", nullopt,
         nullopt, false},
        {"no name: no credentials", {}, "10.0.0.1", nullopt, nullopt, nullopt, true},
        {"no name: credentials fail", {}, "10.0.0.1", nullopt, "alice", "secret", false},
        {"name and password: none sent", {.username = "alice", .password = "secret"}, "10.0.0.1", nullopt, nullopt,
         nullopt, true},
        {"name and password: both right", {.username = "alice", .password = "secret"}, "10.0.0.1", nullopt, "alice",
         "secret", true},
        {"name and password: wrong password", {.username = "alice", .password = "secret"}, "10.0.0.1", nullopt,
         "alice", "Secret", false},
        {"name and password: wrong name", {.username = "alice", .password = "secret"}, "10.0.0.1", nullopt, "Alice",
         "secret", false},
        {"name alone: that name", {.username = "alice"}, "10.0.0.1", nullopt, "alice", "anything", true},
        {"name alone: another name", {.username = "alice"}, "10.0.0.1", nullopt, "bob", "anything", false},
        {"PAM: pattern matches caseless", {.username = "^al", .pam = true}, "10.0.0.1", nullopt, "ALICE", "x", true},
        {"PAM: pattern fails", {.username = "^al", .pam = true}, "10.0.0.1", nullopt, "bob", "x", false},
        {"PAM: no credentials", {.username = "^al", .pam = true}, "10.0.0.1", nullopt, nullopt, nullopt, true},
        {"PAM: no pattern", {.pam = true}, "10.0.0.1", nullopt, "bob", "x", true},
        {"PAM: broken pattern tests nothing", {.username = "a(", .pam = true}, "10.0.0.1", nullopt, "bob", "x", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load("allow_deny", {c.rule});
        ConnectionPtr conn = client_connection(c.ip);
        const auto& rule = section_->rules()->allow.at(0);
        const auto view = [](const std::optional<std::string>& s) -> std::optional<std::string_view> {
            return s ? std::optional<std::string_view>(*s) : nullopt;
        };
        EXPECT_EQ(rule.match(*conn, view(c.xff), view(c.user), view(c.password)), c.matches);
    }
}

// A forwarded address counts only when the connecting address, judged alone, is admitted by a
// rule asking no credentials (a downstream proxy the rules trust); from any other client it
// neither admits nor names the client.
TEST_F(AccessCheck, ForwardedAddressCountsOnlyFromATrustedPeer)
{
    struct Case {
        const char* name;
        const char* order;
        std::vector<RuleXml> allow, deny;
        const char* ip;
        const char* admitted_by;   // null: refused
        const char* known_as;      // the address of the user text and the records
    };
    const RuleXml lan{.clients = "10.0.0.0-10.0.0.255", .comment = "lan"};
    const RuleXml proxy{.clients = "127.0.0.1", .comment = "proxy"};
    const RuleXml login{.username = "alice", .password = "secret", .comment = "login"};
    const Case cases[] = {
        {"an outsider claims an allowed address", "allow_deny", {lan}, {}, "192.168.1.1", nullptr, "192.168.1.1"},
        {"a denied peer claims an allowed address", "deny_allow", {lan}, {{.clients = "192.168.1.1"}}, "192.168.1.1",
         nullptr, "192.168.1.1"},
        {"a peer that must log in is no proxy", "allow_deny", {lan, login}, {}, "192.168.1.1", "login", "192.168.1.1"},
        {"a trusted proxy's client picks its rule", "allow_deny", {lan, proxy}, {}, "127.0.0.1", "lan", "10.0.0.5"},
        {"a trusted proxy's client is denied", "allow_deny", {proxy}, {{.clients = "10.0.0.5"}}, "127.0.0.1", nullptr,
         "10.0.0.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.order, c.allow, c.deny);
        ConnectionPtr conn = client_connection(c.ip);
        conn->request->x_forwarded_for = "10.0.0.5";
        EXPECT_EQ(access_client(*conn), c.known_as);
        const auto rule = section_->check(conn.get(), nullopt, nullopt);
        ASSERT_EQ(rule != nullptr, c.admitted_by != nullptr);
        if (rule) {
            EXPECT_EQ(rule->comment, c.admitted_by);
        }
    }

    // The client that logged in is named by its own address, not the one it claims.
    load("allow_deny", {lan, login});
    ConnectionPtr conn = client_connection("192.168.1.1");
    conn->request->x_forwarded_for = "10.0.0.5";
    section_->check_and_setup(conn.get(), "alice", "secret");
    EXPECT_EQ(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->username, "alice@192.168.1.1");
    EXPECT_EQ(conn->access, ACCESS_PROXY);
}

TEST_F(AccessCheck, SetupStampsTheConnection)
{
    load("allow_deny",
         {{.access = "interface,connect,urlcommand", .bypass = "urlfilter,forward", .profiles = "a,b,,a",
           .log = true, .interfaceuser = "admin", .interfacepassword = "pw"}});
    ConnectionPtr conn = client_connection("10.0.0.7");
    conn->request->x_forwarded_for = "172.16.0.1";
    conn->profiles.push_back("b");
    conn->bypass = 0x100;
    conn->username = "earlier";
    ASSERT_EQ(section_->check_and_setup(conn.get()), 1);

    EXPECT_EQ(conn->access, ACCESS_INTERFACE | ACCESS_CONNECT | ACCESS_URLCOMMAND);
    EXPECT_EQ(conn->bypass, 0x1u | 0x80u | 0x100u);
    EXPECT_EQ(std::vector<std::string>(conn->profiles.begin(), conn->profiles.end()),
              (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(conn->interface_username, "admin");
    EXPECT_EQ(conn->interface_password, "pw");
    EXPECT_EQ(conn->username, "anonymous@172.16.0.1");
    EXPECT_EQ(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->stats.get(), section_->rules()->allow[0].stats.get());

    int added = 0;
    for (const std::string& line : log_lines()) {
        if (line.find("Profile: ") != std::string::npos) {
            ++added;
            EXPECT_NE(line.find("Added Profile: a"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(added, 1);
}

TEST_F(AccessCheck, ProfilesAreNotLoggedWithoutTheSwitch)
{
    load("allow_deny", {{.profiles = "a", .log = false}});
    ConnectionPtr conn = client_connection("10.0.0.7");
    ASSERT_EQ(section_->check_and_setup(conn.get()), 1);
    EXPECT_TRUE(conn->profiles.has("a"));
    for (const std::string& line : log_lines())
        EXPECT_EQ(line.find("Profile: "), std::string::npos) << line;
}

TEST_F(AccessCheck, RuleNeedingCredentialsMarksTheConnection)
{
    struct Case { const char* name; RuleXml rule; bool needed; };
    const Case cases[] = {
        {"name and password", {.username = "alice", .password = "secret"}, true},
        {"PAM", {.pam = true}, true},
        {"name alone", {.username = "alice"}, false},
        {"password alone", {.password = "secret"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load("allow_deny", {c.rule});
        ConnectionPtr conn = client_connection("10.0.0.7");
        conn->username = "before";
        ASSERT_EQ(section_->check_and_setup(conn.get()), 1);
        EXPECT_EQ((conn->auth & AUTH_NEEDED) != 0, c.needed);
        EXPECT_EQ(conn->username, c.needed ? "before" : "anonymous@10.0.0.7");
    }
}

TEST_F(AccessCheck, ControlBytesOfTheForwardedAddressAreEscaped)
{
    load("deny_allow", {});
    ConnectionPtr conn = client_connection("10.0.0.7");
    conn->request->x_forwarded_for = std::string("1.2.3.4\x1b[2J\x7f", 12);
    ASSERT_EQ(section_->check_and_setup(conn.get()), 1);
    EXPECT_EQ(conn->username, "anonymous@1.2.3.4\\x1B[2J\\x7F");
}

TEST_F(AccessCheck, UpdateStartsFreshStatisticsAndOldOnesLiveOn)
{
    load("allow_deny", {{.comment = "one"}});
    ConnectionPtr conn = client_connection("10.0.0.7");
    ASSERT_EQ(section_->check_and_setup(conn.get()), 1);
    Stats* first = conn->stats.get();

    load("allow_deny", {{.comment = "one"}});
    EXPECT_NE(section_->rules()->allow[0].stats.get(), first);
    // The connection's reference keeps the old object usable after its rule is gone.
    ASSERT_EQ(conn->stats.get(), first);

    ConnectionPtr next = client_connection("10.0.0.7");
    ASSERT_EQ(section_->check_and_setup(next.get()), 1);
    EXPECT_EQ(next->stats.get(), section_->rules()->allow[0].stats.get());
    conn->stats = next->stats;
    EXPECT_EQ(conn->stats.get(), next->stats.get());
}

TEST_F(AccessCheck, CopiedRuleSharesStatisticsAndMatchesAlike)
{
    load("allow_deny", {{.username = "^b", .pam = true}});
    const Access& rule = section_->rules()->allow[0];
    const Access copy(rule);
    EXPECT_EQ(copy.stats.get(), rule.stats.get());
    ConnectionPtr conn = client_connection("10.0.0.7");
    EXPECT_TRUE(copy.match(*conn, nullopt, std::string_view("Bob"), std::string_view("x")));
    EXPECT_FALSE(copy.match(*conn, nullopt, std::string_view("alice"), std::string_view("x")));
}

} // namespace
