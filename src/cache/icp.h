// Internet Cache Protocol (RFC 2186) over UDP: the datagram format, the queries the forwarding
// rules send to their peers, and the responder that answers other caches from this cache.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

enum : int {
    ICP_OP_INVALID = 0,
    ICP_OP_QUERY = 1,
    ICP_OP_HIT = 2,
    ICP_OP_MISS = 3,
    ICP_OP_ERR = 4,
    ICP_OP_SECHO = 10,
    ICP_OP_DECHO = 11,
    ICP_OP_MISS_NOFETCH = 21,
    ICP_OP_DENIED = 22,
    ICP_OP_HIT_OBJ = 23,
    ICP_NO_REPLY = 255,       // a candidate's reply that never came
};

// Queries go out as version 2, which every peer answers; the responder takes 2 and 3.
constexpr int ICP_VERSION_SENT = 2;
constexpr std::size_t ICP_HEADER_SIZE = 20;
// The most bytes of one datagram read; a longer one is cut here and then fails its length.
constexpr std::size_t ICP_READ_MAX = 65546;

// One message. length and request_number are in host order; the addresses are as on the wire
// (network order). payload is everything after the 20-byte header.
struct icp_packet {
    std::uint8_t opcode = 0;
    std::uint8_t version = 0;
    std::uint16_t length = 0;
    std::uint32_t request_number = 0;
    std::uint32_t options = 0;
    std::uint32_t option_data = 0;
    std::uint32_t sender = 0;
    std::string payload;
};

// Parses one whole datagram: 0, or -1 when it is shorter than 20 bytes or than its own length
// field ("error: ICP packet too short" for a length below 20). Bytes past the length are
// ignored.
int icp_packet_parse(std::string_view datagram, icp_packet& packet);
// The wire form: the header and the payload, length as the packet says (not checked).
std::string icp_packet_bytes(const icp_packet& packet);

// sendto of the packet to address → sendto's result.
long icp_packet_send(int socket, const sockaddr_in& address, const icp_packet& packet);
// One datagram (one receive, never spliced with the next) into the packet, the sender into
// address → bytes read, or -1 for a failed read or a datagram icp_packet_parse refuses.
long icp_packet_receive(int socket, sockaddr_in& address, icp_packet& packet);

const char* icp_opcode_name(int opcode);

// A QUERY for url: requester (the client) and sender (this proxy) are dotted IPv4 texts, 0
// when they don't convert.
icp_packet icp_query_build(std::uint32_t request_number, std::string_view url, std::string_view requester,
                           std::string_view sender);

// A request number for one query, from the system's random source: a number that others could
// foresee (as rand()'s, seeded with the time and the process id) would let any host that reaches
// the query socket answer in a peer's place. nullopt when the system gives no random bytes.
std::optional<std::uint32_t> icp_request_number();

// Whether a reply answers the query that went to peer: it comes from that address and port,
// carries the query's number and names the query's URL.
bool icp_reply_matches(const icp_packet& reply, const sockaddr_in& from, const sockaddr_in& peer,
                       std::uint32_t request_number, std::string_view url);

// The responder's answer to one received packet, or nullopt when none is due: only a QUERY is
// answered (so two responders never answer each other), with HIT or MISS by exists(url key),
// or INVALID and a 20-byte header when its payload or URL is unusable.
std::optional<icp_packet> icp_answer(const icp_packet& packet, const std::function<bool(std::string_view)>& exists);

// Serves queries on a bound UDP socket, looking them up with exists, until stop is set (seen
// within a second: the wait is bounded so that its owner can end it).
void icp_serve(int socket, const std::atomic<bool>& stop, const std::function<bool(std::string_view)>& exists);

// The responder: binds the cache section's ICP port and serves forever; port 0 returns at once.
void* icp_thread(void* unused);
