#include "admin/statuspages.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "admin/interface.h"
#include "cache/prefetch.h"
#include "core/global.h"
#include "core/threads.h"
#include "core/connection.h"
#include "http/header.h"
#include "net/serverpool.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/regex.h"
#include "util/url.h"

namespace {

std::atomic<clientpool_page_t> clientpool_page{nullptr};

// Every text shown on a status page comes from a client, a server or a configuration and is
// escaped; line wrapping keeps long URLs inside the page.
std::string html(std::string_view text)
{
    return string_to_html(text, 1);
}

std::string attribute(std::string_view text)
{
    return string_to_html(text, 0);
}

// Data rows alternate "listeven" and "listodd", the first being even.
class Rows {
public:
    const char* next()
    {
        const char* name = even_ ? "listeven" : "listodd";
        even_ = !even_;
        return name;
    }

private:
    bool even_ = true;
};

void list_start(Filebuf& page, const char* title, std::initializer_list<const char*> columns)
{
    page.Add("<table class=\"list\">\n");
    if (title != nullptr)
        page.Addf("<tr class=\"listhead\"><td colspan=\"%zu\" align=\"center\"><b>%s</b></td></tr>\n", columns.size(),
                  title);
    page.Add("<tr class=\"listhead\">");
    for (const char* column : columns)
        page.Addf("<td>%s</td>", column);
    page.Add("</tr>\n");
}

void row(Filebuf& page, Rows& rows, std::initializer_list<std::string> cells)
{
    page.Addf("<tr class=\"%s\">", rows.next());
    for (const std::string& cell : cells) {
        page.Add("<td>");
        page.Add(cell);
        page.Add("</td>");
    }
    page.Add("</tr>\n");
}

std::string or_none(const std::string& text)
{
    return text.empty() ? std::string("NONE") : html(text);
}

void header_lines(Filebuf& page, Rows& rows, const char* title, const std::list<HTTP_HEADER>& lines)
{
    list_start(page, title, {"Type", "Value"});
    for (const HTTP_HEADER& line : lines)
        row(page, rows, {html(line.name), html(line.value)});
    page.Add("</table>\n");
}

} // namespace

void statuspages_set_clientpool(clientpool_page_t show)
{
    clientpool_page.store(show, std::memory_order_release);
}

void interface_page_connections(Filebuf* page, CGIMap&, CONNECTION_T*)
{
    page->Add("<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\"><tr><td align=\"center\">\n");
    list_start(*page, "Transferring", {"Client ID", "IP", "Requests", "Method", "URL"});
    Rows rows;
    {
        std::lock_guard lock(threadlistlock);
        for (int i = 0; i < MAXTHREADS; ++i) {
            const thread_t& slot = threads[i];
            const int state = slot.state.load();
            if (state != THREAD_SERVING && state != THREAD_PREFETCHING)
                continue;
            row(*page, rows,
                {std::to_string(slot.clientid.load()), or_none(slot.ip), std::to_string(slot.requests),
                 or_none(slot.method), or_none(slot.url)});
        }
    }
    page->Add("</table>\n</td></tr><tr><td align=\"center\">\n");
    if (const clientpool_page_t show = clientpool_page.load(std::memory_order_acquire); show != nullptr)
        show(page);
    page->Add("</td></tr></table>\n");
}

void interface_page_stats(Filebuf* page, CGIMap&, CONNECTION_T*)
{
    if (global != nullptr)
        global->stats.Display(*page);
}

void interface_page_dnscache(Filebuf* page, CGIMap&, CONNECTION_T*)
{
    list_start(*page, "DNS cache", {"Hostname", "IP address", "Age"});
    Rows rows;
    if (global != nullptr && global->dnscache != nullptr) {
        const std::time_t now = std::time(nullptr);
        std::lock_guard lock(global->dnslock);
        for (const auto& bucket : global->dnscache->buckets)
            for (const HASH_ENTRY& entry : bucket)
                row(*page, rows, {html(entry.key), html(entry.value), std::to_string(static_cast<long long>(now - entry.time))});
    }
    page->Add("</table>\n");
}

void interface_page_headers(Filebuf* page, CGIMap&, CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr)
        return;
    Rows rows;   // the alternation runs on from the first list into the second
    header_lines(*page, rows, "Unfiltered", request->lines);
    header_lines(*page, rows, "Filtered", request->filtered);
}

