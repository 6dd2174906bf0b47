#include "deviceapi/windowsdeviceio.h"

#include <errno.h>

#include <cinttypes>
#include <cstring>
#include <new>

#include "common/layout/mbr.h"

IDeviceIo* CreateDeviceIo() { return new (std::nothrow) CWindowsDeviceIo(); }

CWindowsDeviceIo::CWindowsDeviceIo() : m_diskNumber(0) {}

static bool ParseInt64(const char*& p, int64_t* out) {
  const char* s = p;
  bool neg = false;
  if (*s == '-') {
    neg = true;
    ++s;
  }
  if (*s < '0' || *s > '9') return false;
  int64_t v = 0;
  while (*s >= '0' && *s <= '9') {
    int d = *s - '0';
    if (v > (INT64_MAX - d) / 10) return false;
    v = v * 10 + d;
    ++s;
  }
  *out = neg ? -v : v;
  p = s;
  return true;
}

CWindowsDeviceIo::Translation CWindowsDeviceIo::ParseEnginePath(const char* path) {
  Translation t;
  static const char kPrefix[] = "/dev/hd";
  if (!path || strncmp(path, kPrefix, 7) != 0 || path[7] == 0) return t;
  const char* p = path + 7;
  char letter = char(tolower((unsigned char)*p++));
  t.disk = letter - 'a';
  t.fields = 1;
  if (*p == 0) return t;
  // Anything after the letter that is not a partition spec makes the path malformed, never
  // a shorter valid path ("/dev/hdaX" must not open disk a).
  t.fields = -1;
  int64_t v;
  if (!ParseInt64(p, &v) || v < 0 || v > UINT32_MAX) return t;
  t.partition = unsigned(v);
  t.fields = 2;
  if (*p++ != '-') return t;
  if (!ParseInt64(p, &t.start)) return t;
  t.fields = 3;
  if (*p++ != '-') return t;
  if (!ParseInt64(p, &t.length)) return t;
  t.fields = *p == 0 ? 4 : -1;
  return t;
}

char CWindowsDeviceIo::LetterOfPath(const char* path) {
  if (!path) return 0;
  if (strncmp(path, "\\\\.\\", 4) == 0 && path[4] && path[5] == ':' && path[6] == 0) {
    char l = char(toupper((unsigned char)path[4]));
    if (l >= 'A' && l <= 'Z') return l;
  }
  return 0;
}

bool CWindowsDeviceIo::ResolvePath(const char* path, plat::HostDevice* out, int* diskNumber) {
  if (!path || !*path || !out) return false;
  Translation t = ParseEnginePath(path);
  plat::HostDevice host;
  int disk = 0;
  if (t.fields == 1) {
    std::vector<std::string> disks = plat::DiskPaths();
    if (t.disk < 0 || size_t(t.disk) >= disks.size()) return false;
    host.path = disks[size_t(t.disk)];
    disk = t.disk;
  } else if (t.fields == 4) {
    if (t.start < 0) return false;
    if (!plat::ResolvePartition(t.disk, t.start, t.length, &host.path, &host.base, &host.length)) return false;
    disk = t.disk;
  } else if (t.fields != 0) {
    return false;
  } else if (char letter = LetterOfPath(path)) {
    if (!plat::LetterPath(letter, &host.path)) return false;
  } else {
    host.path = path;
  }
  *out = host;
  if (diskNumber) *diskNumber = disk;
  return true;
}

int CWindowsDeviceIo::Open(const char* path, int flags, int mode) {
  Close();
  plat::HostDevice host;
  int disk = 0;
  if (!ResolvePath(path, &host, &disk)) return -1;
  m_diskNumber = disk;
  const std::string& real = host.path;
  int64_t base = host.base, length = host.length;
  plat::OpenDevice dev;
  if (!plat::Open(real, flags, base, length, &dev)) return -1;
  m_dev = dev;
  m_pos = 0;
  m_inSector = 0;
  snprintf(m_path, sizeof m_path, "%s", real.c_str());
  DiskGeometry scratch;
  memset(&scratch, 0, sizeof scratch);
  if (QueryGeometry(&scratch) != 0 && m_sectorsize == 0) m_sectorsize = 512;
  if (m_sectorsize == 0) m_sectorsize = 512;
  m_openFlags = flags;
  return 0;
}

int CWindowsDeviceIo::QueryGeometry(DiskGeometry* g) {
  int64_t size;
  if (!plat::DeviceSize(m_dev, &size)) return -1;
  uint32_t ss = plat::SectorSize(m_dev);
  g->TracksPerCylinder = 255;
  g->SectorsPerTrack = 63;
  g->BytesPerSector = ss;
  g->Cylinders = size / (int64_t(255) * 63 * ss);
  g->DiskSize = size;
  if (ss > 65536) return -1;
  m_sectorsize = int(ss);
  return 0;
}

