// Regular expressions through PCRE2, in two forms: match-only patterns (every configured
// pattern that only tests a property), and patterns with captures (redirect and rewrite rules,
// which also replace what they match), with the replacement-template language of those rules and
// the replace-all loop over a Filebuf.
//
// The compiled forms are opaque, so that this header does not bring in PCRE2's declarations. A
// compiled expression is only read while matching: any number of threads may match against one
// at once, each with match data of its own.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/variables.h"

class Filebuf;

struct Regex;

// Flags of reg_compile. Every configured pattern is compiled caseless.
constexpr int REG_CASELESS = 1;
// A pattern that a client wrote: each match stops, as no match, once it has done about a
// millisecond of work, however the pattern backtracks.
constexpr int REG_UNTRUSTED = 0x10000;

// A new compiled expression owned by the caller (release with reg_free), or null after logging
// "failed to compile regular expression: %s" at the error category.
Regex* reg_compile(const char* pattern, int flags);
// 0 when the text matches, anything else when it does not (or, for an untrusted pattern, when
// the match gave up). The terminated form sees the text up to its first zero byte; the view form
// sees every byte of the view, zero bytes included.
int reg_exec(const Regex* regex, const char* text);
int reg_exec(const Regex* regex, std::string_view text);
// A null argument is a fatal assertion.
void reg_free(Regex* regex);

struct RegexRelease {
    void operator()(Regex* regex) const noexcept { reg_free(regex); }
};
using UniqueRegex = std::unique_ptr<Regex, RegexRelease>;

// A rule's optional pattern, matched in any letter case: null for an empty text, which then
// matches anything; a text that does not compile (logged by reg_compile) also leaves the test out.
UniqueRegex rule_pattern_compile(const std::string& text);
bool rule_pattern_matches(const UniqueRegex& regex, std::string_view text);

// A rule's match-only pattern as a value: the text as configured and its form compiled in any
// letter case, made once when the rule is read. Copies share the compiled form, which matching
// only reads, so a rule holding one copies like any value.
class RulePattern {
public:
    RulePattern() = default;
    // Empty, or a text that does not compile (logged by reg_compile): no compiled form.
    explicit RulePattern(std::string text);

    const std::string& text() const { return text_; }
    const Regex* regex() const { return regex_.get(); }
    bool compiled() const { return regex_ != nullptr; }
    // True without a compiled form (the test is left out), else whether every byte of the
    // subject matches.
    bool matches(std::string_view subject) const;

private:
    std::string text_;
    std::shared_ptr<const Regex> regex_;
};

// Option bits of reg_sub_compile, as the rules write them.
enum : int {
    REG_SUB_CASELESS = 0x1,
    REG_SUB_MULTILINE = 0x2,
    REG_SUB_DOTALL = 0x4,       // '.' matches a newline too
    REG_SUB_EXTENDED = 0x8,     // blanks and #-comments in the pattern are ignored
    REG_SUB_UNGREEDY = 0x200,
};
// What the redirect and rewrite rules compile with.
constexpr int REG_SUB_RULE = REG_SUB_CASELESS | REG_SUB_MULTILINE | REG_SUB_DOTALL | REG_SUB_EXTENDED;

// A pattern compiled for capture and substitution (JIT-compiled where the platform allows).
struct regex_sub_t;

// The room for substrings of one match, the whole match included.
constexpr int REG_SUB_MAX = 16;

// One match: offsets of the whole match in the subject it was found in, and the texts of the
// whole match (entry 0) and of every group (a group that took no part is an empty text).
struct regmatch_sub_t {
    int start = 0;
    int end = 0;
    int count = 0;   // substrings.size()
    std::vector<std::string> substrings;
};

// A new compiled pattern owned by the caller (release with reg_sub_free), or null after logging
// "failed to compile regular expression: %s" at the error category. options: REG_SUB_* bits;
// other bits are ignored.
regex_sub_t* reg_sub_compile(const char* pattern, int options);
// Null is ignored.
void reg_sub_free(regex_sub_t* sub);

struct RegexSubRelease {
    void operator()(regex_sub_t* sub) const noexcept { reg_sub_free(sub); }
};
using UniqueRegexSub = std::unique_ptr<regex_sub_t, RegexSubRelease>;

// A rule's capture pattern as a value, as RulePattern is for a match-only one: compiled once
// with the REG_SUB_* options the rule reads it with, the compiled form shared by copies.
class RuleSubPattern {
public:
    RuleSubPattern() = default;
    // Empty, or a text that does not compile (logged): no compiled form.
    RuleSubPattern(std::string text, int options);

    const std::string& text() const { return text_; }
    const regex_sub_t* regex() const { return regex_.get(); }
    bool compiled() const { return regex_ != nullptr; }

private:
    std::string text_;
    std::shared_ptr<const regex_sub_t> regex_;
};

// The first match in text, which is searched from its start, every byte of it; null when
// nothing matches, on a matching error, and when the match has more than REG_SUB_MAX substrings.
std::unique_ptr<regmatch_sub_t> reg_sub_exec(const regex_sub_t* sub, std::string_view text);
// For holders of a released match; null is ignored.
void reg_sub_match_free(regmatch_sub_t* match);

// The replacement text for one match: the template's @NAME@ placeholders are expanded from
// variables (when not null; names it lacks are added to it empty), then "$n" gives substring n
// (the digits go on past '9': "$:" is substring 10; a number at or above the count gives
// nothing), "$$" or a final '$' a '$', "$" with any other character nothing, and a backslash
// escapes the next character (\\, \a, \e, \f, \n, \r, \t; any other stands for itself; a final
// backslash ends the replacement).
std::string reg_sub_parse(const regmatch_sub_t& match, std::string_view templ,
                          VariableMap* variables);

// Replaces every match in the whole buffer (zero bytes included) by reg_sub_parse of templ, or
// removes it when templ is null, and returns the number of matches. Each search after a match
// sees the rest of the buffer as a subject of its own, so that '^' matches again right after a
// previous match; after an empty match the search moves on by one byte, so it always ends. The
// buffer keeps its MIME type.
int reg_replace(Filebuf& buffer, const regex_sub_t* sub, const char* templ,
                VariableMap* variables);

// REG_SUB_* bits from option letters of either case: i caseless, m multi-line, s dot matches
// newline, x extended, u ungreedy; other letters are ignored.
int pcre_options(std::string_view text);
// Replaces every occurrence of from in the buffer by to (removes them when to is null),
// searching on after each replacement; an empty from changes nothing. Returns 0.
int string_replace(Filebuf& buffer, std::string_view from, const char* to);
