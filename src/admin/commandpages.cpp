// The diagnostic pages that URL commands ask for: each a whole answer on the client connection of
// the request it describes, outside the interface frame.
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "admin/interface.h"
#include "cache/cache.h"
#include "cache/htmlstream.h"
#include "cache/store.h"
#include "http/connect.h"
#include "core/connection.h"
#include "http/header.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "policy/cookie.h"

namespace {

constexpr const char* PAGE_DOCTYPE =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\" \"http://www.w3.org/TR/html4/loose.dtd\">\n";

// The request's host and path, as most titles name the page's subject.
std::string host_and_path(const CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr)
        return {};
    return std::string(text_or_empty(request->host)) + text_or_empty(request->path);
}

// Every text from the request or the origin reaches the page escaped: a title is markup too.
void page_start(CONNECTION_T* connection, Filebuf& page, const std::string& title)
{
    page.Add(PAGE_DOCTYPE);
    page.Add("<html><head><title>");
    page.Add(string_to_html(title, 0));
    page.Add("</title></head>\n<body>\n");
    interface_stylesheet(connection, &page);
}

void layout_open(Filebuf& page, const char* table_class)
{
    page.Add("<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\"><tr><td align=\"center\">\n");
    page.Addf("<table class=\"%s\">\n", table_class);
}

void finish(CONNECTION_T* connection, Filebuf& page, bool layout = true)
{
    if (layout)
        page.Add("</table>\n</td></tr></table>\n");
    page.Add("</body></html>\n");
    interface_send_response(connection, &page);
}

void head_row(Filebuf& page, const std::string& text, int columns = 1)
{
    page.Addf("<tr class=\"dialoghead\"><td colspan=\"%d\" align=\"center\">", columns);
    page.Add(string_to_html(text, 0));
    page.Add("</td></tr>\n");
}

void preformatted_row(Filebuf& page, std::string_view text, int columns = 1)
{
    page.Addf("<tr><td colspan=\"%d\"><pre>", columns);
    page.Add(string_to_html(text, 0));
    page.Add("</pre></td></tr>\n");
}

void pair_row(Filebuf& page, std::string_view name, std::string_view value)
{
    page.Add("<tr><td>");
    page.Add(name);
    page.Add("</td><td>");
    page.Add(value);
    page.Add("</td></tr>\n");
}

}  // namespace

void limits_show(CONNECTION_T* connection)
{
    const std::string title = "Transfer limits for " + host_and_path(connection);
    Filebuf page;
    page_start(connection, page, title);
    layout_open(page, "bigdialog");
    head_row(page, title, 2);
    pair_row(page, "Download limit", filesize(connection->download_allowance));
    pair_row(page, "Upload limit", filesize(connection->upload_allowance));
    finish(connection, page);
}

void show_profiles(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "Active profiles for " + host_and_path(connection));
    layout_open(page, "list");
    for (const std::string& profile : connection->profiles) {
        page.Add("<tr><td>");
        page.Add(string_to_html(profile, 0));
        page.Add("</td></tr>\n");
    }
    finish(connection, page);
}

void show_variables(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "Variables for " + host_and_path(connection));
    layout_open(page, "list");
    page.Add("<tr><td><b>Name</b></td><td><b>Value</b></td></tr>\n");
    // The map keeps its names in order.
    for (const auto& [name, value] : connection->variables)
        pair_row(page, string_to_html(name, 3), string_to_html(value, 3));
    finish(connection, page);
}

namespace {

// Cookie lines are listed by their exact names: a line that merely begins with one (Cookie-Foo)
// is filtered like a cookie but is no cookie to show.
bool named(const HTTP_HEADER& line, std::initializer_list<std::string_view> names)
{
    for (const std::string_view name : names) {
        if (line.name == name)
            return true;
    }
    return false;
}

void cookie_dialog(Filebuf& page, const char* head, const CookieHeader& cookie, bool attributes)
{
    page.Add("<tr><td align=\"center\"><table class=\"dialog\">\n");
    page.Addf("<tr><td colspan=\"2\" class=\"dialoghead\" align=\"center\">%s</td></tr>\n", head);
    if (attributes) {
        if (cookie.expiry_set)
            pair_row(page, "Expires", cookie.ExpiryText());
        if (!cookie.domain.empty())
            pair_row(page, "Domain", string_to_html(cookie.domain, 1));
        if (!cookie.path.empty())
            pair_row(page, "Path", string_to_html(cookie.path, 1));
    }
    for (const auto& [name, value] : cookie.pairs)
        pair_row(page, string_to_html(name, 1), string_to_html(value, 1));
    page.Add("</table></td></tr> <tr><td><br></td></tr>\n");
}

}  // namespace

void interface_cookies_show(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "Cookies for " + host_and_path(connection));
    page.Add("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\">\n");
    if (const HEADER* request = connection->request.get(); request != nullptr) {
        for (const HTTP_HEADER& line : request->lines) {
            if (named(line, {"Cookie", "Cookie2"}))
                cookie_dialog(page, "Sent cookie", CookieHeader(line.value), false);
        }
    }
    if (const HEADER* response = connection->response; response != nullptr) {
        for (const HTTP_HEADER& line : response->lines) {
            if (named(line, {"Set-Cookie", "Set-Cookie2"}))
                cookie_dialog(page, "Received cookie", CookieHeader(line.value), true);
        }
    }
    page.Add("</table></body></html>\n");
    interface_send_response(connection, &page);
}

void show_headers(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "HTTP headers to/from " + host_and_path(connection));
    layout_open(page, "bigdialog");
    const HEADER* request = connection->request.get();
    const HEADER* response = connection->response;
    head_row(page, "Client header");
    preformatted_row(page, request != nullptr ? text_or_empty(request->raw) : "");
    head_row(page, "Server header");
    preformatted_row(page, response != nullptr ? text_or_empty(response->raw) : "");
    finish(connection, page);
}

