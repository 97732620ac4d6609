#include "cache/icp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "cache/cache.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "util/url.h"

namespace {

std::uint32_t read32(std::string_view bytes, std::size_t at)
{
    return (std::uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

void write32(std::string& out, std::uint32_t value)
{
    out += static_cast<char>(value >> 24);
    out += static_cast<char>(value >> 16);
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value);
}

// Addresses are kept as on the wire: the bytes in order, whatever the host's order.
std::uint32_t wire_address(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

void write_address(std::string& out, std::uint32_t value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::uint32_t address_from_text(std::string_view text)
{
    const std::string copy(text);
    in_addr address{};
    return inet_pton(AF_INET, copy.c_str(), &address) == 1 ? address.s_addr : 0;
}

icp_packet invalid_answer(const icp_packet& packet)
{
    icp_packet answer = packet;
    answer.opcode = ICP_OP_INVALID;
    answer.length = ICP_HEADER_SIZE;
    answer.payload.clear();
    return answer;
}

class UdpSocket {
public:
    explicit UdpSocket(int fd) : fd_(fd) {}
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace

int icp_packet_parse(std::string_view datagram, icp_packet& packet)
{
    if (datagram.size() < 4)
        return -1;
    const std::uint16_t length = static_cast<std::uint16_t>((static_cast<unsigned char>(datagram[2]) << 8) |
                                                            static_cast<unsigned char>(datagram[3]));
    if (length < ICP_HEADER_SIZE) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    // A datagram shorter than its own length is dropped whole: what is missing never arrives in
    // the next one, which belongs to another message.
    if (datagram.size() < length)
        return -1;
    packet.opcode = static_cast<std::uint8_t>(datagram[0]);
    packet.version = static_cast<std::uint8_t>(datagram[1]);
    packet.length = length;
    packet.request_number = read32(datagram, 4);
    packet.options = read32(datagram, 8);
    packet.option_data = read32(datagram, 12);
    packet.sender = wire_address(datagram, 16);
    packet.payload.assign(datagram.substr(ICP_HEADER_SIZE, length - ICP_HEADER_SIZE));
    return 0;
}

std::string icp_packet_bytes(const icp_packet& packet)
{
    std::string out;
    out.reserve(ICP_HEADER_SIZE + packet.payload.size());
    out += static_cast<char>(packet.opcode);
    out += static_cast<char>(packet.version);
    out += static_cast<char>(packet.length >> 8);
    out += static_cast<char>(packet.length);
    write32(out, packet.request_number);
    write32(out, packet.options);
    write32(out, packet.option_data);
    write_address(out, packet.sender);
    out += packet.payload;
    return out;
}

long icp_packet_send(int socket, const sockaddr_in& address, const icp_packet& packet)
{
    std::string bytes = icp_packet_bytes(packet);
    bytes.resize(packet.length, '\0');
    return ::sendto(socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

long icp_packet_receive(int socket, sockaddr_in& address, icp_packet& packet)
{
    std::vector<char> buffer(ICP_READ_MAX);
    socklen_t size = sizeof address;
    const ssize_t got = ::recvfrom(socket, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&address), &size);
    if (got <= 0)
        return -1;
    if (icp_packet_parse(std::string_view(buffer.data(), static_cast<std::size_t>(got)), packet) != 0)
        return -1;
    return got;
}

const char* icp_opcode_name(int opcode)
{
    switch (opcode) {
    case ICP_OP_INVALID: return "ICP_OP_INVALID";
    case ICP_OP_QUERY: return "ICP_OP_QUERY";
    case ICP_OP_HIT: return "ICP_OP_HIT";
    case ICP_OP_MISS: return "ICP_OP_MISS";
    case ICP_OP_ERR: return "ICP_OP_ERR";
    case ICP_OP_SECHO: return "ICP_OP_SECHO";
    case ICP_OP_DECHO: return "ICP_OP_DECHO";
    case ICP_OP_MISS_NOFETCH: return "ICP_OP_MISS_NOFETCH";
    case ICP_OP_DENIED: return "ICP_OP_DENIED";
    case ICP_OP_HIT_OBJ: return "ICP_OP_HIT_OBJ";
    default: return "ICP_OP_UNKNOWN";
    }
}

icp_packet icp_query_build(std::uint32_t request_number, std::string_view url, std::string_view requester,
                           std::string_view sender)
{
    icp_packet query;
    query.opcode = ICP_OP_QUERY;
    query.version = ICP_VERSION_SENT;
    query.request_number = request_number;
    query.sender = address_from_text(sender);
    write_address(query.payload, address_from_text(requester));
    query.payload.append(url);
    query.payload += '\0';
    query.length = static_cast<std::uint16_t>(ICP_HEADER_SIZE + query.payload.size());
    return query;
}

std::optional<std::uint32_t> icp_request_number()
{
    std::uint32_t number = 0;
    for (;;) {
        const ssize_t got = ::getrandom(&number, sizeof number, 0);
        if (got == static_cast<ssize_t>(sizeof number))
            return number;
        if (got < 0 && errno != EINTR)
            return std::nullopt;
    }
}

bool icp_reply_matches(const icp_packet& reply, const sockaddr_in& from, const sockaddr_in& peer,
                       std::uint32_t request_number, std::string_view url)
{
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != peer.sin_addr.s_addr || from.sin_port != peer.sin_port ||
        reply.request_number != request_number)
        return false;
    const std::string_view payload(reply.payload);
    return payload.substr(0, payload.find('\0')) == url;
}

std::optional<icp_packet> icp_answer(const icp_packet& packet, const std::function<bool(std::string_view)>& exists)
{
    if (packet.opcode != ICP_OP_QUERY) {
        putlog(LOG_ICP, "error: unhandled ICP opcode: %s", icp_opcode_name(packet.opcode));
        return std::nullopt;
    }
    // The payload is the requester's address and the URL up to its NUL.
    const std::string_view payload(packet.payload);
    const std::size_t nul = packet.length > ICP_HEADER_SIZE + 4 ? payload.find('\0', 4) : std::string_view::npos;
    if (nul == std::string_view::npos) {
        putlog(LOG_ICP, "error: received ICP QUERY with no payload");
        return invalid_answer(packet);
    }
    const std::string_view url = payload.substr(4, nul - 4);
    const std::optional<URL> parsed = url_parse(url);
    if (!parsed) {
        putlog(LOG_ICP, "error: received invalid URL in query");
        return invalid_answer(packet);
    }
    icp_packet answer = packet;
    answer.payload.assign(url);
    answer.payload += '\0';
    answer.length = static_cast<std::uint16_t>(ICP_HEADER_SIZE + answer.payload.size());
    const std::string key = url_create(*parsed);
    if (exists(key)) {
        answer.opcode = ICP_OP_HIT;
        putlog(LOG_ICP, "hit: %s", key.c_str());
    } else {
        answer.opcode = ICP_OP_MISS;
        putlog(LOG_ICP, "miss: %s", key.c_str());
    }
    return answer;
}

void icp_serve(int socket, const std::atomic<bool>& stop, const std::function<bool(std::string_view)>& exists)
{
    while (!stop.load()) {
        pollfd wait{socket, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 1000);
        if (ready <= 0)
            continue;
        sockaddr_in from{};
        icp_packet packet;
        if (icp_packet_receive(socket, from, packet) < 0)
            continue;
        const std::optional<icp_packet> answer = icp_answer(packet, exists);
        if (answer)
            icp_packet_send(socket, from, *answer);
    }
}

void* icp_thread(void*)
{
    if (cache_section == nullptr)
        return nullptr;
    const int port = cache_section->icpport_get();
    if (port == 0)
        return nullptr;
    UdpSocket socket(s_socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (socket.fd() < 0 || ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        putlog(LOG_ERROR, "ICP: failed to start ICP thread");
        return nullptr;
    }
    putlog(LOG_ICP, "network: listening on port *:%d", port);
    const std::atomic<bool> never{false};
    icp_serve(socket.fd(), never, [](std::string_view key) { return cache_section->exists(key) != 0; });
    return nullptr;
}
