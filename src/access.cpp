#include "access.h"

#include "connection.h"
#include "processors.h"

AccessSection* access_section = nullptr;

AccessSection::AccessSection()
{
    processors.Add(access_auth, STAGE_AUTH);
}

int access_auth(CONNECTION_T* connection, Filebuf*)
{
    connection->access = ACCESS_INTERFACE | ACCESS_PROXY | ACCESS_TRANSPARENT | ACCESS_HOST_HEADER | ACCESS_CONNECT |
                         ACCESS_BYPASS | ACCESS_URLCOMMAND;
    return 0;
}
