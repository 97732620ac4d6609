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

} // namespace

Rewrite::Rewrite(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= REWRITE_FIELD_COUNT);
    enabled = f[REWRITE_FIELD_ENABLED].int_value;
    comment = f[REWRITE_FIELD_COMMENT].text;
    profiles = f[REWRITE_FIELD_PROFILES].string_list;
    type = f[REWRITE_FIELD_TYPE].text;
    pattern = f[REWRITE_FIELD_PATTERN].text;
    replacement = f[REWRITE_FIELD_REPLACEMENT].text;
    kinds = f[REWRITE_FIELD_APPLIES].int_value;
    compile();
}

Rewrite::Rewrite(const Rewrite& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      type(other.type),
      pattern(other.pattern),
      replacement(other.replacement),
      kinds(other.kinds)
{
    compile();
}

void Rewrite::compile()
{
    if (!type.empty())
        type_regex.reset(reg_compile(type.c_str(), REG_CASELESS));
    if (!pattern.empty())
        regex.reset(reg_sub_compile(pattern.c_str(), REG_SUB_RULE));
}

bool Rewrite::applies(const CONNECTION_T& connection, int kind) const
{
    if (enabled == 0 || (kinds & kind) == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    // Made also while the request header is being rewritten, before it is parsed again: a rule
    // for HTML bodies must never reach the headers.
    if (type_regex == nullptr)
        return true;
    std::string_view subject;
    if (kind == REWRITE_BODY && connection.response != nullptr && connection.response->content_type)
        subject = *connection.response->content_type;
    return reg_exec(type_regex.get(), subject) == 0;
}

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK)
{
    FATAL_ASSERT(!fields_.empty());
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= REWRITE_FIELD_COUNT);
    update();
    processors.Add(rewrite_reqmod, STAGE_REQUEST_MODIFY);
    processors.Add(rewrite_respmod, STAGE_RESPONSE_MODIFY);
    processors.Add(rewrite_buffcheck, STAGE_BUFFER_CHECK);
    processors.Add(rewrite_reqheader, STAGE_REQUEST_HEADER);
    processors.Add(rewrite_respheader, STAGE_RESPONSE_HEADER);
}

void RewriteSection::update()
{
    rules_.rebuild([this](RewriteRules& next) {
        next.enabled = fields_[0].int_value;
        rules_from_items(next.rules, subsections_[0]);
    });
}

std::shared_ptr<const RewriteRules> RewriteSection::rules() const
{
    return rules_.snapshot();
}

int RewriteSection::rewrite_do(CONNECTION_T* connection, Filebuf* text, int kind)
{
    const std::shared_ptr<const RewriteRules> current = rules();
    if ((connection->bypass & BYPASS_REWRITE) != 0 || current->enabled == 0)
        return 0;
    int ran = 0;
    for (const Rewrite& rule : current->rules) {
        if (rule.regex == nullptr || !rule.applies(*connection, kind))
            continue;
        ran = 1;
        const int matches = reg_replace(*text, rule.regex.get(), rule.replacement.c_str(), &connection->variables);
        if (matches > 0)
            putlog(LOG_REWRITE, "%s matched %d times in %s", rule.pattern.c_str(), matches, kind_name(kind));
    }
    return ran;
}

int RewriteSection::check_match(const CONNECTION_T* connection, int kind) const
{
    const std::shared_ptr<const RewriteRules> current = rules();
    if ((connection->bypass & BYPASS_REWRITE) != 0 || current->enabled == 0)
        return 0;
    for (const Rewrite& rule : current->rules) {
        if (rule.regex != nullptr && rule.applies(*connection, kind))
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
