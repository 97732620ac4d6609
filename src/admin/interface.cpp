#include "admin/interface.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include <openssl/crypto.h>

#include "admin/blowfish.h"
#include "admin/cachepage.h"
#include "admin/configpages.h"
#include "admin/statuspages.h"
#include "config/configfile.h"
#include "config/general.h"
#include "config/xmlcursor.h"
#include "core/options.h"
#include "core/connection.h"
#include "http/request.h"
#include "policy/cookie.h"
#include "util/filebuf.h"
#include "http/header.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/stringutil.h"
#include "http/body.h"
#include "http/template.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

constexpr const char* DOCTYPE =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">\n";

// The release label in the title of the interface pages.
constexpr const char* RELEASE = "0.1.0";
// Seconds a login cookie lives after the last page served with it.
constexpr int LOGIN_LIFETIME = 3600;
// The most of a POST body the interface reads: its forms send a few short fields.
constexpr std::size_t FORM_BODY_MAX = 1 << 20;

bool is_interface_host(const HeaderText& host)
{
    return host && equal_nocase(*host, INTERFACE_HOST);
}

std::string gmt_text(std::time_t when, const char* format)
{
    std::tm broken{};
    gmtime_r(&when, &broken);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &broken);
    return std::string(text, length);
}

// Byte strings compared in a time that does not depend on where they differ.
bool equal_secret(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The proxy's own host name: -H, else the general section's, at most 255 characters.
std::string proxy_hostname()
{
    std::string name = !proxyhost.empty() ? proxyhost
                       : general_section != nullptr ? general_section->proxyhost_get()
                                                    : std::string();
    if (name.size() > 255)
        name.resize(255);
    return name;
}

// "/<interface host>/x" of an origin-form request routes as "/x"; every other path as it is.
std::string relative_path(const HEADER& request)
{
    std::string path = request.path ? *request.path : std::string();
    const std::size_t length = std::strlen(INTERFACE_HOST);
    if (request.kind == HEADER_ORIGIN && path.size() > length && path[0] == '/' &&
        starts_with_nocase(std::string_view(path).substr(1), INTERFACE_HOST))
        path.erase(0, length + 1);
    return path;
}

void log_answer(CONNECTION_T* connection, const HEADER& header, std::size_t size)
{
    LogEntry& entry = connection->logentry;
    entry.status = header.status;
    entry.size = size;
    entry.mime = text_or_empty(header.content_type);
}

void send_page(CONNECTION_T* connection, HEADER* header, Filebuf* page)
{
    log_answer(connection, *header, page->size());
    {
        ResponseLoan slot(connection, header);
        header_send(header, connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    }
    http_send_body(connection, page);
}

HeaderPtr response_new(int status, const char* type)
{
    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = status;
    if (type != nullptr)
        header->content_type = std::string(type);
    return header;
}

void redirect_to_interface(CONNECTION_T* connection)
{
    HeaderPtr header = header_redirect_new(std::string(INTERFACE_HOST) + "/");
    Filebuf empty;
    send_page(connection, header.get(), &empty);
}

// The configuration as XML, for synchronising slaves and administrators. The document is
// printed into memory under documentlock and sent after it is released, so a slow reader never
// holds up loads, saves or synchronisation. The end of the connection ends the document.
void export_xml(CONNECTION_T* connection)
{
    if (connection->client == nullptr || (connection->flags & CONN_NOCLIENT) != 0)
        return;
    Filebuf body;
    std::time_t synctime = 0;
    {
        std::lock_guard lock(documentlock);
        config_xml_build();
        if (document != nullptr)
            body.Add(xml_document_print(*document));
        synctime = documentsynctime;
    }
    connection->keepalive_client = 0;
    HeaderPtr header = response_new(200, "text/xml");
    header->last_modified = gmt_text(synctime, "%a, %d %b %Y %T GMT");
    header->cache_control = std::string("no-cache");
    send_page(connection, header.get(), &body);
}

// The body of a POST to the interface: what the road read, or read now when it was left on the
// socket. Empty when it cannot be read whole or is larger than any form of the interface sends.
std::string form_body(CONNECTION_T* connection)
{
    std::string text = connection->body != nullptr ? std::string(connection->body->view()) : std::string();
    if ((connection->flags & CONN_BODY_PENDING) == 0)
        return text;
    int more = 0;
    const std::unique_ptr<Filebuf> rest =
        http_transfer_filebuf(connection, SIDE_CLIENT, FORM_BODY_MAX > text.size() ? FORM_BODY_MAX - text.size() : 0, &more);
    if (more != 0 || (connection->flags & CONN_TRANSFER_FAILED) != 0) {
        connection->keepalive_client = 0;
        return {};
    }
    connection->flags &= ~(CONN_BODY_PENDING | CONN_STREAM);
    if (rest != nullptr)
        text.append(rest->view());
    return text;
}

// Links in a line of the top menu.
constexpr int MENU_COLUMNS = 4;

void top_menu(Filebuf& page)
{
    page.Add("<tr class=\"topmenu\"><td align=\"center\"><b>Top Menu</b></td></tr>\n");
    page.Add("<tr><td align=\"center\"><table class=\"menu\" cellpadding=\"4\">\n");
    int column = 0;
    for (const InterfacePage* row = pages; row->path != nullptr; ++row) {
        if (row->menu == nullptr)
            continue;
        if (column == 0)
            page.Add("<tr align=\"center\">");
        // The link is relative: the path without its leading '/'.
        page.Addf("<td><a href=\"%s\">%s</a></td>", row->path + 1, row->menu);
        if (++column == MENU_COLUMNS) {
            page.Add("</tr>\n");
            column = 0;
        }
    }
    if (column != 0)
        page.Add("</tr>\n");
    page.Add("</table></td></tr>\n<tr><td><br></td></tr>\n<tr><td align=\"center\">\n");
}

void html_interface(CONNECTION_T* connection, const std::string& relative)
{
    const HEADER* request = connection->request.get();
    HeaderPtr response = response_new(200, "text/html");
    response->lines.push_back({HTTP_HEADER_PASS, "Date", gmt_text(std::time(nullptr), "%a, %d %b %Y %T GMT")});

    CGIMap args;
    bool query_parsed = false;
    if (interface_check_referer(connection) == 1) {
        if (request->method && equal_nocase(*request->method, "POST")) {
            args.parse(form_body(connection));
        } else if (const std::size_t query = relative.find('?'); query != std::string::npos) {
            args.parse(std::string_view(relative).substr(query + 1));
            query_parsed = true;
        }
    }

    Filebuf page;
    page.Add(DOCTYPE);
    page.Addf("<html><head><title>Tarvodine %s web interface for %s</title>\n", RELEASE,
              string_to_html(proxy_hostname(), 0).c_str());
    page.Add("</head>\n<body onmousemove=\"overhere()\">\n<div id=\"ToolTip\"></div>\n");
    template_section->insert(connection, &page, "tooltip");
    template_section->insert(connection, &page, "interfacehead");
    page.Add("<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\">\n<tr><td align=\"center\">\n"
             "<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\">\n");

    if (equal_nocase(relative, "/userstats")) {
        page.Add("<tr><td align=\"center\">\n");
        if (connection->stats)
            connection->stats->Display(page);
    } else if (!interface_login(connection, args, response.get(), &page)) {
        // The login form is the page.
    } else {
        top_menu(page);
        const std::string_view compared =
            query_parsed ? std::string_view(relative).substr(0, relative.find('?')) : std::string_view(relative);
        for (const InterfacePage* row = pages; row->path != nullptr; ++row)
            if (equal_nocase(compared, row->path))
                row->page(&page, args, connection);
    }
    page.Add("</td></tr></table>\n</td></tr></table>\n</body>\n</html>\n");

    response->content_length = static_cast<std::int64_t>(page.size());
    response->flags |= HEADER_LENGTH;
    send_page(connection, response.get(), &page);
}

} // namespace

const InterfacePage pages[] = {
    {"/connections", interface_page_connections, "Active connections"},
    {"/stats", interface_page_stats, "Statistics"},
    {"/dnscache", interface_page_dnscache, "DNS cache"},
    {"/headers", interface_page_headers, "Show headers"},
    {"/cache", interface_page_cache, "View cache entries"},
    {"/pool", interface_page_pool, "Connection pool"},
    {"/prefetch", interface_page_prefetch, "Prefetch queue"},
    {"/urlbl", interface_page_urlbl, "URL blacklist"},
    {"/config", interface_page_config, "Config"},
    {"/log", interface_page_log, "View log entries"},
    {"/save", interface_page_save, "Save settings"},
    {"/load", interface_page_load, "Load settings"},
    {nullptr, nullptr, nullptr},
};

bool interface_request(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    if (request == nullptr)
        return false;
    if (request->kind == HEADER_ORIGIN) {
        const std::size_t length = std::strlen(INTERFACE_HOST);
        if (request->path && request->path->size() > length &&
            starts_with_nocase(std::string_view(*request->path).substr(1), INTERFACE_HOST))
            return true;
        if (is_interface_host(request->host_header)) {
            request->kind = HEADER_ABSOLUTE;
            return true;
        }
        return false;
    }
    return is_interface_host(request->host);
}

void interface_handle_request(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr)
        return;
    const std::string relative = relative_path(*request);

    static constexpr std::string_view TEMPLATE_PREFIX = "/template/";
    if (starts_with_nocase(relative, TEMPLATE_PREFIX)) {
        if (template_section->send(std::string_view(relative).substr(TEMPLATE_PREFIX.size()), connection, 200) == 0)
            connection->keepalive_client = 0;
        return;
    }
    if (!equal_nocase(relative, "/userstats") && (connection->access & ACCESS_INTERFACE) == 0) {
        template_section->send("noaccess", connection, 403);
        return;
    }
    if (request->kind == HEADER_ORIGIN && (relative.empty() || relative[0] != '/')) {
        redirect_to_interface(connection);
        return;
    }
    if (equal_nocase(relative, "/xml")) {
        export_xml(connection);
        return;
    }
    html_interface(connection, relative);
}

