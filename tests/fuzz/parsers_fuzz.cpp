// Fuzz target over the parsers that take their bytes whole: FTP listings and the directory page
// built from them, FTP reply codes, paths and address arguments, URLs and their percent-coding,
// Host values, URL commands, Base64 and Basic credentials, and gzip/deflate bodies. The first
// byte picks the parser, the rest is its input. Besides the sanitizers' findings it checks what
// the rest of the proxy relies on: no line break or zero byte where a value goes on a line,
// lengths and caps kept, escaping that holds whatever the server named, and round trips.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml.h>

#include "policy/access.h"
#include "policy/auth.h"
#include "util/base64.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "ftp/ftplist.h"
#include "fuzz_support.h"
#include "http/header.h"
#include "admin/interface.h"
#include "policy/password_cache.h"
#include "ftp/proto_ftp.h"
#include "util/url.h"
#include "http/urlcommand.h"

using fuzz::has_any;
using fuzz::has_line_break;
using fuzz::Input;
using fuzz::require;

namespace {

using namespace std::literals;

// A fixed clock: the year given to dates listed with a time of day must not depend on the day
// the fuzzer runs.
constexpr std::time_t LISTING_NOW = 1700000000;

std::size_t count_of(std::string_view text, char c)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

bool lower_case(std::string_view s)
{
    return std::none_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool url_bytes(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x80;
    });
}

// The directory page of the entries as the client receives it, its header taken off.
std::string listing_page(const DirList& entries)
{
    fuzz::Peer client;
    {
        ConnectionPtr connection = connection_new("127.0.0.1");
        connection->client = client.take();
        connection->request =
            http_header_parse_request("GET ftp://ftp.test/pub/dir/ HTTP/1.1\r\nHost: ftp.test\r\n\r\n");
        require(connection->request != nullptr, "the listing request parses");
        show_dirlist(connection.get(), entries);
    }
    const std::string& answer = client.received();
    const std::size_t body = answer.find("\r\n\r\n");
    require(body != std::string::npos, "the listing page has a header");
    return answer.substr(body + 4);
}

void listing(std::string_view text)
{
    const DirList entries = dir_list_parse(text, LISTING_NOW);
    require(entries.size() <= count_of(text, '\n') + 1, "more entries than lines");
    for (const dir_t& entry : entries) {
        // The name goes into CWD and RETR commands and is compared with the requested file.
        require(!entry.name.empty(), "empty name");
        require(!has_any(entry.name, "\r\n\0"sv) && !has_any(entry.link, "\r\n\0"sv), "line end in a name");
        std::string_view listed = entry.name;
        if (entry.isdir != 0) {
            require(listed.back() == '/', "a directory's name without its '/'");
            if (text.find(listed) == std::string_view::npos)
                listed.remove_suffix(1);
        }
        require(text.find(listed) != std::string_view::npos, "a name that is not the server's bytes");
        require(!entry.owner.empty() && !entry.group.empty() && !has_any(entry.owner, " \r\n") &&
                    !has_any(entry.group, " \r\n"),
                "owner or group is no single word");
        require((entry.mode & ~07777) == 0, "mode bits");
        require(entry.tm.tm_mon >= 0 && entry.tm.tm_mon <= 11 && entry.tm.tm_mday >= 1 && entry.tm.tm_mday <= 31 &&
                    entry.tm.tm_hour >= 0 && entry.tm.tm_hour <= 23 && entry.tm.tm_min >= 0 && entry.tm.tm_min <= 59,
                "listed date out of range");
    }

    // Sorting keeps every entry, whatever the field and order.
    for (const int field : {DIR_SORT_NAME, DIR_SORT_SIZE, DIR_SORT_TIME}) {
        for (const int descending : {0, 1}) {
            DirList sorted = entries;
            dir_list_sort(sorted, descending, field);
            require(sorted.size() == entries.size(), "sorting lost entries");
            std::vector<std::string> before, after;
            for (const dir_t& e : entries)
                before.push_back(e.name);
            for (const dir_t& e : sorted)
                after.push_back(e.name);
            std::sort(before.begin(), before.end());
            std::sort(after.begin(), after.end());
            require(before == after, "sorting changed the entries");
        }
    }

    // Whatever the server named, the page has the markup of the same listing with plain names:
    // every name is escaped in its text and its link.
    if (entries.size() > 200)
        return;
    DirList plain = entries;
    for (dir_t& entry : plain)
        entry.name = entry.isdir != 0 ? "n/" : "n";
    const std::string page = listing_page(entries);
    const std::string reference = listing_page(plain);
    for (const char c : {'<', '>', '"'})
        require(count_of(page, c) == count_of(reference, c), "a listed name changed the page's markup");
}

