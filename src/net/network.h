// The proxy's TCP layer: the listener table and the accept that turns a client into a
// CONNECTION_T, outgoing connects with their time-out and socket tuning, the SOCKS4 and SOCKS5
// handshakes, and the two-way relay of a CONNECT tunnel. IPv4 only.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/connection.h"

class Socket;

// Slots of the listener table.
constexpr int MAXLISTENERS = 20;

// One listener. Slots in use are always the lowest ones: they are taken from the bottom and
// only ever freed all at once.
struct Listener {
    int state = 0;       // 1 listening, 0 free
    int fd = -1;
    int port = 0;
    std::string ip;      // the address bound to; empty for every address
};

// Written during start-up and by the shutdown handlers, read by the accept on the main thread.
extern Listener socklist[MAXLISTENERS];

// Where the system's connection backlog limit is read from.
extern std::string somaxconn_file;

// Outcomes of connects and SOCKS handshakes besides a descriptor (or 1 for a handshake); each
// names the template that answers the client.
enum : int {
    NET_UNKNOWN = -1,     // no host or port, or a SOCKS4 answer of an unknown kind: "unknown"
    NET_NOCONNECT = -2,   // no connection, or the SOCKS server refused or answered short: "noconnect"
    NET_NODNS = -3,       // the host name did not resolve: "nodns"
    NET_BADAUTH = -4,     // the SOCKS4 server rejected the user id: "badauth"
    NET_SELF = -5,        // the address and port are the proxy's own listener's: refused, never connected
};

// The wait for each SOCKS reply when the caller gives none: the default connect time-out.
constexpr int SOCKS_TIMEOUT = 60;

// Marks every listener slot free and makes the wake-up through which other threads reach the
// accepting thread; once, before any listener is opened.
void net_init();

// Opens a listener on port (1 to 65535) of the dotted IPv4 address (null: every address), logging
// the socket's buffer and keep-alive settings at the network category. The slot index, or -1
// after "error: failed to bind to <address>:<port>": no free slot, an address or port that is
// not valid, or a socket, bind or listen that fails.
int net_listen(int port, const char* address);

// Closes every listener and frees its slot; nothing reopens them. Only on the thread that
// accepts (or before it accepts): a descriptor closed under its wait could be reused meanwhile.
void net_listen_closeall();

// From any other thread: asks the thread waiting in net_accept to close every listener and waits
// up to `wait` for it to have done so. True when the listeners were closed in time; false when
// they were not (the accepting thread closes them at its next wait) or net_init has not run.
bool net_listen_closeall_request(std::chrono::milliseconds wait);

// Waits up to timeout seconds (-1: without limit) for a client on any listener and returns the
// first one accepted as a new record with its client socket, address, listening port and local
// address; null when none came or the accept failed (logged), and null after it has closed the
// listeners on another thread's request (net_listen_closeall_request).
ConnectionPtr net_accept(int timeout);

// Whether a connection to the IPv4 address (network byte order) and port would reach one of the
// proxy's own listeners: one bound to that address, or one bound to every address when the
// address is the machine's own (0.0.0.0 reaching the loopback). Cheap for every other port: the
// machine's addresses are looked up only when a listener on every address has that port.
bool net_listener_reached(in_addr_t address, int port);

// Connects to host:port (port 1 to 65535) from the local address (null or empty: any), waiting
// up to timeout seconds (-1: as long as the system tries). A blocking, close-on-exec descriptor,
// or NET_UNKNOWN, NET_NOCONNECT or NET_NODNS; with not_own_listener, NET_SELF when the resolved
// address and the port are the proxy's own listener's (a request sent there would come back to
// the proxy as a client of its own address). Every outcome is counted in the "network"
// statistics and the performance log.
int net_connect(const char* host, int port, const char* local, int timeout, bool not_own_listener = false);
int net_connect(const char* host, int port, int timeout);
int net_connect(const char* host, int port);

// The SOCKS handshakes on a socket connected to the SOCKS server, each reply waited for up to
// timeout seconds. 1 when the tunnel to host:port stands, else a negative outcome. SOCKS4 sends
// the resolved address and the proxy's user name (at most 255 characters) as user id. SOCKS5
// offers no authentication and user name with password, and sends the host name unresolved;
// host, user and password must each fit in 255 bytes. The reply's bound address is consumed
// exactly: bytes the tunnel carries after it stay in the socket's input.
int socks4_handshake(Socket& socket, const char* host, int port, int timeout = SOCKS_TIMEOUT);
int socks5_handshake(Socket& socket, std::string_view host, int port, std::string_view user,
                     std::string_view password, int timeout = SOCKS_TIMEOUT);

// Relays between the connection's client and server sockets until either side ends or fails,
// or until length bytes (-1: no limit) have passed; the bytes relayed in both directions.
std::uint64_t net_proxy(CONNECTION_T* connection, std::int64_t length);
