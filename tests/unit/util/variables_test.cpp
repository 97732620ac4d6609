#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/variables.h"

namespace {

using Plain = std::map<std::string, std::string>;

Plain plain(const VariableMap& map)
{
    Plain out;
    for (const auto& [name, value] : map)
        out.emplace(std::string(name), std::string(value));
    return out;
}

std::vector<std::string> names(const VariableMap& map)
{
    std::vector<std::string> out;
    for (const auto& entry : map)
        out.emplace_back(entry.first);
    return out;
}

// What one request leaves in the map: short and long names and values, overwritten values,
// and enough of them to outgrow the arena's first block when big is set.
void one_request(RequestVariables& variables, Plain& expected, int round, bool big)
{
    const std::string tag = std::to_string(round);
    const std::string long_value(200 + round, static_cast<char>('a' + round % 26));
    variables["IP"] = "127.0.0.1";
    variables["PORT"] = tag;
    variables["CLIENT[user-agent]"] = long_value;
    variables["CLIENT[user-agent]"] = long_value + "-again";   // the last value wins
    variables.insert_or_assign(VariableText("SERVER[content-type]", variables.get_allocator()),
                               std::string_view("text/html; charset=utf-8"));
    expected = {{"IP", "127.0.0.1"},
                {"PORT", tag},
                {"CLIENT[user-agent]", long_value + "-again"},
                {"SERVER[content-type]", "text/html; charset=utf-8"}};
    if (big) {
        for (int i = 0; i < 200; ++i) {
            const std::string name = "SERVER[x-line-" + std::to_string(i) + "-of-a-long-response]";
            const std::string value(100, static_cast<char>('A' + i % 26));
            variables[VariableText(name)] = value;
            expected[name] = value;
        }
    }
}

} // namespace

// The connection's map holds what a std::map of strings would, in the same order, request after
// request: room taken back between requests is never seen again, whether the request fitted
// the arena's first block or outgrew it.
TEST(RequestVariables, EachRequestSeesOnlyItsOwnValues)
{
    RequestVariables variables;
    for (int round = 0; round < 12; ++round) {
        Plain expected;
        one_request(variables, expected, round, round % 3 == 1);
        EXPECT_EQ(plain(variables), expected) << "round " << round;
        std::vector<std::string> sorted;
        for (const auto& entry : expected)
            sorted.push_back(entry.first);
        EXPECT_EQ(names(variables), sorted) << "round " << round;
        variables.clear();
        EXPECT_TRUE(variables.empty());
    }
}

// Names are looked up by any text; an erased name is gone and can be set again.
TEST(RequestVariables, LookupAndErase)
{
    RequestVariables variables;
    variables["CLIENT[proxy-authorization]"] = "Basic dXNlcjpwYXNz";
    variables["FILTER"] = "URL Filter";
    EXPECT_EQ(variables.count(std::string("FILTER")), 1u);
    EXPECT_EQ(variables.count(std::string_view("CLIENT[proxy-authorization]")), 1u);
    EXPECT_EQ(variables.count("MISSING"), 0u);
    variables.erase("CLIENT[proxy-authorization]");
    EXPECT_EQ(variables.count("CLIENT[proxy-authorization]"), 0u);
    variables["CLIENT[proxy-authorization]"] = "again";
    EXPECT_EQ(variables.at("CLIENT[proxy-authorization]"), "again");
}

// Placeholders expand from the connection's map; a name it lacks is added empty, and stays
// known after the page is filled.
TEST(RequestVariables, PlaceholdersExpandFromTheMap)
{
    RequestVariables variables;
    variables["HTTP_HOST"] = "example.test";
    variables["URL"] = "http://example.test:80/a-path-long-enough-to-leave-short-string-room";
    Filebuf page;
    page.Add("<p>@HTTP_HOST@ @URL@ @UNSET@ user@@host</p>");
    variables_parse(variables, page);
    EXPECT_EQ(page.view(),
              "<p>example.test http://example.test:80/a-path-long-enough-to-leave-short-string-room  user@host</p>");
    ASSERT_EQ(variables.count("UNSET"), 1u);
    EXPECT_EQ(variables.at("UNSET"), "");
}
