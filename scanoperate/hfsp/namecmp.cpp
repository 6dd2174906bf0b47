#include "scanoperate/hfsp/namecmp.h"

#include <array>

#include "common/inc/bytes.h"

namespace {

// The lower-case folding of Apple's TN1150 (FastUnicodeCompare): only characters that
// have no canonical decomposition fold, because HFS+ stores names decomposed; the
// formatting characters that TN1150 declares ignorable fold to 0, and U+0000 sorts last.
// The table is two-level, as TN1150 lays it out: 256 page indexes by high byte, then
// 256-entry pages by low byte.
constexpr int kPages = 10;
constexpr uint8_t kPageHigh[kPages] = {0x00, 0x01, 0x03, 0x04, 0x05, 0x10, 0x20, 0x21, 0xFE, 0xFF};
using FoldTable = std::array<uint16_t, 256 + 256 * kPages>;

constexpr void Map(FoldTable& t, uint16_t from, uint16_t to) {
  int page = 0;
  for (int i = 0; i < kPages; ++i)
    if (kPageHigh[i] == (from >> 8)) page = 256 + 256 * i;
  t[page + (from & 0xFF)] = to;
}
constexpr void MapRange(FoldTable& t, uint16_t first, uint16_t last, int delta, int step = 1) {
  for (uint32_t u = first; u <= last; u += step) Map(t, uint16_t(u), uint16_t(u + delta));
}

constexpr FoldTable BuildFoldTable() {
  FoldTable t{};
  for (int i = 0; i < kPages; ++i) {
    t[kPageHigh[i]] = uint16_t(256 + 256 * i);
    for (int lo = 0; lo < 256; ++lo) t[256 + 256 * i + lo] = uint16_t(kPageHigh[i] << 8 | lo);
  }
  Map(t, 0x0000, 0xFFFF);
  // Latin-1: A-Z and the undecomposable capitals.
  MapRange(t, 0x0041, 0x005A, 0x20);
  Map(t, 0x00C6, 0x00E6);
  Map(t, 0x00D0, 0x00F0);
  Map(t, 0x00D8, 0x00F8);
  Map(t, 0x00DE, 0x00FE);
  // Latin Extended-A and -B.
  const uint16_t ext[][2] = {
      {0x0110, 0x0111}, {0x0126, 0x0127}, {0x0132, 0x0133}, {0x013F, 0x0140}, {0x0141, 0x0142},
      {0x014A, 0x014B}, {0x0152, 0x0153}, {0x0166, 0x0167}, {0x0181, 0x0253}, {0x0182, 0x0183},
      {0x0184, 0x0185}, {0x0186, 0x0254}, {0x0187, 0x0188}, {0x0189, 0x0256}, {0x018A, 0x0257},
      {0x018B, 0x018C}, {0x018E, 0x01DD}, {0x018F, 0x0259}, {0x0190, 0x025B}, {0x0191, 0x0192},
      {0x0193, 0x0260}, {0x0194, 0x0263}, {0x0196, 0x0269}, {0x0197, 0x0268}, {0x0198, 0x0199},
      {0x019C, 0x026F}, {0x019D, 0x0272}, {0x019F, 0x0275}, {0x01A2, 0x01A3}, {0x01A4, 0x01A5},
      {0x01A7, 0x01A8}, {0x01A9, 0x0283}, {0x01AC, 0x01AD}, {0x01AE, 0x0288}, {0x01B1, 0x028A},
      {0x01B2, 0x028B}, {0x01B3, 0x01B4}, {0x01B5, 0x01B6}, {0x01B7, 0x0292}, {0x01B8, 0x01B9},
      {0x01BC, 0x01BD}, {0x01C4, 0x01C6}, {0x01C5, 0x01C6}, {0x01C7, 0x01C9}, {0x01C8, 0x01C9},
      {0x01CA, 0x01CC}, {0x01CB, 0x01CC}, {0x01E4, 0x01E5}, {0x01F1, 0x01F3}, {0x01F2, 0x01F3}};
  for (const auto& m : ext) Map(t, m[0], m[1]);
  // Greek capitals without tonos, Coptic pairs.
  MapRange(t, 0x0391, 0x03A1, 0x20);
  MapRange(t, 0x03A3, 0x03A9, 0x20);
  MapRange(t, 0x03E2, 0x03EE, 1, 2);
  // Cyrillic: the capitals that do not decompose.
  MapRange(t, 0x0402, 0x040F, 0x50);
  Map(t, 0x0403, 0x0403);
  Map(t, 0x0407, 0x0407);
  Map(t, 0x040C, 0x040C);
  Map(t, 0x040D, 0x040D);
  Map(t, 0x040E, 0x040E);
  MapRange(t, 0x0410, 0x042F, 0x20);
  Map(t, 0x0419, 0x0419);
  MapRange(t, 0x0460, 0x0474, 1, 2);
  MapRange(t, 0x0478, 0x0480, 1, 2);
  MapRange(t, 0x0490, 0x04BE, 1, 2);
  Map(t, 0x04C3, 0x04C4);
  Map(t, 0x04C7, 0x04C8);
  Map(t, 0x04CB, 0x04CC);
  // Armenian, Georgian, Roman numerals, full-width Latin.
  MapRange(t, 0x0531, 0x0556, 0x30);
  MapRange(t, 0x10A0, 0x10C5, 0x30);
  MapRange(t, 0x2160, 0x216F, 0x10);
  MapRange(t, 0xFF21, 0xFF3A, 0x20);
  // Ignorable formatting characters.
  for (uint16_t u = 0x200C; u <= 0x200F; ++u) Map(t, u, 0);
  for (uint16_t u = 0x202A; u <= 0x202E; ++u) Map(t, u, 0);
  for (uint16_t u = 0x206A; u <= 0x206F; ++u) Map(t, u, 0);
  Map(t, 0xFEFF, 0);
  return t;
}

constexpr FoldTable kFold = BuildFoldTable();

// A name as its length field and units: (name, bytes) from the length field on.
struct NameCursor {
  const uint8_t* name;
  size_t bytes;
  size_t at;  // byte of the next unit
  uint16_t left;
};

NameCursor Open(const uint8_t* name, size_t bytes) {
  return NameCursor{name, bytes, 2, hfsNameUnitsPresent(name, bytes)};
}

// Next significant unit (0 when the name is used up); ignorable units are skipped.
template <bool Fold>
uint16_t Next(NameCursor& c) {
  while (c.left > 0) {
    uint16_t u = 0;
    if (!kbytes::ReadBe16(c.name, c.bytes, c.at, &u)) return 0;
    c.at += 2;
    --c.left;
    if (Fold) u = caseFoldLookup(u);
    if (u != 0) return u;
  }
  return 0;
}

template <bool Fold>
int Compare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  NameCursor ca = Open(a, aBytes), cb = Open(b, bBytes);
  if (ca.left == 0 && cb.left == 0) return 0;
  if (ca.left == 0) return -1;
  if (cb.left == 0) return 1;
  for (;;) {
    uint16_t c1 = Next<Fold>(ca), c2 = Next<Fold>(cb);
    if (c1 != c2) return c1 < c2 ? -1 : 1;
    if (c1 == 0) return 0;
  }
}

}  // namespace

