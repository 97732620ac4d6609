#include "http/header.h"
#include "policy/dnsbl.h"

#include "http/template.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/request.h"
#include "net/dns.h"
#include "util/log.h"
#include "util/mem.h"
#include "util/stringutil.h"

DnsblSection* dnsbl_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_TEMPLATE = 1,
    GLOBAL_ZONE = 2,
    GLOBAL_RANGES = 3,
    GLOBAL_COUNT = 4,
};

} // namespace

std::string dnsbl_query(std::string_view host, std::string_view zone)
{
    while (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    std::string domain(host);
    // Only dots after the first character count, so a leading dot never makes a label.
    const std::size_t last = domain.rfind('.');
    if (last != std::string::npos && last > 0) {
        const std::size_t second = domain.rfind('.', last - 1);
        if (second != std::string::npos && second > 0)
            domain.erase(0, second + 1);
    }
    string_tolower(domain);
    std::string query = domain + "." + std::string(zone);
    if (query.size() > DNSBL_QUERY_MAX)
        query.resize(DNSBL_QUERY_MAX);
    return query;
}

DnsblSection::DnsblSection() : Section("dnsbl", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    update();
}

void DnsblSection::update()
{
    rules_.rebuild([this](DnsblRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.templ = fields_[GLOBAL_TEMPLATE].text;
        next.zone = fields_[GLOBAL_ZONE].text;
        next.ranges = fields_[GLOBAL_RANGES].ip_ranges;
    });
}

std::shared_ptr<const DnsblRules> DnsblSection::rules() const
{
    return rules_.snapshot();
}

int DnsblSection::check_and_block(CONNECTION_T* connection) const
{
    const std::shared_ptr<const DnsblRules> current = rules();
    if (current->enabled != 1 || (connection->bypass & BYPASS_DNSBL) != 0 || current->zone.empty() ||
        current->ranges.ranges.empty())
        return 0;
    const HEADER* request = connection->request.get();
    if (request == nullptr || !request->host)
        return 0;
    const HostentPtr answer = net_dns(dnsbl_query(*request->host, current->zone).c_str());
    if (answer == nullptr)
        return 0;
    const std::string address = net_dns_dotted(*answer);
    if (current->ranges.has(address) != 1)
        return 0;

    connection->variables["FILTER"] = "URL BlackList";
    connection->variables["DNSBL_IP"] = address;
    template_section->send(current->templ.empty() ? std::string_view("blocked") : std::string_view(current->templ),
                           connection, 404);
    putlog(LOG_DNSBL, "domain %s is blacklisted", request->host->c_str());
    connection->logentry.filter_name = "dnsbl";
    connection->logentry.filtering_reason = address;
    return 1;
}

int dnsbl_reqcheck(CONNECTION_T* connection, Filebuf* /*buffer*/)
{
    return dnsbl_section->check_and_block(connection);
}
