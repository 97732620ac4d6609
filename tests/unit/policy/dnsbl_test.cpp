#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/performance.h"
#include "daemon/sections.h"
#include "dns_seed.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/dnsbl.h"
#include "policy_fixture.h"
#include "road_fixture.h"

namespace {

// Lookups the DNS code has counted so far: answered from the cache, asked, or failed.
std::uint64_t lookups()
{
    return performance_log->get_dns_hit() + performance_log->get_dns_miss() + performance_log->get_dns_fail();
}

class DnsblTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dns_seed("listed.example.bl.test", "127.0.0.2");
        dns_seed("edge.example.bl.test", "127.0.0.11");
        dns_seed("clean.example.bl.test", "127.0.0.1");
    }
    void SetUp() override
    {
        road::sections_create();
        sections_create({"dnsbl"});
        road::log_clear();
    }
    void TearDown() override { load("false", "", "", ""); }

    static void load(const std::string& enabled, const std::string& templ, const std::string& zone,
                     const std::string& ranges)
    {
        section_load(*dnsbl_section, "<dnsbl><enabled>" + enabled + "</enabled><template>" + templ +
                                         "</template><zone>" + zone + "</zone><ranges>" + ranges + "</ranges></dnsbl>");
    }

    static void request(road::Wired& wired, const std::string& line)
    {
        wired->request = http_header_parse_request(line + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_NE(wired->request, nullptr) << line;
    }
};

TEST(DnsblQuery, AsksForTheLastTwoLabelsUnderTheZone)
{
    struct Case {
        const char* host;
        const char* query;
    };
    const Case cases[] = {
        {"www.example.com", "example.com.bl.test"},
        {"a.b.c.example.com", "example.com.bl.test"},
        {"example.com", "example.com.bl.test"},
        {"localhost", "localhost.bl.test"},
        {"x.example.com", "example.com.bl.test"},
        {"10.1.2.3", "2.3.bl.test"},
        {".example.com", ".example.com.bl.test"},
        // A final dot, or capitals, must not take a listed name past the lookup.
        {"www.example.com.", "example.com.bl.test"},
        {"example.com..", "example.com.bl.test"},
        {"WWW.Example.COM", "example.com.bl.test"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dnsbl_query(c.host, "bl.test"), c.query) << c.host;

    const std::string longest = dnsbl_query(std::string(2000, 'a'), "bl.test");
    EXPECT_EQ(longest, std::string(DNSBL_QUERY_MAX, 'a'));
}

TEST_F(DnsblTest, AnAnswerInTheRangesBlocksWithA404)
{
    load("true", "", "bl.test", "127.0.0.2-127.0.0.11");
    struct Case {
        const char* request;
        const char* answer;   // null: passes
    };
    const Case cases[] = {
        {"GET http://www.listed.example/page", "127.0.0.2"},
        {"GET http://listed.example/", "127.0.0.2"},
        {"GET http://www.edge.example/", "127.0.0.11"},
        {"CONNECT www.listed.example:443", "127.0.0.2"},
        {"GET http://www.clean.example/", nullptr},
    };
    for (const Case& c : cases) {
        road::Wired wired(false);
        request(wired, c.request);
        const int blocked = dnsbl_reqcheck(wired.get(), nullptr);
        const std::string sent = road::read_now(wired.client_peer);
        if (c.answer == nullptr) {
            EXPECT_EQ(blocked, 0) << c.request;
            EXPECT_EQ(sent, "");
            EXPECT_TRUE(wired->variables.empty());
            EXPECT_NE(wired->logentry.filter_name, "dnsbl");
            continue;
        }
        EXPECT_EQ(blocked, 1) << c.request;
        EXPECT_EQ(sent.rfind("HTTP/1.1 404", 0), 0u) << sent;
        EXPECT_NE(sent.find("Page Blocked"), std::string::npos) << sent;
        EXPECT_EQ(wired->variables["FILTER"], "URL BlackList");
        EXPECT_EQ(wired->variables["DNSBL_IP"], c.answer);
        EXPECT_EQ(wired->logentry.filter_name, "dnsbl");
        EXPECT_EQ(wired->logentry.filtering_reason, c.answer);
    }
    EXPECT_TRUE(road::was_logged("dnsbl: ", "domain www.listed.example is blacklisted"));

    load("true", "blacklisted", "bl.test", "127.0.0.2");
    road::Wired wired(false);
    request(wired, "GET http://listed.example/");
    EXPECT_EQ(dnsbl_section->check_and_block(wired.get()), 1);
    EXPECT_NE(road::read_now(wired.client_peer).find("Page blacklisted"), std::string::npos);
}

TEST_F(DnsblTest, NoLookupUnlessSwitchedOnWithZoneAndRanges)
{
    struct Case {
        const char* what;
        std::string enabled, zone, ranges;
        std::uint32_t bypass = 0;
    };
    const Case cases[] = {
        {"switched off", "false", "bl.test", "127.0.0.2"},
        {"no zone", "true", "", "127.0.0.2"},
        {"no ranges", "true", "bl.test", ""},
        {"bypass letter d", "true", "bl.test", "127.0.0.2", BYPASS_DNSBL},
    };
    for (const Case& c : cases) {
        load(c.enabled, "", c.zone, c.ranges);
        road::Wired wired(false);
        request(wired, "GET http://www.listed.example/");
        wired->bypass = c.bypass;
        const std::uint64_t before = lookups();
        EXPECT_EQ(dnsbl_section->check_and_block(wired.get()), 0) << c.what;
        EXPECT_EQ(lookups(), before) << c.what;
        EXPECT_EQ(road::read_now(wired.client_peer), "") << c.what;
    }

    // The same request switched on does look up, and is blocked.
    load("true", "", "bl.test", "127.0.0.2");
    road::Wired wired(false);
    request(wired, "GET http://www.listed.example/");
    const std::uint64_t before = lookups();
    EXPECT_EQ(dnsbl_section->check_and_block(wired.get()), 1);
    EXPECT_EQ(lookups(), before + 1);
}

} // namespace
