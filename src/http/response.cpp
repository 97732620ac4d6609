#include "http/response.h"

#include <cstdint>

#include "cache/cache.h"
#include "http/connection.h"
#include "config/general.h"
#include "util/log.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "http/protocol.h"
#include "config/template.h"
#include "http/urlcommand.h"
#include "inspect/antivirus.h"

int buffer_check(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    const HEADER* response = connection->response;

    if ((response->flags & HEADER_LENGTH) != 0 &&
        static_cast<std::uint64_t>(response->content_length) > general_section->maxdbuffer_get(connection) &&
        !url_command_has(connection, "process")) {
        putlog(LOG_DEBUG, "request: warn: response exceeds maximum download buffer size");
        return 0;
    }
    if ((connection->flags & CONN_PREFETCH) != 0)
        return connection_htmlstream(connection) != nullptr && response->content_encoding ? 1 : 0;
    if (response->content_encoding && accepts_encoded_content(connection) == 0)
        return 1;
    if (response->chunked != 0 && request->version != HTTP_VERSION_11)
        return 1;
    if (processors.Execute(STAGE_BUFFER_CHECK, connection, nullptr) == 1)
        return 1;

    connection->flags &= ~CONN_PROCESS;

    if (url_command_has(connection, "raw") || url_command_has(connection, "htmltree") ||
        (response->content_encoding && connection_htmlstream(connection) != nullptr))
        return 1;
    if (general_section->compressout_get(connection) != 1 || !request->accept_encoding)
        return 0;
    if (!response->content_type || response->content_encoding || accepts_encoded_content(connection) == 0)
        return 0;
    return general_section->encodemime_check(connection, *response->content_type) == 1 ? 1 : 0;
}

int transfer_limit_check(CONNECTION_T* connection)
{
    const HEADER* response = connection->response;
    const bool from_cache = connection_cache(connection) != nullptr && (connection->flags & CONN_VALIDATE) == 0;
    // The all-ones allowance means no limit, not a limit of 4 GiB.
    if ((response->flags & HEADER_LENGTH) == 0 || (from_cache && (connection->flags & CONN_LIMIT) == 0) ||
        connection->download_allowance == ALLOWANCE_UNLIMITED ||
        static_cast<std::uint64_t>(connection->download_allowance) >= static_cast<std::uint64_t>(response->content_length))
        return 1;
    putlog(LOG_WARNING, "limits: transfer would exceed transfer limit");
    if (template_section->send("downloadlimit", connection, 200) == 0)
        connection->keepalive_client = 0;
    return 0;
}

int process_response(CONNECTION_T* connection, Filebuf* body)
{
    if (processors.Execute(STAGE_RESPONSE_CHECK, connection, body) == 1) {
        connection->logentry.set_cachecode(9);
        return 0;
    }
    processors.Execute(STAGE_RESPONSE_MODIFY, connection, body);
    antivirus_mark_clean(connection);
    return 1;
}

int body_block_account(CONNECTION_T* connection, const char* bytes, std::size_t length)
{
    if (CACHEMAP* object = connection_cache(connection); object != nullptr) {
        if (cache_section->add(object, bytes, length) < 0 && (connection->flags & CONN_PREFETCH) != 0)
            return -1;
    }
    connection->bytes_in += length;
    // An unlimited allowance is never used up; a block that fits the allowance exactly still
    // passes whole.
    if (connection->download_allowance != ALLOWANCE_UNLIMITED) {
        if (length > connection->download_allowance) {
            connection->download_allowance = 0;
            connection->flags |= CONN_TRANSFER_FAILED;
            return -1;
        }
        connection->download_allowance -= static_cast<std::uint32_t>(length);
    }
    return 0;
}
