#include "inspect/external.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "http/connection.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "core/options.h"

std::unique_ptr<Filebuf> external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int /*mode*/, int* status)
{
    putlog(LOG_DEBUG, "executing %s", command);
    // Everything the child needs is built before it exists.
    std::vector<std::string> words = cmdline_parse(command);
    if (words.empty())
        return nullptr;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    if (connection != nullptr) {
        for (const auto& [name, value] : connection->variables)
            environment.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0)
        return nullptr;
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
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
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        return nullptr;
    }

    std::string_view pending = input != nullptr ? input->view() : std::string_view();
    int writer = in[1];
    if (pending.empty()) {
        close(writer);
        writer = -1;
    } else {
        fcntl(writer, F_SETFL, O_NONBLOCK);
    }
    auto output = std::make_unique<Filebuf>();
    std::vector<char> block(BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : 8192);
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {writer, POLLOUT, 0}};
        const int ready = poll(fds, writer >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (writer >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(writer, pending.data(), std::min(pending.size(), block.size()));
            if (n > 0)
                pending.remove_prefix(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EINTR && errno != EAGAIN) || pending.empty()) {
                close(writer);
                writer = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            const ssize_t n = read(out[0], block.data(), block.size());
            if (n > 0)
                output->Add(block.data(), static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
    }
    if (writer >= 0)
        close(writer);
    close(out[0]);
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    if (status != nullptr)
        *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 0;
    return output;
}
