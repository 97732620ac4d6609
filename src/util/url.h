// The URL record and the helpers that parse, print, compare and clean URLs, percent-encoding,
// the FTP address argument, and the small tables the request code shares.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>

struct URL {
    std::string user;       // empty when the URL names none
    std::string password;   // empty when the URL names none
    std::string scheme;     // lower case
    std::string host;       // lower case, only bytes 0x21 to 0x7F
    std::string path;       // starts with '/', no fragment, at most URL_PATH_MAX characters
    int port = 0;           // from the URL, else protocol_port(scheme)
};

constexpr std::size_t URL_PATH_MAX = 2047;

// "scheme://[user:password@]host[:port][/path]"; nullopt when malformed. The two characters
// after the scheme's ':' are skipped unread. A port written in the URL must lie in 1..65535.
std::optional<URL> url_parse(std::string_view text);
// "scheme://host:port/path", the port always written, at most 1,023 characters.
std::string url_create(const URL& url);
// 1 when both name the same resource: credentials compared only when both URLs have them.
int urlcmp(const URL& a, const URL& b);
// Keeps only the bytes 0x21 to 0x7F.
std::string& url_strip(std::string& s);
std::string url_path_fix(std::string_view path);
// Both read at most n bytes of s and stop at a zero byte.
std::string url_encode(std::string_view s, std::size_t n = std::string_view::npos);
// A decoded zero byte ends the result.
// With plus_is_space false a '+' stays itself: host names carry it in URL-command options.
std::string url_decode(std::string_view s, std::size_t n = std::string_view::npos, bool plus_is_space = true);
// One HTML link per directory level of path, the root first.
std::string path_to_url(std::string_view path);
// A new absolute path with "." and ".." resolved.
std::string resolve_path(std::string_view path);

// The one spelling of a request's host and path that rules match against, so that a rule sees
// what every origin and resolver sees, whichever way the client wrote it. What is forwarded
// stays as the client sent it.
//
// The host: one final dot removed; a numeric host in any form the resolver takes (one to four
// parts, each decimal, octal with a leading 0 or hexadecimal with 0x: 127.1, 2130706433,
// 0177.0.0.1, 127.000.000.001, 0x7f.1) written in dotted decimal. Any other host as it is.
std::string url_host_canonical(std::string_view host);
// The path: every percent-escape of an unreserved character (letters, digits, "-._~") decoded;
// other escapes and bytes as they are.
std::string url_path_canonical(std::string_view path);

// A request's host and path in their canonical spellings, made once for all the rules of a
// check; the views point into the given texts when these are already canonical, which is the
// common case and costs no copy.
class UrlMatchText {
public:
    UrlMatchText(std::string_view host, std::string_view path);
    UrlMatchText(const UrlMatchText&) = delete;
    UrlMatchText& operator=(const UrlMatchText&) = delete;

    std::string_view host() const { return host_; }
    std::string_view path() const { return path_; }

private:
    std::string host_storage_, path_storage_;
    std::string_view host_, path_;
};

// "h1,h2,h3,h4,p1,p2" for an IPv4 address and port.
std::string ftpport_create(const sockaddr_in& address);
// The address of a six-number FTP argument (the text after the '(' of a 227 reply); nullopt
// unless there are exactly six numbers, each 0 to 255.
std::optional<sockaddr_in> ftpport_parse(std::string_view text);

int protocol_port(std::string_view scheme);
// 1 for a dotted quad of four decimal numbers 0 to 255, without leading zeros; else 0.
int isip(std::string_view s);
// The reason phrase written after a status code.
const char* code_to_error(int status);
// The template answering a failed upstream connection code (-4 to -1).
const char* error_to_template(int code);
