#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "config_fixture.h"
#include "core/global.h"
#include "config/item.h"
#include "util/regex.h"
#include "config/xmlcursor.h"

namespace {

struct RegexFree {
    void operator()(Regex* regex) const { reg_free(regex); }
};
using RegexPtr = std::unique_ptr<Regex, RegexFree>;

RegexPtr pattern(const char* text)
{
    return text != nullptr ? RegexPtr(reg_compile(text, REG_CASELESS)) : RegexPtr();
}

class ItemTest : public testing::Test {
protected:
    void SetUp() override
    {
        definitions_set(TEST_DEFINITIONS);
        section_ = std::make_unique<TestSection>("testsec");
        allow_ = &section_->subsections_[0];
    }

    std::unique_ptr<TestSection> section_;
    const Subsection* allow_ = nullptr;
};

TEST_F(ItemTest, EveryConstructionTakesANewId)
{
    const Item first(*allow_, nullptr);
    const Item second(*allow_, nullptr);
    EXPECT_GT(second.id_get(), first.id_get());
    EXPECT_EQ(first.section, "testsec");
    EXPECT_EQ(first.subsection, "allow");
    EXPECT_EQ(first.fields.size(), 6u);
    EXPECT_EQ(first.fields[4].text, "5");   // the template's default

    Item copy(first);
    EXPECT_NE(copy.id_get(), first.id_get());
    EXPECT_NE(copy.id_get(), second.id_get());

    copy.fields[0].text = "changed";
    Item target(second);
    const int id = target.id_get();
    target = copy;
    EXPECT_EQ(target.id_get(), id);   // assignment keeps the id
    EXPECT_EQ(target.fields[0].text, "changed");

    // Storing into a list copies, so the stored item's id is not the temporary's.
    std::list<Item> items;
    items.push_back(first);
    EXPECT_NE(items.front().id_get(), first.id_get());
}

TEST_F(ItemTest, IdsStayUniqueAcrossThreads)
{
    constexpr int THREADS = 4;
    constexpr int EACH = 250;
    std::vector<std::vector<int>> ids(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i)
                ids[static_cast<std::size_t>(t)].push_back(Item(*allow_, nullptr).id_get());
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::set<int> all;
    for (const std::vector<int>& list : ids)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(THREADS * EACH));
}

TEST_F(ItemTest, LoadsFieldsFromTheCursor)
{
    TiXmlDocument doc;
    doc.Parse(R"(<tarvodine><testsec>
        <allow><name>one</name><clients>10.0.0.0-10.255.255.255</clients><ports>80,443</ports>
               <colours>red,blue</colours><limit active="false">not parsed</limit><text>a&#x0A;b</text></allow>
        <allow><name>two</name><limit active="maybe">7</limit></allow>
        <allow><name>three</name></allow>
        <allow><name>four</name><limit>9</limit></allow>
    </testsec></tarvodine>)");
    ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();

    std::vector<Item> items;
    for (XmlElement cursor(&doc, "testsec", "allow"); cursor.full(); cursor.next())
        items.emplace_back(*allow_, &cursor);
    ASSERT_EQ(items.size(), 4u);

    const FieldVector& one = items[0].fields;
    EXPECT_EQ(one[0].text, "one");
    EXPECT_EQ(one[1].ip_ranges.has("10.9.9.9"), 1);
    EXPECT_EQ(one[1].ip_ranges.has("11.0.0.1"), 0);
    EXPECT_EQ(one[2].port_ranges.has(443), 1);
    EXPECT_EQ(one[3].int_value, 0b101);
    EXPECT_FALSE(one[4].active);
    EXPECT_EQ(one[4].text, "not parsed");
    EXPECT_EQ(one[5].text, "a\nb");

    struct Case { std::size_t item; bool active; const char* text; int value; };
    const Case limits[] = {
        {1, false, "7", 5},   // an unusable "active": the text read, inactive
        {2, false, "", 5},    // no element: empty, inactive
        {3, true, "9", 9},    // no attribute: active
    };
    for (const Case& c : limits) {
        SCOPED_TRACE(c.item);
        const Field& limit = items[c.item].fields[4];
        EXPECT_EQ(limit.active, c.active);
        EXPECT_EQ(limit.text, c.text);
        EXPECT_EQ(limit.int_value, c.value);
    }
    EXPECT_EQ(items[2].fields[1].ip_ranges.has("1.2.3.4"), 1);   // an absent range list holds all
}

TEST_F(ItemTest, BadValueThrowsOutOfTheConstructor)
{
    TiXmlDocument doc;
    doc.Parse("<tarvodine><testsec><allow><ports>0</ports></allow></testsec></tarvodine>");
    const XmlElement cursor(&doc, "testsec", "allow");
    EXPECT_THROW(Item(*allow_, &cursor), ConfigError);
}

TEST_F(ItemTest, MatchNeedsOneFieldForBothPatterns)
{
    Item item(*allow_, nullptr);
    item.fields[0].text = "one";
    item.fields[1].text = "10.0.0.1";
    const Item empty(section_->subsections_[2], nullptr);

    struct Case { const char* name; const char* value; int match; };
    const Case cases[] = {
        {nullptr, nullptr, 1},
        {"^name$", nullptr, 1},
        {"^NAME$", nullptr, 1},         // caseless
        {"^nope$", nullptr, 0},
        {nullptr, "^ONE$", 1},
        {nullptr, "^two$", 0},
        {"^name$", "^one$", 1},
        {"^clients$", "^one$", 0},      // name and value of different fields
        {"^clients$", "^10\\.", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "-") + " " + (c.value ? c.value : "-"));
        const RegexPtr name = pattern(c.name);
        const RegexPtr value = pattern(c.value);
        EXPECT_EQ(item.match(name.get(), value.get()), c.match);
        EXPECT_EQ(empty.match(name.get(), value.get()), 0);
    }
}

TEST(Regex, BadPatternIsLoggedAndGivesNull)
{
    EXPECT_EQ(reg_compile("(", REG_CASELESS), nullptr);
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    ASSERT_FALSE(buffered.empty());
    EXPECT_NE(buffered.front().find("error: failed to compile regular expression: ("),
              std::string::npos);
}

TEST(Regex, CaselessMatchOnly)
{
    const RegexPtr abc(reg_compile("ABC", REG_CASELESS));
    ASSERT_NE(abc, nullptr);
    EXPECT_EQ(reg_exec(abc.get(), "xabcx"), 0);
    EXPECT_NE(reg_exec(abc.get(), "xabx"), 0);
}

} // namespace
