#include "common/textutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/kestrum_types.h"
#include "platform/platform.h"

namespace {

const char16_t kEmptyW[1] = {0};
const char kEmptyA[1] = {0};
const uint32_t kReplacement = 0xFFFD;

// One code point from UTF-8; malformed, overlong or surrogate sequences give U+FFFD and
// consume one byte so that the next valid sequence is found again.
uint32_t DecodeUtf8(const unsigned char*& p) {
  unsigned char c = *p;
  if (c < 0x80) {
    ++p;
    return c;
  }
  int len;
  uint32_t cp, min;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    ++p;
    return kReplacement;
  }
  for (int i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {  // also stops at the terminator
      ++p;
      return kReplacement;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++p;
    return kReplacement;
  }
  p += len;
  return cp;
}

// One code point from UTF-16; an unpaired surrogate gives U+FFFD.
uint32_t DecodeUtf16(const char16_t*& p) {
  uint32_t c = *p++;
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (*p >= 0xDC00 && *p <= 0xDFFF) {
      uint32_t lo = *p++;
      return 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
    }
    return kReplacement;
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return kReplacement;
  return c;
}

int ConvertToWide(const char* in, char16_t* out, int n) {
  if (!out || n <= 0) return 0;
  int k = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
  while (*p) {
    uint32_t cp = DecodeUtf8(p);
    int need = cp >= 0x10000 ? 2 : 1;
    if (k + need > n - 1) break;
    if (need == 2) {
      cp -= 0x10000;
      out[k++] = char16_t(0xD800 + (cp >> 10));
      out[k++] = char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out[k++] = char16_t(cp);
    }
  }
  out[k] = 0;
  return k;
}

int ConvertToAnsi(const char16_t* in, char* out, int n) {
  if (!out || n <= 0) return 0;
  int k = 0;
  const char16_t* p = in;
  while (*p) {
    uint32_t cp = DecodeUtf16(p);
    char buf[4];
    int len;
    if (cp < 0x80) {
      buf[0] = char(cp);
      len = 1;
    } else if (cp < 0x800) {
      buf[0] = char(0xC0 | (cp >> 6));
      buf[1] = char(0x80 | (cp & 0x3F));
      len = 2;
    } else if (cp < 0x10000) {
      buf[0] = char(0xE0 | (cp >> 12));
      buf[1] = char(0x80 | ((cp >> 6) & 0x3F));
      buf[2] = char(0x80 | (cp & 0x3F));
      len = 3;
    } else {
      buf[0] = char(0xF0 | (cp >> 18));
      buf[1] = char(0x80 | ((cp >> 12) & 0x3F));
      buf[2] = char(0x80 | ((cp >> 6) & 0x3F));
      buf[3] = char(0x80 | (cp & 0x3F));
      len = 4;
    }
    if (k + len > n - 1) break;
    memcpy(out + k, buf, size_t(len));
    k += len;
  }
  out[k] = 0;
  return k;
}

}  // namespace

