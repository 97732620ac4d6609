#include "http/header.h"
#include "config/profile.h"

#include <atomic>
#include <string_view>
#include <utility>

#include "core/connection.h"
#include "config/general.h"
#include "util/log.h"
#include "util/mem.h"
#include "core/options.h"

ProfileSection* profile_section = nullptr;

namespace {

// Positions of a profile rule's values.
enum : std::size_t {
    RULE_ENABLED = 0,
    RULE_COMMENT = 1,
    RULE_LOG = 2,
    RULE_PROFILES = 3,
    RULE_SCHEME = 4,
    RULE_HOST = 5,
    RULE_FILE = 6,
    RULE_MIME = 7,
    RULE_PORT = 8,
    RULE_URLCOMMAND = 9,
    RULE_PROXYHOST = 10,
    RULE_REQUESTHEADER = 11,
    RULE_RESPONSEHEADER = 12,
    RULE_MONTH = 13,
    RULE_DAY = 14,
    RULE_WEEKDAY = 15,
    RULE_HOUR = 16,
    RULE_MINUTE = 17,
    RULE_TIMEMATCH = 18,
    RULE_ADD = 19,
    RULE_REMOVE = 20,
    RULE_FIELDS = 21,
};

std::time_t clock_time()
{
    return std::time(nullptr);
}

std::atomic<profile_clock_t> profile_clock{clock_time};

// An active window position sets its element in both bounds.
void window_set(const Field& field, tm_element tm_partial::*element, tm_partial& start, tm_partial& end)
{
    if (!field.optional || !field.active)
        return;
    start.*element = tm_element{1, field.int_value};
    end.*element = tm_element{1, field.int_value2};
}

// An absent text reads as empty; nothing is copied.
std::string_view text_of(const HeaderText& text)
{
    return text ? std::string_view(*text) : std::string_view();
}

bool matches(const Profile::Pattern& pattern, std::string_view text)
{
    return reg_exec(pattern.regex.get(), text) == 0;
}

// Whether the request carries a URL command of one of the names, compared byte for byte.
bool urlcommand_listed(CONNECTION_T& connection, const StringList& names)
{
    const url_command_list* commands = connection.url_commands.get();
    if (commands == nullptr)
        return false;
    for (const url_command_t& command : *commands) {
        if (names.has(command.command))
            return true;
    }
    return false;
}

// The proxy's own host name: -H when given, else the general section's.
std::string own_host_name()
{
    if (!proxyhost.empty())
        return proxyhost;
    return general_section != nullptr ? general_section->proxyhost_get() : std::string();
}

} // namespace

int profile_find(const StringList& names, const StringList& condition)
{
    if (condition.empty())
        return 1;
    bool negated_seen = false;
    for (const std::string& entry : condition) {
        const bool negated = !entry.empty() && entry.front() == '!';
        negated_seen = negated_seen || negated;
        const std::string_view name = negated ? std::string_view(entry).substr(1) : std::string_view(entry);
        for (const std::string& carried : names) {
            if (carried == name)
                return negated ? 0 : 1;
        }
    }
    return negated_seen ? 1 : 0;
}

Profile::Pattern::Pattern(std::string pattern) : text(std::move(pattern))
{
    if (!text.empty())
        regex.reset(reg_compile(text.c_str(), REG_CASELESS));
}

Profile::Profile(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    log = f[RULE_LOG].int_value;
    profiles = f[RULE_PROFILES].string_list;
    scheme = Pattern(f[RULE_SCHEME].text);
    host = Pattern(f[RULE_HOST].text);
    file = Pattern(f[RULE_FILE].text);
    mime = Pattern(f[RULE_MIME].text);
    ports = f[RULE_PORT].port_ranges;
    urlcommands = f[RULE_URLCOMMAND].string_list;
    proxyhost = Pattern(f[RULE_PROXYHOST].text);
    requestheader = Pattern(f[RULE_REQUESTHEADER].text);
    responseheader = Pattern(f[RULE_RESPONSEHEADER].text);
    window_set(f[RULE_MONTH], &tm_partial::mon, start, end);
    window_set(f[RULE_DAY], &tm_partial::mday, start, end);
    window_set(f[RULE_WEEKDAY], &tm_partial::wday, start, end);
    window_set(f[RULE_HOUR], &tm_partial::hour, start, end);
    window_set(f[RULE_MINUTE], &tm_partial::min, start, end);
    timematch = f[RULE_TIMEMATCH].int_value;
    add = f[RULE_ADD].string_list;
    remove = f[RULE_REMOVE].string_list;
}