void ftp_texts(std::string_view text)
{
    ftp_reply_code(text);

    // What the server is told: never a second command in it.
    if (const std::optional<std::string> path = ftp_path_decode(text)) {
        require(!has_any(*path, "\r\n\0"sv) && ftp_value_safe(*path), "line end in a decoded path");
        require(path->size() <= text.size(), "a decoded path grew");
        if (text.find('%') == std::string_view::npos)
            require(*path == text, "a path without escapes changed");
    } else {
        require(has_any(text, "\r\n\0%"sv), "a plain path refused");
    }

    // A PASV answer's address reads back the same once written as a PORT argument.
    if (const std::optional<sockaddr_in> address = ftpport_parse(text)) {
        const std::string written = ftpport_create(*address);
        require(written.find_first_not_of("0123456789,") == std::string::npos, "PORT argument bytes");
        const std::optional<sockaddr_in> again = ftpport_parse(written);
        require(again && again->sin_addr.s_addr == address->sin_addr.s_addr && again->sin_port == address->sin_port,
                "PORT argument does not read back");
    }
}

void urls(std::string_view text)
{
    if (const std::optional<URL> url = url_parse(text)) {
        require(lower_case(url->scheme) && url->scheme.find(':') == std::string::npos, "scheme");
        require(url_bytes(url->host) && lower_case(url->host) && !has_any(url->host, ":/"), "host bytes");
        require(!url->path.empty() && url->path.front() == '/' && url->path.size() <= URL_PATH_MAX &&
                    url_bytes(url->path) && url->path.find('#') == std::string::npos,
                "path");
        require(url->port >= 0 && url->port <= 65535, "port range");
        require(!has_any(url->user, ":@/") && !has_any(url->password, "@/"), "credentials bytes");
        const std::string created = url_create(*url);
        require(created.size() <= 1023, "url_create beyond 1,023 characters");
        // A URL written out names the same resource when it is read again (a scheme without a
        // default port gets port 0, which no URL may name).
        if (created.size() < 1023 && url->port != 0 && url->user.empty() && url->host.find('@') == std::string::npos) {
            const std::optional<URL> again = url_parse(created);
            require(again && urlcmp(*again, *url) == 1, "url_create does not read back");
        }
    }

    const std::string decoded = url_decode(text);
    require(decoded.find('\0') == std::string::npos, "a decoded zero byte");
    const std::string kept_plus = url_decode(text, std::string_view::npos, false);
    require(kept_plus.find('\0') == std::string::npos, "a decoded zero byte");
    const std::string encoded = url_encode(text);
    require(!has_any(encoded, " \r\n\"<>&#?"), "url_encode left a byte that needs escaping");
    const std::string_view plain = text.substr(0, text.find('\0'));
    if (plain.find('+') == std::string_view::npos)
        require(url_decode(encoded) == plain, "url_decode(url_encode(s)) != s");

    const std::string resolved = resolve_path(text);
    require(!resolved.empty() && resolved.front() == '/', "resolved path is not absolute");
    require(resolved.find("//") == std::string::npos && resolved.find("/./") == std::string::npos &&
                resolved.find("/../") == std::string::npos && !resolved.ends_with("/..") && !resolved.ends_with("/."),
            "resolved path keeps a dot segment");

    // Links of the client's path: every byte of it escaped, so the markup is the links' own.
    const std::string links = path_to_url(text);
    std::size_t anchors = 0;
    for (std::size_t at = links.find("<a href="); at != std::string::npos; at = links.find("<a href=", at + 1))
        ++anchors;
    require(count_of(links, '<') <= 2 * anchors && count_of(links, '>') <= 2 * anchors &&
                count_of(links, '"') <= 2 * anchors,
            "a path byte became markup");

    const CGIMap arguments(text);
    for (const auto& [name, value] : arguments.values())
        require(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos, "zero byte in an argument");

    if (const std::optional<HostPort> split = http_host_split(text, 80)) {
        require(!split->host.empty() && url_bytes(split->host) && split->host.find_first_of(":/@\x7f") == std::string::npos &&
                    lower_case(split->host),
                "Host value host bytes");
        require(split->port >= 1 && split->port <= 65535, "Host value port range");
        const std::optional<HostPort> again = http_host_split(split->host + ":" + std::to_string(split->port), 1);
        require(again && again->host == split->host && again->port == split->port, "Host value does not read back");
    }
}

