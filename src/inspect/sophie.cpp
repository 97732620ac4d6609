#include "inspect/sophie.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/processors.h"
#include "net/dns.h"
#include "net/network.h"
#include "net/socket.h"
#include "util/descriptor.h"
#include "util/filebuf.h"

SophieSection* sophie_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_SOCKET = 1,
    GLOBAL_HOST = 2,
    GLOBAL_PORT = 3,
    GLOBAL_TEMPLATE = 4,
    GLOBAL_COUNT = 5,
};

const AntivirusTraits TRAITS = {
    "Sophie", "Sophie", 200, LOG_ANTIVIRUS, "cached file already checked for viruses",
    "detected %s virus with Sophie",
};

// The daemon's protocol carries the file's path in a field of this size, terminator included.
constexpr std::size_t PATH_LIMIT = 64;
constexpr int UNIX_REPLY_MAX = 511;
constexpr int TCP_LINE_MAX = 256;
constexpr std::size_t COPY_BLOCK = 512;
// A daemon on another host reads the file as someone else.
constexpr unsigned FILE_MODE = 0644;

std::string_view line_of(std::string_view reply)
{
    reply = reply.substr(0, reply.find('\n'));
    if (!reply.empty() && reply.back() == '\r')
        reply.remove_suffix(1);
    return reply;
}

AntivirusVerdict error_checking()
{
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    return AntivirusVerdict::failed();
}

AntivirusVerdict unix_dialogue(const std::string& path, const Filebuf& body, int timeout)
{
    const int fd = antivirus_unix_connect(path, timeout);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
        return AntivirusVerdict::failed();
    }
    DaemonLink link(fd, timeout);
    TempFile file(PATH_LIMIT);
    if (!file.ok() || !file.write(body, FILE_MODE))
        return AntivirusVerdict::failed();
    if (!link.send(file.path() + "\n"))
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
    char buffer[UNIX_REPLY_MAX + 1];
    const int got = link.read(buffer, UNIX_REPLY_MAX);
    if (got <= 0)
        return error_checking();
    const std::string_view reply = line_of(std::string_view(buffer, static_cast<std::size_t>(got)));
    if (reply.substr(0, 2) == "-1")
        return error_checking();
    if (reply.substr(0, 1) == "1")
        return AntivirusVerdict::infected(sophie_virus_name(reply));
    putlog(LOG_ANTIVIRUS, "no viruses detected by Sophie");
    return reply.substr(0, 1) == "0" ? AntivirusVerdict::clean() : AntivirusVerdict::failed();
}

// The file's bytes to the daemon, as they are on the disk, every one of them sent before the
// verdict is waited for. false when the daemon failed or stopped reading.
bool file_send(DaemonLink& link, const std::string& path)
{
    const int fd = s_open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "cannot open file");
        return true;
    }
    char block[COPY_BLOCK];
    bool sent = true;
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!link.send(std::string_view(block, static_cast<std::size_t>(n)))) {
            sent = false;
            break;
        }
    }
    close(fd);
    return sent;
}

AntivirusVerdict tcp_dialogue(const std::string& host, int port, const Filebuf& body, int timeout)
{
    const HostentPtr address = net_dns(host.c_str());
    if (address == nullptr) {
        putlog(LOG_ANTIVIRUS, "Unknown host %s \n", host.c_str());
        return AntivirusVerdict::failed();
    }
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, address->addr.data(), dotted, sizeof dotted);
    const int fd = net_connect(dotted, port, timeout);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie failed");
        return AntivirusVerdict::failed();
    }
    DaemonLink link(fd, timeout);
    TempFile file(PATH_LIMIT);
    if (!file.ok() || !file.write(body, FILE_MODE))
        return AntivirusVerdict::failed();
    struct stat status {};
    if (stat(file.path().c_str(), &status) != 0)
        return AntivirusVerdict::failed();
    const std::string& path = file.path();
    const std::string base = path.substr(path.rfind('/') + 1);
    if (!link.send(base + "/" + std::to_string(static_cast<long long>(status.st_size)) + "\n"))
        putlog(LOG_ERROR, "write: %s", std::strerror(errno));
    char line[TCP_LINE_MAX];
    if (link.line(line, sizeof line) <= 0 || std::strncmp(line, "OK", 2) != 0) {
        putlog(LOG_ANTIVIRUS, "'OK' not returned from Sophie");
        return AntivirusVerdict::failed();
    }
    if (!file_send(link, path))
        return error_checking();
    const int got = link.line(line, sizeof line);
    const std::string_view reply = got > 0 ? line_of(line) : std::string_view();
    if (reply.substr(0, 1) == "1")
        return AntivirusVerdict::infected(sophie_virus_name(reply));
    if (reply.substr(0, 1) == "-")
        return error_checking();
    putlog(LOG_ANTIVIRUS, "No virus Found");
    return reply.substr(0, 1) == "0" ? AntivirusVerdict::clean() : AntivirusVerdict::failed();
}

} // namespace

std::string sophie_virus_name(std::string_view reply)
{
    return reply.size() > 2 ? std::string(line_of(reply.substr(2))) : std::string();
}

SophieSection::SophieSection() : AntivirusSection("sophie", TRAITS)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    update();
}

void SophieSection::update()
{
    rebuild(GLOBAL_ENABLED, GLOBAL_TEMPLATE, [this](SophieSettings& settings) {
        settings.socket = fields_[GLOBAL_SOCKET].text;
        settings.host = fields_[GLOBAL_HOST].text;
        settings.port = fields_[GLOBAL_PORT].int_value;
    });
}

AntivirusVerdict SophieSection::scan(const Sophie&, const SophieSettings& settings, const Filebuf& body,
                                     const ScanLimits& limits) const
{
    if (settings.socket.empty())
        return tcp_dialogue(settings.host, settings.port, body, limits.timeout);
    if (settings.socket.front() == '/')
        return unix_dialogue(settings.socket, body, limits.timeout);
    // Neither a path nor empty: no daemon can be named by it.
    putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
    return AntivirusVerdict::failed();
}

int sophie_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return sophie_section->check_match(connection);
}

int sophie_respcheck(CONNECTION_T* connection, Filebuf* body)
{
    return sophie_section->check_and_block(connection, body);
}
