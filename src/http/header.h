// HEADER: one parsed HTTP or ICAP message header, request or response; HTTP_HEADER: one of its
// lines. Reading a header block from a socket, the parsers, and the header writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/owners.h"

class Filebuf;
struct CONNECTION_T;

// Kinds of header.
enum : int {
    HEADER_CONNECT = 0,
    HEADER_RESPONSE = 1,
    HEADER_ABSOLUTE = 2,       // request with an absolute URI
    HEADER_ORIGIN = 3,         // request with a path only
    HEADER_ICAP_REQUEST = 4,
    HEADER_ICAP_RESPONSE = 5,
};

// Version codes: every version text other than HTTP/1.1 counts as 1.0.
enum : int {
    HTTP_VERSION_09 = 0,
    HTTP_VERSION_10 = 1,
    HTTP_VERSION_11 = 2,
};

// Bits of HEADER::flags.
enum : int {
    HEADER_FILTERED = 0x1,      // the writer emits the filtered lines instead of the received ones
    HEADER_LENGTH = 0x2,        // content_length is known
    HEADER_DEFAULT_PORT = 0x4,  // the request named no port: the scheme's default was used
    HEADER_LENGTH_BESIDE_CODING = 0x8,   // a Content-Length came beside a transfer coding, which framed
                                         // the body: the sender's framing is in doubt
};

// HTTP_HEADER::type.
enum : int {
    HTTP_HEADER_FIELD = 0,  // held in a HEADER field, or hop-by-hop: regenerated or left out
    HTTP_HEADER_PASS = 1,   // copied out as received
};

// Writing modes of header_send and header_send_filebuf; mode 5 is written as HEADER_TO_CLIENT,
// any other mode gets only the start line, the lines and the body framing.
enum : int {
    HEADER_TO_SERVER = 0,   // a request to an origin server; the ICAP request header itself
    HEADER_TO_PARENT = 1,   // a request to an upstream proxy; an HTTP request inside ICAP
    HEADER_TO_CLIENT = 2,   // a response to the client; an HTTP response inside ICAP
};

// header_get collects a block in this area: lines, the closing "\r\n" and a terminator.
constexpr std::size_t HEADER_AREA = 4096;
// The most of one header line that is recorded.
constexpr std::size_t HEADER_LINE_MAX = 4095;
constexpr std::size_t HEADER_METHOD_MAX = 23;
constexpr std::size_t HEADER_URI_MAX = 2047;
constexpr std::size_t HEADER_STATUS_LINE_MAX = 255;

// Absent texts are nullopt; a line received with an empty value gives an empty string.
using HeaderText = std::optional<std::string>;

// The text for a C-string consumer (a log line, a variable): "" when absent.
inline const char* text_or_empty(const HeaderText& text) { return text ? text->c_str() : ""; }
// The text with its length: empty when absent.
inline std::string_view text_view(const HeaderText& text) { return text ? std::string_view(*text) : std::string_view(); }

struct HTTP_HEADER {
    int type = HTTP_HEADER_PASS;
    std::string name;    // as received
    std::string value;
};

struct HEADER {
    HeaderText raw;             // the block as received, up to and including its blank line
    HeaderText url;             // "scheme://host:port/path", from header_complete
    int kind = HEADER_CONNECT;
    int version = HTTP_VERSION_10;
    int port = 0;
    int status = -1;            // -1 when not known
    std::int64_t content_length = 0;   // valid with HEADER_LENGTH
    int chunked = 0;
    int keepalive = -1;         // Connection: -1 not given, 0 close, 1 keep-alive
    int proxy_keepalive = -1;   // the same for Proxy-Connection
    HeaderText url_user, url_password;   // credentials of the request URI, decoded
    HeaderText method;
    HeaderText scheme;          // lower case; "connect" for CONNECT
    HeaderText host;            // decoded, lower case
    HeaderText path;
    HeaderText referer, user_agent, location, content_type, content_encoding, accept_encoding;
    HeaderText www_authenticate, authorization, range, proxy_authenticate, proxy_authorization;
    HeaderText host_header;     // the Host line's value
    HeaderText mime;            // content_type up to its first ';'
    HeaderText cache_control, expires, if_modified_since, last_modified;
    HeaderText warning, age;    // set only by the proxy itself
    HeaderText x_cache;         // the first X-Cache received
    HeaderText x_forwarded_for, via, encapsulated;
    std::list<HTTP_HEADER> lines;      // every recorded line in order of arrival
    std::list<HTTP_HEADER> filtered;   // what the header filter keeps and adds
    int flags = 0;

    // Every request builds and frees two headers, each too large for the allocator's caches of
    // small blocks (a large request also makes it merge every cached small block): a thread
    // keeps a few freed ones for its next requests.
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;
};

