// The command line: one global per option, read once before any other thread exists.
#include "core/options.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <limits>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "util/log.h"
#include "util/stringutil.h"

std::string configfile;
std::string sectionfile;
std::string slogfile;
std::string elogfile;
std::string plogfile = "/opt/tarvodine/tarvodine/logs/performance/performance.log";
std::string pidfile;
std::string proxyhost;
std::string listenip;
int listenport = 0;
std::string masterhost;
int masterport = 0;
int slave = 0;
std::string syncsections;
std::string nosyncsections;
int syncinterval = 60;
std::string moduledir = "/opt/tarvodine/modules/";
std::string username;
std::string group;
std::string pamfile = "tarvodine";
int password_cachesize = 100;
int password_cachexpire = 600;
int authflag = 0;
int MAXTHREADS = MAXTHREADS_LIMIT;
long max_opt_stack = 1048576;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
// 0 leaves the kernel's own buffer sizes and its autotuning in place: any fixed size small
// enough to be safe everywhere caps a single transfer far below what loopback or a LAN carries.
int SND_BUF = 0;
int RCV_BUF = 0;
int BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 900;
int TCP_KEEPINTVL_TIME = 75;
int TCP_KEEPCNT_COUNTS = 9;
int overload_factor = 1;

const char* const VERSION_LINE = "tarvodine 0.1.0 (build 1)";

namespace {

// The stack of a connection thread may not exceed this; more is a typing error, not a wish.
constexpr int MAX_STACK_POWER = 30;
// Below this relay block size every transfer turns into a stream of tiny reads.
constexpr int MIN_BLOCKSIZE = 512;

constexpr const char* OPTION_LETTERS = "c:s:l:a:e:r:p:H:L:M:S:E:I:m:u:g:x:P:t:z:T:C:b:k:o:d:fhv";

// Copies `text` cut to a field of `width` characters, terminator included.
void option_copy(std::string& setting, std::string_view text, std::size_t width)
{
    setting.assign(text.substr(0, width - 1));
}

std::vector<std::string_view> split_colons(std::string_view text)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t colon = text.find(':');
        parts.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos)
            return parts;
        text.remove_prefix(colon + 1);
    }
}

// -L ip:port. False when the colon is missing or the address is longer than its field.
bool parse_listen(std::string_view arg)
{
    const std::size_t colon = arg.find(':');
    if (colon == std::string_view::npos || colon > LISTENIP_WIDTH - 1)
        return false;
    listenip.assign(arg.substr(0, colon));
    listenport = option_number(arg.substr(colon + 1));
    return true;
}

// -M host:port. False when the colon is missing or the host is longer than its field.
bool parse_master(std::string_view arg)
{
    const std::size_t colon = arg.find(':');
    if (colon == std::string_view::npos || colon > OPTION_WIDTH - 1)
        return false;
    slave = 1;
    masterhost.assign(arg.substr(0, colon));
    masterport = option_number(arg.substr(colon + 1));
    return true;
}

// -P size:age. 0:0 turns the cache off; a pair with a positive member is taken; any other pair
// changes nothing. False without a colon, or for a cache that would have no bucket to hash into.
bool parse_password_cache(std::string_view arg)
{
    const std::size_t colon = arg.find(':');
    if (colon == std::string_view::npos)
        return false;
    const int size = option_number(arg.substr(0, colon));
    const int age = option_number(arg.substr(colon + 1));
    if (age > 0 || size > 0) {
        if (size < 1)
            return false;
        password_cachesize = size;
        password_cachexpire = age;
        authflag = 0;
    } else if (age == 0 && size == 0) {
        authflag = 1;
    }
    return true;
}

// -t count: more than the table holds is ignored; fewer than one slot cannot run.
bool parse_threads(std::string_view arg)
{
    const int count = option_number(arg);
    if (count < 1)
        return false;
    if (count <= MAXTHREADS_LIMIT)
        MAXTHREADS = count;
    return true;
}

// -z n: a stack of 2^n bytes, which the thread library must accept.
bool parse_stack(std::string_view arg)
{
    const int power = option_number(arg);
    if (power > MAX_STACK_POWER)
        return false;
    const long size = power <= 0 ? 1L : 1L << power;
    if (size < static_cast<long>(PTHREAD_STACK_MIN))
        return false;
    max_opt_stack = size;
    return true;
}

