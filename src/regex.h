// Match-only regular expressions through PCRE2's POSIX layer. The compiled form is opaque, so
// that this header does not bring in the layer's declarations, which clash with the C library's
// <regex.h>.
#pragma once

struct Regex;

// The POSIX layer's ignore-case flag, which every configured pattern is compiled with.
constexpr int REG_CASELESS = 1;

// A new compiled expression owned by the caller (release with reg_free), or null after logging
// "failed to compile regular expression: %s" at the error category.
Regex* reg_compile(const char* pattern, int flags);
// 0 when the terminated text matches, anything else when it does not.
int reg_exec(const Regex* regex, const char* text);
// A null argument is a fatal assertion.
void reg_free(Regex* regex);
