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

// One element of the expiry window: in force only when its optional value is active.
template <tm_element tm_partial::*Element, int Offset>
void window_read(Cookie& rule, const Field& field)
{
    if (!field.optional || !field.active)
        return;
    rule.start.*Element = tm_element{1, field.int_value - Offset};
    rule.end.*Element = tm_element{1, field.int_value2 - Offset};
}

constexpr RuleField<Cookie> FIELDS[] = {
    {"enabled", &Cookie::enabled},
    {"comment", &Cookie::comment},
    {"profiles", &Cookie::profiles},
    {"year", &window_read<&tm_partial::year, 1900>},
    {"month", &window_read<&tm_partial::mon, 0>},
    {"day", &window_read<&tm_partial::mday, 0>},
    {"weekday", &window_read<&tm_partial::wday, 0>},
    {"hour", &window_read<&tm_partial::hour, 0>},
    {"minute", &window_read<&tm_partial::min, 0>},
    {"domain", &Cookie::domain},
    {"path", &Cookie::path},
    {"direction", &Cookie::direction},
    {"timematch", &Cookie::timemode},
};

constexpr RuleSectionShape<CookieRules, Cookie> SHAPE{
    .name = "cookies-filtering",
    .enabled_at = 0,
    .order_at = 1,
    .templ_at = RULE_GLOBAL_NONE,
    .lists = {&CookieRules::allow, &CookieRules::deny},
    .bypass = BYPASS_COOKIE,
    .fields = FIELDS,
};

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
    return domain.matches(cookie.domain) && path.matches(cookie.path);
}

CookieSection::CookieSection() : RuleSection(SHAPE)
{
    header_set_cookie_filter(cookie_line);
}

bool CookieSection::check(int direction, CONNECTION_T* connection, CookieHeader& cookie)
{
    const std::shared_ptr<const CookieRules> current = rules();
    if (!active(*current, *connection))
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
