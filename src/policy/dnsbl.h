// The "dnsbl" section: requests blocked when a DNS-based blacklist lists the domain of their
// host. The domain and the configured zone make a name that is looked up through the proxy's DNS
// cache; an answer within the configured ranges means the domain is listed.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "config/ranges.h"
#include "config/rules.h"
#include "config/section.h"

class Filebuf;
struct CONNECTION_T;

// The longest name asked of the DNS.
constexpr std::size_t DNSBL_QUERY_MAX = 1023;

struct DnsblRules {
    int enabled = 0;          // the check runs only at exactly 1
    std::string templ;        // empty: "blocked"
    std::string zone;         // empty: no check
    IpRangeList ranges;       // empty: no check
};

// The name to look up for a request host: its last two labels (the whole host when it has fewer)
// followed by a dot and the zone, cut to DNSBL_QUERY_MAX. The host is taken without final dots
// and in lower case, so no spelling of a listed name escapes the lookup.
std::string dnsbl_query(std::string_view host, std::string_view zone);

class DnsblSection final : public Section {
public:
    // The declarations must give the enabled flag, the template, the zone and the ranges as the
    // first four global values.
    DnsblSection();
    ~DnsblSection() override = default;

    void update() override;
    std::shared_ptr<const DnsblRules> rules() const;

    // 1 once the request was found listed and its page sent (or the page could not be: the
    // request is blocked all the same), else 0.
    int check_and_block(CONNECTION_T* connection) const;

private:
    SectionRules<DnsblRules> rules_{*this};
};

// The request check of stage 0.
int dnsbl_reqcheck(CONNECTION_T* connection, Filebuf* buffer);

// Created by the runtime bring-up; null before.
extern DnsblSection* dnsbl_section;
