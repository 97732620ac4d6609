// The TLS client: sessions that a Socket reads and writes through once Socket::Encrypt has
// started one on its descriptor. Stand-in: no TLS library is linked yet, so no session can be
// started and the calls below that take a session are never reached.
#pragma once

#include <cstddef>
#include <memory>
#include <sys/types.h>

// One TLS session with its own context.
struct TlsSession;

// Shuts the session down (at most 5 shutdown calls, until one reports completion) and frees
// the session and its context; null does nothing.
void tls_session_free(TlsSession* session);

struct TlsSessionFree {
    void operator()(TlsSession* session) const noexcept { tls_session_free(session); }
};
using TlsSessionPtr = std::unique_ptr<TlsSession, TlsSessionFree>;

// Starts TLS on the connected, blocking descriptor fd: mode 1 performs a client handshake,
// any other mode is refused (the proxy never accepts TLS). Null when no session could be
// established; the descriptor is then left as it was.
TlsSessionPtr tls_start(int fd, int mode);

// As read(2) and write(2), through the session.
ssize_t tls_read(TlsSession* session, void* buffer, std::size_t length);
ssize_t tls_write(TlsSession* session, const void* buffer, std::size_t length);