// -b snd:rcv. Negative parts keep their setting; three or more parts are ignored. False for
// fewer than two parts, or when the block size derived from them would be too small. A side
// left at 0 (the system's size) does not bound the block.
bool parse_buffers(std::string_view arg)
{
    const std::vector<std::string_view> parts = split_colons(arg);
    if (parts.size() < 2)
        return false;
    if (parts.size() > 2)
        return true;
    const int snd = option_number(parts[0]);
    const int rcv = option_number(parts[1]);
    const int new_snd = snd >= 0 ? snd : SND_BUF;
    const int new_rcv = rcv >= 0 ? rcv : RCV_BUF;
    int new_block = BLOCKSIZE;
    if (new_snd > 8192 || new_rcv > 8192) {
        const int smaller = new_snd <= 0 ? new_rcv : new_rcv <= 0 ? new_snd : std::min(new_snd, new_rcv);
        new_block = smaller + 1;
    }
    if (new_block < MIN_BLOCKSIZE)
        return false;
    SND_BUF = new_snd;
    RCV_BUF = new_rcv;
    BLOCKSIZE = new_block;
    return true;
}

// -k idle:intvl:count. Negative parts keep their setting; four or more parts are ignored.
// False for fewer than three parts.
bool parse_keepalive(std::string_view arg)
{
    const std::vector<std::string_view> parts = split_colons(arg);
    if (parts.size() < 3)
        return false;
    if (parts.size() > 3)
        return true;
    int* const settings[] = {&TCP_KEEPIDLE_TIME, &TCP_KEEPINTVL_TIME, &TCP_KEEPCNT_COUNTS};
    for (std::size_t i = 0; i < 3; ++i) {
        const int value = option_number(parts[i]);
        if (value >= 0)
            *settings[i] = value;
    }
    return true;
}

// -C seconds: the client pool waits this long per pass; 0 would make it spin.
bool parse_pool_timeout(std::string_view arg)
{
    const int seconds = option_number(arg);
    if (seconds < 1)
        return false;
    CLIENT_POOL_TIMEOUT = seconds;
    return true;
}

void set_moduledir(std::string_view arg)
{
    option_copy(moduledir, arg, OPTION_WIDTH);
    if (!moduledir.empty() && moduledir.back() == '/')
        return;
    // The slash must still fit the field.
    if (moduledir.size() == OPTION_WIDTH - 1)
        moduledir.pop_back();
    moduledir.push_back('/');
}

} // namespace

int option_number(std::string_view text)
{
    return atoi_lenient(text);
}

OptionsStatus options_parse(int argc, char** argv)
{
    optind = 0;  // glibc: start over, also when called a second time
    int letter;
    while ((letter = getopt(argc, argv, OPTION_LETTERS)) != -1) {
        const std::string_view arg = optarg ? std::string_view(optarg) : std::string_view();
        bool usable = true;
        switch (letter) {
        case 'c': option_copy(configfile, arg, OPTION_WIDTH); break;
        case 's': option_copy(sectionfile, arg, OPTION_WIDTH); break;
        case 'l': option_copy(logfile, arg, OPTION_WIDTH); break;
        case 'a': option_copy(slogfile, arg, OPTION_WIDTH); break;
        case 'e': option_copy(elogfile, arg, OPTION_WIDTH); break;
        case 'r': option_copy(plogfile, arg, PLOGFILE_WIDTH); break;
        case 'p': option_copy(pidfile, arg, OPTION_WIDTH); break;
        case 'H': option_copy(proxyhost, arg, OPTION_WIDTH); break;
        case 'S': option_copy(syncsections, arg, OPTION_WIDTH); break;
        case 'E': option_copy(nosyncsections, arg, OPTION_WIDTH); break;
        case 'u': option_copy(username, arg, OPTION_WIDTH); break;
        case 'g': option_copy(group, arg, OPTION_WIDTH); break;
        case 'x': option_copy(pamfile, arg, OPTION_WIDTH); break;
        case 'm': set_moduledir(arg); break;
        case 'L': usable = parse_listen(arg); break;
        case 'M': usable = parse_master(arg); break;
        case 'P': usable = parse_password_cache(arg); break;
        case 't': usable = parse_threads(arg); break;
        case 'z': usable = parse_stack(arg); break;
        case 'b': usable = parse_buffers(arg); break;
        case 'k': usable = parse_keepalive(arg); break;
        case 'C': usable = parse_pool_timeout(arg); break;
        case 'I': syncinterval = option_number(arg); break;
        case 'T': THREAD_TIMEOUT = option_number(arg); break;
        case 'o': overload_factor = option_number(arg); break;
        case 'd': loglevel = option_number(arg); break;
        case 'f': daemonize = 0; break;
        case 'h': return OptionsStatus::help;
        case 'v': return OptionsStatus::version;
        default: break;  // getopt has already named the unknown letter or missing argument
        }
        if (!usable)
            return OptionsStatus::usage_error;
    }
    return OptionsStatus::run;
}

