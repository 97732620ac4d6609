#include "core/connection.h"

#include <cinttypes>

#include "util/log.h"
#include "core/performance.h"

ConnectionPtr connection_new()
{
    return ConnectionPtr(new CONNECTION_T);
}

ConnectionPtr connection_new(std::string_view ip)
{
    ConnectionPtr connection = connection_new();
    connection->ip = ip;
    connection->logentry.client = ip;
    return connection;
}

void connection_free(CONNECTION_T* connection)
{
    // Everything the record still holds goes with it, sockets and request state included.
    delete connection;
}

void connection_upstream_clear(CONNECTION_T& connection)
{
    connection.parent_host.clear();
    connection.parent_port = 0;
    connection.proxy_type = UPSTREAM_DIRECT;
    connection.proxy_username.clear();
    connection.proxy_password.clear();
    connection.proxy_domain.clear();
    connection.proxy_auth.clear();
}

void net_close(ConnectionPtr connection)
{
    performance_log->set_connections_closed(1);
    if (connection == nullptr)
        return;
    putlog(LOG_NETWORK, "%s disconnected after making %" PRIu64 " requests", connection->ip.c_str(),
           connection->requests);
    connection->client.reset();
}
