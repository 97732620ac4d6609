#include "http/header.h"
#include "policy/rewrite.h"

#include <string_view>

#include "config/item.h"
#include "config/profile.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/request.h"
#include "util/filebuf.h"
#include "util/log.h"
#include "util/mem.h"

RewriteSection* rewrite_section = nullptr;

namespace {

const char* kind_name(int kind)
{
    switch (kind) {
    case REWRITE_CLIENT_HEADER: return "client header";
    case REWRITE_SERVER_HEADER: return "server header";
    case REWRITE_BODY: return "body";
    case REWRITE_POST_BODY: return "post body";
    default: return "";
    }
}

// The raw header stages hand over the text with a terminating zero counted in its size: the
// rules see the text alone, and the zero is put back behind whatever they made of it.
int rewrite_header(CONNECTION_T* connection, Filebuf* header, int kind)
{
    if (header == nullptr)
        return 1;
    const bool terminated = header->size() > 0 && header->view().back() == '\0';
    if (terminated)
        header->Resize(header->size() - 1);
    rewrite_section->rewrite_do(connection, header, kind);
    if (terminated)
        header->Add("", 1);
    return 1;
}

constexpr RuleField<Rewrite> FIELDS[] = {
    {"enabled", &Rewrite::enabled},
    {"comment", &Rewrite::comment},
    {"profiles", &Rewrite::profiles},
    {"mime", &Rewrite::type},
    {"pattern", &Rewrite::pattern, REG_SUB_RULE},
    {"replace", &Rewrite::replacement},
    {"which", &Rewrite::kinds},
};

constexpr RuleSectionShape<RewriteRules, Rewrite> SHAPE{
    .name = "rewrite",
    .enabled_at = 0,
    .order_at = RULE_GLOBAL_NONE,
    .templ_at = RULE_GLOBAL_NONE,
    .lists = {&RewriteRules::rules},
    .bypass = BYPASS_REWRITE,
    .fields = FIELDS,
};

} // namespace

bool Rewrite::applies(const CONNECTION_T& connection, int kind) const
{
    if (enabled == 0 || (kinds & kind) == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    // Made also while the request header is being rewritten, before it is parsed again: a rule
    // for HTML bodies must never reach the headers.
    if (!type.compiled())
        return true;
    std::string_view subject;
    if (kind == REWRITE_BODY && connection.response != nullptr && connection.response->content_type)
        subject = *connection.response->content_type;
    return type.matches(subject);
}

RewriteSection::RewriteSection() : RuleSection(SHAPE) {}

int RewriteSection::rewrite_do(CONNECTION_T* connection, Filebuf* text, int kind)
{
    const std::shared_ptr<const RewriteRules> current = rules();
    if (!active(*current, *connection))
        return 0;
    int ran = 0;
    for (const Rewrite& rule : current->rules) {
        if (!rule.pattern.compiled() || !rule.applies(*connection, kind))
            continue;
        ran = 1;
        const int matches = reg_replace(*text, rule.pattern.regex(), rule.replacement.c_str(), &connection->variables);
        if (matches > 0)
            putlog(LOG_REWRITE, "%s matched %d times in %s", rule.pattern.text().c_str(), matches, kind_name(kind));
    }
    return ran;
}

int RewriteSection::check_match(const CONNECTION_T* connection, int kind) const
{
    const std::shared_ptr<const RewriteRules> current = rules();
    if (!active(*current, *connection))
        return 0;
    for (const Rewrite& rule : current->rules) {
        if (rule.pattern.compiled() && rule.applies(*connection, kind))
            return 1;
    }
    return 0;
}

int rewrite_reqmod(CONNECTION_T* connection, Filebuf* body)
{
    if (body != nullptr && body->size() > 0)
        rewrite_section->rewrite_do(connection, body, REWRITE_POST_BODY);
    return 0;
}

int rewrite_respmod(CONNECTION_T* connection, Filebuf* body)
{
    if (body != nullptr)
        rewrite_section->rewrite_do(connection, body, REWRITE_BODY);
    return 1;
}

int rewrite_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return rewrite_section->check_match(connection, REWRITE_BODY);
}

int rewrite_reqheader(CONNECTION_T* connection, Filebuf* header)
{
    return rewrite_header(connection, header, REWRITE_CLIENT_HEADER);
}

int rewrite_respheader(CONNECTION_T* connection, Filebuf* header)
{
    return rewrite_header(connection, header, REWRITE_SERVER_HEADER);
}
