// The "mime-filtering" section: responses blocked by the Content-Type the server declares,
// together with the request's host and path, through an allow list and a deny list in the
// two-pass order the access rules use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/field.h"
#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/url.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// One rule: read once from its item, then only read, by any number of connection threads at once.
// A default rule is the section's own decision when the default blocks: enabled, no condition,
// no template.
struct Mime : RuleHead {
    // Enabled, the profiles accepted, the host and path patterns matching the request and the
    // type pattern the response's whole Content-Type (a response without one never matches a
    // type pattern).
    // url: the request's host and path as rules see them, null without a request.
    bool match(const CONNECTION_T& connection, const UrlMatchText* url) const;

    RulePattern host, path, type;   // empty: any
    std::string templ;              // empty: the section's template
    // The item's values as they were when the rule was built, for the "mime" page; empty for the
    // built-in rule, which has no item.
    FieldVector fields;
};

struct MimeRules : RuleGlobals {
    std::vector<Mime> allow;
    std::vector<Mime> deny;
    Mime fallback;          // the built-in rule
};

class MimeSection final : public RuleSection<MimeRules, Mime> {
public:
    // The declarations must give the enabled flag, the order and the template as the first three
    // global values, and two subsections (allow, deny) with the values of a rule.
    MimeSection();

    // The rule that blocks the connection's response, the built-in rule when the default blocks
    // it, or null when it may pass. The result keeps its generation alive.
    std::shared_ptr<const Mime> check(const CONNECTION_T* connection) const;
    // true when the response may pass; false once the block page has been sent (or could not
    // be: the response is blocked all the same).
    bool check_and_block(CONNECTION_T* connection);
    // The page of the URL command "mime": which rule would block the response, or "None". The
    // caller sends it as an interface page.
    std::unique_ptr<Filebuf> check_show(CONNECTION_T* connection) const;
};

// Created by the runtime bring-up; null before.
extern MimeSection* mime_section;
