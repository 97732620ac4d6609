#include "admin/interface.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "http/connection.h"
#include "util/filebuf.h"
#include "http/header.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/stringutil.h"
#include "http/proto_http.h"
#include "config/template.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

bool is_interface_host(const HeaderText& host)
{
    return host && equal_nocase(*host, INTERFACE_HOST);
}

void page(CONNECTION_T* connection)
{
    template_section->send("unknown", connection, 404);
}

} // namespace

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

void interface_handle_request(CONNECTION_T* connection) { page(connection); }

void limits_show(CONNECTION_T* connection) { page(connection); }
void show_profiles(CONNECTION_T* connection) { page(connection); }
void cache_show(CONNECTION_T* connection) { page(connection); }
void show_proxytest(CONNECTION_T* connection) { page(connection); }
void show_headers(CONNECTION_T* connection) { page(connection); }
void show_variables(CONNECTION_T* connection) { page(connection); }
void show_filebuf(CONNECTION_T* connection, Filebuf*) { page(connection); }
void show_htmltree(CONNECTION_T* connection) { page(connection); }
void interface_cookies_show(CONNECTION_T* connection) { page(connection); }

namespace {

constexpr const char* DOCTYPE =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">\n";

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

void CGIMap::parse(std::string_view text)
{
    if (text.empty())
        return;
    putlog(LOG_DEBUG, "cgi arguments: %.*s", static_cast<int>(text.size()), text.data());
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
