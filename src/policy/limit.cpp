#include "policy/limit.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/connection.h"
#include "http/request.h"
#include "util/log.h"
#include "util/mem.h"

LimitSection* limit_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_COUNT = 1,
};

std::time_t clock_time() { return std::time(nullptr); }

std::atomic<limit_clock_t> limit_clock{clock_time};

std::tm local_now()
{
    const std::time_t when = limit_clock.load()();
    std::tm now{};
    // Every request asks: the C library's time-zone lock is taken once a second per thread.
    log_localtime(when, &now);
    return now;
}

// An active window position sets its element in both bounds.
void window_set(const Field& field, tm_element tm_partial::*element, tm_partial& start, tm_partial& end)
{
    if (!field.optional || !field.active)
        return;
    start.*element = tm_element{1, field.int_value};
    end.*element = tm_element{1, field.int_value2};
}

bool limits_bypassed(const CONNECTION_T& connection, const LimitRules& rules)
{
    return (connection.bypass & BYPASS_LIMITS) != 0 || rules.enabled == 0 || rules.limits.empty();
}

// A response that came out of the cache rather than from a server.
bool served_from_cache(const CONNECTION_T& connection)
{
    return connection.cache.get() != nullptr && (connection.flags & CONN_CACHE) == 0;
}

} // namespace

Limit::Limit(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= LIMIT_FIELD_COUNT);
    enabled = f[LIMIT_FIELD_ENABLED].int_value;
    comment = f[LIMIT_FIELD_COMMENT].text;
    profiles = f[LIMIT_FIELD_PROFILES].string_list;
    action = f[LIMIT_FIELD_ACTION].int_value;
    templ = f[LIMIT_FIELD_TEMPLATE].text;
    window_set(f[LIMIT_FIELD_MONTH], &tm_partial::mon, start, end);
    window_set(f[LIMIT_FIELD_DAY], &tm_partial::mday, start, end);
    window_set(f[LIMIT_FIELD_WEEKDAY], &tm_partial::wday, start, end);
    window_set(f[LIMIT_FIELD_HOUR], &tm_partial::hour, start, end);
    window_set(f[LIMIT_FIELD_MINUTE], &tm_partial::min, start, end);
    download_quota = f[LIMIT_FIELD_DOWNLOAD].uint_value;
    upload_quota = f[LIMIT_FIELD_UPLOAD].uint_value;
    request_cap = f[LIMIT_FIELD_REQUESTS].uint_value;
    rate = f[LIMIT_FIELD_RATE].uint_value;
    timemode = f[LIMIT_FIELD_TIMEMODE].int_value;
    options = f[LIMIT_FIELD_OPTIONS].int_value;
    // A shared group without a rate would throttle nothing; none is made.
    if ((options & LIMIT_OPTION_SHARED) != 0 && rate != 0)
        group = atom_make<LimitGroup>(rate);
}

bool Limit::in_window(const std::tm& now) const
{
    return (timemode == 0 ? in_absolutetimerange(now, start, end) : in_alltimerange(now, start, end)) == 1;
}

bool Limit::applies(const StringList& connection_profiles, const std::tm& now) const
{
    return enabled != 0 && profile_find(connection_profiles, profiles) == 1 && in_window(now);
}

std::uint32_t Limit::remainder(std::uint32_t quota, std::uint64_t counted)
{
    return counted >= quota ? 0 : static_cast<std::uint32_t>(quota - counted);
}

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= LIMIT_FIELD_COUNT);
    update();
}

void LimitSection::update()
{
    rules_.rebuild([this](LimitRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        rules_from_items(next.limits, subsections_[0]);
    });
}

std::shared_ptr<const LimitRules> LimitSection::rules() const
{
    return rules_.snapshot();
}

