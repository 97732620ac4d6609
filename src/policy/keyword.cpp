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

constexpr RuleField<Keyword> FIELDS[] = {
    {"enabled", &Keyword::enabled}, {"comment", &Keyword::comment},
    {"profiles", &Keyword::profiles}, {"mime", &Keyword::type},
    {"keyword", &Keyword::keyword, REG_SUB_CASELESS}, {"score", &Keyword::score},
};

constexpr RuleSectionShape<KeywordRules, Keyword> SHAPE{
    .name = "keywords-filtering",
    .enabled_at = 0,
    .order_at = RULE_GLOBAL_NONE,
    .templ_at = 2,
    .lists = {&KeywordRules::rules},
    .bypass = BYPASS_KEYWORD,
    .fields = FIELDS,
    .globals = [](KeywordRules& next, const FieldVector& fields) { next.threshold = fields[1].int_value; },
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

bool Keyword::applies(const CONNECTION_T& connection) const
{
    if (enabled == 0 || profile_find(connection.profiles, profiles) != 1)
        return false;
    return type.matches(content_type(connection));
}

bool Keyword::occurs(std::string_view body) const
{
    return !keyword.compiled() || reg_sub_exec(keyword.regex(), body) != nullptr;
}

KeywordSection::KeywordSection() : RuleSection(SHAPE) {}

int KeywordSection::check_match(const CONNECTION_T* connection) const
{
    const std::shared_ptr<const KeywordRules> current = rules();
    if (!active(*current, *connection))
        return 0;
    for (const Keyword& rule : current->rules) {
        if (rule.keyword.compiled() && rule.applies(*connection))
            return body_uninspected(connection, LOG_KEYWORD, nullptr, true) ? 0 : 1;
    }
    return 0;
}

int KeywordSection::score(const KeywordRules& current, const CONNECTION_T* connection, const Filebuf* body) const
{
    if (!active(current, *connection))
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
