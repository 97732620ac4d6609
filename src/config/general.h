// The general settings ("general": the proxy's host name, temporary directory, line length, the
// server pool's limits, and per-profile rules for time-outs, buffers, CONNECT ports, compression
// and forwarding headers) and the FTP client settings ("ftp").
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/item.h"
#include "config/ranges.h"
#include "config/rules.h"
#include "util/regex.h"
#include "config/section.h"
#include "util/stringutil.h"

struct CONNECTION_T;

// One general rule, built from one item; read-only once built.
class General {
public:
    // The values that apply when no rule matches: the 60-second time-outs, nothing buffered
    // whole, no wait, every CONNECT port, no compression, no forwarding headers.
    General() = default;
    explicit General(const Item& item);
    // The copy compiles its own pattern.
    General(const General& other);
    General(General&&) noexcept = default;
    General& operator=(const General&) = delete;
    General& operator=(General&&) = delete;
    ~General() = default;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    int ctimeout = 60;        // seconds: connect; also the longest wait for data in relays and body reads
    int timeout = 60;         // seconds: reading headers and chunk lines
    int keeptimeout = 60;     // seconds a kept-alive client connection may stay idle
    unsigned maxdbuffer = 0;  // bytes: largest response body buffered whole
    unsigned maxubuffer = 0;  // bytes: largest request body buffered whole
    int bufferwait = 0;       // seconds a body may be buffered before the deadline; 0 none
    PortRangeList cportrange; // ports a CONNECT may reach
    std::string encodemime;   // pattern of MIME types compressed for the client
    UniqueRegex encodemime_regex;   // null when the pattern is empty or does not compile
    int compressout = 0;
    int compressin = 0;
    int xforwardedfor = 0;
    int via = 0;
};

struct GeneralRules {
    std::vector<General> rules;   // in item order
};

class GeneralSection final : public Section {
public:
    // The "general" section of sectionxml; its declarations must give the five global values
    // and a first subsection of general rules.
    GeneralSection();
    void update() override;

    // The rules in force: a pointer copy, never a rebuild.
    std::shared_ptr<const GeneralRules> rules() const;
    // The first enabled rule of the rules in force whose profiles accept the connection's (null
    // connection: no profiles), sharing ownership of its rule list; null when no rule qualifies.
    std::shared_ptr<const General> find(const CONNECTION_T* connection) const;
    // The connection's snapshot of its rule, for the profile evaluation to store in it once the
    // profiles are known: find's rule, or the defaults when none qualifies. The getters read the
    // snapshot until the next evaluation, so one request sees one rule however often it asks,
    // and a configuration update takes effect from the next request's profile evaluation.
    std::shared_ptr<const General> snapshot(const CONNECTION_T* connection) const;

    // Global values, each read under the section's read lock.
    std::string proxyhost_get() const;
    std::string tempdir_get() const;
    int linelength_get() const;
    int poolsize_get() const;
    int pooltimeout_get() const;

    // Per-connection values from the connection's snapshot of its rule; a connection without one
    // (null, the internal client, a record built by hand) has its rule resolved at each call.
    // The value noted beside each applies when no rule matches.
    int ctimeout_get(const CONNECTION_T* connection) const;                         // 60
    int timeout_get(const CONNECTION_T* connection) const;                          // 60
    int keeptimeout_get(const CONNECTION_T* connection) const;                      // 60
    unsigned maxdbuffer_get(const CONNECTION_T* connection) const;                  // 0
    unsigned maxubuffer_get(const CONNECTION_T* connection) const;                  // 0
    int bufferwait_get(const CONNECTION_T* connection) const;                       // 0
    int cportrange_check(const CONNECTION_T* connection, int port) const;           // 1
    int encodemime_check(const CONNECTION_T* connection, std::string_view type) const;   // 0
    int compressout_get(const CONNECTION_T* connection) const;                      // 0
    int compressin_get(const CONNECTION_T* connection) const;                       // 0
    int xforwardedfor_get(const CONNECTION_T* connection) const;                    // 0
    int via_get(const CONNECTION_T* connection) const;                              // 0

private:
    // The connection's snapshot, or else the rule resolved now.
    std::shared_ptr<const General> rule_of(const CONNECTION_T* connection) const;

    SectionRules<GeneralRules> rules_{*this};
};

class FtpSection final : public Section {
public:
    // The "ftp" section of sectionxml; its declarations must give the six global values.
    FtpSection();
    // The FTP settings are read at each use: nothing to rebuild.
    void update() override {}

    int passive_get() const;     // 1: data connections by PASV, otherwise PORT
    int timeout_get() const;     // seconds to wait for each reply
    std::string user_get() const;       // for FTP URLs without a user
    std::string password_get() const;
    int sortorder_get() const;   // 0 ascending, otherwise descending
    int sortfield_get() const;   // 1 name, 2 size, 3 time
};

// Created by the runtime bring-up; null before.
extern GeneralSection* general_section;
extern FtpSection* ftp_section;
