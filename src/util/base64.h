// Base64 (RFC 4648: A-Z, a-z, 0-9, '+', '/', '=' padding) for the Basic and NTLM authentication
// headers and the ICAP client.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Every three bytes give four characters; a final single byte gives two and "==", a final pair
// three and "=". No bytes give an empty text.
std::string to64frombits(std::string_view in);

// Decodes `text` into out, which holds `capacity` bytes, and returns the number of bytes decoded,
// always followed by a terminating zero in out (the zero is not counted).
// A leading "+ " is skipped; a text that then starts with a carriage return decodes to nothing.
// The text must consist of complete groups of four characters: the first two of the alphabet,
// the last two of the alphabet or '='. Decoding ends at the end of the text, at a carriage return
// after a group, or after a group ending with '='.
// -1 for an empty text, a character outside the alphabet, an incomplete group, or a result that
// does not fit in capacity - 1 bytes; out then holds whatever was decoded before, terminated.
int from64tobits(char* out, std::size_t capacity, std::string_view text);
