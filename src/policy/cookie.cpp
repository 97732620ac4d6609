#include "policy/cookie.h"

CookieSection* cookie_section = nullptr;

CookieHeader::CookieHeader(std::string value)
{
    Parse(std::move(value));
}

// Keeps the value whole as one pair, so that Build gives it back unchanged.
void CookieHeader::Parse(std::string value)
{
    pairs.clear();
    const std::size_t eq = value.find('=');
    if (eq == std::string::npos)
        return;
    pairs.emplace_back(value.substr(0, eq), value.substr(eq + 1));
}

std::string CookieHeader::Build() const
{
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty())
            out += "; ";
        out += name;
        out += '=';
        out += value;
    }
    return out;
}

bool CookieSection::check(int, CONNECTION_T*, CookieHeader&)
{
    return true;
}
