// The entry point: command line, the two XML files, user and group, daemon, then mainloop.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/descriptor.h"
#include "daemon/connthread.h"
#include "daemon/mainloop.h"
#include "daemon/signals.h"
#include "util/mem.h"
#include "core/options.h"
#include "core/threads.h"

int pid_check(const char* path);
void fix_gid();
void fix_uid();

namespace {

// Closes the descriptor it holds when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const char* message)
{
    std::fputs(message, stderr);
    std::exit(1);
}

// A process id as a PID file holds it: leading blanks, an optional sign, at least one digit.
// 0 when the text holds no number.
long read_pid(std::string_view text)
{
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string_view::npos)
        return 0;
    const std::size_t sign = i;
    if (text[i] == '+' || text[i] == '-')
        ++i;
    const std::size_t digits = i;
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 99999999; ++i)
        value = value * 10 + (text[i] - '0');
    if (i == digits)
        return 0;
    return text[sign] == '-' ? -value : value;
}

// The configuration loader fetches a name as a URL when a colon stands between two non-empty
// parts; there is no file to look for then.
bool names_url(std::string_view name)
{
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = name.find(':', start);
        const std::size_t end = colon == std::string_view::npos ? name.size() : colon;
        if (end > start)
            ++parts;
        if (colon == std::string_view::npos)
            return parts >= 2;
        start = colon + 1;
    }
}

void check_files()
{
    struct stat st;
    if (!configfile.empty()) {
        if (!names_url(configfile) && stat(configfile.c_str(), &st) != 0) {
            std::fprintf(stderr, "couldn't stat %s\n", configfile.c_str());
            std::exit(1);
        }
    } else if (slave == 0) {
        fail("config file option missing\n");
    }
    if (sectionfile.empty())
        fail("section file option missing\n");
    if (stat(sectionfile.c_str(), &st) != 0) {
        std::fprintf(stderr, "couldn't stat %s\n", sectionfile.c_str());
        std::exit(1);
    }
}

// Zero bytes over every argument but the program name, so that paths and names do not show in
// the process list. The settings hold their own copies by now.
void wipe_arguments(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        std::memset(argv[i], 0, std::strlen(argv[i]));
}

// A detached daemon must not write into whatever a later open reuses descriptors 0 to 2 for.
void standard_descriptors_to_null()
{
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    for (int target = 0; target <= 2; ++target)
        if (fd != target)
            dup2(fd, target);
    if (fd > 2)
        close(fd);
}

// Detaches by a double fork. The started process stays until the final process has changed
// group and user and written the PID file, and ends with 0 only when that succeeded; the
// final process reports through `report` (a zero byte), and its messages reach the started
// process's standard error because it keeps that descriptor until then.
void daemon_start()
{
    int report[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    std::fflush(stdout);
    std::fflush(stderr);

    const pid_t child = fork();
    if (child < 0)
        fail("failed to fork daemon: first fork failed\n");
    if (child > 0) {
        close(report[1]);
        char status = 1;
        ssize_t got;
        do
            got = recv(report[0], &status, 1, 0);
        while (got < 0 && errno == EINTR);
        waitpid(child, nullptr, 0);
        std::exit(got == 1 && status == 0 ? 0 : 1);
    }

    close(report[0]);
    if (chdir("/") != 0)
        std::perror("chdir");
    setsid();
    umask(0);
    const pid_t grandchild = fork();
    if (grandchild < 0)
        fail("failed to fork daemon: second fork failed\n");
    if (grandchild > 0)
        _exit(0);

    umask(022);
    fix_gid();
    fix_uid();
    if (!pidfile.empty() && pid_check(pidfile.c_str()) != 0)
        std::exit(1);
    standard_descriptors_to_null();
    umask(027);
    const char ready = 0;
    // The started process may be gone already; that must not end the daemon with SIGPIPE.
    send(report[1], &ready, 1, MSG_NOSIGNAL);
    close(report[1]);
}

} // namespace

// 0 when this process now owns the PID file at `path`, the process id found in it when that
// process is alive, 1 when the file cannot be written.
int pid_check(const char* path)
{
    {
        FileDescriptor file(s_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (file.get() >= 0) {
            char text[64];
            const ssize_t got = read(file.get(), text, sizeof text);
            const long pid = got > 0 ? read_pid(std::string_view(text, static_cast<std::size_t>(got))) : 0;
            // SIGCHLD is ignored by default, so the probe cannot hurt a living process; EPERM
            // means it lives under another user.
            if (pid > 0 && pid != getpid() && (kill(static_cast<pid_t>(pid), SIGCHLD) == 0 || errno == EPERM))
                return static_cast<int>(pid);
        }
    }

    unlink(path);
    // A link planted at the path must not make us write through it.
    FileDescriptor file(s_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0)
        return 1;
    const std::string line = std::to_string(getpid()) + "\n";
    if (write(file.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        unlink(path);
        return 1;
    }
    return 0;
}

void fix_gid()
{
    if (group.empty()) {
        const gid_t gid = getgid();
        const struct group* entry = getgrgid(gid);
        group = entry ? std::string(entry->gr_name) : std::to_string(gid);
        group.resize(std::min(group.size(), OPTION_WIDTH - 1));
        return;
    }
    const struct group* entry = getgrnam(group.c_str());
    if (!entry)
        fail("getgrnam: unknown group\n");
    const gid_t gid = entry->gr_gid;

    // The supplementary groups become the target user's, so that a proxy started by root does
    // not keep root's groups. Only a privileged process can change them.
    if (geteuid() == 0) {
        std::string user = username;
        if (user.empty()) {
            const struct passwd* self = getpwuid(getuid());
            if (self)
                user = self->pw_name;
        } else if (!getpwnam(user.c_str())) {
            fail("getpwnam: unknown user\n");
        }
        const int set = user.empty() ? setgroups(1, &gid) : initgroups(user.c_str(), gid);
        if (set != 0) {
            std::perror("initgroups");
            std::exit(1);
        }
    }
    if (setgid(gid) != 0) {
        std::perror("setgid");
        std::exit(1);
    }
}

void fix_uid()
{
    if (username.empty()) {
        const uid_t uid = getuid();
        const struct passwd* entry = getpwuid(uid);
        username = entry ? std::string(entry->pw_name) : std::to_string(uid);
        username.resize(std::min(username.size(), OPTION_WIDTH - 1));
        return;
    }
    const struct passwd* entry = getpwnam(username.c_str());
    if (!entry)
        fail("getpwnam: unknown user\n");
    if (setuid(entry->pw_uid) != 0) {
        std::perror("setuid");
        std::exit(1);
    }
}

int main(int argc, char** argv)
{
    std::set_new_handler(out_of_memory);
    process_exits_set(clean_exit, sigterm);
    std::srand(static_cast<unsigned>(std::time(nullptr) + getpid()));
    if (argc < 2) {
        show_help(argv);
        std::exit(0);
    }

    switch (options_parse(argc, argv)) {
    case OptionsStatus::run:
        break;
    case OptionsStatus::help:
        show_help(argv);
        std::exit(0);
    case OptionsStatus::version:
        std::printf("%s\n", VERSION_LINE);
        std::exit(0);
    case OptionsStatus::usage_error:
        show_help(argv);
        std::exit(1);
    }
    threads_init();
    threads_set_connection_entry(process_entry);
    wipe_arguments(argc, argv);
    check_files();

    if (daemonize == 0) {
        fix_gid();
        fix_uid();
        umask(027);
        mainloop();
    }
    daemon_start();
    mainloop();
}
