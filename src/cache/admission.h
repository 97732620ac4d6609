// Which messages the cache takes, how long a stored response stays fresh, and the hold-off that
// keeps the cache shut after start-up and while memory stays short.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "util/stringutil.h"

class Item;

// Positions of a refresh rule's values in its item.
enum : int {
    REFRESH_FIELD_ENABLED = 0,
    REFRESH_FIELD_COMMENT = 1,
    REFRESH_FIELD_PROFILES = 2,
    REFRESH_FIELD_CACHE = 3,
    REFRESH_FIELD_MINAGE = 4,
    REFRESH_FIELD_MAXAGE = 5,
    REFRESH_FIELD_VALIDATE = 6,
    REFRESH_FIELD_LMFACTOR = 7,
    REFRESH_FIELD_COUNT = 8,
};

// One refresh rule: the freshness bounds given to the objects of the connections it applies to.
struct Refresh {
    explicit Refresh(const Item& item);
    Refresh() = default;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    int cache = 1;                 // 0: responses are not kept unless forced
    unsigned minage = 0, maxage = 0, validate = 0, lmfactor = 0;
};

// The hold-off: nothing is looked up or stored while the cache clock is earlier than the hold-off
// time plus 120 seconds.
std::time_t cache_holdoff();
void cache_holdoff_set(std::time_t when);
// Moves the hold-off to when unless it already reaches at least `unless_before`.
void cache_holdoff_raise(std::time_t when, std::time_t unless_before);
bool cache_held_off(std::time_t now);

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") on the cache clock; nullopt when it doesn't parse.
std::optional<std::time_t> http_date_parse(std::string_view text);

// A stored response header text without its Set-Cookie and Set-Cookie2 lines (and the lines
// folded onto them): the cookies of the client an answer was fetched for are never sent to the
// clients a copy of it serves.
std::string cookies_removed(std::string text);
