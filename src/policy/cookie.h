// The "cookies-filtering" section: judges the Cookie and Set-Cookie lines of every header the
// proxy writes by an allow list and a deny list in the two-pass order. The lines it keeps go out
// as they came: the Secure, HttpOnly and SameSite of a Set-Cookie line are what keeps the cookie
// safe in the browser.
#pragma once

#include <ctime>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "util/helpers.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;
struct HEADER;
struct HTTP_HEADER;

// One parsed cookie line value.
class CookieHeader {
public:
    CookieHeader() = default;
    explicit CookieHeader(std::string value);

    // Items split at ';'; leading blanks and '$' skipped; an item without '=' or with nothing
    // after it is dropped. version, domain, path and expires (caseless) are attributes, every
    // other item a pair in line order. An expiry that does not parse stays a pair.
    void Parse(std::string value);
    // The pairs joined by "; ", then the attributes in a fixed order with lower-case names;
    // empty without pairs.
    std::string Build() const;
    // 1 when the cookie has no expiry or its expiry, read as local time, is not before now.
    int Expired() const;
    // The expiry as Build writes it ("%a, %d-%b-%Y %H:%M:%S GMT"); empty when none was parsed.
    std::string ExpiryText() const;

    bool expiry_set = false;
    int version = 0;
    std::list<std::pair<std::string, std::string>> pairs;
    std::string domain;
    std::string path;
    std::tm expiry{};
};

// Positions of a cookie rule's values in its item.
enum : int {
    COOKIE_FIELD_ENABLED = 0,
    COOKIE_FIELD_COMMENT = 1,
    COOKIE_FIELD_PROFILES = 2,
    COOKIE_FIELD_YEAR = 3,
    COOKIE_FIELD_MONTH = 4,
    COOKIE_FIELD_DAY = 5,
    COOKIE_FIELD_WEEKDAY = 6,
    COOKIE_FIELD_HOUR = 7,
    COOKIE_FIELD_MINUTE = 8,
    COOKIE_FIELD_DOMAIN = 9,
    COOKIE_FIELD_PATH = 10,
    COOKIE_FIELD_DIRECTION = 11,
    COOKIE_FIELD_TIMEMODE = 12,
    COOKIE_FIELD_COUNT = 13,
};

// Directions of a cookie.
enum : int {
    COOKIE_INCOMING = 0,   // Set-Cookie lines from servers
    COOKIE_OUTGOING = 1,   // Cookie lines to servers
    COOKIE_BOTH = 2,
};

// One rule: built once, then only read.
class Cookie {
public:
    explicit Cookie(const Item& item);
    // The copy compiles the patterns again.
    Cookie(const Cookie& other);
    Cookie(Cookie&&) noexcept = default;
    Cookie& operator=(const Cookie&) = delete;
    Cookie& operator=(Cookie&&) = delete;
    ~Cookie() = default;

    // Enabled, the direction and the profiles; for an incoming cookie also the expiry window
    // and the domain and path patterns.
    bool match(int direction, const StringList& connection_profiles, const CookieHeader& cookie) const;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    tm_partial start{}, end{};
    std::string domain, path;   // pattern texts; empty: any
    int direction = COOKIE_BOTH;
    int timemode = 0;           // 0: absolute window, else recurring
    UniqueRegex domain_regex, path_regex;   // null when empty or not compiling

private:
    bool window_set() const;
    void compile();
};

struct CookieRules {
    std::vector<Cookie> allow, deny;
    int enabled = 0;
    int order = 0;   // non-zero: allow list first, drop unless allowed
};

class CookieSection final : public Section {
public:
    // Makes the header writer pass every cookie line through cookie_line. The declarations must
    // give the enabled flag and the order as the first two global values, and two subsections
    // (allow, deny) of at least COOKIE_FIELD_COUNT fields.
    CookieSection();
    ~CookieSection() override = default;

    void update() override;
    std::shared_ptr<const CookieRules> rules() const;

    // direction 0: a cookie coming in from a server, 1: one going out to a server. true keeps
    // the line.
    bool check(int direction, CONNECTION_T* connection, CookieHeader& cookie);

private:
    SectionRules<CookieRules> rules_{*this};
};

// Null until the configuration creates the section; the cookie lines are then written as they came.
extern CookieSection* cookie_section;

// The header writer's treatment of a Cookie or Set-Cookie line: nullopt when the section is on
// and blocks it (logged); else a pass-through line's value exactly as received, and for a line
// of another type its value rebuilt from its pairs (nullopt without a pair).
std::optional<std::string> cookie_line(const HEADER& header, const HTTP_HEADER& line, CONNECTION_T* connection);
