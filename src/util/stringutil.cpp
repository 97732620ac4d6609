#include "util/stringutil.h"

#include <algorithm>
#include <limits>
#include <cctype>
#include <cstring>

#include "util/configerror.h"
#include "util/log.h"

namespace {

// The most a formatted append adds to a buffer.
constexpr std::size_t FORMAT_MAX = 8191;

// ASCII letters only, as tolower folds them in the "C" locale the process never leaves, without
// its call and locale lookup for every byte of every header name compared.
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

char* s_strncpy(char* dst, const char* src, std::size_t size)
{
    if (size == 0)
        return dst;
    const std::size_t n = s_strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return dst;
}

char* s_strncat(char* dst, const char* src, std::size_t size)
{
    if (size == 0)
        return dst;
    // dst may fill its whole buffer without a terminator: never read past size.
    const std::size_t have = s_strnlen(dst, size);
    if (have >= size - 1) {
        dst[size - 1] = '\0';
        return dst;
    }
    const std::size_t n = s_strnlen(src, size - 1 - have);
    std::memcpy(dst + have, src, n);
    dst[have + n] = '\0';
    return dst;
}

std::size_t s_strnlen(const char* s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n && s[i] != '\0')
        ++i;
    return i;
}

std::string& string_append(std::string& str, std::string_view text)
{
    return str.append(text);
}

char* string_tolower(char* s)
{
    for (char* p = s; *p != '\0'; ++p)
        *p = lower(*p);
    return s;
}

std::string& string_tolower(std::string& s)
{
    for (char& c : s)
        c = lower(c);
    return s;
}

bool equal_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

bool contains_nocase(std::string_view haystack, std::string_view needle)
{
    return s_strcasestr(haystack, needle) != std::string_view::npos;
}

std::size_t s_strcasestr(std::string_view haystack, std::string_view needle)
{
    if (haystack.empty() || needle.size() > haystack.size())
        return std::string_view::npos;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (equal_nocase(haystack.substr(i, needle.size()), needle))
            return i;
    }
    return std::string_view::npos;
}

int isempty(std::string_view s, std::size_t n)
{
    const std::size_t end = std::min(n, s.size());
    for (std::size_t i = 0; i < end && s[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c != ' ' && std::isprint(c))
            return 0;
    }
    return 1;
}

std::vector<std::string> string_break(std::string_view s, char sep)
{
    std::vector<std::string> items;
    std::size_t pos = 0;
    while (pos < s.size()) {
        pos = s.find_first_not_of(sep, pos);
        if (pos == std::string_view::npos)
            break;
        std::size_t end = s.find(sep, pos);
        if (end == std::string_view::npos)
            end = s.size();
        items.emplace_back(s.substr(pos, end - pos));
        pos = end;
    }
    if (items.empty())
        items.emplace_back();
    return items;
}

std::size_t array_length(const std::vector<std::string>& a)
{
    return a.size();
}

std::string array_merge(const std::vector<std::string>& a, std::string_view sep)
{
    std::string merged;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i > 0)
            merged.append(sep);
        merged.append(std::string_view(a[i]).substr(0, FORMAT_MAX));
    }
    return merged;
}

int array_find(const std::vector<std::string>& a, std::string_view s)
{
    return std::find(a.begin(), a.end(), s) != a.end() ? 1 : 0;
}

std::vector<std::string>& array_add(std::vector<std::string>& a, std::string_view s)
{
    a.emplace_back(s);
    return a;
}

std::vector<std::string>& array_delete(std::vector<std::string>& a, std::string_view s)
{
    std::erase(a, s);
    return a;
}

std::vector<unsigned char> signed_to_unsigned_char(std::string_view src)
{
    return std::vector<unsigned char>(src.begin(), src.end());
}

StringList::StringList(std::string_view text, std::string_view sep)
{
    parse(text, sep);
}

void StringList::parse(std::string_view text, std::string_view sep)
{
    if (sep.empty()) {
        if (!text.empty())
            emplace_back(text);
        return;
    }
    while (!text.empty()) {
        const std::size_t at = text.find(sep);
        if (at == std::string_view::npos) {
            emplace_back(text);
            return;
        }
        emplace_back(text.substr(0, at));
        text.remove_prefix(at + sep.size());
    }
}

int StringList::has(std::string_view s) const
{
    return std::find(begin(), end(), s) != end() ? 1 : 0;
}

void StringList::display(const std::string& item, std::string& buf)
{
    buf.append(item).push_back(',');
}

void StringList::get_strlist(const std::string& item, std::string& buf)
{
    buf = item;
}

int StringList::show_p(const char* label, const std::string& item)
{
    putlog(LOG_PROFILES, "%s Profile: %s", label, item.c_str());
    return 1;
}

Couple::Couple(std::string_view text) : StringList(text, ",")
{
    if (size() != 2)
        throw ConfigError("expected two comma-separated values: " + std::string(text));
}

std::string Couple::first() const
{
    return front();
}

std::string Couple::second() const
{
    return back();
}

void StringSelectVector::reset()
{
    for (StringSelect& choice : *this)
        choice.selected = false;
}

int StringSelectVector::case_indexof(std::string_view value) const
{
    for (std::size_t i = 0; i < size(); ++i) {
        if (equal_nocase((*this)[i].value, value))
            return static_cast<int>(i);
    }
    throw ConfigError("no such choice: " + std::string(value));
}

std::string string_escape_control(std::string_view text)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

int atoi_lenient(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    constexpr long long bound = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), bound);
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(std::min(value, bound - 1));
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
