#include "http/urlcommand.h"

#include <algorithm>

#include "core/connection.h"
#include "http/header.h"
#include "util/log.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

constexpr std::string_view PREFIX = "xx--";
// url_command_add builds in an area of 4,096 bytes with its terminator.
constexpr std::size_t URL_COMMAND_ADD_MAX = 4095;

bool is_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The bytes a command name or option text may hold.
bool command_text(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return is_alnum(c) || c == '+' || c == '_' || c == '-' || c == '.'; });
}

// Where the "://" after a scheme at the very start of url stands; npos when url does not begin
// with a scheme (a "://" further on, in a query say, does not count).
std::size_t scheme_end(std::string_view url)
{
    const std::size_t at = url.find("://");
    if (at == std::string_view::npos || at == 0)
        return std::string_view::npos;
    const std::string_view scheme = url.substr(0, at);
    const bool valid = std::all_of(scheme.begin(), scheme.end(),
                                   [](char c) { return is_alnum(c) || c == '+' || c == '-' || c == '.'; });
    const bool letter = (scheme.front() >= 'a' && scheme.front() <= 'z') || (scheme.front() >= 'A' && scheme.front() <= 'Z');
    return valid && letter ? at : std::string_view::npos;
}

std::string text_or(const HeaderText& text, std::string_view fallback)
{
    return text ? *text : std::string(fallback);
}

// The referrer's commands, with the Referer rewritten to name the referring URL without them;
// null when the Referer carries none. The commands are looked for in the Referer as written,
// and only then in its decoded form, which is written back encoded.
UrlCommands referer_commands(HEADER* request)
{
    const std::string_view referer = *request->referer;
    const std::size_t separator = referer.find("://");
    const std::string_view rest = separator == std::string_view::npos ? referer : referer.substr(separator + 3);

    std::string remainder(rest);
    UrlCommands commands = url_command_parse(remainder);
    if (commands == nullptr) {
        std::string decoded = url_decode(rest);
        commands = url_command_parse(decoded);
        if (commands == nullptr)
            return nullptr;
        remainder = url_encode(decoded);
    }
    request->referer = text_or(request->scheme, "http") + "://" + remainder;
    return commands;
}

// Sends the client a 302 to the request's own URL with the commands in front of its host. False
// when the request names no usable host.
bool redirect_with(CONNECTION_T* connection, const url_command_list& commands)
{
    HEADER* request = connection->request.get();
    const std::string scheme = text_or(request->scheme, "http");
    std::string host;
    int port = request->port;
    if (request->host) {
        host = *request->host;
    } else {
        const std::optional<HostPort> named = http_host_split(*request->host_header, protocol_port(scheme));
        if (!named)
            return false;
        host = named->host;
        port = named->port;
    }

    HeaderPtr answer = header_redirect_new(scheme + "://" + url_command_create(commands) + host + ":" +
                                           std::to_string(port) + text_or(request->path, "/"));
    // A body the request announced is never read: the connection cannot go on after it.
    if (((request->flags & HEADER_LENGTH) != 0 && request->content_length > 0) || request->chunked != 0)
        connection->keepalive_client = 0;
    header_send(answer.get(), connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    return true;
}

} // namespace

UrlCommands url_command_parse(std::string& text)
{
    UrlCommands commands;
    std::size_t at = 0;
    while (text.size() - at >= PREFIX.size() && equal_nocase(std::string_view(text).substr(at, PREFIX.size()), PREFIX)) {
        const std::size_t dot = text.find('.', at + PREFIX.size());
        if (dot == std::string::npos)
            break;
        const std::string_view body = std::string_view(text).substr(at + PREFIX.size(), dot - at - PREFIX.size());
        url_command_t command;
        const std::size_t open = body.find('[');
        command.command = body.substr(0, open);
        if (open != std::string_view::npos) {
            const std::size_t close = body.find(']', open + 1);
            if (close != std::string_view::npos)
                command.options = body.substr(open + 1, close - open - 1);
        }
        if (command.command.empty() || !command_text(command.command) ||
            (command.options && !command_text(*command.options)))
            break;
        if (commands == nullptr)
            commands = std::make_unique<url_command_list>();
        commands->push_back(std::move(command));
        at = dot + 1;
    }
    text.erase(0, at);
    return commands;
}

