#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <tinyxml.h>

#include "config/field.h"
#include "core/global.h"
#include "config/xmlcursor.h"

namespace {

Field plain(int type, const std::string& text, bool optional = false)
{
    return Field(true, "f", "F", "help", text, type, optional);
}

StringSelectVector choices(std::initializer_list<const char*> values, std::initializer_list<int> selected = {})
{
    StringSelectVector list;
    for (const char* value : values)
        list.emplace_back(value, value, "", false);
    for (const int i : selected)
        list[static_cast<std::size_t>(i)].selected = true;
    return list;
}

Field choice(int type, const StringSelectVector& list)
{
    return Field(true, "f", "F", "help", list, type, false);
}

TEST(StringToInt, ReadsWholeTextsInTheIntRange)
{
    struct Case { const char* text; std::optional<int> value; };
    const Case cases[] = {
        {"", 0},
        {"12", 12},
        {" 12", 12},
        {"+12", 12},
        {"-7", -7},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", std::nullopt},    // refused, not truncated
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"12abc", std::nullopt},
        {"12 ", std::nullopt},
        {"  ", std::nullopt},
        {"+", std::nullopt},
        {"0x10", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value)
            EXPECT_EQ(string_to_int(c.text), *c.value);
        else
            EXPECT_THROW(string_to_int(c.text), ConfigError);
    }
    using namespace std::literals;
    EXPECT_THROW(string_to_int("12\0 3"s), ConfigError);   // a zero byte is not the end
}

