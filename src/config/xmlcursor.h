// The configuration code's view of the configuration document: a cursor over one section's
// element, or over the elements of one name under it, and the lookup of a section's element.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <tinyxml.h>

#include "util/configerror.h"

// The first child element of the root "tarvodine" with the given name. Throws ConfigError when
// there is none; a null document or one without the root "tarvodine" is a fatal assertion.
TiXmlElement* section_select(TiXmlDocument* document, const char* name);

// Points into a document it does not own; the document must not change while the cursor is in
// use (callers hold documentlock).
class XmlElement {
public:
    // On the section's own element. ConfigError from section_select passes through.
    XmlElement(TiXmlDocument* document, const std::string& section);
    // On the first child element of the section's element named `element`, if any.
    XmlElement(TiXmlDocument* document, const std::string& section, const std::string& element);

    int full() const { return current_ != nullptr ? 1 : 0; }
    // To the next sibling element named like the cursor's elements; whether there was one.
    bool next();
    // The text of the first child element of that name; empty when there is none or it holds
    // no text.
    std::string string_read(const std::string& name) const;
    // The "active" attribute of the first child element of that name: absent or "true" gives
    // true, "false" false, in any case. Another value, or no such child, throws ConfigError.
    bool check_active(const std::string& name) const;
    std::string element_get() const { return element_; }
    std::string section_get() const { return section_; }

private:
    const TiXmlElement* current_ = nullptr;
    std::string section_;
    std::string element_;
};

// A text as it must be printed to read back exactly: the library's own escapes, and every blank
// that a reader would condense or drop (leading, trailing, or in a run) as a character reference.
std::string xml_text_encode(std::string_view text);
// The document printed as the library prints it (one node per line, four blanks of indent per
// level), with every text written by xml_text_encode, and a text of white space alone as a
// CDATA section (the reader drops it otherwise). Printing a document read from this output
// gives the same output.
std::string xml_document_print(const TiXmlDocument& document);

// Whether a text can stand in a document the proxy writes (declared UTF-8) as XML 1.0 allows:
// well-formed UTF-8 (no overlong form, surrogate or code point above U+10FFFF, no U+FFFE or
// U+FFFF) without a control byte other than tab, line feed and carriage return (nor DEL, which
// XML allows but no value means).
bool xml_text_acceptable(std::string_view text);

// The deepest nesting of elements a document may have. The library builds, prints and frees a
// document's elements recursively, a few stack frames per level: a document nested much deeper
// would exhaust a thread's stack. A configuration nests four levels deep, a section-definition
// document six.
constexpr std::size_t XML_DEPTH_MAX = 256;

// Whether no element of the text stands more than XML_DEPTH_MAX levels deep, judged by one pass
// over the text before any tree is built. Comments, CDATA sections and quoted attribute values
// are skipped as the library skips them; what the library would not read as an element may be
// counted as one, never the other way round.
bool xml_depth_acceptable(std::string_view text);

// Parses text, up to its first zero byte (where the library stops), into document. False, with
// why set, when it is nested deeper than XML_DEPTH_MAX (nothing is parsed then) or does not
// parse.
bool xml_text_load(TiXmlDocument& document, const std::string& text, std::string& why);

// The same for the regular file, opened with s_fopen; false also when it cannot be read.
bool xml_file_load(TiXmlDocument& document, const std::string& path, std::string& why);
