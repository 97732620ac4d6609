#include "net/socket.h"
#include "http/connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "core/connection.h"
#include "util/descriptor.h"
#include "config/general.h"
#include "http/header.h"
#include "util/log.h"
#include "net/network.h"
#include "http/proxyauth.h"
#include "core/statgroups.h"
#include "http/template.h"
#include "http/transfer.h"

namespace {

// The parent's answer to a CONNECT; null when none came or it does not parse.
HeaderPtr connect_answer(CONNECTION_T* connection)
{
    const HeaderText text = header_get(connection, SIDE_SERVER, general_section->timeout_get(connection));
    return text ? http_header_parse_response(*text) : nullptr;
}

// A parent's answer opens the tunnel only with a status line of its own: an answer parsed as
// HTTP/0.9 (no status line at all, status 200 by default) is not a parent that said yes.
bool tunnel_opened(const HEADER& answer, int lowest, int highest)
{
    return answer.version != HTTP_VERSION_09 && answer.status >= lowest && answer.status <= highest;
}

// Closes the descriptor it holds.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Waits up to seconds for a connection on the listener; true when one is waiting.
bool wait_for_peer(int listener, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd polled{listener, POLLIN, 0};
        const int n = poll(&polled, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 && (polled.revents & POLLIN) != 0;
    }
}

} // namespace

int protocol_connect(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const char* host = text_or_empty(request->host);
    putlog(LOG_REQUEST, "CONNECT %s:%d", host, request->port);
    statincr_connectrequests(connection);

    HeaderPtr response;
    bool established = connection->proxy_type != UPSTREAM_HTTP;
    if (!established) {
        header_send(request, connection, SIDE_SERVER, HEADER_TO_PARENT);
        for (;;) {
            connection->response = nullptr;
            response = connect_answer(connection);
            connection->response = response.get();
            if (response == nullptr) {
                putlog(LOG_REQUEST, "error: failed CONNECT to %s:%d", host, request->port);
                template_section->send("noconnect", connection, 503);
                break;
            }
            if (response->status == 407 && (connection->flags & CONN_PROXY_AUTH) == 0) {
                if (proxy_authenticate(connection) == 1) {
                    putlog(LOG_DEBUG, "request: authentication required by server for CONNECT to %s:%d", host,
                           request->port);
                    connection->flags |= CONN_PROXY_AUTH;
                    continue;
                }
                // The client is never asked for the parent's credentials: it is told that no
                // tunnel could be opened.
                response->proxy_authenticate.reset();
            } else if (tunnel_opened(*response, 200, 200)) {
                established = true;
                break;
            }
            template_section->send("noconnect", connection, 503);
            putlog(LOG_ERROR, "request: failed CONNECT to %s:%d", host, request->port);
            break;
        }
    }

    if (established && connection->client != nullptr) {
        connection->client->PutSock("HTTP/1.1 200 Connection Established\r\n\r\n");
        connection->client->Flush();
        putlog(LOG_DEBUG, "request: established CONNECT to %s:%d", host, request->port);
        connection->logentry.status = 200;
        connection->logentry.size = net_proxy(connection, -1);
    }

    connection->keepalive_client = 0;
    // What is left of a tunnel, or of a parent's refusal, is nothing another request can use.
    connection->keepalive_server = 0;
    connection->response = nullptr;
    connection->logentry.Write();
    connection->logentry.apache_Write();
    return 0;
}

int proxy_connect(CONNECTION_T* connection)
{
    HeaderPtr tunnel = header_new();
    tunnel->kind = HEADER_CONNECT;
    tunnel->version = HTTP_VERSION_11;
    tunnel->method = "CONNECT";
    tunnel->scheme = "connect";
    tunnel->host = connection->request->host;
    tunnel->port = connection->request->port;

    HeaderPtr client_request = std::move(connection->request);
    connection->request = std::move(tunnel);
    header_send(connection->request.get(), connection, SIDE_SERVER, HEADER_TO_PARENT);

    int result = -1;
    for (;;) {
        connection->response = nullptr;
        HeaderPtr response = connect_answer(connection);
        if (response == nullptr)
            break;
        connection->response = response.get();
        if (response->status == 407 && (connection->flags & CONN_PROXY_AUTH) == 0 &&
            proxy_authenticate(connection) == 1) {
            putlog(LOG_DEBUG, "request: authentication required by proxy server for CONNECT to %s:%d",
                   text_or_empty(connection->request->host), connection->request->port);
            connection->flags |= CONN_PROXY_AUTH;
            continue;
        }
        // Only a success opens the tunnel: after any other answer the connection still speaks to
        // the parent, and the request would reach it instead of the origin.
        if (tunnel_opened(*response, 200, 299))
            result = 1;
        break;
    }
    connection->response = nullptr;
    connection->request = std::move(client_request);
    return result;
}

void proxy_test(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    if (connection->server == nullptr || request == nullptr)
        return;

    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(connection->server->fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return;
    address.sin_port = 0;
    // Non-blocking: a peer that gives up between the wait and the accept leaves nothing to wait for.
    Descriptor listener(s_socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.get() < 0)
        return;
    length = sizeof address;
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;

    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    request->host = std::string(dotted);
    request->path = "/";
    request->port = ntohs(address.sin_port);
    header_complete(request);
    header_send(request, connection, SIDE_SERVER, HEADER_TO_PARENT);
    // The upstream owes an answer to the test request, which nobody reads.
    connection->keepalive_server = 0;

    const int timeout = general_section->timeout_get(connection);
    if (!wait_for_peer(listener.get(), timeout))
        return;
    const int fd = s_accept(listener.get(), nullptr, nullptr);
    listener.reset();
    if (fd < 0)
        return;

    SocketPtr upstream = std::move(connection->server);
    connection->server = std::make_unique<Socket>(fd);
    const HeaderText text = header_get(connection, SIDE_SERVER, timeout);
    HeaderPtr delivered = text ? http_header_parse_request(*text) : nullptr;
    connection->server = std::move(upstream);
    if (delivered != nullptr)
        connection->response = delivered.release();
}
