// The pool of idle upstream connections (stand-in: holds none yet).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class Socket;

// What a pooled connection leads to. A connection is reused only for an equal key: protocol and
// host compared without regard to case, the port, the URL's user and password, and the route
// byte for byte (whether TLS is on, the kind of upstream, the parent or SOCKS server and the
// upstream credentials).
struct ServerKey {
    std::string protocol;
    std::string host;
    int port = 0;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string route;
};

class ServerPool {
public:
    // Closes the expired pooled connections, or every one when `all` is 1.
    void Clean(int all);
    // The oldest idle connection for key, taken out of the pool; null when there is none.
    std::unique_ptr<Socket> Find(const ServerKey& key);
    // Keeps an idle connection for the next request with the same key.
    void Add(std::unique_ptr<Socket> socket, const ServerKey& key);

private:
    std::mutex mutex_;
};

// Service-thread body (the argument is not used): forever cleans the global pool, then sleeps
// 10 seconds.
void* serverpool_clean(void* unused);
