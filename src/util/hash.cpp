#include "util/hash.h"

#include <cstdint>

int hash_key(int n, std::string_view key)
{
    FATAL_ASSERT(n > 0);
    std::uint32_t sum = 0;
    for (const char byte : key) {
        // Signed on every platform: the buckets of existing caches and store sub-directories
        // depend on bytes above 0x7f counting as negative.
        const std::int32_t c = static_cast<std::int8_t>(byte);
        sum += static_cast<std::uint32_t>(c * 20 + (c >> 2) + (c >> 4) + 8111);
    }
    return static_cast<int>(sum % static_cast<std::uint32_t>(n));
}

static char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool hash_key_equal(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}
