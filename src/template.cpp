#include "template.h"

#include <cstring>
#include <string>
#include <strings.h>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "transfer.h"

TemplateSection* template_section = nullptr;

namespace {

struct Page {
    const char* name;
    const char* title;
};

constexpr Page PAGES[] = {
    {"unknown", "Error"},
    {"badrequest", "Bad Request"},
    {"badresponse", "Bad Response"},
    {"nodns", "DNS Lookup failed"},
    {"nofile", "File not found"},
    {"nocache", "Cache file not found"},
    {"noconnect", "Connection failed"},
    {"blocked", "Page Blocked"},
    {"blacklisted", "Page blacklisted"},
    {"virus", "Virus"},
    {"badprotocol", "Protocol not implemented"},
    {"noaccess", "Access denied"},
    {"badauth", "Authorization failed"},
    {"downloadlimit", "Download transfer limit exceeded"},
    {"uploadlimit", "Upload transfer limit exceeded"},
    {"maxrequests", "Request limit exceeded"},
    {"imgfilter", "Possible pornographic image"},
    {"downloading", "Download in progress"},
};

const Page* page_find(std::string_view name)
{
    for (const Page& page : PAGES)
        if (name.size() == std::strlen(page.name) && strncasecmp(name.data(), page.name, name.size()) == 0)
            return &page;
    return nullptr;
}

} // namespace

int TemplateSection::send(std::string_view name, CONNECTION_T* connection, int status)
{
    if ((connection->flags & CONN_NOCLIENT) != 0)
        return 0;
    const Page* page = page_find(name);
    if (page == nullptr)
        return 0;

    Filebuf body;
    body.Addf("<html><head><title>%s</title></head><body><h1>%s</h1><p>%d</p></body></html>\n", page->title,
              page->title, status);
    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = status;
    header->content_length = static_cast<std::int64_t>(body.size());
    header->flags |= HEADER_LENGTH;
    header->content_type = "text/html";
    header->cache_control = "no-cache";

    LogEntry& entry = connection->logentry;
    entry.set_cachecode(2);
    entry.set_peercode(1);
    entry.peer = "tarvodine";
    entry.size = body.size();
    entry.status = status;
    entry.mime = "text/html";

    HEADER* previous = connection->response;
    connection->response = header.get();
    header_send(header.get(), connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    connection->response = previous;
    if ((connection->flags & CONN_HEAD) == 0)
        net_filebuf_send(&body, connection, SIDE_CLIENT);
    putlog(LOG_TEMPLATE, "sent %.*s", static_cast<int>(name.size()), name.data());
    return 1;
}
