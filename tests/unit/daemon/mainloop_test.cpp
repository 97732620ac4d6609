#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "daemon/mainloop.h"

namespace {

TEST(ClientId, SkipsZeroWhenItWraps)
{
    const std::uint32_t saved = clientid;
    clientid = 4294967294u;
    EXPECT_EQ(clientid_next(), 4294967294u);
    EXPECT_EQ(clientid_next(), 4294967295u);
    EXPECT_EQ(clientid_next(), 1u);
    EXPECT_EQ(clientid_next(), 2u);
    clientid = saved;
}

// The cache reads an HTTP date's fields as GMT and converts them with mktime; the offset must
// bring the clock onto that scale, daylight-saving time or not.
TEST(GmtOffset, PutsTheClockOnTheScaleOfConvertedDates)
{
    const char* saved = std::getenv("TZ");
    const std::string saved_tz = saved != nullptr ? saved : "";
    struct Case {
        const char* tz;
        std::time_t when;
        std::time_t offset;
    };
    const Case cases[] = {
        {"UTC0", 1700000000, 0},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1700000000, -3600},   // November: standard time
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1690000000, -3600},   // July: the date conversion ignores DST too
        {"EST5EDT,M3.2.0,M11.1.0", 1700000000, 18000},
        {"IST-5:30", 1700000000, -19800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tz);
        setenv("TZ", c.tz, 1);
        tzset();
        const std::time_t offset = gmtoffset_compute(c.when);
        EXPECT_EQ(offset, c.offset);

        char date[64];
        std::tm utc{};
        gmtime_r(&c.when, &utc);
        ASSERT_GT(std::strftime(date, sizeof date, "%a, %d %b %Y %T GMT", &utc), 0u);
        std::tm read{};
        ASSERT_NE(strptime(date, "%a, %d %b %Y %T GMT", &read), nullptr);
        EXPECT_EQ(std::mktime(&read), c.when + offset);
    }
    if (saved != nullptr)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
