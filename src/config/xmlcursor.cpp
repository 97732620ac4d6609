#include "config/xmlcursor.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <utility>

#include "util/descriptor.h"
#include "util/mem.h"

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

std::string xml_text_encode(std::string_view text)
{
    std::string escaped;
    TiXmlBase::EncodeString(std::string(text), &escaped);
    // The escapes hold no blank, so each blank left is one of the text's own.
    std::string encoded;
    encoded.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != ' ') {
            encoded += escaped[i];
            continue;
        }
        const bool alone = i > 0 && i + 1 < escaped.size() && escaped[i - 1] != ' ' && escaped[i + 1] != ' ';
        encoded += alone ? " " : "&#x20;";
    }
    return encoded;
}

namespace {

// White space as the reader knows it; a text of nothing else is dropped by it.
bool all_white(const std::string& text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// TiXmlPrinter's layout, but for the encoding of texts and an only CDATA child kept on its
// element's line.
class Printer final : public TiXmlVisitor {
public:
    std::string buffer;

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* attribute) override
    {
        indent();
        buffer += '<';
        buffer += element.ValueStr();
        for (; attribute != nullptr; attribute = attribute->Next()) {
            buffer += ' ';
            attribute->Print(nullptr, 0, &buffer);
        }
        const TiXmlNode* first = element.FirstChild();
        simple_ = first != nullptr && first->ToText() != nullptr && element.LastChild() == first;
        if (empty(element))
            buffer += " />\n";
        else
            buffer += simple_ ? ">" : ">\n";
        ++depth_;
        return true;
    }

    bool VisitExit(const TiXmlElement& element) override
    {
        --depth_;
        const bool simple = std::exchange(simple_, false);
        if (empty(element))
            return true;
        if (!simple)
            indent();
        buffer += "</";
        buffer += element.ValueStr();
        buffer += ">\n";
        return true;
    }

    bool Visit(const TiXmlText& text) override
    {
        if (simple_ && !text.CDATA() && text.ValueStr().empty())
            return true;
        if (simple_) {
            // The reader drops a text of white space alone, whatever its encoding; as a
            // CDATA section it is kept. An element's only CDATA section stays on its line, so
            // that such a text prints alike before and after a reading.
            if (text.CDATA() || all_white(text.ValueStr()))
                buffer += "<![CDATA[" + text.ValueStr() + "]]>";
            else
                buffer += xml_text_encode(text.ValueStr());
        } else if (text.CDATA()) {
            indent();
            buffer += "<![CDATA[" + text.ValueStr() + "]]>\n";
        } else {
            indent();
            buffer += xml_text_encode(text.ValueStr()) + "\n";
        }
        return true;
    }

    // The library's layout, but its values escaped as an attribute's are: it writes them raw,
    // so a '&' or a quote read from a document would not read back.
    bool Visit(const TiXmlDeclaration& declaration) override
    {
        indent();
        buffer += "<?xml ";
        const std::pair<const char*, const char*> values[] = {
            {"version", declaration.Version()}, {"encoding", declaration.Encoding()}, {"standalone", declaration.Standalone()}};
        for (const auto& [name, value] : values) {
            if (value == nullptr || *value == '\0')
                continue;
            std::string escaped;
            TiXmlBase::EncodeString(value, &escaped);
            buffer += name;
            buffer += "=\"" + escaped + "\" ";
        }
        buffer += "?>\n";
        return true;
    }

    bool Visit(const TiXmlComment& comment) override
    {
        indent();
        buffer += "<!--" + comment.ValueStr() + "-->\n";
        return true;
    }

    bool Visit(const TiXmlUnknown& unknown) override
    {
        indent();
        buffer += "<" + unknown.ValueStr() + ">\n";
        return true;
    }

private:
    // No child, or only an empty text, which reads back as no child.
    static bool empty(const TiXmlElement& element)
    {
        const TiXmlNode* first = element.FirstChild();
        if (first == nullptr)
            return true;
        const TiXmlText* text = first->ToText();
        return element.LastChild() == first && text != nullptr && !text->CDATA() && text->ValueStr().empty();
    }

    void indent()
    {
        for (int i = 0; i < depth_; ++i)
            buffer += "    ";
    }

    int depth_ = 0;
    bool simple_ = false;
};

} // namespace

std::string xml_document_print(const TiXmlDocument& document)
{
    Printer printer;
    document.Accept(&printer);
    return std::move(printer.buffer);
}

bool xml_text_acceptable(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if ((lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r') || lead == 0x7f)
                return false;
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t point = 0;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
            point = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            point = lead & 0x0f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;   // a continuation byte, an overlong lead (0xc0, 0xc1) or beyond 0xf4
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3f);
        }
        static constexpr char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < LEAST[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) ||
            point == 0xfffe || point == 0xffff)
            return false;
        i += length;
    }
    return true;
}

bool xml_depth_acceptable(std::string_view text)
{
    std::size_t depth = 0;
    std::size_t at = 0;
    // Moves past the first `end` from here on, or to the end of the text.
    const auto past = [&text, &at](std::string_view end) {
        const std::size_t found = text.find(end, at);
        at = found == std::string_view::npos ? text.size() : found + end.size();
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = text.substr(at);
        if (rest.starts_with("<!--")) {
            at += 4;
            past("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            at += 9;
            past("]]>");
        } else if (rest.starts_with("<!") || rest.starts_with("<?")) {
            // The library ends these at their first '>', or later: ending here never skips
            // an element it reads.
            at += 2;
            past(">");
        } else if (rest.starts_with("</")) {
            if (depth > 0)
                --depth;
            at += 2;
            past(">");
        } else {
            // A start tag ends at the first '>' outside a quoted value; "/>" ends an empty one.
            char quote = 0;
            for (++at; at < text.size(); ++at) {
                const char c = text[at];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            const bool empty = at < text.size() && text[at - 1] == '/';
            if (at < text.size())
                ++at;
            if (!empty && ++depth > XML_DEPTH_MAX)
                return false;
        }
    }
    return true;
}

namespace {

std::string too_deep()
{
    return "elements nested deeper than " + std::to_string(XML_DEPTH_MAX) + " levels";
}

} // namespace

bool xml_text_load(TiXmlDocument& document, const std::string& text, std::string& why)
{
    if (!xml_depth_acceptable(std::string_view(text.c_str()))) {
        why = too_deep();
        return false;
    }
    document.Parse(text.c_str());
    if (document.Error()) {
        why = document.ErrorDesc();
        return false;
    }
    return true;
}

bool xml_file_load(TiXmlDocument& document, const std::string& path, std::string& why)
{
    FILE* file = s_fopen(path.c_str(), "rb");
    // The library sizes its buffer by seeking to the end, which means nothing for a directory
    // or a device: only regular files are read.
    struct stat status {};
    if (file != nullptr && (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))) {
        std::fclose(file);
        file = nullptr;
    }
    if (file != nullptr) {
        // Judged whole before the library reads it again from the start.
        std::string text;
        char block[65536];
        std::size_t got = 0;
        while ((got = std::fread(block, 1, sizeof block, file)) > 0)
            text.append(block, got);
        const bool deep = !xml_depth_acceptable(std::string_view(text.c_str()));
        if (deep || std::fseek(file, 0, SEEK_SET) != 0) {
            std::fclose(file);
            why = deep ? too_deep() : "Failed to open file";
            return false;
        }
    }
    // A null file sets the library's own "Failed to open file" error.
    const bool loaded = document.LoadFile(file);
    if (file != nullptr)
        std::fclose(file);
    if (!loaded)
        why = document.ErrorDesc();
    return loaded;
}
