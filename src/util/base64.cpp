#include "util/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int BAD = -1;

constexpr std::array<int, 256> make_decode_table()
{
    std::array<int, 256> table{};
    table.fill(BAD);
    for (std::size_t i = 0; i < ALPHABET.size(); ++i)
        table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<int>(i);
    return table;
}

constexpr std::array<int, 256> DECODE = make_decode_table();

int decode(char c)
{
    return DECODE[static_cast<unsigned char>(c)];
}

}  // namespace

std::string to64frombits(std::string_view in)
{
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8 |
                                    static_cast<unsigned char>(in[i + 2]);
        out += ALPHABET[(group >> 18) & 0x3f];
        out += ALPHABET[(group >> 12) & 0x3f];
        out += ALPHABET[(group >> 6) & 0x3f];
        out += ALPHABET[group & 0x3f];
    }
    const std::size_t rest = in.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16;
        if (rest == 2)
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
        out += ALPHABET[(group >> 18) & 0x3f];
        out += ALPHABET[(group >> 12) & 0x3f];
        out += rest == 2 ? ALPHABET[(group >> 6) & 0x3f] : '=';
        out += '=';
    }
    return out;
}

int from64tobits(char* out, std::size_t capacity, std::string_view text)
{
    if (out == nullptr || capacity == 0)
        return -1;
    out[0] = '\0';
    if (text.starts_with("+ "))
        text.remove_prefix(2);
    if (text.starts_with('\r'))
        return 0;

    std::size_t len = 0;
    for (;;) {
        if (text.size() < 4)
            return -1;
        const char c3 = text[2];
        const char c4 = text[3];
        const int d1 = decode(text[0]);
        const int d2 = decode(text[1]);
        const int d3 = c3 == '=' ? 0 : decode(c3);
        const int d4 = c4 == '=' ? 0 : decode(c4);
        if (d1 == BAD || d2 == BAD || d3 == BAD || d4 == BAD)
            return -1;
        text.remove_prefix(4);

        unsigned char bytes[3];
        std::size_t count = 1;
        bytes[0] = static_cast<unsigned char>(d1 << 2 | d2 >> 4);
        if (c3 != '=') {
            bytes[1] = static_cast<unsigned char>((d2 << 4 & 0xf0) | d3 >> 2);
            ++count;
            if (c4 != '=') {
                bytes[2] = static_cast<unsigned char>((d3 << 6 & 0xc0) | d4);
                ++count;
            }
        }
        if (len + count >= capacity)
            return -1;
        for (std::size_t i = 0; i < count; ++i)
            out[len++] = static_cast<char>(bytes[i]);
        out[len] = '\0';

        if (text.empty() || text.front() == '\r' || c4 == '=')
            return static_cast<int>(len);
    }
}
