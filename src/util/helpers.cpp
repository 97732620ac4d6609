#include "util/helpers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>

#include "util/filebuf.h"
#include "util/mem.h"

std::time_t gmtoffset = 0;

namespace {

std::atomic<linelength_source_t> linelength_source{nullptr};

// The elements of a bound in the order they are compared.
constexpr tm_element tm_partial::* ELEMENTS[] = {
    &tm_partial::year, &tm_partial::mon, &tm_partial::mday, &tm_partial::wday, &tm_partial::hour, &tm_partial::min,
};
constexpr int std::tm::* TM_FIELDS[] = {
    &std::tm::tm_year, &std::tm::tm_mon, &std::tm::tm_mday, &std::tm::tm_wday, &std::tm::tm_hour, &std::tm::tm_min,
};

// -1, 0 or 1 as tm lies before, at or after the bound, at the first element the bound sets
// that differs.
int compare_to_bound(const std::tm& tm, const tm_partial& bound)
{
    for (std::size_t i = 0; i < std::size(ELEMENTS); ++i) {
        const tm_element& element = bound.*ELEMENTS[i];
        const int value = tm.*TM_FIELDS[i];
        if (!element.set || value == element.value)
            continue;
        return value < element.value ? -1 : 1;
    }
    return 0;
}

// A name between two '@' spans at most this many bytes from the opening '@'.
constexpr std::size_t VARIABLE_WINDOW = 64;
constexpr std::size_t FORMAT_MAX = 8191;
constexpr std::size_t WORD_MAX = 255;

} // namespace

int in_absolutetimerange(const std::tm& tm, const tm_partial& start, const tm_partial& end)
{
    return compare_to_bound(tm, start) >= 0 && compare_to_bound(tm, end) <= 0 ? 1 : 0;
}

int in_alltimerange(const std::tm& tm, const tm_partial& start, const tm_partial& end)
{
    for (std::size_t i = 0; i < std::size(ELEMENTS); ++i) {
        const int value = tm.*TM_FIELDS[i];
        const tm_element& low = start.*ELEMENTS[i];
        const tm_element& high = end.*ELEMENTS[i];
        if ((low.set && value < low.value) || (high.set && value > high.value))
            return 0;
    }
    return 1;
}

int timeval_diff_ms(const timeval& a, const timeval& b)
{
    const std::int64_t us = (static_cast<std::int64_t>(b.tv_sec) - a.tv_sec) * 1000000 +
                            (static_cast<std::int64_t>(b.tv_usec) - a.tv_usec);
    return static_cast<int>(std::clamp<std::int64_t>(us / 1000, INT_MIN, INT_MAX));
}

long timeval_cmp(const timeval& a, const timeval& b)
{
    if (a.tv_sec != b.tv_sec)
        return static_cast<long>(a.tv_sec - b.tv_sec);
    return static_cast<long>(a.tv_usec - b.tv_usec);
}

std::string timeval_to_string(const timeval& tv)
{
    const long long seconds = tv.tv_sec;
    char text[64];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.2ld", seconds / 3600, seconds % 3600 / 60, seconds % 60,
                  static_cast<long>(tv.tv_usec / 10000));
    return text;
}

std::time_t utc_time(std::time_t* out)
{
    const std::time_t now = std::time(nullptr) + gmtoffset;
    if (out != nullptr)
        *out = now;
    return now;
}

std::time_t local_mktime(std::tm* tm)
{
    return std::mktime(tm) - gmtoffset;
}

long xpow(int n)
{
    long result = 1;
    for (int i = 0; i < n; ++i) {
        if (result > LONG_MAX / 2)
            return LONG_MAX;
        result *= 2;
    }
    return result;
}

