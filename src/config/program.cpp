#include "config/program.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

#include "config/general.h"
#include "core/connection.h"
#include "core/options.h"
#include "util/descriptor.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

// The shipped configuration's download buffer: what an unset limit stands for.
constexpr std::size_t OUTPUT_LIMIT_DEFAULT = 4 << 20;

// The temporary file of mode 1 carries its path in at most 63 characters.
constexpr std::size_t TEMPFILE_LIMIT = 64;

using Clock = std::chrono::steady_clock;

// What bounds one run: the whole of it, from the start to the program's exit, and its output.
struct RunLimits {
    Clock::duration time;
    std::size_t output;
};

RunLimits run_limits(CONNECTION_T* connection)
{
    int seconds = 60;
    if (connection != nullptr && general_section != nullptr)
        seconds = general_section->timeout_get(connection);
    return {std::chrono::seconds(std::max(seconds, 1)), inspect_output_limit(connection)};
}

// Milliseconds from now to the deadline, rounded up; 0 once it has passed.
int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7fffffff)) : 0;
}

// Reaps the child when it exits by the deadline: true with its wait status. The wait is on a
// descriptor of the process, so that no signal and no other thread's reaping are involved.
bool exited_by(pid_t pid, Clock::time_point deadline, int* wait_status)
{
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t done = waitpid(pid, wait_status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            if (handle >= 0)
                close(handle);
            return true;
        }
        const int wait = remaining_ms(deadline);
        if (wait == 0) {
            if (handle >= 0)
                close(handle);
            return false;
        }
        if (handle >= 0) {
            pollfd p{handle, POLLIN, 0};
            poll(&p, 1, wait);
        } else {
            // Without process descriptors: look again shortly.
            poll(nullptr, 0, std::min(wait, 10));
        }
    }
}

void close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

std::size_t inspect_output_limit(const CONNECTION_T* connection)
{
    const unsigned limit = general_section != nullptr && connection != nullptr ? general_section->maxdbuffer_get(connection) : 0;
    return limit != 0 ? limit : OUTPUT_LIMIT_DEFAULT;
}

TempFile::TempFile(std::size_t limit)
{
    std::string path = general_section != nullptr ? general_section->tempdir_get() : std::string();
    path += "/tvXXXXXX";
    if (path.size() >= limit)
        return;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    // Close-on-exec: an external program started meanwhile on another thread must not inherit it.
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0)
        return;
    made_ = true;
    path_.assign(name.data(), path.size());
}

TempFile::~TempFile()
{
    if (fd_ >= 0)
        close(fd_);
    if (made_)
        unlink(path_.c_str());
}

bool TempFile::write(const Filebuf& body, unsigned mode)
{
    if (fd_ < 0)
        return false;
    // A write to a file may still come back short (a full disk): the scanner must not get a part.
    std::string_view rest = body.view();
    bool whole = true;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            whole = false;
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (mode != 0600)
        fchmod(fd_, mode);
    close(fd_);
    fd_ = -1;
    return whole;
}

std::unique_ptr<Filebuf> external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode, int* status)
{
    putlog(LOG_DEBUG, "executing %s", command);
    // Everything the child needs is built before it exists: a child of a threaded process may
    // take no lock another thread held at the fork.
    std::vector<std::string> words = cmdline_parse(command);
    if (words.empty())
        return nullptr;
    std::unique_ptr<TempFile> file;
    if (mode == 1) {
        file = std::make_unique<TempFile>(TEMPFILE_LIMIT);
        if (!file->ok())
            return nullptr;
        const Filebuf nothing;
        if (!file->write(input != nullptr ? *input : nothing))
            return nullptr;
        words.push_back(file->path());
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    if (connection != nullptr) {
        for (const auto& [name, value] : connection->variables)
            environment.push_back(std::string(name).append("=").append(value));
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Close-on-exec: a program started meanwhile by another thread must not hold these ends,
    // or this program would never see the end of its input.
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0)
        return nullptr;
    if (pipe2(in, O_CLOEXEC) != 0) {
        close_fd(out[0]);
        close_fd(out[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // The proxy's threads keep TERM, HUP, USR1, USR2 and PIPE blocked for its signal thread; a
    // program started here must receive them as any program does.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in[0]);
    close_fd(out[1]);
    if (spawned != 0) {
        close_fd(in[1]);
        close_fd(out[0]);
        if (spawned == EAGAIN || spawned == ENOMEM)
            return nullptr;
        // Not executable: the failure of a program that printed nothing.
        if (status != nullptr)
            *status = 1;
        return std::make_unique<Filebuf>();
    }

    // A program that closes its input early must not end the calling thread.
    std::optional<SigpipeBlock> sigpipe(std::in_place);

    std::string_view pending = mode == 0 && input != nullptr ? input->view() : std::string_view();
    int writer = in[1];
    if (pending.empty())
        close_fd(writer);
    else
        fcntl(writer, F_SETFL, O_NONBLOCK);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    auto output = std::make_unique<Filebuf>();
    std::vector<char> block(BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : 8192);
    const RunLimits limits = run_limits(connection);
    const Clock::time_point deadline = Clock::now() + limits.time;
    const char* failure = nullptr;   // why the program was ended
    for (;;) {
        const int wait = remaining_ms(deadline);
        if (wait == 0) {
            failure = "ran beyond the time-out";
            break;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {writer, POLLOUT, 0}};
        const int ready = poll(fds, writer >= 0 ? 2 : 1, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0)
            continue;
        if (writer >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(writer, pending.data(), std::min(pending.size(), block.size()));
            if (n > 0)
                pending.remove_prefix(static_cast<std::size_t>(n));
            // A program that stops reading early (EPIPE) still has its output read to the end.
            if (n < 0 && errno == EPIPE)
                sigpipe->raised();
            if ((n < 0 && errno != EINTR && errno != EAGAIN) || pending.empty())
                close_fd(writer);
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = read(out[0], block.data(), block.size());
            if (n > 0) {
                if (static_cast<std::size_t>(n) > limits.output - output->size()) {
                    failure = "wrote more than the download buffer holds";
                    break;
                }
                output->Add(block.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                break;
            }
        }
    }
    close_fd(writer);
    close_fd(out[0]);
    sigpipe.reset();
    // One that closed its output may still be running: it gets what is left of the time-out.
    int wait_status = 0;
    if (failure == nullptr && !exited_by(pid, deadline, &wait_status))
        failure = "ran beyond the time-out";
    if (failure != nullptr) {
        putlog(LOG_EXTERNAL, "error: %s %s and was ended", command, failure);
        kill(pid, SIGKILL);
        while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
        }
        // A program ended so has failed: nothing it printed is taken.
        output = std::make_unique<Filebuf>();
    }
    if (status != nullptr) {
        // A program ended by a signal has failed: what it printed is not to be installed.
        *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                  : WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status)
                                             : 1;
    }
    return output;
}
