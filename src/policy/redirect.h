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
#include "config/section.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;

enum : int {
    REDIRECT_REQUEST = 0,    // the request URL; a match answers the client or changes the request
    REDIRECT_LOCATION = 1,   // the Location of a 301 or 302 answer, changed in place
};

// Positions of a redirect rule's values in its item.
enum : int {
    REDIRECT_FIELD_ENABLED = 0,
    REDIRECT_FIELD_COMMENT = 1,
    REDIRECT_FIELD_PROFILES = 2,
    REDIRECT_FIELD_PATTERN = 3,
    REDIRECT_FIELD_TEMPLATE = 4,
    REDIRECT_FIELD_PORT = 5,
    REDIRECT_FIELD_SEND302 = 6,
    REDIRECT_FIELD_OPTIONS = 7,
    REDIRECT_FIELD_APPLIES = 8,
    REDIRECT_FIELD_COUNT = 9,
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

// One rule: built once, then only read, by any number of connection threads at once.
class Redirect {
public:
    explicit Redirect(const Item& item);
    // The copy compiles the pattern again.
    Redirect(const Redirect& other);
    Redirect(Redirect&&) noexcept = default;
    Redirect& operator=(const Redirect&) = delete;
    Redirect& operator=(Redirect&&) = delete;
    ~Redirect() = default;

    // Enabled, with a compiled pattern, for that side, and the profiles accepted.
    bool candidate(const CONNECTION_T& connection, int where) const;
    // The new URL for the subject, or nullopt when the pattern does not match it.
    std::optional<std::string> rewrite(CONNECTION_T& connection, std::string_view subject) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string pattern;
    std::string templ;
    int port = -1;          // -1: the request keeps its port
    int send302 = 0;        // 1: the client is answered with a 302
    int options = 0;        // REDIRECT_* option bits
    int applies = REDIRECT_APPLIES_REQUEST;
    UniqueRegexSub regex;   // null when empty or not compiling: the rule never matches

private:
    void compile();
};

struct RedirectRules {
    std::vector<Redirect> rules;   // in item order
    int enabled = 0;
};

class RedirectSection final : public Section {
public:
    // The declarations must give enabled as the first global value and a first subsection of at
    // least REDIRECT_FIELD_COUNT fields.
    RedirectSection();
    ~RedirectSection() override = default;

    void update() override;
    std::shared_ptr<const RedirectRules> rules() const;

    // 1 when the client has been answered with a 302 (the request ends there), else 0: nothing
    // matched, or the request or the response's Location was changed in place.
    int redirect_do(CONNECTION_T* connection, int where);

private:
    SectionRules<RedirectRules> rules_{*this};
};

// A new URL with every byte below 0x20 and 0x7F percent-encoded, so that no line break or zero
// byte a template or a decoding produced reaches a Location or a request line.
std::string redirect_controls_encode(std::string_view url);

// Created by the runtime bring-up; null before.
extern RedirectSection* redirect_section;