void url_commands(std::string_view text)
{
    std::string host(text);
    const UrlCommands commands = url_command_parse(host);
    require(host.size() <= text.size() && text.ends_with(host), "url_command_parse changed the host");
    if (commands != nullptr) {
        require(!commands->empty(), "an empty command list");
        for (const url_command_t& command : *commands) {
            const auto clean = [](std::string_view s) {
                return std::all_of(s.begin(), s.end(), [](char c) {
                    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
                           c == '_' || c == '-' || c == '.';
                });
            };
            require(!command.command.empty() && clean(command.command), "command name bytes");
            require(!command.options || clean(*command.options), "command option bytes");
        }
        // The prefixes written for a redirect carry the same commands in front of the same host.
        std::string again = url_command_create(*commands) + host;
        const UrlCommands reread = url_command_parse(again);
        require(reread != nullptr && reread->size() == commands->size() && again == host,
                "url_command_create does not read back");
        for (std::size_t i = 0; i < commands->size(); ++i)
            require((*reread)[i].command == (*commands)[i].command && (*reread)[i].options == (*commands)[i].options,
                    "url_command_create does not read back");
    }

    // A server's Location with the commands put in front of its host: one line, within the cap.
    ConnectionPtr connection = connection_new("127.0.0.1");
    connection->request = http_header_parse_request("GET http://www.test/dir/page?q=a/b HTTP/1.1\r\n\r\n");
    require(connection->request != nullptr, "the request parses");
    std::string prefixed = "xx--bypass[ck].xx--raw.";
    connection->url_commands = url_command_parse(prefixed);
    const std::string location = url_command_add(connection.get(), text);
    require(location.size() <= 4095, "url_command_add beyond 4,095 characters");
    require(location.starts_with("http://xx--bypass[ck].xx--raw."), "url_command_add prefixes");
    if (!has_line_break(text))
        require(!has_line_break(location), "url_command_add made a line break");
}

void base64(Input& in)
{
    const std::size_t capacity = in.byte() + 1;
    const std::string_view text = in.rest();
    // Exactly capacity bytes: a write beyond them is the sanitizer's finding.
    std::vector<char> out(capacity, 'x');
    const int n = from64tobits(out.data(), out.size(), text);
    if (n >= 0) {
        require(static_cast<std::size_t>(n) < capacity && out[static_cast<std::size_t>(n)] == '\0', "decoded length");
        require(static_cast<std::size_t>(n) <= text.size() / 4 * 3, "more bytes than the text holds");
    } else {
        require(std::find(out.begin(), out.end(), '\0') != out.end(), "a refused text left no terminator");
    }

    const std::string encoded = to64frombits(text);
    require(encoded.size() == (text.size() + 2) / 3 * 4 &&
                encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
                    std::string::npos,
            "Base64 text");
    std::vector<char> back(text.size() + 1);
    const int m = from64tobits(back.data(), back.size(), encoded);
    require(text.empty() ? m == -1 : (m >= 0 && std::string_view(back.data(), static_cast<std::size_t>(m)) == text),
            "Base64 does not read back");

    // A client's Basic credentials.
    std::string user = "unset", password = "unset";
    if (auth_basic_split(text, user, password)) {
        require(user.size() <= AUTH_FIELD_MAX && password.size() <= AUTH_FIELD_MAX, "credential length");
        require(user.find(':') == std::string::npos && password.find(':') == std::string::npos, "':' in a credential");
    }
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 && colon + 1 < text.size() && text.size() <= 4000) {
        const std::string_view u = text.substr(0, colon), p = text.substr(colon + 1);
        if (p.find(':') == std::string_view::npos && u.size() <= AUTH_FIELD_MAX && p.size() <= AUTH_FIELD_MAX) {
            std::string got_user, got_password;
            require(auth_basic_split("Basic " + to64frombits(text), got_user, got_password) && got_user == u &&
                        got_password == p,
                    "Basic credentials do not read back");
        }
    }
}

