// The native log: categorised lines to the in-memory buffer, standard output and the log file.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// Category bits of the log level (option -d); 0 is always written.
enum : int {
    LOG_ALWAYS = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIME = 0x10,
    LOG_COOKIE = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORD = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBLACKLIST = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

// The log's own settings, from the command line (-d, -f, -l): written only while the options are
// parsed, before any other thread exists, and read-only afterwards.
extern int loglevel;                // mask of enabled categories
extern int daemonize;               // 0: lines are written to standard output too
extern std::string logfile;         // the native log; empty: none

// The longest line: a longer message is cut so that the line holds this many characters.
constexpr std::size_t LOG_LINE_MAX = 8191;

// One line, printf-style. The caller must own a thread-table slot (its client id is printed).
void putlog(int type, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vputlog(int type, const char* format, std::va_list args) __attribute__((format(printf, 2, 0)));

// localtime_r of `when`. The C library takes its time-zone lock for each call, which every
// thread logging a line or a record would contend for: each thread keeps the result for the last
// second it asked about, so the lock is taken once per second and thread. The zone is set before
// the daemon starts its threads and never changes afterwards.
void log_localtime(std::time_t when, std::tm* broken);

// A failed system call in the one form every component uses, at the error category:
// "[system: <call>:<errno>:<strerror>], in <function>, <what>" with errno as it stands.
void log_syscall(const char* call, const char* function, const char* what);

// The newest native-log lines for the interface's log page. Every thread that logs a line adds
// it here, so the lock is a plain mutex held only to move one string into a slot of a ring:
// lines are never shifted, and a full ring reuses the oldest slot.
struct LOGBUFFER {
    mutable std::mutex lock;
    int capacity = 1000;            // 0: the buffer is off and keeps nothing
    // Each line as logged before its newline was added. While the ring is filling up the
    // newest is at the back; once full, at `newest`, the oldest just after it.
    std::vector<std::string> ring;
    std::size_t newest = 0;
};

// Keeps a copy of `line` as the newest; the oldest goes when the buffer is full.
void logbuffer_add(LOGBUFFER* buffer, std::string_view line);
// Keeps the newest n lines and holds at most n from now on; a negative n changes nothing.
void logbuffer_resize(LOGBUFFER* buffer, int n);
// Drops every line; the capacity stays.
void logbuffer_clear(LOGBUFFER* buffer);
// A copy of the kept lines, newest first, and the capacity, taken together.
struct LogbufferSnapshot {
    std::vector<std::string> lines;
    int capacity = 0;
};
LogbufferSnapshot logbuffer_snapshot(const LOGBUFFER* buffer);

// The three log files (native, access, extended) share one lock. Opening, closing and rotating a
// file, and reading or changing a descriptor or flag, take it exclusively. A write to a file that
// is open with no rotation pending takes it shared, so that threads logging at the same time do
// not queue behind each other's system call: the files are opened for appending and each line or
// record goes out in one write, which the kernel keeps whole.
// A descriptor is -1 while closed; a flag is -1 while a rotation of its file is pending.
extern std::shared_mutex logfile_lock;

// Writes one line or record to an open log file while logfile_lock is held shared: true when
// the file was open with no rotation pending (the write was done); false when the caller must
// take the lock exclusively and go the long way.
bool log_file_write_shared(int fd, int flag, std::string_view text);
extern int logfd, logflg;
extern int slogfd, slogflg;
extern int elogfd, elogflg;

// Requests the rotation of all three logs; each is rotated at its next write.
void logrotate();

// For the writers of the three logs, with logfile_lock held.
// Opens `path` read-write, created with mode 0640, positioned at its end; -1 on failure. No
// descriptor recovery is attempted: recovery logs, and logging needs this lock.
int log_file_open(const std::string& path);
// Carries out a pending rotation of an open file: clears the flag, flushes the file to disk and,
// when the path holds a '/', closes it and renames it in its directory to the time stamp of
// `when`, a hyphen and its base name (a free name is chosen when that one is taken), leaving
// `fd` at -1 for the caller to open the path anew. Without a '/' the same file stays in use.
void log_file_rotate(const std::string& path, int& fd, int& flag, std::time_t when);

// Where a line finds the client id it prints: the thread table's record of the calling thread,
// set when the table is made ready (a thread without a slot is a fatal assertion there). Until
// then lines print client id 0.
using log_clientid_t = std::uint32_t (*)();
void log_set_clientid(log_clientid_t clientid);
// The buffer that keeps the newest lines for the log page, set once the runtime record holds
// it; until then no line is kept.
void log_set_buffer(LOGBUFFER* buffer);

// The clock of log time stamps; tests replace it to get fixed times. Null restores time().
using log_clock_t = std::time_t (*)();
void log_set_clock(log_clock_t clock);
