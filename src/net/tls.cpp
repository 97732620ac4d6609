#include "net/tls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "util/descriptor.h"
#include "util/log.h"
#include "util/url.h"

struct TlsSession {
    SSL* ssl = nullptr;
    int fd = -1;
    int timeout = 0;           // seconds a read may wait for room to send what TLS itself needs
    bool wait_reads = false;   // reads may block: only once the handshake is over
    bool broken = false;       // a fatal error happened: no closing alert may be sent
    std::string retry;         // the plaintext of a write that must be repeated as it was
    std::size_t credit = 0;    // bytes of the caller's next offers that a repeat has already sent

    TlsSession() = default;
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;
    ~TlsSession()
    {
        if (ssl != nullptr)
            SSL_free(ssl);   // with its BIO
    }
};

namespace {

// One write never takes more than one record's plaintext, so that a repeat copies little.
constexpr std::size_t TLS_RECORD = 16384;

using SteadyClock = std::chrono::steady_clock;

// The BIO between a session and its descriptor. Sending never waits: a full descriptor is a
// retry, which the session's caller waits out within its own time-out. Receiving waits as the
// descriptor does, except during the handshake and the shutdown.
int bio_write(BIO* bio, const char* data, int length)
{
    const auto* session = static_cast<const TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = send(session->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        return -1;
    }
}

int bio_read(BIO* bio, char* data, int length)
{
    const auto* session = static_cast<const TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = recv(session->fd, data, static_cast<std::size_t>(length), session->wait_reads ? 0 : MSG_DONTWAIT);
        if (n == 0 && length > 0)
            BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        return -1;
    }
}

long bio_ctrl(BIO* bio, int command, long /*number*/, void* /*pointer*/)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        // The end of the stream, as the library needs to know to take it for one.
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
        return 0;
    }
}

BIO_METHOD* bio_method()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvodine socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, bio_write);
            BIO_meth_set_read(made, bio_read);
            BIO_meth_set_ctrl(made, bio_ctrl);
        }
        return made;
    }();
    return method;
}

// The one client context: the version-flexible method, no verification, no trust store, the
// library's default ciphers and versions. Kept for the life of the process.
SSL_CTX* client_context()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (made == nullptr) {
            putlog(LOG_ERROR, "tls: failed to create the client context");
            ERR_clear_error();
            return made;
        }
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        // A repeated write comes from the session's own copy of the bytes.
        SSL_CTX_set_mode(made, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_AUTO_RETRY);
        // Servers that end a response by closing without the closing alert are common; their
        // end is the end of the stream, as over plain TCP.
        SSL_CTX_set_options(made, SSL_OP_IGNORE_UNEXPECTED_EOF);
        return made;
    }();
    return context;
}

// Hands the caller up to length bytes of the credit a repeated write left.
ssize_t take_credit(TlsSession* session, std::size_t length)
{
    const std::size_t n = std::min(session->credit, length);
    session->credit -= n;
    return static_cast<ssize_t>(n);
}

} // namespace

void SSL_thread_setup()
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    client_context();
    bio_method();
}

void tls_session_free(TlsSession* session)
{
    if (session == nullptr)
        return;
    if (session->ssl != nullptr && !session->broken) {
        // The alert goes out if there is room; the peer's answer is not waited for.
        session->wait_reads = false;
        ERR_clear_error();
        for (int i = 0; i < 5; ++i) {
            if (SSL_shutdown(session->ssl) != 0)
                break;
        }
    }
    ERR_clear_error();
    delete session;
}

TlsSessionPtr tls_start(int fd, int mode, std::string_view host, int timeout)
{
    if (mode != 1 || fd < 0)
        return nullptr;
    SSL_CTX* context = client_context();
    BIO_METHOD* method = bio_method();
    if (context == nullptr || method == nullptr)
        return nullptr;

    ERR_clear_error();
    TlsSessionPtr session(new TlsSession);
    session->fd = fd;
    session->timeout = std::max(timeout, 0);
    session->broken = true;   // until the handshake is done
    session->ssl = SSL_new(context);
    if (session->ssl == nullptr)
        return nullptr;
    BIO* bio = BIO_new(method);
    if (bio == nullptr)
        return nullptr;
    BIO_set_data(bio, session.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(session->ssl, bio, bio);
    if (!host.empty() && isip(host) == 0)
        SSL_set_tlsext_host_name(session->ssl, std::string(host).c_str());
    SSL_set_connect_state(session->ssl);

    const auto deadline = SteadyClock::now() + std::chrono::seconds(session->timeout);
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_connect(session->ssl);
        if (rc == 1)
            break;
        const int error = SSL_get_error(session->ssl, rc);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        if (events == 0 || poll_until(fd, events, deadline) <= 0)
            return nullptr;
    }
    session->broken = false;
    session->wait_reads = true;
    return session;
}

ssize_t tls_read(TlsSession* session, void* buffer, std::size_t length)
{
    if (length == 0)
        return 0;
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(session->ssl, buffer, length, &got) == 1)
            return static_cast<ssize_t>(got);
        const int saved = errno;
        switch (SSL_get_error(session->ssl, 0)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_WRITE: {
            // TLS itself has something to send first (a key update, say).
            const auto deadline = SteadyClock::now() + std::chrono::seconds(session->timeout);
            if (poll_until(session->fd, POLLOUT, deadline) <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        case SSL_ERROR_SYSCALL:
            session->broken = true;
            errno = saved != 0 ? saved : EIO;
            return -1;
        default:
            session->broken = true;
            errno = EIO;
            return -1;
        }
    }
}

ssize_t tls_write(TlsSession* session, const void* buffer, std::size_t length)
{
    if (length == 0)
        return 0;
    if (session->credit > 0)
        return take_credit(session, length);

    // A write that found no room must be repeated with the same bytes; the caller may offer
    // fewer of them this time, so the session repeats its own copy.
    const bool repeat = !session->retry.empty();
    const char* data = repeat ? session->retry.data() : static_cast<const char*>(buffer);
    const std::size_t size = repeat ? session->retry.size() : std::min(length, TLS_RECORD);

    ERR_clear_error();
    std::size_t written = 0;
    if (SSL_write_ex(session->ssl, data, size, &written) == 1) {
        if (!repeat)
            return static_cast<ssize_t>(written);
        session->retry.clear();
        session->credit = written;
        return take_credit(session, length);
    }
    const int saved = errno;
    const int error = SSL_get_error(session->ssl, 0);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        if (!repeat)
            session->retry.assign(data, size);
        errno = EAGAIN;
        return -1;
    }
    session->broken = true;
    errno = error == SSL_ERROR_SYSCALL && saved != 0 ? saved : EPIPE;
    return -1;
}

std::size_t tls_pending(const TlsSession* session)
{
    const int pending = SSL_pending(session->ssl);
    return pending > 0 ? static_cast<std::size_t>(pending) : 0;
}