void interface_page_pool(Filebuf* page, CGIMap&, CONNECTION_T*)
{
    list_start(*page, "Connection pool", {"Protocol", "Host", "Port", "Username", "Age"});
    Rows rows;
    if (global != nullptr && global->serverpool != nullptr)
        for (const ServerPool::View& entry : global->serverpool->view())
            row(*page, rows,
                {html(entry.protocol), html(entry.host), std::to_string(entry.port),
                 entry.user ? html(*entry.user) : std::string("(none)"),
                 std::to_string(static_cast<unsigned long>(entry.age))});
    page->Add("</table>\n");
}

void interface_page_log(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    LOGBUFFER* buffer = global != nullptr ? global->logbuffer.get() : nullptr;
    if (buffer == nullptr)
        return;
    if (args.get("clear") == "on")
        logbuffer_clear(buffer);
    if (const std::string& size = args.get("size"); !size.empty()) {
        const int lines = std::atoi(size.c_str());
        if (lines != -1)
            logbuffer_resize(buffer, lines);
    }

    const std::string& pattern = args.get("pattern");
    // A pattern that does not compile logs why, and that line is shown too.
    UniqueRegex regex(pattern.empty() ? nullptr : reg_compile(pattern.c_str(), REG_CASELESS));
    // Copied out at once: the page is built and the pattern matched without holding up the
    // threads that log.
    const LogbufferSnapshot snapshot = logbuffer_snapshot(buffer);
    page->Add("<form method=\"POST\" action=\"log\">\n<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Regular expression match</td></tr>\n");
    page->Addf("<tr><td colspan=\"2\"><input type=\"text\" name=\"pattern\" size=\"80\" value=\"%s\"></td></tr>\n",
               attribute(pattern).c_str());
    page->Addf("<tr><td>Log buffer size: <input type=\"text\" name=\"size\" size=\"10\" value=\"%d\"></td>"
               "<td>Clear: <input type=\"checkbox\" name=\"clear\"></td></tr>\n",
               snapshot.capacity);
    page->Add("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\">"
              "</td></tr>\n</table>\n</form>\n");

    list_start(*page, nullptr, {"Log entries"});
    Rows rows;
    for (const std::string& line : snapshot.lines)
        if (regex == nullptr || reg_exec(regex.get(), std::string_view(line)) == 0)
            row(*page, rows, {html(line)});
    page->Add("</table>\n");
}

void interface_page_prefetch(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    if (const std::string& queue = args.get("queue"); !queue.empty() && prefetch_section != nullptr)
        if (const std::optional<URL> url = url_parse(queue))
            prefetch_section->queue_add(*url, {}, ALLOWANCE_UNLIMITED, 1);

    page->Add("<form method=\"POST\" action=\"prefetch\">\n<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td align=\"center\">Add URL to prefetch queue</td></tr>\n"
              "<tr><td><input type=\"text\" name=\"queue\" size=\"80\"></td></tr>\n"
              "<tr class=\"dialogfoot\"><td align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
              "</table>\n</form>\n");
    list_start(*page, "Prefetch queue", {"URL"});
    if (prefetch_section != nullptr) {
        Rows rows;
        for (const std::string& url : prefetch_section->queue_urls())
            row(*page, rows, {html(url)});
    }
    page->Add("</table>\n");
}

void interface_page_urlbl(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    const bool search = args.get("show") == "true";
    page->Add("<form method=\"POST\" action=\"urlbl\">\n<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Search URL blacklist</td></tr>\n"
              "<tr><td colspan=\"2\"><table class=\"checklist\"></table></td></tr>\n");
    page->Addf("<tr><td>Domain</td><td><input type=\"text\" name=\"domain\" size=\"80\" value=\"%s\"></td></tr>\n",
               attribute(args.get("domain")).c_str());
    page->Addf("<tr><td>File</td><td><input type=\"text\" name=\"file\" size=\"80\" value=\"%s\"></td></tr>\n",
               attribute(args.get("file")).c_str());
    page->Add("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"hidden\" name=\"show\" "
              "value=\"true\"><input type=\"submit\" value=\"Submit\"></td></tr>\n</table>\n</form>\n");
    if (search) {
        // No category is loaded until the URL-blacklist section exists: a search finds nothing.
        list_start(*page, nullptr, {"Category", "Domain", "Path"});
        page->Add("</table>\n");
    }
}
