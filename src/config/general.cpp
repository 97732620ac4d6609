#include "config/general.h"

#include <utility>

#include "core/connection.h"
#include "util/helpers.h"
#include "util/mem.h"
#include "config/profile.h"

GeneralSection* general_section = nullptr;
FtpSection* ftp_section = nullptr;

namespace {

// The HTML escaping of the helpers wraps at the line length of the section the proxy runs with.
int general_linelength()
{
    return general_section != nullptr ? general_section->linelength_get() : 0;
}

// Positions of the general section's global values.
enum : std::size_t {
    GENERAL_PROXYHOST = 0,
    GENERAL_TEMPDIR = 1,
    GENERAL_LINELENGTH = 2,
    GENERAL_POOLSIZE = 3,
    GENERAL_POOLTIMEOUT = 4,
    GENERAL_GLOBALS = 5,
};

// Positions of a general rule's values.
enum : std::size_t {
    RULE_ENABLED = 0,
    RULE_COMMENT = 1,
    RULE_PROFILES = 2,
    RULE_CTIMEOUT = 3,
    RULE_TIMEOUT = 4,
    RULE_KEEPTIMEOUT = 5,
    RULE_MAXDBUFFER = 6,
    RULE_MAXUBUFFER = 7,
    RULE_BUFFERWAIT = 8,
    RULE_CPORTRANGE = 9,
    RULE_ENCODEMIME = 10,
    RULE_COMPRESSOUT = 11,
    RULE_COMPRESSIN = 12,
    RULE_XFORWARDEDFOR = 13,
    RULE_VIA = 14,
    RULE_FIELDS = 15,
};

// Positions of the FTP section's global values.
enum : std::size_t {
    FTP_PASSIVE = 0,
    FTP_TIMEOUT = 1,
    FTP_USER = 2,
    FTP_PASSWORD = 3,
    FTP_SORTORDER = 4,
    FTP_SORTFIELD = 5,
    FTP_GLOBALS = 6,
};

UniqueRegex pattern_compile(const std::string& pattern)
{
    return pattern.empty() ? UniqueRegex() : UniqueRegex(reg_compile(pattern.c_str(), REG_CASELESS));
}

const StringList NO_PROFILES;

} // namespace

General::General(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    profiles = f[RULE_PROFILES].string_list;
    ctimeout = f[RULE_CTIMEOUT].int_value;
    timeout = f[RULE_TIMEOUT].int_value;
    keeptimeout = f[RULE_KEEPTIMEOUT].int_value;
    maxdbuffer = f[RULE_MAXDBUFFER].uint_value;
    maxubuffer = f[RULE_MAXUBUFFER].uint_value;
    bufferwait = f[RULE_BUFFERWAIT].int_value;
    cportrange = f[RULE_CPORTRANGE].port_ranges;
    encodemime = f[RULE_ENCODEMIME].text;
    encodemime_regex = pattern_compile(encodemime);
    compressout = f[RULE_COMPRESSOUT].int_value;
    compressin = f[RULE_COMPRESSIN].int_value;
    xforwardedfor = f[RULE_XFORWARDEDFOR].int_value;
    via = f[RULE_VIA].int_value;
}

General::General(const General& other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles), ctimeout(other.ctimeout),
      timeout(other.timeout), keeptimeout(other.keeptimeout), maxdbuffer(other.maxdbuffer),
      maxubuffer(other.maxubuffer), bufferwait(other.bufferwait), cportrange(other.cportrange),
      encodemime(other.encodemime), encodemime_regex(pattern_compile(other.encodemime)),
      compressout(other.compressout), compressin(other.compressin), xforwardedfor(other.xforwardedfor),
      via(other.via)
{
}

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GENERAL_GLOBALS);
    FATAL_ASSERT(!subsections_.empty() && subsections_[0].templ.size() >= RULE_FIELDS);
    html_set_linelength(general_linelength);
}

