#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/connection.h"
#include "config/general.h"
#include "config/profile.h"
#include "util/helpers.h"
#include "policy_fixture.h"

namespace {

const XmlFields GENERAL_RULE = {
    {"enabled", "true"},      {"comment", ""},         {"profiles", ""},          {"ctimeout", "60"},
    {"timeout", "60"},        {"keeptimeout", "60"},   {"maxdbuffer", "4M"},      {"maxubuffer", "1M"},
    {"bufferwait", "0"},      {"cportrange", "443"},   {"encodemime", ""},        {"compressout", "false"},
    {"compressin", "false"},  {"xforwardedfor", "false"}, {"via", "true"},
};

std::string rule(const std::map<std::string, std::string>& set)
{
    return item_xml("rule", GENERAL_RULE, set);
}

ConnectionPtr carrying(std::initializer_list<const char*> names)
{
    ConnectionPtr connection = connection_new();
    for (const char* name : names)
        connection->profiles.push_back(name);
    return connection;
}

class GeneralTest : public testing::Test {
protected:
    void SetUp() override
    {
        shipped_definitions_set();
        general_ = std::make_unique<GeneralSection>();
        ftp_ = std::make_unique<FtpSection>();
    }

    void load(const std::string& rules, const std::string& globals = "")
    {
        section_load(*general_, "<general>" + globals + rules + "</general>");
    }

