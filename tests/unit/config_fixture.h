// Shared by the configuration tests: a section-definition document with one section of every
// field type, a section without fields, and a small Section subclass that counts its updates.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "config/rules.h"
#include "config/section.h"

inline const char* const TEST_DEFINITIONS = R"(<?xml version="1.0" encoding="UTF-8"?>
<section>
  <testsec>
    <comment>Test section</comment>
    <desc>A section of every field type</desc>
    <select>
      <colours>
        <red><comment>Red</comment><desc>warm</desc></red>
        <green><value>true</value></green>
        <blue><comment>Blue</comment><value>TRUE</value><desc></desc></blue>
        <Blue><comment>Capital blue</comment></Blue>
      </colours>
      <days>
        <mon/><tue/><wed><value>true</value></wed><thu/><fri><value>true</value></fri>
      </days>
    </select>
    <global>
      <enabled n="0"><comment>Enabled</comment><value>true</value><type>BOOL</type><desc>on or off</desc></enabled>
      <port n="1"><comment>Port</comment><value>8080</value><type>INT</type><desc/></port>
      <maxsize n="2"><comment>Max size</comment><value>1M</value><type>FILE_SIZE</type><desc/></maxsize>
      <note n="3"><comment>Note</comment><value>default note</value><type>STRING</type><optional>true</optional><desc/></note>
      <banner n="4"><comment>Banner</comment><value/><type>MULTILINE_STRING</type><desc/></banner>
      <hidden n="5"><comment>Hidden</comment><value>secret</value><type>STRING</type><enabled>false</enabled><desc/></hidden>
      <colour n="6"><comment>Colour</comment><value>colours</value><type>STRING_SELECT_ONE</type><desc/></colour>
      <hours n="7"><comment>Hours</comment><value>0,23</value><type>INT_RANGE</type><desc/></hours>
      <days n="8"><comment>Days</comment><value>days</value><type>STRING_RANGE</type><desc/></days>
      <ratio n="9"><comment>Ratio</comment><value>0.5</value><type>DOUBLE</type><desc/></ratio>
      <limit n="10"><comment>Limit</comment><value>10</value><type>UINT</type><optional>TRUE</optional><desc/></limit>
      <hosts n="11"><comment>Hosts</comment><value>a,b</value><type>STRING_LIST</type><desc/></hosts>
      <cache n="12"><comment>Cache</comment><value>4G</value><type>LONG_FILE_SIZE</type><desc/></cache>
    </global>
    <template>
      <rule>
        <name n="0"><comment>Name</comment><value/><type>STRING</type><desc/></name>
        <clients n="1"><comment>Clients</comment><value/><type>IP_RANGE_LIST</type><desc/></clients>
        <ports n="2"><comment>Ports</comment><value/><type>PORT_RANGE_LIST</type><desc/></ports>
        <colours n="3"><comment>Colours</comment><value>colours</value><type>STRING_SELECT_MANY</type><desc/></colours>
        <limit n="4"><comment>Limit</comment><value>5</value><type>INT</type><optional>true</optional><desc/></limit>
        <text n="5"><comment>Text</comment><value/><type>MULTILINE_STRING</type><desc/></text>
      </rule>
    </template>
    <subsection>
      <allow><comment>Allowed</comment><template>rule</template><desc>allow list</desc></allow>
      <deny><comment>Denied</comment><template>rule</template><desc>deny list</desc><enabled>false</enabled></deny>
      <marks><comment>Marks</comment><template>nosuch</template><desc>items without fields</desc></marks>
    </subsection>
  </testsec>
  <bare>
    <comment>Bare</comment>
    <desc>No fields at all</desc>
    <global/>
  </bare>
  <other>
    <comment>Other</comment>
    <desc>One global field</desc>
    <global>
      <count n="0"><comment>Count</comment><value>1</value><type>INT</type><desc/></count>
    </global>
  </other>
</section>
)";

// Parses definitions into sectionxml; a document that does not parse fails the calling test.
inline void definitions_set(const char* xml)
{
    auto definitions = std::make_unique<TiXmlDocument>();
    definitions->Parse(xml);
    ASSERT_FALSE(definitions->Error()) << definitions->ErrorDesc();
    sectionxml = std::move(definitions);
}

// A section whose rules are the names of its first subsection's items, rebuilt as the
// framework asks.
class TestSection final : public Section {
public:
    explicit TestSection(const std::string& name, int lockkind = SECTION_RWLOCK) : Section(name, lockkind) {}

    void update() override
    {
        rules_.rebuild([this](std::vector<std::string>& next) {
            if (!subsections_.empty()) {
                for (const Item& item : subsections_[0].items)
                    next.push_back(item.fields.empty() ? std::string() : item.fields[0].text);
            }
        });
        ++updates;
    }

    std::shared_ptr<const std::vector<std::string>> rules() const { return rules_.snapshot(); }

    using Section::fields_;
    using Section::lockkind_;
    using Section::mutex_;
    using Section::rwlock_;
    using Section::subsections_;

    SectionRules<std::vector<std::string>> rules_{*this};
    int updates = 0;
};