uint16_t caseFoldLookup(uint16_t unit) {
  uint16_t page = kFold[unit >> 8];
  return page ? kFold[page + (unit & 0xFF)] : unit;
}

uint16_t hfsNameUnitsPresent(const uint8_t* name, size_t bytes) {
  uint16_t length = 0;
  if (!name || !kbytes::ReadBe16(name, bytes, 0, &length)) return 0;
  size_t units = length;
  size_t room = (bytes - 2) / 2;
  if (units > room) units = room;
  if (units > kHfsMaxNameUnits) units = kHfsMaxNameUnits;
  return uint16_t(units);
}

int hfsFastUnicodeCompare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  return Compare<true>(a, aBytes, b, bBytes);
}

int hfsBinaryUnicodeCompare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  return Compare<false>(a, aBytes, b, bBytes);
}

int hfsplus_name_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  // A side too short for its parent compares as parent 0 with no name.
  uint32_t pa = 0, pb = 0;
  kbytes::ReadBe32(a, aBytes, 0, &pa);
  kbytes::ReadBe32(b, bBytes, 0, &pb);
  if (pa != pb) return pa < pb ? -1 : 1;
  return hfsFastUnicodeCompare(aBytes >= 4 ? a + 4 : nullptr, aBytes >= 4 ? aBytes - 4 : 0,
                               bBytes >= 4 ? b + 4 : nullptr, bBytes >= 4 ? bBytes - 4 : 0);
}
