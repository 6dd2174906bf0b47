#include "filesystems/fatentry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/exfat_dirent.h"
#include "common/layout/fat_boot.h"
#include "common/layout/fat_dirent.h"
#include "filesystems/fatio.h"

namespace fat {

namespace {

bool TextIs(const uint8_t* p, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    if (c >= 'a' && c <= 'z') c = uint8_t(c - 'a' + 'A');
    if (c != uint8_t(text[i])) return false;
  }
  return true;
}

}  // namespace

int ParseFatBoot(const uint8_t* s, size_t len, FatKind kind, uint64_t volumeBytes, FatGeometry* out) {
  layout::FatBootSector b;
  if (!s || !out || !layout::DecodeFatBootSector(s, len, &b)) return -1;
  if (!layout::FatBootSectorSane(b)) {
    // The type text decides nothing; it only tells a damaged FAT of the kind asked for
    // (inconsistent) from a sector of another file system (not FAT).
    bool named = kind == kFat16 ? TextIs(reinterpret_cast<const uint8_t*>(b.fat16.fsType), "FAT16", 5)
                                : TextIs(reinterpret_cast<const uint8_t*>(b.fat32.fsType), "FAT32", 5);
    return named ? -1 : 104;
  }
  if (layout::FatKind(b) != int(kind)) return 104;

  FatGeometry g;
  g.kind = kind;
  g.bytesPerSector = b.bytesPerSector;
  g.sectorsPerCluster = b.sectorsPerCluster;
  g.reservedSectors = b.reservedSectors;
  g.numFats = b.numFats;
  g.clusterBytes = g.bytesPerSector * g.sectorsPerCluster;
  g.totalSectors = b.TotalSectors();
  g.sectorsPerFat = b.FatSize();
  if (kind == kFat16) {
    g.rootEntries = b.rootEntries;
    // A partial last sector of root entries still occupies the whole sector.
    g.rootDirSectors = uint32_t((uint64_t(g.rootEntries) * 32 + g.bytesPerSector - 1) / g.bytesPerSector);
  } else {
    g.rootCluster = b.fat32.rootCluster & 0x0FFFFFFFu;
  }

  uint64_t bps = g.bytesPerSector;
  uint64_t metaSectors = uint64_t(g.reservedSectors) + uint64_t(g.numFats) * g.sectorsPerFat + g.rootDirSectors;
  if (metaSectors >= g.totalSectors) return -1;
  uint64_t volBytes = g.totalSectors * bps;
  // A boot sector that claims more than the device holds is believed only as far as the
  // device goes; the metadata itself must lie on the device.
  if (volumeBytes && metaSectors * bps > volumeBytes) return -1;

  g.fatOffset = uint64_t(g.reservedSectors) * bps;
  g.fatBytes = uint64_t(g.sectorsPerFat) * bps;
  g.rootDirOffset = g.fatOffset + uint64_t(g.numFats) * g.fatBytes;
  g.rootDirBytes = uint64_t(g.rootEntries) * 32;
  g.dataOffset = metaSectors * bps;

  uint64_t clusters = (g.totalSectors - metaSectors) / g.sectorsPerCluster;
  uint64_t width = kind == kFat32 ? 4 : 2;
  uint64_t fatEntries = g.fatBytes / width;
  if (fatEntries < 3) return -1;
  // A FAT short by more than its last, partly used sector belongs to another geometry
  // (a patched sectors-per-cluster or size field): its clusters would be misplaced.
  if ((clusters + 2) * width > g.fatBytes + bps) return kBootDisagrees;
  uint64_t limit = kind == kFat32 ? 0x0FFFFFF5ull : 0xFFF5ull;
  // Clusters that the FAT has no entry for cannot be described; they are left out.
  clusters = std::min<uint64_t>(clusters, fatEntries - 2);
  clusters = std::min<uint64_t>(clusters, limit - 1);
  if (clusters == 0) return -1;
  if (volBytes < g.dataOffset) return -1;
  g.clusterCount = uint32_t(clusters);
  g.maxCluster = g.clusterCount + 1;
  if (kind == kFat32 && !g.IsDataCluster(g.rootCluster)) return -1;
  *out = g;
  return 0;
}

// ----------------------------------------------------------------------------------------

