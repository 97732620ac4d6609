#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "cache/forward.h"
#include "cache/icp.h"
#include "config/general.h"
#include "core/logentry.h"
#include "core/options.h"
#include "http/header.h"
#include "http/request.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

const XmlFields FORWARD_RULE = {{"enabled", "true"}, {"comment", ""},    {"profiles", ""},  {"host", ""},
                                {"username", ""},    {"password", ""},   {"domain", ""},    {"port", "-1"},
                                {"icptype", "0"},    {"icpport", "3130"}, {"type", "0"},    {"protocols", "7"}};

std::string rule(const std::map<std::string, std::string>& set) { return item_xml("rule", FORWARD_RULE, set); }

std::time_t fake_now = 1000000;
std::time_t fake_clock() { return fake_now; }

// A UDP peer on 127.0.0.1 that reads one query and sends back what its script makes of it.
class ScriptedPeer {
public:
    using Script = std::function<std::vector<std::string>(const icp_packet& query, const std::string& bytes)>;

    ScriptedPeer()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t size = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    ~ScriptedPeer()
    {
        join();
        close(fd_);
    }

    int port() const { return port_; }

    // Answers the next query (if one comes within a few seconds) by the script.
    void serve(Script script)
    {
        join();
        thread_ = std::thread([this, script = std::move(script)] {
            pollfd wait{fd_, POLLIN, 0};
            if (poll(&wait, 1, 3000) <= 0)
                return;
            char buffer[70000];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (got <= 0)
                return;
            const std::string bytes(buffer, static_cast<std::size_t>(got));
            icp_packet query;
            icp_packet_parse(bytes, query);
            queries_.push_back(query);
            for (const std::string& reply : script(query, bytes))
                sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        });
    }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    // Queries received so far; read after join().
    const std::vector<icp_packet>& queries() const { return queries_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<icp_packet> queries_;
};

std::string reply_bytes(const icp_packet& query, int opcode)
{
    icp_packet reply = query;
    reply.opcode = static_cast<std::uint8_t>(opcode);
    reply.payload = query.payload.size() > 4 ? query.payload.substr(4) : std::string();
    reply.length = static_cast<std::uint16_t>(ICP_HEADER_SIZE + reply.payload.size());
    return icp_packet_bytes(reply);
}

ScriptedPeer::Script answer(int opcode)
{
    return [opcode](const icp_packet& query, const std::string&) {
        return std::vector<std::string>{reply_bytes(query, opcode)};
    };
}

ScriptedPeer::Script silence()
{
    return [](const icp_packet&, const std::string&) { return std::vector<std::string>{}; };
}

class ForwardTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
        proxyhost.clear();
        forward_section->set_clock(fake_clock);
        general_load("me.example");
        icp_timeout(300);
    }
    void TearDown() override
    {
        load(false, 0, 0, "");
        icp_timeout(1000);
        general_load("localhost");
        proxyhost.clear();
        forward_section->set_clock(nullptr);
    }

    void general_load(const std::string& name)
    {
        section_load(*general_section, "<general><hostname>" + name +
                                           "</hostname><tempdir>/tmp</tempdir><linelength>100</linelength>"
                                           "<poolsize>20</poolsize><pooltimeout>30</pooltimeout>" +
                                           item_xml("rule", GENERAL_RULE_FIELDS, {}) + "</general>");
    }
    // The shipped cache values with another ICP timeout.
    void icp_timeout(int ms)
    {
        section_load(*cache_section,
                     "<cache><enabled>false</enabled><violations>false</violations><memorysize>64M</memorysize>"
                     "<memoryextra>4M</memoryextra><minsize>0</minsize><maxsize>16M</maxsize>"
                     "<prefetchwindow>60</prefetchwindow><icpport>0</icpport><icptimeout>" +
                         std::to_string(ms) +
                         "</icptimeout><storeselect>0</storeselect><journalthreshold>128000</journalthreshold>"
                         "<cleaninterval>30</cleaninterval></cache>");
    }
    void load(bool enabled, int carp, unsigned modulus, const std::string& rules)
    {
        section_load(*forward_section, std::string("<forward><enabled>") + (enabled ? "true" : "false") +
                                           "</enabled><carp>" + (carp != 0 ? "true" : "false") + "</carp><carpmodulus>" +
                                           std::to_string(modulus) + "</carpmodulus>" + rules + "</forward>");
    }

    // The upstream chosen for a request: "host:port type", or "direct".
    std::string route(road::Wired& wired, const std::string& request_text, std::uint32_t flags = 0,
                      std::uint32_t bypass = 0, const std::string& profile = "")
    {
        wired->request = http_header_parse_request(request_text);
        EXPECT_NE(wired->request, nullptr);
        wired->flags = flags;
        wired->bypass = bypass;
        wired->localip = "127.0.0.1";
        if (!profile.empty())
            wired->profiles.push_back(profile);
        wired->proxy_type = UPSTREAM_DIRECT;
        wired->parent_host.clear();
        EXPECT_EQ(forward_section->forward_do(wired.get()), 0);
        if (wired->proxy_type == UPSTREAM_DIRECT)
            return "direct";
        return wired->parent_host + ":" + std::to_string(wired->parent_port) + " " + std::to_string(wired->proxy_type);
    }
    std::string route_get(const std::string& url, std::uint32_t flags = 0)
    {
        road::Wired wired(false);
        return route(wired, "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n", flags);
    }
};