int CWindowsDeviceIo::Query(int code, void* out) {
  ZQ_ASSERT(IsOpen());
  if (!IsOpen() || !out) return -1;
  switch (code) {
    case DIQ_GEOMETRY:
      return QueryGeometry(static_cast<DiskGeometry*>(out));
    case DIQ_FREE_BYTES: {
      std::string mp;
      if (!plat::MountPointOf(m_path, &mp)) return -1;
      return plat::FreeBytes(mp, static_cast<uint64_t*>(out)) ? 0 : -1;
    }
    case DIQ_DRIVE_ROOT: {
      char l = plat::LetterOfDevice(m_path);
      if (!l) return -1;
      char* root = static_cast<char*>(out);
      root[0] = l;
      root[1] = ':';
      root[2] = '\\';
      root[3] = 0;
      return 0;
    }
    case DIQ_PATH:
      {
      char* dst = static_cast<char*>(out);
      size_t n = strnlen(m_path, 259);
      memcpy(dst, m_path, n);
      dst[n] = 0;
    }
      return 0;
    case DIQ_LABEL: {
      std::string label;
      if (!plat::VolumeLabelOf(m_path, &label)) return -1;
      char16_t* w = static_cast<char16_t*>(out);
      // Labels are short ASCII or UTF-8; decode UTF-8 into UTF-16, bounded to 263 units.
      size_t n = 0;
      for (size_t i = 0; i < label.size() && n < 263;) {
        unsigned char c = (unsigned char)label[i];
        uint32_t cp;
        int len;
        if (c < 0x80) { cp = c; len = 1; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; len = 2; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; len = 3; }
        else if ((c >> 3) == 30) { cp = c & 0x07; len = 4; }
        else { cp = c; len = 1; }
        if (i + size_t(len) > label.size()) { cp = c; len = 1; }
        for (int k = 1; k < len; ++k) cp = (cp << 6) | ((unsigned char)label[i + size_t(k)] & 0x3F);
        i += size_t(len);
        if (cp >= 0x10000) {
          if (n + 2 > 263) break;
          cp -= 0x10000;
          w[n++] = char16_t(0xD800 + (cp >> 10));
          w[n++] = char16_t(0xDC00 + (cp & 0x3FF));
        } else {
          w[n++] = char16_t(cp);
        }
      }
      w[n] = 0;
      return 0;
    }
    case DIQ_LAYOUT: {
      auto* v = static_cast<std::vector<LayoutEntry>*>(out);
      return ReadMbrLayout(this, uint32_t(m_sectorsize), v) ? 0 : -1;
    }
    default:
      return -1;
  }
}

bool CWindowsDeviceIo::IsWriteProtected() {
  ZQ_ASSERT(IsOpen());
  if (!IsOpen()) return false;
  return plat::IsWriteProtected(m_dev);
}

bool ReadMbrLayout(IDeviceIo* io, uint32_t ss, std::vector<LayoutEntry>* out) {
  out->clear();
  if (ss < 512 || ss > 65536) return false;
  std::vector<uint8_t> sec(ss);
  auto readRecord = [&](uint64_t lba, bool isEbr, layout::PartitionRecord* record) {
    if (lba > uint64_t(INT64_MAX) / ss) return false;
    return io->ReadSectors(int64_t(lba), sec.data(), 1, ss) == 1 &&
           layout::DecodePartitionRecord(sec.data(), sec.size(), isEbr, record);
  };
  uint32_t number = 0;
  auto list = [&](uint64_t at, const layout::PartitionRecord& record) {
    for (size_t i = 0; i < record.count; ++i) {
      const layout::MbrEntry& e = record.partitions[i];
      out->push_back({int64_t(at + e.firstLba) * ss, int64_t(e.sectors) * ss, ++number, e.type});
    }
  };
  layout::PartitionRecord mbr;
  if (!readRecord(0, false, &mbr) || mbr.protective) return false;
  list(0, mbr);
  // The system lists what it could read: a broken link ends the chain, not the table.
  layout::WalkEbrChain(mbr.link, UINT64_MAX, [&](uint64_t sector, uint32_t* link) {
    layout::PartitionRecord ebr;
    if (!readRecord(sector, true, &ebr)) return false;
    list(sector, ebr);
    *link = ebr.link;
    return true;
  });
  return true;
}