bool FatTable::Init(IStorageDevice* device, const FatGeometry& geo) {
  m_device = device;
  m_geo = geo;
  m_windowValid = false;
  m_whole = false;
  m_bytes.clear();
  if (geo.fatBytes < kMemoryLimit) {
    try {
      m_bytes.resize(size_t(geo.fatBytes));
    } catch (...) {
      return false;
    }
    if (ReadAt(device, geo.fatOffset, m_bytes.data(), uint32_t(geo.fatBytes)) != int64_t(geo.fatBytes)) {
      m_bytes.clear();
      return false;
    }
    m_whole = true;
  }
  return true;
}

void FatTable::InitFromBytes(const FatGeometry& geo, const uint8_t* bytes, size_t len) {
  m_device = nullptr;
  m_geo = geo;
  m_bytes.assign(bytes, bytes + len);
  m_whole = true;
  m_windowValid = false;
}

bool FatTable::LoadWindow(uint64_t byteInFat) {
  const uint64_t kWindow = 1u << 20;
  uint64_t start = byteInFat - byteInFat % kWindow;
  if (m_windowValid && start == m_windowStart) return true;
  uint64_t n = std::min<uint64_t>(kWindow, m_geo.fatBytes - start);
  m_bytes.resize(size_t(n));
  m_windowValid = false;
  if (!m_device || ReadAt(m_device, m_geo.fatOffset + start, m_bytes.data(), uint32_t(n)) != int64_t(n)) return false;
  m_windowStart = start;
  m_windowValid = true;
  return true;
}

bool FatTable::Get(uint32_t cluster, uint32_t* value) {
  uint64_t width = m_geo.kind == kFat16 ? 2 : 4;
  uint64_t off = uint64_t(cluster) * width;
  if (off >= m_geo.fatBytes || m_geo.fatBytes - off < width) return false;
  uint64_t in = off;
  if (!m_whole) {
    if (!LoadWindow(off)) return false;
    in = off - m_windowStart;
  }
  if (in > m_bytes.size()) return false;
  if (m_geo.kind == kFat16) {
    uint16_t v = 0;
    if (!kbytes::ReadLe16(m_bytes.data(), m_bytes.size(), size_t(in), &v)) return false;
    *value = v;
    return true;
  }
  if (!kbytes::ReadLe32(m_bytes.data(), m_bytes.size(), size_t(in), value)) return false;
  if (m_geo.kind == kFat32) *value &= 0x0FFFFFFFu;
  return true;
}

std::vector<uint32_t> FollowChain(FatTable& table, uint32_t first, uint32_t cap, bool* clean) {
  std::vector<uint32_t> chain;
  std::unordered_set<uint32_t> seen;
  if (clean) *clean = false;
  uint32_t c = first;
  while (chain.size() < cap && table.IsNext(c) && seen.insert(c).second) {
    chain.push_back(c);
    uint32_t next;
    if (!table.Get(c, &next)) return chain;
    if (table.IsEndMark(next)) {
      if (clean) *clean = true;
      return chain;
    }
    c = next;
  }
  return chain;
}

// ----------------------------------------------------------------------------------------

int FatIsInvalidShortName(const uint8_t* name, bool oem) {
  static const char kBad[] = "\"*+,/:;<=>?[\\]|";
  for (int i = 0; i < 11; ++i) {
    uint8_t b = name[i];
    if (b == ' ' || (i == 0 && (b == kDeletedMark || (oem && b == 0x05)))) continue;
    if (b >= 0x80 && oem) continue;
    if (b < 0x20 || b > 0x7E) return 1;
    if (std::memchr(kBad, b, sizeof(kBad) - 1)) return 1;
  }
  return 0;
}

int FatClassifyEntry(const uint8_t* e) {
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, kEntrySize, &d) || d.name[0] == 0x00) return kEntryEnd;
  if (d.name[0] == kDeletedMark) return kEntryDeleted;
  if (d.attributes == kAttrVolume || d.attributes > 63) return kEntryLabelOrBad;
  if (d.attributes == kAttrLongName) return kEntryLongName;
  return kEntryNormal;
}

char16_t FatLfnChar(const uint8_t* e, int index) {
  layout::FatLongNameEntry l;
  if (!layout::DecodeFatLongNameEntry(e, kEntrySize, &l)) return 0;
  return l.chars[((index % 13) + 13) % 13];
}

int FatLongNameFromEntries(const uint8_t* shortEntry, const uint8_t* first, std::u16string* out) {
  if (!out) return 0;
  out->clear();
  if (!shortEntry || !first || shortEntry <= first || (shortEntry - first) % kEntrySize != 0) return 0;
  // Stored order is last piece first: gather backwards.
  for (const uint8_t* l = shortEntry - kEntrySize;; l -= kEntrySize) {
    layout::FatLongNameEntry piece;
    layout::DecodeFatLongNameEntry(l, kEntrySize, &piece);
    for (char16_t c : piece.chars) {
      // 0xFFFF is the filler behind the terminator; a run that lost its NUL ends there too.
      if (c == 0x0000 || c == 0xFFFF) return int(out->size());
      *out += c;
    }
    if (l == first) break;
  }
  return int(out->size());
}

