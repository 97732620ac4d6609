// Shared by the tests of the general, profile and template sections: the shipped section
// definitions, configuration documents made of one section's element, and items written with
// every field given.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "config/section.h"

// etc/section.xml of the source tree becomes sectionxml.
inline void shipped_definitions_set()
{
    sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
}

// Loads the section from the document <tarvodine>body</tarvodine>, replacing its items.
inline void section_load(Section& section, const std::string& body)
{
    TiXmlDocument document;
    document.Parse(("<?xml version=\"1.0\"?><tarvodine>" + body + "</tarvodine>").c_str());
    ASSERT_FALSE(document.Error()) << document.ErrorDesc();
    section.load(&document, 1);
}

using XmlFields = std::vector<std::pair<std::string, std::string>>;

// Every field of a general rule, in order: a 4 MiB download buffer, no compression.
inline const XmlFields GENERAL_RULE_FIELDS = {
    {"enabled", "true"},      {"comment", ""},         {"profiles", ""},          {"ctimeout", "60"},
    {"timeout", "60"},        {"keeptimeout", "60"},   {"maxdbuffer", "4M"},      {"maxubuffer", "1M"},
    {"bufferwait", "0"},      {"cportrange", "443"},   {"encodemime", ""},        {"compressout", "false"},
    {"compressin", "false"},  {"xforwardedfor", "false"}, {"via", "true"},
};

// <element> with one child per field, in order: the default text, or the one set gives. A
// field that set names with the text "-" is left out.
inline std::string item_xml(const std::string& element, const XmlFields& defaults,
                            const std::map<std::string, std::string>& set)
{
    std::string xml = "<" + element + ">";
    for (const auto& [name, fallback] : defaults) {
        const auto given = set.find(name);
        const std::string& text = given != set.end() ? given->second : fallback;
        if (text == "-")
            continue;
        xml += "<" + name + ">" + text + "</" + name + ">";
    }
    return xml + "</" + element + ">";
}