size_t WideLength(const char16_t* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

char16_t* AnsiToWide(char16_t* out, const char* in, int n) {
  if (!in) return const_cast<char16_t*>(kEmptyW);
  ConvertToWide(in, out, n);
  return out;
}

const char16_t* AnsiToWideOrEmpty(char16_t* out, const char* in, int n) {
  if (!in) return kEmptyW;
  ConvertToWide(in, out, n);
  return out;
}

int AnsiToWideLen(const char* in, char16_t* out, int n) {
  if (!in) return 0;
  return ConvertToWide(in, out, n);
}

char* WideToAnsi(char* out, const char16_t* in, int n) {
  if (!in) return const_cast<char*>(kEmptyA);
  ConvertToAnsi(in, out, n);
  return out;
}

const char* WideToAnsiOrEmpty(char* out, const char16_t* in, int n) {
  if (!in) return kEmptyA;
  ConvertToAnsi(in, out, n);
  return out;
}

int WideToAnsiLen(const char16_t* in, char* out, int n) {
  if (!in) return 0;
  return ConvertToAnsi(in, out, n);
}

const char* EmptyIfNullA(const char* s) { return s ? s : kEmptyA; }
const char16_t* EmptyIfNullW(const char16_t* s) { return s ? s : kEmptyW; }

static int SwapSeparators(const char16_t* in, char16_t* out, char16_t lead, bool dropLead,
                          char16_t from, char16_t to) {
  const int kRoom = 260;
  if (!in || !out) return RC_BAD_ARGUMENT;
  int k = 0;
  if (!dropLead) out[k++] = lead;
  for (const char16_t* p = dropLead ? in + 1 : in; *p && k < kRoom - 1; ++p) out[k++] = *p == from ? to : *p;
  out[k] = 0;
  return 0;
}

int UnixToWinPath(const char16_t* in, char16_t* out) {
  if (!in || !out) return RC_BAD_ARGUMENT;
  if (in[0] != u'/') return 2;
  return SwapSeparators(in, out, 0, true, u'/', u'\\');
}

int WinToUnixPath(const char16_t* in, char16_t* out) {
  if (!in || !out) return RC_BAD_ARGUMENT;
  if (in[0] == u'/') return 2;
  return SwapSeparators(in, out, u'/', false, u'\\', u'/');
}

const char16_t* FindWideChar(const char16_t* s, char16_t c) {
  if (!s) return nullptr;
  for (; *s; ++s)
    if (*s == c) return s;
  return c == 0 ? s : nullptr;
}

bool FileExists(const char16_t* path) {
  if (!path) return false;
  char buf[1024];
  WideToAnsi(buf, path, sizeof buf);
  return plat::PathExists(buf);
}

bool MapVolumePath(const char16_t* path, IDevice* device) {
  if (!path || !device) return false;
  int type = device->GetType();
  if (type != DT_PARTITION && type != DT_LETTER_VOLUME && type != DT_PARTITION_OTHER) return false;
  char16_t copy[MAX_PATH_ZQ];
  size_t n = 0;
  while (path[n] && n < MAX_PATH_ZQ - 1) {
    copy[n] = path[n];
    ++n;
  }
  copy[n] = 0;
  if (path[n]) return false;  // cut short, it would name another file
  static const char kPrefix[] = "/volume";
  if (n < 7) return false;
  for (int i = 0; i < 7; ++i) {
    char16_t c = copy[i];
    if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
    if (c != char16_t(kPrefix[i])) return false;
  }
  // Names come from the disk: a "." or ".." component must never lead the lookup outside
  // the volume's mount point.
  if (copy[7] != u'/') return false;
  for (const char16_t* p = copy + 7; *p;) {
    while (*p == u'/') ++p;
    const char16_t* s = p;
    while (*p && *p != u'/') ++p;
    size_t len = size_t(p - s);
    if ((len == 1 && s[0] == u'.') || (len == 2 && s[0] == u'.' && s[1] == u'.')) return false;
  }
  PartitionInfo info;
  memset(&info, 0, sizeof info);
  if (device->GetPartitionInfo(&info) != 0) return false;
  // The drive part names a letter; a volume without one has no place to look, and the host's
  // own root must never stand in for it.
  char letter = info.MountPoint[0];
  if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
  if (letter < 'A' || letter > 'Z') return false;
  std::string volumePath, mountPoint;
  if (!plat::LetterPath(letter, &volumePath) || !plat::MountPointOf(volumePath, &mountPoint)) return false;
  char rest[1024];
  WideToAnsi(rest, copy + 7, sizeof rest);
  return plat::PathExistsUnder(mountPoint, rest);
}

const char* GetModuleFolder() {
  static char folder[260];
  if (folder[0] == 0) {
    std::string f = plat::ProgramFolder();
    if (f.empty() || f.back() != '/') f += '/';
    if (f.size() < sizeof folder) memcpy(folder, f.c_str(), f.size() + 1);
  }
  return folder;
}

int CompareInt64(int64_t a, int64_t b) { return b < a ? -1 : 1; }

// There is no debugger console here; debug text goes to standard error when asked for.
static bool DebugWanted() { return std::getenv("KESTRUM_DEBUG") != nullptr; }

bool DebugLogOn() { return DebugWanted(); }

void DebugLogA(const char* fmt, ...) {
  if (!fmt || !DebugWanted()) return;
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fputs(buf, stderr);
}

void WriteLogA(const char* path, const char* fmt, ...) {
  if (!fmt) return;
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (!path) {
    if (DebugWanted()) fputs(buf, stderr);
    return;
  }
  FILE* f = fopen(path, "a");
  if (!f) return;
  fputs(buf, f);
  fclose(f);
}

namespace {

void PutUnit(char16_t* out, int n, int* k, char16_t c) {
  if (*k < n - 1) out[(*k)++] = c;
}

// Each number is formatted by a one-conversion format built below from checked parts.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// printf for UTF-16 formats with the conventions of the wide printf family: %s and %ls
// take UTF-16 text, %hs and %S 8-bit text, %c a UTF-16 unit; numbers go through the C
// library one conversion at a time. %n writes nothing. The output is cut at n - 1 units.
int FormatWide(char16_t* out, int n, const char16_t* fmt, va_list ap) {
  if (!out || n <= 0) return 0;
  int k = 0;
  for (const char16_t* p = fmt; p && *p;) {
    if (*p != u'%') {
      PutUnit(out, n, &k, *p++);
      continue;
    }
    const char16_t* start = p++;
    std::string spec = "%";
    bool left = false;
    while (*p && *p < 0x80 && std::strchr("-+ #0'", char(*p))) {
      if (*p == u'-') left = true;
      spec += char(*p++);
    }
    int width = -1, precision = -1;
    if (*p == u'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') width = (width < 0 ? 0 : width) * 10 + int(*p++ - u'0');
    }
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') precision = precision * 10 + int(*p++ - u'0');
      }
    }
    // Length: hh h l ll L j z t, and the Windows I64 / I32 / I forms.
    enum { kNone, kChar, kShort, kLong, kLongLong, kLongDouble, kMax, kSize, kDiff } len = kNone;
    if (*p == u'h') {
      ++p;
      len = kShort;
      if (*p == u'h') ++p, len = kChar;
    } else if (*p == u'l') {
      ++p;
      len = kLong;
      if (*p == u'l') ++p, len = kLongLong;
    } else if (*p == u'L') {
      ++p, len = kLongDouble;
    } else if (*p == u'j') {
      ++p, len = kMax;
    } else if (*p == u'z') {
      ++p, len = kSize;
    } else if (*p == u't') {
      ++p, len = kDiff;
    } else if (*p == u'I') {
      if (p[1] == u'6' && p[2] == u'4') p += 3, len = kLongLong;
      else if (p[1] == u'3' && p[2] == u'2') p += 3;
      else ++p, len = kSize;
    } else if (*p == u'w') {
      ++p, len = kLong;
    }
    char16_t conv = *p;
    if (!conv) {  // a format cut inside a conversion is written as it stands
      for (const char16_t* q = start; q < p; ++q) PutUnit(out, n, &k, *q);
      break;
    }
    ++p;
    if (conv == u'%') {
      PutUnit(out, n, &k, u'%');
      continue;
    }
    if (conv == u's' || conv == u'S' || conv == u'c' || conv == u'C') {
      std::u16string text;
      bool narrow = (conv == u'S' || conv == u'C') ? len != kLong : len == kShort;
      if (conv == u'c' || conv == u'C') {
        text.assign(1, char16_t(va_arg(ap, int)));
      } else if (narrow) {
        const char* a = va_arg(ap, const char*);
        if (!a) a = "(null)";
        std::vector<char16_t> w(std::strlen(a) + 1);
        ConvertToWide(a, w.data(), int(w.size()));
        text = w.data();
      } else {
        const char16_t* w = va_arg(ap, const char16_t*);
        text = w ? w : u"(null)";
      }
      if (conv == u's' || conv == u'S')
        if (precision >= 0 && size_t(precision) < text.size()) text.resize(size_t(precision));
      int pad = width > int(text.size()) ? width - int(text.size()) : 0;
      if (!left)
        for (int i = 0; i < pad; ++i) PutUnit(out, n, &k, u' ');
      for (char16_t c : text) PutUnit(out, n, &k, c);
      if (left)
        for (int i = 0; i < pad; ++i) PutUnit(out, n, &k, u' ');
      continue;
    }
    if (conv == u'n') {
      (void)va_arg(ap, void*);
      continue;
    }
    if (conv >= 0x80 || !std::strchr("diouxXeEfFgGaAp", char(conv))) {
      for (const char16_t* q = start; q < p; ++q) PutUnit(out, n, &k, *q);
      continue;
    }
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    char buf[512];
    buf[0] = 0;
    bool isFloat = std::strchr("eEfFgGaA", char(conv)) != nullptr;
    if (conv == u'p') {
      spec += 'p';
      snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, void*));
    } else if (isFloat) {
      if (len == kLongDouble) {
        spec += "L";
        spec += char(conv);
        snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, long double));
      } else {
        spec += char(conv);
        snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, double));
      }
    } else {
      bool isSigned = conv == u'd' || conv == u'i';
      static const char* const kLen[] = {"", "hh", "h", "l", "ll", "ll", "j", "z", "t"};
      spec += kLen[len];
      spec += char(conv);
      switch (len) {
        case kLong:
          if (isSigned) snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, long));
          else snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, unsigned long));
          break;
        case kLongLong:
        case kLongDouble:
          if (isSigned) snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, long long));
          else snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, unsigned long long));
          break;
        case kMax:
          if (isSigned) snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, intmax_t));
          else snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, uintmax_t));
          break;
        case kSize:
          snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, size_t));
          break;
        case kDiff:
          snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, ptrdiff_t));
          break;
        default:  // char and short arrive promoted to int
          if (isSigned) snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, int));
          else snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, unsigned));
          break;
      }
    }
    for (const char* q = buf; *q; ++q) PutUnit(out, n, &k, char16_t(static_cast<unsigned char>(*q)));
  }
  out[k] = 0;
  return k;
}

