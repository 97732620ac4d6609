#include "config/field.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <strings.h>

#include "util/log.h"
#include "util/mem.h"
#include "config/xmlcursor.h"

namespace {

bool at_end(const std::string& text, const char* end)
{
    return end == text.c_str() + text.size();
}

std::size_t skip_blanks(const std::string& text, std::size_t at)
{
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

// The number and unit of a size, refused when the result exceeds max.
std::uint64_t size_parse(const std::string& text, std::uint64_t max)
{
    std::size_t at = skip_blanks(text, 0);
    if (at < text.size() && text[at] == '+')
        ++at;
    const std::size_t digits = at;
    std::uint64_t number = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
        if (number > (max - digit) / 10)
            throw ConfigError("file size too large: " + text);
        number = number * 10 + digit;
    }
    if (at == digits)
        throw ConfigError("not a file size: " + text);

    at = skip_blanks(text, at);
    std::size_t word_end = at;
    while (word_end < text.size() && !std::isspace(static_cast<unsigned char>(text[word_end])))
        ++word_end;
    const std::string unit = text.substr(at, word_end - at);

    struct Unit { const char* name; std::uint64_t factor; };
    static constexpr std::array<Unit, 10> UNITS = {{
        {"", 1},
        {"k", 1024}, {"kb", 1024}, {"kbit", 1024},
        {"m", 1048576}, {"mb", 1048576}, {"mbit", 1048576},
        {"g", 1073741824}, {"gb", 1073741824}, {"gbit", 1073741824},
    }};
    for (const Unit& u : UNITS) {
        if (strcasecmp(unit.c_str(), u.name) != 0)
            continue;
        if (number > max / u.factor)
            throw ConfigError("file size too large: " + text);
        return number * u.factor;
    }
    throw ConfigError("not a file size unit: " + unit);
}

struct TypeName { const char* name; int code; const char* nature; };

constexpr std::array<TypeName, 15> TYPES = {{
    {"INT", FIELD_INT, "an integer"},
    {"UINT", FIELD_UINT, "a positive integer"},
    {"BOOL", FIELD_BOOL, "true or false"},
    {"STRING", FIELD_STRING, "a string"},
    {"STRING_SELECT_ONE", FIELD_STRING_SELECT_ONE, "a string among these values : "},
    {"STRING_SELECT_MANY", FIELD_STRING_SELECT_MANY, "a list of strings among these values : "},
    {"STRING_LIST", FIELD_STRING_LIST, "a string list"},
    {"IP_RANGE_LIST", FIELD_IP_RANGE_LIST, "an IP range list (see manual)"},
    {"PORT_RANGE_LIST", FIELD_PORT_RANGE_LIST, "a port range list (see manual)"},
    {"STRING_RANGE", FIELD_STRING_RANGE, "a couple of strings among these values : "},
    {"INT_RANGE", FIELD_INT_RANGE, "a couple of integers between "},
    {"FILE_SIZE", FIELD_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
    {"MULTILINE_STRING", FIELD_MULTILINE_STRING, "a multi-line string"},
    {"LONG_FILE_SIZE", FIELD_LONG_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
    {"DOUBLE", FIELD_DOUBLE, "a floating point number"},
}};

bool choice_type(int type)
{
    return type == FIELD_STRING_SELECT_ONE || type == FIELD_STRING_SELECT_MANY || type == FIELD_STRING_RANGE;
}

} // namespace

int string_to_int(std::string text)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (!at_end(text, end) || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        throw ConfigError("not an integer: " + text);
    return static_cast<int>(value);
}

std::uint32_t string_to_uint(std::string text)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (!at_end(text, end) || errno == ERANGE)
        throw ConfigError("not a positive integer: " + text);
    const std::size_t sign = skip_blanks(text, 0);
    const unsigned long magnitude = sign < text.size() && text[sign] == '-' ? 0UL - value : value;
    if (magnitude > UINT32_MAX)
        throw ConfigError("not a 32-bit integer: " + text);
    return static_cast<std::uint32_t>(value);
}

double string_to_double(std::string text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (!at_end(text, end))
        throw ConfigError("not a floating point number: " + text);
    return value;
}

std::uint32_t string_to_filesize(std::string text)
{
    return static_cast<std::uint32_t>(size_parse(text, UINT32_MAX));
}

std::uint64_t string_to_longfilesize(std::string text)
{
    return size_parse(text, UINT64_MAX);
}

Field::Field(bool enabled, std::string name, std::string label, std::string help, std::string text, int type,
             bool optional)
    : enabled(enabled), name(std::move(name)), type(type), label(std::move(label)), help(std::move(help)),
      optional(optional), text(std::move(text))
{
    switch (type) {
    case FIELD_STRING:
    case FIELD_STRING_LIST:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
        input_size = 80;
        break;
    case FIELD_INT_RANGE: {
        const Couple bounds(this->text);
        range_min = string_to_int(bounds.first());
        range_max = string_to_int(bounds.second());
        break;
    }
    default:
        break;
    }
    // The typed members start as the default says, so that a field that is never loaded saves
    // a text that reads back as the values it was used with.
    if (type == FIELD_INT_RANGE) {
        int_value = range_min;
        int_value2 = range_max;
    } else if (type == FIELD_BOOL) {
        int_value = strcasecmp(this->text.c_str(), "true") == 0 ? 1 : 0;
    } else if (!choice_type(type)) {
        value_parse(this->text);
    }
}

Field::Field(bool enabled, std::string name, std::string label, std::string help, const StringSelectVector& choices,
             int type, bool optional)
    : enabled(enabled), name(std::move(name)), type(type), label(std::move(label)), help(std::move(help)),
      input_size(0), optional(optional), options(choices), options2(choices)
{
    // The text and the indexes follow the declared selections, so that saving a field that was
    // never loaded writes a text that reads back as the same choice.
    int first = -1;
    int last = -1;
    unsigned mask = 0;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (!options[i].selected)
            continue;
        if (first < 0)
            first = static_cast<int>(i);
        last = static_cast<int>(i);
        mask |= 1U << (i % 32);
        string_list.push_back(options[i].value);
    }
    switch (type) {
    case FIELD_STRING_SELECT_ONE:
        string_list.clear();
        if (first >= 0) {
            int_value = first;
            text = options[static_cast<std::size_t>(first)].value;
        }
        break;
    case FIELD_STRING_SELECT_MANY:
        int_value = static_cast<int>(mask);
        for (const std::string& value : string_list)
            text += (text.empty() ? "" : ",") + value;
        break;
    case FIELD_STRING_RANGE:
        string_list.clear();
        int_value = first < 0 ? 0 : first;
        int_value2 = last < 0 ? 0 : last;
        if (!options.empty()) {
            text = options[static_cast<std::size_t>(int_value)].value + "," +
                   options2[static_cast<std::size_t>(int_value2)].value;
        }
        break;
    default:
        FATAL_ASSERT(choice_type(type));
    }
}

