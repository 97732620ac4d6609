#include "daemon/signals.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include "cache/cache.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "net/network.h"
#include "core/options.h"
#include "core/threads.h"

namespace {

constexpr int ASYNC_SIGNALS[] = {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE};
constexpr int BACKTRACE_DEPTH = 20;
// How long the clean exit and SIGHUP wait for the accept loop to close its listeners; it may not
// be accepting yet, and it closes them at its next wait in any case.
constexpr std::chrono::milliseconds LISTENER_CLOSE_WAIT{5000};

// The thread that runs the clean exit; 0 while nobody does.
std::atomic<pid_t> exiting{0};

sigset_t async_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : ASYNC_SIGNALS)
        sigaddset(&set, signo);
    return set;
}

bool on_main_thread()
{
    return gettid() == getpid();
}

// The accept loop runs on the main thread and owns the listeners; any other thread asks it.
void listeners_close()
{
    if (on_main_thread())
        net_listen_closeall();
    else
        net_listen_closeall_request(LISTENER_CLOSE_WAIT);
}

void cache_finish()
{
    if (cache_section != nullptr)
        cache_section->graceful_exit();
}

void* signal_thread(void*)
{
    const sigset_t set = async_signals();
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0)
            continue;
        switch (signo) {
        case SIGTERM: on_signal(signo); break;
        case SIGHUP: sighup(signo); break;
        case SIGUSR1: sigusr1(signo); break;
        case SIGUSR2: sigusr2(signo); break;
        case SIGPIPE: sigpipe(signo); break;
        default: break;
        }
    }
}

// What follows runs inside asynchronous handlers: async-signal-safe calls only, no allocation,
// no lock, nothing read from a heap that may be the reason for the crash.

void crash_write(int fd, const char* text)
{
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t written = write(fd, text, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        left -= static_cast<std::size_t>(written);
    }
}

// The backtrace and the line go where the native log goes, or to standard error; the journals
// are not rewritten from a heap that may be corrupt.
[[noreturn]] void crash(const char* line)
{
    void* frames[BACKTRACE_DEPTH];
    const int depth = backtrace(frames, BACKTRACE_DEPTH);
    const int open_log = logfd;
    const int fd = open_log >= 0 ? open_log : STDERR_FILENO;
    backtrace_symbols_fd(frames, depth, fd);
    crash_write(fd, line);
    if (!pidfile.empty())
        unlink(pidfile.c_str());
    _exit(1);
}

void sigsegv(int)
{
    crash("advice: Recieved Signal for Segmentation violation\n");  // kept as is
}

void sigiot(int)
{
    crash("error: Recieved Signal for IOT trap \n");  // kept as is
}

void crash_handler_install(int signo, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A fault inside the handler meets the default action instead of the handler again.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(signo, &action, nullptr);
}

} // namespace

void signal_setup()
{
    // backtrace() loads its unwinder on first use, which allocates: done now, not in a crash.
    void* frame[1];
    backtrace(frame, 1);
    crash_handler_install(SIGSEGV, sigsegv);
    crash_handler_install(SIGABRT, sigiot);

    const sigset_t set = async_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (thread_create_internal(signal_thread, nullptr) < 0) {
        putlog(LOG_ERROR, "signals keep their default actions: no thread can take them");
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void on_signal(int)
{
    putlog(LOG_ALWAYS, "Recieved TERM Signal to EXIT");  // kept as is
    clean_exit(0);
}

void sighup(int)
{
    putlog(LOG_ALWAYS, "Recieved HUP Signal for cleaning cache and closing all FDs");  // kept as is
    listeners_close();
    cache_finish();
    fd_failure();
}

void sigusr1(int)
{
    putlog(LOG_ALWAYS, "Recieved Signal for Log Rotation");  // kept as is
    logrotate();
}

void sigusr2(int)
{
    putlog(LOG_ALWAYS, "Recieved Test Signal for USR2");  // kept as is
}

void sigpipe(int)
{
    putlog(LOG_ERROR, "Recieved Signal for Broken pipe");  // kept as is
}

void sigterm()
{
    putlog(LOG_ALWAYS, "Recieved Signal for Termination");  // kept as is
    clean_exit(1);
}

void clean_exit(int status)
{
    const pid_t self = gettid();
    pid_t first = 0;
    if (!exiting.compare_exchange_strong(first, self)) {
        if (first == self)
            _exit(status);
        for (;;)
            pause();
    }
    listeners_close();
    cache_finish();
    if (!pidfile.empty())
        unlink(pidfile.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    // Other threads may still be serving; static destructors must not run under them.
    _exit(status);
}
