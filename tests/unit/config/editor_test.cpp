#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "config_fixture.h"
#include "config/configfile.h"
#include "config/section.h"
#include "config/xmlcursor.h"
#include "util/filebuf.h"

namespace {

std::vector<std::string> errors_of(const StringList& list)
{
    return {list.begin(), list.end()};
}

std::vector<std::string> names(const TestSection& section, std::size_t subsection = 0)
{
    std::vector<std::string> out;
    for (const Item& item : section.subsections_[subsection].items)
        out.push_back(item.fields[0].text);
    return out;
}

std::vector<int> ids(const TestSection& section)
{
    std::vector<int> out;
    for (const Item& item : section.subsections_[0].items)
        out.push_back(item.id_get());
    return out;
}

// A global form that the section accepts as it stands.
FormArgs valid_globals()
{
    return {{"section", "testsec"}, {"action", "global"}, {"F0", "true"},  {"F1", "3128"}, {"F2", "2M"},
            {"F4", "hello"},        {"F6", "red"},        {"F7", "8"},     {"F7_2", "17"}, {"F8", "mon"},
            {"F8_2", "thu"},        {"F9", "0.25"},       {"F11", "x,y"},  {"F12", "1G"}};
}

class EditorTest : public testing::Test {
protected:
    void SetUp() override
    {
        definitions_set(TEST_DEFINITIONS);
        section_.reset();
        section_ = std::make_unique<TestSection>("testsec");
        for (const char* name : {"alpha", "beta", "gamma"})
            add(name);
        section_->updates = 0;
    }

    StringList act(const FormArgs& args) { return section_->interface_action(nullptr, args, nullptr); }

    void add(const std::string& name)
    {
        ASSERT_TRUE(act({{"section", "testsec"}, {"subsection", "allow"}, {"action", "add"}, {"F0", name}}).empty());
    }

    int id_at(std::size_t position) { return ids(*section_)[position]; }