int Field::type_get(const std::string& name)
{
    for (const TypeName& t : TYPES) {
        if (name == t.name)
            return t.code;
    }
    FATAL_ASSERT(false);
    return -1;
}

std::string Field::nature() const
{
    for (const TypeName& t : TYPES) {
        if (t.code != type)
            continue;
        if (choice_type(type))
            return t.nature + possible_values();
        if (type == FIELD_INT_RANGE)
            return t.nature + std::to_string(range_min) + " and " + std::to_string(range_max) + " inclusive";
        return t.nature;
    }
    return {};
}

std::string Field::possible_values() const
{
    std::string values;
    for (const StringSelect& option : options) {
        if (!values.empty())
            values += ',';
        values += option.value;
    }
    return values;
}

void Field::zero()
{
    active = false;
    string_list.clear();
    ip_ranges = IpRangeList();
    port_ranges = PortRangeList();
    if (type == FIELD_STRING_SELECT_MANY) {
        text.clear();
        int_value = 0;
        options.reset();
    }
}

void Field::value_parse(const std::string& value)
{
    switch (type) {
    case FIELD_INT:
        int_value = string_to_int(value);
        break;
    case FIELD_UINT:
        uint_value = string_to_uint(value);
        break;
    case FIELD_BOOL:
        if (value == "true" || value == "TRUE")
            int_value = 1;
        else if (value == "false" || value == "FALSE")
            int_value = 0;
        else
            throw ConfigError("not a boolean: " + value);
        break;
    case FIELD_STRING:
    case FIELD_MULTILINE_STRING:
        break;
    case FIELD_STRING_SELECT_ONE:
        for (std::size_t i = 0; i < options.size(); ++i) {
            options[i].selected = options[i].value == value;
            if (options[i].selected)
                int_value = static_cast<int>(i);
        }
        break;
    case FIELD_STRING_SELECT_MANY: {
        string_list.clear();
        string_list.parse(value, ",");
        unsigned mask = 0;
        for (std::size_t i = 0; i < options.size(); ++i) {
            options[i].selected = string_list.has(options[i].value) != 0;
            if (options[i].selected)
                mask |= 1U << (i % 32);
        }
        int_value = static_cast<int>(mask);
        break;
    }
    case FIELD_STRING_LIST:
        string_list.clear();
        string_list.parse(value, ",");
        break;
    case FIELD_IP_RANGE_LIST:
        ip_ranges = IpRangeList(value);
        break;
    case FIELD_PORT_RANGE_LIST:
        port_ranges = PortRangeList(value);
        break;
    case FIELD_STRING_RANGE: {
        const Couple couple(value);
        const int first = options.case_indexof(couple.first());
        const int second = options2.case_indexof(couple.second());
        int_value = first;
        int_value2 = second;
        break;
    }
    case FIELD_INT_RANGE: {
        const Couple couple(value);
        const int first = string_to_int(couple.first());
        const int second = string_to_int(couple.second());
        if (first < range_min || first > range_max || second < range_min || second > range_max)
            throw ConfigError("integer range out of bounds: " + value);
        int_value = first;
        int_value2 = second;
        break;
    }
    case FIELD_FILE_SIZE:
        uint_value = string_to_filesize(value);
        break;
    case FIELD_LONG_FILE_SIZE:
        long_value = string_to_longfilesize(value);
        break;
    case FIELD_DOUBLE:
        double_value = string_to_double(value);
        break;
    default:
        FATAL_ASSERT(false);
    }
}

