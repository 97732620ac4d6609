#include "connect.h"

#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "network.h"
#include "proxyauth.h"
#include "statgroups.h"
#include "template.h"
#include "transfer.h"

namespace {

const char* host_of(const HEADER* header)
{
    return header->host ? header->host->c_str() : "";
}

// The parent's answer to a CONNECT; null when none came or it does not parse.
HeaderPtr connect_answer(CONNECTION_T* connection)
{
    const HeaderText text = header_get(connection, SIDE_SERVER, general_section->timeout_get(connection));
    return text ? http_header_parse_response(*text) : nullptr;
}

} // namespace

int protocol_connect(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const char* host = host_of(request);
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
                // The client is never asked for the parent's credentials.
                response->proxy_authenticate.reset();
            } else if (response->status == 200) {
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
                   host_of(connection->request.get()), connection->request->port);
            connection->flags |= CONN_PROXY_AUTH;
            continue;
        }
        result = 1;
        break;
    }
    connection->response = nullptr;
    connection->request = std::move(client_request);
    return result;
}
