// The "url-filtering" section: requests blocked by their host, their path and the address their
// host resolves to, through an allow list and a deny list in the two-pass order the access rules
// use. It is the first request check, and also answers the URL command "filter".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/field.h"
#include "config/ranges.h"
#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/url.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// The host's address, looked up at most once per check and only when a rule asks for it.
class FilterAddress {
public:
    FilterAddress(std::string host, bool offline) : host_(std::move(host)), offline_(offline) {}
    // The address condition: empty ranges hold; offline holds without a lookup; a host that
    // does not resolve holds; else the first address must lie in the ranges.
    bool within(const IpRangeList& ranges);

private:
    std::string host_;
    bool offline_;
    bool looked_up_ = false;
    std::string address_;   // dotted; empty when the host did not resolve
};

// One rule: read once from its item, then only read, by any number of connection threads at once.
// A default rule is the section's own decision when the default blocks: enabled, no condition,
// no template.
struct Filter : RuleHead {
    // url: the request's host and path as rules see them, null without a request.
    bool match(const CONNECTION_T& connection, const UrlMatchText* url, FilterAddress& address) const;

    RulePattern host, path;       // empty: any
    IpRangeList addresses;        // empty: no address condition
    std::string templ;            // empty: the section's template
    // The item's values as they were when the rule was built, for the "filter" page; empty for
    // the built-in rule, which has no item.
    FieldVector fields;
};

struct FilterRules : RuleGlobals {
    std::vector<Filter> allow;
    std::vector<Filter> deny;
    Filter fallback;        // the built-in rule
};

class FilterSection final : public RuleSection<FilterRules, Filter> {
public:
    // The declarations must give the enabled flag, the order and the template as the first three
    // global values, and two subsections (allow, deny) with the values of a rule.
    FilterSection();

    // The rule that blocks the request, the built-in rule when the default blocks it, or null
    // when it may pass. The result keeps its generation alive.
    std::shared_ptr<const Filter> check(const CONNECTION_T* connection) const;
    // 1 once the request was blocked and its page sent (or the page could not be: the request
    // is blocked all the same), else 0.
    int check_and_block(CONNECTION_T* connection) const;
    // The page of the URL command "filter": which rule would block the request, or "None". The
    // caller sends it as an interface page.
    std::unique_ptr<Filebuf> check_show(CONNECTION_T* connection) const;
};

// The request check of stage 0.
int filter_reqcheck(CONNECTION_T* connection, Filebuf* buffer);

// Created by the runtime bring-up; null before.
extern FilterSection* filter_section;
