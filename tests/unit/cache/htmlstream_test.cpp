#include "cache/htmlstream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// What a callback saw: the tag name and its attributes as "name=value" in order.
struct Seen {
    std::vector<std::string> tags;
};

void record(HTMLStream*, htmlstream_node* node, void* argument)
{
    std::string line = node->tag->name;
    for (const htmlstream_attribute& attribute : node->tag->attributes)
        line += " " + attribute.name + "=" + attribute.value;
    static_cast<Seen*>(argument)->tags.push_back(line);
}

std::vector<std::string> texts(const HTMLStream& stream)
{
    std::vector<std::string> out;
    // Every node, depth first, as the interface's tree page walks them.
    std::vector<const htmlstream_node*> todo;
    if (stream.root() != nullptr)
        todo.push_back(stream.root());
    while (!todo.empty()) {
        const htmlstream_node* node = todo.back();
        todo.pop_back();
        if (node->tag == nullptr && !node->text.empty())
            out.push_back(node->text);
        if (node->next != nullptr)
            todo.push_back(node->next);
        if (node->child != nullptr)
            todo.push_back(node->child);
    }
    return out;
}

struct Fixture {
    const char* name;
    std::string page;
    std::vector<std::string> registered;
    std::vector<std::string> tags;   // callbacks, in order
    std::vector<std::string> texts;  // text nodes, in tree order
};

const std::vector<Fixture> FIXTURES = {
    {"quoted value keeps its blank, single quotes stay",
     "<a href=\"x y\">link</a><a href='q'>",
     {"a"},
     {"a href=x y", "a href='q'"},
     {"link"}},
    {"valueless attribute takes the next token",
     "<input checked src=x.gif name=n>",
     {"input"},
     {"input checked=src x.gif=name"},
     {}},
    {"comment hides its tags and joins the text around it",
     "<p>one<!-- <img src=hidden.gif> -->two<img src=shown.gif></p>",
     {"img", "p"},
     {"p", "img src=shown.gif"},
     {"one<!-- <img src=hidden.gif> -->two"}},
    {"case of the markup does not matter",
     "<IMG SRC=\"/a.gif\"><Img src=b.gif><script src=s.js></script>",
     {"img", "SCRIPT"},
     {"IMG SRC=/a.gif", "Img src=b.gif", "script src=s.js"},
     {}},
    {"tag broken over lines",
     "<img\n  src=\"/x.gif\"\n\talt=\"\"\n  width=1>",
     {"img"},
     {"img src=/x.gif alt= width=1"},
     {}},
    {"blank text makes no node, trailing text does",
     "<b>  \n </b>tail",
     {"b"},
     {"b"},
     {"tail"}},
    {"closing tag with no opening tag changes nothing",
     "<i>x</u><img src=1>",
     {"img"},
     {"img src=1"},
     {"x"}},
    {"unclosed quote runs to the tag's end",
     "<img src=\"a.gif alt=x><img src=b>",
     {"img"},
     {"img", "img src=b"},
     {}},
    {"empty and nameless tags",
     "<><=x>< ><img>",
     {"img"},
     {"img"},
     {}},
    {"stray brackets and a comment left open",
     "a > b <img src=1> <!-- <img src=2>",
     {"img"},
     {"img src=1"},
     {"a > b ", " <!-- <img src=2>"}},
};

}  // namespace

