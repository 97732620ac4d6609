#include "config/configsync.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>

#include <tinyxml.h>

#include "util/configerror.h"
#include "config/configfile.h"
#include "config/section.h"
#include "core/options.h"
#include "util/log.h"
#include "util/stringutil.h"

namespace {

// The host name under which every proxy serves its interface, and so its configuration export.
constexpr const char* MASTER_INTERFACE_HOST = "tarvodine";

bool names(const StringList& list, const std::string& name)
{
    for (const std::string& entry : list) {
        if (strcasecmp(entry.c_str(), name.c_str()) == 0)
            return true;
    }
    return false;
}

// The master's time from a Last-Modified value; nullopt when there is none or it does not read
// as a date, so that a garbled date is never taken for a time.
std::optional<std::time_t> master_time(const std::optional<std::string>& value)
{
    if (!value)
        return std::nullopt;
    std::tm broken{};
    const char* end = strptime(value->c_str(), "%a, %d %b %Y %T GMT", &broken);
    if (end == nullptr)
        return std::nullopt;
    const std::time_t time = std::mktime(&broken);
    if (time == static_cast<std::time_t>(-1))
        return std::nullopt;
    return time;
}

// One run; false after a failure, which the caller logs.
bool sync_run()
{
    const std::string host = masterhost;
    const int port = masterport;
    const std::string url = "http://" + host + ":" + std::to_string(port) + "/" + MASTER_INTERFACE_HOST + "/xml";

    const std::optional<ConfigFetch> answer = config_url_fetch(url);
    if (!answer) {
        putlog(LOG_ERROR, "sync: No Response from %s:%d", host.c_str(), port);
        return false;
    }
    if (answer->too_large) {
        putlog(LOG_ERROR, "sync: configuration from %s:%d is larger than %zu bytes", host.c_str(), port,
               CONFIG_FETCH_MAX);
        return false;
    }
    if (answer->status != 200) {
        putlog(LOG_ERROR, "sync: %s:%d answered with status %d", host.c_str(), port, answer->status);
        return false;
    }
    const std::optional<std::time_t> time = master_time(answer->last_modified);
    if (!time) {
        putlog(LOG_ERROR, "sync: Cannot estimate last configuration update of %s", host.c_str());
        return false;
    }
    {
        std::lock_guard lock(documentlock);
        if (*time == documentsynctime) {
            putlog(LOG_DEBUG, "sync: already syncronized with %s:%d at %d", host.c_str(), port, static_cast<int>(*time));
            return true;
        }
    }

    // The body is read as text: it ends at its first zero byte. A body that is no configuration
    // leaves the document as it was, so a later save or export still works.
    std::string why;
    std::unique_ptr<TiXmlDocument> next = config_document_parse(answer->body, why);
    if (next == nullptr) {
        putlog(LOG_ERROR, "sync: invalid data recieved from %s:%d", host.c_str(), port);
        return false;
    }

    StringList only;
    StringList except;
    if (!syncsections.empty())
        only.parse(syncsections, ",");
    if (!nosyncsections.empty())
        except.parse(nosyncsections, ",");
    putlog(LOG_SYNC, "syncronizing with %s:%d", host.c_str(), port);

    bool failed = false;
    {
        std::lock_guard lock(documentlock);
        document = std::move(next);
        for (const auto& [name, section] : Section::map) {
            if ((!syncsections.empty() && !names(only, name)) || (!nosyncsections.empty() && names(except, name)))
                continue;
            try {
                section->load(document.get(), 1);
                putlog(LOG_SYNC, "syncronized section: %s", name.c_str());
            } catch (const ConfigError&) {
                putlog(LOG_ERROR, "sync: failed to syncronize section: %s ", name.c_str());
                failed = true;
            }
        }
    }
    if (failed) {
        putlog(LOG_ERROR, "sync: failed to synchronize local configuration file %s", configfile.c_str());
        return false;
    }
    if (config_save(configfile) != 1) {
        putlog(LOG_ERROR, "sync: failed to synchronize local configuration file %s", configfile.c_str());
        return true;
    }
    putlog(LOG_SYNC, "synchronized local configuration file %s", configfile.c_str());
    std::lock_guard lock(documentlock);
    documentsynctime = *time;
    return true;
}

}  // namespace

void config_sync(void*)
{
    if (slave == 0)
        return;
    if (!sync_run())
        putlog(LOG_ERROR, "sync: failed to syncronize with master");
}
