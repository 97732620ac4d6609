#include "interface.h"

#include <cstring>
#include <strings.h>

#include "connection.h"
#include "template.h"

namespace {

bool is_interface_host(const HeaderText& host)
{
    return host && strcasecmp(host->c_str(), INTERFACE_HOST) == 0;
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
            strncasecmp(request->path->c_str() + 1, INTERFACE_HOST, length) == 0)
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
