#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "counting_cache.h"
#include "http/connection.h"
#include "http/header.h"

namespace {

class CacheHandle : public testing::Test {
protected:
    CountingCache cache;
    CACHEMAP a = object("a");
    CACHEMAP b = object("b");

    static CACHEMAP object(const char* key)
    {
        CACHEMAP made;
        made.key = key;
        return made;
    }
};

TEST_F(CacheHandle, GivesItsReferenceBackExactlyOnceOnEveryPath)
{
    struct Case {
        const char* path;
        std::function<void(CacheRef&, CacheRef&)> act;   // on a handle of a, and one of b
        std::vector<std::string> given_back;              // once both handles are gone
    };
    const Case cases[] = {
        {"dropped", [](CacheRef&, CacheRef&) {}, {"close b", "close a"}},
        {"reset twice", [](CacheRef& x, CacheRef&) { x.reset(); x.reset(); }, {"close a", "close b"}},
        {"finished", [](CacheRef& x, CacheRef&) { x.finish(); x.finish(); }, {"finish a", "close b"}},
        {"invalidated", [](CacheRef& x, CacheRef&) { x.invalidate(); x.reset(); }, {"invalidate a", "close b"}},
        {"invalidated, then finished", [](CacheRef& x, CacheRef&) { x.invalidate(); x.finish(); },
         {"invalidate a", "close b"}},
        {"moved from", [](CacheRef& x, CacheRef&) { CacheRef taken(std::move(x)); }, {"close a", "close b"}},
        {"assigned over", [](CacheRef& x, CacheRef& y) { y = std::move(x); }, {"close b", "close a"}},
        {"assigned an empty one", [](CacheRef& x, CacheRef&) { x = CacheRef(); }, {"close a", "close b"}},
        {"released", [](CacheRef& x, CacheRef&) { x.release(); }, {"close b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        cache.given_back.clear();
        {
            CacheRef x(&cache, &a);
            CacheRef y(&cache, &b);
            c.act(x, y);
        }
        EXPECT_EQ(cache.given_back, c.given_back);
    }
}

TEST_F(CacheHandle, AHandleMovedFromOrGivenBackHoldsNothing)
{
    CacheRef x(&cache, &a);
    EXPECT_EQ(x.get(), &a);
    CacheRef y(std::move(x));
    EXPECT_FALSE(x);
    EXPECT_EQ(y->key, "a");
    y.invalidate();
    EXPECT_FALSE(y);
    EXPECT_EQ(y.get(), nullptr);

    // A lookup that finds nothing gives nothing back.
    { CacheRef none(&cache, nullptr); }
    EXPECT_EQ(cache.given_back, std::vector<std::string>{"invalidate a"});
}

// The connection holds the object of its request; a record freed in the middle of a request
// still gives it back.
TEST_F(CacheHandle, TheConnectionGivesBackWhatItHolds)
{
    ConnectionPtr connection = connection_new("10.0.0.1");
    connection->cache = CacheRef(&cache, &a);
    EXPECT_EQ(connection_cache(connection.get()), &a);
    connection.reset();
    EXPECT_EQ(cache.given_back, std::vector<std::string>{"close a"});
}

} // namespace

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
