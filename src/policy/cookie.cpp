#include "policy/cookie.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "config/item.h"
#include "config/profile.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/allowdeny.h"
#include "util/log.h"
#include "util/mem.h"

CookieSection* cookie_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_ORDER = 1,
    GLOBAL_COUNT = 2,
};

enum : std::size_t {
    SUBSECTION_ALLOW = 0,
    SUBSECTION_DENY = 1,
};

const char* const EXPIRY_FORMAT = "%a, %d-%b-%Y %H:%M:%S GMT";
const char* const EXPIRY_FORMATS[] = {"%a, %d-%b-%Y %H:%M:%S GMT", "%a, %d-%b-%y %H:%M:%S GMT", "%a, %d %b %Y %T GMT"};

bool same_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// A decimal number as atoi reads one: leading blanks, an optional sign, the digits that follow;
// 0 when there are none or the number does not fit.
int decimal_lenient(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() ? value : 0;
}

// The first form that strptime takes wins, whatever follows the date.
bool expiry_parse(const std::string& value, std::tm& out)
{
    for (const char* format : EXPIRY_FORMATS) {
        std::tm parsed{};
        const char* end = strptime(value.c_str(), format, &parsed);
        if (end != nullptr) {
            out = parsed;
            return true;
        }
    }
    return false;
}

std::string expiry_format(const std::tm& expiry)
{
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, EXPIRY_FORMAT, &expiry);
    return std::string(text, n);
}

void range_set(const Field& field, tm_element tm_partial::*element, tm_partial& start, tm_partial& end, int offset)
{
    if (!field.optional || !field.active)
        return;
    start.*element = tm_element{1, field.int_value - offset};
    end.*element = tm_element{1, field.int_value2 - offset};
}

} // namespace

std::string CookieHeader::ExpiryText() const
{
    return expiry_set ? expiry_format(expiry) : std::string();
}

CookieHeader::CookieHeader(std::string value)
{
    Parse(std::move(value));
}

void CookieHeader::Parse(std::string value)
{
    version = 0;
    expiry_set = false;
    for (const std::string& item : string_break(value, ';')) {
        const std::size_t first = item.find_first_not_of(" \t$");
        if (first == std::string::npos)
            continue;
        const std::string_view text = std::string_view(item).substr(first);
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos || eq + 1 == text.size())
            continue;
        std::string name(text.substr(0, eq));
        std::string val(text.substr(eq + 1));
        if (same_nocase(name, "version")) {
            version = decimal_lenient(val);
        } else if (same_nocase(name, "domain")) {
            domain = std::move(val);
        } else if (same_nocase(name, "path")) {
            path = std::move(val);
        } else if (same_nocase(name, "expires") && expiry_parse(val, expiry)) {
            expiry_set = true;
        } else {
            if (same_nocase(name, "expires"))
                putlog(LOG_WARNING, "failed to parse cookie expiry time: %s", val.c_str());
            pairs.emplace_back(std::move(name), std::move(val));
        }
    }
}

std::string CookieHeader::Build() const
{
    if (pairs.empty())
        return {};
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty())
            out += "; ";
        out += name;
        out += '=';
        out += value;
    }
    if (!domain.empty())
        out += "; domain=" + domain;
    if (!path.empty())
        out += "; path=" + path;
    if (expiry_set)
        out += "; expires=" + ExpiryText();
    if (version != 0)
        out += "; version=" + std::to_string(version);
    return out;
}

int CookieHeader::Expired() const
{
    if (!expiry_set)
        return 1;
    std::tm copy = expiry;
    copy.tm_isdst = -1;
    return std::mktime(&copy) >= std::time(nullptr) ? 1 : 0;
}

Cookie::Cookie(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= COOKIE_FIELD_COUNT);
    enabled = f[COOKIE_FIELD_ENABLED].int_value;
    comment = f[COOKIE_FIELD_COMMENT].text;
    profiles = f[COOKIE_FIELD_PROFILES].string_list;
    range_set(f[COOKIE_FIELD_YEAR], &tm_partial::year, start, end, 1900);
    range_set(f[COOKIE_FIELD_MONTH], &tm_partial::mon, start, end, 0);
    range_set(f[COOKIE_FIELD_DAY], &tm_partial::mday, start, end, 0);
    range_set(f[COOKIE_FIELD_WEEKDAY], &tm_partial::wday, start, end, 0);
    range_set(f[COOKIE_FIELD_HOUR], &tm_partial::hour, start, end, 0);
    range_set(f[COOKIE_FIELD_MINUTE], &tm_partial::min, start, end, 0);
    domain = f[COOKIE_FIELD_DOMAIN].text;
    path = f[COOKIE_FIELD_PATH].text;
    direction = f[COOKIE_FIELD_DIRECTION].int_value;
    timemode = f[COOKIE_FIELD_TIMEMODE].int_value;
    compile();
}

