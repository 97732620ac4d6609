// Bounded copies, splitting and joining of separated text, case-insensitive search, and the
// small list classes of the configuration values.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Bounded copies for fixed-width fields: size is that of the whole destination, terminator
// included, and the result is always terminated. A size of 0 leaves dst untouched.
char* s_strncpy(char* dst, const char* src, std::size_t size);
// dst ends up holding at most size - 1 characters; one already longer is cut there.
char* s_strncat(char* dst, const char* src, std::size_t size);
std::size_t s_strnlen(const char* s, std::size_t n);

std::string& string_append(std::string& str, std::string_view text);
// ASCII letters only; other bytes are left as they are.
char* string_tolower(char* s);
std::string& string_tolower(std::string& s);
// Equal without regard to the case of ASCII letters; every other byte must match, zero bytes
// included, over the whole length.
bool equal_nocase(std::string_view a, std::string_view b);
// text begins with prefix, compared as equal_nocase does.
bool starts_with_nocase(std::string_view text, std::string_view prefix);
// needle occurs in haystack, as s_strcasestr finds it.
bool contains_nocase(std::string_view haystack, std::string_view needle);
// Position of the first caseless match of needle, npos when none. An empty needle matches at 0
// of a non-empty haystack; nothing matches in an empty haystack.
std::size_t s_strcasestr(std::string_view haystack, std::string_view needle);
// 1 when the first n characters (fewer when a zero byte or the end comes first) are all
// blanks or unprintable, else 0.
int isempty(std::string_view s, std::size_t n);

// Splits at sep with runs of separators merged and no empty item; text without any item gives
// one empty string, so the result is never empty.
std::vector<std::string> string_break(std::string_view s, char sep);
std::size_t array_length(const std::vector<std::string>& a);
// Joined by sep; each item is cut at 8,191 characters, as every formatted append is.
std::string array_merge(const std::vector<std::string>& a, std::string_view sep);
int array_find(const std::vector<std::string>& a, std::string_view s);
std::vector<std::string>& array_add(std::vector<std::string>& a, std::string_view s);
// Removes every item equal to s.
std::vector<std::string>& array_delete(std::vector<std::string>& a, std::string_view s);
std::vector<unsigned char> signed_to_unsigned_char(std::string_view src);

// Ordered strings of a configuration value; duplicates and empty items are kept.
class StringList : public std::list<std::string> {
public:
    StringList() = default;
    StringList(std::string_view text, std::string_view sep);

    // Every separator counts: "a,,b" gives a, "" and b; a trailing separator adds nothing.
    void parse(std::string_view text, std::string_view sep);
    int has(std::string_view s) const;

    // Applied to each item in turn by their callers.
    static void display(const std::string& item, std::string& buf);       // appends "item,"
    static void get_strlist(const std::string& item, std::string& buf);   // buf becomes item
    static int show_p(const char* label, const std::string& item);
};

// Exactly two comma-separated items; anything else throws ConfigError.
class Couple : public StringList {
public:
    explicit Couple(std::string_view text);
    std::string first() const;
    std::string second() const;
};

// One option of a choice list.
struct StringSelect {
    std::string value;
    std::string label;
    std::string help;
    bool selected = false;

    StringSelect() = default;
    StringSelect(std::string value, std::string label, std::string help, bool selected)
        : value(std::move(value)), label(std::move(label)), help(std::move(help)), selected(selected)
    {
    }
};

class StringSelectVector : public std::vector<StringSelect> {
public:
    using std::vector<StringSelect>::vector;
    void reset();
    // Position of the first option whose value equals value without regard to case; throws
    // ConfigError when there is none.
    int case_indexof(std::string_view value) const;
};

// The text with every control byte and DEL written as \xHH: text from the network must not end
// or fake a log line or record.
std::string string_escape_control(std::string_view text);

// A number read as atoi reads it, for the places where that leniency is the rule: leading blanks,
// a sign, digits; whatever follows is ignored and no digits give 0. Saturates at the int range
// instead of overflowing.
int atoi_lenient(std::string_view text);

// The value of one hexadecimal digit (either case), -1 for any other character.
int hex_value(char c);