// Each fixture is fed in two blocks split at every offset, then byte by byte: the callbacks and
// the text must come out as when the page arrives in one block.
TEST(HtmlStream, FixturesAtEverySplit)
{
    for (const Fixture& fixture : FIXTURES) {
        std::vector<std::size_t> splits;
        for (std::size_t at = 0; at <= fixture.page.size(); ++at)
            splits.push_back(at);
        for (std::size_t at : splits) {
            SCOPED_TRACE(std::string(fixture.name) + " split at " + std::to_string(at));
            Seen seen;
            HTMLStream stream;
            for (const std::string& name : fixture.registered)
                ASSERT_EQ(stream.Callback(name, record, &seen), 1);
            stream.Add(fixture.page.data(), at);
            stream.Add(fixture.page.data() + at, fixture.page.size() - at);
            stream.Add(nullptr, 0);
            EXPECT_EQ(seen.tags, fixture.tags);
            // Whitespace-only text never makes a node, so compare what the fixture names.
            std::vector<std::string> got = texts(stream);
            std::erase_if(got, [](const std::string& t) { return t.find_first_not_of(" \n") == std::string::npos; });
            EXPECT_EQ(got, fixture.texts);
        }
        SCOPED_TRACE(std::string(fixture.name) + " byte by byte");
        Seen seen;
        HTMLStream stream;
        for (const std::string& name : fixture.registered)
            stream.Callback(name, record, &seen);
        for (char c : fixture.page)
            stream.Add(&c, 1);
        stream.Add(nullptr, 0);
        EXPECT_EQ(seen.tags, fixture.tags);
    }
}

TEST(HtmlStream, TagFiresWhenItsBracketArrives)
{
    Seen seen;
    HTMLStream stream;
    stream.Callback("img", record, &seen);
    const std::string first = "<p>text<img sr";
    stream.Add(first.data(), first.size());
    EXPECT_TRUE(seen.tags.empty());
    const std::string second = "c=\"a.gif\">more text that is long";
    stream.Add(second.data(), second.size());
    EXPECT_EQ(seen.tags, std::vector<std::string>{"img src=a.gif"});
}

TEST(HtmlStream, FirstRegistrationWinsWhateverTheCase)
{
    Seen first, second;
    HTMLStream stream;
    EXPECT_EQ(stream.Callback("Img", record, &first), 1);
    EXPECT_EQ(stream.Callback("IMG", record, &second), 0);
    EXPECT_EQ(stream.Callback("img", record, &second), 0);
    const std::string page = "<img src=x>";
    stream.Add(page.data(), page.size());
    EXPECT_EQ(first.tags.size(), 1u);
    EXPECT_TRUE(second.tags.empty());
}