    std::unique_ptr<TestSection> section_;
};

TEST_F(EditorTest, GlobalFormAppliesWholeOrNotAtAll)
{
    FormArgs bad = valid_globals();
    bad["F1"] = "eighty";
    bad["F2"] = "huge";
    EXPECT_EQ(errors_of(act(bad)),
              (std::vector<std::string>{"Port must be " + section_->fields_[1].nature(),
                                        "Max size must be " + section_->fields_[2].nature()}));
    EXPECT_EQ(section_->fields_[1].int_value, 8080);
    EXPECT_EQ(section_->fields_[0].text, "true");
    EXPECT_EQ(section_->fields_[6].text, "green");
    EXPECT_EQ(section_->updates, 1);

    EXPECT_TRUE(act(valid_globals()).empty());
    EXPECT_EQ(section_->fields_[1].int_value, 3128);
    EXPECT_EQ(section_->fields_[2].uint_value, 2u * 1048576u);
    EXPECT_EQ(section_->fields_[6].int_value, 0);
    EXPECT_EQ(section_->fields_[7].text, "8,17");
    EXPECT_EQ(section_->fields_[8].int_value2, 3);
    EXPECT_EQ(section_->fields_[11].string_list.size(), 2u);
    // Optional fields left unticked keep their values and become inactive.
    EXPECT_EQ(section_->fields_[3].text, "default note");
    EXPECT_FALSE(section_->fields_[3].active);
    // The disabled field is never read.
    EXPECT_EQ(section_->fields_[5].text, "secret");
}

TEST_F(EditorTest, EveryFieldTypeReadsOrRefusesItsValue)
{
    struct Case {
        const char* what;
        std::size_t position;
        FormArgs change;
        bool refused;
        const char* text;
    };
    const Case cases[] = {
        {"bool takes any text as false", 0, {{"F0", "yes"}}, false, "false"},
        {"bool true", 0, {{"F0", "true"}}, false, "true"},
        {"select one outside its list", 6, {{"F6", "purple"}}, true, "green"},
        {"select one compares exactly", 6, {{"F6", "BLUE"}}, true, "green"},
        {"string range outside its list", 8, {{"F8", "sun"}}, true, "wed,fri"},
        {"int range above its maximum", 7, {{"F7_2", "24"}}, true, "0,23"},
        {"int range not a number", 7, {{"F7", "x"}}, true, "0,23"},
        {"double", 9, {{"F9", "abc"}}, true, "0.5"},
        {"long file size", 12, {{"F12", "2G"}}, false, "2G"},
        {"optional ticked", 10, {{"F10_active", "on"}, {"F10", "42"}}, false, "42"},
        {"optional ticked but bad", 10, {{"F10_active", "on"}, {"F10", "-x"}}, true, "10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        FormArgs args = valid_globals();
        for (const auto& [name, value] : c.change)
            args[name] = value;
        const StringList errors = act(args);
        EXPECT_EQ(errors.size(), c.refused ? 1u : 0u);
        if (c.refused) {
            EXPECT_EQ(errors.front(), section_->fields_[c.position].label + " must be " +
                                          section_->fields_[c.position].nature());
        }
        EXPECT_EQ(section_->fields_[c.position].text, c.text);
    }
}

// A value the saved document could not carry as XML is refused with a message of its own, and
// nothing of its form is applied: a global form, an added item and an edited one alike.
TEST_F(EditorTest, ValuesWithControlCharactersOrNotUtf8AreRefused)
{
    using namespace std::literals;
    struct Case {
        const char* what;
        std::string_view value;
        bool refused;
    };
    const Case cases[] = {
        {"plain", "proxy note", false},
        {"tab", "a\tb", false},
        {"UTF-8", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", false},
        {"control byte", "a\x01b", true},
        {"escape", "\x1b[31m", true},
        {"NUL", "a\0b"sv, true},
        {"DEL", "a\x7f", true},
        {"line feed in one line", "a\nb", true},
        {"carriage return in one line", "a\rb", true},
        {"byte 0xff", "a\xffb", true},
        {"lone continuation byte", "\x80", true},
        {"cut sequence", "caf\xc3", true},
        {"overlong slash", "\xc0\xaf", true},
        {"surrogate", "\xed\xa0\x80", true},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", true},
    };
    const std::string message = "Note must be UTF-8 text without control characters";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        // Field 3 is an optional STRING of the global form.
        FormArgs args = valid_globals();
        args["F3_active"] = "on";
        args["F3"] = std::string(c.value);
        const StringList errors = act(args);
        EXPECT_EQ(errors_of(errors), c.refused ? std::vector<std::string>{message} : std::vector<std::string>{});
        EXPECT_EQ(section_->fields_[3].text, c.refused ? "default note" : std::string(c.value));
        // Nothing else of the form is applied either.
        EXPECT_EQ(section_->fields_[1].int_value, c.refused ? 8080 : 3128);

        // An item's field: neither added nor edited.
        const StringList added = act({{"section", "testsec"}, {"subsection", "allow"}, {"action", "add"},
                                      {"F0", std::string(c.value)}});
        EXPECT_EQ(added.size(), c.refused ? 1u : 0u);
        EXPECT_EQ(names(*section_).size(), c.refused ? 3u : 4u);
        const StringList edited = act({{"section", "testsec"}, {"subsection", "allow"}, {"action", "edit"},
                                       {"id", std::to_string(id_at(0))}, {"F0", std::string(c.value)}});
        EXPECT_EQ(edited.size(), c.refused ? 1u : 0u);
        EXPECT_EQ(names(*section_).front(), c.refused ? "alpha" : std::string(c.value));
    }

    // Line breaks are the text of a multi-line value, and of it alone.
    SetUp();
    FormArgs args = valid_globals();
    args["F4"] = "line one\r\nline two\n";
    EXPECT_TRUE(act(args).empty());
    EXPECT_EQ(section_->fields_[4].text, "line one\r\nline two\n");
    args["F4"] = "line one\x0b";
    EXPECT_EQ(errors_of(act(args)), std::vector<std::string>{"Banner must be UTF-8 text without control characters"});
}

// What the editor accepts, the saved document carries as XML 1.0 does: every text reads back
// as it was, and the document is well-formed UTF-8 without forbidden characters.
TEST_F(EditorTest, SavedValuesAreWellFormedXml)
{
    FormArgs args = valid_globals();
    args["F3_active"] = "on";
    args["F3"] = "caf\xc3\xa9\ttab & <b> \"q\"";
    args["F4"] = "one\r\ntwo";
    ASSERT_TRUE(act(args).empty());
    document.reset();
    config_xml_build();
    const std::string saved = xml_document_print(*document);
    EXPECT_TRUE(xml_text_acceptable(saved)) << saved;
    // Character references only to characters XML allows.
    for (std::size_t at = saved.find("&#x"); at != std::string::npos; at = saved.find("&#x", at + 1)) {
        const std::string reference = saved.substr(at, saved.find(';', at) + 1 - at);
        EXPECT_TRUE(reference == "&#x09;" || reference == "&#x0A;" || reference == "&#x0D;" || reference == "&#x20;")
            << reference;
    }
    TiXmlDocument again;
    again.Parse(saved.c_str());
    ASSERT_FALSE(again.Error()) << again.ErrorDesc();
    TestSection copy("testsec");
    copy.load(&again, 1);
    EXPECT_EQ(copy.fields_[3].text, "caf\xc3\xa9\ttab & <b> \"q\"");
    EXPECT_EQ(copy.fields_[4].text, "one\r\ntwo");
    document.reset();
}

TEST_F(EditorTest, SelectManyFollowsTheTickedBoxes)
{
    const int id = id_at(0);
    FormArgs args{{"section", "testsec"}, {"subsection", "allow"}, {"action", "edit"}, {"id", std::to_string(id)},
                  {"F0", "alpha"},        {"F3_red", "on"},        {"F3_blue", "on"}};
    ASSERT_TRUE(act(args).empty());
    const Field& colours = section_->subsections_[0].items.front().fields[3];
    EXPECT_EQ(colours.text, "red,blue");
    EXPECT_EQ(colours.int_value, 0b101);
    EXPECT_EQ(section_->subsections_[0].items.front().id_get(), id);

    args.erase("F3_red");
    args.erase("F3_blue");
    ASSERT_TRUE(act(args).empty());
    EXPECT_EQ(section_->subsections_[0].items.front().fields[3].text, "");
    EXPECT_EQ(section_->subsections_[0].items.front().fields[3].int_value, 0);
}

TEST_F(EditorTest, RuleListEditsReachTheRules)
{
    EXPECT_EQ(*section_->rules(), (std::vector<std::string>{"alpha", "beta", "gamma"}));

    const int beta = id_at(1);
    ASSERT_TRUE(act({{"section", "testsec"}, {"subsection", "allow"}, {"action", "edit"}, {"id", std::to_string(beta)},
                     {"F0", "BETA"}})
                    .empty());
    EXPECT_EQ(*section_->rules(), (std::vector<std::string>{"alpha", "BETA", "gamma"}));

    ASSERT_TRUE(act({{"section", "testsec"}, {"action", "clone"}, {"id", std::to_string(beta)}}).empty());
    EXPECT_EQ(names(*section_), (std::vector<std::string>{"alpha", "BETA", "BETA", "gamma"}));
    EXPECT_EQ(id_at(2), beta);   // the copy stands before the original, which keeps its id
    EXPECT_NE(id_at(1), beta);

    ASSERT_TRUE(act({{"section", "testsec"}, {"action", "delete"}, {"id", std::to_string(beta)}}).empty());
    EXPECT_EQ(*section_->rules(), (std::vector<std::string>{"alpha", "BETA", "gamma"}));
    EXPECT_EQ(section_->updates, 3);
}

TEST_F(EditorTest, ShiftMovesWithinTheList)
{
    struct Case {
        std::size_t from;
        const char* direction;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {0, "up", {"alpha", "beta", "gamma"}},     {2, "down", {"alpha", "beta", "gamma"}},
        {1, "up", {"beta", "alpha", "gamma"}},     {1, "down", {"alpha", "gamma", "beta"}},
        {2, "top", {"gamma", "alpha", "beta"}},    {0, "bottom", {"beta", "gamma", "alpha"}},
        {0, "top", {"alpha", "beta", "gamma"}},    {1, "sideways", {"alpha", "beta", "gamma"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.direction) + " from " + std::to_string(c.from));
        SetUp();
        const std::vector<int> before = ids(*section_);
        const int id = before[c.from];
        ASSERT_TRUE(act({{"section", "testsec"}, {"action", "shift"}, {"id", std::to_string(id)},
                         {"direction", c.direction}})
                        .empty());
        EXPECT_EQ(names(*section_), c.order);
        EXPECT_EQ(*section_->rules(), c.order);
        const std::vector<int> after = ids(*section_);
        const bool moved = c.order != std::vector<std::string>{"alpha", "beta", "gamma"};
        // The moved item shows a new id; the others keep theirs.
        int unchanged = 0;
        for (int value : after)
            unchanged += std::count(before.begin(), before.end(), value);
        EXPECT_EQ(unchanged, moved ? 2 : 3);
    }
}

TEST_F(EditorTest, RefusedOrEmptyActionsChangeNothing)
{
    struct Case {
        const char* what;
        FormArgs args;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"unknown id", {{"section", "testsec"}, {"action", "delete"}, {"id", "999999"}}, {"Entry ID doesn't exist"}},
        {"no action", {{"section", "testsec"}, {"subsection", "allow"}, {"F0", "new"}}, {}},
        {"disabled subsection", {{"section", "testsec"}, {"subsection", "deny"}, {"action", "add"}, {"F0", "x"}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        EXPECT_EQ(errors_of(act(c.args)), c.errors);
        EXPECT_EQ(names(*section_), (std::vector<std::string>{"alpha", "beta", "gamma"}));
        EXPECT_TRUE(section_->subsections_[1].items.empty());
        EXPECT_EQ(section_->updates, 0);
    }
}

TEST_F(EditorTest, EditedConfigurationSavesAndLoadsAgain)
{
    FormArgs args = valid_globals();
    args["F0"] = "anything";
    ASSERT_TRUE(act(args).empty());
    ASSERT_TRUE(act({{"section", "testsec"}, {"subsection", "allow"}, {"action", "add"}, {"F0", "delta"},
                     {"F3_green", "on"}, {"F4_active", "on"}, {"F4", "7"}})
                    .empty());

    TiXmlDocument document;
    document.Parse("<tarvodine/>");
    section_->save(&document);
    TestSection copy("testsec");
    copy.load(&document, 1);
    EXPECT_EQ(copy.fields_[0].int_value, 0);
    EXPECT_EQ(copy.fields_[6].text, "red");
    EXPECT_EQ(names(copy), (std::vector<std::string>{"alpha", "beta", "gamma", "delta"}));
    EXPECT_EQ(copy.subsections_[0].items.back().fields[4].int_value, 7);
}

TEST_F(EditorTest, PagesShowFormsAndMatchingItems)
{
    Filebuf page;
    section_->interface(&page, {{"section", "testsec"}}, nullptr, StringList());
    std::string text(page.view());
    EXPECT_NE(text.find("<input type=\"hidden\" name=\"action\" value=\"global\">"), std::string::npos);
    EXPECT_NE(text.find("name=\"F0\" value=\"true\" checked>"), std::string::npos);
    EXPECT_NE(text.find("<input type=\"checkbox\" name=\"F3_active\" >active"), std::string::npos);
    EXPECT_EQ(text.find("name=\"F5\""), std::string::npos);   // disabled field
    EXPECT_NE(text.find("config?section=testsec&amp;subsection=allow&amp;dialog=show\">Add</a>"), std::string::npos);
    EXPECT_EQ(text.find("Denied"), std::string::npos);
    EXPECT_NE(text.find("gamma"), std::string::npos);
    EXPECT_NE(text.find("&amp;direction=bottom\">Bottom</a>"), std::string::npos);

    Filebuf search;
    section_->interface(&search, {{"section", "testsec"}, {"matchvalue", "^BET"}}, nullptr, StringList());
    text = std::string(search.view());
    EXPECT_EQ(text.find("value=\"global\""), std::string::npos);
    EXPECT_NE(text.find("beta"), std::string::npos);
    EXPECT_EQ(text.find("gamma"), std::string::npos);

    StringList errors;
    errors.push_back("Port must be an integer");
    Filebuf failed;
    section_->interface(&failed, {{"section", "testsec"}}, nullptr, errors);
    EXPECT_NE(std::string(failed.view()).find("<li>Port must be an integer</li>"), std::string::npos);
}

TEST_F(EditorTest, ItemFormCarriesTheIdOrTheErrors)
{
    const int id = id_at(1);
    Filebuf edit;
    section_->interface_dialog(&edit, {{"section", "testsec"}, {"subsection", "allow"}, {"id", std::to_string(id)}},
                               nullptr, StringList());
    const std::string text(edit.view());
    EXPECT_NE(text.find("name=\"action\" value=\"edit\""), std::string::npos);
    EXPECT_NE(text.find("name=\"id\" value=\"" + std::to_string(id) + "\""), std::string::npos);
    EXPECT_NE(text.find("name=\"F0\" value=\"beta\""), std::string::npos);
    EXPECT_NE(text.find("<textarea name=\"F5\""), std::string::npos);

    struct Case {
        const char* what;
        FormArgs args;
        bool empty;
    };
    const Case cases[] = {
        {"disabled subsection", {{"subsection", "deny"}}, true},
        {"unknown subsection", {{"subsection", "nosuch"}}, true},
        {"stale id", {{"subsection", "allow"}, {"id", "999999"}}, true},
        {"add form", {{"subsection", "allow"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf page;
        section_->interface_dialog(&page, c.args, nullptr, StringList());
        EXPECT_EQ(page.size() == 0, c.empty);
    }

    StringList errors;
    errors.push_back("Entry ID doesn't exist");
    Filebuf failed;
    section_->interface_dialog(&failed, {{"subsection", "allow"}, {"id", "999999"}}, nullptr, errors);
    EXPECT_NE(std::string(failed.view()).find("<li>Entry ID doesn't exist</li>"), std::string::npos);
}

}  // namespace