int interface_check_referer(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr || !request->referer) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }
    const std::string& referer = *request->referer;
    // The page the form was on: the interface host on any port (only the proxy serves that
    // name), or the proxy's own name on the port this request came in on. The same name on
    // another port is any web server of the machine, whose pages would submit forms here.
    const auto from_interface = [&referer, connection] {
        static constexpr std::string_view SCHEME = "http://";
        if (!starts_with_nocase(referer, SCHEME))
            return false;
        const std::string_view rest = std::string_view(referer).substr(SCHEME.size());
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos)
            return false;
        std::string_view host = rest.substr(0, slash);
        if (host.find_first_of("@?#") != std::string_view::npos)
            return false;
        int port = 80;
        if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
            const std::string_view digits = host.substr(colon + 1);
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
                return false;
            host = host.substr(0, colon);
        }
        if (equal_nocase(host, INTERFACE_HOST))
            return true;
        const std::string proxy = proxy_hostname();
        return !proxy.empty() && equal_nocase(host, proxy) && port == connection->port;
    };
    if (from_interface())
        return 1;
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)", referer.c_str());
    return 0;
}

std::string interface_login_token(std::string_view user, std::string_view password)
{
    std::string text = std::string(user) + ":" + std::string(password);
    if (text.size() > 1023)
        text.resize(1023);
    return url_encode(blowfish_encrypt(text, text));
}

