// The proxy's own HTTP GET client, for the configuration loaded from a URL, synchronisation from
// a master and the F-Prot daemon. A fetch is a connection record without a client, so the
// server pool, SOCKS and parent proxies and the outgoing-address rules apply to it as to any
// request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>

#include "util/filebuf.h"
#include "http/header.h"
#include "util/url.h"

struct HTTPRESPONSE {
    HeaderPtr header;   // the response header
    Filebuf body;
};

// The User-Agent sent when the caller gives no header lines.
inline constexpr const char* HTTP_FETCH_USER_AGENT = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)";
// Seconds to wait for the response header.
constexpr int HTTP_FETCH_TIMEOUT = 60;

// The GET request for the URL as the proxy's own fetches send it: an absolute URI, the given
// header lines or a User-Agent line alone when lines is null, the URL's user and password. Not
// yet completed (header_complete), so that a caller can add what its fetch needs first.
HeaderPtr http_get_request(const URL& url, const std::list<HTTP_HEADER>* lines);

// GETs the URL over plain HTTP with the given request header lines, or a User-Agent line alone
// when lines is null; a user or password in the URL is sent as Basic authorization. Every
// status comes back as it is. A new response to free with httpresponse_free, or null when no
// connection could be made, no response header came within HTTP_FETCH_TIMEOUT or it did not
// parse, or the body ended short of its framing. A body larger than body_max bytes is not read
// on: null, with *too_large set when given. Nothing is sent to a client or written to the access
// log.
HTTPRESPONSE* http_fetch(const URL& url, const std::list<HTTP_HEADER>* lines, std::size_t body_max = SIZE_MAX,
                         bool* too_large = nullptr);
// Null is ignored.
void httpresponse_free(HTTPRESPONSE* response);
// The response's status code.
int httpresponse_code(const HTTPRESPONSE& response);
