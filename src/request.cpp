#include "request.h"

#include "connection.h"

int handle_request(CONNECTION_T* connection)
{
    connection->keepalive_client = 0;
    return 0;
}

void bypass_check(CONNECTION_T*) {}

void keepalive_check_client(CONNECTION_T* connection)
{
    connection->keepalive_client = 0;
}
