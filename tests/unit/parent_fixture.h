// Scripted parent proxies for the tests of upstream authentication and CONNECT tunnels: a script
// on the far end of a connection's server socket pair, or a listener on 127.0.0.1 for the
// connections the code opens itself. Scripts never log (their threads own no thread-table slot).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loopback.h"
#include "util/base64.h"
#include "road_fixture.h"

namespace parent {

// Reads one message as a parent sees it: the header block and the body its Content-Length
// announces; what came so far when the peer stops sending for five seconds (a bound on a
// broken test, not a measured time).
inline std::string read_message(int fd)
{
    std::string in;
    auto more = [&]() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        char byte;
        const ssize_t n = read(fd, &byte, 1);   // byte by byte: nothing of the next message is taken
        if (n <= 0)
            return false;
        in.push_back(byte);
        return true;
    };
    while (in.find("\r\n\r\n") == std::string::npos)
        if (!more())
            return in;
    if (const std::size_t at = in.find("Content-Length: "); at != std::string::npos) {
        const std::size_t length = std::stoul(in.substr(at + 16));
        const std::size_t head = in.find("\r\n\r\n") + 4;
        while (in.size() < head + length)
            if (!more())
                break;
    }
    return in;
}

// The header blocks of several messages sent one after the other (without bodies).
inline std::vector<std::string> messages_of(const std::string& stream)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end = stream.find("\r\n\r\n"); end != std::string::npos; end = stream.find("\r\n\r\n", start)) {
        out.push_back(stream.substr(start, end + 4 - start));
        start = end + 4;
    }
    if (start < stream.size())
        out.push_back(stream.substr(start));
    return out;
}

// The value of the first line of that name in a header block; empty when there is none.
inline std::string value_of(const std::string& message, std::string_view name)
{
    const std::string key = "\r\n" + std::string(name) + ": ";
    const std::size_t at = message.find(key);
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + key.size();
    return message.substr(from, message.find("\r\n", from) - from);
}

inline std::size_t count_of(const std::string& message, std::string_view text)
{
    std::size_t n = 0;
    for (std::size_t at = message.find(text); at != std::string::npos; at = message.find(text, at + 1))
        ++n;
    return n;
}

inline std::string decoded64(std::string_view text)
{
    std::string out(text.size() + 1, '\0');
    const int n = from64tobits(out.data(), out.size(), text);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// A script run on a thread against one end of a connection, joined when this goes.
class Script {
public:
    Script(int fd, std::function<void(int)> body) : thread_([fd, body = std::move(body)] { body(fd); }) {}
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;
    ~Script() { join(); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

// A parent on 127.0.0.1 that runs the next script for each connection it accepts.
class Listener {
public:
    explicit Listener(std::vector<std::function<void(int)>> scripts) : scripts_(std::move(scripts))
    {
        listener_ = loopback_listener(&port_);
        EXPECT_GE(listener_, 0);
        thread_ = std::thread([this] {
            for (const auto& script : scripts_) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                script(fd);
                close(fd);
            }
        });
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener()
    {
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    int port() const { return port_; }

private:
    std::vector<std::function<void(int)>> scripts_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
inline int closed_port()
{
    return free_port();
}

} // namespace parent
