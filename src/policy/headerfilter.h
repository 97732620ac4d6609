// The "header-filtering" section: received lines removed from request and response headers by
// an allow list and a deny list in the two-pass order, then lines added by the add list. The
// result is the header's filtered list, which the header writer emits in place of the received
// lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;
struct HTTP_HEADER;

enum : int {
    HEADERFILTER_REQUEST = 1,    // the request header, before it goes upstream
    HEADERFILTER_RESPONSE = 2,   // the response header, before it goes to the client
};

// One rule: read once from its item, then only read. In the allow and deny lists name and value
// are patterns; in the add list their texts are the literal line.
struct Header : RuleHead {
    // Enabled, the direction bit in the mask and the profiles accepted.
    bool applies(const StringList& connection_profiles, int direction) const;
    // applies(), and the patterns that compiled match the line.
    bool match(const StringList& connection_profiles, int direction, const HTTP_HEADER& line) const;

    RulePattern name, value;
    int direction = 0;   // HEADERFILTER_* bits
};

struct HeaderRules : RuleGlobals {
    std::vector<Header> allow, deny, add;
};

class HeaderSection final : public RuleSection<HeaderRules, Header> {
public:
    // The declarations must give the enabled flag and the order as the first two global values,
    // and three subsections (allow, deny, add) with the values of a rule.
    HeaderSection();

    // direction HEADERFILTER_REQUEST filters the connection's request header, any other value
    // its response header; a header that is not there is left alone.
    void filter(CONNECTION_T* connection, int direction);
};

// Created by the runtime bring-up; null before.
extern HeaderSection* header_section;
