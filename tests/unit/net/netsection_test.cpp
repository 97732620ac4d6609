#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "loopback.h"
#include "core/connection.h"
#include "http/header.h"
#include "net/netsection.h"
#include "net/network.h"
#include "policy_fixture.h"
#include "http/protocol.h"
#include "road_fixture.h"

namespace {

const XmlFields LISTEN_RULE = {{"enabled", "true"}, {"comment", ""}, {"port", "-1"}, {"address", ""}};
const XmlFields INTERFACE_RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"address", ""}};

std::string listen_rule(const std::map<std::string, std::string>& set)
{
    return item_xml("listen", LISTEN_RULE, set);
}

std::string interface_rule(const std::map<std::string, std::string>& set)
{
    return item_xml("interface", INTERFACE_RULE, set);
}

bool accepts(const char* ip, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, ip, &address.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

in_addr_t ip(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

StringList names(std::initializer_list<const char*> list)
{
    StringList result;
    for (const char* name : list)
        result.push_back(name);
    return result;
}

int binding_lines()
{
    int n = 0;
    for (const std::string& line : road::logged("network: "))
        if (line.rfind("binding outgoing connection to ", 0) == 0)
            ++n;
    return n;
}

class NetworkSectionTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        section_ = std::make_unique<NetworkSection>();
        network_section = section_.get();
        net_listen_closeall();
        net_init();
        road::log_clear();
    }

    void TearDown() override
    {
        net_listen_closeall();
        network_section = nullptr;
    }

    void load(const std::string& items) { section_load(*section_, "<network>" + items + "</network>"); }

    std::unique_ptr<NetworkSection> section_;
};

TEST_F(NetworkSectionTest, UpdateBuildsBothListsInItemOrderAndALaterLoadReplacesThem)
{
    load(listen_rule({{"port", "8080"}, {"comment", "first"}}) + interface_rule({{"address", "10.0.0.1"}}) +
         listen_rule({{"enabled", "false"}, {"address", "127.0.0.1"}}) +
         interface_rule({{"profiles", "staff,!guest"}, {"address", "10.0.0.2"}}));
    const auto rules = section_->rules();
    ASSERT_EQ(rules->listens.size(), 2u);
    EXPECT_EQ(rules->listens[0].enabled, 1);
    EXPECT_EQ(rules->listens[0].comment, "first");
    EXPECT_EQ(rules->listens[0].port, 8080);
    EXPECT_EQ(rules->listens[0].address, "");
    EXPECT_EQ(rules->listens[1].enabled, 0);
    EXPECT_EQ(rules->listens[1].port, -1);
    EXPECT_EQ(rules->listens[1].address, "127.0.0.1");
    ASSERT_EQ(rules->interfaces.size(), 2u);
    EXPECT_EQ(rules->interfaces[0].address, "10.0.0.1");
    EXPECT_EQ(rules->interfaces[1].profiles, names({"staff", "!guest"}));

    load(interface_rule({{"address", "10.0.0.3"}}));
    EXPECT_TRUE(section_->rules()->listens.empty());
    ASSERT_EQ(section_->rules()->interfaces.size(), 1u);
    EXPECT_EQ(section_->rules()->interfaces[0].address, "10.0.0.3");
}

