// Fuzz target over the request and response parsers and the header writer. Besides the
// sanitizers' findings it checks what the rest of the proxy relies on: what a parsed header
// holds never carries bytes that could break a line, the length rules hold, and a header written
// out parses back to the same target and framing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/filebuf.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "http/header.h"
#include "core/threads.h"
#include "daemon/signals.h"
#include "util/mem.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool has_line_break(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool host_clean(std::string_view host)
{
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == ':' || c == '/' || c == '@')
            return false;
    }
    return true;
}

bool path_clean(std::string_view path)
{
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x80)
            return false;
    }
    return true;
}

void check_common(const HEADER& h, std::string_view text)
{
    for (const HTTP_HEADER& line : h.lines) {
        require(!line.name.empty(), "empty line name");
        require(!has_line_break(line.name) && !has_line_break(line.value), "line break inside a line");
        require(line.name.find(':') == std::string::npos, "':' in a line name");
        require(line.type == HTTP_HEADER_FIELD || line.type == HTTP_HEADER_PASS, "line type");
    }
    require(h.raw.has_value(), "raw missing");
    if (h.version != HTTP_VERSION_09)
        require(text.substr(0, h.raw->size()) == *h.raw, "raw is not the start of the text");
    require(h.content_length >= 0, "negative Content-Length");
    if (h.chunked)
        require((h.flags & HEADER_LENGTH) == 0, "Content-Length kept beside chunked");
    if (!(h.flags & HEADER_LENGTH))
        require(h.content_length == 0, "Content-Length without its flag");

    const HeaderPtr copy = http_header_dup(&h);
    require(copy && copy->lines.size() == h.lines.size() && copy->url == h.url && copy->raw == h.raw,
            "copy differs");
}

void check_request(const HEADER& h, std::string_view text)
{
    check_common(h, text);
    require(h.method && !h.method->empty() && h.method->size() <= HEADER_METHOD_MAX, "method");
    require(h.path && !h.path->empty() && path_clean(*h.path), "path");
    require(h.kind == HEADER_CONNECT || h.kind == HEADER_ABSOLUTE || h.kind == HEADER_ORIGIN, "kind");
    if (h.kind == HEADER_ORIGIN) {
        require(!h.host && !h.url && h.port == 80, "origin-form fields");
        return;
    }
    require(h.host && host_clean(*h.host), "host bytes");
    require(h.url && !has_line_break(*h.url), "full URL");
    if (h.flags & HEADER_DEFAULT_PORT)
        require(h.port == 0 || h.port == 21 || h.port == 80 || h.port == 443, "default port");
    else
        require(h.port >= 1 && h.port <= 65535, "port range");
    if (h.host_header) {
        const std::string_view value = *h.host_header;
        const auto split = http_host_split(value, 80);
        if (split) {
            require(host_clean(split->host), "Host line host bytes");
            require(split->port >= 1 && split->port <= 65535, "Host line port range");
        }
    }
}

void check_response(const HEADER& h, std::string_view text)
{
    check_common(h, text);
    require(h.kind == HEADER_RESPONSE && h.status > 0, "status");
    if (h.version == HTTP_VERSION_09)
        require(h.lines.empty() && h.status == 200, "HTTP/0.9 header");
}

// Every line of a written header ends with CRLF and holds no other line break; a blank line
// ends the header and nothing follows it.
std::string written(const HEADER& h, int mode)
{
    Filebuf buffer;
    header_send_filebuf(&buffer, &h, nullptr, mode);
    const std::string out(buffer.view());
    require(out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0, "written header end");
    std::size_t start = 0;
    for (std::size_t crlf = out.find("\r\n"); crlf != std::string::npos; crlf = out.find("\r\n", start)) {
        const std::string_view line(out.data() + start, crlf - start);
        require(!has_line_break(line), "line break inside a written line");
        start = crlf + 2;
        if (line.empty())
            break;
    }
    require(start == out.size(), "bytes after the written blank line");
    return out;
}

void check_request_written(const HEADER& h)
{
    const std::string direct = written(h, HEADER_TO_SERVER);
    // A CONNECT is never sent direct (its tunnel is opened by connecting): only its bytes count.
    if (h.kind != HEADER_CONNECT) {
        const HeaderPtr again = http_header_parse_request(direct);
        require(again != nullptr, "a request written direct does not parse");
        require(again->path == h.path, "path changed on the way");
        require(again->chunked == h.chunked, "chunked changed on the way");
        require((again->flags & HEADER_LENGTH) == (h.flags & HEADER_LENGTH) &&
                    again->content_length == h.content_length,
                "length changed on the way");
        if (h.kind == HEADER_ABSOLUTE) {
            const auto split = http_host_split(again->host_header.value_or(""), 80);
            require(split && split->host == *h.host, "Host line does not name the host");
        }
    }

    const std::string parent = written(h, HEADER_TO_PARENT);
    if (const HeaderPtr proxied = http_header_parse_request(parent)) {
        if (h.kind == HEADER_ABSOLUTE || h.kind == HEADER_CONNECT) {
            require(proxied->host == h.host && proxied->port == h.port, "target changed on the way to a parent");
            if (h.kind == HEADER_ABSOLUTE)
                require(proxied->path == h.path, "path changed on the way to a parent");
        }
    }
}

void check_response_written(const HEADER& h)
{
    const HeaderPtr again = http_header_parse_response(written(h, HEADER_TO_CLIENT));
    require(again != nullptr && again->status == h.status, "a response written to the client does not parse");
    require(again->chunked == h.chunked, "chunked changed on the way");
    require((again->flags & HEADER_LENGTH) == (h.flags & HEADER_LENGTH) && again->content_length == h.content_length,
            "length changed on the way");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Logging needs the runtime record and a thread-table slot.
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const HeaderPtr request = http_header_parse_request(text)) {
        check_request(*request, text);
        check_request_written(*request);
    }
    if (const HeaderPtr response = http_header_parse_response(text)) {
        check_response(*response, text);
        check_response_written(*response);
    }

    const std::size_t length = header_length(text, size);
    require(length <= size, "header_length beyond the text");
    const int type = header_type(text, size);
    require(type == HEADER_RESPONSE || type == HEADER_ORIGIN, "header_type");
    return 0;
}
