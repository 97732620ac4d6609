// A connection record whose client and server sockets are socket pairs held by the test, and
// the stand-in sections the request road calls.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "policy/access.h"
#include "access_fixture.h"
#include "sections_fixture.h"
#include "cache/cache.h"
#include "core/connection.h"
#include "policy/filter.h"
#include "cache/forward.h"
#include "config/general.h"
#include "core/global.h"
#include "policy/headerfilter.h"
#include "policy/limit.h"
#include "util/log.h"
#include "policy/mime.h"
#include "cache/prefetch.h"
#include "http/header.h"
#include "config/profile.h"
#include "policy/redirect.h"
#include "config/section.h"
#include "net/socket.h"
#include "http/template.h"

namespace road {

// Every section the road calls, created once per test program as the bring-up would, and an
// access section that admits every client.
inline void sections_create()
{
    road_sections_create();
    if (access_section == nullptr)
        access_section = accesstest::access_section_admitting_all();
}

inline void write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        ASSERT_GT(n, 0);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Everything the peer receives until the other end closes or stays silent for a second (a
// bound on a broken test, not a measured time).
inline std::string read_all(int fd)
{
    std::string out;
    char block[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        const ssize_t n = read(fd, block, sizeof block);
        if (n <= 0)
            break;
        out.append(block, static_cast<std::size_t>(n));
    }
    return out;
}

// What is there to read right now, without waiting.
inline std::string read_now(int fd)
{
    std::string out;
    char block[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0)
            break;
        const ssize_t n = read(fd, block, sizeof block);
        if (n <= 0)
            break;
        out.append(block, static_cast<std::size_t>(n));
    }
    return out;
}

// A connection with socket pairs on both sides: client_peer plays the browser, server_peer the
// origin server.
struct Wired {
    ConnectionPtr connection = connection_new("127.0.0.1");
    int client_peer = -1;
    int server_peer = -1;

    explicit Wired(bool with_server = true)
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        connection->client = std::make_unique<Socket>(pair[0]);
        client_peer = pair[1];
        if (with_server) {
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            connection->server = std::make_unique<Socket>(pair[0]);
            server_peer = pair[1];
        }
    }
    Wired(const Wired&) = delete;
    Wired& operator=(const Wired&) = delete;
    ~Wired()
    {
        close_client_peer();
        close_server_peer();
    }
    void close_client_peer()
    {
        if (client_peer >= 0)
            close(client_peer);
        client_peer = -1;
    }
    void close_server_peer()
    {
        if (server_peer >= 0)
            close(server_peer);
        server_peer = -1;
    }
    CONNECTION_T* operator->() const { return connection.get(); }
    CONNECTION_T* get() const { return connection.get(); }
};

// A response header in the connection's response slot, owned by the test.
struct Response {
    HeaderPtr header;
    Response(CONNECTION_T* connection, std::string_view text) : header(http_header_parse_response(text))
    {
        EXPECT_NE(header, nullptr);
        connection->response = header.get();
    }
};

// The connection's request, parsed from text.
inline void request_set(CONNECTION_T* connection, std::string_view text)
{
    connection->request = http_header_parse_request(text);
    ASSERT_NE(connection->request, nullptr);
}

// The messages logged since the test began, with the given category prefix taken off.
inline std::vector<std::string> logged(const char* category)
{
    std::vector<std::string> out;
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    for (auto it = buffered.rbegin(); it != buffered.rend(); ++it) {
        const std::size_t at = it->find(category);
        if (at != std::string::npos)
            out.push_back(it->substr(at + std::strlen(category)));
    }
    return out;
}

inline bool was_logged(const char* category, const std::string& message)
{
    for (const std::string& line : logged(category))
        if (line == message)
            return true;
    return false;
}

inline void log_clear()
{
    logbuffer_clear(global->logbuffer.get());
}

} // namespace road
