#include "util/regex.h"

#include <climits>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <pcre2posix.h>

#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

static_assert(REG_CASELESS == REG_ICASE);

struct Regex {
    regex_t compiled{};
};

struct regex_sub_t {
    pcre2_code* code = nullptr;
};

namespace {

struct MatchDataFree {
    void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

// The offsets of the whole match and of every substring, as PCRE2 reports them.
struct Found {
    MatchData data;
    int count = 0;
    const PCRE2_SIZE* ovector = nullptr;
};

// Matches text from its start; false when nothing matches, on an error, and when the match has
// more substrings than REG_SUB_MAX. Every call has match data of its own, so threads may share
// the compiled pattern.
bool sub_match(const regex_sub_t* sub, std::string_view text, Found& found)
{
    found.data.reset(pcre2_match_data_create(REG_SUB_MAX, nullptr));
    if (found.data == nullptr)
        FATAL_ALLOC(sizeof(PCRE2_SIZE) * 2 * REG_SUB_MAX);
    const auto subject = reinterpret_cast<PCRE2_SPTR>(text.empty() ? "" : text.data());
    int rc = pcre2_match(sub->code, subject, text.size(), 0, 0, found.data.get(), nullptr);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT)   // a deep pattern on a long subject: the interpreter has no such limit
        rc = pcre2_match(sub->code, subject, text.size(), 0, PCRE2_NO_JIT, found.data.get(), nullptr);
    if (rc <= 0)   // 0: the match has more substrings than there is room for
        return false;
    found.count = rc;
    found.ovector = pcre2_get_ovector_pointer(found.data.get());
    return true;
}

} // namespace

Regex* reg_compile(const char* pattern, int flags)
{
    auto regex = std::make_unique<Regex>();
    if (regcomp(&regex->compiled, pattern, flags) != 0) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    return regex.release();
}

int reg_exec(const Regex* regex, const char* text)
{
    return regexec(&regex->compiled, text, 0, nullptr, 0);
}

int reg_exec(const Regex* regex, std::string_view text)
{
    regmatch_t bounds[1];
    bounds[0].rm_so = 0;
    bounds[0].rm_eo = static_cast<regoff_t>(text.size());
    return regexec(&regex->compiled, text.empty() ? "" : text.data(), 1, bounds, REG_STARTEND);
}

void reg_free(Regex* regex)
{
    FATAL_ASSERT(regex != nullptr);
    regfree(&regex->compiled);
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
