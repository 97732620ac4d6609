#include "ftp/ftplist.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/regex.h"
#include "util/stringutil.h"

namespace {

// Columns of the two layouts: with the group column a line needs 9 words, without it 8.
constexpr std::size_t LAYOUT_NONE = 0;
constexpr std::size_t LAYOUT_NO_GROUP = 8;
constexpr std::size_t LAYOUT_GROUP = 9;

// A listed time of day may stand that far ahead of our clock (the server's zone, clock skew)
// and still be this year's.
constexpr std::time_t DATE_AHEAD_SLACK = 24 * 60 * 60;

constexpr std::array<std::string_view, 12> MONTHS = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december",
};

// The server's text, control bytes escaped: a carriage return would forge a line of the log.
void log_unparsable(std::string_view line)
{
    putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", string_escape_control(line).c_str());
}

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool all_digits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Only decimal digits, at most max_digits of them, and a value that fits.
template <typename T>
bool read_decimal(std::string_view s, std::size_t max_digits, T& out)
{
    if (!all_digits(s) || s.size() > max_digits)
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// 0 to 11 for an English month name or its three-letter abbreviation, either case; else -1.
int month_index(std::string_view word)
{
    for (std::size_t i = 0; i < MONTHS.size(); ++i) {
        if (equal_nocase(word, MONTHS[i]) || (word.size() == 3 && equal_nocase(word, MONTHS[i].substr(0, 3))))
            return static_cast<int>(i);
    }
    return -1;
}

// The words of a line between runs of blanks, as views into it.
std::vector<std::string_view> split_words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while ((pos = line.find_first_not_of(' ', pos)) != std::string_view::npos) {
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        words.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

std::size_t offset_in(std::string_view line, std::string_view word)
{
    return static_cast<std::size_t>(word.data() - line.data());
}

// The layout of a listing, read off its first line. The size column tells the two apart where
// it can (column 4 with a group, column 3 without), so that a name with blanks in the first
// line does not pass for an extra column; otherwise the count of words before "->" decides.
std::size_t layout_of(const std::vector<std::string_view>& words)
{
    const auto arrow = std::find(words.begin(), words.end(), std::string_view("->"));
    const auto before_arrow = static_cast<std::size_t>(arrow - words.begin());
    if (before_arrow < LAYOUT_NO_GROUP)
        return LAYOUT_NONE;
    if (words.size() >= LAYOUT_GROUP && all_digits(words[4]))
        return LAYOUT_GROUP;
    if (all_digits(words[3]))
        return LAYOUT_NO_GROUP;
    return before_arrow == LAYOUT_NO_GROUP ? LAYOUT_NO_GROUP : LAYOUT_GROUP;
}

// The listed date as ls writes it: "Mar 14 09:30" for recent files, "Jan 2 2009" otherwise.
// ls gives the time of day only to files of the last six months, so a date that would lie
// ahead of now belongs to the year before.
std::optional<std::tm> listing_date(std::string_view month, std::string_view day, std::string_view time_or_year,
                                    std::time_t now, int current_year)
{
    std::tm tm{};
    unsigned mday = 0;
    tm.tm_mon = month_index(month);
    if (tm.tm_mon < 0 || !read_decimal(day, 2, mday) || mday < 1 || mday > 31)
        return std::nullopt;
    tm.tm_mday = static_cast<int>(mday);
    tm.tm_isdst = -1;

    const std::size_t colon = time_or_year.find(':');
    if (colon == std::string_view::npos) {
        unsigned year = 0;
        if (!read_decimal(time_or_year, 4, year))
            return std::nullopt;
        tm.tm_year = static_cast<int>(year) - 1900;
        return tm;
    }
    unsigned hour = 0, minute = 0;
    if (!read_decimal(time_or_year.substr(0, colon), 2, hour) || hour > 23 ||
        !read_decimal(time_or_year.substr(colon + 1), 2, minute) || minute > 59)
        return std::nullopt;
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_year = current_year;
    std::tm probe = tm;
    if (std::mktime(&probe) > now + DATE_AHEAD_SLACK)
        --tm.tm_year;
    return tm;
}

// Parses one line (without its line end) of a listing whose layout is known; false when the
// line is refused.
bool parse_line(DirList& list, std::string_view line, const std::vector<std::string_view>& words,
                std::size_t layout, std::time_t now, int current_year)
{
    // A name holding a carriage return or a zero byte could not be asked for again intact.
    if (layout == LAYOUT_NONE || words.size() < layout || line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos)
        return false;

    const std::size_t shift = layout == LAYOUT_GROUP ? 1 : 0;
    const std::string_view permissions = words[0];
    const std::string_view owner = words[2];
    const std::string_view group = layout == LAYOUT_GROUP ? words[3] : std::string_view("unknown");

    std::uint64_t size = 0;
    if (!read_decimal(words[3 + shift], 20, size))
        return false;
    const auto tm = listing_date(words[4 + shift], words[5 + shift], words[6 + shift], now, current_year);
    if (!tm)
        return false;

    // The name runs to the end of the line as the server wrote it, blanks and all.
    const std::size_t first = 7 + shift;
    const std::size_t name_at = offset_in(line, words[first]);
    std::string_view name = line.substr(name_at);
    std::string_view link;
    if (permissions.front() == 'l') {
        // A link reads "name -> target"; an arrow that begins the name is part of it.
        for (std::size_t i = first + 1; i < words.size(); ++i) {
            if (words[i] != "->")
                continue;
            name = line.substr(name_at, offset_in(line, words[i - 1]) + words[i - 1].size() - name_at);
            if (i + 1 < words.size())
                link = line.substr(offset_in(line, words[i + 1]));
            break;
        }
    }

    dir_t& entry = dir_list_add(list, permissions.front() == 'd' ? 1 : 0, mode_parse(permissions), owner, group,
                                size, *tm, name);
    entry.link.assign(link);
    return true;
}

struct RegexFree {
    void operator()(Regex* regex) const noexcept { reg_free(regex); }
};

bool name_less(const dir_t& a, const dir_t& b)
{
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
        return static_cast<unsigned char>(ascii_lower(x)) < static_cast<unsigned char>(ascii_lower(y));
    });
}