void show_filebuf(CONNECTION_T* connection, Filebuf* body)
{
    Filebuf page;
    page_start(connection, page, "Raw contents of " + host_and_path(connection));
    page.Add("<pre>");
    // Read through a view: the body goes on unchanged when the caller forwards it afterwards.
    if (body != nullptr)
        page.Add(string_to_html(body->view(), 0));
    page.Add("</pre>\n");
    finish(connection, page, false);
}

void show_htmltree_node(Filebuf* page, htmlstream_node* node, int depth)
{
    // Siblings in a loop, children by recursion: the stream nests its groups only so deep.
    for (; node != nullptr; node = node->next) {
        page->Addf("<tr><td><table border=\"0\" cellpadding=\"0\" cellspacing=\"0\"><tr><td width=\"%d\"></td><td>",
                   depth * 36);
        if (node->tag != nullptr) {
            // Names and values come from the origin's markup: escaped, they show as written
            // and cannot break the page.
            page->Add(string_to_html(node->tag->name, 0));
            page->Add(" ");
            for (const htmlstream_attribute& attribute : node->tag->attributes) {
                page->Add(string_to_html(attribute.name, 0));
                page->Add("=\"");
                page->Add(string_to_html(attribute.value, 0));
                page->Add("\" ");
            }
        } else {
            page->Add("\"");
            page->Add(string_to_html(node->text, 3));
            page->Add("\"");
        }
        page->Add("</td></tr></table></td></tr>\n");
        show_htmltree_node(page, node->child, depth + 1);
    }
}

void show_htmltree(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "HTML tree for " + host_and_path(connection));
    layout_open(page, "list");
    if (const HTMLStream* stream = connection->htmlstream.get(); stream != nullptr)
        show_htmltree_node(&page, stream->root(), 0);
    finish(connection, page);
}

void show_proxytest(CONNECTION_T* connection)
{
    Filebuf page;
    page_start(connection, page, "Proxy test for " + host_and_path(connection));
    layout_open(page, "centerdialog");
    if (connection->proxy_type != UPSTREAM_HTTP) {
        page.Add("<tr><td>Not forwarding through HTTP proxy</td></tr>\n");
        finish(connection, page);
        return;
    }
    // The test leaves the header it received in the response slot; keep what was there.
    HEADER* saved = std::exchange(connection->response, nullptr);
    proxy_test(connection);
    HEADER* received = std::exchange(connection->response, saved);
    const std::string parent = connection->parent_host + ":" + std::to_string(connection->parent_port);
    if (received != nullptr) {
        page.Add("<tr><td>");
        page.Add(string_to_html("Headers received from " + parent, 0));
        page.Add("</td></tr>\n");
        preformatted_row(page, text_or_empty(received->raw));
    } else {
        page.Add("<tr><td>");
        page.Add(string_to_html(parent + " failed to connect back", 0));
        page.Add("</td></tr>\n");
    }
    finish(connection, page);
    if (received != nullptr)
        http_header_free(received);
}

namespace {

// A cache-clock value stands for a GMT time read through the local breakdown.
std::string cache_date(std::time_t value)
{
    std::tm broken{};
    localtime_r(&value, &broken);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    return std::string(text, length);
}

}  // namespace

void cache_show(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    const std::string key = request != nullptr ? text_or_empty(request->url) : "";
    std::string title = "Cache information for ";
    if (request != nullptr) {
        title += text_or_empty(request->scheme);
        title += "://";
        title += text_or_empty(request->host);
        title += ":" + std::to_string(request->port);
        title += text_or_empty(request->path);
    }
    Filebuf page;
    page_start(connection, page, title);
    layout_open(page, "bigdialog");
    head_row(page, title, 2);

    // An offline lookup never creates an entry for the key.
    CACHEMAP* object = cache_section != nullptr && !key.empty()
                           ? cache_section->cache_open(nullptr, key, nullptr, CACHE_OFFLINE)
                           : nullptr;
    if (object == nullptr) {
        page.Add("<tr><td colspan=\"2\" align=\"center\">Nothing found</td></tr>\n");
        finish(connection, page);
        return;
    }
    {
        cache_section->mutex_lock();
        if (object->store != nullptr)
            pair_row(page, "Path", string_to_html(object->store->path, 0));
        pair_row(page, "Size", std::to_string(object->size) + " bytes");
        pair_row(page, "Retrieved", cache_date(object->retrieved));
        if (object->lastmod != 0)
            pair_row(page, "Last modified", cache_date(object->lastmod));
        if (object->expires != 0)
            pair_row(page, "Expires", cache_date(object->expires));
        if (object->lmexpires != 0)
            pair_row(page, "Fresh until", cache_date(object->lmexpires));
        pair_row(page, "Minimum age", std::to_string(static_cast<unsigned>(object->minage)));
        pair_row(page, "Maximum age", std::to_string(static_cast<unsigned>(object->maxage)));
        pair_row(page, "Validate age", std::to_string(static_cast<unsigned>(object->validate)));
        pair_row(page, "Last-Modified time factor", std::to_string(object->lmfactor) + "%");
        pair_row(page, "MD5 sum", string_to_html(object->md5, 0));
        pair_row(page, "Flags", string_to_html(CacheSection::flag_string(object->flags), 0));
        cache_section->unlock();
    }
    const std::string header = cache_section->header_text(object);
    cache_section->cache_close(object, false);
    head_row(page, "Header", 2);
    preformatted_row(page, header, 2);
    finish(connection, page);
}
