#include "common/textutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

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
