#include "admin/blowfish.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

// The low-level Blowfish calls are deprecated in OpenSSL 3 in favour of EVP, whose Blowfish
// lives in the legacy provider and takes only 4 to 56 key bytes; the login key can be longer.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

namespace {

constexpr char ALPHABET[] = "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct Slot {
    std::optional<std::string> key;   // the whole key: two keys never share a schedule by accident
    BF_KEY schedule{};
};

// The cache and the schedule chosen from it form one critical section with the encipherment.
std::mutex cache_mutex;
std::array<Slot, BLOWFISH_SLOTS> cache;

int find_slot(std::string_view key)
{
    for (int i = 0; i < BLOWFISH_SLOTS; ++i)
        if (cache[i].key && *cache[i].key == key)
            return i;
    return -1;
}

// cache_mutex held.
const BF_KEY& schedule_for(std::string_view key)
{
    const int found = find_slot(key);
    if (found >= 0)
        return cache[found].schedule;
    int slot = 0;
    for (int i = 0; i < BLOWFISH_SLOTS; ++i) {
        if (!cache[i].key) {
            slot = i;
            break;
        }
    }
    Slot& target = cache[slot];
    // Only the first 72 key bytes enter the schedule; BF_set_key ignores the rest.
    BF_set_key(&target.schedule, static_cast<int>(key.size() > 72 ? 72 : key.size()),
               reinterpret_cast<const unsigned char*>(key.data()));
    target.key = std::string(key);
    return target.schedule;
}

std::uint32_t load_be(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void append_word(std::string& out, std::uint32_t word)
{
    for (int i = 0; i < 6; ++i) {
        out += ALPHABET[word & 63];
        word >>= 6;
    }
}

} // namespace

std::string blowfish_encrypt(std::string_view key, std::string_view text)
{
    std::string out;
    if (text.empty())
        return out;
    std::string padded(text);
    padded.resize((text.size() + 7) / 8 * 8, '\0');
    out.reserve(padded.size() / 8 * 12);

    std::lock_guard lock(cache_mutex);
    const BF_KEY& schedule = schedule_for(key);
    for (std::size_t at = 0; at < padded.size(); at += 8) {
        const auto* block = reinterpret_cast<const unsigned char*>(padded.data() + at);
        BF_LONG data[2] = {load_be(block), load_be(block + 4)};
        BF_encrypt(data, &schedule);
        append_word(out, static_cast<std::uint32_t>(data[1]));
        append_word(out, static_cast<std::uint32_t>(data[0]));
    }
    return out;
}

int blowfish_cache_slot(std::string_view key)
{
    std::lock_guard lock(cache_mutex);
    return find_slot(key);
}

void blowfish_cache_clear()
{
    std::lock_guard lock(cache_mutex);
    for (Slot& slot : cache)
        slot.key.reset();
}
