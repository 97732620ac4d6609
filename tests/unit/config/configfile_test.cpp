#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "config_fixture.h"
#include "config/configfile.h"
#include "core/global.h"
#include "core/options.h"

namespace fs = std::filesystem;

namespace {

// A configuration with every kind of value the format carries: character references, blanks
// that only references keep, entities, active flags, disabled fields and subsections, elements
// no declaration names, and nodes that belong to no section.
const char* const RICH = R"(<?xml version="1.0" encoding="UTF-8"?>
<tarvodine>
    <!-- kept: not a section -->
    <unknown><keep>me</keep></unknown>
    <testsec>
        <enabled>false</enabled>
        <port> 3128 </port>
        <maxsize>10 kb</maxsize>
        <note active="false">inactive note</note>
        <banner>Welcome&#x0A;  to the proxy&#x0A;&#x20;&#x20;indented &amp; &lt;b&gt;bold&lt;/b&gt; &amp;#x41;</banner>
        <hidden>ignored</hidden>
        <colour>blue</colour>
        <hours>8,17</hours>
        <days>MON,fri</days>
        <ratio>0.75</ratio>
        <limit active="TRUE">20</limit>
        <hosts>a.example,,b.example</hosts>
        <cache>5G</cache>
        <stray>dropped on save</stray>
        <allow>
            <name>first rule</name>
            <clients>10.0.0.0-10.255.255.255,192.168.1.1</clients>
            <ports>80,443,8000-8100</ports>
            <colours>red,Blue</colours>
            <limit active="false">x</limit>
            <text>line 1&#x0A;line 2&#x0A;</text>
        </allow>
        <deny><name>disabled subsection still loads</name></deny>
        <allow>
            <name>  second   rule  </name>
            <limit>3</limit>
        </allow>
        <marks />
        <marks><whatever>x</whatever></marks>
    </testsec>
    <other><count>7</count></other>
</tarvodine>
)";

