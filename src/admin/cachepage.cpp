#include "admin/cachepage.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "admin/interface.h"
#include "cache/cache.h"
#include "cache/store.h"
#include "util/configerror.h"
#include "config/field.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/regex.h"
#include "util/stringutil.h"

namespace {

struct Month {
    const char* name;
    const char* option;
};

// Month number = position; the option's "%s" is where "selected" goes.
const Month calendar_months[] = {
    {"January", "<option value=\"January\"%s>January</option>"},
    {"February", "<option value=\"February\"%s>February</option>"},
    {"March", "<option value=\"March\"%s>March</option>"},
    {"April", "<option value=\"April\"%s>April</option>"},
    {"May", "<option value=\"May\"%s>May</option>"},
    {"June", "<option value=\"June\"%s>June</option>"},
    {"July", "<option value=\"July\"%s>July</option>"},
    {"August", "<option value=\"August\"%s>August</option>"},
    {"September", "<option value=\"September\"%s>September</option>"},
    {"October", "<option value=\"October\"%s>October</option>"},
    {"November", "<option value=\"November\"%s>November</option>"},
    {"December", "<option value=\"December\"%s>December</option>"},
    {nullptr, nullptr},
};

constexpr std::uint32_t SIZE_UNBOUNDED = 4294967295u;

// One time bound of the search, as its form fields show it.
struct Bound {
    const char* prefix;   // "ma", "mb", "aa", "ab"
    const char* label;
    const char* switch_name;
    const char* switch_label;
    bool before;
    int month = 0, day = 1, year = 1970, hour = 0, minute = 0;
    bool on = false;
    std::time_t when = 0;
};

// An empty name takes the default; a name not in the table is the thirteenth month, which the
// conversion carries into the next year.
int month_number(const std::string& name, int fallback)
{
    if (name.empty())
        return fallback;
    for (int i = 0; calendar_months[i].name != nullptr; ++i) {
        if (equal_nocase(name, calendar_months[i].name))
            return i;
    }
    return 12;
}

void bound_read(Bound& bound, const CGIMap& args, const std::tm& now)
{
    const std::string p = bound.prefix;
    bound.on = args.get(bound.switch_name) == "on";
    const int d_month = bound.before ? now.tm_mon : 0;
    const int d_day = bound.before ? now.tm_mday : 1;
    const int d_year = bound.before ? now.tm_year + 1900 : 1970;
    const int d_hour = bound.before ? now.tm_hour : 0;
    const int d_minute = bound.before ? now.tm_min : 0;
    if (bound.on) {
        bound.month = d_month, bound.day = d_day, bound.year = d_year, bound.hour = d_hour, bound.minute = d_minute;
    } else {
        const auto field = [&args, &p](const char* name, int fallback) {
            const int value = xatoi(args.get(p + name));
            return value == -1 ? fallback : value;
        };
        bound.month = month_number(args.get(p + "month"), d_month);
        bound.day = field("day", d_day);
        bound.year = field("year", d_year);
        bound.hour = field("hour", d_hour);
        bound.minute = field("minute", d_minute);
    }
    std::tm broken{};
    broken.tm_year = bound.year - 1900;
    broken.tm_mon = bound.month;
    broken.tm_mday = bound.day;
    broken.tm_hour = bound.hour;
    broken.tm_min = bound.minute;
    broken.tm_isdst = 0;
    bound.when = std::mktime(&broken);
    // The form shows minutes: a before-bound takes in its whole minute, so that the default
    // bound (the current minute) does not leave out what was fetched or used within it.
    if (bound.before)
        bound.when += 59;
}

// A size that does not read as one leaves the bound open rather than failing the page.
std::uint32_t size_read(const std::string& text, std::uint32_t fallback)
{
    if (text.empty())
        return fallback;
    try {
        return string_to_filesize(text);
    } catch (const ConfigError&) {
        return fallback;
    }
}

void bound_row(Filebuf& page, const Bound& bound)
{
    const std::string p = bound.prefix;
    page.Addf("<tr><td>%s</td><td>Date: <select name=\"%smonth\">", bound.label, p.c_str());
    for (int i = 0; calendar_months[i].name != nullptr; ++i)
        page.Addf(calendar_months[i].option, i == bound.month ? " selected" : "");
    page.Addf("</select> <select name=\"%sday\">", p.c_str());
    for (int day = 1; day <= 31; ++day)
        page.Addf("<option value=\"%d\"%s>%d</option>", day, day == bound.day ? " selected" : "", day);
    page.Addf("</select> <input type=\"text\" name=\"%syear\" size=\"4\" value=\"%d\"> Time: "
              "<input type=\"text\" name=\"%shour\" size=\"2\" value=\"%02d\">"
              "<input type=\"text\" name=\"%sminute\" size=\"2\" value=\"%02d\">"
              "%s<input type=\"checkbox\" name=\"%s\"%s></td></tr>\n",
              p.c_str(), bound.year, p.c_str(), bound.hour, p.c_str(), bound.minute, bound.switch_label,
              bound.switch_name, bound.on ? " checked" : "");
}

// The link that shows an object's cache information: the "cache" URL command before its host.
std::string info_link(std::string_view url)
{
    const std::size_t sep = url.find("://");
    return std::string(url.substr(0, sep)) + "://xx--cache." + std::string(url.substr(sep + 3));
}

}  // namespace