TEST_F(NetworkSectionTest, CheckOpensEnabledListenersWithAPortAndRefusesBadAddresses)
{
    const int local = free_port(), every = free_port(), disabled = free_port(), bad = free_port(),
              named = free_port();
    load(listen_rule({{"port", std::to_string(local)}, {"address", "127.0.0.1"}}) +
         listen_rule({{"port", std::to_string(every)}}) +
         listen_rule({{"enabled", "false"}, {"port", std::to_string(disabled)}, {"address", "127.0.0.1"}}) +
         listen_rule({{"address", "127.0.0.1"}}) +   // port -1
         listen_rule({{"port", std::to_string(bad)}, {"address", "127.0.0.300"}}) +
         listen_rule({{"port", std::to_string(named)}, {"address", "localhost"}}));
    section_->check();

    EXPECT_TRUE(accepts("127.0.0.1", local));
    EXPECT_FALSE(accepts("127.0.0.2", local));
    EXPECT_TRUE(accepts("127.0.0.1", every));
    EXPECT_TRUE(accepts("127.0.0.2", every));
    EXPECT_FALSE(accepts("127.0.0.1", disabled));
    // An address that does not parse is refused, never widened to every address.
    for (const int port : {bad, named})
        EXPECT_FALSE(accepts("127.0.0.1", port));
    EXPECT_TRUE(road::was_logged("network: ", "error: failed to bind to 127.0.0.300:" + std::to_string(bad)));
    EXPECT_TRUE(road::was_logged("network: ", "error: failed to bind to localhost:" + std::to_string(named)));

    int open = 0;
    for (const Listener& slot : socklist)
        open += slot.state;
    EXPECT_EQ(open, 2);

    // Later changes open and close nothing.
    load(listen_rule({{"port", std::to_string(disabled)}, {"address", "127.0.0.1"}}));
    EXPECT_TRUE(accepts("127.0.0.1", local));
    EXPECT_FALSE(accepts("127.0.0.1", disabled));
}

TEST_F(NetworkSectionTest, TheFirstEnabledRuleWhoseProfilesMatchGivesTheAddress)
{
    load(interface_rule({{"enabled", "false"}, {"address", "10.0.0.9"}}) +
         interface_rule({{"profiles", "staff"}, {"address", "10.0.0.1"}}) +
         interface_rule({{"profiles", "staff"}, {"address", "10.0.0.2"}}) +
         interface_rule({{"profiles", "broken"}, {"address", "not.an.address"}}) +
         interface_rule({{"profiles", "!guest"}, {"address", "10.0.0.3"}}));
    struct Case {
        StringList profiles;
        in_addr_t address;
        std::string logged;   // empty: nothing logged
    };
    const Case cases[] = {
        {names({"staff"}), ip("10.0.0.1"), "10.0.0.1"},
        {names({"guest", "staff"}), ip("10.0.0.1"), "10.0.0.1"},
        {names({}), ip("10.0.0.3"), "10.0.0.3"},
        {names({"broken"}), htonl(INADDR_ANY), "not.an.address"},
        {names({"guest"}), htonl(INADDR_ANY), ""},
    };
    ConnectionPtr connection = connection_new("127.0.0.1");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(c.profiles.begin(), c.profiles.end())));
        road::log_clear();
        connection->profiles = c.profiles;
        EXPECT_EQ(section_->interface_select(connection.get()), c.address);
        EXPECT_EQ(binding_lines(), c.logged.empty() ? 0 : 1);
        if (!c.logged.empty()) {
            EXPECT_TRUE(road::was_logged("network: ", "binding outgoing connection to " + c.logged));
        }
    }
}

TEST_F(NetworkSectionTest, OutgoingConnectionsLeaveFromTheSelectedAddress)
{
    int port = 0;
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 4), 0);
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    load(interface_rule({{"profiles", "bound"}, {"address", "127.0.0.2"}}));

    for (const bool bound : {true, false}) {
        SCOPED_TRACE(bound ? "rule matches" : "no rule matches");
        ConnectionPtr connection = connection_new("127.0.0.1");
        connection->request = http_header_parse_request("GET http://127.0.0.1:" + std::to_string(port) +
                                                        "/ HTTP/1.1\r\n\r\n");
        ASSERT_NE(connection->request, nullptr);
        if (bound)
            connection->profiles.push_back("bound");
        ASSERT_GE(protocol_start(connection.get()), 0);

        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        const int accepted = accept(server, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        ASSERT_GE(accepted, 0);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        EXPECT_EQ(std::string(text), bound ? "127.0.0.2" : "127.0.0.1");
        close(accepted);
    }
    close(server);
}

} // namespace
