#include "core/logentry.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <string_view>
#include <unistd.h>

#include "util/helpers.h"
#include "util/log.h"
#include "core/options.h"
#include "util/stringutil.h"

const char* const access_legend =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url username "
    "peercode/peer mime\n";
const char* const apache_legend =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method proto://url\" status "
    "size \"http_referer\" \"useragent\" mime \"filter_name filtering_reason\" "
    "\"comma_separated_list_of_applied_profiles\" \"interface_ip:interface_port\n";

namespace {

std::atomic<logentry_clock_t> logentry_clock{nullptr};

timeval logentry_now()
{
    const logentry_clock_t clock = logentry_clock.load(std::memory_order_relaxed);
    if (clock != nullptr)
        return clock();
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

constexpr std::array<const char*, 15> CACHECODE_TEXT = {
    "UNSPECIFIED",      "TCP_HIT",      "TCP_MISS",     "TCP_REFRESH_HIT", "TCP_REF_FAIL_HIT",
    "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH", "TCP_IMS_HIT", "TCP_IMS_MISS", "TCP_DENIED",
    "UDP_HIT",          "UDP_MISS",     "UDP_HIT_OBJ",  "UDP_DENIED",      "UDP_INVALID",
};

constexpr std::array<const char*, 20> PEERCODE_TEXT = {
    "NONE",
    "DIRECT",
    "FIREWALL_IP_DIRECT",
    "FIRST_PARENT_MISS",
    "FIRST_UP_PARENT",
    "LOCAL_IP_DIRECT",
    "SIBLING_HIT",
    "NO_DIRECT_FAIL",
    "NO_PARENT_DIRECT",
    "PARENT_HIT",
    "SINGLE_PARENT",
    "SOURCE_FASTEST",
    "PARENT_UDP_HIT_OBJ",
    "SIBLING_UDP_HIT_OBJ",
    "PASSTHROUGH_PARENT",
    "SSL_PARENT_MISS",
    "DEFAULT_PARENT",
    "ROUNDROBIN_PARENT",
    "CLOSEST_PARENT_MISS",
    "CLOEST_DIRECT",  // kept as is
};

template <std::size_t N>
const char* code_text(const std::array<const char*, N>& table, int code)
{
    if (code <= 0 || static_cast<std::size_t>(code) >= N)
        return table[0];
    return table[static_cast<std::size_t>(code)];
}

// Client addresses, user names, URLs and header values come from the client: a control byte in
// one of them must not end a record early or fake another one.
void append_text(std::string& out, std::string_view text)
{
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    if (plain)
        out += text;   // the common case, without an escaped copy
    else
        out += string_escape_control(text);
}

// "%u.%.3d": the seconds and the milliseconds of a time.
void append_stamp(std::string& out, const timeval& tv)
{
    out += std::to_string(static_cast<unsigned long long>(tv.tv_sec));
    out += '.';
    const long ms = tv.tv_usec / 1000;
    if (ms < 100)
        out += '0';
    if (ms < 10)
        out += '0';
    out += std::to_string(ms);
}

void append_two_digits(std::string& out, int n)
{
    out += static_cast<char>('0' + n / 10 % 10);
    out += static_cast<char>('0' + n % 10);
}

// "[%d/%b/%Y:%H:%M:%S]" in local time, with the English month whatever the locale.
void append_date(std::string& out, std::time_t when)
{
    static constexpr std::array<const char*, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm broken{};
    log_localtime(when, &broken);
    out += '[';
    append_two_digits(out, broken.tm_mday);
    out += '/';
    out += MONTHS[static_cast<std::size_t>(broken.tm_mon) % MONTHS.size()];
    out += '/';
    out += std::to_string(broken.tm_year + 1900);
    out += ':';
    append_two_digits(out, broken.tm_hour);
    out += ':';
    append_two_digits(out, broken.tm_min);
    out += ':';
    append_two_digits(out, broken.tm_sec);
    out += ']';
}

void write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Appends one record to a log: to an open file under a shared hold of logfile_lock; else under
// the lock itself, where a pending rotation is carried out first and a closed file is opened (a
// new or empty one gets the legend). fd and flag are the log's
// descriptor and rotation flag, guarded by that lock. `when` names a rotated file.
void log_append(const std::string& path, int& fd, int& flag, const char* legend, std::string_view record,
                std::time_t when)
{
    if (path.empty())
        return;
    {
        std::shared_lock shared(logfile_lock);
        if (log_file_write_shared(fd, flag, record))
            return;
    }
    std::lock_guard lock(logfile_lock);
    if (flag == -1 && fd >= 0)
        log_file_rotate(path, fd, flag, when);
    if (fd < 0) {
        fd = log_file_open(path);
        if (fd < 0)
            return;
        if (lseek(fd, 0, SEEK_CUR) == 0)
            write_all(fd, legend);
    }
    write_all(fd, record);
}

} // namespace

void logentry_set_clock(logentry_clock_t clock) { logentry_clock.store(clock, std::memory_order_relaxed); }

LogEntry::LogEntry() : client("-"), username("-"), useragent("-"), referer("-")
{
    Reset();
}

void LogEntry::Reset()
{
    start = logentry_now();
    cachecode_ = 0;
    peercode_ = 0;
    status = 0;
    size = 0;
    url = "-";
    peer = "-";
    mime = "-";
    filter_name = "-";
    filtering_reason = "-";
    profiles = "-";
}

const char* LogEntry::cachecode() const { return code_text(CACHECODE_TEXT, cachecode_); }

const char* LogEntry::peercode() const { return code_text(PEERCODE_TEXT, peercode_); }

std::string LogEntry::Build()
{
    end = logentry_now();
    std::string out;
    out.reserve(client.size() + method.size() + url.size() + username.size() + peer.size() + mime.size() + 1024);
    out += '\n';
    append_stamp(out, start);
    out += ' ';
    out += std::to_string(timeval_diff_ms(start, end));
    out += ' ';
    append_text(out, client);
    out += ' ';
    out += cachecode();
    out += '/';
    out += std::to_string(status);
    out += ' ';
    out += std::to_string(size);
    out += ' ';
    append_text(out, method);
    out += ' ';
    append_text(out, url);
    out += ' ';
    append_text(out, username);
    out += ' ';
    out += peercode();
    out += '/';
    append_text(out, peer);
    out += ' ';
    append_text(out, mime);
    return out;
}

std::string LogEntry::apache_Build()
{
    end = logentry_now();
    std::string out;
    out.reserve(client.size() + username.size() + method.size() + url.size() + referer.size() + useragent.size() +
                mime.size() + filter_name.size() + filtering_reason.size() + profiles.size() +
                2 * interface_ip.size() + 2 * interface_port.size() + 1024);
    out += "\n\"";
    append_stamp(out, start);
    out += '-';
    out += std::to_string(client_id);
    out += '-';
    append_text(out, interface_ip);
    out += '-';
    append_text(out, interface_port);
    out += "\" ";
    out += std::to_string(timeval_diff_ms(start, end));
    out += ' ';
    append_text(out, client);
    out += " \"";
    append_text(out, username);
    out += "\" \"";
    out += std::to_string(client_id);
    out += "\" ";
    append_date(out, end.tv_sec);
    out += " \"";
    append_text(out, method);
    out += ' ';
    append_text(out, url);
    out += "\" ";
    out += std::to_string(status);
    out += ' ';
    out += std::to_string(size);
    out += " \"";
    append_text(out, referer);
    out += "\" \"";
    append_text(out, useragent);
    out += "\" ";
    append_text(out, mime);
    out += " \"";
    append_text(out, filter_name);
    out += ' ';
    append_text(out, filtering_reason);
    out += "\" \"";
    append_text(out, profiles);
    out += "\" \"";
    append_text(out, interface_ip);
    out += ':';
    append_text(out, interface_port);
    out += '"';
    return out;
}

void LogEntry::Write()
{
    const std::string record = Build();
    log_append(slogfile, slogfd, slogflg, access_legend, record, end.tv_sec);
}

void LogEntry::apache_Write()
{
    const std::string record = apache_Build();
    log_append(elogfile, elogfd, elogflg, apache_legend, record, end.tv_sec);
}
