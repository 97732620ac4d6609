#include "util/log.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::shared_mutex logfile_lock;
int logfd = -1;
int logflg = 0;
int slogfd = -1;
int slogflg = 0;
int elogfd = -1;
int elogflg = 0;

int loglevel = 0x7ffffff;
int daemonize = 1;
std::string logfile;

namespace {

std::atomic<log_clock_t> log_clock{nullptr};
std::atomic<log_clientid_t> log_clientid{nullptr};
std::atomic<LOGBUFFER*> log_buffer{nullptr};

std::time_t log_now()
{
    const log_clock_t clock = log_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : std::time(nullptr);
}

// Prefix of each category bit, by bit position; type 0 is "advice: ".
constexpr std::array<const char*, 29> CATEGORY_PREFIX = {
    "request: ",        "network: ",      "url filter: ",    "header: ",     "mime filter: ",
    "cookie filter: ",  "redirect: ",     "template: ",      "keyword filter: ", "rewriting: ",
    "limits: ",         "cache: ",        "prefetch: ",      "ICP: ",        "forwarding: ",
    "sync: ",           "antivirus: ",    "external: ",      "ICAP: ",       "dnsbl: ",
    "URL blacklist: ",  "URL command: ",  "module: ",        "security: ",   "warning: ",
    "error: ",          "profiles: ",     "debug: ",         "verify: ",
};

const char* category_prefix(int type)
{
    if (type == LOG_ALWAYS)
        return "advice: ";
    const auto bits = static_cast<unsigned>(type);
    if (!std::has_single_bit(bits))
        return "";
    const auto index = static_cast<std::size_t>(std::countr_zero(bits));
    return index < CATEGORY_PREFIX.size() ? CATEGORY_PREFIX[index] : "";
}

// The whole of `data`, normally in one write(); errors cost only this output.
void write_all(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Writes the time stamp of `now` ("%Y %m %d %H:%M:%S", local time) into `out`; its length, at
// most `room`.
std::size_t time_stamp(std::time_t now, char* out, std::size_t room)
{
    thread_local std::time_t stamped = static_cast<std::time_t>(-1);
    thread_local std::array<char, 32> stamp{};
    thread_local std::size_t stamp_length = 0;
    if (now != stamped || stamp_length == 0) {
        std::tm broken{};
        log_localtime(now, &broken);
        stamp_length = std::strftime(stamp.data(), stamp.size(), "%Y %m %d %H:%M:%S", &broken);
        stamped = now;
    }
    const std::size_t length = std::min(stamp_length, room);
    std::memcpy(out, stamp.data(), length);
    return length;
}

std::string rotated_name(const std::string& path, std::size_t slash, std::time_t when)
{
    std::tm broken{};
    localtime_r(&when, &broken);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &broken);
    const std::string name = path.substr(0, slash) + "/" + stamp + "-" + path.substr(slash + 1);
    // A second rotation within the same second must not replace the first one's file.
    std::string candidate = name;
    struct stat existing {};
    for (unsigned counter = 1; lstat(candidate.c_str(), &existing) == 0; ++counter)
        candidate = name + "." + std::to_string(counter);
    return candidate;
}

} // namespace

void log_localtime(std::time_t when, std::tm* broken)
{
    thread_local std::time_t converted = static_cast<std::time_t>(-1);
    thread_local std::tm result{};
    thread_local bool valid = false;
    if (!valid || when != converted) {
        valid = localtime_r(&when, &result) != nullptr;
        converted = when;
    }
    *broken = result;
}

void log_set_clock(log_clock_t clock) { log_clock.store(clock, std::memory_order_relaxed); }

void log_set_clientid(log_clientid_t clientid) { log_clientid.store(clientid, std::memory_order_release); }

void log_set_buffer(LOGBUFFER* buffer) { log_buffer.store(buffer, std::memory_order_release); }

int log_file_open(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_LARGEFILE | O_CLOEXEC, 0640);
    if (fd >= 0)
        lseek(fd, 0, SEEK_END);
    return fd;
}

bool log_file_write_shared(int fd, int flag, std::string_view text)
{
    if (fd < 0 || flag == -1)
        return false;
    write_all(fd, text.data(), text.size());
    return true;
}

void log_file_rotate(const std::string& path, int& fd, int& flag, std::time_t when)
{
    flag = 0;
    fsync(fd);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string name = rotated_name(path, slash, when);
    close(fd);
    fd = -1;
    rename(path.c_str(), name.c_str());
}

void logrotate()
{
    std::lock_guard lock(logfile_lock);
    logflg = -1;
    slogflg = -1;
    elogflg = -1;
}