// An empty header: texts absent, status -1, both keep-alive fields -1. The caller sets kind,
// version, port and Content-Length.
HeaderPtr header_new();
// An HTTP/1.1 302 answer to location with an empty body (Content-Length: 0).
HeaderPtr header_redirect_new(std::string location);
// A deep copy; null for null.
HeaderPtr http_header_dup(const HEADER* header);
// Null is ignored.
void http_header_free(HEADER* header);
inline void header_free(HEADER* header) { http_header_free(header); }

// text: a request header block; bytes are data, NUL included. Null when the request line does
// not parse or the request is malformed (a port outside 1..65535, an empty host or one with
// control bytes or one of ":/@", an unusable Content-Length or Transfer-Encoding, a bad Host
// line, white space between a line's name and its colon).
HeaderPtr http_header_parse_request(std::string_view text);
// A response header of kind HEADER_RESPONSE; a first line that is no status line gives an
// HTTP/0.9 header (status 200, no lines). Null when the first line is missing or too long,
// the status is not positive, or the Content-Length is unusable.
HeaderPtr http_header_parse_response(std::string_view text);
// Records the lines that follow the first line of text into header->lines and the fields.
// -1 when a Content-Length is not a plain decimal count or two of them differ; header then
// holds what was recorded so far.
int http_header_list_parse(HEADER* header, std::string_view text);

// The bytes up to and including the blank line that ends the block, at most maximum; the
// whole text when it has none.
std::size_t header_length(std::string_view text, std::size_t maximum);
// 1 (a response) when text begins with "HTTP/" compared over min(length, 5) characters
// without regard to case; else 3.
int header_type(std::string_view text, std::size_t length);
// Rebuilds the full URL from scheme, host, port and path.
void header_complete(HEADER* header);

// The host and port of a Host line value "host[:port]", blanks around it ignored. The host is lower-cased; default_port
// stands when no port is written. Nullopt for an empty host, a host byte at or below 0x20, at
// or above 0x7F or one of "/@", or a port that is not plain decimal in 1..65535.
struct HostPort {
    std::string host;
    int port = 0;
};
std::optional<HostPort> http_host_split(std::string_view value, int default_port);

// One header block read from the client (SIDE_CLIENT) or the server (SIDE_SERVER) within timeout
// seconds, closed with "\r\n" when its blank line came; blank lines before it are skipped.
// Without a blank line: what was collected when the sender closed or the other socket ended
// the read, nullopt when nothing was or the time-out cut the block off. A block that does not
// fit HEADER_AREA is refused: nullopt with *too_large set, and the connection must not go on.
// Bytes read beyond the block stay in the socket's input. *other_gone is set when the read of
// a server's header ended because the client's socket ended or failed.
std::optional<std::string> header_get(CONNECTION_T* connection, int side, int timeout, bool* too_large = nullptr,
                                      bool* other_gone = nullptr);

// What the writer does with a Cookie or Set-Cookie line (a name beginning with either) outside
// an ICAP header: the cookie filter judges it and gives the value to write, or nullopt to leave
// the line out. The cookie section sets it when it is created; without it the lines are written
// as every other line is.
using CookieLineFilter = std::optional<std::string> (*)(const HEADER& header, const HTTP_HEADER& line,
                                                        CONNECTION_T* connection);
void header_set_cookie_filter(CookieLineFilter filter);

// Appends the serialised header to buffer in one of the writing modes. connection gives the
// client keep-alive flag, the upstream credentials and the cookie rules' context; it may be
// null, and every cookie line is then kept.
void header_send_filebuf(Filebuf* buffer, const HEADER* header, CONNECTION_T* connection, int mode);
// Writes the header to the client (SIDE_CLIENT: nothing without a client), the server
// (SIDE_SERVER), or the client without that check (SIDE_CLIENT_ALWAYS), and flushes that
// socket; 0.
int header_send(HEADER* header, CONNECTION_T* connection, int target, int mode);
// As header_send to the client (SIDE_CLIENT), except that the header waits in the client
// socket (Socket::Hold) and goes out in one send with the first body bytes written after it:
// for a body whose first bytes are already at hand. A flush sends it alone.
int header_send_held(HEADER* header, CONNECTION_T* connection, int mode);

// Appends this proxy to the request's Via.
void via_header_update(CONNECTION_T* connection);
// Appends "HIT" (miss 0) or "MISS" from this proxy to the response's X-Cache.
void xcache_header_update(CONNECTION_T* connection, int miss);
// Sets the variable prefix[name lower-cased] to the value of each line; of repeated names the
// last wins.
void header_variables(CONNECTION_T* connection, std::string_view prefix, const std::list<HTTP_HEADER>& lines);

// The request's host name and the response's Content-Type counted in the statistics, each a
// counter of its own made on first sight, in the global object and the access rule's; nothing
// is counted while the header lacks the value.
void statincr_hosts(CONNECTION_T* connection);
void statincr_mimes(CONNECTION_T* connection);