TEST(StringToUint, NegatesModulo32BitsAndRefusesLargerMagnitudes)
{
    struct Case { const char* text; std::optional<std::uint32_t> value; };
    const Case cases[] = {
        {"", 0u},
        {"42", 42u},
        {" 42", 42u},
        {"4294967295", 4294967295u},
        {"-1", 4294967295u},
        {"-4294967295", 1u},
        {"4294967296", std::nullopt},
        {"-4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"abc", std::nullopt},
        {"1 ", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value)
            EXPECT_EQ(string_to_uint(c.text), *c.value);
        else
            EXPECT_THROW(string_to_uint(c.text), ConfigError);
    }
}

TEST(StringToDouble, ReadsWholeTexts)
{
    struct Case { const char* text; std::optional<double> value; };
    const Case cases[] = {
        {"", 0.0}, {"1.5", 1.5}, {" -2.25", -2.25}, {"1e3", 1000.0}, {"x", std::nullopt}, {"1.5x", std::nullopt},
        {"1.5 ", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value)
            EXPECT_DOUBLE_EQ(string_to_double(c.text), *c.value);
        else
            EXPECT_THROW(string_to_double(c.text), ConfigError);
    }
}

TEST(StringToFilesize, UnitsAndLimits)
{
    // nullopt: refused. The 32-bit and 64-bit parsers differ only where the size exceeds 32 bits.
    struct Case { const char* text; std::optional<std::uint64_t> size32, size64; };
    const Case cases[] = {
        {"120", 120, 120},
        {"0", 0, 0},
        {"10K", 10240, 10240},
        {"10 kb", 10240, 10240},
        {"10kbit", 10240, 10240},
        {"10 KB", 10240, 10240},
        {"10 KbIt", 10240, 10240},
        {"1M", 1048576, 1048576},
        {"1mb", 1048576, 1048576},
        {"2 MBIT", 2097152, 2097152},
        {"3g", 3221225472u, 3221225472u},
        {"1GB", 1073741824, 1073741824},
        {"  7 gbit", 7516192768u > 4294967295u ? std::optional<std::uint64_t>() : 0, 7516192768u},
        {"4g", std::nullopt, 4294967296u},        // does not fit 32 bits: refused, not wrapped
        {"4294967295", 4294967295u, 4294967295u},
        {"4294967296", std::nullopt, 4294967296u},
        {"18446744073709551615", std::nullopt, 18446744073709551615u},
        {"18446744073709551616", std::nullopt, std::nullopt},
        {"17179869184g", std::nullopt, std::nullopt},
        {"10 k trailing words", 10240, 10240},   // text after the unit is not examined
        {"+5", 5, 5},
        {"1.5M", std::nullopt, std::nullopt},
        {"10 bytes", std::nullopt, std::nullopt},
        {"10kilobytes", std::nullopt, std::nullopt},
        {"10 t", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"k", std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt},
        {" ", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.size32)
            EXPECT_EQ(string_to_filesize(c.text), *c.size32);
        else
            EXPECT_THROW(string_to_filesize(c.text), ConfigError);
        if (c.size64)
            EXPECT_EQ(string_to_longfilesize(c.text), *c.size64);
        else
            EXPECT_THROW(string_to_longfilesize(c.text), ConfigError);
    }
}

TEST(Field, TypeNamesAndPhrases)
{
    struct Case { const char* name; int code; const char* nature; };
    const Case cases[] = {
        {"INT", FIELD_INT, "an integer"},
        {"UINT", FIELD_UINT, "a positive integer"},
        {"BOOL", FIELD_BOOL, "true or false"},
        {"STRING", FIELD_STRING, "a string"},
        {"STRING_LIST", FIELD_STRING_LIST, "a string list"},
        {"IP_RANGE_LIST", FIELD_IP_RANGE_LIST, "an IP range list (see manual)"},
        {"PORT_RANGE_LIST", FIELD_PORT_RANGE_LIST, "a port range list (see manual)"},
        {"FILE_SIZE", FIELD_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
        {"MULTILINE_STRING", FIELD_MULTILINE_STRING, "a multi-line string"},
        {"LONG_FILE_SIZE", FIELD_LONG_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
        {"DOUBLE", FIELD_DOUBLE, "a floating point number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Field::type_get(c.name), c.code);
        const std::string text = c.code == FIELD_BOOL ? "true" : c.code == FIELD_FILE_SIZE || c.code == FIELD_LONG_FILE_SIZE ? "1" : "";
        EXPECT_EQ(plain(c.code, text).nature(), c.nature);
    }
    EXPECT_EQ(Field::type_get("STRING_SELECT_ONE"), FIELD_STRING_SELECT_ONE);
    EXPECT_EQ(Field::type_get("STRING_SELECT_MANY"), FIELD_STRING_SELECT_MANY);
    EXPECT_EQ(Field::type_get("STRING_RANGE"), FIELD_STRING_RANGE);
    EXPECT_EQ(Field::type_get("INT_RANGE"), FIELD_INT_RANGE);

    const StringSelectVector list = choices({"a", "B", "c"});
    EXPECT_EQ(choice(FIELD_STRING_SELECT_ONE, list).nature(), "a string among these values : a,B,c");
    EXPECT_EQ(choice(FIELD_STRING_SELECT_MANY, list).nature(), "a list of strings among these values : a,B,c");
    EXPECT_EQ(choice(FIELD_STRING_RANGE, list).nature(), "a couple of strings among these values : a,B,c");
    EXPECT_EQ(choice(FIELD_STRING_SELECT_ONE, choices({"only"})).possible_values(), "only");
    EXPECT_EQ(plain(FIELD_INT_RANGE, "-5,23").nature(), "a couple of integers between -5 and 23 inclusive");
}

TEST(FieldDeathTest, UnknownTypeNameIsFatal)
{
    EXPECT_EXIT(Field::type_get("int"), testing::ExitedWithCode(1), "");
}

TEST(Field, DefaultsFillTheTypedMembers)
{
    EXPECT_EQ(plain(FIELD_INT, "-3").int_value, -3);
    EXPECT_EQ(plain(FIELD_UINT, "7").uint_value, 7u);
    EXPECT_EQ(plain(FIELD_BOOL, "TrUe").int_value, 1);
    EXPECT_EQ(plain(FIELD_BOOL, "yes").int_value, 0);
    EXPECT_EQ(plain(FIELD_FILE_SIZE, "2k").uint_value, 2048u);
    EXPECT_EQ(plain(FIELD_LONG_FILE_SIZE, "5g").long_value, 5368709120u);
    EXPECT_DOUBLE_EQ(plain(FIELD_DOUBLE, "0.25").double_value, 0.25);

    // Text and values agree from the start, so a field that is never loaded saves a text that
    // reads back as what it was used with.
    const Field range = plain(FIELD_INT_RANGE, "0,23");
    EXPECT_EQ(range.range_min, 0);
    EXPECT_EQ(range.range_max, 23);
    EXPECT_EQ(range.int_value, 0);
    EXPECT_EQ(range.int_value2, 23);
    EXPECT_EQ(range.text, "0,23");
    const Field clients = plain(FIELD_IP_RANGE_LIST, "127.0.0.1");
    EXPECT_EQ(clients.ip_ranges.has("10.0.0.1"), 0);
    EXPECT_EQ(clients.ip_ranges.has("127.0.0.1"), 1);
    EXPECT_EQ(plain(FIELD_PORT_RANGE_LIST, "80").port_ranges.has(81), 0);
    EXPECT_EQ(plain(FIELD_STRING_LIST, "a,b").string_list, StringList("a,b", ","));

    struct Case { int type; int size; };
    const Case sizes[] = {
        {FIELD_STRING, 80}, {FIELD_STRING_LIST, 80}, {FIELD_IP_RANGE_LIST, 80}, {FIELD_PORT_RANGE_LIST, 80},
        {FIELD_INT, 20}, {FIELD_MULTILINE_STRING, 20}, {FIELD_DOUBLE, 20},
    };
    for (const Case& c : sizes)
        EXPECT_EQ(plain(c.type, "").input_size, c.size) << c.type;
    EXPECT_EQ(choice(FIELD_STRING_SELECT_ONE, choices({"a"})).input_size, 0);
    EXPECT_FALSE(plain(FIELD_STRING, "x", true).active);
}

TEST(Field, BadDefaultsThrow)
{
    struct Case { int type; const char* text; };
    const Case cases[] = {
        {FIELD_INT, "ten"}, {FIELD_UINT, "x"}, {FIELD_FILE_SIZE, "1.5M"}, {FIELD_LONG_FILE_SIZE, ""},
        {FIELD_INT_RANGE, "5"}, {FIELD_INT_RANGE, "a,b"}, {FIELD_IP_RANGE_LIST, "300.0.0.1"},
        {FIELD_PORT_RANGE_LIST, "0"}, {FIELD_DOUBLE, "half"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_THROW(plain(c.type, c.text), ConfigError);
    }
}

TEST(Field, ChoiceFieldsStartFromTheDeclaredSelections)
{
    const StringSelectVector list = choices({"mon", "tue", "wed", "thu", "fri"}, {2, 4});

    const Field one = choice(FIELD_STRING_SELECT_ONE, list);
    EXPECT_EQ(one.int_value, 2);
    EXPECT_EQ(one.text, "wed");
    EXPECT_TRUE(one.options[2].selected);
    EXPECT_TRUE(one.options2[4].selected);

    const Field many = choice(FIELD_STRING_SELECT_MANY, list);
    EXPECT_EQ(many.int_value, (1 << 2) | (1 << 4));
    EXPECT_EQ(many.text, "wed,fri");
    EXPECT_EQ(many.string_list, StringList("wed,fri", ","));

    const Field range = choice(FIELD_STRING_RANGE, list);
    EXPECT_EQ(range.int_value, 2);
    EXPECT_EQ(range.int_value2, 4);
    EXPECT_EQ(range.text, "wed,fri");

    const Field none = choice(FIELD_STRING_RANGE, choices({"a", "b"}));
    EXPECT_EQ(none.text, "a,a");
    EXPECT_TRUE(choice(FIELD_STRING_SELECT_ONE, choices({"a", "b"})).text.empty());
    EXPECT_TRUE(choice(FIELD_STRING_RANGE, StringSelectVector()).text.empty());
}

TEST(Field, ValueParseByType)
{
    struct Case { int type; const char* value; bool ok; };
    // Which texts each type accepts; the empty text in particular.
    const Case cases[] = {
        {FIELD_INT, "", true}, {FIELD_UINT, "", true}, {FIELD_DOUBLE, "", true},
        {FIELD_STRING, "", true}, {FIELD_MULTILINE_STRING, "", true}, {FIELD_STRING_LIST, "", true},
        {FIELD_IP_RANGE_LIST, "", true}, {FIELD_PORT_RANGE_LIST, "", true},
        {FIELD_BOOL, "", false}, {FIELD_FILE_SIZE, "", false}, {FIELD_LONG_FILE_SIZE, "", false},
        {FIELD_INT_RANGE, "", false},
        {FIELD_BOOL, "true", true}, {FIELD_BOOL, "TRUE", true}, {FIELD_BOOL, "false", true},
        {FIELD_BOOL, "FALSE", true}, {FIELD_BOOL, "True", false}, {FIELD_BOOL, "1", false},
        {FIELD_INT, "12abc", false}, {FIELD_INT, " 12", true}, {FIELD_INT, "+12", true},
        {FIELD_IP_RANGE_LIST, "10.0.0.1-", true}, {FIELD_IP_RANGE_LIST, "10.0.0", false},
        {FIELD_PORT_RANGE_LIST, "80,,443", false},
        {FIELD_INT_RANGE, "5,3", true}, {FIELD_INT_RANGE, "5,24", false}, {FIELD_INT_RANGE, "-1,3", false},
        {FIELD_INT_RANGE, "0,23", true}, {FIELD_INT_RANGE, "1,2,3", false}, {FIELD_INT_RANGE, "x,3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " '" + c.value + "'");
        Field field = c.type == FIELD_INT_RANGE ? plain(c.type, "0,23")
                      : c.type == FIELD_BOOL    ? plain(c.type, "true")
                      : c.type == FIELD_FILE_SIZE || c.type == FIELD_LONG_FILE_SIZE ? plain(c.type, "1")
                                                                                     : plain(c.type, "");
        if (c.ok)
            EXPECT_NO_THROW(field.value_parse(c.value));
        else
            EXPECT_THROW(field.value_parse(c.value), ConfigError);
    }

    Field range = plain(FIELD_INT_RANGE, "0,23");
    range.value_parse("5,3");   // the first may be the larger
    EXPECT_EQ(range.int_value, 5);
    EXPECT_EQ(range.int_value2, 3);
    EXPECT_THROW(range.value_parse("5,24"), ConfigError);
    EXPECT_EQ(range.int_value, 5);   // a refused value changes nothing
}

TEST(Field, SelectOneMatchesExactly)
{
    Field field = choice(FIELD_STRING_SELECT_ONE, choices({"red", "green", "Blue", "blue"}, {0}));
    field.value_parse("blue");
    EXPECT_EQ(field.int_value, 3);
    EXPECT_FALSE(field.options[0].selected);
    EXPECT_FALSE(field.options[2].selected);
    EXPECT_TRUE(field.options[3].selected);

    // No match is not an error: nothing is selected and the index stays.
    field.value_parse("BLUE");
    EXPECT_EQ(field.int_value, 3);
    for (const StringSelect& option : field.options)
        EXPECT_FALSE(option.selected);
}

TEST(Field, SelectManyBuildsListAndMask)
{
    Field field = choice(FIELD_STRING_SELECT_MANY, choices({"a", "b", "c"}, {2}));
    struct Case { const char* text; std::size_t items; int mask; };
    const Case cases[] = {
        {"a,,b", 3, 0b011},   // the empty middle item stays in the list
        {"a,b,", 2, 0b011},
        {"c,x", 2, 0b100},    // unknown values stay, without error
        {"", 0, 0},
        {"A", 1, 0},          // case counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        field.value_parse(c.text);
        EXPECT_EQ(field.string_list.size(), c.items);
        EXPECT_EQ(field.int_value, c.mask);
        for (std::size_t i = 0; i < field.options.size(); ++i)
            EXPECT_EQ(field.options[i].selected, ((c.mask >> i) & 1) != 0) << i;
    }

    StringSelectVector many;
    for (int i = 0; i < 34; ++i)
        many.emplace_back("o" + std::to_string(i), "", "", false);
    Field wide = choice(FIELD_STRING_SELECT_MANY, many);
    wide.value_parse("o32");
    EXPECT_EQ(wide.int_value, 1);   // bit index modulo 32
    wide.value_parse("o31");
    EXPECT_EQ(static_cast<unsigned>(wide.int_value), 0x80000000u);
}

TEST(Field, StringRangeLooksUpBothChoicesWithoutCase)
{
    Field field = choice(FIELD_STRING_RANGE, choices({"mon", "tue", "wed"}, {1}));
    field.value_parse("MON,Wed");
    EXPECT_EQ(field.int_value, 0);
    EXPECT_EQ(field.int_value2, 2);
    EXPECT_TRUE(field.options[1].selected);   // the flags are not changed

    for (const char* bad : {"", "mon", "mon,tue,wed", "mon,sun", "xyz,tue"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(field.value_parse(bad), ConfigError);
        EXPECT_EQ(field.int_value, 0);
        EXPECT_EQ(field.int_value2, 2);
    }
}

TEST(Field, ListsAreReplacedNotAppended)
{
    Field list = plain(FIELD_STRING_LIST, "");
    list.value_parse("a,b");
    list.value_parse("c");
    EXPECT_EQ(list.string_list, StringList("c", ","));

    Field clients = plain(FIELD_IP_RANGE_LIST, "");
    clients.value_parse("10.0.0.1");
    clients.value_parse("10.0.0.2");
    EXPECT_EQ(clients.ip_ranges.ranges.size(), 1u);
    EXPECT_EQ(clients.ip_ranges.text, "10.0.0.2");
    EXPECT_THROW(clients.value_parse("10.0.0.3,bad"), ConfigError);
    EXPECT_EQ(clients.ip_ranges.text, "10.0.0.2");

    Field ports = plain(FIELD_PORT_RANGE_LIST, "");
    ports.value_parse("80,443");
    ports.value_parse("8080");
    EXPECT_EQ(ports.port_ranges.has(80), 0);
    EXPECT_EQ(ports.port_ranges.has(8080), 1);
}

TEST(Field, ZeroClearsListsAndManySelections)
{
    Field many = choice(FIELD_STRING_SELECT_MANY, choices({"a", "b"}, {0, 1}));
    many.active = true;
    many.zero();
    EXPECT_FALSE(many.active);
    EXPECT_TRUE(many.text.empty());
    EXPECT_EQ(many.int_value, 0);
    EXPECT_TRUE(many.string_list.empty());
    EXPECT_FALSE(many.options[0].selected);

    Field one = choice(FIELD_STRING_SELECT_ONE, choices({"a", "b"}, {1}));
    one.zero();
    EXPECT_EQ(one.text, "b");
    EXPECT_TRUE(one.options[1].selected);

    Field clients = plain(FIELD_IP_RANGE_LIST, "10.0.0.1");
    clients.zero();
    EXPECT_TRUE(clients.ip_ranges.ranges.empty());
    EXPECT_EQ(clients.text, "10.0.0.1");
}

class FieldLoad : public testing::Test {
protected:
    void SetUp() override
    {
        doc_.Parse(R"(<tarvodine><sec>
            <port>8080</port>
            <bad>ten</bad>
            <on active="true">42</on>
            <off active="FALSE">not a number</off>
            <odd active="maybe">7</odd>
            <plain>9</plain>
            <multi>line one&#x0A;line two</multi>
        </sec></tarvodine>)");
        ASSERT_FALSE(doc_.Error()) << doc_.ErrorDesc();
    }

    TiXmlDocument doc_;
};

TEST_F(FieldLoad, ReadsTextAndValue)
{
    const XmlElement cursor(&doc_, "sec");
    Field port(true, "port", "Port", "", "1", FIELD_INT, false);
    EXPECT_TRUE(port.load(cursor));
    EXPECT_EQ(port.text, "8080");
    EXPECT_EQ(port.int_value, 8080);

    Field absent(true, "absent", "Absent", "", "5", FIELD_INT, false);
    EXPECT_TRUE(absent.load(cursor));
    EXPECT_EQ(absent.text, "");
    EXPECT_EQ(absent.int_value, 0);

    Field multi(true, "multi", "Multi", "", "", FIELD_MULTILINE_STRING, false);
    EXPECT_TRUE(multi.load(cursor));
    EXPECT_EQ(multi.text, "line one\nline two");

    Field disabled(false, "port", "Port", "", "1", FIELD_INT, false);
    EXPECT_TRUE(disabled.load(cursor));
    EXPECT_EQ(disabled.text, "1");
    EXPECT_EQ(disabled.int_value, 1);
}

TEST_F(FieldLoad, OptionalFieldsAndTheirActiveFlag)
{
    const XmlElement cursor(&doc_, "sec");
    struct Case { const char* name; bool loaded; bool active; const char* text; int value; };
    const Case cases[] = {
        {"on", true, true, "42", 42},
        {"off", true, false, "not a number", 3},    // inactive: the text is kept unparsed
        {"plain", true, true, "9", 9},              // no attribute counts as active
        {"odd", false, false, "3", 3},              // unusable attribute: nothing changes
        {"missing", false, false, "3", 3},          // no element: nothing changes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field(true, c.name, c.name, "", "3", FIELD_INT, true);
        EXPECT_EQ(field.load(cursor), c.loaded);
        EXPECT_EQ(field.active, c.active);
        EXPECT_EQ(field.text, c.text);
        EXPECT_EQ(field.int_value, c.value);
    }

    // An active field whose element goes missing keeps its text and value together.
    Field kept(true, "on", "On", "", "3", FIELD_INT, true);
    ASSERT_TRUE(kept.load(cursor));
    Field renamed = kept;
    renamed.name = "missing";
    EXPECT_FALSE(renamed.load(cursor));
    EXPECT_TRUE(renamed.active);
    EXPECT_EQ(renamed.text, "42");
    EXPECT_EQ(renamed.int_value, 42);
}

TEST_F(FieldLoad, BadValueIsLoggedWithSectionElementAndNature)
{
    const XmlElement cursor(&doc_, "sec");
    Field bad(true, "bad", "Bad", "", "1", FIELD_INT, false);
    try {
        bad.load(cursor);
        FAIL() << "no ConfigError";
    } catch (const ConfigError& e) {
        const std::string expected =
            "flawed XML file, section sec, element : bad must be an integer, but it is given value ten";
        EXPECT_EQ(e.what(), expected);
        const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
        ASSERT_FALSE(buffered.empty());
        EXPECT_NE(buffered.front().find("error: " + expected), std::string::npos)
            << buffered.front();
    }

    // Inside an item the element is the subsection's name.
    TiXmlDocument items;
    items.Parse("<tarvodine><sec><rule><on>yes</on></rule></sec></tarvodine>");
    const XmlElement rule(&items, "sec", "rule");
    Field on(true, "on", "On", "", "true", FIELD_BOOL, false);
    try {
        on.load(rule);
        FAIL() << "no ConfigError";
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "flawed XML file, section sec, element rule: on must be true or false, but it is given value yes");
    }
}

TEST(FieldSave, WritesElementAttributeAndText)
{
    TiXmlElement parent("sec");
    Field note(true, "note", "Note", "", "a  b", FIELD_STRING, true);
    note.active = true;
    note.save(&parent);
    Field off(true, "off", "Off", "", "", FIELD_STRING, true);
    off.save(&parent);
    Field plainfield(true, "plain", "Plain", "", "x<y&z", FIELD_STRING, false);
    plainfield.save(&parent);

    struct Expected { const char* name; const char* active; const char* text; };
    const Expected expected[] = {{"note", "true", "a  b"}, {"off", "false", ""}, {"plain", nullptr, "x<y&z"}};
    const TiXmlElement* element = parent.FirstChildElement();
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->ValueStr(), e.name);
        const char* active = element->Attribute("active");
        EXPECT_EQ(active == nullptr, e.active == nullptr);
        if (active != nullptr && e.active != nullptr) {
            EXPECT_STREQ(active, e.active);
        }
        if (*e.text == '\0') {
            EXPECT_EQ(element->FirstChild(), nullptr);
        } else {
            ASSERT_NE(element->FirstChild(), nullptr);
            ASSERT_NE(element->FirstChild()->ToText(), nullptr);
            EXPECT_EQ(element->FirstChild()->ValueStr(), e.text);
            EXPECT_EQ(element->FirstChild(), element->LastChild());
        }
        element = element->NextSiblingElement();
    }
    EXPECT_EQ(element, nullptr);
}

} // namespace