void interface_page_cache(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    const std::time_t now_time = std::time(nullptr);
    std::tm now{};
    localtime_r(&now_time, &now);
    Bound bounds[] = {
        {"ma", "Modified after", "maepoch", " Epoch time: ", false},
        {"mb", "Modified before", "mbcurtime", " Current time: ", true},
        {"aa", "Accessed after", "aaepoch", " Epoch time: ", false},
        {"ab", "Accessed before", "abcurtime", " Current time: ", true},
    };
    for (Bound& bound : bounds)
        bound_read(bound, args, now);
    const bool all_sizes = args.get("allsizes") == "on";
    const std::uint32_t min_size = all_sizes ? 0 : size_read(args.get("minsize"), 0);
    const std::uint32_t max_size = all_sizes ? SIZE_UNBOUNDED : size_read(args.get("maxsize"), SIZE_UNBOUNDED);
    const std::string& pattern = args.get("pattern");
    const bool show = args.get("show") == "yes";
    const bool remove = args.get("delete") == "on";

    CacheSection* cache = cache_section;
    if (cache == nullptr)
        return;
    cache->mutex_lock();

    page->Add("<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Cache information</td></tr>\n");
    const std::uint64_t memory_size = cache->values_.memory_size;
    const unsigned memory_percent =
        cache->mapped_bytes_ != 0 && memory_size != 0
            ? static_cast<unsigned>(cache->mapped_bytes_ * 100 / memory_size)
            : 0;
    page->Addf("<tr><td>Memory cache</td><td>%d entries / %u bytes / %u%% used</td></tr>\n",
               cache->mapped_objects_, static_cast<unsigned>(cache->mapped_bytes_), memory_percent);
    for (const auto& store : cache->stores_) {
        if (store->path.empty())
            continue;
        const unsigned percent =
            store->bytes != 0 && store->size != 0
                ? static_cast<unsigned>(static_cast<float>(store->bytes) / static_cast<float>(store->size) * 100.0f)
                : 0;
        page->Add("<tr><td>Disk cache ");
        page->Add(string_to_html(store->path, 0));
        page->Addf("</td><td>%d entries / %llu bytes / %u%% used</td></tr>\n", store->objects,
                   static_cast<unsigned long long>(store->bytes), percent);
    }
    page->Add("</table>\n<br>\n");

    page->Add("<form method=\"POST\" action=\"cache\">\n"
              "<input type=\"hidden\" name=\"show\" value=\"yes\">\n<table class=\"bigdialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Regular expression match</td></tr>\n"
              "<tr><td>Pattern</td><td><input type=\"text\" name=\"pattern\" size=\"80\" value=\"");
    page->Add(string_to_html(pattern, 0));
    page->Add("\"></td></tr>\n");
    for (const Bound& bound : bounds)
        bound_row(*page, bound);
    page->Addf("<tr><td>File size</td><td>All sizes: <input type=\"checkbox\" name=\"allsizes\"%s> "
               "<input type=\"text\" name=\"minsize\" size=\"10\" value=\"%u\"> - "
               "<input type=\"text\" name=\"maxsize\" size=\"10\" value=\"%u\"> bytes</td></tr>\n",
               all_sizes ? " checked" : "", min_size, max_size);
    page->Add("<tr><td>Delete matches: </td><td><input type=\"checkbox\" name=\"delete\"></td></tr>\n"
              "<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\">"
              "</td></tr>\n</table>\n</form>\n");

    if (show) {
        UniqueRegex regex(pattern.empty() ? nullptr : reg_compile(pattern.c_str(), REG_CASELESS));
        const auto within = [](std::time_t value, const Bound& after, const Bound& before) {
            return value >= after.when && value <= before.when;
        };
        std::vector<CACHEMAP*> matches;
        for (const auto& [key, object] : cache->table_) {
            if (!within(object->retrieved, bounds[0], bounds[1]) || !within(object->access, bounds[2], bounds[3]))
                continue;
            if (object->size < min_size || object->size > max_size || object->refs != 0)
                continue;
            // A pattern that did not compile matches everything.
            if (regex && reg_exec(regex.get(), std::string_view(object->key)) != 0)
                continue;
            matches.push_back(object.get());
        }
        if (remove) {
            // Deleting takes objects out of the table: walked first, deleted after.
            for (CACHEMAP* object : matches) {
                ++object->refs;
                cache->invalidate_unlocked(object);
            }
        } else {
            page->Add("<br>\n<table class=\"list\">\n"
                      "<tr><td><b>URL</b></td><td><b>Size</b></td><td><b>Mem</b></td><td><b>Disk</b></td></tr>\n");
            bool even = true;
            for (const CACHEMAP* object : matches) {
                const std::size_t sep = object->key.find("://");
                if (sep == std::string::npos || sep > 15)
                    continue;
                page->Add(even ? "<tr class=\"listeven\">" : "<tr class=\"listodd\">");
                page->Add("<td><a href=\"");
                page->Add(string_to_html(info_link(object->key), 0));
                page->Add("\">");
                page->Add(string_to_html(object->key, 1));
                page->Addf("</a></td><td>%u</td><td>%s</td><td>%s</td></tr>\n",
                           static_cast<unsigned>(object->size), (object->flags & CACHE_MEM) != 0 ? "yes" : "no",
                           (object->flags & CACHE_DISK) != 0 ? "yes" : "no");
                even = !even;
            }
            page->Add("</table>\n");
        }
    }
    cache->unlock();
}
