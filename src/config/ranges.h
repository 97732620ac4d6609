// Values of the address-range and port-range field types: lists of IPv4 address ranges and of
// port ranges, asked whether a client address or a request port lies in them.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>

#include "util/configerror.h"

// A dotted IPv4 address as a number, first part most significant, so that comparing numbers
// compares addresses. Leading spaces are skipped; exactly four dot-separated parts, each read as
// strtol reads base 10 with nothing after it, in 0 to 255 (an empty part reads as 0, a final
// dot adds no part). Throws ConfigError for anything else.
std::uint32_t address_to_int(std::string_view text);
// The same without throwing, for texts that come with a request.
std::optional<std::uint32_t> address_parse(std::string_view text);

// Every address from low to high, both inclusive.
struct IpRange {
    std::string lowtext;
    std::uint32_t low = 0;
    std::string hightext;
    std::uint32_t high = 0;

    // "a.b.c.d", "low-high", "-high", "low-" or "" (every address). Throws ConfigError.
    explicit IpRange(std::string_view text);
    // 1 when the text is one dotted address between low and high; any other text gives 0.
    int has(std::string_view address) const;
};

class IpRangeList {
public:
    std::list<IpRange> ranges;   // in the order written
    std::string text;            // as parsed, unchanged

    IpRangeList() = default;
    // Comma-separated ranges; an empty part is a range of every address. Throws ConfigError,
    // leaving the list as far as it had come.
    explicit IpRangeList(std::string_view text);
    void parse(std::string_view text);
    // 1 when the list is empty or a range holds the address, else 0.
    int has(std::string_view address) const;
};

// Ports from low to high, both inclusive; low above high holds no port.
struct PortRange {
    int low = 0;
    int high = 0;

    // "port" or "low-high", each in 1 to 65535. Throws ConfigError.
    explicit PortRange(std::string_view text);
};

class PortRangeList {
public:
    std::list<PortRange> ranges;   // in the order written

    PortRangeList() = default;
    // Comma-separated ranges; an empty part is an error. Throws ConfigError, leaving the list
    // as far as it had come.
    explicit PortRangeList(std::string_view text);
    void parse(std::string_view text);
    // 1 when the list is empty or a range holds the port, else 0.
    int has(int port) const;
};
