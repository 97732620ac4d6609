// The cipher of the web interface's login token: Blowfish in electronic-codebook mode, with a
// small cache of key schedules and a text form that needs no escaping in a cookie or a URL.
// The token is never deciphered: each login recomputes it and compares texts.
#pragma once

#include <string>
#include <string_view>

// The text enciphered with key, zero-padded to whole 8-byte blocks, each block written as 12
// characters of "./0-9a-zA-Z": six for the block's right word, then six for its left word, each
// from its lowest six bits upward. The empty text gives the empty text. Thread-safe.
std::string blowfish_encrypt(std::string_view key, std::string_view text);

// The schedule cache holds this many keys; on a miss with every slot taken, slot 0 is rebuilt.
constexpr int BLOWFISH_SLOTS = 3;
// The slot that holds the schedule of key, or -1. For tests and diagnostics.
int blowfish_cache_slot(std::string_view key);
// Empties the schedule cache.
void blowfish_cache_clear();