void show_help(char* const* argv)
{
    std::FILE* out = stderr;
    std::fprintf(out, "%s\n", VERSION_LINE);
    std::fprintf(out, "\nUsage: %s [options]\n\n", argv[0]);
    std::fputs(" -c <file>            : location of config file (required)\n", out);
    std::fputs(" -s <file>            : location of section file (required)\n", out);
    std::fputs(" -l <file>            : file to log activity to (native log)\n", out);
    std::fputs(" -a <file>            : alternate format log file (access log)\n", out);
    std::fputs(" -e <file>            : alternate format log file (extended log)\n", out);
    std::fputs(" -H <hostname>        : proxy's hostname (overrides configuration file)\n", out);
    std::fputs(" -L <ip:port>         : specify address and port to listen on\n", out);
    std::fputs(" -M <host:port>       : master host and port to syncronize configuration from\n", out);  // kept as is
    std::fputs(" -S <sections>        : comma separated list of sections to syncronize from master "  // kept as is
               "(default: all sections)\n", out);
    std::fputs(" -E <sections>        : comma separated list of sections to not syncronize from master "  // kept as is
               "(default: none)\n", out);
    std::fputs(" -I <seconds>         : time interval between syncronization attempts to master\n", out);  // kept as is
    std::fputs(" -m <dir>             : module directory\n", out);
    std::fputs(" -p <file>            : PID file\n", out);
    std::fputs(" -u <username>        : run as alternate user\n", out);
    std::fputs(" -g <groupname>       : run in alternate group\n", out);
    std::fprintf(out, " -x <pam>             : set the file containing PAM directives (default: %s) \n",
                 "tarvodine");
    std::fprintf(out, " -P <size:age>        : set the maximum size and age of the password_cache "
                      "(default: %d:%d)\n", 100, 600);
    std::fprintf(out, " -t <max_threads>     : specify the maximum number of allowed concurrent threads "
                      "(less than: %d)\n", MAXTHREADS_LIMIT);
    std::fprintf(out, " -z <stack_size>      : specify the base value for thread stacksize (Default of 20, "
                      "sets the stack size to %d) \n", 1048576);
    std::fprintf(out, " -T <thread_timeout>  : specify the time in seconds for a thread to wait for another "
                      "connection (default: %d)\n", THREAD_TIMEOUT);
    std::fprintf(out, " -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be "
                      "presumed available (default: %d)\n", CLIENT_POOL_TIMEOUT);
    std::fprintf(out, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes "  // kept as is
                      "(default: %d:%d)\n", SND_BUF, RCV_BUF);
    std::fprintf(out, " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive "
                      "parameters (default: %d:%d:%d)\n",
                 TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    std::fprintf(out, " -o <overload_factor> : overload factor (default: %d)\n", 1);
    std::fputs(" -f                   : don't daemonize (log written to stdout)\n", out);
    std::fputs(" -h                   : show this help, message and exit \n", out);
    std::fputs(" -v                   : show tarvodine version, and exit \n", out);
    std::fprintf(out, " -d <level>           : set log level (default: %d)\n\n", loglevel);
    std::fputs(" Add any of the following to specify logging detail:\n", out);

    struct Category { int value; const char* name; };
    static constexpr Category categories[] = {
        {LOG_REQUEST, "requests"},          {LOG_NETWORK, "network"},
        {LOG_URLFILTER, "url filtering"},   {LOG_HEADER, "header filtering"},
        {LOG_MIME, "mime filtering"},       {LOG_COOKIE, "cookie filtering"},
        {LOG_REDIRECT, "redirections"},     {LOG_TEMPLATE, "templates"},
        {LOG_KEYWORD, "keyword filtering"}, {LOG_REWRITE, "rewriting"},
        {LOG_LIMITS, "limits"},             {LOG_CACHE, "caching"},
        {LOG_PREFETCH, "prefetching"},      {LOG_ICP, "ICP"},
        {LOG_FORWARD, "forwarding"},        {LOG_SYNC, "config syncronization"},  // kept as is
        {LOG_ANTIVIRUS, "antivirus"},       {LOG_EXTERNAL, "external parsers"},
        {LOG_ICAP, "ICAP"},                 {LOG_DNSBL, "DNS blacklist"},
        {LOG_URLBLACKLIST, "URL blacklist"}, {LOG_URLCOMMAND, "URL commands"},
        {LOG_MODULE, "modules"},            {LOG_SECURITY, "security"},
        {LOG_WARNING, "warnings"},          {LOG_ERROR, "errors"},
        {LOG_PROFILES, "profiles"},         {LOG_DEBUG, "debug"},
    };
    for (const Category& c : categories)
        std::fprintf(out, " %9d = %s\n", c.value, c.name);
}
