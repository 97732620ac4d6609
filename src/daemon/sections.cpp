#include "daemon/sections.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>

#include "admin/interface.h"
#include "admin/statuspages.h"
#include "cache/cache.h"
#include "cache/forward.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/global.h"
#include "daemon/clientpool.h"
#include "inspect/clamav.h"
#include "inspect/external.h"
#include "inspect/icap.h"
#include "inspect/fprot.h"
#include "inspect/kaspersky.h"
#include "inspect/sophie.h"
#include "net/netsection.h"
#include "policy/access.h"
#include "policy/cookie.h"
#include "policy/dnsbl.h"
#include "policy/filter.h"
#include "policy/headerfilter.h"
#include "policy/keyword.h"
#include "policy/limit.h"
#include "policy/mime.h"
#include "policy/redirect.h"
#include "policy/rewrite.h"
#include "policy/sitecategory.h"
#include "policy/urlblacklist.h"
#include "util/mem.h"

namespace {

void clientpool_page(Filebuf* page)
{
    if (global != nullptr && global->clientpool != nullptr)
        global->clientpool->show_connections(page);
}

struct SectionRow {
    std::string_view name;
    std::shared_ptr<void> (*create)();
    void (*publish)(void* section);   // sets the global pointer
};

template <class S, S** global>
constexpr SectionRow row(std::string_view name)
{
    return {name, [] { return std::shared_ptr<void>(std::make_shared<S>()); },
            [](void* section) { *global = static_cast<S*>(section); }};
}

constexpr SectionRow SECTIONS[] = {
    row<AccessSection, &access_section>("access"),
    row<FilterSection, &filter_section>("filter"),
    row<PrefetchSection, &prefetch_section>("prefetch"),
    row<CacheSection, &cache_section>("cache"),
    row<GeneralSection, &general_section>("general"),
    row<DnsblSection, &dnsbl_section>("dnsbl"),
    row<NetworkSection, &network_section>("network"),
    row<HeaderSection, &header_section>("header"),
    row<TemplateSection, &template_section>("template"),
    row<CookieSection, &cookie_section>("cookie"),
    // Their order is their order within the buffering and response checks.
    row<FProtSection, &fprot_section>("fprot"),
    row<KasperskySection, &kaspersky_section>("kaspersky"),
    row<SophieSection, &sophie_section>("sophie"),
    row<FtpSection, &ftp_section>("ftp"),
    row<ProfileSection, &profile_section>("profile"),
    row<MimeSection, &mime_section>("mime"),
    row<RedirectSection, &redirect_section>("redirect"),
    row<KeywordSection, &keyword_section>("keyword"),
    row<RewriteSection, &rewrite_section>("rewrite"),
    row<ExternalSection, &external_section>("external"),
    row<SiteGradeSection, &sitegrade_section>("sitegrade"),
    row<ForwardSection, &forward_section>("forward"),
    row<LimitSection, &limit_section>("limit"),
    row<URLBLSection, &urlbl_section>("urlblacklist"),
    row<ClamAVSection, &clamav_section>("clamav"),
    // Last: its callbacks come after those of every other section.
    row<ICAPSection, &icap_section>("icap"),
};

void create(const SectionRow& row, std::shared_ptr<void>& owner)
{
    if (owner == nullptr)
        owner = row.create();
    row.publish(owner.get());
}

// One owner a row. Never destroyed: threads still running at exit may reach the sections.
std::array<std::shared_ptr<void>, std::size(SECTIONS)>& owners()
{
    static auto* const table = new std::array<std::shared_ptr<void>, std::size(SECTIONS)>;
    return *table;
}

} // namespace

void sections_create()
{
    // The keyword filter's "score" page is an interface page, which sits above the filters.
    keyword_set_score_page(score_show);
    // Requests to the interface host are never scored; the test sits above the policy.
    sitegrade_set_interface_test(interface_request);
    statuspages_set_clientpool(clientpool_page);
    for (std::size_t i = 0; i < std::size(SECTIONS); ++i)
        create(SECTIONS[i], owners()[i]);
}

void sections_create(std::initializer_list<std::string_view> names)
{
    keyword_set_score_page(score_show);
    sitegrade_set_interface_test(interface_request);
    statuspages_set_clientpool(clientpool_page);
    for (const std::string_view name : names) {
        FATAL_ASSERT(std::any_of(std::begin(SECTIONS), std::end(SECTIONS),
                                 [name](const SectionRow& row) { return row.name == name; }));
    }
    for (std::size_t i = 0; i < std::size(SECTIONS); ++i) {
        if (std::find(names.begin(), names.end(), SECTIONS[i].name) != names.end())
            create(SECTIONS[i], owners()[i]);
    }
}