std::string file_text(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void file_write(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

std::string last_log_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

std::vector<std::string> item_names(const Subsection& subsection)
{
    std::vector<std::string> names;
    for (const Item& item : subsection.items)
        names.push_back(item.fields.empty() ? "<no fields>" : item.fields[0].text);
    return names;
}

class ConfigFile : public testing::Test {
protected:
    void SetUp() override
    {
        definitions_set(TEST_DEFINITIONS);
        dir_ = fs::path(testing::TempDir()) / ("configfile_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        sections_new();
        slave = 0;
    }

    void TearDown() override
    {
        test_.reset();
        other_.reset();
        bare_.reset();
        document.reset();
        documentsynctime = 0;
    }

    // A fresh start: sections at their defaults and no document.
    void sections_new()
    {
        test_.reset();
        other_.reset();
        bare_.reset();
        document.reset();
        test_ = std::make_unique<TestSection>("testsec");
        other_ = std::make_unique<TestSection>("other");
        bare_ = std::make_unique<TestSection>("bare");
    }

    std::string write(const std::string& name, const std::string& text)
    {
        file_write(dir_ / name, text);
        return (dir_ / name).string();
    }

    fs::path dir_;
    std::unique_ptr<TestSection> test_;
    std::unique_ptr<TestSection> other_;
    std::unique_ptr<TestSection> bare_;
};

TEST_F(ConfigFile, LoadsEveryKindOfValue)
{
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);
    const FieldVector& f = test_->fields_;
    EXPECT_EQ(f[0].int_value, 0);
    EXPECT_EQ(f[1].text, "3128");   // the reader trims literal blanks
    EXPECT_EQ(f[1].int_value, 3128);
    EXPECT_EQ(f[2].uint_value, 10240u);
    EXPECT_FALSE(f[3].active);
    EXPECT_EQ(f[3].text, "inactive note");
    EXPECT_EQ(f[4].text, "Welcome\n to the proxy\n  indented & <b>bold</b> &#x41;");
    EXPECT_EQ(f[5].text, "secret");   // disabled: not read
    EXPECT_EQ(f[6].int_value, 2);
    EXPECT_EQ(f[7].int_value, 8);
    EXPECT_EQ(f[7].int_value2, 17);
    EXPECT_EQ(f[8].int_value, 0);
    EXPECT_EQ(f[8].int_value2, 4);
    EXPECT_DOUBLE_EQ(f[9].double_value, 0.75);
    EXPECT_TRUE(f[10].active);
    EXPECT_EQ(f[10].uint_value, 20u);
    EXPECT_EQ(f[11].string_list.size(), 3u);
    EXPECT_EQ(f[12].long_value, 5368709120u);
    EXPECT_EQ(item_names(test_->subsections_[0]), (std::vector<std::string>{"first rule", "second rule"}));
    EXPECT_EQ(item_names(test_->subsections_[1]), (std::vector<std::string>{"disabled subsection still loads"}));
    EXPECT_EQ(item_names(test_->subsections_[2]), (std::vector<std::string>{"<no fields>", "<no fields>"}));
    const FieldVector& rule = test_->subsections_[0].items.front().fields;
    EXPECT_EQ(rule[1].ip_ranges.has("192.168.1.1"), 1);
    EXPECT_EQ(rule[2].port_ranges.has(8050), 1);
    EXPECT_EQ(rule[3].int_value, 0b1001);
    EXPECT_EQ(rule[5].text, "line 1\nline 2\n");
    EXPECT_EQ(other_->fields_[0].int_value, 7);
    EXPECT_EQ(*test_->rules(), (std::vector<std::string>{"first rule", "second rule"}));
    EXPECT_EQ(test_->updates, 1);
    EXPECT_EQ(bare_->updates, 0);   // absent from the file: never updated
}

TEST_F(ConfigFile, SavedAndLoadedAgainGivesTheSameDocument)
{
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);
    std::vector<std::string> texts;
    for (const Field& field : test_->fields_)
        texts.push_back(field.text);
    const std::string first = (dir_ / "first.xml").string();
    ASSERT_EQ(config_save(first), 1);

    sections_new();
    ASSERT_EQ(config_load(3, first), 1);
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(test_->fields_[i].text, texts[i]) << test_->fields_[i].name;
    EXPECT_EQ(test_->fields_[3].active, false);
    EXPECT_EQ(test_->fields_[10].active, true);
    EXPECT_EQ(test_->subsections_[0].items.back().fields[4].active, true);
    EXPECT_EQ(test_->subsections_[0].items.front().fields[4].active, false);
    const std::string second = (dir_ / "second.xml").string();
    ASSERT_EQ(config_save(second), 1);

    const std::string saved = file_text(first);
    EXPECT_EQ(file_text(second), saved);

    // What the save kept, dropped and added.
    for (const char* kept : {"<!-- kept: not a section -->", "<unknown>", "<hidden>secret</hidden>",
                             "<note active=\"false\">inactive note</note>", "&#x0A;&#x20;&#x20;indented &amp;",
                             "&amp;#x41;", "<limit active=\"true\">20</limit>", "<count>7</count>"}) {
        EXPECT_NE(saved.find(kept), std::string::npos) << kept << "\n" << saved;
    }
    EXPECT_EQ(saved.find("stray"), std::string::npos);
    EXPECT_EQ(saved.find("whatever"), std::string::npos);
    // The section absent from the file is appended after the others.
    EXPECT_GT(saved.find("<bare />"), saved.find("<other>"));
    // Globals in declaration order, then the items of each subsection in turn.
    EXPECT_LT(saved.find("<cache>"), saved.find("<allow>"));
    EXPECT_LT(saved.rfind("<allow>"), saved.find("<deny>"));
    EXPECT_LT(saved.find("<deny>"), saved.find("<marks />"));
}

TEST_F(ConfigFile, NeverLoadedSectionsSaveTextsThatLoadBack)
{
    const std::string saved = (dir_ / "defaults.xml").string();
    ASSERT_EQ(config_save(saved), 1);
    EXPECT_EQ(file_text(saved).rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<tarvodine>", 0), 0u);

    sections_new();
    ASSERT_EQ(config_load(3, saved), 1) << last_log_line();
    EXPECT_EQ(test_->fields_[6].int_value, 1);       // green, as declared
    EXPECT_EQ(test_->fields_[8].text, "wed,fri");
    EXPECT_EQ(test_->fields_[8].int_value2, 4);
    EXPECT_EQ(test_->fields_[7].int_value2, 23);
    EXPECT_EQ(test_->fields_[1].int_value, 8080);
}

TEST_F(ConfigFile, ModeZeroAppendsOtherModesReplace)
{
    const std::string path = write("rich.xml", RICH);
    ASSERT_EQ(config_load(0, path), 1);
    ASSERT_EQ(config_load(0, path), 1);
    EXPECT_EQ(test_->subsections_[0].items.size(), 4u);
    EXPECT_EQ(test_->rules()->size(), 4u);
    ASSERT_EQ(config_load(1, path), 1);
    EXPECT_EQ(test_->subsections_[0].items.size(), 2u);
    EXPECT_EQ(test_->subsections_[2].items.size(), 2u);
    EXPECT_EQ(test_->updates, 3);

    const Item& stored = test_->subsections_[0].items.front();
    test_->item_iterator_get(stored.id_get());
    EXPECT_EQ(FLG, 1);
}

TEST_F(ConfigFile, MissingElements)
{
    // Set the optional field first, then load a file that lacks it and the port.
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);
    ASSERT_EQ(config_load(3, write("sparse.xml", R"(<tarvodine><testsec>
        <enabled>true</enabled><maxsize>1</maxsize><hours>0,1</hours><days>mon,tue</days><cache>1</cache>
    </testsec></tarvodine>)")),
              1);
    const FieldVector& f = test_->fields_;
    EXPECT_EQ(f[1].text, "");
    EXPECT_EQ(f[1].int_value, 0);   // an absent INT reads as 0
    // An optional field without its element keeps its text and value together.
    EXPECT_TRUE(f[10].active);
    EXPECT_EQ(f[10].text, "20");
    EXPECT_EQ(f[10].uint_value, 20u);
    EXPECT_FALSE(f[3].active);
    EXPECT_EQ(f[3].text, "inactive note");
    EXPECT_TRUE(test_->subsections_[0].items.empty());
    EXPECT_EQ(other_->fields_[0].int_value, 7);   // not in the file: as it was
}

TEST_F(ConfigFile, BadValueRefusesTheWholeDocument)
{
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);
    const TiXmlDocument* before = document.get();
    const std::time_t stamp = documentsynctime = 12345;

    // "other" comes before "testsec" in name order; it must not change either.
    const std::string bad = write("bad.xml", R"(<tarvodine>
        <other><count>99</count></other>
        <testsec><port>3129</port><maxsize>1</maxsize><hours>0,1</hours><days>mon,tue</days><cache>1</cache></testsec>
    </tarvodine>)");
    EXPECT_EQ(config_load(3, bad), 0);
    EXPECT_EQ(last_log_line().substr(last_log_line().find("error: ")),
              "error: flawed XML file, section testsec, element : enabled must be true or false, but it is given value ");
    EXPECT_EQ(document.get(), before);
    EXPECT_EQ(documentsynctime, stamp);
    EXPECT_EQ(other_->fields_[0].int_value, 7);
    EXPECT_EQ(test_->fields_[1].int_value, 3128);
    EXPECT_EQ(test_->subsections_[0].items.size(), 2u);
    EXPECT_EQ(test_->updates, 1);

    const std::string bad_item = write("bad_item.xml", R"(<tarvodine><testsec><enabled>true</enabled>
        <maxsize>1</maxsize><hours>0,1</hours><days>mon,tue</days><cache>1</cache>
        <allow><ports>80,,443</ports></allow></testsec></tarvodine>)");
    EXPECT_EQ(config_load(3, bad_item), 0);
    EXPECT_NE(last_log_line().find("flawed XML file, section testsec, element allow: ports must be a port range list "
                                   "(see manual), but it is given value 80,,443"),
              std::string::npos)
        << last_log_line();
    EXPECT_EQ(test_->subsections_[0].items.size(), 2u);
}

TEST_F(ConfigFile, UnreadableDocumentsChangeNothing)
{
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);
    const TiXmlDocument* before = document.get();
    std::string deep;
    for (int level = 0; level < 200000; ++level)
        deep += "<x>";
    struct Case { const char* what; std::string path; };
    const Case cases[] = {
        {"missing file", (dir_ / "missing.xml").string()},
        {"not XML", write("broken.xml", "<tarvodine><testsec></tarvodine>")},
        {"empty", write("empty.xml", "")},
        {"other root", write("root.xml", "<config><other><count>1</count></other></config>")},
        {"directory", dir_.string()},
        // The library would build it with one stack level per element and overflow the stack.
        {"nested too deep", write("deep.xml", "<tarvodine><other><count>1</count>" + deep + "</other></tarvodine>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(config_load(3, c.path), 0);
        EXPECT_NE(last_log_line().find("error: failed to load configuration " + c.path), std::string::npos)
            << last_log_line();
        EXPECT_EQ(document.get(), before);
        EXPECT_EQ(other_->fields_[0].int_value, 7);
        EXPECT_EQ(test_->updates, 1);
    }
}

TEST_F(ConfigFile, NamesWithAColonBetweenTwoPartsAreUrls)
{
    // Nothing answers on port 1: a URL load fails and changes nothing.
    EXPECT_EQ(config_load(3, "http://127.0.0.1:1/config.xml"), 0);
    EXPECT_NE(last_log_line().find("failed to load configuration http://127.0.0.1:1/config.xml: no answer"),
              std::string::npos)
        << last_log_line();
    EXPECT_EQ(config_load(3, "a:b"), 0);
    EXPECT_NE(last_log_line().find("failed to load configuration a:b: not a URL"), std::string::npos);
    EXPECT_EQ(document, nullptr);

    // A colon at the end leaves a file name.
    const std::string file = write("config:", "<tarvodine><other><count>5</count></other></tarvodine>");
    EXPECT_EQ(config_load(3, file), 1);
    EXPECT_EQ(other_->fields_[0].int_value, 5);
}

TEST_F(ConfigFile, SyncTimeMovesOnFileLoadsUnlessSlave)
{
    const std::string path = write("rich.xml", RICH);
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(config_load(3, path), 1);
    EXPECT_GE(documentsynctime, before);

    slave = 1;
    documentsynctime = 77;
    ASSERT_EQ(config_load(3, path), 1);
    EXPECT_EQ(documentsynctime, 77);
    slave = 0;
}

TEST_F(ConfigFile, SaveReplacesTheFileWhole)
{
    ASSERT_EQ(config_load(3, write("rich.xml", RICH)), 1);

    const fs::path target = dir_ / "saved.xml";
    file_write(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0604), 0);
    ASSERT_EQ(config_save(target.string()), 1);
    EXPECT_NE(file_text(target).find("<count>7</count>"), std::string::npos);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

    // Through a symbolic link the file it names is replaced; the link stays.
    const fs::path link = dir_ / "link.xml";
    fs::create_symlink(target, link);
    other_->fields_[0].text = "8";
    ASSERT_EQ(config_save(link.string()), 1);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(file_text(target).find("<count>8</count>"), std::string::npos);

    // A target that cannot be replaced is reported and left as it was, without leftovers.
    const fs::path busy = dir_ / "busy";
    fs::create_directories(busy / "inside");
    EXPECT_EQ(config_save(busy.string()), 0);
    EXPECT_TRUE(fs::is_directory(busy / "inside"));
    EXPECT_EQ(config_save((dir_ / "no" / "such" / "dir.xml").string()), 0);
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"busy", "link.xml", "rich.xml", "saved.xml"}));
}

TEST_F(ConfigFile, BuildWithoutDocumentCreatesOne)
{
    std::lock_guard lock(documentlock);
    config_xml_build();
    ASSERT_NE(document, nullptr);
    const TiXmlElement* root = document->RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->ValueStr(), "tarvodine");
    std::vector<std::string> sections;
    for (const TiXmlElement* e = root->FirstChildElement(); e != nullptr; e = e->NextSiblingElement())
        sections.push_back(e->ValueStr());
    EXPECT_EQ(sections, (std::vector<std::string>{"bare", "other", "testsec"}));
}

} // namespace
