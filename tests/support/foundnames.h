// How a found file's name and path are matched with the original's: the damage matrix and
// the scan probe judge alike. Header-only and free of the engine, so that the probe still
// builds against older versions of it.
#pragma once
#include <cstdint>
#include <string>

namespace testutil {

// A name folded for comparison: lower case, and accented Latin letters reduced to their base
// letter whether they come precomposed (as written) or decomposed (as HFS+ keeps them).
inline std::string Fold(const std::string& s) {
  static const char kLatin1[] = "aaaaaaaceeeeiiiidnooooo*ouuuuyts" "aaaaaaaceeeeiiiidnooooo/ouuuuyty";
  std::string out;
  for (size_t i = 0; i < s.size();) {
    uint8_t c = uint8_t(s[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0) cp = c & 0x07, n = 4;
    else if (c >= 0xE0) cp = c & 0x0F, n = 3;
    else if (c >= 0xC0) cp = c & 0x1F, n = 2;
    if (i + n > s.size()) n = s.size() - i;
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (uint8_t(s[i + k]) & 0x3F);
    if (cp >= 0x300 && cp <= 0x36F) {
      // a combining mark: its letter came before it
    } else if (cp >= 0xC0 && cp <= 0xFF) {
      out += kLatin1[cp - 0xC0];
    } else if (cp < 0x80) {
      out += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out;
}

// Whether a found name stands for an original one: equal when folded, or a deleted FAT short
// name whose first letter the deletion took.
inline bool SameName(const std::string& found, const std::string& original) {
  std::string f = Fold(found), o = Fold(original);
  if (f == o) return true;
  return !f.empty() && f[0] == '_' && f.size() == o.size() && f.compare(1, std::string::npos, o, 1) == 0;
}

// The same, folder by folder: a deleted folder's short name lost its first letter too.
inline bool SamePath(const std::string& found, const std::string& original) {
  size_t fa = 0, oa = 0;
  while (true) {
    size_t fb = found.find('/', fa), ob = original.find('/', oa);
    if (!SameName(found.substr(fa, fb - fa), original.substr(oa, ob - oa))) return false;
    if (fb == std::string::npos || ob == std::string::npos) return fb == ob;
    fa = fb + 1;
    oa = ob + 1;
  }
}

}  // namespace testutil