void vputlog(int type, const char* format, std::va_list args)
{
    if (type == LOG_DEBUG && (loglevel & LOG_DEBUG) == 0)
        return;

    // Room for the longest line, its added newline and the terminator.
    char line[LOG_LINE_MAX + 2];
    const std::time_t now = log_now();
    std::size_t length = time_stamp(now, line, LOG_LINE_MAX);
    const log_clientid_t clientid = log_clientid.load(std::memory_order_acquire);
    const int head = std::snprintf(line + length, LOG_LINE_MAX + 1 - length, " [%u] %s",
                                   clientid != nullptr ? clientid() : 0U, category_prefix(type));
    if (head > 0)
        length = std::min(length + static_cast<std::size_t>(head), LOG_LINE_MAX);
    const int body = std::vsnprintf(line + length, LOG_LINE_MAX + 1 - length, format, args);
    if (body > 0)
        length += static_cast<std::size_t>(body);
    if (length > LOG_LINE_MAX)
        length = LOG_LINE_MAX;

    LOGBUFFER* const buffer = log_buffer.load(std::memory_order_acquire);
    if (type != LOG_DEBUG && buffer != nullptr)
        logbuffer_add(buffer, std::string_view(line, length));

    if (length == 0 || line[length - 1] != '\n')
        line[length++] = '\n';
    line[length] = '\0';

    const bool enabled = type == LOG_ALWAYS || (loglevel & type) != 0;
    if (!enabled)
        return;
    if (daemonize == 0)
        write_all(STDOUT_FILENO, line, length);
    if (logfile.empty())
        return;

    {
        std::shared_lock shared(logfile_lock);
        if (log_file_write_shared(logfd, logflg, std::string_view(line, length)))
            return;
    }
    std::lock_guard lock(logfile_lock);
    // A pending rotation waits for a write that finds the file open.
    if (logflg == -1 && logfd >= 0)
        log_file_rotate(logfile, logfd, logflg, now);
    if (logfd < 0)
        logfd = log_file_open(logfile);
    if (logfd < 0)
        return;
    write_all(logfd, line, length);
}

void putlog(int type, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    vputlog(type, format, args);
    va_end(args);
}

void log_syscall(const char* call, const char* function, const char* what)
{
    const int err = errno;
    putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s", call, err, std::strerror(err), function, what);
    errno = err;
}

void logbuffer_add(LOGBUFFER* buffer, std::string_view line)
{
    // The lock is held only to move strings, never to allocate or free one's text: the copy is
    // made before, and the line it replaces is freed after (it ends up in `copy`).
    std::string copy(line);
    std::lock_guard lock(buffer->lock);
    if (buffer->capacity <= 0)
        return;
    std::vector<std::string>& ring = buffer->ring;
    if (ring.size() < static_cast<std::size_t>(buffer->capacity)) {
        // Filling up: the ring grows a few times, then never again.
        ring.push_back(std::move(copy));
        buffer->newest = ring.size() - 1;
        return;
    }
    buffer->newest = (buffer->newest + 1) % ring.size();
    ring[buffer->newest].swap(copy);
}

namespace {

// The kept lines oldest first, at most the newest n of them; the buffer's lock is held.
std::vector<std::string> logbuffer_take(LOGBUFFER* buffer, std::size_t n)
{
    std::vector<std::string>& ring = buffer->ring;
    const std::size_t kept = std::min(n, ring.size());
    std::vector<std::string> lines;
    lines.reserve(kept);
    for (std::size_t i = kept; i > 0; --i)
        lines.push_back(std::move(ring[(buffer->newest + ring.size() - (i - 1)) % ring.size()]));
    ring.clear();
    return lines;
}

} // namespace

void logbuffer_resize(LOGBUFFER* buffer, int n)
{
    if (n < 0)
        return;
    std::vector<std::string> old;
    std::lock_guard lock(buffer->lock);
    // Laid out again oldest to newest, so that the ring fills up from the back as when new.
    std::vector<std::string> kept = logbuffer_take(buffer, static_cast<std::size_t>(n));
    old = std::move(buffer->ring);
    buffer->ring = std::move(kept);
    buffer->newest = buffer->ring.empty() ? 0 : buffer->ring.size() - 1;
    buffer->capacity = n;
}

void logbuffer_clear(LOGBUFFER* buffer)
{
    std::vector<std::string> old;
    std::lock_guard lock(buffer->lock);
    old.swap(buffer->ring);
    buffer->newest = 0;
}

LogbufferSnapshot logbuffer_snapshot(const LOGBUFFER* buffer)
{
    LogbufferSnapshot snapshot;
    std::lock_guard lock(buffer->lock);
    const std::vector<std::string>& ring = buffer->ring;
    snapshot.capacity = buffer->capacity;
    snapshot.lines.reserve(ring.size());
    for (std::size_t i = 0; i < ring.size(); ++i)
        snapshot.lines.push_back(ring[(buffer->newest + ring.size() - i) % ring.size()]);
    return snapshot;
}
