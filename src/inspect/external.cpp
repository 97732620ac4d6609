#include "inspect/external.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/options.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "http/response.h"
#include "inspect/antivirus.h"
#include "util/descriptor.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

ExternalSection* external_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_COUNT = 1,
};

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

External::External(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= EXTERNAL_FIELD_COUNT);
    enabled = f[EXTERNAL_FIELD_ENABLED].int_value;
    comment = f[EXTERNAL_FIELD_COMMENT].text;
    profiles = f[EXTERNAL_FIELD_PROFILES].string_list;
    command = f[EXTERNAL_FIELD_COMMAND].text;
    mode = f[EXTERNAL_FIELD_MODE].int_value;
    stages = f[EXTERNAL_FIELD_STAGES].int_value;
    type = f[EXTERNAL_FIELD_TYPE].int_value;
    input = f[EXTERNAL_FIELD_INPUT].int_value;
}

bool External::applies(const CONNECTION_T& connection, int bits) const
{
    return enabled != 0 && !command.empty() && (stages & bits) != 0 &&
           profile_find(connection.profiles, profiles) == 1;
}

ExternalSection::ExternalSection() : Section("external", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= EXTERNAL_FIELD_COUNT);
    update();
    processors.Add(external_reqmod, STAGE_REQUEST_MODIFY);
    processors.Add(external_respmod, STAGE_RESPONSE_MODIFY);
    processors.Add(external_auth, STAGE_AUTH);
    processors.Add(external_buffcheck, STAGE_BUFFER_CHECK);
}

void ExternalSection::update()
{
    rules_.rebuild([this](ExternalRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        rules_from_items(next.rules, subsections_[0]);
    });
}

int ExternalSection::check_match(CONNECTION_T* connection, int bits) const
{
    const std::shared_ptr<const ExternalRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_EXTERNAL) != 0)
        return 0;
    for (const External& rule : current->rules) {
        if (rule.applies(*connection, bits))
            return (bits & EXTERNAL_RESPONSE) != 0 && body_uninspected(connection, LOG_EXTERNAL, rule.command.c_str(), true) ? 0 : 1;
    }
    return 0;
}

void ExternalSection::process(CONNECTION_T* connection, Filebuf* body, int bits) const
{
    // The generation taken here is the one the whole walk uses, programs included.
    const std::shared_ptr<const ExternalRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_EXTERNAL) != 0)
        return;
    for (const External& rule : current->rules) {
        if (!rule.applies(*connection, bits))
            continue;
        const bool auth = rule.type == EXTERNAL_TYPE_AUTH;
        if (auth && ((bits & EXTERNAL_AUTH) == 0 || (connection->auth & AUTH_EXTERNAL_FAILED) != 0))
            continue;
        // A body streamed past the program, or one that did not decode, is given as it is there:
        // none, or the bytes as they came.
        body_uninspected(connection, LOG_EXTERNAL, rule.command.c_str(), (bits & EXTERNAL_RESPONSE) != 0);

        Filebuf input;
        if ((rule.input & EXTERNAL_INPUT_REQUEST) != 0 && connection->request != nullptr && connection->request->raw)
            input.Add(*connection->request->raw);
        if ((rule.input & EXTERNAL_INPUT_RESPONSE) != 0 && connection->response != nullptr && connection->response->raw)
            input.Add(*connection->response->raw);
        if (body != nullptr)
            input.Add(body->view());

        int status = 0;
        const std::unique_ptr<Filebuf> output = external_exec(connection, rule.command.c_str(), &input, rule.mode, &status);
        if (output == nullptr)
            continue;

        const std::string_view text = output->view();
        const std::size_t head = header_length(text, text.size());
        const bool response = header_type(text, head) == 1;
        HeaderPtr parsed = response ? http_header_parse_response(text.substr(0, head))
                                    : http_header_parse_request(text.substr(0, head));
        if (parsed == nullptr) {
            putlog(LOG_EXTERNAL, response ? "error: external parser sent null or invalid response headers"
                                          : "error: external parser sent null or invalid request headers");
        } else {
            for (const HTTP_HEADER& line : parsed->lines) {
                if (equal_nocase(line.name, "X-username")) {
                    putlog(LOG_DEBUG, "external: external parser sent X-username: %s", line.value.c_str());
                    connection->username = line.value;
                } else if (equal_nocase(line.name, "X-profiles")) {
                    putlog(LOG_DEBUG, "external: external parser sent X-profiles: %s", line.value.c_str());
                    for (std::string& name : string_break(line.value, ',')) {
                        if (std::find(connection->profiles.begin(), connection->profiles.end(), name) ==
                            connection->profiles.end())
                            connection->profiles.push_back(std::move(name));
                    }
                }
            }
            if (status == 0) {
                if (!response) {
                    connection->request = std::move(parsed);
                } else if (connection->response != nullptr) {
                    // The response belongs to whoever built it: it is changed in place.
                    *connection->response = std::move(*parsed);
                } else {
                    // An answer: the request road sends it and frees it.
                    connection->response = parsed.release();
                }
            }
        }
        if (status == 0 && head < text.size()) {
            Filebuf rest;
            rest.Add(text.substr(head));
            if (body == nullptr) {
                if (connection->body == nullptr)
                    connection->body = std::make_unique<Filebuf>();
                body = connection->body.get();
            }
            body->Swap(&rest);
        }
        putlog(LOG_EXTERNAL, "parsed with %s", rule.command.c_str());
        if (auth) {
            if (status != 0)
                connection->auth |= AUTH_EXTERNAL_FAILED;
            break;
        }
    }
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

int external_auth(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section == nullptr)
        return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST | EXTERNAL_AUTH);
    return connection->response != nullptr ? 1 : 0;
}

int external_reqmod(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section == nullptr)
        return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST);
    return connection->response != nullptr ? 1 : 0;
}

int external_respmod(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section != nullptr)
        external_section->process(connection, body, EXTERNAL_RESPONSE);
    return 1;
}

int external_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return external_section != nullptr ? external_section->check_match(connection, EXTERNAL_RESPONSE) : 0;
}
