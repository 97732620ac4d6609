// The "redirect" section: capture-and-replace rules that turn a request URL into another one,
// answered to the client as a 302 or fetched in its place, and that change the Location of the
// 301 and 302 answers servers send.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "policy/allowdeny.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;

enum : int {
    REDIRECT_REQUEST = 0,    // the request URL; a match answers the client or changes the request
    REDIRECT_LOCATION = 1,   // the Location of a 301 or 302 answer, changed in place
};

// Bits of a rule's options.
enum : int {
    REDIRECT_ENCODE_PATH = 0x1,     // the new URL's path is URL-encoded
    REDIRECT_DECODE_SUBJECT = 0x2,  // the pattern sees the URL decoded
    REDIRECT_DECODE_PATH = 0x4,     // the new URL's path is URL-decoded (0x1 wins)
};

// What a rule applies to.
enum : int {
    REDIRECT_APPLIES_LOCATION = 0,
    REDIRECT_APPLIES_REQUEST = 1,
    REDIRECT_APPLIES_BOTH = 2,
};

// One rule: read once from its item, then only read, by any number of connection threads at once.
struct Redirect : RuleHead {
    // Enabled, with a compiled pattern, for that side, and the profiles accepted.
    bool candidate(const CONNECTION_T& connection, int where) const;
    // The new URL for the subject, or nullopt when the pattern does not match it.
    std::optional<std::string> rewrite(CONNECTION_T& connection, std::string_view subject) const;

    RuleSubPattern pattern;   // not compiled (empty or not compiling): the rule never matches
    std::string templ;
    int port = -1;          // -1: the request keeps its port
    int send302 = 0;        // 1: the client is answered with a 302
    int options = 0;        // REDIRECT_* option bits
    int applies = REDIRECT_APPLIES_REQUEST;
};

struct RedirectRules : RuleGlobals {
    std::vector<Redirect> rules;   // in item order
};

class RedirectSection final : public RuleSection<RedirectRules, Redirect> {
public:
    // The declarations must give enabled as the first global value and a first subsection with
    // the values of a rule.
    RedirectSection();

    // 1 when the client has been answered with a 302 (the request ends there), else 0: nothing
    // matched, or the request or the response's Location was changed in place.
    int redirect_do(CONNECTION_T* connection, int where);
};

// A new URL with every byte below 0x20 and 0x7F percent-encoded, so that no line break or zero
// byte a template or a decoding produced reaches a Location or a request line.
std::string redirect_controls_encode(std::string_view url);

// Created by the runtime bring-up; null before.
extern RedirectSection* redirect_section;
