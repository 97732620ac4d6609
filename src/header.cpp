#include "header.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "log.h"
#include "stringutil.h"
#include "url.h"

namespace {

constexpr std::size_t CREDENTIAL_MAX = 128;
constexpr std::size_t STATUS_WORD_MAX = 10;

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool caseless_equal(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool caseless_prefix(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && caseless_equal(text.substr(0, prefix.size()), prefix);
}

std::string lowered(std::string_view s)
{
    std::string out(s);
    return string_tolower(out);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool all_digits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), is_digit);
}

// The characters of a method or a header name: anything else would let a line mean one thing
// here and another to the next receiver ("Transfer-Encoding : chunked").
bool is_token(std::string_view s)
{
    static constexpr std::string_view EXTRA = "!#$%&'*+-.^_`|~";
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               EXTRA.find(c) != std::string_view::npos;
    });
}

bool is_scheme(std::string_view s)
{
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')))
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' || c == '.';
    });
}

// Host bytes that may reach a request line, a Host line or a log line.
bool host_acceptable(std::string_view host)
{
    return std::none_of(host.begin(), host.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7f || c == ':' || c == '/' || c == '@';
    });
}

// A port as written in a URI or a Host line: digits only, 1 to 65535.
std::optional<int> port_value(std::string_view text)
{
    if (!all_digits(text))
        return std::nullopt;
    int port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// A Content-Length value: a plain decimal count that fits 63 bits; blanks around it are
// field syntax, not part of it.
std::optional<std::int64_t> length_value(std::string_view text)
{
    text = trimmed(text);
    if (!all_digits(text))
        return std::nullopt;
    std::int64_t length = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return length;
}

bool is_chunked(std::string_view value)
{
    return caseless_equal(trimmed(value), "chunked");
}

// The first line of text, without its line end.
std::string_view first_line(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

std::vector<std::string_view> words(std::string_view line, std::size_t most)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (out.size() < most) {
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i == line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && !is_blank(line[i]))
            ++i;
        out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Header lines that set a field of their own, the last one received winning.
struct NamedField {
    std::string_view name;
    HeaderText HEADER::*field;
};

constexpr NamedField NAMED_FIELDS[] = {
    {"content-encoding", &HEADER::content_encoding},
    {"accept-encoding", &HEADER::accept_encoding},
    {"location", &HEADER::location},
    {"host", &HEADER::host_header},
    {"www-authenticate", &HEADER::www_authenticate},
    {"authorization", &HEADER::authorization},
    {"proxy-authenticate", &HEADER::proxy_authenticate},
    {"proxy-authorization", &HEADER::proxy_authorization},
    {"referer", &HEADER::referer},
    {"user-agent", &HEADER::user_agent},
    {"cache-control", &HEADER::cache_control},
    {"expires", &HEADER::expires},
    {"if-modified-since", &HEADER::if_modified_since},
    {"last-modified", &HEADER::last_modified},
    {"range", &HEADER::range},
    {"via", &HEADER::via},
    {"encapsulated", &HEADER::encapsulated},
    {"x-forwarded-for", &HEADER::x_forwarded_for},
};

// Hop-by-hop lines: recorded, never written.
constexpr std::string_view HOP_BY_HOP[] = {"te", "trailers", "upgrade", "keep-alive"};

void keepalive_value(int& field, std::string_view value)
{
    if (caseless_prefix(value, "keep-alive"))
        field = 1;
    else if (caseless_prefix(value, "close"))
        field = 0;
}

// Applies one line to the fields; the line's type, or -1 for a Content-Length that cannot be
// used.
int line_apply(HEADER& header, std::string_view name, std::string_view value)
{
    if (caseless_equal(name, "content-length")) {
        const auto length = length_value(value);
        if (!length)
            return -1;
        if ((header.flags & HEADER_LENGTH) && header.content_length != *length)
            return -1;
        header.content_length = *length;
        header.flags |= HEADER_LENGTH;
        return HTTP_HEADER_FIELD;
    }
    if (caseless_equal(name, "transfer-encoding")) {
        if (!is_chunked(value))
            return HTTP_HEADER_PASS;
        header.chunked = 1;
        return HTTP_HEADER_FIELD;
    }
    if (caseless_equal(name, "content-type")) {
        header.content_type = std::string(value);
        header.mime = std::string(value.substr(0, value.find(';')));
        return HTTP_HEADER_FIELD;
    }
    if (caseless_equal(name, "x-cache")) {
        if (header.x_cache)
            return HTTP_HEADER_PASS;
        header.x_cache = std::string(value);
        return HTTP_HEADER_FIELD;
    }
    if (caseless_equal(name, "connection")) {
        keepalive_value(header.keepalive, value);
        return HTTP_HEADER_FIELD;
    }
    if (caseless_equal(name, "proxy-connection")) {
        keepalive_value(header.proxy_keepalive, value);
        return HTTP_HEADER_FIELD;
    }
    for (const NamedField& named : NAMED_FIELDS) {
        if (caseless_equal(name, named.name)) {
            header.*named.field = std::string(value);
            return HTTP_HEADER_FIELD;
        }
    }
    for (const std::string_view hop : HOP_BY_HOP) {
        if (caseless_equal(name, hop))
            return HTTP_HEADER_FIELD;
    }
    return HTTP_HEADER_PASS;
}

// A Transfer-Encoding line kept as a pass-through line names a coding other than chunked.
bool has_other_coding(const HEADER& header)
{
    return std::any_of(header.lines.begin(), header.lines.end(), [](const HTTP_HEADER& line) {
        return line.type == HTTP_HEADER_PASS && caseless_equal(line.name, "transfer-encoding");
    });
}

// With a transfer coding the message's own length rules: a Content-Length beside it is never
// used nor written.
void length_settle(HEADER& header)
{
    if (header.chunked || has_other_coding(header)) {
        header.flags &= ~HEADER_LENGTH;
        header.content_length = 0;
    }
}

// The authority and path of a CONNECT target or of an absolute URI after its "scheme://".
bool authority_parse(HEADER& header, std::string_view rest)
{
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    header.path = slash == std::string_view::npos ? std::string("/") : url_path_fix(rest.substr(slash));

    const std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
        // Credentials are kept only when both a user and a password are written.
        const std::string_view credentials = authority.substr(0, at);
        const std::size_t sep = credentials.find(':');
        if (sep != std::string_view::npos && sep > 0 && sep <= CREDENTIAL_MAX && sep + 1 < credentials.size()) {
            header.url_user = url_decode(credentials.substr(0, sep));
            header.url_password = url_decode(credentials.substr(sep + 1, CREDENTIAL_MAX));
        }
        authority.remove_prefix(at + 1);
    }

    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        const auto port = port_value(authority.substr(colon + 1));
        if (!port)
            return false;
        header.port = *port;
        authority = authority.substr(0, colon);
    } else {
        header.flags |= HEADER_DEFAULT_PORT;
        header.port = header.kind == HEADER_CONNECT ? 443 : protocol_port(*header.scheme);
    }

    std::string host = lowered(url_decode(authority));
    if (!host_acceptable(host))
        return false;
    header.host = std::move(host);
    header_complete(&header);
    return true;
}

