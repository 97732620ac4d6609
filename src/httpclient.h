// The proxy's own HTTP GET client. Stand-in: no fetch succeeds yet.
#pragma once

#include <list>
#include <memory>

#include "filebuf.h"
#include "url.h"

struct HEADER;
struct HTTP_HEADER;

struct HTTPRESPONSE {
    HEADER* header = nullptr;   // the response header, owned
    Filebuf body;
};

// A new response, or null when no response header with a body could be read. lines: extra
// request header lines, or null.
HTTPRESPONSE* http_fetch(const URL& url, const std::list<HTTP_HEADER>* lines);
void httpresponse_free(HTTPRESPONSE* response);
// The response's status code.
int httpresponse_code(const HTTPRESPONSE& response);
