// Fuzz target over the ICP datagram parser and the responder's answer, which take every UDP
// datagram any host sends to the ICP port. Besides the sanitizers' findings it checks that a
// parsed message writes back as the bytes it came from, that only a QUERY is ever answered,
// and that an answer is never longer than the query it answers (no reflection amplification).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/icp.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::process_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    icp_packet packet;
    if (icp_packet_parse(datagram, packet) != 0)
        return 0;
    fuzz::require(packet.length >= ICP_HEADER_SIZE && packet.length <= size, "the length is within the datagram");
    fuzz::require(icp_packet_bytes(packet) == datagram.substr(0, packet.length), "a message writes back as read");
    const std::optional<icp_packet> answer =
        icp_answer(packet, [](std::string_view key) { return key.size() % 2 == 0; });
    fuzz::require(answer.has_value() == (packet.opcode == ICP_OP_QUERY), "only a query is answered");
    if (answer) {
        const std::string wire = icp_packet_bytes(*answer);
        fuzz::require(wire.size() == answer->length, "the answer's length is its size");
        fuzz::require(wire.size() <= packet.length, "an answer is never longer than its query");
        fuzz::require(answer->request_number == packet.request_number, "the request number is echoed");
    }
    return 0;
}
