#include "http/header.h"
#include "policy/access.h"

#include <charconv>
#include <utility>

#include "policy/allowdeny.h"
#include "policy/auth.h"
#include "config/item.h"
#include "util/log.h"
#include "util/mem.h"
#include "policy/password_cache.h"
#include "core/processors.h"
#include "core/statgroups.h"
#include "util/stringutil.h"

AccessSection* access_section = nullptr;

namespace {

// The longest address part of an interface entry: a dotted IPv4 address.
constexpr std::size_t INTERFACE_ADDRESS_MAX = 15;

// "address:port" names the connection when the port is its listening port and the address is
// "*" or, byte for byte, its local address.
bool interface_names(std::string_view entry, const CONNECTION_T& connection)
{
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string_view address = entry.substr(0, colon);
    if (address.size() > INTERFACE_ADDRESS_MAX)
        return false;
    const std::string_view digits = entry.substr(colon + 1);
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end == digits.data())
        return false;
    return port == connection.port && (address == "*" || address == connection.localip);
}

} // namespace

std::string access_shown(std::string_view text)
{
    return string_escape_control(text);
}

std::string_view access_client(const CONNECTION_T& connection)
{
    if (access_section != nullptr) {
        if (const auto forwarded = access_section->rules()->forwarded_for(connection))
            return *forwarded;
    }
    return connection.ip;
}

std::string access_user_text(const CONNECTION_T& connection, std::string_view name)
{
    return access_shown(name) + "@" + access_shown(access_client(connection));
}

Access::Access() : stats(userstats_init())
{
}

Access::Access(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= ACCESS_FIELD_COUNT);
    enabled = f[ACCESS_FIELD_ENABLED].int_value;
    comment = f[ACCESS_FIELD_COMMENT].text;
    log = f[ACCESS_FIELD_LOG].int_value;
    reserved = f[ACCESS_FIELD_RESERVED].string_list;
    interfaces = f[ACCESS_FIELD_INTERFACES].string_list;
    clients = f[ACCESS_FIELD_CLIENTS].ip_ranges;
    pam = f[ACCESS_FIELD_PAM].int_value;
    user = f[ACCESS_FIELD_USER].text;
    password = f[ACCESS_FIELD_PASSWORD].text;
    access = f[ACCESS_FIELD_ACCESS].int_value;
    bypass = static_cast<std::uint32_t>(f[ACCESS_FIELD_BYPASS].int_value);
    interface_user = f[ACCESS_FIELD_INTERFACE_USER].text;
    interface_password = f[ACCESS_FIELD_INTERFACE_PASSWORD].text;
    // Empty names between separators would add a profile nobody can name in a condition.
    for (const std::string& name : StringList(f[ACCESS_FIELD_PROFILES].text, ",")) {
        if (!name.empty())
            profiles.push_back(name);
    }
    compile();
    stats = userstats_init();
}

Access::Access(const Access& other)
    : enabled(other.enabled),
      comment(other.comment),
      log(other.log),
      reserved(other.reserved),
      interfaces(other.interfaces),
      clients(other.clients),
      pam(other.pam),
      user(other.user),
      password(other.password),
      access(other.access),
      bypass(other.bypass),
      interface_user(other.interface_user),
      interface_password(other.interface_password),
      profiles(other.profiles),
      stats(other.stats)
{
    compile();
}

void Access::compile()
{
    // Compiled whatever the PAM mode, as the rule's user name may become a pattern by an edit of
    // that mode alone; a text that does not compile is logged and leaves no pattern.
    if (!user.empty())
        pattern.reset(reg_compile(user.c_str(), REG_CASELESS));
}

