#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "cache/icp.h"
#include "core/threads.h"
#include "road_fixture.h"

namespace {

std::string query_bytes(int opcode, int version, std::string_view url_and_nul, std::uint32_t number = 77)
{
    icp_packet packet;
    packet.opcode = static_cast<std::uint8_t>(opcode);
    packet.version = static_cast<std::uint8_t>(version);
    packet.request_number = number;
    packet.options = 0x01020304;
    packet.sender = 0x0100007f;
    packet.payload = std::string("\x0a\x00\x00\x01", 4) + std::string(url_and_nul);
    packet.length = static_cast<std::uint16_t>(ICP_HEADER_SIZE + packet.payload.size());
    return icp_packet_bytes(packet);
}

class IcpTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

TEST_F(IcpTest, ParseTakesOneWholeDatagram)
{
    const std::string good = query_bytes(ICP_OP_QUERY, 2, std::string("http://a/\0", 10));
    struct Case {
        const char* what;
        std::string bytes;
        int result;
    };
    std::string length_below_header = good;
    length_below_header[3] = 19;
    length_below_header[2] = 0;
    std::string trailing = good + "junk";
    const Case cases[] = {
        {"a whole query", good, 0},
        {"bytes past the length are ignored", trailing, 0},
        {"fewer than 4 bytes", good.substr(0, 3), -1},
        {"shorter than the header", good.substr(0, 19), -1},
        {"shorter than its length", good.substr(0, good.size() - 1), -1},
        {"a length below 20", length_below_header, -1},
    };
    for (const Case& c : cases) {
        icp_packet packet;
        EXPECT_EQ(icp_packet_parse(c.bytes, packet), c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(packet.length, good.size()) << c.what;
            EXPECT_EQ(packet.request_number, 77u) << c.what;
            EXPECT_EQ(packet.options, 0x01020304u) << c.what;
            EXPECT_EQ(icp_packet_bytes(packet), good) << c.what;
        }
    }
    EXPECT_TRUE(road::was_logged("ICP: ", "error: ICP packet too short"));
}

TEST_F(IcpTest, QueryIsVersionTwoWithAddressesAndUrl)
{
    const icp_packet query = icp_query_build(5, "http://a/x", "10.1.2.3", "not an address");
    const std::string bytes = icp_packet_bytes(query);
    EXPECT_EQ(bytes.size(), 25u + 10u);
    EXPECT_EQ(query.length, bytes.size());
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\x02\x00\x23\x00\x00\x00\x05", 8));
    EXPECT_EQ(bytes.substr(16, 4), std::string(4, '\0')) << "a sender that does not convert is 0";
    EXPECT_EQ(bytes.substr(20), std::string("\x0a\x01\x02\x03http://a/x\0", 15));
}

TEST_F(IcpTest, ResponderAnswersOnlyQueries)
{
    const std::set<std::string> cached = {"http://held.example:80/obj"};
    const auto exists = [&cached](std::string_view key) { return cached.count(std::string(key)) != 0; };
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<int> opcode;   // nullopt: no answer
        std::string logged;
    };
    const Case cases[] = {
        {"held URL, version 2", query_bytes(ICP_OP_QUERY, 2, std::string("http://held.example/obj\0", 24)), ICP_OP_HIT,
         "hit: http://held.example:80/obj"},
        {"held URL, version 3, explicit port",
         query_bytes(ICP_OP_QUERY, 3, std::string("http://held.example:80/obj\0", 27)), ICP_OP_HIT,
         "hit: http://held.example:80/obj"},
        {"other URL", query_bytes(ICP_OP_QUERY, 2, std::string("http://else.example/\0", 21)), ICP_OP_MISS,
         "miss: http://else.example:80/"},
        {"no NUL", query_bytes(ICP_OP_QUERY, 2, "http://held.example/obj"), ICP_OP_INVALID,
         "error: received ICP QUERY with no payload"},
        {"no URL after the requester", query_bytes(ICP_OP_QUERY, 2, ""), ICP_OP_INVALID,
         "error: received ICP QUERY with no payload"},
        {"URL that does not parse", query_bytes(ICP_OP_QUERY, 2, std::string("no url\0", 7)), ICP_OP_INVALID,
         "error: received invalid URL in query"},
        {"a reply is never answered", query_bytes(ICP_OP_HIT, 2, std::string("http://held.example/obj\0", 24)),
         std::nullopt, "error: unhandled ICP opcode: ICP_OP_HIT"},
        {"an unknown opcode neither", query_bytes(99, 2, std::string("http://a/\0", 10)), std::nullopt,
         "error: unhandled ICP opcode: ICP_OP_UNKNOWN"},
    };
    for (const Case& c : cases) {
        road::log_clear();
        icp_packet packet;
        ASSERT_EQ(icp_packet_parse(c.bytes, packet), 0) << c.what;
        const std::optional<icp_packet> answer = icp_answer(packet, exists);
        EXPECT_TRUE(road::was_logged("ICP: ", c.logged)) << c.what;
        ASSERT_EQ(answer.has_value(), c.opcode.has_value()) << c.what;
        if (!answer)
            continue;
        EXPECT_EQ(answer->opcode, *c.opcode) << c.what;
        EXPECT_EQ(answer->version, packet.version) << c.what;
        EXPECT_EQ(answer->request_number, 77u) << c.what;
        EXPECT_EQ(answer->options, packet.options) << c.what;
        EXPECT_EQ(answer->sender, packet.sender) << c.what;
        const std::string wire = icp_packet_bytes(*answer);
        EXPECT_EQ(wire.size(), answer->length) << c.what;
        if (*c.opcode == ICP_OP_INVALID) {
            EXPECT_EQ(wire.size(), ICP_HEADER_SIZE) << c.what;
        } else {
            // The URL as asked, moved over the requester's address.
            EXPECT_EQ(wire.size(), packet.length - 4u) << c.what;
            EXPECT_EQ(answer->payload, packet.payload.substr(4)) << c.what;
        }
    }
}

