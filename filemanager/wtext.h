// Small UTF-16 text helpers for the results model: lengths, copies, case folding and the
// conversion from the 8-bit system code page (UTF-8).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace wtext {

size_t Len(const char16_t* s);
// A new[] copy of s, or null for null.
char16_t* Dup(const char16_t* s);
// A new[] copy of at most maxChars characters, always terminated.
char16_t* DupN(const char16_t* s, size_t maxChars);

// Simple case folding of the scripts that file names commonly use (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic); enough to merge "Docs" and "DOCS".
char16_t Fold(char16_t c);
bool EqualNoCase(const char16_t* a, const char16_t* b);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
// True when the first n characters of s equal the ASCII text prefix, ignoring case.
bool StartsWithNoCase(const char16_t* s, const char* prefix);
std::u16string Folded(const std::u16string& s);

// 8-bit text to UTF-16. Valid UTF-8 is decoded; any byte that does not start a valid
// sequence is taken as the code point of the same value, so names in an OEM code page still
// come out as (approximate) names rather than as nothing.
std::u16string FromBytes(const char* s);
std::u16string FromAscii(const char* s);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const char16_t* s);
std::string ToUtf8(const std::u16string& s);

}  // namespace wtext
