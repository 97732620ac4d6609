#include "daemon/connthread.h"

#include <algorithm>
#include <cstdint>

#include "cache/cache.h"
#include "daemon/clientpool.h"
#include "core/connection.h"
#include "core/global.h"
#include "policy/limit.h"
#include "util/log.h"
#include "core/options.h"
#include "core/performance.h"
#include "http/protocol.h"
#include "http/request.h"
#include "net/serverpool.h"
#include "core/threads.h"
#include "http/urlcommand.h"

namespace {

// Puts the connection back in the state it has between requests: the cache object closed (or
// invalidated after a failed transfer), every per-request field empty, the server connection
// pooled when it may be kept, else closed.
void request_reset(CONNECTION_T& connection)
{
    connection_cache_settle(connection);
    url_command_free(&connection);
    connection.htmlstream.reset();
    connection.body.reset();
    if (connection.keepalive_server == 1 && connection.server != nullptr && connection.request != nullptr)
        global->serverpool->Add(std::move(connection.server), serverpool_key(&connection));
    connection.server.reset();
    connection_upstream_clear(connection);
    connection.response = nullptr;
    connection.variables.clear();
    connection.profiles.clear();
    connection.general.reset();
    connection.access = 0;
    connection.request.reset();
}

// Serves one request and settles the connection afterwards: true when the client's next request
// is already there and is to be served on this thread; false when the connection went back to
// the client pool or was closed (`connection` is then null).
bool serve(ConnectionPtr& connection, int slot)
{
    thread_set_clientid(connection->id);
    handle_request(connection.get());
    performance_log->set_requests_completed(1);

    if (connection->bytes_in > 0 && connection->download_allowance == 0)
        putlog(LOG_LIMITS, "process: transfer prematurely terminated due to transfer limit restrictions");
    if (limit_section != nullptr)
        limit_section->update(connection.get());
    if ((connection->flags & CONN_TRANSFER_FAILED) != 0) {
        putlog(LOG_WARNING, "process: transfer failed");
        connection->keepalive_client = 0;
        connection->keepalive_server = 0;
    }
    request_reset(*connection);
    putlog(LOG_DEBUG, "process: keepalive_client = %d", connection->keepalive_client);

    if ((connection->flags & CONN_NOCLIENT) != 0 || connection->client == nullptr) {
        net_close(std::move(connection));
        return false;
    }
    ++connection->requests;
    connection->flags = 0;
    connection->client->Flush();
    if (connection->keepalive_client == 0) {
        net_close(std::move(connection));
        return false;
    }
    connection->keepalive_client = 0;

    Socket& client = *connection->client;
    if (client.input_length() > 0)
        return true;
    const int got = client.Read(nullptr, -1, keepalive_wait(slot));
    if (got > 0)
        return true;
    if (got == 0) {
        // The client has closed its side: nothing more can come.
        net_close(std::move(connection));
        return false;
    }
    putlog(LOG_DEBUG, "process: adding connection to pool");
    global->clientpool->Add(std::move(connection));
    return false;
}

} // namespace

int keepalive_wait(int slot)
{
    const std::int64_t factor = std::max(overload_factor, 1);
    const std::int64_t waited = static_cast<std::int64_t>(MAXTHREADS - slot) * CLIENT_POOL_TIMEOUT;
    const std::int64_t weight = MAXTHREADS + slot * factor;
    if (weight <= 0 || waited <= 0)
        return 0;
    return static_cast<int>(std::min<std::int64_t>(waited / weight, CLIENT_POOL_TIMEOUT));
}

void* process_entry(void* data)
{
    ConnectionPtr connection(static_cast<CONNECTION_T*>(data));
    const int slot = thread_find();
    {
        std::lock_guard lock(threadlistlock);
        threads[slot].arg = nullptr;
    }
    while (connection != nullptr) {
        connection->slot = slot;
        while (serve(connection, slot)) {
        }
        connection = thread_park(THREAD_TIMEOUT);
    }
    return nullptr;
}