// A request may not carry a Host line that names no usable host and port, nor a transfer
// coding the proxy cannot frame: the body would be read one way here and another way there.
bool request_lines_acceptable(const HEADER& header)
{
    for (const HTTP_HEADER& line : header.lines) {
        if (caseless_equal(line.name, "host") && !trimmed(line.value).empty() && !http_host_split(line.value, 80))
            return false;
    }
    return !has_other_coding(header);
}

bool status_line_shape(std::string_view line)
{
    const std::size_t slash = line.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash > STATUS_WORD_MAX)
        return false;
    std::string_view rest = line.substr(slash + 1);
    if (rest.size() < 4 || !is_digit(rest[0]) || rest[1] != '.' || !is_digit(rest[2]) || rest[3] != ' ')
        return false;
    rest.remove_prefix(4);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    if (!rest.empty() && (rest.front() == '-' || rest.front() == '+'))
        rest.remove_prefix(1);
    return !rest.empty() && is_digit(rest.front());
}

} // namespace

HeaderPtr header_new()
{
    return std::make_unique<HEADER>();
}

HeaderPtr http_header_dup(const HEADER* header)
{
    return header ? std::make_unique<HEADER>(*header) : nullptr;
}

void http_header_free(HEADER* header)
{
    delete header;
}

std::size_t header_length(std::string_view text, std::size_t maximum)
{
    const std::size_t end = std::min(maximum, text.size());
    bool blank = false;   // only carriage returns since the last line feed
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            if (blank)
                return i + 1;
            blank = true;
        } else if (text[i] != '\r') {
            blank = false;
        }
    }
    return end;
}

int header_type(std::string_view text, std::size_t length)
{
    const std::size_t n = std::min<std::size_t>(length, 5);
    if (text.size() < n)
        return HEADER_ORIGIN;
    return caseless_equal(text.substr(0, n), std::string_view("HTTP/").substr(0, n)) ? HEADER_RESPONSE
                                                                                     : HEADER_ORIGIN;
}

