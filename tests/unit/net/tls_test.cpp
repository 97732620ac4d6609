#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "core/options.h"
#include "net/socket.h"
#include "net/tls.h"

namespace {

// A bound on a broken test, not a measured time.
constexpr auto HANG = std::chrono::seconds(30);

struct SslCtxFree {
    void operator()(SSL_CTX* context) const noexcept { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};

// A server context with a freshly made self-signed certificate valid from not_before to
// not_after seconds from now.
std::unique_ptr<SSL_CTX, SslCtxFree> server_context(long not_before, long not_after)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), not_before);
    X509_gmtime_adj(X509_getm_notAfter(cert), not_after);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    std::unique_ptr<SSL_CTX, SslCtxFree> context(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(context.get(), cert);
    SSL_CTX_use_PrivateKey(context.get(), key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return context;
}

// The two ends of a stream: `mine` for the code under test, the server's end run by a thread
// that accepts TLS on it and then runs `after` with its session.
struct TlsPeer {
    int mine = -1;
    int theirs = -1;
    std::unique_ptr<SSL_CTX, SslCtxFree> context;
    std::unique_ptr<SSL, SslFree> ssl;
    std::thread thread;
    bool accepted = false;
    std::string servername;   // as the client named it, empty when it did not

    explicit TlsPeer(long not_before = 0, long not_after = 86400)
        : context(server_context(not_before, not_after))
    {
        // The server's writes go through the library's own BIO; the proxy ignores the signal too.
        std::signal(SIGPIPE, SIG_IGN);
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        mine = pair[0];
        theirs = pair[1];
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;
    ~TlsPeer()
    {
        // A test that stopped early must not leave the server waiting for it.
        if (mine >= 0)
            shutdown(mine, SHUT_RDWR);
        join();
        if (mine >= 0)
            close(mine);
        if (theirs >= 0)
            close(theirs);
    }

    void serve(std::function<void(SSL*)> after = nullptr)
    {
        thread = std::thread([this, after] {
            ssl.reset(SSL_new(context.get()));
            SSL_set_fd(ssl.get(), theirs);
            accepted = SSL_accept(ssl.get()) == 1;
            if (const char* name = SSL_get_servername(ssl.get(), TLSEXT_NAMETYPE_host_name); name != nullptr)
                servername = name;
            if (accepted && after)
                after(ssl.get());
            ERR_clear_error();
        });
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    // The socket under test takes over `mine`.
    SocketPtr socket()
    {
        auto made = std::make_unique<Socket>(mine);
        mine = -1;
        return made;
    }
};

// Reads exactly n bytes through the server's session.
std::string server_read(SSL* ssl, std::size_t n)
{
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const int r = SSL_read(ssl, out.data() + got, static_cast<int>(n - got));
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
}

// The n-th byte of the test stream.
char pattern(std::size_t n)
{
    return static_cast<char>('a' + (n * 7 + n / 251) % 26);
}

TEST(Tls, AnyCertificateIsAcceptedAndTheServerNamed)
{
    struct Case {
        const char* name;
        long not_before, not_after;
        const char* host;
        const char* servername;
    };
    const Case cases[] = {
        {"self-signed", 0, 86400, "origin.test", "origin.test"},
        {"expired", -2 * 86400, -86400, "origin.test", "origin.test"},
        {"not yet valid", 86400, 2 * 86400, "origin.test", "origin.test"},
        {"an address is not named", 0, 86400, "127.0.0.1", ""},
        {"no host", 0, 86400, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsPeer peer(c.not_before, c.not_after);
        peer.serve([](SSL* ssl) {
            if (server_read(ssl, 4) == "ping")
                SSL_write(ssl, "pong", 4);
        });
        SocketPtr sock = peer.socket();
        ASSERT_EQ(sock->Encrypt(1, c.host), 1);
        EXPECT_EQ(sock->tls(), 1);
        ASSERT_EQ(sock->Write("ping", 4), 4);
        char buf[8];
        ASSERT_EQ(sock->Read(buf, 4, 5), 4);
        EXPECT_EQ(std::string(buf, 4), "pong");
        peer.join();
        EXPECT_TRUE(peer.accepted);
        EXPECT_EQ(peer.servername, c.servername);
    }
}

TEST(Tls, HandshakesThatCannotSucceedLeaveThePlainSocket)
{
    struct Case {
        const char* name;
        const char* answer;   // what the peer sends instead of a handshake; null: nothing
        int mode;
    };
    const Case cases[] = {
        {"a plain HTTP answer", "HTTP/1.0 400 Bad Request\r\n\r\n", 1},
        {"a silent peer, within the write time-out", nullptr, 1},
        {"the server side is never taken", nullptr, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        if (c.answer != nullptr) {
            ASSERT_GT(write(pair[1], c.answer, std::char_traits<char>::length(c.answer)), 0);
        }
        Socket sock(pair[0]);
        sock.SetTimeout(0);
        EXPECT_EQ(sock.Encrypt(c.mode, "origin.test"), 0);
        EXPECT_EQ(sock.tls(), 0);
        close(pair[1]);
    }
}

TEST(Tls, DecryptedBytesBeyondARequestedLengthAreNotOverlooked)
{
    // A whole record arrives at once; the reads ask for less and, as the transfer loops do,
    // wait on the descriptor whenever the socket holds no input: nothing more arrives there
    // until the client is done.
    const std::string record(16384, 'r');
    std::promise<void> done;
    std::shared_future<void> finished = done.get_future().share();
    TlsPeer peer;
    peer.serve([&](SSL* ssl) {
        SSL_write(ssl, record.data(), static_cast<int>(record.size()));
        finished.wait_for(HANG);
    });
    SocketPtr sock = peer.socket();
    ASSERT_EQ(sock->Encrypt(1), 1);

    const int saved = BLOCKSIZE;
    BLOCKSIZE = 4096;
    std::string got;
    char buf[1000];
    while (got.size() < record.size()) {
        pollfd p{sock->fd(), POLLIN, 0};
        if (sock->input_length() == 0 && poll(&p, 1, 5000) <= 0)
            break;
        const int n = sock->Read(buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    BLOCKSIZE = saved;
    done.set_value();
    EXPECT_EQ(got.size(), record.size());
    EXPECT_TRUE(got == record);
}

TEST(Tls, WritesToAPeerThatDoesNotReadNeitherWaitNorLoseTheirOrder)
{
    // Whole records go out until the descriptor is full; after that refusal the client offers
    // the stream in pieces of changing size, starting with fewer bytes than the refused write.
    // The server must see every byte once, in order.
    constexpr std::size_t TOTAL = 3 * 1024 * 1024;
    std::promise<void> go;
    std::shared_future<void> reading = go.get_future().share();
    std::string received;
    TlsPeer peer;
    peer.serve([&](SSL* ssl) {
        reading.wait_for(HANG);
        received = server_read(ssl, TOTAL);
    });
    TlsSessionPtr session = tls_start(peer.mine, 1, "", 5);
    ASSERT_NE(session, nullptr);

    std::string stream(TOTAL, '\0');
    for (std::size_t i = 0; i < TOTAL; ++i)
        stream[i] = pattern(i);
    std::size_t sent = 0;
    int refusals = 0;
    const std::size_t sizes[] = {1, 100, 20000, 5000, 70000};
    std::size_t turn = 0;
    const auto deadline = std::chrono::steady_clock::now() + HANG;
    while (sent < TOTAL && std::chrono::steady_clock::now() < deadline) {
        const std::size_t offer = std::min(refusals == 0 ? 16384 : sizes[turn++ % std::size(sizes)], TOTAL - sent);
        const ssize_t n = tls_write(session.get(), stream.data() + sent, offer);
        if (n > 0) {
            ASSERT_LE(static_cast<std::size_t>(n), offer);
            sent += static_cast<std::size_t>(n);
            continue;
        }
        ASSERT_EQ(errno, EAGAIN);
        if (++refusals == 1)
            go.set_value();   // the descriptor is full: from now on the server reads
        pollfd p{peer.mine, POLLOUT, 0};
        poll(&p, 1, 1000);
    }
    ASSERT_GT(refusals, 0);
    ASSERT_EQ(sent, TOTAL);
    session.reset();
    peer.join();
    ASSERT_EQ(received.size(), TOTAL);
    EXPECT_TRUE(received == stream);
}

TEST(Tls, ASocketClosesWithinItsWriteTimeOutWhenThePeerDoesNotRead)
{
    std::promise<void> go;
    std::shared_future<void> closed = go.get_future().share();
    TlsPeer peer;
    peer.serve([&](SSL*) { closed.wait_for(HANG); });
    SocketPtr sock = peer.socket();
    ASSERT_EQ(sock->Encrypt(1), 1);
    sock->SetTimeout(0);
    const std::string big(4 * 1024 * 1024, 'x');
    ASSERT_GE(sock->Write(big.data(), static_cast<long>(big.size())), 0);
    EXPECT_GT(sock->output_length(), 0u);

    // The final flush and the closing alert must not wait for room that never comes.
    std::future<void> closing = std::async(std::launch::async, [&] { sock.reset(); });
    EXPECT_EQ(closing.wait_for(HANG), std::future_status::ready);
    go.set_value();
}

TEST(Tls, TheStreamEndsWithOrWithoutAClosingAlert)
{
    for (const bool alert : {true, false}) {
        SCOPED_TRACE(alert ? "closing alert" : "plain close");
        TlsPeer peer;
        peer.serve([&](SSL* ssl) {
            SSL_write(ssl, "bye", 3);
            if (alert)
                SSL_shutdown(ssl);
            shutdown(SSL_get_fd(ssl), SHUT_RDWR);
        });
        SocketPtr sock = peer.socket();
        ASSERT_EQ(sock->Encrypt(1), 1);
        char buf[8];
        ASSERT_EQ(sock->Read(buf, 3, 5), 3);
        EXPECT_EQ(std::string(buf, 3), "bye");
        EXPECT_EQ(sock->Read(buf, sizeof buf, 5), 0);
        peer.join();
    }
}

} // namespace