bool size_less(const dir_t& a, const dir_t& b)
{
    const bool a_dir = a.isdir != 0, b_dir = b.isdir != 0;
    if (a_dir != b_dir)
        return a_dir;
    return a.size < b.size;
}

bool time_less(const dir_t& a, const dir_t& b)
{
    return a.mtime < b.mtime;
}

}  // namespace

DirList dir_list_parse(const Filebuf& buffer)
{
    return dir_list_parse(buffer.view(), std::time(nullptr));
}

DirList dir_list_parse(std::string_view text, std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);

    DirList list;
    bool layout_known = false;
    std::size_t layout = LAYOUT_NONE;
    std::size_t start = 0;
    // Lines end at '\n'; no empty line follows a final one.
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;

        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() >= 5 && equal_nocase(line.substr(0, 5), "total"))
            continue;
        const std::vector<std::string_view> words = split_words(line);
        if (words.empty()) {
            log_unparsable(line);
            continue;
        }
        if (!layout_known) {
            layout = layout_of(words);
            layout_known = true;
        }
        if (!parse_line(list, line, words, layout, now, local.tm_year))
            log_unparsable(line);
    }
    return list;
}

dir_t& dir_list_add(DirList& list, int isdir, int mode, std::string_view owner, std::string_view group,
                    std::uint64_t size, const std::tm& tm, std::string_view name)
{
    dir_t entry;
    entry.isdir = isdir;
    entry.mode = mode;
    entry.owner.assign(owner);
    entry.group.assign(group);
    entry.size = size;
    entry.tm = tm;
    entry.tm.tm_isdst = -1;
    entry.mtime = std::mktime(&entry.tm);
    entry.name.assign(name);
    if (isdir != 0 && (entry.name.empty() || entry.name.back() != '/'))
        entry.name.push_back('/');
    list.push_back(std::move(entry));
    return list.back();
}

DirList& dir_list_filter(DirList& list, const std::string& pattern)
{
    // The pattern is the client's: a backtracking one must not hold the thread for long.
    const std::unique_ptr<Regex, RegexFree> regex(reg_compile(pattern.c_str(), REG_CASELESS | REG_UNTRUSTED));
    if (!regex)
        return list;
    std::erase_if(list, [&](const dir_t& entry) { return reg_exec(regex.get(), entry.name.c_str()) != 0; });
    return list;
}

DirList& dir_list_sort(DirList& list, int descending, int field)
{
    // std::list::sort is stable.
    const auto sort_by = [&](bool (*less)(const dir_t&, const dir_t&)) {
        if (descending != 0)
            list.sort([less](const dir_t& a, const dir_t& b) { return less(b, a); });
        else
            list.sort(less);
    };
    switch (field) {
    case DIR_SORT_NAME: sort_by(name_less); break;
    case DIR_SORT_SIZE: sort_by(size_less); break;
    case DIR_SORT_TIME: sort_by(time_less); break;
    default: break;
    }
    return list;
}