TEST(HtmlStream, TagParseTable)
{
    struct Case {
        std::string text;
        bool made;
        std::string name;
        std::vector<std::pair<std::string, std::string>> attributes;
    };
    const std::vector<Case> cases = {
        {"<", false, "", {}},
        {"<>", false, "", {}},
        {"< = >", false, "", {}},
        {"<br/>", true, "br/", {}},
        {"<a b=c d = e>", true, "a", {{"b", "c"}, {"d", "e"}}},
        {"<a b=\"c>d\">", true, "a", {{"b", "c>d"}}},
        {"<a b=\"\" c=d>", true, "a", {{"b", ""}, {"c", "d"}}},
        {"<a x\"y z\"w=1>", true, "a", {{"xy z", "w"}}},
        {"<\"a b\" c=d>", true, "a b", {{"c", "d"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto tag = htmlstream_tag_parse(c.text);
        ASSERT_EQ(tag != nullptr, c.made);
        if (!tag)
            continue;
        EXPECT_EQ(tag->name, c.name);
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& a : tag->attributes)
            got.emplace_back(a.name, a.value);
        EXPECT_EQ(got, c.attributes);
    }
}

TEST(HtmlStream, ClosingTagGroupsUnderThePreviousNode)
{
    HTMLStream stream;
    const std::string page = "<html><body><b>x</b>after";
    stream.Add(page.data(), page.size());
    stream.Add(nullptr, 0);
    const htmlstream_node* html = stream.root();
    ASSERT_NE(html, nullptr);
    const htmlstream_node* body = html->next;
    ASSERT_NE(body, nullptr);
    ASSERT_NE(body->child, nullptr);
    EXPECT_EQ(body->child->tag->name, "b");
    EXPECT_EQ(body->child->parent, body);
    EXPECT_EQ(body->child->next->text, "x");
    EXPECT_EQ(body->depth, 1);
    ASSERT_NE(body->next, nullptr);
    EXPECT_EQ(body->next->text, "after");
}

// A 10 MiB page of long comments, one of an unclosed tag and one of unmatched closing tags, fed
// in small blocks: the scanner examines each byte a bounded number of times and holds only what
// it may still need.
TEST(HtmlStream, LongPagesScanInLinearTime)
{
    const std::size_t size = 10u << 20;
    std::string comments;
    while (comments.size() < size)
        comments += "<!-- " + std::string(70000, 'c') + " < <img src=x> -->";
    std::string unclosed = "<img src=\"" + std::string(size, 'u');
    // Each unmatched closing tag looks back over a bounded number of nodes; a smaller page shows it.
    std::string closings;
    while (closings.size() < size / 8)
        closings += "<p>t</q>";
    for (const std::string* page : {&comments, &unclosed, &closings}) {
        Seen seen;
        HTMLStream stream;
        stream.Callback("img", record, &seen);
        for (std::size_t at = 0; at < page->size(); at += 1000)
            stream.Add(page->data() + at, std::min<std::size_t>(1000, page->size() - at));
        stream.Add(nullptr, 0);
        EXPECT_LE(stream.scanned(), 2 * page->size());
        EXPECT_TRUE(seen.tags.empty());
    }
    HTMLStream stream;
    for (std::size_t at = 0; at < closings.size(); at += 1000)
        stream.Add(closings.data() + at, std::min<std::size_t>(1000, closings.size() - at));
    EXPECT_LT(stream.held(), 64u * 1024);
}

// Pages that cost the stream most: dense tags (each makes a node many times its size), one long
// text, and an unclosed "<" (the stream keeps what follows it). Whatever the blocks, the stream
// holds no more than its limit, stops there, and has parsed what came before.
TEST(HtmlStream, WhatAPageMayHoldIsBoundedByTheLimit)
{
    const std::size_t limit = 256 * 1024;
    const std::size_t size = 8u << 20;
    std::string tags;
    while (tags.size() < size)
        tags += "<img src=a><b>";
    std::string text = "<img src=a><p>" + std::string(size, 't');
    std::string unclosed = "<img src=a><img src=\"" + std::string(size, 'u');
    for (const std::string* page : {&tags, &text, &unclosed}) {
        for (const std::size_t block : {std::size_t{1000}, std::size_t{65536}, size}) {
            Seen seen;
            HTMLStream stream(limit);
            stream.Callback("img", record, &seen);
            std::size_t most = 0;
            for (std::size_t at = 0; at < page->size(); at += block) {
                stream.Add(page->data() + at, std::min(block, page->size() - at));
                most = std::max(most, stream.memory());
            }
            stream.Add(nullptr, 0);
            EXPECT_LE(most, limit) << block;
            EXPECT_TRUE(stream.stopped()) << block;
            EXPECT_EQ(stream.held(), 0u) << block;
            EXPECT_FALSE(seen.tags.empty()) << block;
            EXPECT_EQ(seen.tags.front(), "img src=a") << block;
        }
    }

    // Within the limit nothing changes; a limit of nothing parses nothing.
    const std::string small = "<img src=x>text<img src=y>";
    Seen seen;
    HTMLStream within(small.size() * 100);
    within.Callback("img", record, &seen);
    within.Add(small.data(), small.size());
    within.Add(nullptr, 0);
    EXPECT_FALSE(within.stopped());
    EXPECT_EQ(seen.tags, (std::vector<std::string>{"img src=x", "img src=y"}));
    Seen none;
    HTMLStream nothing(0);
    nothing.Callback("img", record, &none);
    nothing.Add(small.data(), small.size());
    EXPECT_TRUE(nothing.stopped());
    EXPECT_TRUE(none.tags.empty());
    EXPECT_EQ(nothing.root(), nullptr);
}
