#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "config/xmlcursor.h"

namespace {

class XmlCursor : public testing::Test {
protected:
    void SetUp() override
    {
        doc_.Parse(R"(<?xml version="1.0" encoding="UTF-8"?>
<tarvodine>
    <!--access-->
    <access>
        <name>first</name>
        <empty></empty>
        <commented><!-- why -->value</commented>
        <nested><inner>x</inner></nested>
        <rule><n>1</n></rule>
        <other><n>skip</n></other>
        <rule><n>2</n></rule>
        <rule><n>3</n></rule>
    </access>
    <access><name>second</name></access>
    <cache />
</tarvodine>)");
        ASSERT_FALSE(doc_.Error()) << doc_.ErrorDesc();
    }

    TiXmlDocument doc_;
};

TEST_F(XmlCursor, SectionSelectFindsTheFirstElementOfTheName)
{
    TiXmlElement* access = section_select(&doc_, "access");
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->FirstChildElement("name")->GetText(), std::string("first"));
    EXPECT_NE(section_select(&doc_, "cache"), nullptr);
    // The comment that reads "access" is not the section.
    EXPECT_THROW(section_select(&doc_, "dnsbl"), ConfigError);
    EXPECT_THROW(XmlElement(&doc_, "dnsbl"), ConfigError);
    EXPECT_THROW(XmlElement(&doc_, "dnsbl", "rule"), ConfigError);
}

TEST(XmlCursorDeathTest, MissingDocumentOrRootIsFatal)
{
    EXPECT_EXIT(section_select(nullptr, "access"), testing::ExitedWithCode(1), "");
    TiXmlDocument wrong;
    wrong.Parse("<config><access/></config>");
    EXPECT_EXIT(section_select(&wrong, "access"), testing::ExitedWithCode(1), "");
}

TEST_F(XmlCursor, WalksItemsInDocumentOrderSkippingOtherNames)
{
    XmlElement cursor(&doc_, "access", "rule");
    EXPECT_EQ(cursor.section_get(), "access");
    EXPECT_EQ(cursor.element_get(), "rule");
    std::vector<std::string> seen;
    for (; cursor.full(); cursor.next())
        seen.push_back(cursor.string_read("n"));
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_FALSE(cursor.next());
    EXPECT_EQ(cursor.full(), 0);

    const XmlElement none(&doc_, "access", "deny");
    EXPECT_EQ(none.full(), 0);
    EXPECT_EQ(none.string_read("n"), "");
    EXPECT_EQ(XmlElement(&doc_, "cache", "rule").full(), 0);

    const XmlElement section(&doc_, "access");
    EXPECT_EQ(section.full(), 1);
    EXPECT_EQ(section.element_get(), "");
}

TEST_F(XmlCursor, StringReadTakesTheTextOfTheFirstChildOfTheName)
{
    const XmlElement cursor(&doc_, "access");
    struct Case { const char* name; const char* text; };
    const Case cases[] = {
        {"name", "first"}, {"empty", ""}, {"absent", ""}, {"commented", "value"}, {"nested", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cursor.string_read(c.name), c.text);
    }
}

TEST(XmlCursorActive, AttributeValues)
{
    TiXmlDocument doc;
    doc.Parse(R"(<tarvodine><s>
        <none>1</none><on active="true">1</on><caps active="TRUE">1</caps>
        <off active="false">1</off><mixed active="FaLsE">1</mixed>
        <odd active="yes">1</odd><blank active="">1</blank>
    </s></tarvodine>)");
    ASSERT_FALSE(doc.Error());
    const XmlElement cursor(&doc, "s");
    struct Case { const char* name; int active; };   // -1: ConfigError
    const Case cases[] = {
        {"none", 1}, {"on", 1}, {"caps", 1}, {"off", 0}, {"mixed", 0}, {"odd", -1}, {"blank", -1}, {"missing", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.active < 0)
            EXPECT_THROW(cursor.check_active(c.name), ConfigError);
        else
            EXPECT_EQ(cursor.check_active(c.name), c.active == 1);
    }
}

