#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/options.h"

namespace {

// Every setting, so that each case starts from the defaults and leaves them behind.
struct Settings {
    std::string configfile = ::configfile, sectionfile = ::sectionfile, logfile = ::logfile,
                slogfile = ::slogfile, elogfile = ::elogfile, plogfile = ::plogfile, pidfile = ::pidfile,
                proxyhost = ::proxyhost, listenip = ::listenip, masterhost = ::masterhost,
                syncsections = ::syncsections, nosyncsections = ::nosyncsections, moduledir = ::moduledir,
                username = ::username, group = ::group, pamfile = ::pamfile;
    int listenport = ::listenport, masterport = ::masterport, slave = ::slave, syncinterval = ::syncinterval,
        password_cachesize = ::password_cachesize, password_cachexpire = ::password_cachexpire,
        authflag = ::authflag, MAXTHREADS = ::MAXTHREADS;
    long max_opt_stack = ::max_opt_stack;
    int THREAD_TIMEOUT = ::THREAD_TIMEOUT, CLIENT_POOL_TIMEOUT = ::CLIENT_POOL_TIMEOUT, SND_BUF = ::SND_BUF,
        RCV_BUF = ::RCV_BUF, BLOCKSIZE = ::BLOCKSIZE, TCP_KEEPIDLE_TIME = ::TCP_KEEPIDLE_TIME,
        TCP_KEEPINTVL_TIME = ::TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS = ::TCP_KEEPCNT_COUNTS,
        overload_factor = ::overload_factor, loglevel = ::loglevel, daemonize = ::daemonize;

    void restore() const
    {
        ::configfile = configfile; ::sectionfile = sectionfile; ::logfile = logfile; ::slogfile = slogfile;
        ::elogfile = elogfile; ::plogfile = plogfile; ::pidfile = pidfile; ::proxyhost = proxyhost;
        ::listenip = listenip; ::masterhost = masterhost; ::syncsections = syncsections;
        ::nosyncsections = nosyncsections; ::moduledir = moduledir; ::username = username; ::group = group;
        ::pamfile = pamfile; ::listenport = listenport; ::masterport = masterport; ::slave = slave;
        ::syncinterval = syncinterval; ::password_cachesize = password_cachesize;
        ::password_cachexpire = password_cachexpire; ::authflag = authflag; ::MAXTHREADS = MAXTHREADS;
        ::max_opt_stack = max_opt_stack; ::THREAD_TIMEOUT = THREAD_TIMEOUT;
        ::CLIENT_POOL_TIMEOUT = CLIENT_POOL_TIMEOUT; ::SND_BUF = SND_BUF; ::RCV_BUF = RCV_BUF;
        ::BLOCKSIZE = BLOCKSIZE; ::TCP_KEEPIDLE_TIME = TCP_KEEPIDLE_TIME;
        ::TCP_KEEPINTVL_TIME = TCP_KEEPINTVL_TIME; ::TCP_KEEPCNT_COUNTS = TCP_KEEPCNT_COUNTS;
        ::overload_factor = overload_factor; ::loglevel = loglevel; ::daemonize = daemonize;
    }
};

// Taken at first use, after every global was constructed.
const Settings& defaults()
{
    static const Settings settings;
    return settings;
}

class OptionsParse : public testing::Test {
protected:
    void TearDown() override { defaults().restore(); }