std::string filesize(std::uint64_t bytes)
{
    static constexpr struct { std::uint64_t step; const char* unit; } UNITS[] = {
        {1ull << 30, "GB"}, {1ull << 20, "MB"}, {1ull << 10, "KB"},
    };
    double value = static_cast<double>(bytes);
    const char* unit = "B";
    for (const auto& u : UNITS) {
        if (bytes >= u.step) {
            value = static_cast<double>(bytes) / static_cast<double>(u.step);
            unit = u.unit;
            break;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

int mode_parse(std::string_view text)
{
    if (text.size() < 10)
        return 0;
    static constexpr struct { std::size_t pos; char c; int bits; } TABLE[] = {
        {1, 'r', 0400}, {2, 'w', 0200}, {3, 'x', 0100}, {3, 's', 04100},
        {4, 'r', 040},  {5, 'w', 020},  {6, 'x', 010},  {6, 'S', 02010},
        {7, 'r', 04},   {8, 'w', 02},   {9, 'x', 01},   {9, 't', 01001},
    };
    int bits = 0;
    for (const auto& entry : TABLE) {
        if (text[entry.pos] == entry.c)
            bits |= entry.bits;
    }
    return bits;
}

std::string mode_create(int bits)
{
    std::string mode = "----------";
    static constexpr char RWX[] = "rwx";
    for (int i = 0; i < 9; ++i) {
        if (bits & (0400 >> i))
            mode[1 + i] = RWX[i % 3];
    }
    if (bits & 04000)
        mode[3] = 's';
    if (bits & 02000)
        mode[6] = 'S';
    if (bits & 01000)
        mode[9] = 't';
    return mode;
}

const char* month_name(int n)
{
    static constexpr const char* NAMES[] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};
    return n >= 1 && n <= 12 ? NAMES[n - 1] : "Invalid";
}

const char* weekday_name(int n)
{
    static constexpr const char* NAMES[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    return n >= 1 && n <= 7 ? NAMES[n - 1] : "Invalid";
}

std::string md5_string(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    FATAL_ASSERT(EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) == 1);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += HEX[digest[i] >> 4];
        hex += HEX[digest[i] & 0xf];
    }
    return hex;
}

void variables_parse(VariableMap& map, Filebuf& buffer)
{
    const std::string_view bytes = buffer.view();
    Filebuf out;
    std::size_t copied = 0;   // bytes before this position are already in out
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] != '@') {
            ++i;
            continue;
        }
        out.Add(bytes.substr(copied, i - copied));
        if (i + 1 < bytes.size() && bytes[i + 1] == '@') {
            out.Add("@", 1);
            i += 2;
            copied = i;
            continue;
        }
        const std::size_t close = bytes.substr(0, std::min(bytes.size(), i + VARIABLE_WINDOW)).find('@', i + 1);
        if (close == std::string_view::npos) {
            // A lone '@', as in a mail address, is text.
            copied = i;
            ++i;
            continue;
        }
        const std::string_view name = bytes.substr(i + 1, close - i - 1);
        auto at = map.find(name);
        if (at == map.end())
            at = map.try_emplace(VariableText(name, map.get_allocator())).first;
        const std::string_view value = at->second;
        out.Add(value.substr(0, FORMAT_MAX));
        i = close + 1;
        copied = i;
    }
    out.Add(bytes.substr(copied));
    buffer.Swap(&out);
}

void html_set_linelength(linelength_source_t source) { linelength_source.store(source, std::memory_order_release); }

std::string string_to_html(std::string_view text, int flags)
{
    const linelength_source_t source = flags == 1 ? linelength_source.load(std::memory_order_acquire) : nullptr;
    return string_to_html(text, flags, source != nullptr ? source() : 0);
}

std::string string_to_html(std::string_view text, int flags, int linelength)
{
    static constexpr std::string_view REGEX_CHARS = "';.?/\\[]{}()+*|$";
    const bool wrap = flags == 1 && linelength > 0;
    std::string html;
    html.reserve(text.size());
    long run = 0;
    for (const char c : text) {
        if ((flags & 4) && REGEX_CHARS.find(c) != std::string_view::npos) {
            html += '\\';
            html += c;
        } else if (c == '"') {
            html += "&quot;";
        } else if (c == '<') {
            html += "&lt;";
        } else if (c == '>') {
            html += "&gt;";
        } else if (c == '&') {
            html += "&amp;";
        } else if ((flags & 1) && c == '\n') {
            html += "<br>";
        } else if ((flags & 2) && c == ' ') {
            html += "&nbsp;";
        } else {
            html += c;
        }
        if (wrap) {
            run = c == ' ' ? 1 : run + 1;
            if (run % linelength == 0)
                html += "<br>";
        }
    }
    return html;
}

std::vector<std::string> cmdline_parse(std::string_view text)
{
    std::vector<std::string> words;
    std::string word;
    char quote = '\0';      // the open quote character, or '\0'
    auto add = [&word](char c) {
        if (word.size() < WORD_MAX)
            word += c;
    };
    // Only quotes, or nothing, make no word.
    auto finish = [&]() {
        if (!word.empty())
            words.push_back(word);
        word.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != '\0') {
            if (c == quote)
                quote = '\0';
            else
                add(c);
            continue;
        }
        if (c == ' ' || c == '\t') {
            finish();
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '\\') {
            if (i + 1 < text.size())
                add(text[++i]);
        } else {
            add(c);
        }
    }
    finish();
    return words;
}
