#include "xmlcursor.h"

#include <strings.h>

#include "descriptor.h"
#include "mem.h"

TiXmlElement* section_select(TiXmlDocument* document, const char* name)
{
    FATAL_ASSERT(document != nullptr);
    TiXmlElement* root = document->RootElement();
    FATAL_ASSERT(root != nullptr && root->ValueStr() == "tarvodine");
    TiXmlElement* section = root->FirstChildElement(name);
    if (section == nullptr)
        throw ConfigError(std::string("no element for section ") + name);
    return section;
}

XmlElement::XmlElement(TiXmlDocument* document, const std::string& section)
    : current_(section_select(document, section.c_str())), section_(section)
{
}

XmlElement::XmlElement(TiXmlDocument* document, const std::string& section, const std::string& element)
    : current_(section_select(document, section.c_str())->FirstChildElement(element)), section_(section),
      element_(element)
{
}

bool XmlElement::next()
{
    if (current_ != nullptr)
        current_ = current_->NextSiblingElement(element_);
    return current_ != nullptr;
}

std::string XmlElement::string_read(const std::string& name) const
{
    if (current_ == nullptr)
        return {};
    const TiXmlElement* child = current_->FirstChildElement(name);
    if (child == nullptr)
        return {};
    // Comments may stand before the text; the text node is the value.
    for (const TiXmlNode* node = child->FirstChild(); node != nullptr; node = node->NextSibling()) {
        if (const TiXmlText* text = node->ToText())
            return text->ValueStr();
    }
    return {};
}

bool XmlElement::check_active(const std::string& name) const
{
    const TiXmlElement* child = current_ != nullptr ? current_->FirstChildElement(name) : nullptr;
    if (child == nullptr)
        throw ConfigError("no element " + name + " in section " + section_);
    const std::string* active = child->Attribute(std::string("active"));
    if (active == nullptr || strcasecmp(active->c_str(), "true") == 0)
        return true;
    if (strcasecmp(active->c_str(), "false") == 0)
        return false;
    throw ConfigError("active of " + name + " in section " + section_ + " is " + *active);
}

std::string xml_text_value(std::string_view text)
{
    std::string value;
    value.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ') {
            // Only a single blank between two other characters survives the reading.
            const bool alone = i > 0 && i + 1 < text.size() && text[i - 1] != ' ' && text[i + 1] != ' ';
            value += alone ? " " : "&#x20;";
        } else if (c == '&' && text.substr(i, 3) == "&#x") {
            value += "&#x26;";
        } else {
            value += c;
        }
    }
    return value;
}

bool xml_file_load(TiXmlDocument& document, const std::string& path)
{
    FILE* file = s_fopen(path.c_str(), "rb");
    // A null file sets the library's own "Failed to open file" error.
    const bool loaded = document.LoadFile(file);
    if (file != nullptr)
        std::fclose(file);
    return loaded;
}
