#include "inspect/clamav.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/processors.h"
#include "net/network.h"
#include "net/socket.h"
#include "util/filebuf.h"
#include "util/stringutil.h"

ClamAVSection* clamav_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_ADDRESS = 1,
    GLOBAL_PORT = 2,
    GLOBAL_TEMPLATE = 3,
    GLOBAL_COUNT = 4,
};

const AntivirusTraits TRAITS = {
    "ClamAV", "ClamAV", 200, LOG_DEBUG, "ClamAV: cached file already checked for viruses", "ClamAV: detected %s virus",
};

// clamd takes a stream in chunks of any size up to its StreamMaxLength; this size keeps the
// copies small and the system calls few.
constexpr std::size_t CHUNK = 256 * 1024;
constexpr int REPLY_MAX = 1024;

AntivirusVerdict failed()
{
    putlog(LOG_ANTIVIRUS, "error: ClamAV: failed to check file for viruses");
    return AntivirusVerdict::failed();
}

void put_length(std::string& out, std::size_t length)
{
    const auto n = static_cast<std::uint32_t>(length);
    const char bytes[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)};
    out.append(bytes, 4);
}

// The stream command and the body in length-prefixed chunks, then the zero length that ends it.
// The end goes out with the last chunk, so that no small write waits behind a delayed ACK.
bool send_stream(DaemonLink& link, std::string_view body)
{
    std::string block = "nINSTREAM\n";
    block.reserve(CHUNK + 16);
    do {
        const std::size_t n = std::min(body.size(), CHUNK);
        put_length(block, n);
        block.append(body.data(), n);
        body.remove_prefix(n);
        if (body.empty())
            put_length(block, 0);
        if (!link.send(block))
            return false;
        block.clear();
    } while (!body.empty());
    return true;
}

} // namespace

AntivirusVerdict clamav_reply_read(std::string_view reply)
{
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.remove_suffix(1);
    // "<stream>: OK" is the only clean answer, "<stream>: <virus> FOUND" the only infected one;
    // anything else (an unknown command, a size limit, an error) is no verdict.
    const std::size_t colon = reply.find(": ");
    if (colon == std::string_view::npos)
        return failed();
    const std::string_view verdict = reply.substr(colon + 2);
    if (verdict == "OK") {
        putlog(LOG_DEBUG, "ClamAV: no viruses found");
        return AntivirusVerdict::clean();
    }
    constexpr std::string_view FOUND = " FOUND";
    if (verdict.size() > FOUND.size() && verdict.substr(verdict.size() - FOUND.size()) == FOUND) {
        const std::string_view name = verdict.substr(0, verdict.size() - FOUND.size());
        if (!name.empty() && name.find(' ') == std::string_view::npos)
            return AntivirusVerdict::infected(std::string(name));
    }
    return failed();
}

AntivirusVerdict clamav_scan(const std::string& address, int port, std::string_view body, int timeout)
{
    int fd = -1;
    if (!address.empty() && address.front() == '/') {
        fd = antivirus_unix_connect(address, timeout);
        if (fd < 0) {
            putlog(0, "ClamAV: Please Verify that ClamAV is listening on %s", address.c_str());
            return failed();
        }
    } else {
        fd = net_connect(address.c_str(), port, timeout);
        if (fd < 0) {
            putlog(0, "ClamAV: Please Verify that ClamAV is listening on %s:%d", address.c_str(), port);
            return failed();
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    DaemonLink link(fd, timeout);   // closes the connection on every path
    if (!send_stream(link, body)) {
        putlog(0, "ClamAV: Please Verify the Socket Write Permissions");
        return failed();
    }
    char line[REPLY_MAX];
    if (link.line(line, sizeof line) <= 0) {
        putlog(0, "ClamAV: Please Verify the Socket Read Permissions");
        return failed();
    }
    return clamav_reply_read(line);
}

ClamAVSection::ClamAVSection() : AntivirusSection("clamav", TRAITS)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    update();
}

void ClamAVSection::update()
{
    rebuild(GLOBAL_ENABLED, GLOBAL_TEMPLATE, [this](ClamAVSettings& settings) {
        settings.address = fields_[GLOBAL_ADDRESS].text;
        settings.port = fields_[GLOBAL_PORT].int_value;
    });
}

AntivirusVerdict ClamAVSection::scan(const ClamAV&, const ClamAVSettings& settings, const Filebuf& body,
                                     const ScanLimits& limits) const
{
    return clamav_scan(settings.address, settings.port, body.view(), limits.timeout);
}

int clamav_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return clamav_section->check_match(connection);
}

int clamav_respcheck(CONNECTION_T* connection, Filebuf* body)
{
    return clamav_section->check_and_block(connection, body);
}
