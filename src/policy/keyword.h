// The "keywords-filtering" section: a buffered response body is scored by the rules whose
// patterns occur in it, and a total that reaches the threshold blocks the response. The URL
// command "score" shows the total instead of the response.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// One rule: read once from its item, then only read, by any number of connection threads at once.
struct Keyword : RuleHead {
    // Enabled, the profiles accepted, and the type pattern matching the response's Content-Type
    // (the empty text when it has none).
    bool applies(const CONNECTION_T& connection) const;
    // Whether the keyword occurs anywhere in the body, every byte of it counted; a rule without
    // a keyword pattern always scores.
    bool occurs(std::string_view body) const;

    RulePattern type;        // empty: every response
    // Empty: the rule scores without looking at the body. Searched through PCRE2's JIT, since it
    // runs over whole bodies.
    RuleSubPattern keyword;
    int score = 0;
};

struct KeywordRules : RuleGlobals {
    std::vector<Keyword> rules;   // in item order
    int threshold = 0;            // the score that blocks; the section's page (templ) empty: "blocked"
};

class KeywordSection final : public RuleSection<KeywordRules, Keyword> {
public:
    // The declarations must give enabled, threshold and template as the first three global
    // values and a first subsection with the values of a rule.
    KeywordSection();

    // 1 when the body must be buffered for scoring: some applicable rule has a keyword pattern.
    int check_match(const CONNECTION_T* connection) const;
    // The total score of the response; without a body every applicable rule counts. Each rule
    // counts once, however often its keyword occurs.
    int check(const CONNECTION_T* connection, const Filebuf* body) const;
    // 1 when the response was blocked (the block page sent, or the client gone), else 0.
    int check_and_block(CONNECTION_T* connection, const Filebuf* body);

private:
    int score(const KeywordRules& rules, const CONNECTION_T* connection, const Filebuf* body) const;
};

// The stage and hook callbacks of the section's row in the sections table.
int keyword_buffcheck(CONNECTION_T* connection, Filebuf* body);
int keyword_respcheck(CONNECTION_T* connection, Filebuf* body);
int keyword_prerespmod(void* connection, void* body);

// The page of the URL command "score", handed down by the interface, which sits above the
// filters. Until it is set the command is ignored and the response goes on.
using KeywordScorePage = void (*)(CONNECTION_T* connection, int score);
void keyword_set_score_page(KeywordScorePage page);

// Created by the runtime bring-up; null before.
extern KeywordSection* keyword_section;