void compressed(Input& in)
{
    const unsigned how = in.byte();
    const int gzip = (how & 1) != 0 ? 1 : 0;
    // The cap: none, or a few bytes to a few kilobytes, so that both sides of it are reached.
    const std::size_t maximum = (how & 2) != 0 ? SIZE_MAX : (static_cast<std::size_t>(how >> 2) + 1) * 64;
    const std::string_view bytes = in.rest();

    Filebuf body;
    body.Add(bytes);
    if (body.Uncompress(gzip, maximum) == 1)
        require(body.size() <= maximum, "decoded beyond the cap");
    else
        require(body.view() == bytes, "a refused body was changed");

    Filebuf round;
    round.Add(bytes);
    require(round.Compress(gzip) == 1, "compression failed");
    require(round.Uncompress(gzip) == 1 && round.view() == bytes, "compression does not read back");
}

// The client's credentials at the authentication stage, against a plain rule and a PAM rule
// (a stand-in PAM that knows one user): the client is admitted, challenged or refused, and
// whatever it sent, the user text that goes into the access log is one line of printable bytes.
int pam_stand_in(const char* user, const char* password)
{
    return std::strcmp(user, "pam-user") == 0 && std::strcmp(password, "pam-secret") == 0 ? 0 : 7;
}

void credentials(Input& in)
{
    const unsigned how = in.byte();
    const std::string_view value = in.line();
    const std::string_view forwarded = in.rest();
    ConnectionPtr connection = connection_new("10.0.0.7");
    connection->localip = "127.0.0.1";
    connection->port = 3128;
    connection->request = header_new();
    HEADER& request = *connection->request;
    request.kind = (how & 1) != 0 ? HEADER_ORIGIN : HEADER_ABSOLUTE;
    (request.kind == HEADER_ORIGIN ? request.authorization : request.proxy_authorization) = std::string(value);
    if ((how & 2) != 0)
        request.x_forwarded_for = std::string(forwarded);
    Filebuf body;
    const int result = access_auth(connection.get(), &body);
    require(result == 0 || result == 1, "access_auth's outcome");
    require(std::none_of(connection->username.begin(), connection->username.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
            "a control byte in the logged user");
    if (result == 1) {
        require(connection->response != nullptr && connection->response->status > 0, "an answer without a status");
        Filebuf written;
        header_send_filebuf(&written, connection->response, connection.get(), HEADER_TO_CLIENT);
        require(written.view().ends_with("\r\n\r\n"), "the answer's header");
        header_free(connection->response);
        connection->response = nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::process_init();
    global->password_cache = password_cache_create(password_cachesize);
    auth_set_pam_check(pam_stand_in);
    static AccessSection access;
    TiXmlDocument rules;
    const auto rule = [](const char* user, const char* password, const char* pam) {
        return std::string("<allow><enabled>true</enabled><comment></comment><log>false</log><interfaces></interfaces>"
                           "<clients></clients><pam>") +
               pam + "</pam><username>" + user + "</username><password>" + password +
               "</password><access>proxy</access><bypass></bypass><interfaceuser></interfaceuser>"
               "<interfacepassword></interfacepassword><profiles></profiles></allow>";
    };
    rules.Parse(("<tarvodine><access><order>allow_deny</order>" + rule("alice", "secret", "false") +
                 rule("", "", "true") + "</access></tarvodine>")
                    .c_str());
    require(!rules.Error(), "the access rules parse");
    access.load(&rules, 1);
    access_section = &access;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    switch (in.byte() % 7) {
    case 0: listing(in.rest()); break;
    case 1: ftp_texts(in.rest()); break;
    case 2: urls(in.rest()); break;
    case 3: url_commands(in.rest()); break;
    case 4: base64(in); break;
    case 5: compressed(in); break;
    default: credentials(in); break;
    }
    return 0;
}
