// Descriptor wrappers: when the descriptor table is full (the system's or the process's) they
// free the pooled connections and try once more.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <csignal>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/types.h>

// Each returns what its system call returns. Any failure but a full descriptor table is left to
// the caller, unlogged, with errno as the call set it; a full table is logged only when the
// retry after freeing the pools fails too. Every descriptor they make is close-on-exec: a program
// that one thread starts must never inherit another thread's files or sockets.
int s_open(const char* path, int flags, mode_t mode = 0);
int s_open64(const char* path, int flags, mode_t mode = 0);
FILE* s_fopen(const char* path, const char* mode);
DIR* s_opendir(const char* path);
int s_socket(int family, int type, int protocol);
// -1 unlogged for a descriptor that is not a socket; every other failure is logged. When the
// descriptor table stays full it pauses briefly, so an accept loop does not spin.
int s_accept(int socket, sockaddr* address, socklen_t* length);
// What frees descriptors: closing the idle pooled client connections and the idle upstream
// ones. Set by whoever builds the pools, once at start-up before any other thread exists;
// until then the failures below only log.
struct PoolCleaners {
    void (*clients)() = nullptr;
    void (*servers)() = nullptr;
};
void fd_set_pool_cleaners(const PoolCleaners& cleaners);
// Closes every idle pooled client and upstream connection.
void fd_failure();
void client_pool_failure();
void server_pool_failure();
// Creates every level of the path (absolute, or relative to the working directory), mode 0755.
// 1 when every level exists as a directory, -1 (logged) on failure.
int create_recursive_directory(const char* path);
// Waits until fd has one of events or the deadline passes (no deadline: without limit),
// repeating interrupted waits with the time that is left. The returned events, 0 on time-out,
// -1 when poll fails.
int poll_until(int fd, short events, std::optional<std::chrono::steady_clock::time_point> deadline);

// While it lives, SIGPIPE is blocked on the calling thread, for writes that cannot be told to
// leave it out (splice, write to a program's pipe): a broken connection or a program that
// stopped reading is then only a failed write. Call raised() after an EPIPE; the signal it left
// pending is taken back before the thread's old mask returns, unless the thread had SIGPIPE
// blocked already (a pending one is then not ours to take).
class SigpipeBlock {
public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void raised() { raised_ = true; }

private:
    sigset_t saved_;
    bool raised_ = false;
};
