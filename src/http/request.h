// The request pipeline: one request of a client connection, from the first byte of its header to
// the hand-over to a protocol handler, with the policy sections acting in a fixed order.
#pragma once

#include <cstdint>
#include <string_view>

struct CONNECTION_T;

// Bits of the bypass mask: each makes one filter skip the connection.
enum : std::uint32_t {
    BYPASS_URLFILTER = 0x1,      // f
    BYPASS_HEADER = 0x2,         // h
    BYPASS_MIME = 0x4,           // m
    BYPASS_REDIRECT = 0x8,       // r
    BYPASS_COOKIE = 0x10,        // c
    BYPASS_REWRITE = 0x20,       // w
    BYPASS_EXTERNAL = 0x40,      // e
    BYPASS_FORWARD = 0x80,       // p
    BYPASS_KEYWORD = 0x100,      // k
    BYPASS_DNSBL = 0x200,        // d
    BYPASS_LIMITS = 0x400,       // only by the bare command
    BYPASS_ANTIVIRUS = 0x800,    // a
    BYPASS_ICAP = 0x1000,        // i
    BYPASS_URLBLACKLIST = 0x2000,  // only by the bare command
};

// Serves one request on the connection thread that owns connection; the thread resets the
// per-request fields afterwards. Always 0: the caller learns the outcome from the connection
// (its keep-alive and failure flags).
int handle_request(CONNECTION_T* connection);

// The request's body, as the pipeline takes it before the request stages: checked against the
// upload allowance and counted in the bytes out, then read whole up to the upload buffer, the
// rest left on the client socket to be relayed (CONN_STREAM). A client waiting to be told to
// send it ("Expect: 100-continue") is told first. 1 when the request goes on; 0 when it has
// ended: refused over the allowance, or the body came short.
int request_body(CONNECTION_T* connection);

// Applies the request's "bypass" URL command to the connection's bypass mask when the admitting
// access rule grants the bypass permission.
void bypass_check(CONNECTION_T* connection);

// The mask after a "bypass" command: a bare command (no options) sets every bit; otherwise the
// option letters are read left to right, '+' and '-' choosing whether the letters after them set
// or clear their bits (initially set); other characters are ignored.
std::uint32_t bypass_apply(std::uint32_t mask, bool has_options, std::string_view options);

// Sets the client keep-alive flag from the request: never for CONNECT; "close" in Connection or
// Proxy-Connection wins; "keep-alive" in either keeps; with neither, HTTP/1.1 keeps.
void keepalive_check_client(CONNECTION_T* connection);
