// Process-wide settings read from the command line. Written only while the options are
// parsed, before any other thread exists; read-only afterwards, so readers take no lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The native log's settings (-l logfile, -d loglevel, -f daemonize) are the log's own.
#include "util/log.h"

// Widths of the string settings, terminator included: a value is cut to width - 1 characters.
constexpr std::size_t OPTION_WIDTH = 256;
constexpr std::size_t PLOGFILE_WIDTH = 512;
constexpr std::size_t LISTENIP_WIDTH = 16;

// The thread table's fixed size; -t chooses how many of its slots are used.
constexpr int MAXTHREADS_LIMIT = 16384;

extern std::string configfile;      // -c: path, or a URL when it holds a colon
extern std::string sectionfile;     // -s
extern std::string slogfile;        // -a: access log
extern std::string elogfile;        // -e: extended log
extern std::string plogfile;        // -r: performance log
extern std::string pidfile;         // -p
extern std::string proxyhost;       // -H
extern std::string listenip;        // -L ip part
extern int listenport;              // -L port part
extern std::string masterhost;      // -M host part
extern int masterport;              // -M port part
extern int slave;                   // 1 when -M was given
extern std::string syncsections;    // -S
extern std::string nosyncsections;  // -E
extern int syncinterval;            // -I
extern std::string moduledir;       // -m, always ending in '/'
extern std::string username;        // -u
extern std::string group;           // -g
extern std::string pamfile;         // -x
extern int password_cachesize;      // -P size
extern int password_cachexpire;     // -P age
extern int authflag;                // 1: password caching off
extern int MAXTHREADS;              // -t
extern long max_opt_stack;          // -z: 2^n bytes
extern int THREAD_TIMEOUT;          // -T
extern int CLIENT_POOL_TIMEOUT;     // -C
extern int SND_BUF;                 // -b
extern int RCV_BUF;                 // -b
extern int BLOCKSIZE;               // derived from -b
extern int TCP_KEEPIDLE_TIME;       // -k
extern int TCP_KEEPINTVL_TIME;      // -k
extern int TCP_KEEPCNT_COUNTS;      // -k
extern int overload_factor;         // -o

// The product and version, printed by -v and as the first line of the usage text.
extern const char* const VERSION_LINE;

enum class OptionsStatus {
    run,          // every option read: start-up goes on
    help,         // -h: print the usage text, exit 0
    version,      // -v: print the version line, exit 0
    usage_error,  // an argument that cannot be used: print the usage text, exit 1
};

// Reads the command line into the settings above, in the order given, with getopt (whose
// own message reports an unknown letter, which is then ignored). Stops at the first -h, -v
// or unusable argument, so the settings hold what came before it. May be called again: the
// option scanner starts over each time.
OptionsStatus options_parse(int argc, char** argv);

// A number as atoi reads it: leading blanks, an optional sign, the leading digits; 0 when
// there are none. Values beyond int saturate instead of wrapping.
int option_number(std::string_view text);

// The usage text to standard error, defaults shown from the current settings; argv[0] names
// the program.
void show_help(char* const* argv);
