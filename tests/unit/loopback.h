// Loopback sockets for tests that play a peer of the proxy.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A socket listening on 127.0.0.1 on a port the system chose, stored in *port; -1 on failure.
inline int loopback_listener(int* port, int backlog = 8)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// A port on 127.0.0.1 where nothing listens right now.
inline int free_port()
{
    int port = 0;
    const int fd = loopback_listener(&port);
    if (fd >= 0)
        close(fd);
    return port;
}