bool interface_login(CONNECTION_T* connection, const CGIMap& args, HEADER* response, Filebuf* page)
{
    const std::string& user = connection->interface_username;
    const std::string& password = connection->interface_password;
    if (user.empty() || password.empty())
        return true;
    const std::string token = interface_login_token(user, password);
    const auto set_cookie = [response](CookieHeader& cookie) {
        cookie.path = "/";
        const std::time_t expiry = std::time(nullptr) + LOGIN_LIFETIME;
        gmtime_r(&expiry, &cookie.expiry);
        cookie.expiry_set = true;
        response->lines.push_back({HTTP_HEADER_PASS, "Set-Cookie", cookie.Build()});
    };

    const HEADER* request = connection->request.get();
    for (const HTTP_HEADER& line : request->lines) {
        if (line.name != "Cookie")
            continue;
        CookieHeader cookie(line.value);
        for (const auto& [name, value] : cookie.pairs) {
            if (name != "login")
                continue;
            if (equal_secret(value, token)) {
                set_cookie(cookie);
                return true;
            }
            break;
        }
        break;
    }

    if (equal_secret(args.get("username"), user) && equal_secret(args.get("password"), password)) {
        CookieHeader cookie;
        cookie.pairs.emplace_back("login", token);
        set_cookie(cookie);
        return true;
    }

    page->Add("<tr><td align=\"center\">\n");
    page->Addf("<form method=\"POST\" action=\"%s\">\n", string_to_html(text_or_empty(request->path), 0).c_str());
    page->Add("<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Web interface login</td></tr>\n"
              "<tr><td>Username</td><td><input type=\"text\" name=\"username\" size=\"80\"></td></tr>\n"
              "<tr><td>Password</td><td><input type=\"password\" name=\"password\" size=\"80\"></td></tr>\n"
              "<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
              "</table>\n</form>\n");
    return false;
}

