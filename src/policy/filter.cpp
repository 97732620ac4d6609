#include "http/header.h"
#include "policy/filter.h"

#include <optional>

#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/request.h"
#include "net/dns.h"
#include "policy/allowdeny.h"
#include "policy/itemview.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

FilterSection* filter_section = nullptr;

namespace {

constexpr RuleField<Filter> FIELDS[] = {
    {"enabled", &Filter::enabled}, {"comment", &Filter::comment}, {"profiles", &Filter::profiles},
    {"host", &Filter::host},       {"file", &Filter::path},       {"ip", &Filter::addresses},
    {"template", &Filter::templ},
};

constexpr RuleSectionShape<FilterRules, Filter> SHAPE{
    .name = "url-filtering",
    .enabled_at = 0,
    .order_at = 1,
    .templ_at = 2,
    .lists = {&FilterRules::allow, &FilterRules::deny},
    .bypass = BYPASS_URLFILTER,
    .fields = FIELDS,
    .item_fields = &Filter::fields,
};

std::string request_host(const CONNECTION_T& connection)
{
    const HEADER* request = connection.request.get();
    return request != nullptr ? text_or_empty(request->host) : "";
}

std::string request_path(const CONNECTION_T& connection)
{
    const HEADER* request = connection.request.get();
    return request != nullptr ? text_or_empty(request->path) : "";
}

} // namespace

bool FilterAddress::within(const IpRangeList& ranges)
{
    if (ranges.ranges.empty() || offline_)
        return true;
    if (!looked_up_) {
        looked_up_ = true;
        if (HostentPtr answer = net_dns(host_.c_str()))
            address_ = net_dns_dotted(*answer);
    }
    return address_.empty() || ranges.has(address_) == 1;
}

bool Filter::match(const CONNECTION_T& connection, const UrlMatchText* url, FilterAddress& address) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    if (host.compiled() && (url == nullptr || !host.matches(url->host())))
        return false;
    if (path.compiled() && (url == nullptr || !path.matches(url->path())))
        return false;
    return address.within(addresses);
}

FilterSection::FilterSection() : RuleSection(SHAPE) {}

std::shared_ptr<const Filter> FilterSection::check(const CONNECTION_T* connection) const
{
    std::shared_ptr<const FilterRules> current = rules();
    if (!active(*current, *connection))
        return nullptr;
    // Shared by every rule of this check, so the host is resolved once at most.
    FilterAddress address(request_host(*connection), (connection->flags & CONN_OFFLINE) != 0);
    const HEADER* request = connection->request.get();
    std::optional<UrlMatchText> url;
    if (request != nullptr)
        url.emplace(text_view(request->host), text_view(request->path));
    const UrlMatchText* seen = url ? &*url : nullptr;
    const AllowDeny<Filter> verdict = allowdeny_decide<Filter>(
        current->order, current->allow, current->deny,
        [connection, seen, &address](const Filter& rule) { return rule.match(*connection, seen, address); });
    if (verdict.allowed)
        return nullptr;
    const Filter* rule = verdict.rule != nullptr ? verdict.rule : &current->fallback;
    return std::shared_ptr<const Filter>(std::move(current), rule);
}

int FilterSection::check_and_block(CONNECTION_T* connection) const
{
    const std::shared_ptr<const Filter> rule = check(connection);
    if (rule == nullptr)
        return 0;
    putlog(LOG_URLFILTER, "blocked: %s%s", request_host(*connection).c_str(), request_path(*connection).c_str());
    connection->variables["FILTER"] = "URL Filter";

    std::string page = rule->templ;
    if (page.empty())
        page = rules()->templ;
    if (page.empty())
        page = "blocked";
    const HEADER* request = connection->request.get();
    const bool tunnel = request != nullptr && request->kind == HEADER_CONNECT;
    template_section->send(page, connection, tunnel ? 404 : 200);
    connection->logentry.filter_name = "url-filter";
    connection->logentry.filtering_reason = "-";
    return 1;
}

std::unique_ptr<Filebuf> FilterSection::check_show(CONNECTION_T* connection) const
{
    // The request is the client's text: it must not become markup of the page.
    const std::string where = string_to_html(request_host(*connection) + request_path(*connection), 0);
    auto page = std::make_unique<Filebuf>();
    page->Add("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page->Addf("<html><head><title>URL filter match for %s</title></head>", where.c_str());
    page->Add("<body>\n");
    template_section->insert(connection, page.get(), "interface.css");
    page->Add("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\"><tr><td align=\"center\">\n");
    page->Add("<table class=\"dialog\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">URL filter match for %s</td></tr>\n",
               where.c_str());
    const std::shared_ptr<const Filter> rule = check(connection);
    if (rule == nullptr)
        page->Add("<tr><td align=\"center\" colspan=\"2\">None</td></tr>\n");
    else if (rule->fields.empty())
        // The section's default blocks: there is no configured rule to show.
        page->Add("<tr><td align=\"center\" colspan=\"2\">Default</td></tr>\n");
    else
        item_view(*page, rule->fields);
    page->Add("</table></td></tr></table></body></html>\n");
    return page;
}

int filter_reqcheck(CONNECTION_T* connection, Filebuf* /*buffer*/)
{
    return filter_section->check_and_block(connection);
}
