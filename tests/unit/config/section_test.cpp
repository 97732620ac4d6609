#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_fixture.h"
#include "core/options.h"
#include "config/section.h"

namespace {

std::vector<std::string> field_names(const FieldVector& fields)
{
    std::vector<std::string> names;
    for (const Field& field : fields)
        names.push_back(field.name);
    return names;
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SectionTest : public testing::Test {
protected:
    void SetUp() override { definitions_set(TEST_DEFINITIONS); }
};

TEST_F(SectionTest, BuildsTheDeclaredSkeleton)
{
    const TestSection section("testsec");
    EXPECT_EQ(section.name_get(), "testsec");
    EXPECT_EQ(section.comment_get(), "Test section");
    EXPECT_EQ(field_names(section.fields_),
              (std::vector<std::string>{"enabled", "port", "maxsize", "note", "banner", "hidden", "colour", "hours",
                                        "days", "ratio", "limit", "hosts", "cache"}));

    struct Case { std::size_t position; int type; bool enabled; bool optional; const char* text; const char* label; };
    const Case cases[] = {
        {0, FIELD_BOOL, true, false, "true", "Enabled"},
        {1, FIELD_INT, true, false, "8080", "Port"},
        {2, FIELD_FILE_SIZE, true, false, "1M", "Max size"},
        {3, FIELD_STRING, true, true, "default note", "Note"},
        {4, FIELD_MULTILINE_STRING, true, false, "", "Banner"},
        {5, FIELD_STRING, false, false, "secret", "Hidden"},
        {6, FIELD_STRING_SELECT_ONE, true, false, "green", "Colour"},
        {7, FIELD_INT_RANGE, true, false, "0,23", "Hours"},
        {8, FIELD_STRING_RANGE, true, false, "wed,fri", "Days"},
        {10, FIELD_UINT, true, true, "10", "Limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        const Field& field = section.fields_[c.position];
        EXPECT_EQ(field.type, c.type);
        EXPECT_EQ(field.enabled, c.enabled);
        EXPECT_EQ(field.optional, c.optional);
        EXPECT_EQ(field.text, c.text);
        EXPECT_EQ(field.label, c.label);
    }
    EXPECT_EQ(section.fields_[0].help, "on or off");
    EXPECT_EQ(section.fields_[0].int_value, 1);
    EXPECT_EQ(section.fields_[2].uint_value, 1048576u);
    EXPECT_EQ(section.fields_[12].long_value, 4294967296u);
}

TEST_F(SectionTest, ChoiceListsKeepOrderLabelsHelpAndDefaults)
{
    const TestSection section("testsec");
    const StringSelectVector& colours = section.fields_[6].options;
    struct Case { const char* value; const char* label; const char* help; bool selected; };
    const Case cases[] = {
        {"red", "Red", "warm", false},
        {"green", "green", "", true},       // the label defaults to the value
        {"blue", "Blue", "", true},         // "TRUE" in any case selects
        {"Blue", "Capital blue", "", false}, // values differing in case are distinct options
    };
    ASSERT_EQ(colours.size(), std::size(cases));
    for (std::size_t i = 0; i < colours.size(); ++i) {
        SCOPED_TRACE(cases[i].value);
        EXPECT_EQ(colours[i].value, cases[i].value);
        EXPECT_EQ(colours[i].label, cases[i].label);
        EXPECT_EQ(colours[i].help, cases[i].help);
        EXPECT_EQ(colours[i].selected, cases[i].selected);
    }
    EXPECT_EQ(section.fields_[6].int_value, 1);
    EXPECT_EQ(section.fields_[8].int_value, 2);
    EXPECT_EQ(section.fields_[8].int_value2, 4);
}

TEST_F(SectionTest, SubsectionsCopyTheirTemplates)
{
    TestSection section("testsec");
    ASSERT_EQ(section.subsections_.size(), 3u);
    const Subsection& allow = section.subsections_[0];
    EXPECT_TRUE(allow.enabled);
    EXPECT_EQ(allow.section, "testsec");
    EXPECT_EQ(allow.name, "allow");
    EXPECT_EQ(allow.title, "Allowed");
    EXPECT_EQ(allow.help, "allow list");
    EXPECT_TRUE(allow.items.empty());
    EXPECT_EQ(field_names(allow.templ),
              (std::vector<std::string>{"name", "clients", "ports", "colours", "limit", "text"}));
    EXPECT_EQ(allow.templ[3].options.size(), 4u);   // the section's list, resolved for the template
    EXPECT_FALSE(section.subsections_[1].enabled);
    EXPECT_EQ(section.subsections_[1].templ.size(), 6u);
    EXPECT_TRUE(section.subsections_[2].templ.empty());   // an undeclared template: no fields

    EXPECT_EQ(section.subsection_get("deny"), &section.subsections_[1]);
    EXPECT_EQ(section.subsection_get("Deny"), nullptr);

    const TestSection bare("bare");
    EXPECT_TRUE(bare.fields_.empty());
    EXPECT_TRUE(bare.subsections_.empty());
}

TEST(SectionLists, EachSectionResolvesItsOwnListNames)
{
    definitions_set(R"(<section>
      <a><comment>A</comment><desc>A</desc>
        <select><modes><fast/><slow/></modes></select>
        <global><mode n="0"><comment>M</comment><value>modes</value><type>STRING_SELECT_ONE</type><desc/></mode>
          <missing n="1"><comment>M</comment><value>nolist</value><type>STRING_SELECT_MANY</type><desc/></missing>
        </global></a>
      <b><comment>B</comment><desc>B</desc>
        <select><modes><on/><off/><auto/></modes></select>
        <global><mode n="0"><comment>M</comment><value>modes</value><type>STRING_SELECT_ONE</type><desc/></mode></global></b>
    </section>)");
    const TestSection a("a");
    const TestSection b("b");
    EXPECT_EQ(a.fields_[0].possible_values(), "fast,slow");
    EXPECT_EQ(b.fields_[0].possible_values(), "on,off,auto");
    EXPECT_TRUE(a.fields_[1].options.empty());
}

TEST(SectionRegistry, NameOrderReplacementAndRemoval)
{
    definitions_set(TEST_DEFINITIONS);
    const auto names = [] {
        std::vector<std::string> all;
        for (const auto& [name, section] : Section::map)
            all.push_back(name);
        return all;
    };
    auto other = std::make_unique<TestSection>("other");
    auto test = std::make_unique<TestSection>("testsec");
    auto bare = std::make_unique<TestSection>("bare");
    EXPECT_EQ(names(), (std::vector<std::string>{"bare", "other", "testsec"}));

    auto later = std::make_unique<TestSection>("other");
    EXPECT_EQ(Section::map.at("other"), later.get());
    other.reset();   // the replaced section leaves the newer one registered
    EXPECT_EQ(Section::map.at("other"), later.get());
    later.reset();
    test.reset();
    bare.reset();
    EXPECT_TRUE(Section::map.empty());
}

TEST(SectionDefaults, BadDefaultThrowsAndRegistersNothing)
{
    definitions_set(R"(<section><s><comment>S</comment><desc>S</desc><global>
        <port n="0"><comment>Port</comment><value>ten</value><type>INT</type><desc/></port>
    </global></s></section>)");
    EXPECT_THROW(TestSection("s"), ConfigError);
    EXPECT_EQ(Section::map.count("s"), 0u);
}

// Each definition lacks something required; building its section "s" stops the process.
TEST(SectionDefinitionDeathTest, MalformedDeclarationsAreFatal)
{
    const std::string field = R"(<f n="0"><comment>F</comment><value>1</value><type>INT</type><desc/></f>)";
    const auto section = [](const std::string& inside) { return "<section><s>" + inside + "</s></section>"; };
    const std::string head = "<comment>S</comment><desc>D</desc>";
    const auto with_field = [&](const std::string& f) { return section(head + "<global>" + f + "</global>"); };
    const auto with_sub = [&](const std::string& sub) {
        return section(head + "<global/><subsection><sub>" + sub + "</sub></subsection>");
    };
    const auto with_option = [&](const std::string& option) {
        return section(head + "<select><list><o>" + option + "</o></list></select><global/>");
    };
    struct Case { const char* what; std::string xml; const char* raiser = "src/config/section:"; };
    const Case cases[] = {
        {"root is not section", "<sections><s>" + head + "<global/></s></sections>"},
        {"no element for the section", "<section><t>" + head + "<global/></t></section>"},
        {"no comment", section("<desc>D</desc><global/>")},
        {"empty comment", section("<comment></comment><desc>D</desc><global/>")},
        {"no desc", section("<comment>S</comment><global/>")},
        {"desc of blanks", section("<comment>S</comment><desc>  </desc><global/>")},
        {"no global", section(head)},
        {"no n", with_field(R"(<f><comment>F</comment><value>1</value><type>INT</type><desc/></f>)")},
        {"n not a number", with_field(R"(<f n="zero"><comment>F</comment><value>1</value><type>INT</type><desc/></f>)")},
        {"n 0, 1, 3", with_field(field + R"(<g n="1"><comment>G</comment><value/><type>STRING</type><desc/></g>)"
                                         R"(<h n="3"><comment>H</comment><value/><type>STRING</type><desc/></h>)")},
        {"field without comment", with_field(R"(<f n="0"><value>1</value><type>INT</type><desc/></f>)")},
        {"field without value", with_field(R"(<f n="0"><comment>F</comment><type>INT</type><desc/></f>)")},
        {"field without type", with_field(R"(<f n="0"><comment>F</comment><value>1</value><desc/></f>)")},
        {"field of unknown type",
         with_field(R"(<f n="0"><comment>F</comment><value>1</value><type>int</type><desc/></f>)"), "src/config/field:"},
        {"field without desc", with_field(R"(<f n="0"><comment>F</comment><value>1</value><type>INT</type></f>)")},
        {"optional without text",
         with_field(R"(<f n="0"><comment>F</comment><value>1</value><type>INT</type><optional/><desc/></f>)")},
        {"enabled without text",
         with_field(R"(<f n="0"><comment>F</comment><value>1</value><type>INT</type><enabled></enabled><desc/></f>)")},
        {"option comment without text", with_option("<comment/>")},
        {"option value without text", with_option("<value/>")},
        {"subsection without comment", with_sub("<template>t</template><desc>D</desc>")},
        {"subsection without template", with_sub("<comment>C</comment><desc>D</desc>")},
        {"subsection without desc", with_sub("<comment>C</comment><template>t</template>")},
        {"subsection enabled without text",
         with_sub("<comment>C</comment><template>t</template><desc>D</desc><enabled/>")},
    };
    const std::string log = testing::TempDir() + "/section_definition_death.log";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        definitions_set(c.xml.c_str());
        std::remove(log.c_str());
        logfile = log;
        EXPECT_EXIT(TestSection("s"), testing::ExitedWithCode(1), "");
        logfile.clear();
        // Each child runs this test again up to its own statement: the log is read after each.
        const std::string lines = file_text(log);
        EXPECT_NE(lines.find(std::string("ASSERTION: ") + c.raiser), std::string::npos) << lines;
    }

    // The same shapes, complete, build.
    definitions_set(with_field(field).c_str());
    EXPECT_NO_THROW(TestSection("s"));
    definitions_set(with_option("<comment>O</comment><value>false</value><desc/>").c_str());
    EXPECT_NO_THROW(TestSection("s"));
    definitions_set(with_sub("<comment>C</comment><template>t</template><desc>D</desc><enabled>no</enabled>").c_str());
    EXPECT_FALSE(TestSection("s").subsections_[0].enabled);
}

TEST(SectionLocks, ReadersShareWritersExclude)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("other");
    const auto other_thread = [](auto&& probe) { std::thread(probe).join(); };

    section.read_lock();
    other_thread([&] {
        EXPECT_TRUE(section.rwlock_.try_lock_shared());
        section.rwlock_.unlock_shared();
        EXPECT_FALSE(section.rwlock_.try_lock());
    });
    section.unlock();
    other_thread([&] {
        EXPECT_TRUE(section.rwlock_.try_lock());
        section.rwlock_.unlock();
    });

    section.write_lock();
    other_thread([&] { EXPECT_FALSE(section.rwlock_.try_lock_shared()); });
    section.unlock();
    other_thread([&] {
        EXPECT_TRUE(section.rwlock_.try_lock());
        section.rwlock_.unlock();
    });

    {
        SectionWriteLock lock(section);
        other_thread([&] { EXPECT_FALSE(section.rwlock_.try_lock_shared()); });
    }
    {
        SectionReadLock lock(section);
        other_thread([&] { EXPECT_FALSE(section.rwlock_.try_lock()); });
    }
    other_thread([&] {
        EXPECT_TRUE(section.rwlock_.try_lock());
        section.rwlock_.unlock();
    });
}

TEST(SectionLocks, MutexKindGuardsWithItsMutexAndWaitsOnIt)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("other", SECTION_MUTEX);
    section.read_lock();
    std::thread([&] { EXPECT_FALSE(section.mutex_.try_lock()); }).join();
    section.unlock();
    std::thread([&] {
        EXPECT_TRUE(section.mutex_.try_lock());
        section.mutex_.unlock();
    }).join();

