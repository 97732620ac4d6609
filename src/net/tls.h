// The TLS client: sessions that a Socket reads and writes through once Socket::Encrypt has
// started one on its descriptor. The proxy speaks TLS only as a client, towards origin servers,
// and checks no certificate, host name or chain.
//
// Every session is made from one client context shared by the whole process. A session is used
// by one thread at a time. Writes and the final shutdown never wait on a peer that does not
// read: a write that finds no room gives EAGAIN, and the Socket waits within its write time-out.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <sys/types.h>

// Initialises the TLS library and creates the shared client context; called once by the
// bring-up before any connection thread runs. The library locks its shared state itself.
void SSL_thread_setup();

// One TLS session on a connected descriptor.
struct TlsSession;

// Sends the peer a closing alert when the session is still sound (at most 5 shutdown calls,
// none of which waits for the peer) and frees the session; null does nothing. The descriptor
// stays open.
void tls_session_free(TlsSession* session);

struct TlsSessionFree {
    void operator()(TlsSession* session) const noexcept { tls_session_free(session); }
};
using TlsSessionPtr = std::unique_ptr<TlsSession, TlsSessionFree>;

// Starts TLS on the connected descriptor fd: mode 1 performs a client handshake, any other mode
// is refused (the proxy never accepts TLS). host, unless empty or an address, is named to the
// server (SNI). The handshake must end within timeout seconds. Null when no session could be
// established; the descriptor is then left as it was (bytes of the failed handshake excepted).
TlsSessionPtr tls_start(int fd, int mode, std::string_view host, int timeout);

// As read(2): the bytes of at most one record, 0 at the end of the stream, -1 with errno set
// (EAGAIN only on a non-blocking descriptor).
ssize_t tls_read(TlsSession* session, void* buffer, std::size_t length);
// As send(2) with MSG_DONTWAIT: the bytes taken (at most one record's worth), or -1 with errno
// EAGAIN when the descriptor has no room now, or another errno when the session failed. After
// EAGAIN the caller offers the same bytes again, from the same first byte; it may offer fewer.
ssize_t tls_write(TlsSession* session, const void* buffer, std::size_t length);
// Bytes the session has decrypted and not yet delivered: a wait on the descriptor does not see
// them.
std::size_t tls_pending(const TlsSession* session);
