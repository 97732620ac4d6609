// CONNECTION_T: the record that travels with one client connection from its accept to its close:
// the two sockets, the state of the request being served, the decisions the policy sections
// took for it, the request and response headers, the body buffer and the variable map.
//
// A record is used by one thread at a time (the accept loop, the client-pool poller, then one
// connection thread); the hand-over goes through their locks, so the record has none.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/logentry.h"
#include "core/owners.h"
#include "core/stats.h"
#include "util/atom.h"
#include "util/filebuf.h"
#include "util/stringutil.h"
#include "util/variables.h"

class General;

// Transfer-state bits of CONNECTION_T::flags; all cleared after each request.
enum : std::uint32_t {
    CONN_BUFFER = 0x1,            // buffer the whole response before sending it
    CONN_VALIDATE = 0x2,          // the cached copy is being revalidated
    CONN_VALIDATED = 0x4,         // the cached copy was validated during this request
    CONN_CACHE = 0x8,             // the response is being stored into the cache
    CONN_PROXY_AUTH = 0x10,       // upstream proxy authentication was already attempted
    CONN_OFFLINE = 0x20,          // answer only from the cache
    CONN_PROCESS = 0x40,          // the response body must pass the response stages
    CONN_POOLED = 0x80,           // the server connection came from the server pool
    CONN_LIMIT = 0x100,           // a transfer limit applies
    CONN_PREFETCH = 0x200,        // a prefetch request, without a client
    CONN_ENCODED = 0x400,         // encoded content was asked for a client that does not take it
    CONN_TRANSFER_FAILED = 0x800, // the transfer ended short
    CONN_HTTPS = 0x1000,          // the request carries the "https" URL command
    CONN_TLS = 0x2000,            // the upstream connection is to use TLS
    CONN_NOCLIENT = 0x4000,       // the client is gone or was let go: nothing is sent to it
    CONN_NOCALLBACK = 0x8000,     // no read callback on the server socket
    CONN_HEAD = 0x10000,          // no body to the client
    CONN_NOCACHE = 0x20000,       // no cache object for this request
    CONN_STREAM = 0x40000,        // the request body is streamed to the server
    CONN_SCAN_CLEAN = 0x100000,       // a virus scanner completed a scan that found nothing
    CONN_SCAN_INCOMPLETE = 0x200000,  // a virus scanner that applied gave no verdict
    // The request body is still on the client socket, to be relayed to the server. Left set at
    // the end of a request, it means the body was never consumed, so the client connection
    // cannot carry another request.
    CONN_BODY_PENDING = 0x80000000u,
};

// Permission bits of CONNECTION_T::access, granted by the admitting access rule.
enum : int {
    ACCESS_INTERFACE = 0x1,       // the web interface
    ACCESS_PROXY = 0x2,           // absolute-URI proxy requests
    ACCESS_TRANSPARENT = 0x4,     // origin-form requests
    ACCESS_HOST_HEADER = 0x8,     // the host of an origin-form request from its Host line
    ACCESS_CONNECT = 0x10,        // CONNECT requests
    ACCESS_BYPASS = 0x20,         // the "bypass" URL command is honoured
    ACCESS_URLCOMMAND = 0x40,     // other URL commands take effect
};

// Bits of CONNECTION_T::auth; they last as long as the connection.
enum : int {
    AUTH_EXTERNAL_FAILED = 0x1,   // an external authentication program refused: never run again
    AUTH_NEEDED = 0x2,            // credentials are asked for until a check succeeds
};

// CONNECTION_T::proxy_type: how the upstream is reached.
enum : int {
    UPSTREAM_HTTP = 0,            // an HTTP parent proxy
    UPSTREAM_SOCKS4 = 1,
    UPSTREAM_SOCKS5 = 2,
    UPSTREAM_CONNECT = 3,         // an HTTP parent, through a CONNECT tunnel
    UPSTREAM_DIRECT = 4,
};

// An allowance of this many bytes is no limit.
constexpr std::uint32_t ALLOWANCE_UNLIMITED = 0xFFFFFFFFu;

// A counted reference to a statistics object shared by the rule that admits clients and the
// connections it admitted; the last one dropped deletes the object.
using StatsRef = AtomRef<Stats>;