bool Field::load(const XmlElement& cursor)
{
    if (!enabled)
        return true;
    std::string value = cursor.string_read(name);
    if (optional) {
        bool now_active = false;
        try {
            now_active = cursor.check_active(name);
        } catch (const ConfigError&) {
            return false;
        }
        active = now_active;
    }
    text = std::move(value);
    if (optional && !active)
        return true;
    try {
        value_parse(text);
    } catch (const ConfigError&) {
        error_log(cursor);
    }
    return true;
}

void Field::save(TiXmlElement* parent) const
{
    auto element = std::make_unique<TiXmlElement>(name);
    if (optional)
        element->SetAttribute("active", active ? "true" : "false");
    if (!text.empty())
        element->LinkEndChild(std::make_unique<TiXmlText>(text).release());
    parent->LinkEndChild(element.release());
}

void Field::error_log(const XmlElement& cursor) const
{
    const std::string message = "flawed XML file, section " + cursor.section_get() + ", element " +
                                cursor.element_get() + ": " + name + " must be " + nature() +
                                ", but it is given value " + text;
    putlog(LOG_ERROR, "%s", message.c_str());
    throw ConfigError(message);
}

void FieldVector::save(TiXmlElement* parent) const
{
    for (const Field& field : *this)
        field.save(parent);
}
