// The "rewrite" section: capture-and-replace rules run over the raw request and response
// headers, the buffered response body and the request body, through the processor stages.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
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

// Positions of a rewrite rule's values in its item.
enum : int {
    REWRITE_FIELD_ENABLED = 0,
    REWRITE_FIELD_COMMENT = 1,
    REWRITE_FIELD_PROFILES = 2,
    REWRITE_FIELD_TYPE = 3,
    REWRITE_FIELD_PATTERN = 4,
    REWRITE_FIELD_REPLACEMENT = 5,
    REWRITE_FIELD_APPLIES = 6,
    REWRITE_FIELD_COUNT = 7,
};

// One rule: built once, then only read, by any number of connection threads at once.
class Rewrite {
public:
    explicit Rewrite(const Item& item);
    // The copy compiles the patterns again.
    Rewrite(const Rewrite& other);
    Rewrite(Rewrite&&) noexcept = default;
    Rewrite& operator=(const Rewrite&) = delete;
    Rewrite& operator=(Rewrite&&) = delete;
    ~Rewrite() = default;

    // Enabled, for that kind, the profiles accepted, and the content-type test passed: against
    // the response's Content-Type for a body and against the empty text for every other kind.
    bool applies(const CONNECTION_T& connection, int kind) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string type;          // pattern text; empty: no test
    std::string pattern;       // empty: the rule does nothing
    std::string replacement;
    int kinds = 0;             // REWRITE_* bits
    UniqueRegex type_regex;    // null when empty or not compiling: no test
    UniqueRegexSub regex;      // null when empty or not compiling: the rule does nothing

private:
    void compile();
};

struct RewriteRules {
    std::vector<Rewrite> rules;   // in item order
    int enabled = 0;
};

class RewriteSection final : public Section {
public:
    // The declarations must give enabled as the first global
    // value and a first subsection of at least REWRITE_FIELD_COUNT fields.
    RewriteSection();
    ~RewriteSection() override = default;

    void update() override;
    std::shared_ptr<const RewriteRules> rules() const;

    // Runs every applicable rule over the whole text in place, each on what the earlier ones
    // left: 1 when at least one rule ran (matched or not), else 0.
    int rewrite_do(CONNECTION_T* connection, Filebuf* text, int kind);
    // 1 when some rule would run for that kind.
    int check_match(const CONNECTION_T* connection, int kind) const;

private:
    SectionRules<RewriteRules> rules_{*this};
};

// The stage callbacks of the section's row in the sections table.
int rewrite_reqmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_respmod(CONNECTION_T* connection, Filebuf* body);
int rewrite_buffcheck(CONNECTION_T* connection, Filebuf* body);
int rewrite_reqheader(CONNECTION_T* connection, Filebuf* header);
int rewrite_respheader(CONNECTION_T* connection, Filebuf* header);

// Created by the runtime bring-up; null before.
extern RewriteSection* rewrite_section;
