// The "header-filtering" section: received lines removed from request and response headers by
// an allow list and a deny list in the two-pass order, then lines added by the add list. The
// result is the header's filtered list, which the header writer emits in place of the received
// lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "util/regex.h"
#include "util/stringutil.h"

class Item;
struct CONNECTION_T;
struct HTTP_HEADER;

enum : int {
    HEADERFILTER_REQUEST = 1,    // the request header, before it goes upstream
    HEADERFILTER_RESPONSE = 2,   // the response header, before it goes to the client
};

// Positions of a header rule's values in its item.
enum : int {
    HEADER_FIELD_ENABLED = 0,
    HEADER_FIELD_COMMENT = 1,
    HEADER_FIELD_PROFILES = 2,
    HEADER_FIELD_NAME = 3,
    HEADER_FIELD_VALUE = 4,
    HEADER_FIELD_DIRECTION = 5,
    HEADER_FIELD_COUNT = 6,
};

// One rule: built once, then only read. In the allow and deny lists name and value are
// patterns; in the add list they are the literal line.
class Header {
public:
    explicit Header(const Item& item);
    // The copy compiles the patterns again.
    Header(const Header& other);
    Header(Header&&) noexcept = default;
    Header& operator=(const Header&) = delete;
    Header& operator=(Header&&) = delete;
    ~Header() = default;

    // Enabled, the direction bit in the mask and the profiles accepted.
    bool applies(const StringList& connection_profiles, int direction) const;
    // applies(), and the patterns that compiled match the line.
    bool match(const StringList& connection_profiles, int direction, const HTTP_HEADER& line) const;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string name, value;
    int direction = 0;   // HEADERFILTER_* bits
    UniqueRegex name_regex, value_regex;   // null when empty or not compiling

private:
    void compile();
};

struct HeaderRules {
    std::vector<Header> allow, deny, add;
    int enabled = 0;
    int order = 0;   // non-zero: allow list first, remove unless allowed
};

class HeaderSection final : public Section {
public:
    // The declarations must give the enabled flag and the order as the first two global values,
    // and three subsections (allow, deny, add) of at least HEADER_FIELD_COUNT fields.
    HeaderSection();
    ~HeaderSection() override = default;

    void update() override;
    std::shared_ptr<const HeaderRules> rules() const;

    // direction HEADERFILTER_REQUEST filters the connection's request header, any other value
    // its response header; a header that is not there is left alone.
    void filter(CONNECTION_T* connection, int direction);

private:
    SectionRules<HeaderRules> rules_{*this};
};

// Created by the runtime bring-up; null before.
extern HeaderSection* header_section;
