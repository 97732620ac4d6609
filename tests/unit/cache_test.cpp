#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "cache/cache.h"
#include "http/header.h"

TEST(ConditionalHeader, WritesTheRetrievalTime)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    HeaderPtr h = http_header_parse_request("GET http://srv/ HTTP/1.1\r\nIf-Modified-Since: old\r\n\r\n");
    ASSERT_NE(h, nullptr);
    CACHEMAP object;
    object.retrieved = 784111777;
    conditional_header(h.get(), &object);
    EXPECT_EQ(h->if_modified_since, "Sun, 06 Nov 1994 08:49:37 GMT");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