    // Parses `args` after a program name, from the defaults.
    static OptionsStatus parse(std::vector<std::string> args)
    {
        defaults().restore();
        args.insert(args.begin(), "tarvodine");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        return options_parse(static_cast<int>(args.size()), argv.data());
    }
};

using Args = std::vector<std::string>;

TEST(OptionNumber, ReadsLikeAtoiWithoutOverflow)
{
    struct Case { std::string_view text; int value; };
    const Case cases[] = {
        {"42", 42},         {"  \t\n42", 42},  {"+7", 7},       {"-7", -7},
        {"12abc", 12},      {"abc", 0},        {"", 0},         {"-", 0},
        {"0x10", 0},        {"1 2", 1},        {"- 5", 0},
        {"99999999999999999999", INT_MAX},     {"-99999999999999999999", INT_MIN},
        {"2147483647", INT_MAX},               {"-2147483648", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(option_number(c.text), c.value);
    }
}

TEST_F(OptionsParse, ThreadCount)
{
    struct Case { Args args; OptionsStatus status; int threads; };
    const Case cases[] = {
        {{"-t", "100"}, OptionsStatus::run, 100},
        {{"-t", "16384"}, OptionsStatus::run, 16384},
        {{"-t", "100", "-t", "20000"}, OptionsStatus::run, 100},  // too many: the previous value stays
        {{"-t", "1"}, OptionsStatus::run, 1},
        {{"-t", "0"}, OptionsStatus::usage_error, 16384},
        {{"-t", "-5"}, OptionsStatus::usage_error, 16384},
        {{"-t", "many"}, OptionsStatus::usage_error, 16384},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(MAXTHREADS, c.threads);
    }
}

TEST_F(OptionsParse, BuffersAndBlockSize)
{
    struct Case { Args args; OptionsStatus status; int snd, rcv, block; };
    const Case cases[] = {
        {{"-b", "16384:4096"}, OptionsStatus::run, 16384, 4096, 4097},
        {{"-b", "4096:4096"}, OptionsStatus::run, 4096, 4096, 8192},
        {{"-b", "20000:30000"}, OptionsStatus::run, 20000, 30000, 20001},
        {{"-b", "-1:4096"}, OptionsStatus::run, 0, 4096, 8192},  // negative part keeps its setting
        // A side left to the system does not bound the block.
        {{"-b", "16384:-1"}, OptionsStatus::run, 16384, 0, 16385},
        {{"-b", "0:16384"}, OptionsStatus::run, 0, 16384, 16385},
        {{"-b", "0:0"}, OptionsStatus::run, 0, 0, 8192},
        {{"-b", "1:2:3"}, OptionsStatus::run, 0, 0, 8192},
        {{"-b", "16384"}, OptionsStatus::usage_error, 0, 0, 8192},
        {{"-b", ""}, OptionsStatus::usage_error, 0, 0, 8192},
        // A block of 101 bytes would be taken: refused, nothing changed.
        {{"-b", "16384:100"}, OptionsStatus::usage_error, 0, 0, 8192},
        {{"-b", "16384:511"}, OptionsStatus::run, 16384, 511, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(SND_BUF, c.snd);
        EXPECT_EQ(RCV_BUF, c.rcv);
        EXPECT_EQ(BLOCKSIZE, c.block);
    }
}

TEST_F(OptionsParse, KeepAlive)
{
    struct Case { Args args; OptionsStatus status; int idle, intvl, count; };
    const Case cases[] = {
        {{"-k", "600:60:5"}, OptionsStatus::run, 600, 60, 5},
        {{"-k", "600:-1:5"}, OptionsStatus::run, 600, 75, 5},
        {{"-k", "1:2:3:4"}, OptionsStatus::run, 900, 75, 9},
        {{"-k", "600:60"}, OptionsStatus::usage_error, 900, 75, 9},
        {{"-k", "600"}, OptionsStatus::usage_error, 900, 75, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(TCP_KEEPIDLE_TIME, c.idle);
        EXPECT_EQ(TCP_KEEPINTVL_TIME, c.intvl);
        EXPECT_EQ(TCP_KEEPCNT_COUNTS, c.count);
    }
}

TEST_F(OptionsParse, PasswordCache)
{
    struct Case { Args args; OptionsStatus status; int size, age, authflag; };
    const Case cases[] = {
        {{"-P", "0:0"}, OptionsStatus::run, 100, 600, 1},
        {{"-P", "50:0"}, OptionsStatus::run, 50, 0, 0},
        {{"-P", "50:30"}, OptionsStatus::run, 50, 30, 0},
        {{"-P", "0:0", "-P", "20:10"}, OptionsStatus::run, 20, 10, 0},  // caching back on
        {{"-P", "-1:-1"}, OptionsStatus::run, 100, 600, 0},
        {{"-P", "0:-1"}, OptionsStatus::run, 100, 600, 0},
        {{"-P", "100"}, OptionsStatus::usage_error, 100, 600, 0},
        // A cache without buckets cannot hash a key.
        {{"-P", "0:30"}, OptionsStatus::usage_error, 100, 600, 0},
        {{"-P", "-4:30"}, OptionsStatus::usage_error, 100, 600, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(password_cachesize, c.size);
        EXPECT_EQ(password_cachexpire, c.age);
        EXPECT_EQ(authflag, c.authflag);
    }
}

TEST_F(OptionsParse, ListenAddress)
{
    struct Case { Args args; OptionsStatus status; std::string ip; int port; };
    const Case cases[] = {
        {{"-L", "192.168.100.100:3128"}, OptionsStatus::run, "192.168.100.100", 3128},
        {{"-L", "127.0.0.1:80x"}, OptionsStatus::run, "127.0.0.1", 80},
        {{"-L", "192.168.100.1000:3128"}, OptionsStatus::usage_error, "", 0},
        {{"-L", "3128"}, OptionsStatus::usage_error, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(listenip, c.ip);
        EXPECT_EQ(listenport, c.port);
    }
}

TEST_F(OptionsParse, Master)
{
    struct Case { Args args; OptionsStatus status; int slave; std::string host; int port; };
    const std::string host255(255, 'h');
    const Case cases[] = {
        {{"-M", "master.example:8080"}, OptionsStatus::run, 1, "master.example", 8080},
        {{"-M", host255 + ":1"}, OptionsStatus::run, 1, host255, 1},
        {{"-M", host255 + "h:1"}, OptionsStatus::usage_error, 0, "", 0},
        {{"-M", "master.example"}, OptionsStatus::usage_error, 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args).substr(0, 60));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(slave, c.slave);
        EXPECT_EQ(masterhost, c.host);
        EXPECT_EQ(masterport, c.port);
    }
}

TEST_F(OptionsParse, StackPower)
{
    struct Case { Args args; OptionsStatus status; long stack; };
    const Case cases[] = {
        {{"-z", "20"}, OptionsStatus::run, 1L << 20},
        {{"-z", "14"}, OptionsStatus::run, 1L << 14},
        {{"-z", "30"}, OptionsStatus::run, 1L << 30},
        {{"-z", "13"}, OptionsStatus::usage_error, 1048576},
        {{"-z", "0"}, OptionsStatus::usage_error, 1048576},   // 1 byte
        {{"-z", "-3"}, OptionsStatus::usage_error, 1048576},
        {{"-z", "31"}, OptionsStatus::usage_error, 1048576},
        {{"-z", "2147483647"}, OptionsStatus::usage_error, 1048576},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(max_opt_stack, c.stack);
    }
}

TEST_F(OptionsParse, ModuleDirectoryEndsInSlash)
{
    struct Case { Args args; std::string dir; };
    const std::string long_dir(300, 'd');
    const Case cases[] = {
        {{"-m", "/usr/lib/mods"}, "/usr/lib/mods/"},
        {{"-m", "/usr/lib/mods/"}, "/usr/lib/mods/"},
        {{"-m", ""}, "/"},
        // Cut to the field, and the slash still fits in it.
        {{"-m", long_dir}, std::string(254, 'd') + "/"},
        {{"-m", std::string(254, 'd') + "/x"}, std::string(254, 'd') + "/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir.substr(0, 40));
        EXPECT_EQ(parse(c.args), OptionsStatus::run);
        EXPECT_EQ(moduledir, c.dir);
    }
}

TEST_F(OptionsParse, StringsAreCutToTheirFields)
{
    const std::string long_text(600, 'x');
    ASSERT_EQ(parse({"-c", long_text, "-s", "s.xml", "-r", long_text, "-u", long_text, "-x", "pam"}),
              OptionsStatus::run);
    EXPECT_EQ(configfile, std::string(255, 'x'));
    EXPECT_EQ(sectionfile, "s.xml");
    EXPECT_EQ(plogfile, std::string(511, 'x'));
    EXPECT_EQ(username, std::string(255, 'x'));
    EXPECT_EQ(pamfile, "pam");
}

TEST_F(OptionsParse, NumbersFlagsAndStops)
{
    ASSERT_EQ(parse({"-f", "-d", "3", "-I", "30", "-T", "7", "-o", "4", "-C", "9"}), OptionsStatus::run);
    EXPECT_EQ(daemonize, 0);
    EXPECT_EQ(loglevel, 3);
    EXPECT_EQ(syncinterval, 30);
    EXPECT_EQ(THREAD_TIMEOUT, 7);
    EXPECT_EQ(overload_factor, 4);
    EXPECT_EQ(CLIENT_POOL_TIMEOUT, 9);

    EXPECT_EQ(parse({"-d", "0x10"}), OptionsStatus::run);
    EXPECT_EQ(loglevel, 0);
    EXPECT_EQ(parse({"-C", "0"}), OptionsStatus::usage_error);
    EXPECT_EQ(CLIENT_POOL_TIMEOUT, 1);

    // Unknown letters are ignored; what follows still counts.
    EXPECT_EQ(parse({"-q", "-T", "5"}), OptionsStatus::run);
    EXPECT_EQ(THREAD_TIMEOUT, 5);

    // -h and -v stop the reading: options after them are not taken.
    EXPECT_EQ(parse({"-T", "5", "-h", "-T", "6", "-t", "0"}), OptionsStatus::help);
    EXPECT_EQ(THREAD_TIMEOUT, 5);
    EXPECT_EQ(parse({"-v", "-f"}), OptionsStatus::version);
    EXPECT_EQ(daemonize, 1);
    // A bad value stops before later options, so the usage text shows what came before.
    EXPECT_EQ(parse({"-T", "5", "-L", "nocolon", "-T", "6"}), OptionsStatus::usage_error);
    EXPECT_EQ(THREAD_TIMEOUT, 5);
}

} // namespace