    std::unique_ptr<GeneralSection> general_;
    std::unique_ptr<FtpSection> ftp_;
};

TEST_F(GeneralTest, WithoutRulesEveryGetterGivesItsDefault)
{
    for (const bool loaded : {false, true}) {
        SCOPED_TRACE(loaded ? "loaded without rules" : "never loaded");
        if (loaded)
            load("");
        const ConnectionPtr connection = carrying({"staff"});
        EXPECT_EQ(general_->ctimeout_get(connection.get()), 60);
        EXPECT_EQ(general_->timeout_get(connection.get()), 60);
        EXPECT_EQ(general_->keeptimeout_get(connection.get()), 60);
        EXPECT_EQ(general_->maxdbuffer_get(connection.get()), 0u);
        EXPECT_EQ(general_->maxubuffer_get(connection.get()), 0u);
        EXPECT_EQ(general_->bufferwait_get(connection.get()), 0);
        EXPECT_EQ(general_->cportrange_check(connection.get(), 22), 1);
        EXPECT_EQ(general_->encodemime_check(connection.get(), "text/html"), 0);
        EXPECT_EQ(general_->compressout_get(connection.get()), 0);
        EXPECT_EQ(general_->compressin_get(connection.get()), 0);
        EXPECT_EQ(general_->xforwardedfor_get(connection.get()), 0);
        EXPECT_EQ(general_->via_get(connection.get()), 0);
        EXPECT_EQ(general_->find(connection.get()), nullptr);
        EXPECT_EQ(general_->timeout_get(nullptr), 60);
    }
}

TEST_F(GeneralTest, FirstEnabledRuleWhoseProfilesMatchDecides)
{
    load(rule({{"profiles", "!guest,staff"}, {"enabled", "false"}, {"timeout", "1"}}) +
         rule({{"profiles", "staff"}, {"timeout", "10"}, {"ctimeout", "11"}, {"keeptimeout", "12"},
               {"maxdbuffer", "10K"}, {"maxubuffer", "1k"}, {"bufferwait", "13"}, {"cportrange", "443,8000-8100"},
               {"encodemime", "text/.*"}, {"compressout", "true"}, {"compressin", "TRUE"},
               {"xforwardedfor", "true"}, {"via", "false"}}) +
         rule({{"timeout", "20"}, {"cportrange", ""}}));

    struct Case { std::vector<const char*> names; int timeout; };
    const Case cases[] = {
        {{"staff"},          10},   // the disabled first rule is skipped
        {{"guest", "staff"}, 10},
        {{"Staff"},          20},   // names are case-sensitive
        {{},                 20},   // the rule without profiles takes every other connection
    };
    for (const Case& c : cases) {
        ConnectionPtr connection = connection_new();
        for (const char* name : c.names)
            connection->profiles.push_back(name);
        SCOPED_TRACE(testing::PrintToString(c.names));
        EXPECT_EQ(general_->timeout_get(connection.get()), c.timeout);
    }

    const ConnectionPtr staff = carrying({"staff"});
    EXPECT_EQ(general_->ctimeout_get(staff.get()), 11);
    EXPECT_EQ(general_->keeptimeout_get(staff.get()), 12);
    EXPECT_EQ(general_->maxdbuffer_get(staff.get()), 10240u);
    EXPECT_EQ(general_->maxubuffer_get(staff.get()), 1024u);
    EXPECT_EQ(general_->bufferwait_get(staff.get()), 13);
    EXPECT_EQ(general_->cportrange_check(staff.get(), 443), 1);
    EXPECT_EQ(general_->cportrange_check(staff.get(), 8050), 1);
    EXPECT_EQ(general_->cportrange_check(staff.get(), 22), 0);
    EXPECT_EQ(general_->encodemime_check(staff.get(), "TEXT/HTML"), 1);
    EXPECT_EQ(general_->encodemime_check(staff.get(), "image/gif"), 0);
    EXPECT_EQ(general_->compressout_get(staff.get()), 1);
    EXPECT_EQ(general_->compressin_get(staff.get()), 1);
    EXPECT_EQ(general_->xforwardedfor_get(staff.get()), 1);
    EXPECT_EQ(general_->via_get(staff.get()), 0);

    const ConnectionPtr other = carrying({});
    EXPECT_EQ(general_->cportrange_check(other.get(), 22), 1);    // an empty port list holds every port
    EXPECT_EQ(general_->encodemime_check(other.get(), "text/html"), 0);   // no pattern
    EXPECT_EQ(general_->via_get(other.get()), 1);
}

TEST_F(GeneralTest, ABadPatternLeavesTheRuleWithoutOne)
{
    load(rule({{"encodemime", "text/("}}));
    const ConnectionPtr connection = carrying({});
    ASSERT_NE(general_->find(connection.get()), nullptr);
    EXPECT_EQ(general_->find(connection.get())->encodemime_regex, nullptr);
    EXPECT_EQ(general_->encodemime_check(connection.get(), "text/("), 0);
}

// A record without a snapshot of its rule resolves it at each read: a change of its profiles or
// of the rules is seen at the very next one.
TEST_F(GeneralTest, RecordWithoutSnapshotFollowsProfilesAndUpdates)
{
    load(rule({{"profiles", "a"}, {"timeout", "1"}}) + rule({{"timeout", "2"}}));
    ConnectionPtr connection = carrying({});
    EXPECT_EQ(general_->timeout_get(connection.get()), 2);
    connection->profiles.push_back("a");
    EXPECT_EQ(general_->timeout_get(connection.get()), 1);
    connection->profiles.clear();
    EXPECT_EQ(general_->timeout_get(connection.get()), 2);

    load(rule({{"timeout", "3"}}));
    EXPECT_EQ(general_->timeout_get(connection.get()), 3);

    // A rule handed out by find stays whole after the rules are replaced.
    const std::shared_ptr<const General> held = general_->find(connection.get());
    load(rule({{"timeout", "4"}}));
    EXPECT_EQ(held->timeout, 3);
    EXPECT_EQ(general_->timeout_get(connection.get()), 4);

    // Another section's rules are never taken for this one's.
    GeneralSection other;
    EXPECT_EQ(other.timeout_get(connection.get()), 60);
    EXPECT_EQ(general_->timeout_get(connection.get()), 4);
}

// The profile evaluation stores the request's rule in the connection: an update made while the
// request runs does not reach it, the next evaluation does. A snapshot that found no rule keeps
// the defaults, where a record without a snapshot resolves afresh.
TEST_F(GeneralTest, ARequestKeepsTheRuleOfItsLastProfileEvaluation)
{
    ProfileSection profiles;
    general_section = general_.get();
    const ConnectionPtr evaluated = carrying({"staff"});
    const ConnectionPtr by_hand = carrying({"staff"});

    profiles.profiles_update(evaluated.get());
    load(rule({{"profiles", "staff"}, {"timeout", "1"}, {"compressout", "true"}}));
    EXPECT_EQ(general_->timeout_get(evaluated.get()), 60);
    EXPECT_EQ(general_->compressout_get(evaluated.get()), 0);
    EXPECT_EQ(general_->timeout_get(by_hand.get()), 1);

    profiles.profiles_update(evaluated.get());
    EXPECT_EQ(general_->timeout_get(evaluated.get()), 1);
    load(rule({{"profiles", "staff"}, {"timeout", "3"}}));
    EXPECT_EQ(general_->timeout_get(evaluated.get()), 1);
    EXPECT_EQ(general_->compressout_get(evaluated.get()), 1);
    EXPECT_EQ(general_->find(evaluated.get())->timeout, 3);   // the rules in force did change

    profiles.profiles_update(evaluated.get());
    EXPECT_EQ(general_->timeout_get(evaluated.get()), 3);
    EXPECT_EQ(general_->compressout_get(evaluated.get()), 0);

    general_section = nullptr;
}

TEST_F(GeneralTest, ReadersDuringUpdatesSeeOldOrNewRules)
{
    load(rule({{"timeout", "1"}, {"ctimeout", "1"}}));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            const ConnectionPtr connection = carrying({});
            while (!stop.load()) {
                const std::shared_ptr<const General> rule = general_->find(connection.get());
                if (rule == nullptr || rule->timeout != rule->ctimeout)
                    ++torn;
                const int timeout = general_->timeout_get(connection.get());
                if (timeout < 1 || timeout > 50)
                    ++torn;
            }
        });
    }
    for (int i = 2; i <= 50; ++i) {
        const std::string value = std::to_string(i);
        load(rule({{"timeout", value}, {"ctimeout", value}}));
    }
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(GeneralTest, GlobalValues)
{
    EXPECT_EQ(general_->proxyhost_get(), "localhost");
    EXPECT_EQ(general_->tempdir_get(), "/tmp");
    EXPECT_EQ(general_->linelength_get(), 100);
    EXPECT_EQ(general_->poolsize_get(), 20);
    EXPECT_EQ(general_->pooltimeout_get(), 30);

    load("", "<hostname>proxy.example</hostname><tempdir>/var/tmp</tempdir><linelength>4</linelength>"
             "<poolsize>5</poolsize><pooltimeout>7</pooltimeout>");
    EXPECT_EQ(general_->proxyhost_get(), "proxy.example");
    EXPECT_EQ(general_->tempdir_get(), "/var/tmp");
    EXPECT_EQ(general_->linelength_get(), 4);
    EXPECT_EQ(general_->poolsize_get(), 5);
    EXPECT_EQ(general_->pooltimeout_get(), 7);

    general_section = general_.get();
    EXPECT_EQ(string_to_html("abcdefghij", 1), "abcd<br>efgh<br>ij");
    general_section = nullptr;
}

TEST_F(GeneralTest, FtpValues)
{
    EXPECT_EQ(ftp_->passive_get(), 1);
    EXPECT_EQ(ftp_->timeout_get(), 60);
    EXPECT_EQ(ftp_->user_get(), "anonymous");
    EXPECT_EQ(ftp_->password_get(), "tarvodine");
    EXPECT_EQ(ftp_->sortorder_get(), 0);
    EXPECT_EQ(ftp_->sortfield_get(), 1);

    section_load(*ftp_, "<ftp><passive>false</passive><timeout>9</timeout><user>u</user><password>p</password>"
                        "<sortorder>1</sortorder><sortfield>3</sortfield></ftp>");
    EXPECT_EQ(ftp_->passive_get(), 0);
    EXPECT_EQ(ftp_->timeout_get(), 9);
    EXPECT_EQ(ftp_->user_get(), "u");
    EXPECT_EQ(ftp_->password_get(), "p");
    EXPECT_EQ(ftp_->sortorder_get(), 1);
    EXPECT_EQ(ftp_->sortfield_get(), 3);
}

} // namespace
