#include "util/regex.h"

#include <climits>
#include <cstdint>
#include <utility>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

// Both forms are one compiled PCRE2 pattern, read-only once compiled: everything a match writes
// lives in match data of the matching thread.
struct Regex {
    pcre2_code* code = nullptr;
    bool untrusted = false;   // matched within UNTRUSTED_MATCH_LIMIT and UNTRUSTED_DEPTH_LIMIT
};

struct regex_sub_t {
    pcre2_code* code = nullptr;
};

namespace {

// Enough for a pattern from a request to fail fast on any name or line it is given (about a
// millisecond of work), and far more than a sane pattern needs on such a text.
constexpr std::uint32_t UNTRUSTED_MATCH_LIMIT = 100000;
constexpr std::uint32_t UNTRUSTED_DEPTH_LIMIT = 2000;

struct MatchDataFree {
    void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

MatchData match_data_new()
{
    MatchData data(pcre2_match_data_create(REG_SUB_MAX, nullptr));
    if (data == nullptr)
        FATAL_ALLOC(sizeof(PCRE2_SIZE) * 2 * REG_SUB_MAX);
    return data;
}

// The calling thread's match data, made at its first match and reused by every later one: a
// compiled pattern is shared by every connection thread, and the match data is where a match
// writes (offsets, and the interpreter's backtracking frames). JIT-compiled patterns, which
// nearly every match runs, keep their stack on the thread's own stack.
pcre2_match_data* thread_match_data()
{
    thread_local MatchData data;
    if (data == nullptr)
        data = match_data_new();
    return data.get();
}

// The limits of untrusted patterns; read-only once made, so every thread may use it.
const pcre2_match_context* untrusted_context()
{
    static const struct Context {
        pcre2_match_context* context = pcre2_match_context_create(nullptr);
        Context()
        {
            if (context == nullptr)
                FATAL_ALLOC(sizeof(void*) * 16);
            pcre2_set_match_limit(context, UNTRUSTED_MATCH_LIMIT);
            pcre2_set_depth_limit(context, UNTRUSTED_DEPTH_LIMIT);
        }
    } made;
    return made.context;
}

// The offsets of the whole match and of every substring, as PCRE2 reports them; valid until
// the thread's next match.
struct Found {
    MatchData own;   // set when this match could not use the thread's match data
    int count = 0;
    const PCRE2_SIZE* ovector = nullptr;
};

// pcre2_match's result for text searched from its start. The interpreter keeps its backtracking
// frames in the match data, and they stay there: a match that the interpreter runs (an
// untrusted pattern, or a JIT match that ran out of its stack on a deep pattern and a long
// subject) gets match data of its own, so that a rare large match leaves no large block with
// the thread.
int code_match(const pcre2_code* code, std::string_view text, const pcre2_match_context* context, Found& found)
{
    const auto subject = reinterpret_cast<PCRE2_SPTR>(text.empty() ? "" : text.data());
    pcre2_match_data* data = nullptr;
    if (context != nullptr) {
        found.own = match_data_new();
        data = found.own.get();
    } else {
        data = thread_match_data();
    }
    int rc = pcre2_match(code, subject, text.size(), 0, 0, data, const_cast<pcre2_match_context*>(context));
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        found.own = match_data_new();
        data = found.own.get();
        rc = pcre2_match(code, subject, text.size(), 0, PCRE2_NO_JIT, data, const_cast<pcre2_match_context*>(context));
    }
    if (rc > 0) {
        found.count = rc;
        found.ovector = pcre2_get_ovector_pointer(data);
    }
    return rc;
}

// Matches text from its start; false when nothing matches, on an error, and when the match has
// more substrings than REG_SUB_MAX.
bool sub_match(const regex_sub_t* sub, std::string_view text, Found& found)
{
    return code_match(sub->code, text, nullptr, found) > 0;   // 0: more substrings than there is room for
}

// The native options of the POSIX-style flags that reg_compile takes.
std::uint32_t posix_options(int flags)
{
    std::uint32_t native = 0;
    if (flags & REG_CASELESS)
        native |= PCRE2_CASELESS;
    return native;
}

} // namespace

