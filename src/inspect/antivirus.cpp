#include "inspect/antivirus.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cache/cache.h"
#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "util/descriptor.h"
#include "util/filebuf.h"

AntivirusRule::AntivirusRule(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= ANTIVIRUS_FIELD_COUNT);
    enabled = f[ANTIVIRUS_FIELD_ENABLED].int_value;
    comment = f[ANTIVIRUS_FIELD_COMMENT].text;
    profiles = f[ANTIVIRUS_FIELD_PROFILES].string_list;
    templ = f[ANTIVIRUS_FIELD_TEMPLATE].text;
}

bool AntivirusRule::applies(const CONNECTION_T& connection) const
{
    return enabled != 0 && profile_find(connection.profiles, profiles) == 1;
}

bool antivirus_already_clean(CONNECTION_T* connection)
{
    if ((connection->flags & CONN_CACHE) != 0)
        return false;
    CACHEMAP* object = connection_cache(connection);
    if (object == nullptr || cache_section == nullptr)
        return false;
    cache_section->mutex_lock();
    const std::uint32_t flags = object->flags;
    cache_section->unlock();
    return (flags & CACHE_CLEAN) != 0;
}

void antivirus_mark_clean(CONNECTION_T* connection)
{
    if ((connection->flags & (CONN_SCAN_CLEAN | CONN_SCAN_INCOMPLETE)) != CONN_SCAN_CLEAN)
        return;
    if (CACHEMAP* object = connection_cache(connection); object != nullptr && cache_section != nullptr)
        cache_section->flag_set(object, CACHE_CLEAN);
}

int antivirus_block(CONNECTION_T* connection, const AntivirusTraits& traits, std::string_view templ,
                    const AntivirusVerdict& verdict)
{
    switch (verdict.naming) {
    case AntivirusVerdict::NAMED:
        putlog(LOG_ANTIVIRUS, traits.detected, verdict.name.c_str());
        connection->variables["VIRUSNAME"] = verdict.name;
        connection->logentry.filtering_reason = verdict.name;
        break;
    case AntivirusVerdict::UNKNOWN:
        putlog(LOG_ANTIVIRUS, traits.detected, "unknown");
        connection->logentry.filtering_reason = "unknown";
        break;
    case AntivirusVerdict::UNNAMED:
        break;
    }
    connection->variables["AVSCANNER"] = traits.avscanner;
    template_section->send(templ, connection, traits.status);
    connection->logentry.filter_name = traits.filter_name;
    return 1;
}

ScanLimits scan_limits(const CONNECTION_T* connection)
{
    ScanLimits limits;
    if (general_section != nullptr && connection != nullptr)
        limits.timeout = std::max(general_section->timeout_get(connection), 1);
    limits.reply_max = inspect_output_limit(connection);
    return limits;
}

DaemonLink::DaemonLink(int fd, int timeout) : socket_(fd), timeout_(std::max(timeout, 1))
{
    socket_.SetTimeout(timeout_);
}

DaemonLink::~DaemonLink()
{
    // The socket's own close would flush what is pending for another time-out.
    socket_.SetTimeout(0);
}

bool DaemonLink::send(std::string_view bytes)
{
    // Write waits for room at most the time-out and keeps what did not go: that is a daemon that
    // stopped reading, and nothing more is sent to it.
    return socket_.Write(bytes.data(), static_cast<long>(bytes.size())) >= 0 && socket_.output_length() == 0;
}

int DaemonLink::line(char* buffer, int size)
{
    return socket_.GetLine(buffer, size, timeout_);
}

int DaemonLink::read(char* buffer, int size)
{
    return socket_.Read(buffer, size, timeout_);
}

int antivirus_unix_connect(std::string_view path, int timeout)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(path.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path, path.data(), length);
    const int fd = s_socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A connect to a Unix socket waits for room in the listener's backlog no longer than this.
    timeval limit{};
    limit.tv_sec = std::max(timeout, 1);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int result;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

