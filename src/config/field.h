// Typed configuration values: a Field keeps the text written in the configuration file and the
// typed member its type fills from that text; section code reads the members by position.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "util/configerror.h"
#include "config/ranges.h"
#include "util/stringutil.h"

class XmlElement;
class Filebuf;

// The decoded arguments of an editor form, by name; an absent name reads as empty.
using FormArgs = std::map<std::string, std::string, std::less<>>;
const std::string& form_get(const FormArgs& args, std::string_view name);

// Type codes; the names in the section-definition file are the codes without "FIELD_".
enum FieldType : int {
    FIELD_INT = 0,
    FIELD_UINT = 1,
    FIELD_BOOL = 2,
    FIELD_STRING = 3,
    FIELD_STRING_SELECT_ONE = 4,
    FIELD_STRING_SELECT_MANY = 5,
    FIELD_STRING_LIST = 6,
    FIELD_IP_RANGE_LIST = 7,
    FIELD_PORT_RANGE_LIST = 8,
    FIELD_STRING_RANGE = 10,
    FIELD_INT_RANGE = 11,
    FIELD_FILE_SIZE = 12,
    FIELD_MULTILINE_STRING = 13,
    FIELD_LONG_FILE_SIZE = 14,
    FIELD_DOUBLE = 15,
};

// Value parsers; each throws ConfigError for a text that does not parse.
// strtol in base 10 over the whole text (leading blanks and a sign allowed, nothing after the
// number); the empty text reads as 0; values outside the int range are refused.
int string_to_int(std::string text);
// The same with strtoul: a leading minus negates modulo 2^32; a magnitude above 2^32 - 1 is
// refused.
std::uint32_t string_to_uint(std::string text);
// The same with strtod.
double string_to_double(std::string text);
// An unsigned decimal number, optional blanks, an optional unit word compared without regard
// to case: k, kb, kbit (x 1,024), m, mb, mbit (x 1,048,576), g, gb, gbit (x 1,073,741,824).
// Text after the unit word is not examined. A size that does not fit the result is refused.
std::uint32_t string_to_filesize(std::string text);
std::uint64_t string_to_longfilesize(std::string text);

class Field {
public:
    bool enabled = true;          // a disabled field is neither loaded, shown nor edited
    std::string name;             // element name in both XML files
    int type = FIELD_STRING;      // a FieldType
    std::string label;            // the declaration's comment
    std::string help;             // the declaration's desc
    int input_size = 20;          // width of the editor's text box
    int range_min = 0;            // FIELD_INT_RANGE bounds, both inclusive
    int range_max = 0;
    bool optional = false;        // carries an active flag
    bool active = false;          // an optional field is in force only while active
    // INT, BOOL (1/0), STRING_SELECT_ONE (chosen index), STRING_SELECT_MANY (bit index % 32 of
    // each chosen option), STRING_RANGE (first index), INT_RANGE (first number).
    int int_value = 0;
    int int_value2 = 0;           // STRING_RANGE second index, INT_RANGE second number
    std::uint32_t uint_value = 0; // UINT, FILE_SIZE
    std::uint64_t long_value = 0; // LONG_FILE_SIZE
    std::string text;             // the value as written in the configuration file
    StringList string_list;       // STRING_LIST; STRING_SELECT_MANY (the chosen values)
    IpRangeList ip_ranges;        // IP_RANGE_LIST
    PortRangeList port_ranges;    // PORT_RANGE_LIST
    StringSelectVector options;   // choice types: the declared options, selected flags
    StringSelectVector options2;  // choice types: a second copy; STRING_RANGE's second choice
    double double_value = 0.0;    // DOUBLE

    // Every type but the three choice types: enabled, name, label, help, default text, type,
    // optional. The default is parsed as a value of the type; ConfigError when it does not.
    Field(bool enabled, std::string name, std::string label, std::string help, std::string text, int type,
          bool optional);
    // STRING_SELECT_ONE, STRING_SELECT_MANY, STRING_RANGE, with the declared options and the
    // selections the definition gives them as defaults.
    Field(bool enabled, std::string name, std::string label, std::string help, const StringSelectVector& options,
          int type, bool optional);

    // The code of a type name; any other name is a fatal assertion.
    static int type_get(const std::string& name);
    // How error messages describe a value of the field's type.
    std::string nature() const;
    // The option values joined by ",".
    std::string possible_values() const;
    void zero();

    // Parses `value` into the typed members by the rules of the configuration file; the text
    // itself is not changed. Throws ConfigError.
    void value_parse(const std::string& value);
    // Reads the field from the cursor's current element. False, with nothing changed, for an
    // optional field whose element is missing or whose "active" attribute is neither "true" nor
    // "false". A value that does not parse is logged by error_log, which throws ConfigError.
    bool load(const XmlElement& cursor);
    // Appends the field's element, with its "active" attribute when optional, to parent.
    void save(TiXmlElement* parent) const;
    // Logs "flawed XML file, ..." for the field's text and throws ConfigError.
    [[noreturn]] void error_log(const XmlElement& cursor) const;

    // The editor (config/editor.cpp). read: takes the field at form position k from the
    // arguments; throws ConfigError, with the typed members possibly half-set, for a bad value
    // (callers read into a copy). dialog_display: its form row; display: its read-only row.
    // The row-colour flag flips after each row written.
    void read(const FormArgs& args, int k);
    void dialog_display(Filebuf* page, const FormArgs& args, int k, bool& odd) const;
    void display(Filebuf* page, bool& odd) const;
};

class FieldVector : public std::vector<Field> {
public:
    // Appends one field per child element of a definition element, in document order; the
    // choice lists are those of the section. A malformed declaration is a fatal assertion, a
    // default that does not parse a ConfigError.
    void parse(const TiXmlElement* element, const std::map<std::string, StringSelectVector>& lists);
    void save(TiXmlElement* parent) const;

    // Reads every field in position order; one error text per bad field, in that order.
    StringList read(const FormArgs& args);
    void dialog_display(Filebuf* page, const FormArgs& args) const;
    void display(Filebuf* page) const;
};
