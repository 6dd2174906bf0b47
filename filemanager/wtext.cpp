#include "filemanager/wtext.h"

#include <cstdint>
#include <cstring>

#include "common/textutil.h"

namespace wtext {

size_t Len(const char16_t* s) { return WideLength(s); }

char16_t* Dup(const char16_t* s) { return s ? DupN(s, Len(s)) : nullptr; }

char16_t* DupN(const char16_t* s, size_t maxChars) {
  if (!s) return nullptr;
  size_t n = 0;
  while (n < maxChars && s[n]) ++n;
  char16_t* out = new char16_t[n + 1];
  std::memcpy(out, s, n * sizeof(char16_t));
  out[n] = 0;
  return out;
}

char16_t Fold(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 32);
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs upper/lower on even/odd code points, except a few shifted runs.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? char16_t(c + 1) : c;
    if (c == 0x178) return 0xFF;
    return (c & 1) ? c : char16_t(c + 1);
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return char16_t(c + 32);
  if (c >= 0x410 && c <= 0x42F) return char16_t(c + 32);
  if (c >= 0x400 && c <= 0x40F) return char16_t(c + 80);
  return c;
}

bool EqualNoCase(const char16_t* a, const char16_t* b) {
  if (!a || !b) return a == b;
  for (;; ++a, ++b) {
    if (Fold(*a) != Fold(*b)) return false;
    if (!*a) return true;
  }
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

bool StartsWithNoCase(const char16_t* s, const char* prefix) {
  if (!s || !prefix) return false;
  for (; *prefix; ++prefix, ++s) {
    if (!*s) return false;
    if (Fold(*s) != Fold(char16_t(uint8_t(*prefix)))) return false;
  }
  return true;
}

std::u16string Folded(const std::u16string& s) {
  std::u16string out(s);
  for (char16_t& c : out) c = Fold(c);
  return out;
}

static void PutCodePoint(std::u16string* out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(char16_t(0xD800 + (cp >> 10)));
    out->push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(char16_t(cp));
  }
}

std::u16string FromBytes(const char* text) {
  std::u16string out;
  if (!text) return out;
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
  size_t n = std::strlen(text);
  size_t i = 0;
  while (i < n) {
    uint8_t b = s[i];
    size_t need = 0;
    uint32_t cp = 0, min = 0;
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      need = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      need = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      need = 3, cp = b & 0x07, min = 0x10000;
    }
    bool ok = need > 0 && n - i > need;
    for (size_t k = 1; ok && k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok) {
      PutCodePoint(&out, cp);
      i += need + 1;
    } else {
      out.push_back(char16_t(b));  // byte-wise, as Latin-1
      ++i;
    }
  }
  return out;
}

std::u16string FromAscii(const char* s) {
  std::u16string out;
  for (; s && *s; ++s) out.push_back(char16_t(uint8_t(*s)));
  return out;
}

std::string ToUtf8(const char16_t* s) {
  // Each UTF-16 unit needs at most three bytes (a surrogate pair four for its two units).
  size_t units = Len(s);
  if (!s || units == 0 || units > size_t(INT32_MAX / 3 - 1)) return std::string();
  std::string out(units * 3 + 1, '\0');
  out.resize(size_t(WideToAnsiLen(s, &out[0], int(out.size()))));
  return out;
}

std::string ToUtf8(const std::u16string& s) { return ToUtf8(s.c_str()); }

}  // namespace wtext
