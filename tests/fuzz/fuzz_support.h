// What the fuzz targets share: invariant checks that abort (so libFuzzer keeps the input), the
// reading of an input piece by piece, the process set-up a request needs, and a peer that plays
// the far end of one of a connection's sockets.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "core/global.h"
#include "daemon/runtime.h"
#include "core/options.h"
#include "config/section.h"
#include "sections_fixture.h"
#include "net/socket.h"
#include "core/threads.h"
#include "daemon/signals.h"
#include "util/mem.h"

namespace fuzz {

inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

inline bool has_line_break(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

inline bool has_any(std::string_view s, std::string_view bytes)
{
    return s.find_first_of(bytes) != std::string_view::npos;
}

// The input taken apart front to back; whatever runs out gives zeros and empty texts.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    unsigned byte()
    {
        if (rest_.empty())
            return 0;
        const auto b = static_cast<unsigned char>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }
    // Up to and without the next '\n', which is consumed; the rest when there is none.
    std::string_view line()
    {
        const std::size_t end = std::min(rest_.find('\n'), rest_.size());
        const std::string_view out = rest_.substr(0, end);
        rest_.remove_prefix(std::min(end + 1, rest_.size()));
        return out;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

// Once per process: the exits the daemon ends through, the runtime record, the caller's
// thread-table slot (logging needs both), a log that only keeps its buffer, and the sections
// the request road calls, as the bring-up creates them. With no rules loaded every section
// answers with its defaults.
inline void process_init()
{
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    loglevel = 0;
    daemonize = 1;
    road_sections_create();
}

// The far end of a socket pair. What a peer that ends sends is written whole before the code
// under test runs, and its sending side is then shut down: the code reads those bytes and then
// the end of the stream, never a wait, so a run does not depend on timing. A silent peer sends
// nothing and keeps its side open, as a client waiting for its answer does (a client that hangs
// up makes the proxy stop reading the server). What the code sends is collected on a thread, so
// that no write of the code waits for room; received() has it once the code's end is closed.
class Peer {
public:
    // Silent.
    Peer() : Peer({}, false) {}
    // Sends the bytes and ends.
    explicit Peer(std::string_view sends) : Peer(sends, true) {}
    Peer(std::string_view sends, bool ends)
    {
        int pair[2];
        require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
        near_ = pair[0];
        far_ = pair[1];
        const int room = 1 << 20;
        setsockopt(far_, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        while (!sends.empty()) {
            const ssize_t n = send(far_, sends.data(), sends.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            require(n > 0, "the peer's bytes do not fit the socket pair: lower -max_len");
            sends.remove_prefix(static_cast<std::size_t>(n));
        }
        if (ends)
            shutdown(far_, SHUT_WR);
        reader_ = std::thread([this] {
            char block[65536];
            for (;;) {
                const ssize_t n = read(far_, block, sizeof block);
                if (n <= 0)
                    break;
                received_.append(block, static_cast<std::size_t>(n));
            }
        });
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer()
    {
        if (near_ >= 0)
            close(near_);
        finish();
        close(far_);
    }

    // The code's end as a Socket; once.
    SocketPtr take()
    {
        const int fd = near_;
        near_ = -1;
        return std::make_unique<Socket>(fd);
    }
    // Everything the code sent; its end must be closed by then.
    const std::string& received()
    {
        finish();
        return received_;
    }

private:
    void finish()
    {
        if (reader_.joinable())
            reader_.join();
    }

    int near_ = -1;
    int far_ = -1;
    std::thread reader_;
    std::string received_;
};

} // namespace fuzz
