// Admission and freshness of cached objects: which requests may use the cache, which responses
// may be stored, and how long a stored response is served without asking the origin again.
#include "cache/admission.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <strings.h>

#include "cache/cache.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/connection.h"
#include "http/header.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

std::shared_mutex no_cache;
// The cache opens 180 s after start: the hold-off ends 120 s after next_cache. The start is taken
// on the system clock, for static initialisation runs before bring-up knows the GMT offset that
// puts it on the cache clock; until next_cache is first moved it is the start plus that offset.
const std::time_t started = std::time(nullptr);
std::optional<std::time_t> next_cache;

std::time_t holdoff_locked()
{
    return next_cache ? *next_cache : started + gmtoffset + 60;
}

bool equals_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool starts_nocase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Calls visit with each comma-separated directive, blanks around it removed.
template <typename Visit>
void directives(std::string_view text, Visit visit)
{
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        visit(trimmed(text.substr(0, comma)));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
}

// The number after a directive's "name=", when it is one.
std::optional<long long> directive_number(std::string_view directive, std::string_view name)
{
    if (!starts_nocase(directive, name))
        return std::nullopt;
    const std::string_view digits = directive.substr(name.size());
    long long n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (error != std::errc() || end == digits.data())
        return std::nullopt;
    return n;
}

// "private", with or without the fields it names: the answer was made for one client.
bool is_private(std::string_view directive)
{
    return starts_nocase(directive, "private") &&
           (directive.size() == 7 || directive[7] == '=' || directive[7] == ' ' || directive[7] == '\t');
}

// "no-cache", with or without the fields it names: those fields may not be served from a copy
// without asking the origin, and the copy's other fields are no safer to tell apart.
bool is_no_cache(std::string_view directive)
{
    return starts_nocase(directive, "no-cache") &&
           (directive.size() == 8 || directive[8] == '=' || directive[8] == ' ' || directive[8] == '\t');
}

// Directives of a response's Cache-Control that forbid sharing it: a copy of it is a violation.
bool violation_directive(std::string_view directive)
{
    return is_no_cache(directive) || equals_nocase(directive, "no-store") || is_private(directive);
}

} // namespace

Refresh::Refresh(const Item& item)
{
    const FieldVector& f = item.fields;
    if (f.size() < REFRESH_FIELD_COUNT)
        return;
    enabled = f[REFRESH_FIELD_ENABLED].int_value;
    comment = f[REFRESH_FIELD_COMMENT].text;
    profiles = f[REFRESH_FIELD_PROFILES].string_list;
    cache = f[REFRESH_FIELD_CACHE].int_value;
    minage = f[REFRESH_FIELD_MINAGE].uint_value;
    maxage = f[REFRESH_FIELD_MAXAGE].uint_value;
    validate = f[REFRESH_FIELD_VALIDATE].uint_value;
    lmfactor = f[REFRESH_FIELD_LMFACTOR].uint_value;
}

std::time_t cache_holdoff()
{
    std::shared_lock lock(no_cache);
    return holdoff_locked();
}

void cache_holdoff_set(std::time_t when)
{
    std::unique_lock lock(no_cache);
    next_cache = when;
}

void cache_holdoff_raise(std::time_t when, std::time_t unless_before)
{
    std::unique_lock lock(no_cache);
    if (holdoff_locked() < unless_before)
        next_cache = when;
}

bool cache_held_off(std::time_t now)
{
    std::shared_lock lock(no_cache);
    return now < holdoff_locked() + 120;
}

std::optional<std::time_t> http_date_parse(std::string_view text)
{
    const std::string copy(text);
    std::tm broken{};
    const char* end = strptime(copy.c_str(), "%a, %d %b %Y %T GMT", &broken);
    if (end == nullptr)
        return std::nullopt;
    // timegm: the date is GMT whatever the local zone and its daylight saving; the cache clock
    // runs gmtoffset ahead of the system clock.
    const std::time_t when = timegm(&broken);
    if (when == static_cast<std::time_t>(-1))
        return std::nullopt;
    return when + gmtoffset;
}

std::string cookies_removed(std::string text)
{
    const auto set_cookie = [](std::string_view line) {
        const std::string_view name = line.substr(0, line.find(':'));
        return equals_nocase(trimmed(name), "Set-Cookie") || equals_nocase(trimmed(name), "Set-Cookie2");
    };
    // Most answers carry no cookie: they are given back untouched.
    bool any = false;
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;) {
        ++at;
        if (set_cookie(std::string_view(text).substr(at, 12))) {
            any = true;
            break;
        }
    }
    if (!any)
        return text;
    std::string kept;
    kept.reserve(text.size());
    bool dropping = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        const std::string_view line(text.data() + at, next - at);
        const bool folded = at != 0 && (line.front() == ' ' || line.front() == '\t');
        if (!folded)
            dropping = at != 0 && set_cookie(line);
        if (!dropping)
            kept.append(line);
        at = next;
    }
    return kept;
}

