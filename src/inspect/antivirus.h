// What the four virus-scanner connectors (ClamAV, F-Prot, Kaspersky, Sophie) share: a section of
// rules chosen by profile, a buffering check that asks the road to hold the whole response, and a
// response check that hands the held body to the connector's daemon and answers the client with
// a block page when the daemon names a virus. Every connector fails open: a daemon that cannot be
// reached or answers something unexpected lets the response through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "config/program.h"
#include "config/section.h"
#include "core/connection.h"
#include "http/request.h"
#include "http/response.h"
#include "net/socket.h"
#include "util/log.h"
#include "util/mem.h"
#include "util/stringutil.h"

class Filebuf;
class Item;

// Positions of the values every connector's rule has in its item.
enum : int {
    ANTIVIRUS_FIELD_ENABLED = 0,
    ANTIVIRUS_FIELD_COMMENT = 1,
    ANTIVIRUS_FIELD_PROFILES = 2,
    ANTIVIRUS_FIELD_TEMPLATE = 3,
    ANTIVIRUS_FIELD_COUNT = 4,
};

// One rule: built once, then only read, by any number of connection threads at once.
class AntivirusRule {
public:
    explicit AntivirusRule(const Item& item);

    // Enabled and the profiles accepted.
    bool applies(const CONNECTION_T& connection) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string templ;   // empty: the section's template
};

// What one dialogue with a daemon came to.
struct AntivirusVerdict {
    enum Kind {
        CLEAN,      // the daemon completed its scan and found nothing
        INFECTED,
        FAILED,     // no verdict (unreachable, cut short, unexpected answer): the response passes
    };
    // How an infected verdict names its virus.
    enum Naming {
        NAMED,      // by name, possibly empty
        UNKNOWN,    // the daemon named none: logged and recorded as "unknown"
        UNNAMED,    // it said there is a name but gave none: nothing logged or recorded
    };
    Kind kind = FAILED;
    std::string name;
    Naming naming = NAMED;

    static AntivirusVerdict clean() { return {CLEAN, {}, NAMED}; }
    static AntivirusVerdict failed() { return {FAILED, {}, NAMED}; }
    static AntivirusVerdict infected(std::string name, Naming naming = NAMED)
    {
        return {INFECTED, std::move(name), naming};
    }
};

// What bounds one dialogue with a daemon, from the connection's general rule.
struct ScanLimits {
    int timeout = 60;                 // seconds: each connect, write and read of the dialogue
    std::size_t reply_max = 4 << 20;  // bytes of a reply body (the download buffer limit)
};

// The limits for the connection (null: the defaults).
ScanLimits scan_limits(const CONNECTION_T* connection);

// A connection to a daemon on which every write and read waits at most the dialogue's time-out.
// What a daemon that stopped reading was not sent by then is dropped with the connection, never
// waited for again.
class DaemonLink {
public:
    DaemonLink(int fd, int timeout);
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;
    ~DaemonLink();

    // Sends every byte within the time-out; false when the daemon failed or stopped reading.
    bool send(std::string_view bytes);
    // One line (Socket::GetLine) arriving within the time-out; 0 or -1 when none came.
    int line(char* buffer, int size);
    // What one read delivers (Socket::Read) within the time-out; 0 at the end, -1 for nothing.
    int read(char* buffer, int size);

private:
    Socket socket_;
    int timeout_;
};

// What tells the connectors apart in the shared frame.
struct AntivirusTraits {
    const char* avscanner;     // the AVSCANNER variable
    const char* filter_name;   // the log entry's filter name
    int status;                // of the block page
    int skip_category;         // and line, for a cached response already scanned
    const char* skip_line;
    const char* detected;      // printf format of the detection line, taking the virus name
};

// True when the connection's open cache object was scanned clean before and is not being stored
// anew by this request.
bool antivirus_already_clean(CONNECTION_T* connection);
// Marks the connection's cache object clean when this request's scans completed clean and none
// applied without a verdict; the response processing calls it once every check let the body
// pass. A scan that failed open, was bypassed or had no rule leaves the object unmarked, so its
// next hit is scanned again.
void antivirus_mark_clean(CONNECTION_T* connection);
// Blocks the response for an infected verdict: the log line, the variables, the block page and
// the log entry's filter fields. Always 1.
int antivirus_block(CONNECTION_T* connection, const AntivirusTraits& traits, std::string_view templ,
                    const AntivirusVerdict& verdict);