Regex* reg_compile(const char* pattern, int flags)
{
    int error = 0;
    PCRE2_SIZE offset = 0;
    auto regex = std::make_unique<Regex>();
    regex->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, posix_options(flags),
                                &error, &offset, nullptr);
    if (regex->code == nullptr) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    regex->untrusted = (flags & REG_UNTRUSTED) != 0;
    // The interpreter honours both limits, JIT code only one of them, and an untrusted pattern
    // is matched against a few texts only. Without JIT support the interpreter matches.
    if (!regex->untrusted)
        pcre2_jit_compile(regex->code, PCRE2_JIT_COMPLETE);
    return regex.release();
}

int reg_exec(const Regex* regex, const char* text)
{
    return reg_exec(regex, std::string_view(text));
}

int reg_exec(const Regex* regex, std::string_view text)
{
    Found found;
    // A match with more groups than the match data has room for still matched (0).
    const int rc = code_match(regex->code, text, regex->untrusted ? untrusted_context() : nullptr, found);
    return rc >= 0 ? 0 : 1;
}

void reg_free(Regex* regex)
{
    FATAL_ASSERT(regex != nullptr);
    pcre2_code_free(regex->code);
    delete regex;
}

regex_sub_t* reg_sub_compile(const char* pattern, int options)
{
    std::uint32_t native = 0;
    if (options & REG_SUB_CASELESS)
        native |= PCRE2_CASELESS;
    if (options & REG_SUB_MULTILINE)
        native |= PCRE2_MULTILINE;
    if (options & REG_SUB_DOTALL)
        native |= PCRE2_DOTALL;
    if (options & REG_SUB_EXTENDED)
        native |= PCRE2_EXTENDED;
    if (options & REG_SUB_UNGREEDY)
        native |= PCRE2_UNGREEDY;

    int error = 0;
    PCRE2_SIZE offset = 0;
    auto sub = std::make_unique<regex_sub_t>();
    sub->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, native, &error, &offset,
                              nullptr);
    if (sub->code == nullptr) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    // Without JIT support the interpreter matches; nothing else changes.
    pcre2_jit_compile(sub->code, PCRE2_JIT_COMPLETE);
    return sub.release();
}

void reg_sub_free(regex_sub_t* sub)
{
    if (sub == nullptr)
        return;
    pcre2_code_free(sub->code);
    delete sub;
}

std::unique_ptr<regmatch_sub_t> reg_sub_exec(const regex_sub_t* sub, std::string_view text)
{
    Found found;
    if (!sub_match(sub, text, found))
        return nullptr;
    auto match = std::make_unique<regmatch_sub_t>();
    match->start = static_cast<int>(std::min<PCRE2_SIZE>(found.ovector[0], INT_MAX));
    match->end = static_cast<int>(std::min<PCRE2_SIZE>(found.ovector[1], INT_MAX));
    match->count = found.count;
    match->substrings.reserve(found.count);
    for (int i = 0; i < found.count; ++i) {
        const PCRE2_SIZE from = found.ovector[2 * i];
        const PCRE2_SIZE to = found.ovector[2 * i + 1];
        if (from == PCRE2_UNSET || to < from)
            match->substrings.emplace_back();
        else
            match->substrings.emplace_back(text.substr(from, to - from));
    }
    return match;
}

void reg_sub_match_free(regmatch_sub_t* match)
{
    delete match;
}

namespace {

// The template with its @NAME@ placeholders expanded; a template without '@' is taken as it is.
std::string template_expand(std::string_view templ, VariableMap* variables)
{
    if (variables == nullptr || templ.find('@') == std::string_view::npos)
        return std::string(templ);
    Filebuf expanded;
    expanded.Add(templ);
    variables_parse(*variables, expanded);
    return std::string(expanded.view());
}

// The replacement for one match from an expanded template.
std::string template_apply(const regmatch_sub_t& match, std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '$') {
            if (i + 1 == text.size()) {
                result += '$';
                break;
            }
            const auto next = static_cast<unsigned char>(text[++i]);
            if (next == '$') {
                result += '$';
            } else if (next >= '0' && next < 0x80) {
                const std::size_t index = next - '0';
                if (static_cast<int>(index) < match.count && index < match.substrings.size())
                    result += match.substrings[index];
            }
            continue;
        }
        if (c == '\\') {
            if (i + 1 == text.size())
                break;
            switch (const char next = text[++i]) {
            case 'a': result += '\a'; break;
            case 'e': result += '\x1b'; break;
            case 'f': result += '\f'; break;
            case 'n': result += '\n'; break;
            case 'r': result += '\r'; break;
            case 't': result += '\t'; break;
            default: result += next; break;
            }
            continue;
        }
        result += c;
    }
    return result;
}

} // namespace