void GeneralSection::update()
{
    rules_.rebuild([this](GeneralRules& next) { rules_from_items(next.rules, subsections_[0]); });
}

std::shared_ptr<const GeneralRules> GeneralSection::rules() const
{
    return rules_.snapshot();
}

std::shared_ptr<const General> GeneralSection::find(const CONNECTION_T* connection) const
{
    const StringList& names = connection != nullptr ? connection->profiles : NO_PROFILES;
    std::shared_ptr<const GeneralRules> current = rules_.snapshot();
    for (const General& candidate : current->rules) {
        if (candidate.enabled != 0 && profile_find(names, candidate.profiles) == 1)
            return std::shared_ptr<const General>(std::move(current), &candidate);
    }
    return nullptr;
}

std::shared_ptr<const General> GeneralSection::snapshot(const CONNECTION_T* connection) const
{
    static const std::shared_ptr<const General> defaults = std::make_shared<const General>();
    std::shared_ptr<const General> rule = find(connection);
    return rule != nullptr ? rule : defaults;
}

std::shared_ptr<const General> GeneralSection::rule_of(const CONNECTION_T* connection) const
{
    if (connection != nullptr && connection->general != nullptr)
        return connection->general;
    return snapshot(connection);
}

std::string GeneralSection::proxyhost_get() const
{
    SectionReadLock lock(*this);
    return fields_[GENERAL_PROXYHOST].text;
}

std::string GeneralSection::tempdir_get() const
{
    SectionReadLock lock(*this);
    return fields_[GENERAL_TEMPDIR].text;
}

int GeneralSection::linelength_get() const
{
    return atomic_read(&fields_[GENERAL_LINELENGTH].int_value);
}

int GeneralSection::poolsize_get() const
{
    return atomic_read(&fields_[GENERAL_POOLSIZE].int_value);
}

int GeneralSection::pooltimeout_get() const
{
    return atomic_read(&fields_[GENERAL_POOLTIMEOUT].int_value);
}

int GeneralSection::ctimeout_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->ctimeout;
}

int GeneralSection::timeout_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->timeout;
}

int GeneralSection::keeptimeout_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->keeptimeout;
}

unsigned GeneralSection::maxdbuffer_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->maxdbuffer;
}

unsigned GeneralSection::maxubuffer_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->maxubuffer;
}

int GeneralSection::bufferwait_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->bufferwait;
}

int GeneralSection::cportrange_check(const CONNECTION_T* connection, int port) const
{
    return rule_of(connection)->cportrange.has(port);
}

int GeneralSection::encodemime_check(const CONNECTION_T* connection, std::string_view type) const
{
    const std::shared_ptr<const General> rule = rule_of(connection);
    if (rule->encodemime_regex == nullptr)
        return 0;
    return reg_exec(rule->encodemime_regex.get(), type) == 0 ? 1 : 0;
}

int GeneralSection::compressout_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->compressout;
}

int GeneralSection::compressin_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->compressin;
}

int GeneralSection::xforwardedfor_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->xforwardedfor;
}

int GeneralSection::via_get(const CONNECTION_T* connection) const
{
    return rule_of(connection)->via;
}

FtpSection::FtpSection() : Section("ftp", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= FTP_GLOBALS);
}

int FtpSection::passive_get() const
{
    return atomic_read(&fields_[FTP_PASSIVE].int_value);
}

int FtpSection::timeout_get() const
{
    return atomic_read(&fields_[FTP_TIMEOUT].int_value);
}

std::string FtpSection::user_get() const
{
    SectionReadLock lock(*this);
    return fields_[FTP_USER].text;
}

std::string FtpSection::password_get() const
{
    SectionReadLock lock(*this);
    return fields_[FTP_PASSWORD].text;
}

int FtpSection::sortorder_get() const
{
    return atomic_read(&fields_[FTP_SORTORDER].int_value);
}

int FtpSection::sortfield_get() const
{
    return atomic_read(&fields_[FTP_SORTFIELD].int_value);
}
