// Match-only regular expressions through PCRE2's POSIX layer.
#pragma once

#include <pcre2posix.h>

// The POSIX layer's ignore-case flag, which every configured pattern is compiled with.
constexpr int REG_CASELESS = REG_ICASE;

// A new compiled expression owned by the caller (release with reg_free), or null after logging
// "failed to compile regular expression: %s" at the error category.
regex_t* reg_compile(const char* pattern, int flags);
// 0 when the terminated text matches, anything else when it does not.
int reg_exec(const regex_t* regex, const char* text);
// A null argument is a fatal assertion.
void reg_free(regex_t* regex);