Profile::Profile(const Profile& other) = default;

bool Profile::applies(CONNECTION_T& connection, const std::tm& now) const
{
    const HEADER* request = connection.request.get();
    const HEADER* response = connection.response;
    if (enabled == 0 || request == nullptr)
        return false;
    if (profile_find(connection.profiles, profiles) != 1)
        return false;
    if (ports.has(request->port) != 1)
        return false;
    if (mime.regex != nullptr &&
        (response == nullptr || !response->content_type || !matches(mime, *response->content_type)))
        return false;
    // Header patterns see the header text as received, every byte of it.
    if (requestheader.regex != nullptr && !matches(requestheader, text_of(request->raw)))
        return false;
    if (responseheader.regex != nullptr &&
        (response == nullptr || !matches(responseheader, text_of(response->raw))))
        return false;
    if (scheme.regex != nullptr && (!request->scheme || !matches(scheme, *request->scheme)))
        return false;
    if (host.regex != nullptr && (!request->host || !matches(host, *request->host)))
        return false;
    if (file.regex != nullptr && !matches(file, text_of(request->path)))
        return false;
    if (!urlcommands.empty() && !urlcommand_listed(connection, urlcommands))
        return false;
    if (proxyhost.regex != nullptr && !matches(proxyhost, own_host_name()))
        return false;
    const int within = timematch == 0 ? in_absolutetimerange(now, start, end) : in_alltimerange(now, start, end);
    return within == 1;
}

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK)
{
    FATAL_ASSERT(!subsections_.empty() && subsections_[0].templ.size() >= RULE_FIELDS);
}

void ProfileSection::update()
{
    rules_.rebuild([this](ProfileRules& next) { rules_from_items(next.rules, subsections_[0]); });
}

std::shared_ptr<const ProfileRules> ProfileSection::rules() const
{
    return rules_.snapshot();
}

int ProfileSection::profiles_update(CONNECTION_T* connection)
{
    const std::time_t when = profile_clock.load()();
    std::tm now{};
    // Every request asks: the C library's time-zone lock is taken once a second per thread.
    log_localtime(when, &now);

    const std::shared_ptr<const ProfileRules> snapshot = rules();
    StringList& names = connection->profiles;
    for (const Profile& rule : snapshot->rules) {
        if (!rule.applies(*connection, now))
            continue;
        for (const std::string& name : rule.add) {
            if (names.has(name))
                continue;
            names.push_back(name);
            if (rule.log == 1)
                putlog(LOG_PROFILES, "%s Profile: %s", "Added", name.c_str());
        }
        for (const std::string& name : rule.remove) {
            if (rule.log == 1)
                putlog(LOG_PROFILES, "%s Profile: %s", "Removed", name.c_str());
            names.remove(name);
        }
    }
    if (!names.empty()) {
        std::string joined;
        for (const std::string& name : names) {
            if (&name != &names.front())
                joined += ',';
            joined += name;
        }
        connection->logentry.profiles = std::move(joined);
    }
    // The one place the request's general rule is taken: the rest of the request reads it from
    // the record, so an update made meanwhile applies from the next evaluation.
    if (general_section != nullptr)
        connection->general = general_section->snapshot(connection);
    return 0;
}

void profile_set_clock(profile_clock_t clock)
{
    profile_clock.store(clock != nullptr ? clock : clock_time);
}