int url_command_extract(CONNECTION_T* connection)
{
    connection->url_commands.reset();
    HEADER* request = connection->request.get();
    if (request == nullptr)
        return 1;

    if (request->kind == HEADER_ORIGIN) {
        if (request->host_header) {
            connection->url_commands = url_command_parse(*request->host_header);
        } else if (request->path) {
            const std::string& path = *request->path;
            const std::size_t first = path.find('/');
            const std::size_t second = first == std::string::npos ? first : path.find('/', first + 1);
            if (second != std::string::npos) {
                std::string segment = url_decode(std::string_view(path).substr(first + 1, second - first - 1));
                UrlCommands commands = url_command_parse(segment);
                if (commands != nullptr) {
                    request->path = path.substr(second);
                    connection->url_commands = std::move(commands);
                }
            }
        }
    } else if (request->host) {
        connection->url_commands = url_command_parse(*request->host);
        if (connection->url_commands != nullptr)
            header_complete(request);
    }

    if (!request->referer)
        return 1;
    UrlCommands inherited = referer_commands(request);
    if (inherited == nullptr || connection->url_commands != nullptr)
        return 1;
    const bool get = request->method && equal_nocase(*request->method, "GET");
    if (!get || (!request->host && !request->host_header) || !redirect_with(connection, *inherited)) {
        connection->url_commands = std::move(inherited);
        return 1;
    }
    return 0;
}

const url_command_t* url_command_find(const url_command_list* commands, std::string_view name)
{
    if (commands == nullptr)
        return nullptr;
    for (const url_command_t& command : *commands)
        if (equal_nocase(command.command, name))
            return &command;
    return nullptr;
}

bool url_command_has(const CONNECTION_T* connection, std::string_view name)
{
    return url_command_find(connection->url_commands.get(), name) != nullptr;
}

std::string url_command_create(const url_command_list& commands)
{
    std::string out;
    for (const url_command_t& command : commands) {
        out += PREFIX;
        out += command.command;
        if (command.options) {
            out += '[';
            out += *command.options;
            out += ']';
        }
        out += '.';
    }
    return out;
}

std::string url_command_add(CONNECTION_T* connection, std::string_view url)
{
    const HEADER* request = connection->request.get();
    const std::string scheme = request != nullptr ? text_or(request->scheme, "http") : std::string("http");
    const std::string prefixes =
        connection->url_commands != nullptr ? url_command_create(*connection->url_commands) : std::string();

    std::string out = scheme + "://" + prefixes;
    if (const std::size_t at = scheme_end(url); at != std::string_view::npos) {
        out += url.substr(at + 3);
    } else if (url.substr(0, 2) == "//") {
        // A network-path reference names its own host.
        out += url.substr(2);
    } else {
        out += (request != nullptr ? text_or(request->host, "") : std::string()) + ":" +
               std::to_string(request != nullptr ? request->port : 0);
        if (url.empty() || url.front() != '/') {
            std::string path = request != nullptr ? text_or(request->path, "/") : std::string("/");
            path.resize(std::min(path.size(), path.find('?')));   // a '/' in the query is no directory
            const std::size_t slash = path.rfind('/');
            if (slash != std::string::npos)
                out.append(path, 0, slash + 1);
        }
        out += url;
    }
    if (out.size() > URL_COMMAND_ADD_MAX)
        out.resize(URL_COMMAND_ADD_MAX);
    return out;
}

void url_command_log(const url_command_list* commands)
{
    if (commands == nullptr)
        return;
    for (const url_command_t& command : *commands) {
        if (command.options)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", command.command.c_str(), command.options->c_str());
        else
            putlog(LOG_URLCOMMAND, "command: %s", command.command.c_str());
    }
}

void url_command_free(CONNECTION_T* connection)
{
    connection->url_commands.reset();
}
