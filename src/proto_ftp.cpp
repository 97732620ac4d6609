#include "proto_ftp.h"

#include "connection.h"
#include "template.h"

int protocol_ftp(CONNECTION_T* connection)
{
    if (template_section->send("badprotocol", connection, 501) == 0)
        connection->keepalive_client = 0;
    connection->keepalive_server = 0;
    return 1;
}