struct CONNECTION_T {
    int slot = 0;                     // thread-table slot of the serving thread
    std::uint32_t id = 0;             // client id of the log lines; never 0 once numbered
    std::uint32_t flags = 0;          // CONN_* bits
    int auth = 0;                     // AUTH_* bits
    SocketPtr client;   // null once the client was let go (CONN_NOCLIENT)
    SocketPtr server;   // the upstream of the current request
    int depth = 0;                    // link depth of a prefetch request; 0 for clients
    std::string ip;                   // the client's address, dotted
    int port = 0;                     // the port of the listener that accepted it
    std::string localip;              // the proxy's own address on this connection
    std::uint64_t requests = 0;       // requests completed on this connection
    int keepalive_client = 0;         // the client stays for another request
    int keepalive_server = 0;         // the server connection may go to the pool
    std::time_t buffer_deadline = 0;  // when a cached buffered download lets the client go; 0 none
    std::uint64_t bytes_in = 0;       // bytes received from upstream for this request
    std::uint32_t download_allowance = ALLOWANCE_UNLIMITED;
    std::uint64_t bytes_out = 0;      // request-body bytes of this request
    std::uint32_t upload_allowance = ALLOWANCE_UNLIMITED;
    std::string proxy_auth;           // the Proxy-Authorization value sent upstream, while sent
    std::string parent_host;          // the parent proxy or SOCKS server of this request
    int parent_port = 0;
    int proxy_type = UPSTREAM_DIRECT;
    std::string username;             // accepted by authentication
    std::string proxy_username;       // for the upstream proxy of this request
    std::string proxy_password;
    std::string proxy_domain;         // NTLM domain for the upstream proxy of this request
    std::string interface_username;   // a web-interface login
    std::string interface_password;
    int access = 0;                   // ACCESS_* bits of this request
    std::uint32_t bypass = 0;         // filters to skip; cleared only here, at creation
    UrlCommands url_commands;         // commands of the current request; null when it has none
    StringList profiles;              // emptied after each request
    // The general rule for these profiles, taken at each profile evaluation and dropped with the
    // profiles; null until then, and the general getters then resolve the rule afresh.
    std::shared_ptr<const General> general;
    HeaderPtr request;                // the parsed request
    HEADER* response = nullptr;       // borrowed: its builder owns and frees it
    std::unique_ptr<Filebuf> body;    // the request body, or a stage's answer
    HTMLStreamPtr htmlstream;         // the response body's parser (prefetching, "htmltree"); per request
    CacheRef cache;                   // the cache object of the current request; given back after it
    RequestVariables variables;       // emptied after each request
    StatsRef stats;                   // the admitting access rule's statistics
    LogEntry logentry;                // access-log and extended-log record of the current request
};

// Lends `standin` as the connection's response while a page is sent, and puts the previous
// response back whichever way the sender returns.
class ResponseLoan {
public:
    ResponseLoan(CONNECTION_T* connection, HEADER* standin)
        : connection_(connection), saved_(std::exchange(connection->response, standin))
    {
    }
    ~ResponseLoan() { connection_->response = saved_; }
    ResponseLoan(const ResponseLoan&) = delete;
    ResponseLoan& operator=(const ResponseLoan&) = delete;

private:
    CONNECTION_T* connection_;
    HEADER* saved_;
};

// Owns the response a protocol handler parsed and clears the connection's pointer to it
// whichever way the handler returns, so the pointer never outlives the header.
class ResponseSlot {
public:
    explicit ResponseSlot(CONNECTION_T* connection) : connection_(connection) {}
    ResponseSlot(const ResponseSlot&) = delete;
    ResponseSlot& operator=(const ResponseSlot&) = delete;
    ~ResponseSlot() { reset(); }
    void set(HeaderPtr header)
    {
        header_ = std::move(header);
        connection_->response = header_.get();
    }
    void reset()
    {
        if (connection_->response == header_.get())
            connection_->response = nullptr;
        header_.reset();
    }
    HEADER* get() const { return header_.get(); }

private:
    CONNECTION_T* connection_;
    HeaderPtr header_;
};

void connection_free(CONNECTION_T* connection);

// Forgets the upstream the forwarding rules chose for the request just served: the parent, its
// kind and the credentials for it. The next request's rule may name another parent or none,
// and credentials meant for one parent must never reach another.
void connection_upstream_clear(CONNECTION_T& connection);

struct ConnectionFree {
    void operator()(CONNECTION_T* connection) const noexcept { connection_free(connection); }
};
using ConnectionPtr = std::unique_ptr<CONNECTION_T, ConnectionFree>;

// A new record: nothing set, no sockets, allowances unlimited, upstream direct.
ConnectionPtr connection_new();
// The same for a client at ip, which also becomes the log entry's client.
ConnectionPtr connection_new(std::string_view ip);

// Closes a connection: counts it in the performance log (also when given none), logs
// "<ip> disconnected after making <n> requests", closes the client socket and frees the record
// with everything it still owns.
void net_close(ConnectionPtr connection);
