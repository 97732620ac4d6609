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

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_ORDER = 1,
    GLOBAL_TEMPLATE = 2,
    GLOBAL_COUNT = 3,
};

enum : std::size_t {
    SUBSECTION_ALLOW = 0,
    SUBSECTION_DENY = 1,
};

} // namespace

Mime::Mime(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= MIME_FIELD_COUNT);
    enabled = f[MIME_FIELD_ENABLED].int_value;
    comment = f[MIME_FIELD_COMMENT].text;
    profiles = f[MIME_FIELD_PROFILES].string_list;
    host = f[MIME_FIELD_HOST].text;
    path = f[MIME_FIELD_PATH].text;
    type = f[MIME_FIELD_TYPE].text;
    templ = f[MIME_FIELD_TEMPLATE].text;
    fields = f;
    compile();
}

Mime::Mime(const Mime& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      host(other.host),
      path(other.path),
      type(other.type),
      templ(other.templ),
      fields(other.fields)
{
    compile();
}

void Mime::compile()
{
    host_regex = rule_pattern_compile(host);
    path_regex = rule_pattern_compile(path);
    type_regex = rule_pattern_compile(type);
}

bool Mime::match(const CONNECTION_T& connection, const UrlMatchText* url) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    if (host_regex != nullptr && (url == nullptr || !rule_pattern_matches(host_regex, url->host())))
        return false;
    if (path_regex != nullptr && (url == nullptr || !rule_pattern_matches(path_regex, url->path())))
        return false;
    if (type_regex == nullptr)
        return true;
    const HEADER* response = connection.response;
    return response != nullptr && response->content_type && rule_pattern_matches(type_regex, text_view(response->content_type));
}

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(subsections_.size() > SUBSECTION_DENY);
    FATAL_ASSERT(subsections_[SUBSECTION_ALLOW].templ.size() >= MIME_FIELD_COUNT);
    FATAL_ASSERT(subsections_[SUBSECTION_DENY].templ.size() >= MIME_FIELD_COUNT);
    update();
}

void MimeSection::update()
{
    rules_.rebuild([this](MimeRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.order = fields_[GLOBAL_ORDER].int_value;
        next.templ = fields_[GLOBAL_TEMPLATE].text;
        rules_from_items(next.allow, subsections_[SUBSECTION_ALLOW]);
        rules_from_items(next.deny, subsections_[SUBSECTION_DENY]);
    });
}

std::shared_ptr<const MimeRules> MimeSection::rules() const
{
    return rules_.snapshot();
}

std::shared_ptr<const Mime> MimeSection::check(const CONNECTION_T* connection) const
{
    std::shared_ptr<const MimeRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_MIME) != 0)
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