    std::condition_variable cond;
    bool ready = false;
    std::thread notifier([&] {
        std::lock_guard lock(section.mutex_);
        ready = true;
        cond.notify_all();
    });
    section.mutex_lock();
    while (!ready)
        EXPECT_EQ(section.cond_wait(cond), 0);
    section.unlock();
    notifier.join();

    const timespec past{std::time(nullptr) - 10, 0};
    section.mutex_lock();
    EXPECT_EQ(section.cond_timedwait(cond, past), ETIMEDOUT);
    std::thread([&] { EXPECT_FALSE(section.mutex_.try_lock()); }).join();   // still held
    section.unlock();
}

TEST(SectionLocksDeathTest, MutexCallsOnAReadWriteSectionAreFatal)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("other");
    std::condition_variable cond;
    EXPECT_EXIT(section.mutex_lock(), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(section.cond_wait(cond), testing::ExitedWithCode(1), "");
    const timespec now{std::time(nullptr), 0};
    EXPECT_EXIT(section.cond_timedwait(cond, now), testing::ExitedWithCode(1), "");
}

TEST(SectionLocks, AtomicReadsOfOwnValues)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("testsec");
    const long big = 1L << 40;
    const unsigned long ubig = 1UL << 41;
    EXPECT_EQ(section.atomic_read(&section.fields_[1].int_value), 8080);
    EXPECT_EQ(section.atomic_read(&section.fields_[2].uint_value), 1048576u);
    EXPECT_EQ(section.atomic_read(&big), big);
    EXPECT_EQ(section.atomic_read(&ubig), ubig);
}

