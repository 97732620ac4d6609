// The "mime-filtering" section: responses blocked by the Content-Type the server declares,
// together with the request's host and path, through an allow list and a deny list in the
// two-pass order the access rules use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/field.h"
#include "config/rules.h"
#include "config/section.h"
#include "util/regex.h"
#include "util/url.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// Positions of a MIME rule's values in its item.
enum : int {
    MIME_FIELD_ENABLED = 0,
    MIME_FIELD_COMMENT = 1,
    MIME_FIELD_PROFILES = 2,
    MIME_FIELD_HOST = 3,
    MIME_FIELD_PATH = 4,
    MIME_FIELD_TYPE = 5,
    MIME_FIELD_TEMPLATE = 6,
    MIME_FIELD_COUNT = 7,
};

// One rule: built once, then only read, by any number of connection threads at once.
class Mime {
public:
    // The section's own decision when the default blocks: enabled, no condition, no template.
    Mime() = default;
    explicit Mime(const Item& item);
    // The copy compiles the patterns again.
    Mime(const Mime& other);
    Mime(Mime&&) noexcept = default;
    Mime& operator=(const Mime&) = delete;
    Mime& operator=(Mime&&) = delete;
    ~Mime() = default;

    // Enabled, the profiles accepted, the host and path patterns matching the request and the
    // type pattern the response's whole Content-Type (a response without one never matches a
    // type pattern).
    // url: the request's host and path as rules see them, null without a request.
    bool match(const CONNECTION_T& connection, const UrlMatchText* url) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string host, path, type;   // pattern texts; empty: any
    std::string templ;              // empty: the section's template
    UniqueRegex host_regex, path_regex, type_regex;   // null when empty or not compiling
    // The item's values as they were when the rule was built, for the "mime" page; empty for the
    // built-in rule, which has no item.
    FieldVector fields;

private:
    void compile();
};

struct MimeRules {
    std::vector<Mime> allow;
    std::vector<Mime> deny;
    Mime fallback;          // the built-in rule
    int enabled = 0;
    int order = 0;          // non-zero: allow list first, block unless allowed
    std::string templ;      // the section's block page
};

class MimeSection final : public Section {
public:
    // The declarations must give the enabled flag, the order and the template as the first three
    // global values, and two subsections (allow, deny) of at least MIME_FIELD_COUNT fields.
    MimeSection();
    ~MimeSection() override = default;

    void update() override;
    std::shared_ptr<const MimeRules> rules() const;

    // The rule that blocks the connection's response, the built-in rule when the default blocks
    // it, or null when it may pass. The result keeps its generation alive.
    std::shared_ptr<const Mime> check(const CONNECTION_T* connection) const;
    // true when the response may pass; false once the block page has been sent (or could not
    // be: the response is blocked all the same).
    bool check_and_block(CONNECTION_T* connection);
    // The page of the URL command "mime": which rule would block the response, or "None". The
    // caller sends it as an interface page.
    std::unique_ptr<Filebuf> check_show(CONNECTION_T* connection) const;

private:
    SectionRules<MimeRules> rules_{*this};
};

// Created by the runtime bring-up; null before.
extern MimeSection* mime_section;
