#include "http/protocol.h"

#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "cache/cache.h"
#include "http/connect.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "core/global.h"
#include "http/header.h"
#include "util/log.h"
#include "util/stringutil.h"
#include "net/network.h"
#include "net/netsection.h"
#include "core/processors.h"
#include "http/body.h"
#include "net/socket.h"
#include "core/statgroups.h"
#include "http/template.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

// Sends the request header (and a buffered body) to the server again over the current server
// socket.
void request_resend(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    header_send(request, connection, SIDE_SERVER,
                connection->proxy_type == UPSTREAM_HTTP ? HEADER_TO_PARENT : HEADER_TO_SERVER);
    if ((request->flags & HEADER_LENGTH) != 0 && connection->body != nullptr)
        net_filebuf_send(connection->body.get(), connection, SIDE_SERVER);
}

// The local address the network section binds the connection's outgoing socket to, dotted;
// empty for any address.
std::string outgoing_address(const CONNECTION_T* connection)
{
    if (network_section == nullptr)
        return {};
    const in_addr_t address = network_section->interface_select(connection);
    if (address == htonl(INADDR_ANY))
        return {};
    const std::uint32_t host = ntohl(address);
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xff) + "." +
           std::to_string((host >> 8) & 0xff) + "." + std::to_string(host & 0xff);
}

} // namespace

