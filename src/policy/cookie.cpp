#include "policy/cookie.h"

#include "http/connection.h"
#include "http/header.h"
#include "util/log.h"

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

CookieSection::CookieSection()
{
    header_set_cookie_filter(cookie_line);
}

bool CookieSection::check(int, CONNECTION_T*, CookieHeader&)
{
    return true;
}

std::optional<std::string> cookie_line(const HEADER& header, const HTTP_HEADER& line, CONNECTION_T* connection)
{
    CookieHeader cookie(line.value);
    const int direction = header.kind == HEADER_RESPONSE ? 0 : 1;
    if (connection != nullptr && cookie_section != nullptr && !cookie_section->check(direction, connection, cookie)) {
        const HEADER* request = connection->request.get();
        const std::string host = request != nullptr && request->host ? *request->host : std::string();
        if (direction == 0)
            putlog(LOG_COOKIE, "blocked: incoming from %s", host.c_str());
        else
            putlog(LOG_COOKIE, "blocked: outgoing to %s", host.c_str());
        return std::nullopt;
    }
    if (cookie.pairs.empty()) {
        if (line.type == HTTP_HEADER_PASS)
            return line.value;
        return std::nullopt;
    }
    return cookie.Build();
}