TEST(SectionItems, LookupByIdSetsTheFoundFlag)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("testsec");
    section.subsections_[0].items.emplace_back(section.subsections_[0], nullptr);
    section.subsections_[2].items.emplace_back(section.subsections_[2], nullptr);
    const int first = section.subsections_[0].items.front().id_get();
    const int last = section.subsections_[2].items.front().id_get();

    auto found = section.item_iterator_get(last);
    EXPECT_EQ(FLG, 1);
    EXPECT_EQ(found->id_get(), last);
    EXPECT_EQ(&section.item_get(first), &section.subsections_[0].items.front());

    const auto missing = section.item_iterator_get(last + 1000);
    EXPECT_EQ(FLG, 0);
    EXPECT_TRUE(missing == section.subsections_[2].items.end());

    // Each thread reads the result of its own lookup.
    std::thread([&] {
        section.item_iterator_get(first);
        EXPECT_EQ(FLG, 1);
    }).join();
    EXPECT_EQ(FLG, 0);

    TestSection bare("bare");
    FLG = 1;
    bare.item_iterator_get(first);
    EXPECT_EQ(FLG, 0);
}

TEST(SectionItemsDeathTest, ItemGetOfAMissingIdIsFatal)
{
    definitions_set(TEST_DEFINITIONS);
    TestSection section("testsec");
    EXPECT_EXIT(section.item_get(12345), testing::ExitedWithCode(1), "");
}

