// Cookie filter: judges the Cookie and Set-Cookie lines of every header the proxy writes and
// rebuilds the lines it keeps from their parsed contents.
#pragma once

#include <ctime>
#include <list>
#include <optional>
#include <string>
#include <utility>

struct CONNECTION_T;
struct HEADER;
struct HTTP_HEADER;

// One parsed cookie line value.
class CookieHeader {
public:
    CookieHeader() = default;
    explicit CookieHeader(std::string value);

    void Parse(std::string value);
    // The value rebuilt from the record; empty without pairs.
    std::string Build() const;

    bool expiry_set = false;
    int version = 0;
    std::list<std::pair<std::string, std::string>> pairs;
    std::string domain;
    std::string path;
    std::tm expiry{};
};

class CookieSection {
public:
    // Makes the header writer pass every cookie line through cookie_section.
    CookieSection();
    // direction 0: a cookie coming in from a server, 1: one going out to a server. true keeps
    // the line.
    bool check(int direction, CONNECTION_T* connection, CookieHeader& cookie);
};

// Null until the configuration creates the section; the cookie lines are then written as they came.
extern CookieSection* cookie_section;

// The header writer's treatment of a Cookie or Set-Cookie line: nullopt when the section blocks
// it (logged) or a line that is no pass-through line has no pair, else the value to write,
// rebuilt from its pairs.
std::optional<std::string> cookie_line(const HEADER& header, const HTTP_HEADER& line, CONNECTION_T* connection);
