#include "daemon/sections.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <span>

#include "admin/interface.h"
#include "admin/statuspages.h"
#include "cache/cache.h"
#include "cache/forward.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/global.h"
#include "core/processors.h"
#include "daemon/clientpool.h"
#include "inspect/clamav.h"
#include "inspect/external.h"
#include "inspect/icap.h"
#include "inspect/fprot.h"
#include "inspect/kaspersky.h"
#include "inspect/sophie.h"
#include "net/netsection.h"
#include "policy/access.h"
#include "policy/auth.h"
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

// One callback a section runs at a stage of the road: a processor, or a hook when `hook` is set.
struct StageEntry {
    int stage;
    ProcessorCallback processor = nullptr;
    HookCallback hook = nullptr;
};

struct SectionRow {
    std::string_view name;
    std::shared_ptr<void> (*create)();
    void (*publish)(void* section);   // sets the global pointer
    std::span<const StageEntry> stages;
};

template <class S, S** global>
constexpr SectionRow row(std::string_view name, std::span<const StageEntry> stages = {})
{
    return {name, [] { return std::shared_ptr<void>(std::make_shared<S>()); },
            [](void* section) { *global = static_cast<S*>(section); }, stages};
}

// The callbacks of each section. Within a stage they run in the table's order, and within a row
// in the row's order: this is where that order is read. Module callbacks follow, and ICAP's are
// registered at its first rule.
constexpr StageEntry ACCESS_STAGES[] = {{STAGE_AUTH, access_auth}};
constexpr StageEntry FILTER_STAGES[] = {{STAGE_REQUEST_CHECK, filter_reqcheck}};
constexpr StageEntry DNSBL_STAGES[] = {{STAGE_REQUEST_CHECK, dnsbl_reqcheck}};
constexpr StageEntry FPROT_STAGES[] = {{STAGE_RESPONSE_CHECK, fprot_respcheck}, {STAGE_BUFFER_CHECK, fprot_buffcheck}};
constexpr StageEntry KASPERSKY_STAGES[] = {{STAGE_RESPONSE_CHECK, kaspersky_respcheck},
                                           {STAGE_BUFFER_CHECK, kaspersky_buffcheck}};
constexpr StageEntry SOPHIE_STAGES[] = {{STAGE_RESPONSE_CHECK, sophie_respcheck}, {STAGE_BUFFER_CHECK, sophie_buffcheck}};
constexpr StageEntry KEYWORD_STAGES[] = {
    {STAGE_RESPONSE_CHECK, keyword_respcheck},
    {STAGE_BUFFER_CHECK, keyword_buffcheck},
    {HOOK_PRE_RESPONSE, nullptr, keyword_prerespmod},
};
constexpr StageEntry REWRITE_STAGES[] = {
    {STAGE_REQUEST_MODIFY, rewrite_reqmod},   {STAGE_RESPONSE_MODIFY, rewrite_respmod},
    {STAGE_BUFFER_CHECK, rewrite_buffcheck},  {STAGE_REQUEST_HEADER, rewrite_reqheader},
    {STAGE_RESPONSE_HEADER, rewrite_respheader},
};
constexpr StageEntry EXTERNAL_STAGES[] = {
    {STAGE_REQUEST_MODIFY, external_reqmod},
    {STAGE_RESPONSE_MODIFY, external_respmod},
    {STAGE_AUTH, external_auth},
    {STAGE_BUFFER_CHECK, external_buffcheck},
};
constexpr StageEntry SITEGRADE_STAGES[] = {{STAGE_AUTH, sitegrade_first}, {STAGE_REQUEST_MODIFY, sitegrade_second}};
constexpr StageEntry URLBL_STAGES[] = {{STAGE_REQUEST_CHECK, urlbl_reqcheck}};
constexpr StageEntry CLAMAV_STAGES[] = {{STAGE_RESPONSE_CHECK, clamav_respcheck}, {STAGE_BUFFER_CHECK, clamav_buffcheck}};

constexpr SectionRow SECTIONS[] = {
    row<AccessSection, &access_section>("access", ACCESS_STAGES),
    row<FilterSection, &filter_section>("filter", FILTER_STAGES),
    row<PrefetchSection, &prefetch_section>("prefetch"),
    row<CacheSection, &cache_section>("cache"),
    row<GeneralSection, &general_section>("general"),
    row<DnsblSection, &dnsbl_section>("dnsbl", DNSBL_STAGES),
    row<NetworkSection, &network_section>("network"),
    row<HeaderSection, &header_section>("header"),
    row<TemplateSection, &template_section>("template"),
    row<CookieSection, &cookie_section>("cookie"),
    row<FProtSection, &fprot_section>("fprot", FPROT_STAGES),
    row<KasperskySection, &kaspersky_section>("kaspersky", KASPERSKY_STAGES),
    row<SophieSection, &sophie_section>("sophie", SOPHIE_STAGES),
    row<FtpSection, &ftp_section>("ftp"),
    row<ProfileSection, &profile_section>("profile"),
    row<MimeSection, &mime_section>("mime"),
    row<RedirectSection, &redirect_section>("redirect"),
    row<KeywordSection, &keyword_section>("keyword", KEYWORD_STAGES),
    row<RewriteSection, &rewrite_section>("rewrite", REWRITE_STAGES),
    row<ExternalSection, &external_section>("external", EXTERNAL_STAGES),
    row<SiteGradeSection, &sitegrade_section>("sitegrade", SITEGRADE_STAGES),
    row<ForwardSection, &forward_section>("forward"),
    row<LimitSection, &limit_section>("limit"),
    row<URLBLSection, &urlbl_section>("urlblacklist", URLBL_STAGES),
    row<ClamAVSection, &clamav_section>("clamav", CLAMAV_STAGES),
    // Last: its callbacks, registered when its first rule is built, come after every other.
    row<ICAPSection, &icap_section>("icap"),
};

// Registering a callback again changes nothing (the registries keep the first entry).
void register_stages(const SectionRow& row)
{
    for (const StageEntry& entry : row.stages) {
        if (entry.hook != nullptr)
            hooks.Add(entry.hook, entry.stage);
        else
            processors.Add(entry.processor, entry.stage);
    }
}

const SectionRow& row_named(std::string_view name)
{
    const auto found = std::find_if(std::begin(SECTIONS), std::end(SECTIONS),
                                    [name](const SectionRow& row) { return row.name == name; });
    FATAL_ASSERT(found != std::end(SECTIONS));
    return *found;
}

void create(const SectionRow& row, std::shared_ptr<void>& owner)
{
    if (owner == nullptr)
        owner = row.create();
    row.publish(owner.get());
    register_stages(row);
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
    for (const std::string_view name : names)
        row_named(name);
    for (std::size_t i = 0; i < std::size(SECTIONS); ++i) {
        if (std::find(names.begin(), names.end(), SECTIONS[i].name) != names.end())
            create(SECTIONS[i], owners()[i]);
    }
}

void sections_register(std::initializer_list<std::string_view> names)
{
    for (const std::string_view name : names)
        register_stages(row_named(name));
}
