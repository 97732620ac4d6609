#include "config/ranges.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "util/stringutil.h"

namespace {

// strtol in base 10 over the whole text: leading blanks and a sign allowed, nothing after the
// number; the empty text reads as 0, as strtol's unconsumed terminator does.
std::optional<long> whole_long(const std::string& text)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE || end != text.c_str() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::uint32_t> address_parse(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(' ');
    text.remove_prefix(first == std::string_view::npos ? text.size() : first);
    const StringList parts(text, ".");
    if (parts.size() != 4)
        return std::nullopt;
    std::uint32_t address = 0;
    for (const std::string& part : parts) {
        const std::optional<long> value = whole_long(part);
        if (!value || *value < 0 || *value > 255)
            return std::nullopt;
        address = address * 256 + static_cast<std::uint32_t>(*value);
    }
    return address;
}

namespace {

int port_of(const std::string& text)
{
    const std::optional<long> value = whole_long(text);
    if (!value || *value < 1 || *value > 65535)
        throw ConfigError("not a port: " + text);
    return static_cast<int>(*value);
}

} // namespace

std::uint32_t address_to_int(std::string_view text)
{
    const std::optional<std::uint32_t> address = address_parse(text);
    if (!address)
        throw ConfigError("not an IPv4 address: " + std::string(text));
    return *address;
}

IpRange::IpRange(std::string_view text)
{
    const std::size_t hyphen = text.find('-');
    if (hyphen == std::string_view::npos) {
        if (text.empty()) {
            lowtext = "0.0.0.0";
            hightext = "255.255.255.255";
        } else {
            lowtext = text;
            hightext = text;
        }
    } else {
        lowtext = text.substr(0, hyphen);
        hightext = text.substr(hyphen + 1);
        if (lowtext.empty())
            lowtext = "0.0.0.0";
        if (hightext.empty())
            hightext = "255.255.255.255";
    }
    low = address_to_int(lowtext);
    high = address_to_int(hightext);
}

int IpRange::has(std::string_view address) const
{
    const std::optional<std::uint32_t> value = address_parse(address);
    return value && *value >= low && *value <= high ? 1 : 0;
}

IpRangeList::IpRangeList(std::string_view text)
{
    parse(text);
}

void IpRangeList::parse(std::string_view list)
{
    text = list;
    for (const std::string& part : StringList(list, ","))
        ranges.emplace_back(part);
}

int IpRangeList::has(std::string_view address) const
{
    if (ranges.empty())
        return 1;
    const std::optional<std::uint32_t> value = address_parse(address);
    if (!value)
        return 0;
    for (const IpRange& range : ranges) {
        if (*value >= range.low && *value <= range.high)
            return 1;
    }
    return 0;
}

PortRange::PortRange(std::string_view text)
{
    const std::size_t hyphen = text.find('-');
    if (hyphen == std::string_view::npos) {
        low = high = port_of(std::string(text));
    } else {
        low = port_of(std::string(text.substr(0, hyphen)));
        high = port_of(std::string(text.substr(hyphen + 1)));
    }
}

PortRangeList::PortRangeList(std::string_view text)
{
    parse(text);
}

void PortRangeList::parse(std::string_view text)
{
    for (const std::string& part : StringList(text, ","))
        ranges.emplace_back(part);
}

int PortRangeList::has(int port) const
{
    if (ranges.empty())
        return 1;
    for (const PortRange& range : ranges) {
        if (port >= range.low && port <= range.high)
            return 1;
    }
    return 0;
}
