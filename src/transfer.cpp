#include "transfer.h"

#include "connection.h"
#include "filebuf.h"
#include "socket.h"

long net_filebuf_send(Filebuf* buffer, CONNECTION_T* connection, int side)
{
    if (side == 0 && (connection->flags & CONN_NOCLIENT))
        return static_cast<long>(buffer->size());
    Socket* socket = side == 1 ? connection->server.get() : connection->client.get();
    if (socket == nullptr)
        return 0;
    return socket->WriteFilebuf(*buffer);
}
