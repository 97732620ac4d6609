#include "http/header.h"
#include "policy/keyword.h"

#include <atomic>
#include <string>

#include "config/item.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/request.h"
#include "http/response.h"
#include "http/urlcommand.h"
#include "util/filebuf.h"
#include "util/log.h"
#include "util/mem.h"

KeywordSection* keyword_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_THRESHOLD = 1,
    GLOBAL_TEMPLATE = 2,
    GLOBAL_COUNT = 3,
};

std::atomic<KeywordScorePage> score_page{nullptr};

std::string_view content_type(const CONNECTION_T& connection)
{
    const HEADER* response = connection.response;
    return response != nullptr && response->content_type ? std::string_view(*response->content_type)
                                                         : std::string_view();
}

} // namespace

void keyword_set_score_page(KeywordScorePage page)
{
    score_page.store(page);
}

Keyword::Keyword(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= KEYWORD_FIELD_COUNT);
    enabled = f[KEYWORD_FIELD_ENABLED].int_value;
    comment = f[KEYWORD_FIELD_COMMENT].text;
    profiles = f[KEYWORD_FIELD_PROFILES].string_list;
    type = f[KEYWORD_FIELD_TYPE].text;
    keyword = f[KEYWORD_FIELD_KEYWORD].text;
    score = f[KEYWORD_FIELD_SCORE].int_value;
    compile();
}

Keyword::Keyword(const Keyword& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      type(other.type),
      keyword(other.keyword),
      score(other.score)
{
    compile();
}

void Keyword::compile()
{
    if (!type.empty())
        type_regex.reset(reg_compile(type.c_str(), REG_CASELESS));
    if (!keyword.empty())
        keyword_regex.reset(reg_sub_compile(keyword.c_str(), REG_SUB_CASELESS));
}

bool Keyword::applies(const CONNECTION_T& connection) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    return type_regex == nullptr || reg_exec(type_regex.get(), content_type(connection)) == 0;
}

bool Keyword::occurs(std::string_view body) const
{
    return keyword_regex == nullptr || reg_sub_exec(keyword_regex.get(), body) != nullptr;
}

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= KEYWORD_FIELD_COUNT);
    update();
    processors.Add(keyword_respcheck, STAGE_RESPONSE_CHECK);
    processors.Add(keyword_buffcheck, STAGE_BUFFER_CHECK);
    hooks.Add(keyword_prerespmod, HOOK_PRE_RESPONSE);
}

void KeywordSection::update()
{
    rules_.rebuild([this](KeywordRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.threshold = fields_[GLOBAL_THRESHOLD].int_value;
        next.templ = fields_[GLOBAL_TEMPLATE].text;
        rules_from_items(next.rules, subsections_[0]);
    });
}

std::shared_ptr<const KeywordRules> KeywordSection::rules() const
{
    return rules_.snapshot();
}

int KeywordSection::check_match(const CONNECTION_T* connection) const
{
    const std::shared_ptr<const KeywordRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_KEYWORD) != 0)
        return 0;
    for (const Keyword& rule : current->rules) {
        if (rule.keyword_regex != nullptr && rule.applies(*connection))
            return body_uninspected(connection, LOG_KEYWORD, nullptr, true) ? 0 : 1;
    }
    return 0;
}

int KeywordSection::score(const KeywordRules& current, const CONNECTION_T* connection, const Filebuf* body) const
{
    if (current.enabled == 0 || (connection->bypass & BYPASS_KEYWORD) != 0)
        return 0;
    int total = 0;
    for (const Keyword& rule : current.rules) {
        if (!rule.applies(*connection))
            continue;
        if (body == nullptr || rule.occurs(body->view()))
            total += rule.score;
    }
    return total;
}

int KeywordSection::check(const CONNECTION_T* connection, const Filebuf* body) const
{
    return score(*rules(), connection, body);
}

int KeywordSection::check_and_block(CONNECTION_T* connection, const Filebuf* body)
{
    // A body whose encoding did not decode is scored as it came: said when a keyword applies.
    if ((connection->flags & CONN_BODY_UNDECODED) != 0)
        check_match(connection);
    // One generation for the score and the decision, so that both use the same threshold.
    const std::shared_ptr<const KeywordRules> current = rules();
    const int total = score(*current, connection, body);
    if (total == 0)
        return 0;
    connection->variables["SCORE"] = std::to_string(total);
    connection->variables["THRESHOLD"] = std::to_string(current->threshold);
    if (total < current->threshold)
        return 0;
    connection->variables["FILTER"] = "KeyWord Filter";
    connection->variables["REASON"] =
        "score: " + std::to_string(total) + " exceeded threshold: " + std::to_string(current->threshold);
    putlog(LOG_KEYWORD, "blocked: score:%d threshold:%d", total, current->threshold);
    template_section->send(current->templ.empty() ? std::string_view("blocked") : std::string_view(current->templ),
                           connection, 200);
    connection->logentry.filter_name = "keyword-filter";
    connection->logentry.filtering_reason = std::to_string(total);
    return 1;
}

int keyword_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return keyword_section->check_match(connection);
}

int keyword_respcheck(CONNECTION_T* connection, Filebuf* body)
{
    return keyword_section->check_and_block(connection, body);
}

int keyword_prerespmod(void* connection, void* body)
{
    auto* conn = static_cast<CONNECTION_T*>(connection);
    const KeywordScorePage page = score_page.load();
    if (page == nullptr || !url_command_has(conn, "score"))
        return 0;
    page(conn, keyword_section->check(conn, static_cast<Filebuf*>(body)));
    return 1;
}