int FatShortNameToString(const uint8_t* entry, std::u16string* out) {
  if (!out) return -1;
  out->clear();
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(entry, kEntrySize, &d)) return -1;
  const uint8_t* e = d.name;
  if (e[0] == ' ' || FatIsInvalidShortName(e, true)) return -1;
  bool lowerBase = (d.caseFlags & 0x08) != 0, lowerExt = (d.caseFlags & 0x10) != 0;
  int baseEnd = 8;
  while (baseEnd > 0 && e[baseEnd - 1] == ' ') --baseEnd;
  for (int i = 0; i < baseEnd; ++i) {
    uint8_t b = e[i];
    if (i == 0 && b == kDeletedMark) {
      *out += u'_';
      continue;
    }
    if (i == 0 && b == 0x05) b = 0xE5;  // a real leading 0xE5 byte is stored as 0x05
    if (lowerBase && b >= 'A' && b <= 'Z') b = uint8_t(b - 'A' + 'a');
    *out += Cp437ToUtf16(b);
  }
  int extEnd = 11;
  while (extEnd > 8 && e[extEnd - 1] == ' ') --extEnd;
  if (extEnd > 8) {
    *out += u'.';
    for (int i = 8; i < extEnd; ++i) {
      uint8_t b = e[i];
      if (lowerExt && b >= 'A' && b <= 'Z') b = uint8_t(b - 'A' + 'a');
      *out += Cp437ToUtf16(b);
    }
  }
  return int(out->size());
}

std::u16string FatNameDecoder::BuildLongName(const uint8_t* firstLfn, const uint8_t* follow) {
  std::u16string name;
  FatLongNameFromEntries(follow, firstLfn, &name);
  return name;
}

std::u16string FatNameDecoder::BuildShortName(const uint8_t* entry) {
  std::u16string name;
  FatShortNameToString(entry, &name);
  return name;
}

int64_t FatMakeTime(int second, int minute, int hour, int day, int month, int yearsSince1900) {
  std::tm t = {};
  t.tm_sec = second;
  t.tm_min = minute;
  t.tm_hour = hour;
  t.tm_mday = day;
  t.tm_mon = month - 1;
  t.tm_year = yearsSince1900;
  // The C library decides whether daylight saving applies, so that a summer time of day
  // keeps its own local hour instead of moving one hour on.
  t.tm_isdst = -1;
  std::time_t v = std::mktime(&t);
  return v == std::time_t(-1) ? -1 : int64_t(v);
}

namespace {

int64_t DecodeDosTime(uint16_t time, uint16_t date) {
  int second = (time & 0x1F) * 2, minute = (time >> 5) & 0x3F, hour = time >> 11;
  int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
  if (second >= 60 || minute >= 60 || hour >= 24 || month > 12) return 0;
  return FatMakeTime(second, minute, hour, day, month, year - 1900);
}

}  // namespace

int64_t FatDecodeCreateTime(const uint8_t* e) {
  layout::FatDirEntry d;
  return layout::DecodeFatDirEntry(e, kEntrySize, &d) ? DecodeDosTime(d.createTime, d.createDate) : 0;
}

int64_t FatDecodeWriteTime(const uint8_t* e) {
  layout::FatDirEntry d;
  return layout::DecodeFatDirEntry(e, kEntrySize, &d) ? DecodeDosTime(d.writeTime, d.writeDate) : 0;
}

int FatCompareTildeOne(const uint8_t* e) {
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, kEntrySize, &d) || d.attributes == kAttrLongName) return -1;
  return d.name[6] == '~' && d.name[7] == '1' ? 0 : 1;
}

bool FatShortNameChecksum(const uint8_t* e, uint8_t* sum) {
  if (!e || !sum) return false;
  uint8_t s = *sum;
  for (int i = 0; i < 11; ++i) s = uint8_t(((s & 1) << 7) + (s >> 1) + e[i]);
  *sum = s;
  return true;
}

bool FatEntryChecksum(const uint8_t* e, uint8_t* sum) {
  layout::FatLongNameEntry l;
  if (!sum || !layout::DecodeFatLongNameEntry(e, kEntrySize, &l)) return false;
  if (l.attributes == kAttrLongName) {
    *sum = l.checksum;
    return true;
  }
  *sum = 0;
  return FatShortNameChecksum(e, sum);
}

