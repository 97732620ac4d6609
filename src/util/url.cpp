#include "util/url.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/log.h"
#include "util/stringutil.h"

namespace {

constexpr std::size_t URL_CREATE_MAX = 1023;
constexpr std::size_t CREDENTIAL_MAX = 128;
constexpr std::size_t RUNNING_PATH_MAX = 1023;
constexpr std::size_t LINK_MAX = 511;

std::string lowered(std::string_view s)
{
    std::string out(s);
    return string_tolower(out);
}

// Text ends at its first zero byte, as every caller's string does.
std::string_view to_terminator(std::string_view s)
{
    return s.substr(0, s.find('\0'));
}

// A decimal port written in a URL: digits only, 1 to 65535.
std::optional<int> port_value(std::string_view text)
{
    int port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// Reads a number as atoi does (leading blanks, a sign, digits; text after them is ignored,
// no digits give 0); nullopt when it lies outside 0..255.
std::optional<int> ftp_byte(std::string_view text)
{
    const int value = atoi_lenient(text);
    if (value < 0 || value > 255)
        return std::nullopt;
    return value;
}

// Path components land inside an attribute and a link text of the listing page.
std::string html_escaped(std::string_view s)
{
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += c; break;
        }
    }
    return out;
}

} // namespace

std::optional<URL> url_parse(std::string_view text)
{
    text = to_terminator(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.size() - colon - 1 < 2)
        return std::nullopt;

    URL url;
    url.scheme = lowered(text.substr(0, colon));
    const std::string_view rest = text.substr(colon + 3);
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);

    const std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
        // Credentials stop at the '@': a ':' beyond it belongs to the host, never to them.
        const std::string_view credentials = authority.substr(0, at);
        const std::size_t sep = credentials.find(':');
        if (sep == std::string_view::npos || sep == 0 || sep > CREDENTIAL_MAX || sep + 1 == credentials.size())
            return std::nullopt;
        url.user = credentials.substr(0, sep);
        url.password = credentials.substr(sep + 1, CREDENTIAL_MAX);
        authority.remove_prefix(at + 1);
    }

    const std::size_t port_at = authority.find(':');
    if (port_at != std::string_view::npos) {
        const auto port = port_value(authority.substr(port_at + 1));
        if (!port)
            return std::nullopt;
        url.port = *port;
        url.host = authority.substr(0, port_at);
    } else {
        url.port = protocol_port(url.scheme);
        url.host = authority;
    }
    url.path = slash == std::string_view::npos ? std::string("/") : url_path_fix(rest.substr(slash));
    string_tolower(url_strip(url.host));
    return url;
}

std::string url_create(const URL& url)
{
    std::string text = url.scheme + "://" + url.host + ":" + std::to_string(url.port) + url.path;
    if (text.size() > URL_CREATE_MAX)
        text.resize(URL_CREATE_MAX);
    return text;
}

int urlcmp(const URL& a, const URL& b)
{
    if (!a.user.empty() && !b.user.empty() && a.user != b.user)
        return 0;
    if (!a.password.empty() && !b.password.empty() && a.password != b.password)
        return 0;
    return a.port == b.port && equal_nocase(a.scheme, b.scheme) && equal_nocase(a.host, b.host) &&
                   a.path == b.path
               ? 1
               : 0;
}

std::string& url_strip(std::string& s)
{
    std::erase_if(s, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x80;
    });
    return s;
}

std::string url_path_fix(std::string_view path)
{
    path = path.substr(0, URL_PATH_MAX);
    std::string fixed(path.substr(0, path.find('#')));
    return url_strip(fixed);
}

std::string url_encode(std::string_view s, std::size_t n)
{
    static constexpr char HEX[] = "0123456789abcdef";
    s = to_terminator(s.substr(0, n));
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ') {
            out += '+';
        } else if ((byte >= '+' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                   byte >= 0x80) {
            out += c;
        } else {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 0xf];
        }
    }
    return out;
}

std::string url_decode(std::string_view s, std::size_t n, bool plus_is_space)
{
    s = to_terminator(s.substr(0, n));
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (c == '%' && i + 1 < s.size()) {
            // Up to two characters are taken; reading stops at a non-hexadecimal one.
            const std::size_t taken = std::min<std::size_t>(2, s.size() - i - 1);
            int value = 0;
            for (std::size_t k = 0; k < taken; ++k) {
                const int digit = hex_value(s[i + 1 + k]);
                if (digit < 0)
                    break;
                value = value * 16 + digit;
            }
            if (value == 0)
                break;
            out += static_cast<char>(value);
            i += 1 + taken;
        } else {
            out += c == '+' && plus_is_space ? ' ' : c;
            ++i;
        }
    }
    return out;
}

std::string path_to_url(std::string_view path)
{
    std::string links = "<a href=\"/\">/</a>";
    std::string running = "/";
    for (const std::string& component : string_break(path, '/')) {
        if (component.empty())
            continue;
        running += component;
        running += '/';
        if (running.size() > RUNNING_PATH_MAX)
            running.resize(RUNNING_PATH_MAX);
        std::string link = "<a href=\"" + html_escaped(running) + "\">" + html_escaped(component) + "/</a>";
        if (link.size() > LINK_MAX)
            link.resize(LINK_MAX);
        links += link;
    }
    return links;
}