int process_request(CONNECTION_T* connection, Filebuf* body)
{
    processors.Execute(STAGE_AUTH, connection, body);

    if (!connection->username.empty()) {
        if (global != nullptr)
            stat_count_name(&global->stats, "users", connection->username);
        connection->logentry.username = connection->username;
        connection->variables["USERNAME"] = connection->username;
    }

    if (connection->response == nullptr)
        processors.Execute(STAGE_REQUEST_MODIFY, connection, body);

    // A stage that answered a request without a body gives its answer's body in a new buffer.
    if (body == nullptr && connection->response != nullptr)
        body = connection->body.get();
    HEADER* request = connection->request.get();
    const std::size_t size = body != nullptr ? body->size() : 0;
    if (connection->response == nullptr) {
        // A body still on its way from the client keeps the framing it is relayed with.
        if ((connection->flags & CONN_STREAM) == 0) {
            const bool was_chunked = request->chunked != 0;
            request->chunked = 0;
            // A declared length follows the body a stage left, also when it left nothing.
            if (size > 0 || was_chunked || (request->flags & HEADER_LENGTH) != 0) {
                request->content_length = static_cast<std::int64_t>(size);
                request->flags |= HEADER_LENGTH;
            }
        }
        return 1;
    }

    HEADER* answer = connection->response;
    answer->flags |= HEADER_LENGTH;
    answer->content_length = static_cast<std::int64_t>(size);
    answer->chunked = 0;
    header_send(answer, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    if (body != nullptr)
        http_send_body(connection, body);
    connection->response = nullptr;
    http_header_free(answer);
    return 0;
}

bool upload_beyond_allowance(const CONNECTION_T* connection, std::uint64_t length)
{
    // The all-ones allowance means no limit, not a limit of 4 GiB.
    return connection->upload_allowance != ALLOWANCE_UNLIMITED && length > connection->upload_allowance;
}

ServerKey serverpool_key(const CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    ServerKey key;
    key.protocol = text_or_empty(request->scheme);
    if (connection->proxy_type == UPSTREAM_HTTP && !connection->parent_host.empty()) {
        key.host = connection->parent_host;
        key.port = connection->parent_port;
    } else {
        key.host = text_or_empty(request->host);
        key.port = request->port;
    }
    key.user = request->url_user;
    key.password = request->url_password;
    serverpool_route_add(key.route, (connection->flags & CONN_TLS) != 0 ? "tls" : "plain");
    serverpool_route_add(key.route, std::to_string(connection->proxy_type));
    if (connection->proxy_type != UPSTREAM_DIRECT) {
        serverpool_route_add(key.route, connection->parent_host);
        serverpool_route_add(key.route, std::to_string(connection->parent_port));
        serverpool_route_add(key.route, connection->proxy_username);
        serverpool_route_add(key.route, connection->proxy_password);
        serverpool_route_add(key.route, connection->proxy_domain);
    }
    return key;
}

int protocol_start(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    connection->keepalive_server = 0;

    const int kind = connection->proxy_type;
    if (kind == UPSTREAM_HTTP || kind == UPSTREAM_SOCKS4 || kind == UPSTREAM_CONNECT) {
        connection->logentry.peer = connection->parent_host;
    } else {
        connection->logentry.set_peercode(DIRECT);
        connection->logentry.peer = text_or_empty(request->host);
    }

    // A request with a body never takes a pooled connection: if that connection turned out to
    // be dead, a streamed body could not be sent again.
    if (request->kind != HEADER_CONNECT && (request->flags & HEADER_LENGTH) == 0 && request->chunked == 0 &&
        global != nullptr && global->serverpool != nullptr) {
        SocketPtr pooled = global->serverpool->Find(serverpool_key(connection));
        if (pooled != nullptr) {
            connection->server = std::move(pooled);
            connection->flags |= CONN_POOLED;
            connection->keepalive_server = 1;
            return connection->server->fd();
        }
    }

    // The internal client may fetch before the general section exists, as transfers do.
    const int timeout = general_section != nullptr ? general_section->ctimeout_get(connection) : 60;
    const std::string local = outgoing_address(connection);
    const std::string& parent = connection->parent_host.empty() ? std::string(text_or_empty(request->host))
                                                                : connection->parent_host;
    const int parent_port = connection->parent_host.empty() ? request->port : connection->parent_port;
    int fd;
    switch (kind) {
    case UPSTREAM_HTTP:
        fd = net_connect(parent.c_str(), parent_port, local.c_str(), timeout);
        if (fd < 0) {
            putlog(LOG_ERROR, "network: connection to proxy server failed");
            return fd;
        }
        connection->server = std::make_unique<Socket>(fd);
        break;
    case UPSTREAM_SOCKS4:
    case UPSTREAM_SOCKS5:
        fd = net_connect(parent.c_str(), parent_port, local.c_str(), timeout);
        if (fd < 0)
            return fd;
        connection->server = std::make_unique<Socket>(fd);
        if ((kind == UPSTREAM_SOCKS4 ? proxy_socks4(connection, timeout) : proxy_socks5(connection, timeout)) != 1) {
            putlog(LOG_ERROR, kind == UPSTREAM_SOCKS4 ? "network: connection to socks4 server failed"
                                                     : "network: connection to socks5 server failed");
            connection->server.reset();
            return NET_UNKNOWN;
        }
        break;
    case UPSTREAM_CONNECT:
        fd = net_connect(parent.c_str(), parent_port, local.c_str(), timeout);
        if (fd < 0)
            return fd;
        connection->server = std::make_unique<Socket>(fd);
        if (proxy_connect(connection) != 1) {
            putlog(LOG_ERROR, "network: connection to proxy failed");
            connection->server.reset();
            return NET_UNKNOWN;
        }
        break;
    default:
        // Straight to the origin: never to the proxy's own listener, where the request would
        // come back as one from the proxy's own address, with the rights of that address.
        fd = net_connect(text_or_empty(request->host), request->port, local.c_str(), timeout, true);
        if (fd < 0)
            return fd;
        connection->server = std::make_unique<Socket>(fd);
        break;
    }

    // TLS runs with the peer the socket reaches: the parent itself, or the origin server.
    const std::string tls_host = kind == UPSTREAM_HTTP ? parent : text_or_empty(request->host);
    if ((connection->flags & CONN_TLS) != 0 && connection->server->Encrypt(1, tls_host) != 1) {
        connection->server.reset();
        return NET_UNKNOWN;
    }
    return connection->server->fd();
}

int protocol_reconnect(CONNECTION_T* connection)
{
    connection->server.reset();
    if (connection->client != nullptr)
        connection->client->Flush();
    return protocol_start(connection);
}

namespace {

// The client's side ended while its answer was awaited. The server did not drop the connection,
// so the request is not sent again (each try would reach the server once more, for nobody), and
// the connection still owes that answer, so it is not kept for another request either. What is
// left of the client gets the failure page a failed resend would have given it.
HeaderText client_left(CONNECTION_T* connection)
{
    connection->keepalive_client = 0;
    connection->keepalive_server = 0;
    template_section->send("noconnect", connection, 503);
    return std::nullopt;
}

} // namespace

HeaderText header_get_reconnect(CONNECTION_T* connection, int timeout)
{
    bool too_large = false;
    bool client_gone = false;
    HeaderText text = header_get(connection, SIDE_SERVER, timeout, &too_large, &client_gone);
    if (text)
        return text;
    if (client_gone)
        return client_left(connection);
    if (too_large) {
        putlog(LOG_ERROR, "Bad response from server");
        connection->keepalive_server = 0;
        template_section->send("badresponse", connection, 400);
        return std::nullopt;
    }

    if (connection->keepalive_server == 0 && (connection->flags & CONN_PROXY_AUTH) == 0) {
        template_section->send("noconnect", connection, 503);
        return std::nullopt;
    }
    if ((connection->flags & CONN_STREAM) != 0) {
        putlog(LOG_WARNING, "request: server dropped connection during direct POST");
        connection->keepalive_client = 0;
        return std::nullopt;
    }
    // Each pass takes one more pooled connection or, when none is left, a fresh one, whose
    // failure is final.
    for (;;) {
        const int result = protocol_reconnect(connection);
        if (result < 0) {
            template_section->send(error_to_template(result), connection, 503);
            return std::nullopt;
        }
        request_resend(connection);
        text = header_get(connection, SIDE_SERVER, timeout, nullptr, &client_gone);
        if (text)
            return text;
        if (client_gone)
            return client_left(connection);
        if (connection->keepalive_server != 1) {
            template_section->send("noconnect", connection, 503);
            return std::nullopt;
        }
    }
}

void buffertimeout_set(CONNECTION_T* connection)
{
    const int wait = general_section->bufferwait_get(connection);
    putlog(LOG_DEBUG, "request: buffer timeout: %d", wait);
    connection->buffer_deadline = wait != 0 ? std::time(nullptr) + wait : 0;
}

void buffertimeout_check(CONNECTION_T* connection)
{
    constexpr std::uint32_t needed = CONN_BUFFER | CONN_CACHE;
    if ((connection->flags & CONN_NOCLIENT) != 0 || (connection->flags & needed) != needed ||
        connection->buffer_deadline == 0 || std::time(nullptr) <= connection->buffer_deadline)
        return;
    CACHEMAP* object = connection_cache(connection);
    if (object == nullptr)
        return;
    cache_section->flag_set(object, CACHE_BUFFERWAIT | CACHE_PREFETCHED);
    cache_section->send_status(connection, object);
    connection->keepalive_client = 0;
    connection->client.reset();
    connection->flags |= CONN_NOCLIENT;
}

int accepts_encoded_content(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if ((connection->flags & CONN_ENCODED) == 0 && request != nullptr && request->accept_encoding &&
        (contains_nocase(*request->accept_encoding, "gzip") || contains_nocase(*request->accept_encoding, "deflate")))
        return 1;
    putlog(LOG_DEBUG, "request: client doesn't support encoded content");
    return 0;
}

int proxy_socks4(CONNECTION_T* connection, int timeout)
{
    if (connection == nullptr || connection->server == nullptr || connection->request == nullptr ||
        !connection->request->host)
        return NET_UNKNOWN;
    return socks4_handshake(*connection->server, connection->request->host->c_str(), connection->request->port,
                            timeout);
}

int proxy_socks5(CONNECTION_T* connection, int timeout)
{
    if (connection == nullptr || connection->server == nullptr || connection->request == nullptr ||
        !connection->request->host)
        return NET_UNKNOWN;
    return socks5_handshake(*connection->server, *connection->request->host, connection->request->port,
                            connection->proxy_username, connection->proxy_password, timeout);
}
