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
#include "policy/allowdeny.h"
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

// Directions of a cookie.
enum : int {
    COOKIE_INCOMING = 0,   // Set-Cookie lines from servers
    COOKIE_OUTGOING = 1,   // Cookie lines to servers
    COOKIE_BOTH = 2,
};

// One rule: read once from its item, then only read.
struct Cookie : RuleHead {
    // Enabled, the direction and the profiles; for an incoming cookie also the expiry window
    // and the domain and path patterns.
    bool match(int direction, const StringList& connection_profiles, const CookieHeader& cookie) const;
    bool window_set() const;

    tm_partial start{}, end{};
    RulePattern domain, path;   // empty: any
    int direction = COOKIE_BOTH;
    int timemode = 0;           // 0: absolute window, else recurring
};

struct CookieRules : RuleGlobals {
    std::vector<Cookie> allow, deny;
};

class CookieSection final : public RuleSection<CookieRules, Cookie> {
public:
    // Makes the header writer pass every cookie line through cookie_line. The declarations must
    // give the enabled flag and the order as the first two global values, and two subsections
    // (allow, deny) with the values of a rule.
    CookieSection();

    // direction 0: a cookie coming in from a server, 1: one going out to a server. true keeps
    // the line.
    bool check(int direction, CONNECTION_T* connection, CookieHeader& cookie);
};

// Null until the configuration creates the section; the cookie lines are then written as they came.
extern CookieSection* cookie_section;

// The header writer's treatment of a Cookie or Set-Cookie line: nullopt when the section is on
// and blocks it (logged); else a pass-through line's value exactly as received, and for a line
// of another type its value rebuilt from its pairs (nullopt without a pair).
std::optional<std::string> cookie_line(const HEADER& header, const HTTP_HEADER& line, CONNECTION_T* connection);
