#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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
#include "policy/allowdeny.h"
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

// A rule section reads its rules' values by position through its table: a table whose names
// and order differ from the declarations reads a value into the wrong member.
TEST(SectionTable, EveryRuleSectionReadsItsRulesAsDeclared)
{
    shipped_definitions_set();
    sections_create();
    std::vector<std::string> checked;
    for (const auto& [name, section] : Section::map) {
        const auto* frame = dynamic_cast<const RuleSectionFrame*>(section);
        if (frame == nullptr)
            continue;
        SCOPED_TRACE(name);
        checked.push_back(name);
        const std::vector<std::string_view> table = frame->rule_field_names();
        const std::vector<std::vector<std::string>> lists = frame->declared_rule_fields();
        ASSERT_FALSE(lists.empty());
        for (const std::vector<std::string>& declared : lists)
            EXPECT_EQ(std::vector<std::string>(table.begin(), table.end()), declared);
    }
    EXPECT_EQ(checked, (std::vector<std::string>{"cookies-filtering", "header-filtering", "keywords-filtering",
                                                 "mime-filtering", "redirect", "rewrite", "url-filtering",
                                                 "urlblacklist"}));
}

TEST(SectionTableDeath, UnknownNameIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(sections_create({"general", "nosuch"}), any_status, "");
}

} // namespace