bool Access::match(const CONNECTION_T& connection, std::optional<std::string_view> forwarded,
                   std::optional<std::string_view> u, std::optional<std::string_view> p) const
{
    if (enabled == 0)
        return false;
    if (!interfaces.empty()) {
        bool named = false;
        for (const std::string& entry : interfaces) {
            if (interface_names(entry, connection)) {
                named = true;
                break;
            }
        }
        if (!named)
            return false;
    }
    if (!clients.ranges.empty()) {
        if (!(forwarded && clients.has(*forwarded)) && !clients.has(connection.ip))
            return false;
    }
    if (pam == 1)
        return pattern == nullptr || !u || reg_exec(pattern.get(), *u) == 0;
    if (user.empty()) {
        if (u)
            return false;
    } else if (u && *u != user) {
        return false;
    }
    return password.empty() || !p || *p == password;
}

AccessSection::AccessSection() : Section("access", SECTION_RWLOCK)
{
    FATAL_ASSERT(subsections_.size() >= 2);
    FATAL_ASSERT(subsections_[0].templ.size() >= ACCESS_FIELD_COUNT);
    FATAL_ASSERT(subsections_[1].templ.size() >= ACCESS_FIELD_COUNT);
    // The declared order holds before any configuration is loaded.
    update();
}

void AccessSection::update()
{
    rules_.rebuild([this](AccessRules& next) {
        next.order = fields_.empty() ? 0 : fields_[0].int_value;
        rules_from_items(next.allow, subsections_[0]);
        rules_from_items(next.deny, subsections_[1]);
    });
}

std::shared_ptr<const AccessRules> AccessSection::rules() const
{
    return rules_.snapshot();
}

const Access* AccessRules::admit(const CONNECTION_T& connection, std::optional<std::string_view> forwarded,
                                 std::optional<std::string_view> user, std::optional<std::string_view> password) const
{
    const AllowDeny<Access> verdict = allowdeny_decide<Access>(
        order, allow, deny, [&](const Access& rule) { return rule.match(connection, forwarded, user, password); });
    if (!verdict.allowed)
        return nullptr;
    return verdict.rule != nullptr ? verdict.rule : &fallback;
}

std::optional<std::string_view> AccessRules::forwarded_for(const CONNECTION_T& connection) const
{
    if (connection.request == nullptr || !connection.request->x_forwarded_for)
        return std::nullopt;
    // A rule that asks for credentials has not admitted anyone yet: trusting its clients would
    // let a forwarded address pick a rule that asks for none.
    const Access* peer = admit(connection, std::nullopt, std::nullopt, std::nullopt);
    if (peer == nullptr || peer->needs_credentials())
        return std::nullopt;
    return std::string_view(*connection.request->x_forwarded_for);
}

std::shared_ptr<const Access> AccessSection::check(const CONNECTION_T* connection, std::optional<std::string_view> user,
                                                   std::optional<std::string_view> password) const
{
    std::shared_ptr<const AccessRules> current = rules();
    const Access* rule = current->admit(*connection, current->forwarded_for(*connection), user, password);
    if (rule == nullptr)
        return nullptr;
    return std::shared_ptr<const Access>(std::move(current), rule);
}

void AccessSection::setup(CONNECTION_T* connection, const Access& rule)
{
    if (rule.needs_credentials())
        connection->auth |= AUTH_NEEDED;
    else
        connection->username = access_user_text(*connection, "anonymous");

    for (const std::string& name : rule.profiles) {
        if (connection->profiles.has(name))
            continue;
        connection->profiles.push_back(name);
        if (rule.log == 1)
            putlog(LOG_PROFILES, "%s Profile: %s", "Added", name.c_str());
    }

    connection->bypass |= rule.bypass;
    connection->access = rule.access;
    connection->interface_username = rule.interface_user;
    connection->interface_password = rule.interface_password;
    connection->stats = rule.stats;
}

int AccessSection::check_and_setup(CONNECTION_T* connection)
{
    const std::shared_ptr<const Access> rule = check(connection, std::nullopt, std::nullopt);
    if (rule == nullptr) {
        putlog(LOG_SECURITY, "access policy has refused connection from %s on port %d", connection->ip.c_str(),
               connection->port);
        return 0;
    }
    setup(connection, *rule);
    return 1;
}
