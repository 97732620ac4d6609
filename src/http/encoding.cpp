#include "http/encoding.h"

#include <string>
#include <string_view>

#include "core/connection.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "http/header.h"
#include "util/log.h"
#include "util/stringutil.h"

namespace {

bool names(const HeaderText& value, std::string_view coding)
{
    return value && contains_nocase(*value, coding);
}

} // namespace

int filebuf_decode(Filebuf* body, CONNECTION_T* connection)
{
    const HEADER* response = connection->response;
    const HeaderText none;
    const HeaderText& encoding = response != nullptr ? response->content_encoding : none;
    const std::size_t maximum = general_section->maxdbuffer_get(connection);

    if (names(encoding, "gzip")) {
        if (body->Uncompress(1, maximum) == 1) {
            putlog(LOG_DEBUG, "decompressed gzip encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress gzip encoded content");
        return 0;
    }
    if (names(encoding, "deflate")) {
        if (body->Uncompress(0, maximum) == 1) {
            putlog(LOG_DEBUG, "decompressed deflate encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress deflate encoded content");
        return 0;
    }
    putlog(LOG_WARNING, "unhandled content encoding: %s", text_or_empty(encoding));
    return 0;
}

int filebuf_encode(Filebuf* body, CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    HEADER* response = connection->response;
    // An Accept-Encoding the proxy wrote itself says nothing of what the client takes.
    if ((connection->flags & CONN_ENCODED) != 0 || request == nullptr || !request->accept_encoding ||
        response == nullptr || general_section->compressout_get(connection) != 1)
        return 0;

    const char* name;
    if (names(request->accept_encoding, "gzip")) {
        if (body->Compress(1) != 1) {
            putlog(LOG_ERROR, "failed to gzip encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "gzip encoded file");
        name = "gzip";
    } else if (names(request->accept_encoding, "deflate")) {
        if (body->Compress(0) != 1) {
            putlog(LOG_ERROR, "failed to deflate encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "deflate encoded file");
        name = "deflate";
    } else {
        return 0;
    }
    response->content_encoding = std::string(name);
    return 1;
}
