#include "tls.h"

#include <cerrno>

void tls_session_free(TlsSession* /*session*/) {}

TlsSessionPtr tls_start(int /*fd*/, int /*mode*/)
{
    return nullptr;
}

ssize_t tls_read(TlsSession* /*session*/, void* /*buffer*/, std::size_t /*length*/)
{
    errno = ENOTSUP;
    return -1;
}

ssize_t tls_write(TlsSession* /*session*/, const void* /*buffer*/, std::size_t /*length*/)
{
    errno = ENOTSUP;
    return -1;
}