TEST(SectionXmlLoadDeathTest, UnparsableDefinitionsEndTheProcess)
{
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "sectionxml_load";
    std::filesystem::create_directories(dir);
    const std::string broken = (dir / "broken.xml").string();
    std::ofstream(broken) << "<section><s></section>";
    const std::string log = (dir / "log").string();

    // Each child runs this test again up to its own statement: the log is read after each.
    struct Case { std::string path; const char* error; };
    const Case cases[] = {
        {broken, "Error reading end tag."},
        {(dir / "missing.xml").string(), "Failed to open file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::filesystem::remove(log);
        logfile = log;
        EXPECT_EXIT(sectionxml_load(c.path), testing::ExitedWithCode(1), "");
        logfile.clear();
        const std::string lines = file_text(log);
        EXPECT_NE(lines.find(std::string("error: Error when parsing section.xml: ") + c.error), std::string::npos)
            << lines;
        EXPECT_NE(lines.find(std::string("advice: Please correct errors in section.xml: ") + c.error),
                  std::string::npos)
            << lines;
    }
}

TEST(SectionXmlLoad, ParsedDefinitionsBecomeSectionxml)
{
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "sectionxml_ok";
    std::filesystem::create_directories(dir);
    const std::string good = (dir / "section.xml").string();
    std::ofstream(good) << TEST_DEFINITIONS;
    sectionxml.reset();
    sectionxml_load(good);
    ASSERT_NE(sectionxml, nullptr);
    EXPECT_EQ(TestSection("other").comment_get(), "Other");
}

} // namespace
