#include "http/header.h"
#include "policy/mime.h"

#include <optional>

#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/connection.h"
#include "policy/allowdeny.h"
#include "policy/itemview.h"
#include "http/request.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

MimeSection* mime_section = nullptr;

namespace {

constexpr RuleField<Mime> FIELDS[] = {
    {"enabled", &Mime::enabled}, {"comment", &Mime::comment}, {"profiles", &Mime::profiles},
    {"host", &Mime::host},       {"file", &Mime::path},       {"mime", &Mime::type},
    {"template", &Mime::templ},
};

constexpr RuleSectionShape<MimeRules, Mime> SHAPE{
    .name = "mime-filtering",
    .enabled_at = 0,
    .order_at = 1,
    .templ_at = 2,
    .lists = {&MimeRules::allow, &MimeRules::deny},
    .bypass = BYPASS_MIME,
    .fields = FIELDS,
    .item_fields = &Mime::fields,
};

} // namespace

bool Mime::match(const CONNECTION_T& connection, const UrlMatchText* url) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    if (host.compiled() && (url == nullptr || !host.matches(url->host())))
        return false;
    if (path.compiled() && (url == nullptr || !path.matches(url->path())))
        return false;
    if (!type.compiled())
        return true;
    const HEADER* response = connection.response;
    return response != nullptr && response->content_type && type.matches(text_view(response->content_type));
}

MimeSection::MimeSection() : RuleSection(SHAPE) {}

std::shared_ptr<const Mime> MimeSection::check(const CONNECTION_T* connection) const
{
    std::shared_ptr<const MimeRules> current = rules();
    if (!active(*current, *connection))
        return nullptr;
    const HEADER* request = connection->request.get();
    std::optional<UrlMatchText> url;
    if (request != nullptr)
        url.emplace(text_view(request->host), text_view(request->path));
    const UrlMatchText* seen = url ? &*url : nullptr;
    const AllowDeny<Mime> verdict =
        allowdeny_decide<Mime>(current->order, current->allow, current->deny,
                               [connection, seen](const Mime& rule) { return rule.match(*connection, seen); });
    if (verdict.allowed)
        return nullptr;
    const Mime* rule = verdict.rule != nullptr ? verdict.rule : &current->fallback;
    return std::shared_ptr<const Mime>(std::move(current), rule);
}

bool MimeSection::check_and_block(CONNECTION_T* connection)
{
    const std::shared_ptr<const Mime> rule = check(connection);
    if (rule == nullptr)
        return true;
    const HEADER* request = connection->request.get();
    const HEADER* response = connection->response;
    const HeaderText& type = response != nullptr ? response->content_type : HeaderText();
    putlog(LOG_MIME, "blocked: mime-type %s from %s%s", type ? type->c_str() : "(none)",
           request != nullptr ? text_or_empty(request->host) : "", request != nullptr ? text_or_empty(request->path) : "");
    connection->variables["FILTER"] = "MiMe Filter";
    connection->variables["MIME"] = type ? *type : std::string("(UNKNOWN)");

    std::string page = rule->templ;
    if (page.empty())
        page = rules()->templ;
    if (page.empty())
        page = "blocked";
    template_section->send(page, connection, 200);
    connection->logentry.filter_name = "mime-filter";
    connection->logentry.filtering_reason = type ? *type : std::string("(none)");
    return false;
}

std::unique_ptr<Filebuf> MimeSection::check_show(CONNECTION_T* connection) const
{
    const HEADER* request = connection->request.get();
    const std::string where = string_to_html(
        std::string(request != nullptr ? text_or_empty(request->host) : "") + (request != nullptr ? text_or_empty(request->path) : ""),
        0);
    auto page = std::make_unique<Filebuf>();
    page->Add("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page->Addf("<html><head><title>MIME filter match for %s</title></head>", where.c_str());
    page->Add("<body>\n");
    template_section->insert(connection, page.get(), "interface.css");
    page->Add("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\"><tr><td align=\"center\">\n");
    page->Add("<table class=\"dialog\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">MIME filter match for %s</td></tr>\n",
               where.c_str());
    const std::shared_ptr<const Mime> rule = check(connection);
    if (rule == nullptr)
        page->Add("<tr><td align=\"center\" colspan=\"2\">None</td></tr>\n");
    else if (rule->fields.empty())
        // The section's default blocks: there is no configured rule to show.
        page->Add("<tr><td align=\"center\" colspan=\"2\">Default</td></tr>\n");
    else
        item_view(*page, rule->fields);
    page->Add("</table></td></tr> </table></body></html>\n");
    return page;
}
