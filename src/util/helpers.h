// Time arithmetic, '@NAME@' expansion from a connection's variable map, HTML escaping, command
// line splitting and small text conversions.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <vector>

#include "util/variables.h"

class Filebuf;

// One element of a partly specified point in time, in the units of struct tm.
struct tm_element {
    int set = 0;     // non-zero when the element is given
    int value = 0;
};

// The bound of a time range: year (since 1900), month (0-11), day of the month (1-31),
// weekday (0-6, Sunday 0), hour and minute.
struct tm_partial {
    tm_element year, mon, mday, wday, hour, min;
};

// The bounds read as points in time, both inclusive; elements that a bound does not set are
// skipped.
int in_absolutetimerange(const std::tm& tm, const tm_partial& start, const tm_partial& end);
// Every element that a bound sets bounds the same element of tm by itself: ranges never wrap.
int in_alltimerange(const std::tm& tm, const tm_partial& start, const tm_partial& end);

// Milliseconds from a to b, truncated toward zero.
int timeval_diff_ms(const timeval& a, const timeval& b);
// Negative, zero or positive as a is before, at or after b.
long timeval_cmp(const timeval& a, const timeval& b);
// "hh:mm:ss.hh" for a duration; hours may have more digits.
std::string timeval_to_string(const timeval& tv);

// Seconds added to the system clock by utc_time; set once at bring-up.
extern std::time_t gmtoffset;
std::time_t utc_time(std::time_t* out);
std::time_t local_mktime(std::tm* tm);

// 2 to the power n (1 for n <= 0), saturated at the largest long.
long xpow(int n);
// "%.1f %s" in B, KB, MB or GB.
std::string filesize(std::uint64_t bytes);
// The permission bits of a ten-character listing mode such as "drwxr-x---"; 0 when shorter.
int mode_parse(std::string_view text);
std::string mode_create(int bits);
// "January".."December" for 1..12, "Sunday".."Saturday" for 1..7, else "Invalid".
const char* month_name(int n);
const char* weekday_name(int n);
// 32 lower-case hexadecimal characters.
std::string md5_string(std::string_view text);

// Expands '@NAME@' placeholders of buffer in place from map ("@@" gives '@'). A name the map
// lacks is added with an empty value. An '@' without a closing one within 63 bytes stays as it is.
void variables_parse(VariableMap& map, Filebuf& buffer);

// flags: 1 newlines become "<br>", 2 blanks become "&nbsp;", 4 regular-expression characters
// are escaped with a backslash. With flags exactly 1, runs without a blank are broken every
// linelength characters (the configured line length; 0 or less: never).
std::string string_to_html(std::string_view text, int flags);
std::string string_to_html(std::string_view text, int flags, int linelength);
// Where the two-argument form finds the configured line length: the general section sets it
// when it is created; until then nothing is wrapped.
using linelength_source_t = int (*)();
void html_set_linelength(linelength_source_t source);

// The words of a command line: blanks separate, quotes group, a backslash outside quotes
// escapes; at most 255 characters a word.
std::vector<std::string> cmdline_parse(std::string_view text);
