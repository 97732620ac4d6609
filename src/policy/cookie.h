// Cookie filter: judges the Cookie and Set-Cookie lines of every header the proxy writes and
// rebuilds the lines it keeps from their parsed contents.
#pragma once

#include <ctime>
#include <list>
#include <string>
#include <utility>

struct CONNECTION_T;

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
    // direction 0: a cookie coming in from a server, 1: one going out to a server. true keeps
    // the line.
    bool check(int direction, CONNECTION_T* connection, CookieHeader& cookie);
};

// Null until the configuration creates the section; the header writer then keeps every line.
extern CookieSection* cookie_section;
