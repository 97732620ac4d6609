#include "http/response.h"

#include <cstdint>

#include "cache/cache.h"
#include "core/connection.h"
#include "config/general.h"
#include "util/log.h"
#include "cache/prefetch.h"
#include "core/processors.h"
#include "http/protocol.h"
#include "http/template.h"
#include "http/urlcommand.h"
#include "inspect/antivirus.h"
#include "inspect/clamav.h"
#include "inspect/external.h"
#include "inspect/fprot.h"
#include "inspect/icap.h"
#include "inspect/kaspersky.h"
#include "inspect/sophie.h"
#include "policy/keyword.h"

int buffer_check(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    const HEADER* response = connection->response;

    if ((response->flags & HEADER_LENGTH) != 0 &&
        static_cast<std::uint64_t>(response->content_length) > general_section->maxdbuffer_get(connection) &&
        !url_command_has(connection, "process")) {
        putlog(LOG_DEBUG, "request: warn: response exceeds maximum download buffer size");
        if ((connection->flags & CONN_PREFETCH) == 0)
            response_uninspected_tell(connection);
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

void response_uninspected_tell(CONNECTION_T* connection)
{
    // Each asks only whether it applies: with the bit set, one that does logs instead of asking
    // for the body.
    connection->flags |= CONN_BODY_OVERSIZE;
    if (fprot_section != nullptr)
        fprot_section->check_match(connection);
    if (kaspersky_section != nullptr)
        kaspersky_section->check_match(connection);
    if (sophie_section != nullptr)
        sophie_section->check_match(connection);
    if (external_section != nullptr)
        external_section->check_match(connection, EXTERNAL_RESPONSE);
    if (keyword_section != nullptr)
        keyword_section->check_match(connection);
    if (clamav_section != nullptr)
        clamav_section->check_match(connection);
    if (icap_section != nullptr)
        icap_section->check_match(connection, ICAP_RESPMOD);
    connection->flags &= ~CONN_BODY_OVERSIZE;
}

bool body_uninspected(const CONNECTION_T* connection, int category, const char* stage, bool response)
{
    const HEADER* request = connection->request.get();
    const char* url = request != nullptr ? text_or_empty(request->url) : "";
    // The category names the stage; a stage of several (a scanner, a program) names itself too.
    const char* separator = stage != nullptr ? ": " : "";
    if (stage == nullptr)
        stage = "";
    if (!response) {
        if ((connection->flags & CONN_STREAM) == 0)
            return false;
        putlog(category, "%s%srequest body of %s not inspected: larger than the upload buffer (%u bytes)", stage, separator, url,
               general_section->maxubuffer_get(connection));
        return true;
    }
    if ((connection->flags & CONN_BODY_OVERSIZE) != 0) {
        putlog(category, "%s%sresponse body of %s not inspected: larger than the download buffer (%u bytes)", stage,
               separator, url, general_section->maxdbuffer_get(connection));
        return true;
    }
    if ((connection->flags & CONN_BODY_UNDECODED) != 0) {
        const HEADER* answer = connection->response;
        putlog(category,
               "%s%sresponse body of %s inspected as received: its encoding (%s) did not decode within the "
               "download buffer (%u bytes)",
               stage, separator, url, answer != nullptr ? text_or_empty(answer->content_encoding) : "",
               general_section->maxdbuffer_get(connection));
        return true;
    }
    return false;
}
