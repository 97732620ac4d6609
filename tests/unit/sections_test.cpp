#include <gtest/gtest.h>

#include "cache/cache.h"
#include "cache/forward.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/processors.h"
#include "daemon/sections.h"
#include "net/netsection.h"
#include "policy/access.h"
#include "policy/auth.h"
#include "policy/filter.h"
#include "policy/headerfilter.h"
#include "policy/limit.h"
#include "policy/mime.h"
#include "policy/redirect.h"
#include "policy_fixture.h"

namespace {

bool any_status(int) { return true; }

// The table is one per process: a subset first, then the rest, as a test program and then the
// bring-up would.
TEST(SectionTable, CreatesEachSectionOnceAndPointsItsGlobalAtIt)
{
    shipped_definitions_set();
    sections_create({"profile", "general"});
    ASSERT_NE(general_section, nullptr);
    ASSERT_NE(profile_section, nullptr);
    EXPECT_EQ(access_section, nullptr);
    EXPECT_EQ(template_section, nullptr);
    EXPECT_EQ(processors.Remove(access_auth), 0);   // nothing registered by sections not asked for

    GeneralSection* const general = general_section;
    general_section = nullptr;   // as a test that installed its own section leaves it
    sections_create({"general"});
    EXPECT_EQ(general_section, general);

    sections_create();
    EXPECT_EQ(general_section, general);
    const void* every[] = {access_section, filter_section, prefetch_section, cache_section,  general_section,
                           network_section, header_section, template_section, ftp_section,   profile_section,
                           mime_section,   redirect_section, forward_section, limit_section};
    for (const void* section : every)
        EXPECT_NE(section, nullptr);
    EXPECT_EQ(processors.Remove(access_auth), 1);   // the access section registered it, once
    EXPECT_EQ(processors.Remove(access_auth), 0);
}

TEST(SectionTableDeath, UnknownNameIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(sections_create({"general", "nosuch"}), any_status, "");
}

} // namespace
