#include "http/httpclient.h"

#include <memory>
#include <string>
#include <utility>

#include "util/base64.h"
#include "core/connection.h"
#include "core/global.h"
#include "http/body.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "http/transfer.h"

HeaderPtr http_get_request(const URL& url, const std::list<HTTP_HEADER>* lines)
{
    HeaderPtr request = header_new();
    request->kind = HEADER_ABSOLUTE;
    request->version = HTTP_VERSION_11;
    request->method = std::string("GET");
    request->scheme = url.scheme;
    request->host = url.host;
    request->path = url.path;
    request->port = url.port;
    if (lines != nullptr)
        request->lines = *lines;
    else
        request->lines.push_back(HTTP_HEADER{HTTP_HEADER_PASS, "User-Agent", HTTP_FETCH_USER_AGENT});
    if (!url.user.empty())
        request->url_user = url.user;
    if (!url.password.empty())
        request->url_password = url.password;
    return request;
}

namespace {

HeaderPtr request_build(const URL& url, const std::list<HTTP_HEADER>* lines)
{
    HeaderPtr request = http_get_request(url, lines);
    // Kept for the whole fetch, so that a request sent again over a new connection, when a
    // pooled one turns out to be dead, still carries it.
    if (request->url_user || request->url_password)
        request->authorization = "Basic " + to64frombits(url.user + ":" + url.password);
    header_complete(request.get());
    return request;
}

// Reads the response to the request sent on the connection's server socket. Its body comes
// back in the response's buffer; null when no usable header came, the body ended short or it
// goes beyond body_max bytes (*too_large set).
std::unique_ptr<HTTPRESPONSE> response_read(CONNECTION_T* connection, std::size_t body_max, bool& too_large)
{
    const HeaderText text = header_get_reconnect(connection, HTTP_FETCH_TIMEOUT);
    if (!text) {
        connection->keepalive_server = 0;
        return nullptr;
    }
    HeaderPtr header = http_header_parse_response(*text);
    if (header == nullptr) {
        connection->keepalive_server = 0;
        return nullptr;
    }
    connection->response = header.get();
    // One byte beyond the bound tells a body that ends at it from one that goes on, whatever
    // its framing.
    int more = 0;
    std::unique_ptr<Filebuf> body =
        http_transfer_filebuf(connection, SIDE_SERVER, body_max < SIZE_MAX ? body_max + 1 : body_max, &more);
    keepalive_check_server(connection);
    connection->response = nullptr;
    if (more != 0 || body->size() > body_max) {
        // The rest of the body is still on its way: the connection cannot serve another fetch.
        too_large = true;
        connection->keepalive_server = 0;
        return nullptr;
    }
    if ((connection->flags & CONN_TRANSFER_FAILED) != 0) {
        connection->keepalive_server = 0;
        return nullptr;
    }
    auto response = std::make_unique<HTTPRESPONSE>();
    response->header = std::move(header);
    response->body.Swap(body.get());
    return response;
}

} // namespace

HTTPRESPONSE* http_fetch(const URL& url, const std::list<HTTP_HEADER>* lines, std::size_t body_max, bool* too_large)
{
    bool beyond = false;
    ConnectionPtr connection = connection_new("127.0.0.1");
    connection->localip = "127.0.0.1";
    connection->flags |= CONN_NOCLIENT | CONN_NOCALLBACK;
    connection->request = request_build(url, lines);

    std::unique_ptr<HTTPRESPONSE> response;
    if (protocol_start(connection.get()) >= 0) {
        header_send(connection->request.get(), connection.get(), SIDE_SERVER, HEADER_TO_SERVER);
        response = response_read(connection.get(), body_max, beyond);
    }
    if (too_large != nullptr)
        *too_large = beyond;

    if (connection->server != nullptr && connection->keepalive_server == 1 && global != nullptr &&
        global->serverpool != nullptr) {
        const ServerKey key = serverpool_key(connection.get());
        global->serverpool->Add(std::move(connection->server), key);
    }
    connection->server.reset();
    return response.release();
}

void httpresponse_free(HTTPRESPONSE* response)
{
    delete response;
}

int httpresponse_code(const HTTPRESPONSE& response)
{
    return response.header != nullptr ? response.header->status : -1;
}