std::string reg_sub_parse(const regmatch_sub_t& match, std::string_view templ,
                          VariableMap* variables)
{
    return template_apply(match, template_expand(templ, variables));
}

int reg_replace(Filebuf& buffer, const regex_sub_t* sub, const char* templ,
                VariableMap* variables)
{
    const std::string_view text = buffer.view();
    // The variables cannot change while the buffer is searched: expand once.
    const std::string expanded = templ != nullptr ? template_expand(templ, variables) : std::string();
    Filebuf out;
    int matches = 0;
    std::size_t position = 0;   // start of the next subject; bytes before it are in out
    while (position <= text.size()) {
        const std::string_view subject = text.substr(position);
        Found found;
        if (!sub_match(sub, subject, found))
            break;
        ++matches;
        const std::size_t start = found.ovector[0];
        const std::size_t end = found.ovector[1];
        out.Add(subject.substr(0, start));
        if (templ != nullptr) {
            regmatch_sub_t match;
            match.start = static_cast<int>(std::min<std::size_t>(start, INT_MAX));
            match.end = static_cast<int>(std::min<std::size_t>(end, INT_MAX));
            match.count = found.count;
            for (int i = 0; i < found.count; ++i) {
                const PCRE2_SIZE from = found.ovector[2 * i];
                const PCRE2_SIZE to = found.ovector[2 * i + 1];
                if (from == PCRE2_UNSET || to < from)
                    match.substrings.emplace_back();
                else
                    match.substrings.emplace_back(subject.substr(from, to - from));
            }
            out.Add(template_apply(match, expanded));
        }
        if (end > start) {
            position += end;
        } else {
            // An empty match would be found again at the same place: keep the byte it stands
            // before and search after it.
            if (position + start >= text.size()) {
                position = text.size();
                break;
            }
            out.Add(subject.substr(start, 1));
            position += start + 1;
        }
    }
    if (matches == 0)
        return 0;
    if (position < text.size())
        out.Add(text.substr(position));
    buffer.Swap(&out);
    return matches;
}

int pcre_options(std::string_view text)
{
    int options = 0;
    for (const char c : text) {
        switch (c) {
        case 'i': case 'I': options |= REG_SUB_CASELESS; break;
        case 'm': case 'M': options |= REG_SUB_MULTILINE; break;
        case 's': case 'S': options |= REG_SUB_DOTALL; break;
        case 'x': case 'X': options |= REG_SUB_EXTENDED; break;
        case 'u': case 'U': options |= REG_SUB_UNGREEDY; break;
        default: break;
        }
    }
    return options;
}

int string_replace(Filebuf& buffer, std::string_view from, const char* to)
{
    if (from.empty())
        return 0;
    const std::string_view text = buffer.view();
    const std::string_view replacement = to != nullptr ? std::string_view(to) : std::string_view();
    Filebuf out;
    std::size_t position = 0;
    bool changed = false;
    for (std::size_t found = text.find(from); found != std::string_view::npos; found = text.find(from, position)) {
        out.Add(text.substr(position, found - position));
        out.Add(replacement);
        position = found + from.size();
        changed = true;
    }
    if (!changed)
        return 0;
    out.Add(text.substr(position));
    buffer.Swap(&out);
    return 0;
}

UniqueRegex rule_pattern_compile(const std::string& text)
{
    return text.empty() ? nullptr : UniqueRegex(reg_compile(text.c_str(), REG_CASELESS));
}

bool rule_pattern_matches(const UniqueRegex& regex, std::string_view text)
{
    return regex == nullptr || reg_exec(regex.get(), text) == 0;
}

RulePattern::RulePattern(std::string text) : text_(std::move(text))
{
    // Only a compiled form gets the releasing owner: reg_free does not take null.
    if (UniqueRegex compiled = rule_pattern_compile(text_))
        regex_ = std::shared_ptr<Regex>(compiled.release(), RegexRelease{});
}

bool RulePattern::matches(std::string_view subject) const
{
    return regex_ == nullptr || reg_exec(regex_.get(), subject) == 0;
}

RuleSubPattern::RuleSubPattern(std::string text, int options) : text_(std::move(text))
{
    if (!text_.empty())
        regex_ = std::shared_ptr<regex_sub_t>(reg_sub_compile(text_.c_str(), options), RegexSubRelease{});
}