void header_complete(HEADER* header)
{
    // Never cut: a shortened URL would be another resource's cache key.
    header->url = header->scheme.value_or("") + "://" + header->host.value_or("") + ":" +
                  std::to_string(header->port) + header->path.value_or("");
}

std::optional<HostPort> http_host_split(std::string_view value, int default_port)
{
    value = trimmed(value);
    HostPort out;
    const std::size_t colon = value.find(':');
    out.port = default_port;
    if (colon != std::string_view::npos) {
        const auto port = port_value(value.substr(colon + 1));
        if (!port)
            return std::nullopt;
        out.port = *port;
        value = value.substr(0, colon);
    }
    if (value.empty() || !host_acceptable(value))
        return std::nullopt;
    out.host = lowered(value);
    return out;
}

int http_header_list_parse(HEADER* header, std::string_view text)
{
    const std::size_t first_end = text.find('\n');
    if (first_end == std::string_view::npos)
        return 0;
    std::size_t pos = first_end + 1;
    while (pos < text.size() && text[pos] != '\r' && text[pos] != '\n') {
        const std::size_t next = text.find('\n', pos);
        std::string_view line = text.substr(pos, HEADER_LINE_MAX);
        pos = next == std::string_view::npos ? text.size() : next + 1;

        line = line.substr(0, line.find_first_of("\r\n"));
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon + 1 == line.size())
            continue;
        const std::string_view name = line.substr(0, colon);
        if (!is_token(name))
            continue;
        std::string_view value = line.substr(colon + 1);
        if (value.front() == ' ')
            value.remove_prefix(1);   // one blank is syntax; the rest is the sender's

        const int type = line_apply(*header, name, value);
        if (type < 0)
            return -1;
        header->lines.push_back(HTTP_HEADER{type, std::string(name), std::string(value)});
    }
    return 0;
}

HeaderPtr http_header_parse_request(std::string_view text)
{
    const std::vector<std::string_view> word = words(first_line(text), 3);
    if (word.size() < 3)
        return nullptr;
    const std::string_view method = word[0];
    const std::string_view uri = word[1];
    const std::string_view version = word[2];
    // Cutting either would send, log and cache a request the client never made.
    if (method.size() > HEADER_METHOD_MAX || !is_token(method) || uri.size() > HEADER_URI_MAX)
        return nullptr;

    HeaderPtr header = header_new();
    if (caseless_equal(method, "CONNECT")) {
        header->kind = HEADER_CONNECT;
        header->scheme = "connect";
        if (!authority_parse(*header, uri))
            return nullptr;
    } else if (uri.front() == '/') {
        header->kind = HEADER_ORIGIN;
        header->scheme = "http";
        header->port = 80;
        header->path = url_path_fix(uri);
    } else {
        header->kind = HEADER_ABSOLUTE;
        const std::size_t colon = uri.find(':');
        if (colon == std::string_view::npos || uri.size() - colon - 1 < 2 || !is_scheme(uri.substr(0, colon)))
            return nullptr;
        header->scheme = lowered(uri.substr(0, colon));
        if (!authority_parse(*header, uri.substr(colon + 3)))
            return nullptr;
    }

    header->version = caseless_equal(version, "HTTP/1.1") ? HTTP_VERSION_11 : HTTP_VERSION_10;
    header->method = std::string(method);
    if (http_header_list_parse(header.get(), text) < 0 || !request_lines_acceptable(*header))
        return nullptr;
    length_settle(*header);
    header->raw = std::string(text.substr(0, header_length(text, text.size())));
    return header;
}

HeaderPtr http_header_parse_response(std::string_view text)
{
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || end + 1 > HEADER_STATUS_LINE_MAX)
        return nullptr;
    const std::string_view line = text.substr(0, end + 1);

    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    if (!status_line_shape(line)) {
        header->version = HTTP_VERSION_09;
        header->status = 200;
        header->raw = "HTTP/1.1 200 OK\r\n\r\n";
        putlog(LOG_DEBUG, "HTTP/0.9 header");
        return header;
    }

    const std::vector<std::string_view> word = words(first_line(line), 2);
    if (word.size() < 2 || word[1].size() > STATUS_WORD_MAX || !all_digits(word[1]))
        return nullptr;
    int status = 0;
    const auto [at, ec] = std::from_chars(word[1].data(), word[1].data() + word[1].size(), status);
    if (ec != std::errc() || status <= 0)
        return nullptr;
    header->status = status;
    header->version = caseless_equal(word[0], "HTTP/1.1") ? HTTP_VERSION_11 : HTTP_VERSION_10;
    if (http_header_list_parse(header.get(), text) < 0)
        return nullptr;
    length_settle(*header);
    header->raw = std::string(text.substr(0, header_length(text, text.size())));
    return header;
}
