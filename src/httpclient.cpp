#include "httpclient.h"

HTTPRESPONSE* http_fetch(const URL&, const std::list<HTTP_HEADER>*)
{
    return nullptr;
}

void httpresponse_free(HTTPRESPONSE* response)
{
    delete response;
}

int httpresponse_code(const HTTPRESPONSE&)
{
    return 0;
}