int LimitSection::check_and_block(CONNECTION_T* connection)
{
    // The request body has been read by now and its size is in bytes_out, which the upload
    // allowance is measured against; only the download starts afresh here.
    connection->bytes_in = 0;
    connection->download_allowance = ALLOWANCE_UNLIMITED;
    connection->upload_allowance = ALLOWANCE_UNLIMITED;
    // A rate chosen for an earlier request on this connection must not outlive it.
    if (connection->client != nullptr)
        connection->client->SetRate(nullptr, nullptr);

    const std::shared_ptr<const LimitRules> current = rules();
    if (limits_bypassed(*connection, *current))
        return 0;

    const std::tm now = local_now();
    std::uint32_t chosen_rate = 0;
    bool applied = false;
    for (const Limit& rule : current->limits) {
        if (!rule.applies(connection->profiles, now))
            continue;
        if (rule.action == LIMIT_ACTION_BLOCK) {
            putlog(LOG_LIMITS, "blocked: time limit restrictions");
            connection->variables["FILTER"] = "User Limits";
            connection->variables["LIMIT_TYPE"] = "Time Limits";
            template_section->send(rule.templ.empty() ? "blocked" : rule.templ, connection, 404);
            connection->logentry.filter_name = "limit-section";
            connection->logentry.filtering_reason = "time limit restrictions";
            return 1;
        }
        if (rule.request_cap != 0 && rule.counters->requests.load() >= rule.request_cap) {
            connection->variables["FILTER"] = "User Limits";
            connection->variables["LIMIT_TYPE"] = "Max Requests";
            template_section->send(rule.templ.empty() ? "maxrequests" : rule.templ, connection, 404);
            connection->logentry.filter_name = "limit-section";
            connection->logentry.filtering_reason = "max-requests restrictions";
            return 1;
        }
        if (rule.download_quota != 0) {
            const std::uint32_t left = Limit::remainder(rule.download_quota, rule.counters->downloaded.load());
            if (left < connection->download_allowance) {
                connection->download_allowance = left;
                connection->variables["DOWNLOADLIMIT"] = std::to_string(rule.download_quota);
            }
        }
        if (rule.upload_quota != 0) {
            const std::uint32_t left = Limit::remainder(rule.upload_quota, rule.counters->uploaded.load());
            if (left < connection->upload_allowance) {
                connection->upload_allowance = left;
                connection->variables["UPLOADLIMIT"] = std::to_string(rule.upload_quota);
            }
        }
        if ((rule.options & LIMIT_OPTION_CACHED) != 0)
            connection->flags |= CONN_LIMIT;
        // The lowest rate among the rules wins; a rule without a rate leaves the choice alone.
        if (rule.rate != 0 && (chosen_rate == 0 || rule.rate < chosen_rate)) {
            chosen_rate = rule.rate;
            if (connection->client != nullptr)
                connection->client->SetRate(nullptr, rule.group != nullptr ? rule.group : atom_make<LimitGroup>(rule.rate));
        }
        applied = true;
    }
    if (applied) {
        putlog(LOG_LIMITS, "transfer download limit: %u", connection->download_allowance);
        putlog(LOG_LIMITS, "transfer upload limit: %u", connection->upload_allowance);
        if (chosen_rate != 0)
            putlog(LOG_LIMITS, "transfer download rate: %u", chosen_rate);
    }
    return 0;
}

void LimitSection::update(CONNECTION_T* connection)
{
    const std::uint64_t downloaded = std::exchange(connection->bytes_in, 0);
    // The next request may have no body, and then nothing sets the count again.
    const std::uint64_t uploaded = std::exchange(connection->bytes_out, 0);
    const std::shared_ptr<const LimitRules> current = rules();
    if (limits_bypassed(*connection, *current))
        return;
    const std::tm now = local_now();
    const bool cached = served_from_cache(*connection);
    for (const Limit& rule : current->limits) {
        if ((rule.options & LIMIT_OPTION_NOCOUNT) != 0 || !rule.applies(connection->profiles, now))
            continue;
        if (rule.download_quota != 0 && (!cached || (rule.options & LIMIT_OPTION_CACHED) != 0))
            rule.counters->downloaded.fetch_add(downloaded);
        if (rule.upload_quota != 0)
            rule.counters->uploaded.fetch_add(uploaded);
        if (rule.request_cap != 0)
            rule.counters->requests.fetch_add(1);
    }
}

void LimitSection::reset()
{
    const std::shared_ptr<const LimitRules> current = rules();
    if (current->enabled == 0)
        return;
    const std::tm now = local_now();
    for (const Limit& rule : current->limits) {
        LimitCounters& counters = *rule.counters;
        if (rule.enabled == 0 || rule.in_window(now))
            continue;
        if (counters.downloaded.load() == 0 && counters.uploaded.load() == 0 && counters.requests.load() == 0)
            continue;
        counters.downloaded.store(0);
        counters.uploaded.store(0);
        counters.requests.store(0);
    }
}

void limits_reset(void*)
{
    if (limit_section != nullptr)
        limit_section->reset();
}

void limit_set_clock(limit_clock_t clock)
{
    limit_clock.store(clock != nullptr ? clock : clock_time);
}