int xatoi(const std::string& text)
{
    if (text.empty())
        return -1;
    return std::atoi(text.c_str());
}

namespace {


// A name from a listing as a relative link: every byte but letters, digits, "-._~" and '/'
// percent-encoded, so that no name reads as a scheme, a query or markup.
std::string link_encode(std::string_view name)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 0xf];
        }
    }
    return out;
}

void sort_cell(Filebuf& page, const char* field, const char* label)
{
    page.Addf("<td><a href=\"?order=descending&amp;field=%s\"><img src=\"http://%s/template/uparrow\" border=\"0\" "
              "alt=\"descending\"></a> %s <a href=\"?order=ascending&amp;field=%s\"><img "
              "src=\"http://%s/template/downarrow\" border=\"0\" alt=\"ascending\"></a></td>",
              field, INTERFACE_HOST, label, field, INTERFACE_HOST);
}

} // namespace

namespace {

// The argument text with the value of every "password" argument blotted out, for the log.
std::string without_passwords(std::string_view text)
{
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t amp = text.find('&', pos);
        std::string_view part = text.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
        const std::size_t eq = part.rfind('=');
        if (eq != std::string_view::npos && url_decode(part.substr(0, eq)).ends_with("password")) {
            out.append(part.substr(0, eq + 1));
            out += "*";
        } else {
            out.append(part);
        }
        if (amp == std::string_view::npos)
            break;
        out += '&';
        pos = amp + 1;
    }
    return out;
}

} // namespace

void CGIMap::parse(std::string_view text)
{
    if (text.empty())
        return;
    const std::string logged = without_passwords(text);
    putlog(LOG_DEBUG, "cgi arguments: %s", logged.c_str());
    std::string pending;   // parts without '=', with the '&' after each
    std::size_t pos = 0;
    for (;;) {
        const std::size_t amp = text.find('&', pos);
        const std::string_view part = text.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
        const std::size_t eq = part.rfind('=');
        if (eq == std::string_view::npos) {
            if (amp == std::string_view::npos)
                break;
            pending += part;
            pending += '&';
        } else {
            pending += part.substr(0, eq);
            values_[url_decode(pending)] = url_decode(part.substr(eq + 1));
            pending.clear();
        }
        if (amp == std::string_view::npos)
            break;
        pos = amp + 1;
    }
}

const std::string& CGIMap::get(std::string_view name) const
{
    static const std::string empty;
    const auto it = values_.find(name);
    return it != values_.end() ? it->second : empty;
}

int interface_stylesheet(CONNECTION_T* connection, Filebuf* page)
{
    return template_section->insert(connection, page, "interface.css");
}