TEST_F(ForwardTest, CarpHashMatchesTheArrayHash)
{
    struct Case {
        std::string url, member;
        std::uint32_t modulus, expected;
    };
    // Worked out apart from this code; the last row has bytes above 0x7f, taken as signed.
    const Case cases[] = {
        {"http://a.example/", "127.0.0.1", 0, 1012472731u},
        {"http://a.example/", "", 0, 2424320129u},
        {"http://x/\xc3\xa9t\xc3\xa9", "p\xc3\xa9" "er", 0, 1510637926u},
        {"http://a.example/", "127.0.0.1", 4, 1012472731u % 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ForwardSection::carp_hash(c.url, c.member, c.modulus), c.expected) << c.url << " " << c.member;
}

TEST_F(ForwardTest, RulesPickTheUpstream)
{
    struct Case {
        const char* what;
        std::string rules;
        std::string request;
        std::uint32_t flags, bypass;
        std::string expected;
        std::string profile = "";
    };
    const std::string get = "GET http://o.example/p HTTP/1.1\r\nHost: o.example\r\n\r\n";
    const std::string ftp = "GET ftp://o.example/f HTTP/1.1\r\nHost: o.example\r\n\r\n";
    const std::string connect = "CONNECT o.example:443 HTTP/1.1\r\nHost: o.example:443\r\n\r\n";
    const std::string parent = rule({{"host", "10.0.0.1"}, {"port", "8080"}});
    const Case cases[] = {
        {"an HTTP parent", parent, get, 0, 0, "10.0.0.1:8080 0"},
        {"bypass letter p goes direct", parent, get, 0, BYPASS_FORWARD, "direct"},
        {"a rule naming this proxy is skipped", rule({{"host", "me.example"}}) + parent, get, 0, 0, "10.0.0.1:8080 0"},
        {"an empty host first ends the candidates", rule({}) + parent, get, 0, 0, "direct"},
        {"a disabled empty host does not", rule({{"enabled", "false"}}) + parent, get, 0, 0, "10.0.0.1:8080 0"},
        {"port -1 on a CONNECT parent is 443", rule({{"host", "p"}, {"type", "3"}}), get, 0, 0, "p:443 3"},
        {"port -1 on a SOCKS5 server is 3128", rule({{"host", "p"}, {"type", "2"}}), get, 0, 0, "p:3128 2"},
        {"HTTP-only rule leaves FTP direct", rule({{"host", "p"}, {"protocols", "1"}}), ftp, 0, 0, "direct"},
        {"FTP rule takes FTP", rule({{"host", "p"}, {"protocols", "2"}}), ftp, 0, 0, "p:3128 0"},
        {"CONNECT needs its bit", rule({{"host", "p"}, {"protocols", "3"}}), connect, 0, 0, "direct"},
        {"CONNECT goes to a rule allowing it", rule({{"host", "p"}, {"protocols", "4"}}), connect, 0, 0, "p:3128 0"},
        {"CONNECT never to an ICP rule", rule({{"host", "127.0.0.1"}, {"icptype", "1"}}), connect, 0, 0, "direct"},
        {"https command skips an HTTP parent", parent + rule({{"host", "s"}, {"type", "1"}}), get, CONN_HTTPS, 0,
         "s:3128 1"},
        {"revalidation skips an HTTP parent with ICP",
         rule({{"host", "127.0.0.1"}, {"icptype", "1"}}) + rule({{"host", "s"}, {"type", "2"}}), get, CONN_VALIDATE,
         0, "s:3128 2"},
        {"revalidation keeps an HTTP parent without ICP", parent, get, CONN_VALIDATE, 0, "10.0.0.1:8080 0"},
        {"profiles not carried skip the rule", rule({{"host", "p"}, {"profiles", "staff"}}), get, 0, 0, "direct"},
        {"profiles carried take the rule", rule({{"host", "p"}, {"profiles", "staff"}}), get, 0, 0, "p:3128 0",
         "staff"},
    };
    for (const Case& c : cases) {
        load(true, 0, 0, c.rules);
        road::Wired wired(false);
        EXPECT_EQ(route(wired, c.request, c.flags, c.bypass, c.profile), c.expected) << c.what;
    }
    load(false, 0, 0, parent);
    EXPECT_EQ(route_get("http://o.example/p"), "direct") << "a disabled section";
}

TEST_F(ForwardTest, ChosenRuleCarriesCredentialsAndIsLogged)
{
    load(true, 0, 0, rule({{"host", "10.0.0.9"}, {"port", "3129"}, {"username", "u"}, {"password", "pw"}}));
    road::Wired wired(false);
    EXPECT_EQ(route(wired, "GET http://o.example/ HTTP/1.1\r\n\r\n"), "10.0.0.9:3129 0");
    EXPECT_EQ(wired->proxy_username, "u");
    EXPECT_EQ(wired->proxy_password, "pw");
    EXPECT_STREQ(wired->logentry.peercode(), "DEFAULT_PARENT");
    EXPECT_TRUE(road::was_logged("forwarding: ", "forwarding to 10.0.0.9:3129"));
}

TEST_F(ForwardTest, CarpSendsEachUrlToItsOwnerAndKeepsTiesHere)
{
    // One member: a URL goes to it exactly when its score beats this proxy's own.
    load(true, 1, 0, rule({{"host", "127.0.0.2"}}));
    int forwarded = 0, kept = 0;
    for (int i = 0; i < 30; ++i) {
        const std::string url = "http://site" + std::to_string(i) + ".example/";
        road::Wired wired(false);
        const std::string got = route(wired, "GET " + url + " HTTP/1.1\r\n\r\n");
        const std::string full = *wired->request->url;
        const bool theirs = ForwardSection::carp_hash(full, "127.0.0.2") > ForwardSection::carp_hash(full, "me.example");
        EXPECT_EQ(got, theirs ? "127.0.0.2:3128 0" : "direct") << url;
        EXPECT_EQ((wired->flags & CONN_NOCACHE) != 0, theirs) << url;
        (theirs ? forwarded : kept) += 1;
    }
    EXPECT_GT(forwarded, 0);
    EXPECT_GT(kept, 0);

    // -H names this proxy for CARP and for the own-name test.
    proxyhost = "127.0.0.2";
    EXPECT_EQ(route_get("http://site1.example/"), "direct");

    // With a modulus of 1 every score is 0: the tie is this proxy's.
    proxyhost.clear();
    load(true, 1, 1, rule({{"host", "127.0.0.2"}}));
    EXPECT_EQ(route_get("http://site1.example/"), "direct");

    // CARP never forwards a CONNECT.
    load(true, 1, 0, rule({{"host", "127.0.0.2"}}));
    road::Wired wired(false);
    EXPECT_EQ(route(wired, "CONNECT o.example:443 HTTP/1.1\r\n\r\n"), "direct");
}

TEST_F(ForwardTest, IcpRepliesScoreThePeers)
{
    // Two parents and a sibling: the sibling's HIT beats the parents' MISS.
    ScriptedPeer parent1, parent2, sibling;
    const std::string rules =
        rule({{"host", "127.0.0.1"}, {"icptype", "1"}, {"icpport", std::to_string(parent1.port())}, {"port", "1"}}) +
        rule({{"host", "127.0.0.1"}, {"icptype", "1"}, {"icpport", std::to_string(parent2.port())}, {"port", "2"}}) +
        rule({{"host", "127.0.0.1"}, {"icptype", "2"}, {"icpport", std::to_string(sibling.port())}, {"port", "3"}});
    load(true, 0, 0, rules);
    parent1.serve(answer(ICP_OP_MISS));
    parent2.serve(answer(ICP_OP_MISS));
    sibling.serve(answer(ICP_OP_HIT));
    road::Wired wired(false);
    EXPECT_EQ(route(wired, "GET http://o.example/a HTTP/1.1\r\n\r\n"), "127.0.0.1:3 0");
    EXPECT_STREQ(wired->logentry.peercode(), "SIBLING_HIT");
    sibling.join();
    ASSERT_EQ(sibling.queries().size(), 1u);
    const icp_packet& query = sibling.queries()[0];
    EXPECT_EQ(query.opcode, ICP_OP_QUERY);
    EXPECT_EQ(query.version, 2);
    EXPECT_EQ(query.payload.substr(4), std::string("http://o.example/a") + '\0') << "default port left out";

    // A parent's HIT beats its MISS and is logged as such; a sibling's MISS is never chosen.
    parent1.serve(answer(ICP_OP_HIT));
    parent2.serve(answer(ICP_OP_MISS));
    sibling.serve(answer(ICP_OP_MISS));
    road::Wired second(false);
    EXPECT_EQ(route(second, "GET http://o.example:8080/b HTTP/1.1\r\n\r\n"), "127.0.0.1:1 0");
    EXPECT_STREQ(second->logentry.peercode(), "PARENT_HIT");
    parent1.join();
    EXPECT_EQ(parent1.queries().back().payload.substr(4), std::string("http://o.example:8080/b") + '\0');
}

TEST_F(ForwardTest, IcpRequestNumbersCannotBeForeseen)
{
    // rand() is seeded with the time and the process id: whoever knows both knows its numbers,
    // and a reply with the right number is taken for the peer's.
    ScriptedPeer peer;
    load(true, 0, 0, rule({{"host", "127.0.0.1"}, {"icptype", "2"}, {"icpport", std::to_string(peer.port())}}));
    std::set<std::uint32_t> foreseeable;
    std::srand(4711);
    for (int i = 0; i < 16; ++i)
        foreseeable.insert(static_cast<std::uint32_t>(std::rand()));
    std::set<std::uint32_t> sent;
    for (int i = 0; i < 4; ++i) {
        std::srand(4711);
        peer.serve(answer(ICP_OP_MISS));
        route_get("http://o.example/" + std::to_string(i));
        peer.join();
        ASSERT_EQ(peer.queries().size(), static_cast<std::size_t>(i + 1));
        const std::uint32_t number = peer.queries().back().request_number;
        EXPECT_EQ(foreseeable.count(number), 0u) << number;
        sent.insert(number);
    }
    EXPECT_EQ(sent.size(), 4u) << "a new number for every query";
}

TEST_F(ForwardTest, UnusableRepliesCountAsSilence)
{
    struct Case {
        const char* what;
        ScriptedPeer::Script script;
        std::string logged;   // in the ICP category; empty: nothing asked of it
    };
    const Case cases[] = {
        {"no reply", silence(), ""},
        {"a datagram shorter than the header",
         [](const icp_packet& q, const std::string&) { return std::vector<std::string>{reply_bytes(q, 2).substr(0, 12)}; },
         "error: failed to receive ICP packet"},
        {"a length field below 20",
         [](const icp_packet& q, const std::string&) {
             std::string bytes = reply_bytes(q, 2);
             bytes[2] = 0;
             bytes[3] = 10;
             return std::vector<std::string>{bytes};
         },
         "error: ICP packet too short"},
        {"a datagram shorter than its length is not joined with the next",
         [](const icp_packet& q, const std::string&) {
             const std::string whole = reply_bytes(q, 2);
             return std::vector<std::string>{whole.substr(0, 22), whole.substr(22)};
         },
         "error: failed to receive ICP packet"},
        {"another request number",
         [](const icp_packet& q, const std::string&) {
             icp_packet other = q;
             other.request_number += 1;
             return std::vector<std::string>{reply_bytes(other, 2)};
         },
         "error: received unknown ICP response number"},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer;
        load(true, 0, 0, rule({{"host", "127.0.0.1"}, {"icptype", "2"}, {"icpport", std::to_string(peer.port())}}));
        road::log_clear();
        peer.serve(c.script);
        EXPECT_EQ(route_get("http://o.example/"), "direct") << c.what;
        peer.join();
        EXPECT_TRUE(road::was_logged("forwarding: ", "error: no ICP response received from 127.0.0.1")) << c.what;
        if (!c.logged.empty()) {
            EXPECT_TRUE(road::was_logged("ICP: ", c.logged)) << c.what;
        }
    }
}

TEST_F(ForwardTest, SilentPeerRestsThirtySecondsThenIsAskedAgain)
{
    ScriptedPeer peer;
    load(true, 0, 0,
         rule({{"host", "127.0.0.1"}, {"icptype", "1"}, {"icpport", std::to_string(peer.port())}, {"port", "5"}}));
    peer.serve(silence());
    EXPECT_EQ(route_get("http://o.example/"), "direct");
    peer.join();
    EXPECT_EQ(peer.queries().size(), 1u);
    EXPECT_NE(forward_section->get_status(forward_section->rules()->rules[0]), 0);

    // 29 s later it is not asked: the decision ends without waiting for it.
    fake_now += 29;
    peer.serve(answer(ICP_OP_MISS));
    EXPECT_EQ(route_get("http://o.example/"), "direct");
    fake_now += 1;   // 30 s: asked again, and its MISS makes it the parent
    EXPECT_EQ(route_get("http://o.example/"), "127.0.0.1:5 0");
    peer.join();
    EXPECT_EQ(peer.queries().size(), 2u);
    EXPECT_EQ(forward_section->get_status(forward_section->rules()->rules[0]), 0);

    // A timeout of 0 leaves no time for any answer.
    icp_timeout(0);
    peer.serve(answer(ICP_OP_MISS));
    EXPECT_EQ(route_get("http://o.example/"), "direct");
    peer.join();
    EXPECT_NE(forward_section->get_status(forward_section->rules()->rules[0]), 0);
}

} // namespace