// A blocking, close-on-exec Unix-domain stream socket connected to path (cut to 107 characters,
// what the address holds) within timeout seconds (a daemon whose backlog is full makes a connect
// wait); -1 on failure, nothing left open.
int antivirus_unix_connect(std::string_view path, int timeout);

// The rules of a connector: Rule is AntivirusRule or one that adds values, Settings the global
// values the dialogue needs.
template <class Rule, class Settings>
struct AntivirusRules {
    std::vector<Rule> rules;   // in item order
    int enabled = 0;
    std::string templ;         // the section's block page; empty: "virus"
    Settings settings;
};

template <class Rule, class Settings>
class AntivirusSection : public Section {
public:
    using Rules = AntivirusRules<Rule, Settings>;

    std::shared_ptr<const Rules> rules() const { return rules_.snapshot(); }

    // The rule that applies: the section enabled, the bypass letter "a" not set, then the first
    // applicable rule. Null when none.
    const Rule* find(const Rules& rules, const CONNECTION_T* connection) const
    {
        if (rules.enabled == 0 || (connection->bypass & BYPASS_ANTIVIRUS) != 0)
            return nullptr;
        for (const Rule& rule : rules.rules) {
            if (rule.applies(*connection))
                return &rule;
        }
        return nullptr;
    }

    // 1 when the response must be buffered for a scan: a rule applies and the response is not a
    // cached copy scanned before, nor one that streams past the scan (which is logged).
    int check_match(CONNECTION_T* connection) const
    {
        const std::shared_ptr<const Rules> current = rules();
        if (find(*current, connection) == nullptr)
            return 0;
        if (antivirus_already_clean(connection)) {
            putlog(traits_.skip_category, "%s", traits_.skip_line);
            return 0;
        }
        if (body_uninspected(connection, LOG_ANTIVIRUS, traits_.avscanner, true))
            return 0;
        return 1;
    }

    // Scans the buffered body; 1 when a virus was found and the block page sent.
    int check_and_block(CONNECTION_T* connection, const Filebuf* body)
    {
        if (body == nullptr)
            return 0;
        const std::shared_ptr<const Rules> current = rules();
        const Rule* rule = find(*current, connection);
        if (rule == nullptr)
            return 0;
        // Buffered for another filter, a copy scanned before needs no second scan.
        if (antivirus_already_clean(connection)) {
            putlog(traits_.skip_category, "%s", traits_.skip_line);
            return 0;
        }
        // A body whose encoding did not decode is scanned as it came, and that is said.
        body_uninspected(connection, LOG_ANTIVIRUS, traits_.avscanner, true);
        const std::string_view templ = !rule->templ.empty()      ? std::string_view(rule->templ)
                                       : !current->templ.empty() ? std::string_view(current->templ)
                                                                 : std::string_view("virus");
        const AntivirusVerdict verdict = scan(*rule, current->settings, *body, scan_limits(connection));
        switch (verdict.kind) {
        case AntivirusVerdict::INFECTED:
            return antivirus_block(connection, traits_, templ, verdict);
        case AntivirusVerdict::CLEAN:
            connection->flags |= CONN_SCAN_CLEAN;
            return 0;
        case AntivirusVerdict::FAILED:
            break;
        }
        connection->flags |= CONN_SCAN_INCOMPLETE;
        return 0;
    }

    // The dialogue with the daemon; runs without any lock of the program, each of its waits
    // bounded by the limits' time-out.
    virtual AntivirusVerdict scan(const Rule& rule, const Settings& settings, const Filebuf& body,
                                  const ScanLimits& limits) const = 0;

protected:
    AntivirusSection(const char* name, const AntivirusTraits& traits) : Section(name, SECTION_RWLOCK), traits_(traits)
    {
        FATAL_ASSERT(!subsections_.empty());
        FATAL_ASSERT(subsections_[0].templ.size() >= ANTIVIRUS_FIELD_COUNT);
    }

    // Builds the next generation: the enabled flag and the template from the given global
    // positions, the settings by the caller, one rule per item of the first subsection.
    template <class ReadSettings>
    void rebuild(std::size_t enabled_at, std::size_t templ_at, ReadSettings&& read)
    {
        rules_.rebuild([&](Rules& next) {
            next.enabled = fields_[enabled_at].int_value;
            next.templ = fields_[templ_at].text;
            read(next.settings);
            rules_from_items(next.rules, subsections_[0]);
        });
    }

    SectionRules<Rules> rules_{*this};
    const AntivirusTraits& traits_;
};
