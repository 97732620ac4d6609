#include "util/descriptor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>

#include "util/log.h"

namespace {

// How long a failing accept waits while descriptors or buffers are exhausted.
constexpr std::chrono::milliseconds ACCEPT_BACKOFF{100};

using cleaner_t = void (*)();
std::atomic<cleaner_t> clean_clients{nullptr};
std::atomic<cleaner_t> clean_servers{nullptr};

void clean(const std::atomic<cleaner_t>& cleaner)
{
    if (const cleaner_t action = cleaner.load(std::memory_order_acquire))
        action();
}

bool descriptors_exhausted(int err) { return err == ENFILE || err == EMFILE; }

// Runs `call`; when it fails for want of descriptors, frees the pools and runs it once more,
// handing the retry's errno to `report` if that fails too.
template <typename Call, typename Result, typename Report>
Result with_recovery(Call call, Result failure, Report report)
{
    Result result = call();
    if (result != failure || !descriptors_exhausted(errno))
        return result;
    fd_failure();
    result = call();
    if (result == failure) {
        const int err = errno;
        report(err);
        errno = err;
    }
    return result;
}

void log_accept_failure(int err)
{
    putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", err, std::strerror(err),
           "s_accept");
}

} // namespace

int s_open(const char* path, int flags, mode_t mode)
{
    return with_recovery([&] { return open(path, flags | O_CLOEXEC, mode); }, -1, [&](int err) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to open file %s", err, std::strerror(err), "s_open",
               path);
    });
}

int s_open64(const char* path, int flags, mode_t mode)
{
    return with_recovery([&] { return open(path, flags | O_LARGEFILE | O_CLOEXEC, mode); }, -1, [&](int err) {
        putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file %s", err, std::strerror(err),
               "s_open64", path);
    });
}

FILE* s_fopen(const char* path, const char* mode)
{
    const std::string closing = std::string(mode) + "e";
    return with_recovery([&] { return std::fopen(path, closing.c_str()); }, static_cast<FILE*>(nullptr), [](int err) {
        putlog(LOG_ERROR, "[system: fopen:%d:%s], in %s, unable to open file", err, std::strerror(err), "s_fopen");
    });
}

DIR* s_opendir(const char* path)
{
    return with_recovery([&] { return opendir(path); }, static_cast<DIR*>(nullptr), [](int err) {
        putlog(LOG_ERROR, "[system: opendir:%d:%s], in %s, unable to open directory", err, std::strerror(err),
               "s_opendir");
    });
}

int s_socket(int family, int type, int protocol)
{
    return with_recovery([&] { return socket(family, type | SOCK_CLOEXEC, protocol); }, -1, [](int err) {
        putlog(LOG_ERROR, "[system: socket:%d:%s], in %s unable to create socket", err, std::strerror(err),
               "s_socket");
    });
}

int s_accept(int s, sockaddr* address, socklen_t* length)
{
    int fd = accept4(s, address, length, SOCK_CLOEXEC);
    if (fd >= 0)
        return fd;
    int err = errno;
    if (err == ENOTSOCK)
        return -1;
    log_accept_failure(err);
    if (descriptors_exhausted(err)) {
        fd_failure();
        fd = accept4(s, address, length, SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        err = errno;
        log_accept_failure(err);
    }
    if (descriptors_exhausted(err) || err == ENOBUFS || err == ENOMEM)
        std::this_thread::sleep_for(ACCEPT_BACKOFF);
    errno = err;
    return -1;
}

void fd_set_pool_cleaners(const PoolCleaners& cleaners)
{
    clean_clients.store(cleaners.clients, std::memory_order_release);
    clean_servers.store(cleaners.servers, std::memory_order_release);
}

void fd_failure()
{
    putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources");
    clean(clean_clients);
    clean(clean_servers);
}

void client_pool_failure()
{
    putlog(LOG_ERROR, "flushing client pool, attempting to free resources");
    clean(clean_clients);
}

void server_pool_failure()
{
    putlog(LOG_ERROR, "flushing outbound connections, attempting to free resources");
    clean(clean_servers);
}

int create_recursive_directory(const char* path)
{
    const std::string_view whole(path);
    std::string prefix;
    if (whole.starts_with('/'))
        prefix = "/";
    std::size_t position = 0;
    while (position < whole.size()) {
        const std::size_t end = std::min(whole.find('/', position), whole.size());
        if (end > position) {
            if (!prefix.empty() && prefix.back() != '/')
                prefix += '/';
            prefix.append(whole.substr(position, end - position));
            int failed = mkdir(prefix.c_str(), 0755) != 0 ? errno : 0;
            // An existing level counts only when it is a directory one can go on in.
            struct stat existing {};
            if (failed == EEXIST && stat(prefix.c_str(), &existing) == 0)
                failed = S_ISDIR(existing.st_mode) ? 0 : ENOTDIR;
            if (failed != 0) {
                putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s", failed,
                       std::strerror(failed), "create_recursive_directory", path);
                errno = failed;
                return -1;
            }
        }
        position = end + 1;
    }
    return 1;
}

int poll_until(int fd, short events, std::optional<std::chrono::steady_clock::time_point> deadline)
{
    for (;;) {
        int wait = -1;
        if (deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  *deadline - std::chrono::steady_clock::now()).count();
            wait = static_cast<int>(std::clamp<long long>(left, 0, 0x7fffffff));
        }
        pollfd polled{fd, events, 0};
        const int rc = poll(&polled, 1, wait);
        if (rc > 0)
            return polled.revents;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

namespace {

sigset_t sigpipe_only()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

} // namespace

SigpipeBlock::SigpipeBlock()
{
    const sigset_t pipe_only = sigpipe_only();
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_);
}

SigpipeBlock::~SigpipeBlock()
{
    if (sigismember(&saved_, SIGPIPE) != 0)
        return;
    if (raised_) {
        const sigset_t pipe_only = sigpipe_only();
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}