// What the printer writes, the reader gives back unchanged, blanks and references included.
TEST(XmlDocumentPrint, TextsReadBackExactly)
{
    const std::string texts[] = {
        "plain",
        "",
        "a b",
        "a  b",
        " leading",
        "trailing ",
        "   ",
        " ",
        "line one\nline two",
        "line one\n  indented\n",
        "\r\n\tcontrol",
        "&#x41; stays text",
        "&amp; &lt; written by hand",
        "<tag attr=\"v\" other='w'>",
        "x\n y \n",
        "caf\xc3\xa9 \xe2\x82\xac",
        "\n",
        " \t ",
    };
    TiXmlDocument doc;
    doc.InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
    TiXmlNode* section = doc.InsertEndChild(TiXmlElement("tarvodine"))->InsertEndChild(TiXmlElement("s"));
    for (const std::string& text : texts)
        section->InsertEndChild(TiXmlElement("v"))->InsertEndChild(TiXmlText(text));

    const std::string printed = xml_document_print(doc);
    TiXmlDocument again;
    again.Parse(printed.c_str());
    ASSERT_FALSE(again.Error()) << again.ErrorDesc() << "\n" << printed;
    const TiXmlElement* value = again.RootElement()->FirstChildElement("s")->FirstChildElement("v");
    for (const std::string& text : texts) {
        SCOPED_TRACE(testing::PrintToString(text));
        ASSERT_NE(value, nullptr);
        const TiXmlNode* child = value->FirstChild();
        EXPECT_EQ(child != nullptr ? child->ValueStr() : std::string(), text);
        value = value->NextSiblingElement("v");
    }
    EXPECT_EQ(xml_document_print(again), printed);
}

TEST(XmlDocumentPrint, LayoutIsTheLibrarys)
{
    TiXmlDocument doc;
    doc.Parse(R"(<?xml version="1.0" encoding="UTF-8" ?>
<!-- kept -->
<tarvodine>
  <general a="1" b="x&amp;y"><name>proxy</name><empty/><both>text<inner/></both><![CDATA[raw <data>]]></general>
</tarvodine>)");
    ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
    TiXmlPrinter printer;
    doc.Accept(&printer);
    EXPECT_EQ(xml_document_print(doc), printer.Str());
}

// A declaration read from a document is written so that it reads back as it was read.
TEST(XmlDocumentPrint, DeclarationValuesReadBack)
{
    TiXmlDocument doc;
    doc.Parse("<?xml version='1. &amp;0' encoding='a\"b' standalone='&lt;x&gt;' ?><tarvodine/>");
    ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
    const std::string printed = xml_document_print(doc);
    TiXmlDocument again;
    again.Parse(printed.c_str());
    ASSERT_FALSE(again.Error()) << again.ErrorDesc() << "\n" << printed;
    const TiXmlDeclaration* declaration = again.FirstChild()->ToDeclaration();
    ASSERT_NE(declaration, nullptr);
    EXPECT_STREQ(declaration->Version(), "1. &0");
    EXPECT_STREQ(declaration->Encoding(), "a\"b");
    EXPECT_STREQ(declaration->Standalone(), "<x>");
    EXPECT_EQ(xml_document_print(again), printed);
}

TEST(XmlTextEncode, EscapesAndBlanks)
{
    struct Case { const char* text; const char* encoded; };
    const Case cases[] = {
        {"a b", "a b"},
        {"a  b", "a&#x20;&#x20;b"},
        {" a", "&#x20;a"},
        {"a ", "a&#x20;"},
        {"a\nb", "a&#x0A;b"},
        {"a \nb", "a &#x0A;b"},
        {"<&>\"'", "&lt;&amp;&gt;&quot;&apos;"},
        {"&#x41;", "&amp;#x41;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(xml_text_encode(c.text), c.encoded);
    }
}

} // namespace

namespace {

std::string nested(std::size_t levels, std::string_view inside = "")
{
    std::string text;
    for (std::size_t i = 0; i < levels; ++i)
        text += "<a>";
    text += inside;
    for (std::size_t i = 0; i < levels; ++i)
        text += "</a>";
    return text;
}

std::string opened(std::size_t levels)
{
    std::string text;
    for (std::size_t i = 0; i < levels; ++i)
        text += "<a>";
    return text;
}

// The depth of the deepest element the library built, walked without recursion.
std::size_t tree_depth(const TiXmlNode& root)
{
    std::size_t deepest = 0;
    std::vector<std::pair<const TiXmlNode*, std::size_t>> open{{&root, 0}};
    while (!open.empty()) {
        const auto [node, depth] = open.back();
        open.pop_back();
        deepest = std::max(deepest, depth);
        for (const TiXmlElement* child = node->FirstChildElement(); child != nullptr; child = child->NextSiblingElement())
            open.emplace_back(child, depth + 1);
    }
    return deepest;
}

} // namespace