int FatIsLastLfnEntry(const uint8_t* e) {
  layout::FatLongNameEntry l;
  if (!layout::DecodeFatLongNameEntry(e, kEntrySize, &l) || l.attributes != kAttrLongName || l.order == kDeletedMark)
    return -1;
  return (l.order & layout::kFatLongNameLast) ? 1 : 0;
}

char16_t Cp437ToUtf16(uint8_t b) {
  static const char16_t kHigh[128] = {
      0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
      0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
      0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
      0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
      0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
      0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
      0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
      0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
      0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
      0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
      0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
      0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
  return b < 0x80 ? char16_t(b) : kHigh[b - 0x80];
}

bool DosDateParts(uint16_t date, int* year, int* month, int* day) {
  int d = date & 0x1F, m = (date >> 5) & 0x0F, y = 1980 + (date >> 9);
  if (d == 0 || m == 0 || m > 12) return false;
  *year = y;
  *month = m;
  *day = d;
  return true;
}

// ----------------------------------------------------------------------------------------

void FatDirParser::Reset() {
  m_run.clear();
  m_index = 0;
}

void FatDirParser::DecodeShort(const uint8_t* e, FatDirItem* it) {
  layout::FatDirEntry d;
  layout::DecodeFatDirEntry(e, kEntrySize, &d);
  it->deleted = d.name[0] == kDeletedMark;
  it->attr = d.attributes;
  std::memcpy(it->entry, e, kEntrySize);
  it->shortName = FatNameDecoder::BuildShortName(e);
  it->isDot = layout::FatDotName(d.name) != 0;
  it->highWord = d.firstClusterHigh;
  it->firstCluster = d.FirstCluster(m_kind == kFat32);
  it->size = d.fileSize;
  it->createTime = d.createTime;
  it->createDate = d.createDate;
  it->writeTime = d.writeTime;
  it->writeDate = d.writeDate;
}

namespace {

// Whether a generator of 8.3 names could have put byte b first for a long name that
// begins with c: the character upper-cased, "_" for one a short name may not hold, and for
// a character beyond ASCII any OEM code page byte (0x05 standing for 0xE5) or a letter of
// a best-fit spelling ("E" for "É").
bool ShortLeadFits(uint8_t b, char16_t c) {
  if (b == '_') return true;
  if (c < 0x80) {
    char16_t up = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
    return b == up;
  }
  return b >= 0x80 || b == 0x05 || (b >= 'A' && b <= 'Z');
}

}  // namespace

// The pending run belongs to this short entry when its checksums agree with each other
// and with the short name. A deleted short entry lost its first byte; the checksum steps
// are one-to-one in each byte, so exactly one first byte gives the run's checksum. It is
// taken when a short name may begin with it and the long name's first character could
// have produced it.
bool FatDirParser::LongNameFor(const uint8_t* e, bool deleted, std::u16string* out) {
  size_t n = m_run.size() / kEntrySize;
  if (n == 0) return false;
  uint8_t sum = 0, other = 0;
  FatEntryChecksum(m_run.data(), &sum);
  for (size_t i = 1; i < n; ++i)
    if (!FatEntryChecksum(m_run.data() + i * kEntrySize, &other) || other != sum) return false;
  std::u16string name = FatNameDecoder::BuildLongName(m_run.data(), m_run.data() + m_run.size());
  if (name.size() > 255 || name.empty()) return false;
  uint8_t check = 0;
  if (!deleted) {
    if (!FatEntryChecksum(e, &check) || check != sum) return false;
  } else {
    uint8_t shortBytes[11];
    std::memcpy(shortBytes, e, 11);
    bool found = false;
    for (int b = 0; b < 256 && !found; ++b) {
      shortBytes[0] = uint8_t(b);
      check = 0;
      found = FatShortNameChecksum(shortBytes, &check) && check == sum;
    }
    uint8_t lead = shortBytes[0];
    // A stored first byte is never blank, a dot (the dot entries only) or the deletion mark.
    if (!found || lead == ' ' || lead == '.' || lead == kDeletedMark ||
        FatIsInvalidShortName(shortBytes, true))
      return false;
    // The generator skips leading dots and blanks.
    size_t i = 0;
    while (i < name.size() && (name[i] == u'.' || name[i] == u' ')) ++i;
    if (i == name.size() || !ShortLeadFits(lead, name[i])) return false;
  }
  *out = name;
  return true;
}

FatDirParser::Result FatDirParser::Feed(const uint8_t* p, size_t len, const Sink& sink) {
  if (!p) return kMore;
  size_t count = len / kEntrySize;
  for (size_t i = 0; i < count; ++i, ++m_index) {
    const uint8_t* e = p + i * kEntrySize;
    layout::FatDirEntry d;
    layout::DecodeFatDirEntry(e, len - i * kEntrySize, &d);
    const uint8_t first = d.name[0], attr = d.attributes;
    if (first == 0x00) {
      m_run.clear();
      return kEnd;
    }
    if (attr == kAttrLongName) {
      // A live run starts at its flagged entry; deleted runs have lost the flag (the
      // order byte is the name's first byte).
      if (first != kDeletedMark && (first & layout::kFatLongNameLast)) m_run.clear();
      if (m_run.size() >= kMaxRun * kEntrySize) m_run.clear();
      m_run.insert(m_run.end(), e, e + kEntrySize);
      continue;
    }
    if ((attr & kAttrVolume) && !(attr & kAttrDirectory)) {  // volume label
      m_run.clear();
      continue;
    }
    FatDirItem item;
    DecodeShort(e, &item);
    item.entryIndex = m_index;
    std::u16string longName;
    if (LongNameFor(e, item.deleted, &longName)) {
      item.name = longName;
      item.hasLongName = true;
    } else {
      item.name = item.shortName;
    }
    m_run.clear();
    if (item.name.empty()) continue;
    if (!sink(item)) return kStopped;
  }
  return kMore;
}

uint64_t ItemInfoList::LastEnd() const {
  if (m_clusterBytes == 0 || m_items.empty()) return 0;
  const ItemInfo& last = m_items.back();
  return uint64_t(last.firstCluster) + (uint64_t(last.size) + m_clusterBytes - 1) / m_clusterBytes;
}

bool ItemInfoList::NextHighWord(uint32_t* cluster, const FatEntryReader& fat) const {
  if (!cluster || *cluster > 0xFFFF || m_items.empty()) return false;
  uint64_t pred = LastEnd();
  if (pred < 0x10000) return false;
  uint64_t cand = (pred & ~0xFFFFull) | *cluster;
  if (!InHeap(cand)) return false;
  if (fat) {
    uint32_t vCand = 1, vOrig = 0;
    bool candFree = fat(uint32_t(cand), &vCand) && vCand == 0;
    bool origUsed = fat(*cluster, &vOrig) && vOrig != 0;
    if (!candFree && !origUsed) return false;
  }
  *cluster = uint32_t(cand);
  return true;
}

bool ProbeDeletedDirHighCluster(const ItemInfoList& list, uint32_t* cluster, uint32_t candidates,
                                const FirstEntryReader& read) {
  if (!cluster || *cluster > 0xFFFF || list.Empty() || !read) return false;
  uint64_t base = list.LastEnd() >> 16;
  if (base < 1) base = 1;
  for (uint64_t i = 0; i < candidates; ++i) {
    uint64_t cand = ((base + i) << 16) | *cluster;
    if (!list.InHeap(cand)) break;
    uint8_t first[kEntrySize];
    layout::FatDirEntry dot;
    if (!read(uint32_t(cand), first) || !layout::DecodeFatDirEntry(first, sizeof first, &dot)) break;
    // The number as every reader of an entry takes it, reserved top bits left out.
    if (std::memcmp(dot.name, ".       ", 8) == 0 && dot.FirstCluster(true) == cand) {
      *cluster = uint32_t(cand);
      return true;
    }
  }
  return false;
}

bool RestoreItemHighWord(FatDirItem* it, const ItemInfoList& list, const FatEntryReader& fat,
                         const FirstEntryReader& read) {
  if (!it || !it->deleted || it->isDot || it->highWord != 0) return false;
  return it->IsDirectory() ? ProbeDeletedDirHighCluster(list, &it->firstCluster, kHighWordCandidates, read)
                           : list.NextHighWord(&it->firstCluster, fat);
}

// ----------------------------------------------------------------------------------------

int ExfatVolume::CheckEntryType(const uint8_t* entry, bool* deleted) {
  if (!entry) return RC_BAD_ARGUMENT;
  if (deleted) *deleted = entry[0] == (layout::kExfatTypeFile & 0x7F);
  return layout::ExfatEntryTypeKnown(entry[0]) ? 0 : RC_MISSING;
}

int ParseExfatBoot(const uint8_t* s, size_t len, uint64_t volumeBytes, ExfatVolume* out) {
  layout::ExfatBootSector b;
  if (!s || !out || !layout::DecodeExfatBootSector(s, len, &b)) return -1;
  if (!b.nameIsExfat || !b.signatureValid) return 104;
  // The format allows 512..4096-byte sectors and clusters of at most 32 MiB.
  if (!layout::ExfatBootSectorValid(b)) return -1;
  const uint8_t bpsShift = b.bytesPerSectorShift, spcShift = b.sectorsPerClusterShift;
  ExfatVolume g;
  g.bytesPerSector = 1u << bpsShift;
  g.SetClusterSize(1u << spcShift);
  g.volumeSectors = b.volumeLength;
  uint64_t fatOff = b.fatOffset, fatLen = b.fatLength;
  uint64_t heapOff = b.clusterHeapOffset;
  uint64_t count = b.clusterCount;
  g.rootCluster = b.rootDirectoryCluster;
  if (g.volumeSectors == 0 || g.volumeSectors > (UINT64_MAX >> 12)) return -1;
  if (fatOff == 0 || fatLen == 0 || !kbytes::RangeInside(fatOff, fatLen, g.volumeSectors)) return -1;
  if (heapOff == 0 || heapOff >= g.volumeSectors) return -1;
  if (count == 0 || count > 0xFFFFFFF5ull) return -1;
  // The count is the heap's length in clusters, or less where the FAT ends first. A count
  // further off (a patched shift, heap offset or count whose checksum was made anew) means
  // that every cluster would be looked for in the wrong place.
  uint64_t fit = (g.volumeSectors - heapOff) >> spcShift;
  uint64_t fatEntries = (fatLen << bpsShift) / 4;
  if (fatEntries < 3) return -1;
  if (count > fatEntries - 2) return kBootDisagrees;
  bool fatLimits = fatEntries - 2 - count < (uint64_t(1) << bpsShift) / 4;
  if (count > fit + 1 || (count + 1 < fit && !fatLimits)) return kBootDisagrees;
  if (count > fit) count = fit;
  if (count == 0) return -1;
  g.fatOffset = fatOff << bpsShift;
  g.fatBytes = fatLen << bpsShift;
  g.SetClusterOrigin(heapOff - 2ull * g.sectorsPerCluster);
  if (volumeBytes && (g.fatOffset > volumeBytes || g.heapOffset > volumeBytes)) return -1;
  g.clusterCount = uint32_t(count);
  g.maxCluster = g.clusterCount + 1;
  if (!g.IsDataCluster(g.rootCluster)) return -1;
  *out = g;
  return 0;
}

int CheckExfatRoot(const ExfatVolume& g, const uint8_t* root, size_t len) {
  if (!root) return kBootDisagrees;
  bool bitmapOk = false, upcaseOk = false;
  auto fits = [&g](uint32_t first, uint64_t bytes) {
    uint64_t clusters = bytes / g.clusterBytes + (bytes % g.clusterBytes != 0);
    return bytes > 0 && g.IsDataCluster(first) && clusters <= uint64_t(g.maxCluster) - first + 1;
  };
  for (size_t i = 0; i + kEntrySize <= len; i += kEntrySize) {
    const uint8_t* e = root + i;
    if (e[0] == 0x00) break;
    layout::ExfatBitmapEntry bm;
    layout::ExfatUpcaseEntry up;
    if (e[0] == layout::kExfatTypeBitmap && !bitmapOk && layout::DecodeExfatBitmapEntry(e, len - i, &bm)) {
      uint64_t bytes = bm.dataLength;
      uint64_t count = g.clusterCount;
      bitmapOk = bytes >= (count + 7) / 8 && bytes <= (count + 8) / 8 && fits(bm.firstCluster, bytes);
      if (!bitmapOk) return kBootDisagrees;
    } else if (e[0] == layout::kExfatTypeUpcase && !upcaseOk && layout::DecodeExfatUpcaseEntry(e, len - i, &up)) {
      uint64_t bytes = up.dataLength;
      // The table maps at most 65536 UTF-16 units.
      upcaseOk = bytes <= 2 * 65536 && fits(up.firstCluster, bytes);
      if (!upcaseOk) return kBootDisagrees;
    }
  }
  return bitmapOk && upcaseOk ? 0 : kBootDisagrees;
}

int ReadCheckedExfatBoot(IStorageDevice* device, uint64_t base, uint64_t volumeBytes, ExfatVolume* out) {
  if (!device || !out) return -1;
  uint8_t boot[512];
  if (ReadAt(device, base, boot, sizeof boot) != int64_t(sizeof boot)) return 5;
  ExfatVolume g;
  int rc = ParseExfatBoot(boot, sizeof boot, volumeBytes, &g);
  if (rc) return rc;
  std::vector<uint8_t> root;
  try {
    root.resize(g.clusterBytes);
  } catch (...) {
    return 12;
  }
  uint64_t at = base + g.ClusterOffset(g.rootCluster);
  if (ReadAt(device, at, root.data(), g.clusterBytes) != int64_t(g.clusterBytes)) return 5;
  rc = CheckExfatRoot(g, root.data(), root.size());
  if (rc) return rc;
  *out = g;
  return 0;
}

int ReadExfatBootOverDamagedRoot(IStorageDevice* device, uint64_t base, uint64_t volumeBytes,
                                 ExfatVolume* out, uint32_t backupSectorBytes) {
  if (!device || !out) return RC_WRONG_FS;
  const uint64_t region0 = base + 12ull * backupSectorBytes;
  uint8_t boot[512];
  if (ReadAt(device, region0, boot, sizeof boot) != int64_t(sizeof boot)) return RC_WRONG_FS;
  ExfatVolume g;
  if (ParseExfatBoot(boot, sizeof boot, volumeBytes, &g) != 0) return RC_WRONG_FS;
  if (backupSectorBytes && g.bytesPerSector != backupSectorBytes) return RC_WRONG_FS;
  // Without a root to confirm it, the geometry is taken only as the formatter sealed it.
  std::vector<uint8_t> region;
  try {
    region.resize(size_t(12) * g.bytesPerSector);
  } catch (...) {
    return RC_NO_MEMORY;
  }
  if (ReadAt(device, region0, region.data(), uint32_t(region.size())) != int64_t(region.size()) ||
      !layout::ExfatBootRegionSealed(region.data(), region.size(), g.bytesPerSector))
    return RC_WRONG_FS;
  // The walk's own test for a directory cluster: a root that passes it but not the root
  // check is another directory, and the boot's root cluster is not this volume's.
  uint8_t head[3 * kEntrySize];
  if (ReadAt(device, base + g.ClusterOffset(g.rootCluster), head, sizeof head) == int64_t(sizeof head) &&
      ExfatVolume::CheckEntryType(head, nullptr) == 0 && ExfatVolume::CheckEntryType(head + kEntrySize, nullptr) == 0 &&
      ExfatVolume::CheckEntryType(head + 2 * kEntrySize, nullptr) == 0)
    return RC_WRONG_FS;
  *out = g;
  return RC_OK;
}

bool FindExfatBitmapWithoutRoot(IStorageDevice* device, uint64_t base, const ExfatVolume& g,
                                std::vector<uint8_t>* bitmap) {
  if (!device || !bitmap || g.clusterBytes == 0 || g.clusterCount == 0) return false;
  const uint64_t bytes = (uint64_t(g.clusterCount) + 7) / 8;
  if (bytes > (uint64_t(1) << 29)) return false;
  const uint64_t clusters = (bytes + g.clusterBytes - 1) / g.clusterBytes;
  std::vector<uint8_t> bm;
  try {
    bm.resize(size_t(bytes));
  } catch (...) {
    return false;
  }
  auto marked = [&bm](uint64_t c) {
    return c >= 2 && (c - 2) / 8 < bm.size() && (bm[size_t((c - 2) / 8)] >> ((c - 2) % 8) & 1);
  };
  // mkfs.exfat and Windows put the bitmap first in the heap; a few clusters on is allowed.
  const uint64_t kFirstClustersTried = 64, kUpcaseReach = 16;
  for (uint64_t b = 2; b < 2 + kFirstClustersTried && b + clusters - 1 <= g.maxCluster; ++b) {
    uint8_t head[16];
    const uint64_t at = base + g.ClusterOffset(uint32_t(b));
    if (ReadAt(device, at, head, sizeof head) != int64_t(sizeof head)) return false;
    if (!(head[(b - 2) / 8] >> ((b - 2) % 8) & 1)) continue;
    if (ReadAt(device, at, bm.data(), uint32_t(bytes)) != int64_t(bytes)) continue;
    bool fits = marked(g.rootCluster);
    for (uint64_t k = 0; fits && k < clusters; ++k) fits = marked(b + k);
    if (!fits || (g.clusterCount % 8 && bm.back() >> (g.clusterCount % 8))) continue;
    bool upcase = false;
    for (uint64_t u = b + clusters; !upcase && u < b + clusters + kUpcaseReach && u <= g.maxCluster; ++u) {
      uint8_t start[128];
      upcase =
          u != g.rootCluster && marked(u) &&
          ReadAt(device, base + g.ClusterOffset(uint32_t(u)), start, sizeof start) == int64_t(sizeof start) &&
          layout::ExfatUpcaseTableStarts(start, sizeof start);
    }
    if (!upcase) continue;
    bitmap->swap(bm);
    return true;
  }
  return false;
}

// A set is the file entry, its stream extension and as many name entries as the stream's
// name length asks for, all in the file entry's state (in use or deleted). The dates are
// the upper halves of the create and modify timestamps.
bool ExfatDirParser::DecodeSet(ExfatItem* it) const {
  size_t n = m_set.size() / kEntrySize;
  if (n < 3) return false;
  const uint8_t* f = m_set.data();
  layout::ExfatFileEntry file;
  layout::ExfatStreamEntry stream;
  if (!layout::DecodeExfatFileEntry(f, m_set.size(), &file) ||
      !layout::DecodeExfatStreamEntry(f + kEntrySize, m_set.size() - kEntrySize, &stream) ||
      stream.inUse != file.inUse)
    return false;
  it->deleted = !file.inUse;
  it->attr = file.fileAttributes;
  it->createDate = uint16_t(file.createTimestamp >> 16);
  it->modifyDate = uint16_t(file.lastModifiedTimestamp >> 16);
  it->noFatChain = stream.NoFatChain();
  size_t nameLen = stream.nameLength;
  it->validLength = stream.validDataLength;
  it->firstCluster = stream.firstCluster;
  it->dataLength = stream.dataLength;
  if (nameLen == 0) return false;
  size_t nameEntries = (nameLen + layout::kExfatNameChars - 1) / layout::kExfatNameChars;
  if (nameEntries > n - 2) return false;
  std::u16string name;
  for (size_t k = 0; k < nameEntries; ++k) {
    size_t at = (2 + k) * kEntrySize;
    layout::ExfatNameEntry part;
    if (!layout::DecodeExfatNameEntry(f + at, m_set.size() - at, &part) || part.inUse != file.inUse) return false;
    for (size_t c = 0; c < layout::kExfatNameChars && name.size() < nameLen; ++c) {
      if (part.chars[c] == 0) break;
      name += part.chars[c];
    }
  }
  if (name.empty()) return false;
  it->name = name;
  return true;
}

bool ExfatDirParser::Flush(const Sink& sink) {
  if (m_expect == 0 || m_set.empty()) {
    Reset();
    return true;
  }
  ExfatItem item;
  bool ok = DecodeSet(&item);
  item.cut = true;
  Reset();
  return !ok || sink(item);
}

ExfatDirParser::Result ExfatDirParser::Feed(const uint8_t* p, size_t len, const Sink& sink) {
  if (!p) return kMore;
  size_t count = len / kEntrySize;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = p + i * kEntrySize;
    uint8_t type = e[0];
    if (type == 0x00) return Flush(sink) ? kEnd : kStopped;
    if (m_expect > 0) {
      uint8_t kind = type & 0x7F;
      // Only secondary entries (bit 6) of the set's own state continue it.
      if ((kind & 0x40) && (type & 0x80) == (m_set[0] & 0x80)) {
        m_set.insert(m_set.end(), e, e + kEntrySize);
        if (--m_expect == 0) {
          ExfatItem item;
          bool ok = DecodeSet(&item);
          m_set.clear();
          if (ok && !sink(item)) return kStopped;
        }
        continue;
      }
      // The set claimed more entries than it has; this entry is looked at afresh.
      if (!Flush(sink)) return kStopped;
    }
    layout::ExfatBitmapEntry bm;
    if (type == layout::kExfatTypeBitmap && !bitmapFound && layout::DecodeExfatBitmapEntry(e, kEntrySize, &bm)) {
      bitmapFound = true;
      bitmap.firstCluster = bm.firstCluster;
      bitmap.length = bm.dataLength;
      continue;
    }
    layout::ExfatFileEntry file;
    // A count past the 18 that a name of 255 characters needs is a damaged one, read the same way.
    if (layout::DecodeExfatFileEntry(e, kEntrySize, &file) && file.secondaryCount >= 2) {
      m_set.assign(e, e + kEntrySize);
      m_expect = file.secondaryCount;
    }
  }
  return kMore;
}

}  // namespace fat