void interface_send_response(CONNECTION_T* connection, Filebuf* page)
{
    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = 200;
    header->content_type = std::string("text/html");
    header->cache_control = std::string("no-cache");
    header->content_length = static_cast<std::int64_t>(page->size());
    header->flags |= HEADER_LENGTH;

    LogEntry& entry = connection->logentry;
    entry.status = header->status;
    entry.size = page->size();
    entry.mime = *header->content_type;
    {
        ResponseLoan slot(connection, header.get());
        header_send(header.get(), connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    }
    http_send_body(connection, page);
}

void score_show(CONNECTION_T* connection, int score)
{
    const HEADER* request = connection->request.get();
    const std::string where = string_to_html(std::string(request != nullptr ? text_or_empty(request->host) : "") +
                                                 (request != nullptr ? text_or_empty(request->path) : ""),
                                             0);
    Filebuf page;
    page.Add(DOCTYPE);
    page.Addf("<html><head><title>Keyword score for %s</title></head>\n<body>\n", where.c_str());
    interface_stylesheet(connection, &page);
    page.Add("<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\"><tr><td align=\"center\">\n");
    page.Add("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Keyword score for %s</td></tr>\n", where.c_str());
    page.Addf("<tr><td align=\"center\">%d</td></tr>\n", score);
    page.Add("</table></td></tr></table>\n</body></html>\n");
    interface_send_response(connection, &page);
}

void show_dirlist(CONNECTION_T* connection, const DirList& entries)
{
    const HEADER* request = connection->request.get();
    const std::string host = request != nullptr && request->host ? *request->host : std::string();
    const std::string path = request != nullptr && request->path ? *request->path : std::string("/");
    const int port = request != nullptr ? request->port : 0;

    Filebuf page;
    page.Add(DOCTYPE);
    page.Add("<html><head><title>");
    page.Add(string_to_html("Directory listing for ftp://" + host + ":" + std::to_string(port) + path, 0));
    page.Add("</title></head>\n<body>\n");
    interface_stylesheet(connection, &page);
    page.Add("<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\"><tr><td align=\"center\">\n");
    page.Add("<table class=\"ftphead\"><tr><td>");
    page.Add(path_to_url(path));
    page.Add("</td></tr></table>\n");

    page.Add("<form method=\"GET\" action=\"");
    page.Add(string_to_html(path, 0));
    page.Add("\">\n<table class=\"list\">\n<tr class=\"dialoghead\"><td></td>");
    sort_cell(page, "name", "Name");
    sort_cell(page, "size", "Size");
    sort_cell(page, "date", "Date");
    page.Add("</tr>\n");

    bool even = true;
    for (const dir_t& entry : entries) {
        const std::string name = string_to_html(entry.name, 0);
        char date[64];
        const std::size_t length = std::strftime(date, sizeof date, "%a, %d %b %Y %T GMT", &entry.tm);
        page.Add(even ? "<tr class=\"listeven\">" : "<tr class=\"listodd\">");
        page.Add("<td><input type=\"checkbox\" name=\"filename\" value=\"" + name + "\"></td>");
        page.Add("<td><a href=\"" + link_encode(entry.name) + "\">" + name + "</a></td>");
        page.Add("<td>" + (entry.isdir != 0 ? std::string("DIR") : filesize(entry.size)) + "</td>");
        page.Add("<td>" + std::string(date, length) + "</td></tr>\n");
        even = !even;
    }

    page.Add("<tr class=\"dialogfoot\"><td colspan=\"4\">"
             "<input type=\"radio\" name=\"action\" value=\"delete\">Delete: "
             "<input type=\"radio\" name=\"action\" value=\"rename\">Rename: "
             "<input type=\"radio\" name=\"action\" value=\"mkdir\">Mkdir: "
             "<input type=\"radio\" name=\"action\" value=\"rmdir\">Rmdir: "
             "<input type=\"radio\" name=\"action\" value=\"rematch\">Regexp match: "
             "<input type=\"radio\" name=\"action\" value=\"raw\">Raw command: "
             "</td></tr>\n"
             "<tr class=\"dialogfoot\"><td colspan=\"4\">Argument: "
             "<input type=\"text\" name=\"argument\" size=\"80\"> "
             "<input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page.Add("</table>\n</form>\n</td></tr></table>\n</body></html>\n");
    interface_send_response(connection, &page);
}