namespace {

bool request_cacheable(const HEADER& request)
{
    // A request with a path only is diverted to the proxy; once its URL is complete it names
    // the same object as an absolute one.
    if (request.kind != HEADER_ABSOLUTE && !(request.kind == HEADER_ORIGIN && request.url))
        return false;
    if (!request.method || !equals_nocase(*request.method, "GET"))
        return false;
    if (request.authorization || request.range)
        return false;
    return !request.url_user || request.url_user->empty() || equals_nocase(*request.url_user, "anonymous");
}

// Whether an answer that varies on the request line `name` suits every request for its URL:
// only when the proxy, not the client, decided that line as it went to the origin.
bool vary_ignorable(const CONNECTION_T* connection, const HEADER& request, std::string_view name)
{
    // Hop-by-hop lines never reach the origin.
    for (const std::string_view hop : {"connection", "keep-alive", "proxy-connection", "te", "trailers", "upgrade"})
        if (equals_nocase(name, hop))
            return true;
    // The proxy sends no Accept-Encoding, or its own; it decodes for a client that takes no
    // encoding.
    if (equals_nocase(name, "accept-encoding"))
        return !request.accept_encoding || (connection != nullptr && (connection->flags & CONN_ENCODED) != 0);
    return false;
}

// Whether a 200 answer may be kept for other clients than the one it went to.
bool response_shareable(const CONNECTION_T* connection, const HEADER& request, const HEADER& response)
{
    if (response.cache_control) {
        bool violation = false;
        directives(*response.cache_control, [&](std::string_view directive) {
            violation = violation || violation_directive(directive);
        });
        // While violations are off such a copy is never served, so it is not worth storing.
        if (violation && (cache_section == nullptr || !cache_section->violations_allowed()))
            return false;
    }
    return vary_shareable(connection, request, response);
}

} // namespace

bool vary_shareable(const CONNECTION_T* connection, const HEADER& request, const HEADER& response)
{
    for (const HTTP_HEADER& line : response.lines) {
        if (!equals_nocase(line.name, "Vary"))
            continue;
        bool shareable = true;
        directives(line.value, [&](std::string_view name) {
            if (!name.empty() && (name == "*" || !vary_ignorable(connection, request, name)))
                shareable = false;
        });
        if (!shareable)
            return false;
    }
    return true;
}

int cacheable(CONNECTION_T* connection, const HEADER* request, const HEADER* response)
{
    const std::time_t now = cache_section != nullptr ? cache_section->now() : utc_time(nullptr);
    if (cache_held_off(now))
        return 0;
    if (request == nullptr || !request_cacheable(*request))
        return 0;
    if (response == nullptr)
        return 1;
    return response->kind == HEADER_RESPONSE && response->status == 200 &&
                   response_shareable(connection, *request, *response)
               ? 1
               : 0;
}

bool CacheSection::violations_allowed()
{
    Lock lock(mutex_);
    return values_.violations != 0;
}

void CacheSection::select_refresh(CONNECTION_T* connection, CACHEMAP* object)
{
    for (const Refresh& rule : refreshes_) {
        if (rule.enabled == 0)
            continue;
        if (connection != nullptr ? profile_find(connection->profiles, rule.profiles) != 1 : !rule.profiles.empty())
            continue;
        if (rule.cache == 0 && (object->flags & CACHE_FORCE) == 0)
            object->flags |= CACHE_INVALID;
        object->minage = static_cast<int>(rule.minage);
        object->maxage = static_cast<int>(rule.maxage);
        object->validate = static_cast<int>(rule.validate);
        object->lmfactor = static_cast<int>(rule.lmfactor);
        return;
    }
}