TEST(XmlDepth, BoundCountsOnlyNestedElements)
{
    const std::string siblings = nested(XML_DEPTH_MAX) + nested(XML_DEPTH_MAX);
    std::string empties;
    for (std::size_t i = 0; i < 2 * XML_DEPTH_MAX; ++i)
        empties += "<a/><b x='1' />";
    struct Case { const char* what; std::string text; bool acceptable; };
    const Case cases[] = {
        {"at the bound", nested(XML_DEPTH_MAX), true},
        {"one beyond", nested(XML_DEPTH_MAX + 1), false},
        {"far beyond, never closed", opened(200000), false},
        {"siblings at the bound", siblings, true},
        {"empty elements", nested(XML_DEPTH_MAX - 1, empties), true},
        {"declaration and comments", "<?xml version=\"1.0\"?><!-- <a> -->" + nested(XML_DEPTH_MAX), true},
        {"tags inside a comment", nested(2, "<!--" + nested(XML_DEPTH_MAX) + "-->"), true},
        {"tags inside CDATA", nested(2, "<![CDATA[" + std::string(XML_DEPTH_MAX, 'x') + nested(XML_DEPTH_MAX) + "]]>"), true},
        {"tags inside a quoted value", nested(2, "<b v=\"" + nested(XML_DEPTH_MAX) + "\"/>"), true},
        {"attributes with '>'", nested(XML_DEPTH_MAX - 1, "<b v='>' w=\"/>\">x</b>") , true},
        {"end tags do not go below zero", "</a></a></a>" + nested(XML_DEPTH_MAX + 1), false},
        // A declaration the library ends at its first '>' hides nothing behind it.
        {"declaration without its ?>", "<?xml x>" + nested(XML_DEPTH_MAX + 1), false},
        {"unknown node", "<!DOCTYPE x>" + nested(XML_DEPTH_MAX + 1), false},
        {"unterminated comment", "<!--" + nested(XML_DEPTH_MAX + 1), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(xml_depth_acceptable(c.text), c.acceptable);
    }
}

// Whatever the text, a document the check accepts is never built deeper than the bound: runs of
// opening tags around pieces of other markup, so that the nesting comes near the bound on
// either side of each piece.
TEST(XmlDepth, NeverUnderestimatesWhatTheLibraryBuilds)
{
    static constexpr std::string_view PIECES[] = {
        "</a>", "<a/>", "<b x='>'>", "<b x=\"'\">", "<b x=y>", "<b x=y\">", "<b x='", "'", "\"", ">", "/>", "<",
        "</", "<!--", "-->", "<!-- <a> -->", "<![CDATA[", "]]>", "<![CDATA[<a>]]>", "<?xml version='1.0'?>",
        "<?xml version='>'?>", "<?", "?>", "<!X>", "<!", "<1>", "< a>", "text", "&amp;", "\n", "<_>", "<a\t/>",
        "<a x='1' y=\"2\">",
    };
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(PIECES) - 1);
    std::uniform_int_distribution<std::size_t> run(0, XML_DEPTH_MAX / 3);
    std::size_t accepted_deep = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (int part = 0; part < 4; ++part) {
            text += opened(run(random));
            text += PIECES[piece(random)];
        }
        text += opened(run(random));
        if (!xml_depth_acceptable(text))
            continue;
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        const std::size_t depth = tree_depth(doc);
        ASSERT_LE(depth, XML_DEPTH_MAX) << text;
        if (depth > XML_DEPTH_MAX / 2)
            ++accepted_deep;
    }
    // The rounds reach deep trees, or the check above proves nothing.
    EXPECT_GT(accepted_deep, 50u);
}

TEST(XmlDepth, LoadersRefuseDeepDocumentsBeforeParsing)
{
    const std::string deep = "<tarvodine>" + nested(200000) + "</tarvodine>";
    TiXmlDocument doc;
    std::string why;
    EXPECT_FALSE(xml_text_load(doc, deep, why));
    EXPECT_EQ(why, "elements nested deeper than 256 levels");
    EXPECT_EQ(doc.FirstChild(), nullptr);

    // Only the text up to the first zero byte is the document.
    const std::string cut = "<tarvodine/>" + std::string(1, '\0') + nested(XML_DEPTH_MAX + 1);
    EXPECT_TRUE(xml_text_load(doc, cut, why)) << why;

    why.clear();
    TiXmlDocument broken;
    EXPECT_FALSE(xml_text_load(broken, "<tarvodine><a></tarvodine>", why));
    EXPECT_FALSE(why.empty());

    // The shipped documents are far from the bound.
    for (const char* name : {"section.xml", "tarvodine.xml"}) {
        SCOPED_TRACE(name);
        TiXmlDocument shipped;
        EXPECT_TRUE(xml_file_load(shipped, std::string(TARVODINE_SOURCE_DIR) + "/etc/" + name, why)) << why;
    }
}