TEST_F(IcpTest, OnlyTheAskedPeersAnswerAboutItsUrlCounts)
{
    const auto address = [](const char* ip, int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        return a;
    };
    const sockaddr_in peer = address("127.0.0.2", 3130);
    const std::string url = "http://o.example/a";
    struct Case {
        const char* what;
        sockaddr_in from;
        std::uint32_t number;
        std::string payload;
        bool counts;
    };
    const Case cases[] = {
        {"the peer's answer", peer, 41, url + '\0', true},
        {"with an object after the URL", peer, 41, url + '\0' + "HTTP/1.1 200 OK", true},
        {"another address", address("127.0.0.3", 3130), 41, url + '\0', false},
        {"another port", address("127.0.0.2", 3131), 41, url + '\0', false},
        {"another number", peer, 42, url + '\0', false},
        {"another URL", peer, 41, "http://o.example/b" + std::string(1, '\0'), false},
        {"the URL's beginning", peer, 41, "http://o.example/" + std::string(1, '\0'), false},
        {"no URL", peer, 41, "", false},
    };
    for (const Case& c : cases) {
        icp_packet reply;
        reply.opcode = ICP_OP_HIT;
        reply.request_number = c.number;
        reply.payload = c.payload;
        EXPECT_EQ(icp_reply_matches(reply, c.from, peer, 41, url), c.counts) << c.what;
    }
}

TEST_F(IcpTest, OpcodeNames)
{
    const std::pair<int, const char*> cases[] = {
        {0, "ICP_OP_INVALID"},   {1, "ICP_OP_QUERY"},         {2, "ICP_OP_HIT"},    {3, "ICP_OP_MISS"},
        {4, "ICP_OP_ERR"},       {10, "ICP_OP_SECHO"},        {11, "ICP_OP_DECHO"}, {21, "ICP_OP_MISS_NOFETCH"},
        {22, "ICP_OP_DENIED"},   {23, "ICP_OP_HIT_OBJ"},      {5, "ICP_OP_UNKNOWN"}, {255, "ICP_OP_UNKNOWN"},
    };
    for (const auto& [opcode, name] : cases)
        EXPECT_STREQ(icp_opcode_name(opcode), name);
}

TEST_F(IcpTest, ServedOverUdpOneDatagramAtATime)
{
    const int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    // The responder logs, so it runs on a thread of the thread table.
    struct Responder {
        int socket;
        std::atomic<bool> stop{false};
        std::atomic<bool> finished{false};
        static void* run(void* arg)
        {
            auto* self = static_cast<Responder*>(arg);
            icp_serve(self->socket, self->stop, [](std::string_view key) { return key == "http://held.example:80/"; });
            self->finished = true;
            return nullptr;
        }
    } responder{server};
    ASSERT_GE(thread_create_internal(&Responder::run, &responder), 0);

    const int client = socket(AF_INET, SOCK_DGRAM, 0);
    const auto ask = [&](const std::string& bytes) {
        sendto(client, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    };
    // A truncated query and a reply get nothing back; the query after them gets its HIT.
    const std::string hit = query_bytes(ICP_OP_QUERY, 2, std::string("http://held.example/\0", 21), 9);
    ask(hit.substr(0, hit.size() - 3));
    ask(query_bytes(ICP_OP_MISS, 2, std::string("http://held.example/\0", 21), 8));
    ask(hit);
    pollfd wait{client, POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 5000), 1);
    sockaddr_in from{};
    icp_packet answer;
    EXPECT_GT(icp_packet_receive(client, from, answer), 0);
    EXPECT_EQ(answer.opcode, ICP_OP_HIT);
    EXPECT_EQ(answer.request_number, 9u);
    EXPECT_EQ(poll(&wait, 1, 0), 0) << "nothing more came back";

    responder.stop = true;
    while (!responder.finished)
        std::this_thread::yield();
    close(client);
    close(server);
}

} // namespace
