// The "rewrite" section: capture-and-replace rules run over the raw request and response
// headers, the buffered response body and the request body, through the processor stages.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// The kinds of text, as the bits of a rule's applies-to mask.
enum : int {
    REWRITE_CLIENT_HEADER = 0x1,
    REWRITE_SERVER_HEADER = 0x2,
    REWRITE_BODY = 0x4,
    REWRITE_POST_BODY = 0x8,
};

// One rule: read once from its item, then only read, by any number of connection threads at once.
struct Rewrite : RuleHead {
    // Enabled, for that kind, the profiles accepted, and the content-type test passed: against
    // the response's Content-Type for a body and against the empty text for every other kind.
    bool applies(const CONNECTION_T& connection, int kind) const;

    RulePattern type;          // not compiled (empty or not compiling): no test
    RuleSubPattern pattern;    // not compiled (empty or not compiling): the rule does nothing
    std::string replacement;
    int kinds = 0;             // REWRITE_* bits
};

struct RewriteRules : RuleGlobals {
    std::vector<Rewrite> rules;   // in item order
};

class RewriteSection final : public RuleSection<RewriteRules, Rewrite> {
public:
    // The declarations must give enabled as the first global value and a first subsection with
    // the values of a rule.
    RewriteSection();

    // Runs every applicable rule over the whole text in place, each on what the earlier ones
    // left: 1 when at least one rule ran (matched or not), else 0.
    int rewrite_do(CONNECTION_T* connection, Filebuf* text, int kind);
    // 1 when some rule would run for that kind.
    int check_match(const CONNECTION_T* connection, int kind) const;
};

// The stage callbacks of the section's row in the sections table.
int rewrite_reqmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_respmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_buffcheck(CONNECTION_T* connection, Filebuf* body);
int rewrite_reqheader(CONNECTION_T* connection, Filebuf* header);
int rewrite_respheader(CONNECTION_T* connection, Filebuf* header);

// Created by the runtime bring-up; null before.
extern RewriteSection* rewrite_section;