#pragma GCC diagnostic pop

}  // namespace

void DebugLogW(const char16_t* fmt, ...) {
  if (!fmt || !DebugWanted()) return;
  char16_t buf[4096];
  va_list ap;
  va_start(ap, fmt);
  FormatWide(buf, 4096, fmt, ap);
  va_end(ap);
  std::vector<char> text(4 * 4096);
  ConvertToAnsi(buf, text.data(), int(text.size()));
  fputs(text.data(), stderr);
}

void WriteLogW(const char16_t* path, const char16_t* fmt, ...) {
  if (!fmt) return;
  char16_t buf[2048];
  va_list ap;
  va_start(ap, fmt);
  FormatWide(buf, 2048, fmt, ap);
  va_end(ap);
  char text[2048];
  ConvertToAnsi(buf, text, sizeof text);
  if (!path) {
    if (DebugWanted()) fputs(text, stderr);
    return;
  }
  char name[1024];
  ConvertToAnsi(path, name, sizeof name);
  FILE* f = fopen(name, "a");
  if (!f) return;
  fputs(text, f);
  fclose(f);
}

void HexDump(const uint8_t* data, int count, char* out) {
  static const char kHex[] = "0123456789abcdef";
  if (!data || !out) return;
  for (int i = 0; i < count; ++i) {
    out[3 * i] = kHex[data[i] >> 4];
    out[3 * i + 1] = kHex[data[i] & 15];
    int pos = i + 1;
    out[3 * i + 2] = pos % 16 == 0 ? '\n' : pos % 8 == 0 ? '-' : ' ';
  }
}

int WriteBufferToFile(const char* path, const void* data, size_t count) {
  if (!path) return 0;
  FILE* f = fopen(path, "w+b");
  if (!f) return 0;
  if (count && data) fwrite(data, 1, count, f);
  return fclose(f);
}

bool IsDeviceStillThere() { return errno != ENXIO && errno != ENODEV; }
