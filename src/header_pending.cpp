#include "header_pending.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <strings.h>

#include "connection.h"
#include "filebuf.h"
#include "transfer.h"
#include "url.h"

HeaderText header_get(CONNECTION_T* connection, int side, int timeout)
{
    Socket* source = side == 1 ? connection->server.get() : connection->client.get();
    if (source == nullptr)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    std::string block;
    char line[HEADER_AREA];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 && source->input_length() == 0)
            break;
        pollfd fd{source->fd(), POLLIN, 0};
        const int n = poll(&fd, 1, source->input_length() > 0 ? 0 : static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (source->input_length() == 0 && (fd.revents & POLLIN) == 0) {
            if (n == 0)
                continue;
            break;
        }
        const int got = source->GetLine(line, static_cast<int>(HEADER_AREA - 3 - block.size()));
        if (got <= 0)
            break;
        std::string_view text(line, std::strlen(line));
        if (text == "\n" || text == "\r\n") {
            if (block.empty())
                continue;
            block += "\r\n";
            return block;
        }
        block += text;
        if (block.size() >= HEADER_AREA - 3)
            break;
    }
    if (block.empty())
        return std::nullopt;
    return block;
}

namespace {

void add_line(Filebuf* b, const char* name, const HeaderText& value)
{
    if (value)
        b->Addf("%s: %s\r\n", name, value->c_str());
}

} // namespace

void header_send_filebuf(Filebuf* b, HEADER* h, CONNECTION_T* connection, int mode)
{
    const char* method = h->method ? h->method->c_str() : "GET";
    if (h->kind == HEADER_RESPONSE)
        b->Addf("HTTP/1.1 %d %s\r\n", h->status, code_to_error(h->status));
    else if (mode == HEADER_TO_SERVER)
        b->Addf("%s %s HTTP/1.1\r\n", method, h->path ? h->path->c_str() : "/");
    else if (h->kind == HEADER_CONNECT)
        b->Addf("CONNECT %s:%d HTTP/1.1\r\n", h->host ? h->host->c_str() : "", h->port);
    else
        b->Addf("%s %s HTTP/1.1\r\n", method, h->url ? h->url->c_str() : "");
    for (const HTTP_HEADER& line : (h->flags & HEADER_FILTERED) != 0 ? h->filtered : h->lines)
        if (line.type == HTTP_HEADER_PASS)
            b->Addf("%s: %s\r\n", line.name.c_str(), line.value.c_str());
    if (h->content_type && !h->content_type->empty())
        add_line(b, "Content-Type", h->content_type);
    if ((h->flags & HEADER_LENGTH) != 0)
        b->Addf("Content-Length: %lld\r\n", static_cast<long long>(h->content_length));
    if (h->chunked == 1)
        b->Add("Transfer-Encoding: chunked\r\n");
    if (mode == HEADER_TO_CLIENT) {
        add_line(b, "Cache-Control", h->cache_control);
        add_line(b, "Expires", h->expires);
        add_line(b, "Last-Modified", h->last_modified);
        add_line(b, "Location", h->location);
        add_line(b, "WWW-Authenticate", h->www_authenticate);
        add_line(b, "Proxy-Authenticate", h->proxy_authenticate);
        add_line(b, "Content-Encoding", h->content_encoding);
        const char* ka = connection->keepalive_client != 0 ? "keep-alive" : "close";
        b->Addf("Connection: %s\r\nProxy-Connection: %s\r\n", ka, ka);
        add_line(b, "X-Cache", h->x_cache);
        add_line(b, "Age", h->age);
        add_line(b, "Warning", h->warning);
    } else if (mode == HEADER_TO_SERVER || mode == HEADER_TO_PARENT) {
        if (mode == HEADER_TO_PARENT) {
            b->Add("Proxy-Connection: keep-alive\r\n");
            if (!connection->proxy_auth.empty())
                b->Addf("Proxy-Authorization: %s\r\n", connection->proxy_auth.c_str());
            else
                add_line(b, "Proxy-Authorization", h->proxy_authorization);
            add_line(b, "Cache-Control", h->cache_control);
        }
        add_line(b, "Authorization", h->authorization);
        add_line(b, "If-Modified-Since", h->if_modified_since);
        add_line(b, "Referer", h->referer);
        add_line(b, "User-Agent", h->user_agent);
        add_line(b, "Range", h->range);
        add_line(b, "Accept-Encoding", h->accept_encoding);
        const char* scheme = h->scheme ? h->scheme->c_str() : "http";
        if (h->kind != HEADER_CONNECT && h->port == protocol_port(scheme))
            b->Addf("Host: %s\r\n", h->host ? h->host->c_str() : "");
        else
            b->Addf("Host: %s:%d\r\n", h->host ? h->host->c_str() : "", h->port);
        b->Add("Connection: keep-alive\r\n");
        add_line(b, "X-Forwarded-For", h->x_forwarded_for);
        add_line(b, "Via", h->via);
    }
    b->Add("\r\n");
}

int header_send(HEADER* header, CONNECTION_T* connection, int target, int mode)
{
    if (target == 0 && (connection->flags & CONN_NOCLIENT) != 0)
        return 0;
    Filebuf buffer;
    header_send_filebuf(&buffer, header, connection, mode);
    net_filebuf_send(&buffer, connection, target);
    return 0;
}

void via_header_update(CONNECTION_T*) {}

void xcache_header_update(CONNECTION_T* connection, int miss)
{
    if (connection->response == nullptr)
        return;
    HeaderText& x = connection->response->x_cache;
    const std::string mine = std::string(miss != 0 ? "MISS" : "HIT") + " from Tarvodine 0.1";
    x = x ? *x + ", " + mine : mine;
}

void conditional_header(HEADER*, CACHEMAP*) {}

void header_variables(CONNECTION_T* connection, std::string_view prefix, const std::list<HTTP_HEADER>& lines)
{
    for (const HTTP_HEADER& line : lines) {
        std::string name(prefix);
        name += '[';
        for (char c : line.name)
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        name += ']';
        connection->variables[name] = line.value;
    }
}