std::string resolve_path(std::string_view path)
{
    std::vector<std::string> kept;
    for (const std::string& component : string_break(path, '/')) {
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.push_back(component);
    }
    std::string resolved(1, '/');
    resolved += array_merge(kept, "/");
    if (!kept.empty() && path.ends_with('/'))
        resolved += '/';
    return resolved;
}

std::string ftpport_create(const sockaddr_in& address)
{
    unsigned char ip[4];
    std::memcpy(ip, &address.sin_addr.s_addr, sizeof ip);
    const unsigned port = ntohs(address.sin_port);
    const std::string text = std::to_string(ip[0]) + "," + std::to_string(ip[1]) + "," + std::to_string(ip[2]) +
                             "," + std::to_string(ip[3]) + "," + std::to_string(port >> 8) + "," +
                             std::to_string(port & 0xff);
    putlog(LOG_DEBUG, "ftp: ftpport_create: %s", text.c_str());
    return text;
}

std::optional<sockaddr_in> ftpport_parse(std::string_view text)
{
    const std::vector<std::string> items = string_break(text, ',');
    if (items.size() != 6)
        return std::nullopt;
    unsigned char bytes[6];
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto value = ftp_byte(items[i]);
        if (!value)
            return std::nullopt;
        bytes[i] = static_cast<unsigned char>(*value);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, bytes, 4);
    address.sin_port = htons(static_cast<std::uint16_t>(bytes[4] * 256 + bytes[5]));
    return address;
}

int protocol_port(std::string_view scheme)
{
    if (equal_nocase(scheme, "http"))
        return 80;
    if (equal_nocase(scheme, "ftp"))
        return 21;
    return 0;
}

int isip(std::string_view s)
{
    int parts = 0;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t dot = s.find('.', pos);
        const std::string_view part = s.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == '0'))
            return 0;
        if (!std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return 0;
        int value = 0;
        std::from_chars(part.data(), part.data() + part.size(), value);
        if (value > 255 || ++parts > 4)
            return 0;
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return parts == 4 ? 1 : 0;
}

const char* code_to_error(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Document Moved";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401:
    case 407: return "Authentication required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 502: return "Service Temporarily Unavailable";
    case 503: return "Connection Failed";
    default: return "Unknown";
    }
}

const char* error_to_template(int code)
{
    switch (code) {
    case -4: return "badauth";
    case -3: return "nodns";
    case -2: return "noconnect";
    default: return "unknown";
    }
}

namespace {

bool is_unreserved(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// One part of a numeric host as the resolver reads it: 0x and hexadecimal digits, a leading 0
// and octal digits, or decimal digits; nullopt for anything else or a value beyond 32 bits.
std::optional<std::uint64_t> numeric_part(std::string_view part)
{
    int base = 10;
    if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() > 1 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    if (part.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value, base);
    if (error != std::errc() || end != part.data() + part.size() || value > 0xFFFFFFFFu)
        return std::nullopt;
    return value;
}

// The IPv4 address of a numeric host: the last part fills the bytes the parts before it leave.
std::optional<std::uint32_t> numeric_host(std::string_view host)
{
    std::uint64_t parts[4];
    std::size_t count = 0;
    for (;;) {
        const std::size_t dot = host.find('.');
        if (count == 4)
            return std::nullopt;
        const auto value = numeric_part(host.substr(0, dot));
        if (!value)
            return std::nullopt;
        parts[count++] = *value;
        if (dot == std::string_view::npos)
            break;
        host.remove_prefix(dot + 1);
    }
    std::uint64_t address = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF)
            return std::nullopt;
        address |= parts[i] << (24 - 8 * i);
    }
    const std::uint64_t last = parts[count - 1];
    if (last >= (std::uint64_t{1} << (32 - 8 * (count - 1))))
        return std::nullopt;
    return static_cast<std::uint32_t>(address | last);
}

} // namespace

std::string url_host_canonical(std::string_view host)
{
    if (host.size() > 1 && host.back() == '.')
        host.remove_suffix(1);
    // Only digits, dots and the letters of hexadecimal can spell a number.
    if (!host.empty() && host.find_first_not_of("0123456789.xXabcdefABCDEF") == std::string_view::npos) {
        if (const auto address = numeric_host(host)) {
            const std::uint32_t a = *address;
            return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xFF) + '.' +
                   std::to_string((a >> 8) & 0xFF) + '.' + std::to_string(a & 0xFF);
        }
    }
    return std::string(host);
}

std::string url_path_canonical(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && hex_value(path[i + 1]) >= 0 && hex_value(path[i + 2]) >= 0) {
            const auto c = static_cast<unsigned char>(hex_value(path[i + 1]) * 16 + hex_value(path[i + 2]));
            if (is_unreserved(c)) {
                out += static_cast<char>(c);
                i += 2;
                continue;
            }
        }
        out += path[i];
    }
    return out;
}

UrlMatchText::UrlMatchText(std::string_view host, std::string_view path)
{
    // Most requests need neither form changed: the checks are cheap, the copies are not.
    const bool host_plain = host.empty() || (host.back() != '.' && (host.front() < '0' || host.front() > '9'));
    if (host_plain) {
        host_ = host;
    } else {
        host_storage_ = url_host_canonical(host);
        host_ = host_storage_;
    }
    if (path.find('%') == std::string_view::npos) {
        path_ = path;
    } else {
        path_storage_ = url_path_canonical(path);
        path_ = path_storage_;
    }
}