void CacheSection::check_header(CACHEMAP* object)
{
    const std::time_t now = this->now();
    const std::time_t retrieved = object->retrieved;
    HEADER* header = object->header.get();
    object->expires = 0;
    object->lmexpires = 0;
    object->lastmod = 0;
    object->flags &= ~CACHE_EXPIRED;
    if (header == nullptr)
        return;
    // A cached response is sent with its length.
    header->chunked = 0;
    // Read once per header: every hit comes here under the cache's mutex, and parsing dates
    // there would keep the other connections waiting.
    CACHEMAP::HeaderFacts& facts = object->facts;
    if (!facts.read) {
        facts = {};
        facts.read = true;
        if (header->expires) {
            // An Expires that does not parse ("0", "-1", a date form of its own) means the
            // answer is already stale, not that it gave no expiry.
            const std::optional<std::time_t> expires = http_date_parse(*header->expires);
            facts.expires = expires.value_or(0);
            facts.expired = !expires || *expires == 0;
        }
        if (header->last_modified)
            facts.lastmod = http_date_parse(*header->last_modified).value_or(0);
        if (header->cache_control) {
            directives(*header->cache_control, [&](std::string_view directive) {
                if (const auto age = directive_number(directive, "max-age=")) {
                    facts.max_age = *age;
                } else if (equals_nocase(directive, "must-revalidate")) {
                    facts.forced = true;
                } else if (violation_directive(directive)) {
                    facts.forced = true;
                    facts.violation = true;
                }
            });
        }
    }
    if (header->expires) {
        putlog(LOG_DEBUG, "cache: file expires header: %s", header->expires->c_str());
        object->expires = facts.expired ? retrieved - 1 : facts.expires;
    }
    if (header->last_modified) {
        putlog(LOG_DEBUG, "cache: file last-modified header: %s", header->last_modified->c_str());
        object->lastmod = facts.lastmod;
    }
    const bool forced = facts.forced;
    if (header->cache_control) {
        putlog(LOG_DEBUG, "cache: file cache-control header: %s", header->cache_control->c_str());
        if (facts.max_age)
            object->expires = retrieved + static_cast<std::time_t>(*facts.max_age);
        if (facts.violation)
            object->flags |= CACHE_VIOLATION;
    }
    const std::time_t modified = object->lastmod;
    if (modified != 0 && modified < retrieved) {
        const std::time_t added = (retrieved - modified) * object->lmfactor / 100;
        object->lmexpires = retrieved + added;
        putlog(LOG_DEBUG, "cache: lmtime factor: %u", static_cast<unsigned>(added));
    }
    const std::time_t expires = object->expires;
    const std::time_t lmexpires = object->lmexpires;
    const bool fresh = (expires != 0 || lmexpires != 0) && now <= retrieved + object->maxage &&
                       (expires == 0 || now <= expires) && (expires != 0 || lmexpires == 0 || now <= lmexpires) &&
                       (modified == 0 || now >= modified + object->minage) &&
                       (expires != 0 || now <= retrieved + object->validate);
    if (forced || !fresh)
        object->flags |= CACHE_EXPIRED;
}

bool CacheSection::cacheable2(CACHEMAP* object)
{
    return object->header != nullptr && object->header->status == 200;
}

void CacheSection::check(CONNECTION_T* connection, CACHEMAP* object)
{
    if (object == nullptr)
        return;
    const std::time_t now = this->now();
    Lock lock(mutex_);
    check_locked(connection, object, now);
}

void CacheSection::check_locked(CONNECTION_T* connection, CACHEMAP* object, std::time_t now)
{
    HEADER* request = connection != nullptr ? connection->request.get() : nullptr;
    if ((object->flags & CACHE_PREFETCHED) != 0)
        return;
    bool revalidate = (object->flags & CACHE_EXPIRED) != 0;
    if (request != nullptr && request->cache_control) {
        putlog(LOG_DEBUG, "cache: request cache-control header: %s", request->cache_control->c_str());
        const std::time_t expires = object->expires;
        const std::time_t lmexpires = object->lmexpires;
        directives(*request->cache_control, [&](std::string_view directive) {
            if (equals_nocase(directive, "no-cache") || equals_nocase(directive, "no-store")) {
                revalidate = true;
            } else if (const auto age = directive_number(directive, "max-age=")) {
                if (*age < now - object->retrieved)
                    revalidate = true;
            } else if (const auto fresh = directive_number(directive, "min-fresh=")) {
                if ((expires != 0 && expires < now + *fresh) || (expires == 0 && lmexpires != 0 && lmexpires < now + *fresh))
                    revalidate = true;
            } else if (const auto stale = directive_number(directive, "max-stale=")) {
                if ((expires != 0 && *stale >= now - expires) || (expires == 0 && lmexpires != 0 && *stale >= now - lmexpires))
                    revalidate = false;
            }
        });
    }
    if (revalidate)
        object->flags |= CACHE_VALIDATE;
}

void CacheSection::validated(CACHEMAP* object)
{
    Lock lock(mutex_);
    object->flags &= ~CACHE_VALIDATE;
    touch(object, true);
    journal_settle(lock);
}

int CacheSection::stale(CACHEMAP* object)
{
    Lock lock(mutex_);
    return (object->flags & CACHE_EXPIRED) != 0 ? 1 : 0;
}

CacheSection::HitState CacheSection::hit_state(CACHEMAP* object)
{
    const std::time_t now = this->now();
    Lock lock(mutex_);
    return {object->flags, std::max<std::time_t>(now - object->retrieved, 0)};
}

std::time_t CacheSection::last_modified(CACHEMAP* object)
{
    Lock lock(mutex_);
    return object->lastmod;
}
