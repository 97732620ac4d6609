#include "http/header.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <utility>
#include <vector>

#include "core/connection.h"
#include "core/statgroups.h"
#include "util/blocks.h"
#include "util/filebuf.h"
#include "util/log.h"
#include "net/socket.h"
#include "util/stringutil.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

constexpr std::size_t CREDENTIAL_MAX = 128;
constexpr std::size_t STATUS_WORD_MAX = 10;

std::string lowered(std::string_view s)
{
    std::string out(s);
    return string_tolower(out);
}

std::string lowered(std::string&& s)
{
    string_tolower(s);
    return std::move(s);
}

void append_number(std::string& out, std::int64_t n)
{
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
    out.append(digits, ec == std::errc() ? static_cast<std::size_t>(end - digits) : 0);
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

// A host as written in a request: no zero byte, and every '%' starts a two-digit encoding of a
// byte other than zero, so that decoding keeps every byte for host_acceptable to judge.
bool host_encoding_acceptable(std::string_view raw)
{
    if (raw.find('\0') != std::string_view::npos)
        return false;
    for (std::size_t at = raw.find('%'); at != std::string_view::npos; at = raw.find('%', at + 1)) {
        if (at + 2 >= raw.size() || hex_value(raw[at + 1]) < 0 || hex_value(raw[at + 2]) < 0 ||
            (raw[at + 1] == '0' && raw[at + 2] == '0'))
            return false;
    }
    return true;
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
    return equal_nocase(trimmed(value), "chunked");
}

// The first line of text, without its line end.
std::string_view first_line(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

// The first words of a start line; a request or status line needs no more than three.
struct Words {
    std::array<std::string_view, 3> word;
    std::size_t count = 0;
    std::size_t size() const { return count; }
    std::string_view operator[](std::size_t i) const { return word[i]; }
};

Words words(std::string_view line, std::size_t most)
{
    Words out;
    most = std::min(most, out.word.size());
    std::size_t i = 0;
    while (out.count < most) {
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i == line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && !is_blank(line[i]))
            ++i;
        out.word[out.count++] = line.substr(start, i - start);
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
    if (starts_with_nocase(value, "keep-alive"))
        field = 1;
    else if (starts_with_nocase(value, "close"))
        field = 0;
}

// Applies one line to the fields; the line's type, or -1 for a Content-Length that cannot be
// used.
int line_apply(HEADER& header, std::string_view name, std::string_view value)
{
    if (equal_nocase(name, "content-length")) {
        const auto length = length_value(value);
        if (!length)
            return -1;
        if ((header.flags & HEADER_LENGTH) && header.content_length != *length)
            return -1;
        header.content_length = *length;
        header.flags |= HEADER_LENGTH;
        return HTTP_HEADER_FIELD;
    }
    if (equal_nocase(name, "transfer-encoding")) {
        if (!is_chunked(value))
            return HTTP_HEADER_PASS;
        header.chunked = 1;
        return HTTP_HEADER_FIELD;
    }
    if (equal_nocase(name, "content-type")) {
        header.content_type = std::string(value);
        header.mime = std::string(value.substr(0, value.find(';')));
        return HTTP_HEADER_FIELD;
    }
    if (equal_nocase(name, "x-cache")) {
        if (header.x_cache)
            return HTTP_HEADER_PASS;
        header.x_cache = std::string(value);
        return HTTP_HEADER_FIELD;
    }
    if (equal_nocase(name, "connection")) {
        keepalive_value(header.keepalive, value);
        return HTTP_HEADER_FIELD;
    }
    if (equal_nocase(name, "proxy-connection")) {
        keepalive_value(header.proxy_keepalive, value);
        return HTTP_HEADER_FIELD;
    }
    for (const NamedField& named : NAMED_FIELDS) {
        if (equal_nocase(name, named.name)) {
            header.*named.field = std::string(value);
            return HTTP_HEADER_FIELD;
        }
    }
    for (const std::string_view hop : HOP_BY_HOP) {
        if (equal_nocase(name, hop))
            return HTTP_HEADER_FIELD;
    }
    return HTTP_HEADER_PASS;
}

// A Transfer-Encoding line kept as a pass-through line names a coding other than chunked.
bool has_other_coding(const HEADER& header)
{
    return std::any_of(header.lines.begin(), header.lines.end(), [](const HTTP_HEADER& line) {
        return line.type == HTTP_HEADER_PASS && equal_nocase(line.name, "transfer-encoding");
    });
}

// With a transfer coding the message's own length rules: a Content-Length beside it is never
// used nor written, but it is remembered.
void length_settle(HEADER& header)
{
    if (header.chunked || has_other_coding(header)) {
        if ((header.flags & HEADER_LENGTH) != 0)
            header.flags |= HEADER_LENGTH_BESIDE_CODING;
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

    if (!host_encoding_acceptable(authority))
        return false;
    std::string host = lowered(url_decode(authority, std::string_view::npos, false));
    if (host.empty() || !host_acceptable(host))
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
        if (equal_nocase(line.name, "host") && !trimmed(line.value).empty() && !http_host_split(line.value, 80))
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

void* HEADER::operator new(std::size_t size)
{
    if (void* block = thread_block_take(size))
        return block;
    return ::operator new(size);
}

void HEADER::operator delete(void* block, std::size_t size) noexcept
{
    if (block != nullptr && !thread_block_keep(block, size))
        ::operator delete(block);
}

void HeaderFree::operator()(HEADER* header) const noexcept
{
    delete header;
}

HeaderPtr header_new()
{
    return std::make_unique<HEADER>();
}

HeaderPtr header_redirect_new(std::string location)
{
    HeaderPtr answer = header_new();
    answer->kind = HEADER_RESPONSE;
    answer->version = HTTP_VERSION_11;
    answer->status = 302;
    answer->flags |= HEADER_LENGTH;
    answer->content_length = 0;
    answer->location = std::move(location);
    return answer;
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
    return equal_nocase(text.substr(0, n), std::string_view("HTTP/").substr(0, n)) ? HEADER_RESPONSE
                                                                                     : HEADER_ORIGIN;
}

void header_complete(HEADER* header)
{
    // Never cut: a shortened URL would be another resource's cache key.
    const std::string_view scheme = text_view(header->scheme);
    const std::string_view host = text_view(header->host);
    const std::string_view path = text_view(header->path);
    std::string url;
    url.reserve(scheme.size() + host.size() + path.size() + 16);
    url += scheme;
    url += "://";
    url += host;
    url += ':';
    append_number(url, header->port);
    url += path;
    header->url = std::move(url);
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

namespace {

// Whether a line that is no field line is a field name with white space before its colon
// ("Transfer-Encoding : chunked"), which a receiver may take for that field or not. A line that
// begins with white space continues the line before it (obsolete folding); it is no name.
bool blank_before_colon(std::string_view name)
{
    return !name.empty() && !is_blank(name.front()) && is_blank(name.back()) && is_token(trimmed(name));
}

// As http_header_list_parse; a request's lines (strict) may not put white space before a colon.
int lines_parse(HEADER* header, std::string_view text, bool strict)
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
        if (!is_token(name)) {
            if (strict && blank_before_colon(name))
                return -1;
            continue;
        }
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

} // namespace

int http_header_list_parse(HEADER* header, std::string_view text)
{
    return lines_parse(header, text, false);
}

HeaderPtr http_header_parse_request(std::string_view text)
{
    const Words word = words(first_line(text), 3);
    if (word.size() < 3)
        return nullptr;
    const std::string_view method = word[0];
    const std::string_view uri = word[1];
    const std::string_view version = word[2];
    // Cutting either would send, log and cache a request the client never made.
    if (method.size() > HEADER_METHOD_MAX || !is_token(method) || uri.size() > HEADER_URI_MAX)
        return nullptr;

    HeaderPtr header = header_new();
    if (equal_nocase(method, "CONNECT")) {
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

    header->version = equal_nocase(version, "HTTP/1.1") ? HTTP_VERSION_11 : HTTP_VERSION_10;
    header->method = std::string(method);
    if (lines_parse(header.get(), text, true) < 0 || !request_lines_acceptable(*header))
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

    const Words word = words(first_line(line), 2);
    if (word.size() < 2 || word[1].size() > STATUS_WORD_MAX || !all_digits(word[1]))
        return nullptr;
    int status = 0;
    const auto [at, ec] = std::from_chars(word[1].data(), word[1].data() + word[1].size(), status);
    if (ec != std::errc() || status <= 0)
        return nullptr;
    header->status = status;
    header->version = equal_nocase(word[0], "HTTP/1.1") ? HTTP_VERSION_11 : HTTP_VERSION_10;
    if (http_header_list_parse(header.get(), text) < 0)
        return nullptr;
    length_settle(*header);
    header->raw = std::string(text.substr(0, header_length(text, text.size())));
    return header;
}

// ---------------------------------------------------------------------------------------------
// Reading a header block

namespace {

// Bytes of lines the area holds beside the closing "\r\n" and the terminator.
constexpr std::size_t HEADER_LINES_MAX = HEADER_AREA - 3;
// Room most request and response blocks fit in.
constexpr std::size_t HEADER_BLOCK_USUAL = 1024;

bool blank_line(std::string_view line)
{
    return line == "\n" || line == "\r\n";
}

Socket* side_socket(CONNECTION_T* connection, int side)
{
    return side == SIDE_CLIENT ? connection->client.get() : connection->server.get();
}

} // namespace

std::optional<std::string> header_get(CONNECTION_T* connection, int side, int timeout, bool* too_large,
                                      bool* other_gone)
{
    if (too_large != nullptr)
        *too_large = false;
    if (other_gone != nullptr)
        *other_gone = false;
    Socket* source = side_socket(connection, side);
    if (source == nullptr)
        return std::nullopt;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(timeout, 0));
    // Sized once for a common block and its closing "\r\n": growing it line by line would cost
    // an allocation for each doubling, and the result is this same buffer.
    std::string block;     // complete lines of the block
    block.reserve(HEADER_BLOCK_USUAL);
    std::string pending;   // bytes read and not yet part of a complete line
    char chunk[HEADER_AREA];
    bool complete = false;
    bool refused = false;
    bool timed_out = false;

    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        Socket* other = side_socket(connection, side == SIDE_CLIENT ? SIDE_SERVER : SIDE_CLIENT);
        // The other side is read ahead only so far; beyond that only its end is watched.
        const short other_events = other != nullptr && other->input_length() < READAHEAD_MAX ? POLLIN : 0;
        pollfd fds[2] = {{source->fd(), POLLIN, 0}, {other != nullptr ? other->fd() : -1, other_events, 0}};
        const int wait = source->input_length() > 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
        if (poll(fds, other != nullptr ? 2 : 1, wait) < 0) {
            if (errno == EINTR)
                continue;
            log_syscall("poll", "header_get", "poll failed, socket unavailable");
            break;
        }

        const std::size_t buffered = source->input_length();
        if (buffered > 0 || (fds[0].revents & POLLIN)) {
            // Never more than the area can still take: a block that outgrows it is refused
            // before the rest of it is read. Buffered bytes are taken as they are, so that no
            // read of the descriptor waits.
            const std::size_t room = HEADER_LINES_MAX + 2 - std::min(HEADER_LINES_MAX + 2, block.size() + pending.size());
            const std::size_t want = std::max<std::size_t>(1, buffered > 0 ? std::min(buffered, room) : room);
            const int n = source->Read(chunk, static_cast<int>(std::min(want, sizeof chunk)), -1);
            if (n <= 0)
                break;
            pending.append(chunk, static_cast<std::size_t>(n));

            std::size_t start = 0;
            for (std::size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n', start)) {
                const std::string_view line(pending.data() + start, nl + 1 - start);
                start = nl + 1;
                if (blank_line(line)) {
                    if (block.empty())
                        continue;   // blank lines before the first line are skipped
                    complete = true;
                    break;
                }
                if (block.size() + line.size() > HEADER_LINES_MAX) {
                    refused = true;
                    break;
                }
                block += line;
            }
            pending.erase(0, start);
            if (refused || complete)
                break;
            // A line still open that can no longer fit; only the blank line's "\r" may wait.
            if (pending != "\r" && block.size() + pending.size() > HEADER_LINES_MAX) {
                refused = true;
                break;
            }
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }

        if (other != nullptr && fds[1].revents != 0) {
            const bool gone = (fds[1].revents & POLLIN) ? other->Read(nullptr, -1, -1) <= 0 : true;
            if (gone) {
                if (side == SIDE_SERVER) {
                    if (other_gone != nullptr)
                        *other_gone = true;
                    break;
                }
                // The idle server connection of an earlier request has closed: drop it and go on
                // waiting for the client.
                connection->server.reset();
            }
        }
    }

    if (refused) {
        if (too_large != nullptr)
            *too_large = true;
        return std::nullopt;
    }
    // What follows the block (a body, the next request) is read by whoever comes next.
    if (!pending.empty())
        source->PushFront(pending.data(), pending.size());
    if (complete) {
        block += "\r\n";
        return block;
    }
    // A sender that stops inside its header and stays is not done: what came is no header.
    // Only one that closes (an HTTP/0.9 server, say) ends its block without a blank line.
    if (block.empty() || timed_out)
        return std::nullopt;
    return block;
}

// ---------------------------------------------------------------------------------------------
// Writing a header

namespace {

// The release label in Via and X-Cache values.
constexpr std::string_view RELEASE_LABEL = "0.1.0";
constexpr std::size_t EDITED_VALUE_MAX = 1023;
constexpr std::size_t VARIABLE_NAME_MAX = 1023;

std::atomic<CookieLineFilter> cookie_filter{nullptr};

// Whatever set a name or a value, it stays on its own line.
std::string_view one_line(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

void add_line(std::string& out, std::string_view name, std::string_view value)
{
    out += one_line(name);
    out += ": ";
    out += one_line(value);
    out += "\r\n";
}

void add_field(std::string& out, std::string_view name, const HeaderText& value)
{
    if (value)
        add_line(out, name, *value);
}

std::string_view text_of(const HeaderText& text)
{
    return text ? std::string_view(*text) : std::string_view();
}

// Appends the start line to out: written in place, since every request and answer has one.
void start_line(std::string& out, const HEADER& h, int mode)
{
    const std::string_view method = one_line(text_of(h.method));
    switch (h.kind) {
    case HEADER_RESPONSE:
    case HEADER_ICAP_RESPONSE:
        out += h.kind == HEADER_RESPONSE ? "HTTP/1.1 " : "ICAP/1.0 ";
        append_number(out, h.status);
        out += ' ';
        out += code_to_error(h.status);
        out += "\r\n";
        return;
    case HEADER_ICAP_REQUEST:
        out += method;
        out += ' ';
        out += one_line(text_of(h.url));
        out += " ICAP/1.0\r\n";
        return;
    default:
        break;
    }
    if (mode == HEADER_TO_SERVER) {
        out += method;
        out += ' ';
        out += one_line(text_of(h.path));
    } else if (h.kind == HEADER_CONNECT) {
        out += "CONNECT ";
        out += one_line(text_of(h.host));
        out += ':';
        append_number(out, h.port);
    } else if (h.url_user && h.url_password) {
        out += method;
        out += ' ';
        out += one_line(text_of(h.scheme));
        out += "://";
        out += url_encode(*h.url_user);
        out += ':';
        out += url_encode(*h.url_password);
        out += '@';
        out += one_line(text_of(h.host));
        out += ':';
        append_number(out, h.port);
        out += one_line(text_of(h.path));
    } else {
        out += method;
        out += ' ';
        out += one_line(text_of(h.url));
    }
    out += " HTTP/1.1\r\n";
}

void request_lines(std::string& out, const HEADER& h)
{
    add_field(out, "Authorization", h.authorization);
    add_field(out, "If-Modified-Since", h.if_modified_since);
    add_field(out, "Referer", h.referer);
    add_field(out, "User-Agent", h.user_agent);
    add_field(out, "Range", h.range);
    add_field(out, "Accept-Encoding", h.accept_encoding);
    const std::string_view host = text_of(h.host);
    if (h.kind != HEADER_CONNECT && h.port == protocol_port(text_of(h.scheme))) {
        add_line(out, "Host", host);
    } else {
        out += "Host: ";
        out += one_line(host);
        out += ':';
        append_number(out, h.port);
        out += "\r\n";
    }
    out += "Connection: keep-alive\r\n";
    add_field(out, "X-Forwarded-For", h.x_forwarded_for);
    add_field(out, "Via", h.via);
    add_field(out, "Encapsulated", h.encapsulated);
}

} // namespace

void header_set_cookie_filter(CookieLineFilter filter) { cookie_filter.store(filter, std::memory_order_release); }

void header_send_filebuf(Filebuf* buffer, const HEADER* header, CONNECTION_T* connection, int mode)
{
    const HEADER& h = *header;
    // One allocation for the whole header in the common case: the lines as received plus room
    // for the start line and the fields the writer adds.
    std::size_t estimate = 512 + text_of(h.url).size();
    for (const HTTP_HEADER& line : (h.flags & HEADER_FILTERED) ? h.filtered : h.lines)
        estimate += line.name.size() + line.value.size() + 4;
    std::string out;
    out.reserve(estimate);
    start_line(out, h, mode);

    const bool icap = h.kind == HEADER_ICAP_REQUEST || h.kind == HEADER_ICAP_RESPONSE;
    const CookieLineFilter filter = icap ? nullptr : cookie_filter.load(std::memory_order_acquire);
    for (const HTTP_HEADER& line : (h.flags & HEADER_FILTERED) ? h.filtered : h.lines) {
        if (filter != nullptr && (starts_with_nocase(line.name, "Set-Cookie") || starts_with_nocase(line.name, "Cookie"))) {
            if (const std::optional<std::string> value = filter(h, line, connection))
                add_line(out, line.name, *value);
        } else if (line.type == HTTP_HEADER_PASS) {
            add_line(out, line.name, line.value);
        }
    }

    if (h.content_type && !h.content_type->empty())
        add_line(out, "Content-Type", *h.content_type);
    // A length beside a chunked body would let the next receiver frame it another way.
    if (h.chunked == 1) {
        out += "Transfer-Encoding: chunked\r\n";
    } else if (h.flags & HEADER_LENGTH) {
        out += "Content-Length: ";
        append_number(out, h.content_length);
        out += "\r\n";
    }

    if (mode == HEADER_TO_CLIENT || mode == 5) {
        add_field(out, "Cache-Control", h.cache_control);
        add_field(out, "Expires", h.expires);
        add_field(out, "Last-Modified", h.last_modified);
        add_field(out, "Location", h.location);
        add_field(out, "WWW-Authenticate", h.www_authenticate);
        add_field(out, "Proxy-Authenticate", h.proxy_authenticate);
        add_field(out, "Content-Encoding", h.content_encoding);
        const char* keepalive = connection != nullptr && connection->keepalive_client ? "keep-alive" : "close";
        add_line(out, "Connection", keepalive);
        add_line(out, "Proxy-Connection", keepalive);
        add_field(out, "X-Cache", h.x_cache);
        add_field(out, "Age", h.age);
        add_field(out, "Warning", h.warning);
    } else if (mode == HEADER_TO_PARENT) {
        out += "Proxy-Connection: keep-alive\r\n";
        if (connection != nullptr && !connection->proxy_auth.empty())
            add_line(out, "Proxy-Authorization", connection->proxy_auth);
        else
            add_field(out, "Proxy-Authorization", h.proxy_authorization);
        add_field(out, "Cache-Control", h.cache_control);
        request_lines(out, h);
    } else if (mode == HEADER_TO_SERVER) {
        request_lines(out, h);
    }
    out += "\r\n";
    buffer->Add(out);
}

int header_send(HEADER* header, CONNECTION_T* connection, int target, int mode)
{
    if (target == SIDE_CLIENT && (connection->flags & CONN_NOCLIENT))
        return 0;
    Filebuf buffer;
    header_send_filebuf(&buffer, header, connection, mode);
    net_filebuf_send(&buffer, connection, target);
    if (Socket* socket = side_socket(connection, target == SIDE_SERVER ? SIDE_SERVER : SIDE_CLIENT))
        socket->Flush();
    return 0;
}

int header_send_held(HEADER* header, CONNECTION_T* connection, int mode)
{
    if ((connection->flags & CONN_NOCLIENT) || connection->client == nullptr)
        return 0;
    Filebuf buffer;
    header_send_filebuf(&buffer, header, connection, mode);
    connection->client->Hold(buffer.data(), buffer.size());
    return 0;
}

void via_header_update(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    if (request == nullptr)
        return;
    std::string via;
    via.reserve(text_of(request->via).size() + connection->localip.size() + 40);
    if (request->via) {
        via += *request->via;
        via += ", ";
    }
    via += connection->localip;
    via += ':';
    append_number(via, connection->port);
    via += " (Tarvodine ";
    via += RELEASE_LABEL;
    via += ')';
    if (via.size() > EDITED_VALUE_MAX)
        via.resize(EDITED_VALUE_MAX);
    request->via = std::move(via);
}

void xcache_header_update(CONNECTION_T* connection, int miss)
{
    HEADER* response = connection->response;
    if (response == nullptr)
        return;
    std::string xcache;
    xcache.reserve(text_of(response->x_cache).size() + 40);
    if (response->x_cache) {
        xcache += *response->x_cache;
        xcache += ", ";
    }
    xcache += miss == 0 ? "HIT" : "MISS";
    xcache += " from Tarvodine ";
    xcache += RELEASE_LABEL;
    if (xcache.size() > EDITED_VALUE_MAX)
        xcache.resize(EDITED_VALUE_MAX);
    response->x_cache = std::move(xcache);
}

void header_variables(CONNECTION_T* connection, std::string_view prefix, const std::list<HTTP_HEADER>& lines)
{
    RequestVariables& variables = connection->variables;
    for (const HTTP_HEADER& line : lines) {
        // Built in place, in the map's own room, and moved into it.
        VariableText name(variables.get_allocator());
        name.reserve(prefix.size() + line.name.size() + 2);
        name += prefix;
        name += '[';
        const std::size_t from = name.size();
        name += line.name;
        for (std::size_t i = from; i < name.size(); ++i)
            if (name[i] >= 'A' && name[i] <= 'Z')
                name[i] = static_cast<char>(name[i] - 'A' + 'a');
        name += ']';
        if (name.size() > VARIABLE_NAME_MAX)
            name.resize(VARIABLE_NAME_MAX);
        variables.insert_or_assign(std::move(name), std::string_view(line.value));
    }
}

void statincr_hosts(CONNECTION_T* connection)
{
    if (connection == nullptr || connection->request == nullptr || !connection->request->host)
        return;
    stat_count_connection(connection, "hosts", *connection->request->host);
}

void statincr_mimes(CONNECTION_T* connection)
{
    if (connection == nullptr || connection->response == nullptr || !connection->response->content_type)
        return;
    stat_count_connection(connection, "mimes", *connection->response->content_type);
}