Cookie::Cookie(const Cookie& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      start(other.start),
      end(other.end),
      domain(other.domain),
      path(other.path),
      direction(other.direction),
      timemode(other.timemode)
{
    compile();
}

void Cookie::compile()
{
    domain_regex = rule_pattern_compile(domain);
    path_regex = rule_pattern_compile(path);
}

bool Cookie::window_set() const
{
    return start.year.set || start.mon.set || start.mday.set || start.wday.set || start.hour.set || start.min.set;
}

bool Cookie::match(int which, const StringList& connection_profiles, const CookieHeader& cookie) const
{
    if (enabled == 0 || (direction != COOKIE_BOTH && direction != which))
        return false;
    if (profile_find(connection_profiles, profiles) != 1)
        return false;
    if (which != COOKIE_INCOMING)
        return true;
    if (window_set()) {
        // A cookie without an expiry lies in no window that sets any element.
        if (!cookie.expiry_set)
            return false;
        const int within = timemode == 0 ? in_absolutetimerange(cookie.expiry, start, end)
                                         : in_alltimerange(cookie.expiry, start, end);
        if (within != 1)
            return false;
    }
    return rule_pattern_matches(domain_regex, cookie.domain) && rule_pattern_matches(path_regex, cookie.path);
}

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(subsections_.size() > SUBSECTION_DENY);
    FATAL_ASSERT(subsections_[SUBSECTION_ALLOW].templ.size() >= COOKIE_FIELD_COUNT);
    FATAL_ASSERT(subsections_[SUBSECTION_DENY].templ.size() >= COOKIE_FIELD_COUNT);
    update();
    header_set_cookie_filter(cookie_line);
}

void CookieSection::update()
{
    rules_.rebuild([this](CookieRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.order = fields_[GLOBAL_ORDER].int_value;
        rules_from_items(next.allow, subsections_[SUBSECTION_ALLOW]);
        rules_from_items(next.deny, subsections_[SUBSECTION_DENY]);
    });
}

std::shared_ptr<const CookieRules> CookieSection::rules() const
{
    return rules_.snapshot();
}

bool CookieSection::check(int direction, CONNECTION_T* connection, CookieHeader& cookie)
{
    const std::shared_ptr<const CookieRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_COOKIE) != 0)
        return true;
    const StringList& profiles = connection->profiles;
    return allowdeny_decide<Cookie>(current->order, current->allow, current->deny,
                                    [&](const Cookie& rule) { return rule.match(direction, profiles, cookie); })
        .allowed;
}

std::optional<std::string> cookie_line(const HEADER& header, const HTTP_HEADER& line, CONNECTION_T* connection)
{
    std::optional<CookieHeader> cookie;
    const int direction = header.kind == HEADER_RESPONSE ? COOKIE_INCOMING : COOKIE_OUTGOING;
    if (connection != nullptr && cookie_section != nullptr && cookie_section->rules()->enabled != 0 &&
        !cookie_section->check(direction, connection, cookie.emplace(line.value))) {
        const HEADER* request = connection->request.get();
        const char* host = request != nullptr ? text_or_empty(request->host) : "";
        if (direction == COOKIE_INCOMING)
            putlog(LOG_COOKIE, "blocked: incoming from %s", host);
        else
            putlog(LOG_COOKIE, "blocked: outgoing to %s", host);
        return std::nullopt;
    }
    // Rebuilding a kept line from its parsed pairs would lose the flags and attributes the
    // parse leaves out (Secure, HttpOnly, SameSite and any it does not know).
    if (line.type == HTTP_HEADER_PASS)
        return line.value;
    if (!cookie)
        cookie.emplace(line.value);
    if (cookie->pairs.empty())
        return std::nullopt;
    return cookie->Build();
}
