// Disks, partition tables, partitions, letter volumes, enumeration and the storage facade,
// checked against images made by sfdisk, sgdisk, fdisk and the mkfs tools, and against
// hostile tables built here byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "deviceapi/windowsdeviceio.h"
#include "common/inc/seams.h"
#include "common/textutil.h"
#include "memarchive.h"
#include "platform/platform.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cstoragedevice.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/dbrcheck.h"
#include "storagedevice/devenum.h"
#include "eioview.h"
#include "imagedisk.h"
#include "layoutcheck.h"
#include "testutil.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

const int64_t kCylinder = 255 * 63;

struct Expected {
  int64_t start, count;
  uint32_t type;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The partitions of an `sfdisk --json` dump, in table order, extended containers left out.
std::vector<Expected> SfdiskPartitions(const std::string& json) {
  std::vector<Expected> out;
  std::regex entry("\"start\":\\s*(\\d+),\\s*\"size\":\\s*(\\d+),\\s*\"type\":\\s*\"([0-9a-f]+)\"");
  for (std::sregex_iterator it(json.begin(), json.end(), entry), end; it != end; ++it) {
    uint32_t type = uint32_t(std::stoul((*it)[3].str(), nullptr, 16));
    if (type == 0x05 || type == 0x0F) continue;
    out.push_back({std::stoll((*it)[1].str()), std::stoll((*it)[2].str()), type});
  }
  return out;
}

// "   1   2048   67583   32.0 MiB    EF00" lines of `sgdisk -p`.
std::vector<std::pair<Expected, std::string>> SgdiskPartitions(const std::string& text) {
  std::vector<std::pair<Expected, std::string>> out;
  std::regex line("^\\s*\\d+\\s+(\\d+)\\s+(\\d+)\\s+\\S+\\s+\\S+\\s+([0-9A-F]{4})");
  std::istringstream in(text);
  std::string l;
  std::smatch m;
  while (std::getline(in, l))
    if (std::regex_search(l, m, line)) {
      int64_t first = std::stoll(m[1].str()), last = std::stoll(m[2].str());
      out.push_back({{first, last - first + 1, 0}, m[3].str()});
    }
  return out;
}

PartitionInfo Info(IDevice* d) {
  PartitionInfo info;
  memset(&info, 0, sizeof info);
  EXPECT_EQ(d->GetPartitionInfo(&info), 0);
  return info;
}

std::string Label(const PartitionInfo& info) {
  char buf[600];
  return WideToAnsi(buf, info.Label, sizeof buf);
}

// The gap partitions the disk must add for a table, by its rule: a stretch longer than one
// cylinder at the head, between neighbours in table order, and at the tail.
std::vector<Expected> WithGaps(const std::vector<Expected>& parts, int64_t total, int64_t cylinder) {
  std::vector<Expected> out;
  int64_t prevEnd = 0;
  for (const Expected& p : parts) {
    if (p.start - prevEnd > cylinder) out.push_back({prevEnd, p.start - prevEnd, 0xDB});
    out.push_back(p);
    prevEnd = p.start + p.count;
  }
  if (total - prevEnd > cylinder) out.push_back({prevEnd, total - prevEnd, 0xDB});
  return out;
}

// Fails the run rather than hanging it.
template <class F>
void WithinSeconds(int seconds, F fn) {
  auto fut = std::async(std::launch::async, fn);
  if (fut.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    fprintf(stderr, "timed out: a table walk did not end\n");
    std::_Exit(3);
  }
  fut.get();
}

void PutEntry(std::vector<uint8_t>& img, size_t sectorOff, int slot, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = &img[sectorOff + 446 + 16 * size_t(slot)];
  e[0] = 0;
  e[4] = type;
  kbytes::PutLe32(e + 8, start);
  kbytes::PutLe32(e + 12, count);
  img[sectorOff + 510] = 0x55;
  img[sectorOff + 511] = 0xAA;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables read from tool-made images

TEST(PartitionTables, MbrMatchesSfdiskWithGapsAndDetectedClusterSizes) {
  std::string img = testutil::Fixture("tables_mbr.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<Expected> parts = SfdiskPartitions(ReadText(testutil::Fixture("tables_mbr.json")));
  ASSERT_EQ(parts.size(), 4u);
  ScopedEnv disks("KESTRUM_DISKS", img);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  const int64_t total = disk->TotalSectors();
  std::vector<Expected> want = WithGaps(parts, total, kCylinder);

  // The disk's own MBR reading: types as the table holds them, 0x0C stored as 0x0B.
  ASSERT_GT(disk->ReadPartitionTables(), 0);
  auto& vols = disk->GetVolumes();
  ASSERT_EQ(vols.size(), want.size());
  int number = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    PartitionInfo info = Info(vols[i]);
    EXPECT_EQ(info.StartSector, want[i].start) << i;
    EXPECT_EQ(info.SectorCount, want[i].count) << i;
    if (want[i].type == 0xDB) {
      EXPECT_EQ(info.PartitionNumber, -1);
      EXPECT_EQ(Label(info), "UnAllocated Partition");
    } else {
      EXPECT_EQ(info.PartitionNumber, ++number);
      EXPECT_EQ(info.PartitionType, want[i].type == 0x0C ? 0x0Bu : want[i].type) << i;
      EXPECT_EQ(info.SectorsPerCluster, 8u) << "a typed MBR entry keeps the default";
    }
  }

  // The system's layout gives type 0, so every file system and cluster size is detected;
  // the gaps are the same as with the disk's own reading.
  ASSERT_GT(disk->ReadOsPartitionList(), 0);
  ASSERT_EQ(vols.size(), want.size());
  const uint32_t fsType[] = {0x0B, 0x07, 0x06, 0xB0};
  const uint32_t spc[] = {8, 4, 4, 64};  // -s 8, -c 2048, -s 4, -c 32K
  int k = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    PartitionInfo info = Info(vols[i]);
    EXPECT_EQ(info.StartSector, want[i].start);
    EXPECT_EQ(info.SectorCount, want[i].count);
    if (want[i].type == 0xDB) {
      EXPECT_EQ(info.PartitionType, 0xDBu);
      continue;
    }
    EXPECT_EQ(info.PartitionType, fsType[k]) << "partition " << k;
    EXPECT_EQ(info.SectorsPerCluster, spc[k]) << "partition " << k;
    ++k;
  }
  disk->Release();
}

// A partition that the system lists stays listed when its first sector cannot be read: on
// a failing disk that is the partition a raw scan is wanted for, and the rest of it reads.
TEST(PartitionTables, ListedPartitionWithAnUnreadableFirstSectorIsKept) {
  std::string img = testutil::Fixture("tables_mbr.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<Expected> parts = SfdiskPartitions(ReadText(testutil::Fixture("tables_mbr.json")));
  ASSERT_EQ(parts.size(), 4u);
  const Expected ntfs = parts[1];
  ASSERT_EQ(ntfs.type, 0x07u);
  testutil::EioView view(img, {{uint64_t(ntfs.start), uint64_t(ntfs.start)}});
  if (view.path().empty()) GTEST_SKIP() << view.why();
  ScopedEnv disks("KESTRUM_DISKS", view.path());
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  std::vector<CVolume*> listed;
  for (CVolume* v : disk->GetVolumes())
    if (Info(v).PartitionNumber > 0) listed.push_back(v);
  ASSERT_EQ(listed.size(), 4u);
  const uint32_t fsType[] = {0x0B, PT_UNDETECTED, 0x06, 0xB0};
  for (size_t i = 0; i < 4; ++i) {
    PartitionInfo info = Info(listed[i]);
    EXPECT_EQ(info.StartSector, parts[i].start) << i;
    EXPECT_EQ(info.SectorCount, parts[i].count) << i;
    EXPECT_EQ(info.PartitionType, fsType[i]) << i;
  }
  std::vector<uint8_t> sector(512);
  EXPECT_NE(listed[1]->ReadSectors(0, sector.data(), 1), 1);
  ASSERT_EQ(listed[1]->ReadSectors(1, sector.data(), 1), 1);
  EXPECT_EQ(sector, testutil::ReadRange(img, uint64_t(ntfs.start + 1) * 512, 512));
  disk->Release();
}

TEST(PartitionTables, GptMatchesSgdisk) {
  std::string img = testutil::Fixture("tables_gpt.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  auto parts = SgdiskPartitions(ReadText(testutil::Fixture("tables_gpt.txt")));
  ASSERT_EQ(parts.size(), 4u);
  ScopedEnv disks("KESTRUM_DISKS", img);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  EXPECT_EQ(disk->GetScheme(), 2);
  std::vector<Expected> listed;
  for (auto& p : parts)
    if (p.second != "AB00") listed.push_back(p.first);  // Apple Boot is never listed
  std::vector<Expected> want = WithGaps(listed, disk->TotalSectors(), kCylinder);
  auto& vols = disk->GetVolumes();
  ASSERT_EQ(vols.size(), want.size());
  int number = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    PartitionInfo info = Info(vols[i]);
    EXPECT_EQ(info.StartSector, want[i].start) << i;
    EXPECT_EQ(info.SectorCount, want[i].count) << i;
    if (want[i].type == 0xDB) {
      EXPECT_EQ(info.PartitionNumber, -1);
      continue;
    }
    ++number;
    EXPECT_EQ(info.PartitionNumber, number);
    const std::string& code = parts[size_t(number - 1)].second;
    EXPECT_EQ(info.IsEfiSystemPartition, code == "EF00" ? 1 : 0);
    if (code == "EF00") {
      EXPECT_EQ(info.PartitionType, 0x06u);
      EXPECT_EQ(info.SectorsPerCluster, 2u);
    } else if (code == "0700") {
      EXPECT_EQ(info.PartitionType, 0xB0u);
      EXPECT_EQ(info.SectorsPerCluster, 128u);  // -c 64K
    } else if (code == "AF05") {
      EXPECT_EQ(info.PartitionType, 0xF1u);
    }
  }
  disk->Release();
}

TEST(PartitionTables, GptOn4096ByteSectors) {
  std::string img = testutil::Fixture("tables_gpt4k.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::string listing = ReadText(testutil::Fixture("tables_gpt4k.txt"));
  std::regex line("img(\\d)\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)");
  std::vector<Expected> want;
  for (std::sregex_iterator it(listing.begin(), listing.end(), line), end; it != end; ++it)
    want.push_back({std::stoll((*it)[2].str()), std::stoll((*it)[4].str()), 0});
  ASSERT_EQ(want.size(), 2u);
  ScopedEnv disks("KESTRUM_DISKS", img);
  ScopedEnv ss("KESTRUM_SECTOR_SIZE", "4096");
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  EXPECT_EQ(disk->GetSectorSize(), 4096u);
  EXPECT_EQ(disk->GetScheme(), 2);
  auto& vols = disk->GetVolumes();
  ASSERT_EQ(vols.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    PartitionInfo info = Info(vols[i]);
    EXPECT_EQ(info.StartSector, want[i].start);
    EXPECT_EQ(info.SectorCount, want[i].count);
    EXPECT_EQ(info.SectorSize, 4096u);
  }
  EXPECT_EQ(Info(vols[0]).IsEfiSystemPartition, 1);
  disk->Release();
}

// ---------------------------------------------------------------------------------------
// Hostile tables

class HostileTables : public ::testing::Test {
 protected:
  static const size_t kSectors = 16384;  // 8 MiB
  std::vector<uint8_t> img = std::vector<uint8_t>(kSectors * 512, 0);
  TempDir dir;
  std::string path = dir.file("hostile.img");

  // Opens the image through both table sources and returns the disk's own reading.
  std::vector<PartitionInfo> Read(int* ownResult) {
    testutil::WriteFile(path, img);
    ScopedEnv disks("KESTRUM_DISKS", path);
    QueryDiskDrives();
    std::vector<PartitionInfo> out;
    WithinSeconds(300, [&] {
      CDisk* disk = new CDisk();
      EXPECT_EQ(disk->OpenByIndex(0), 0);
      *ownResult = disk->ReadPartitionTables();
      for (CVolume* v : disk->GetVolumes()) out.push_back(Info(v));
      disk->Release();
    });
    return out;
  }
};

TEST_F(HostileTables, SelfLinkedAndCyclicExtendedChainsEnd) {
  PutEntry(img, 0, 0, 0x05, 2048, 8192);
  PutEntry(img, 2048 * 512, 0, 0x06, 63, 100);
  PutEntry(img, 2048 * 512, 1, 0x05, 0, 1000);  // links to itself
  int r = 0;
  auto vols = Read(&r);
  int logical = 0;
  for (auto& v : vols)
    if (v.PartitionNumber > 0) ++logical;
  EXPECT_EQ(logical, 1);

  // Two records linking to each other.
  PutEntry(img, 2048 * 512, 1, 0x05, 1024, 1000);
  PutEntry(img, 3072 * 512, 0, 0x06, 63, 100);
  PutEntry(img, 3072 * 512, 1, 0x05, 0, 1000);
  vols = Read(&r);
  logical = 0;
  for (auto& v : vols)
    if (v.PartitionNumber > 0) ++logical;
  EXPECT_EQ(logical, 2);
}

TEST_F(HostileTables, LongChainIsCapped) {
  PutEntry(img, 0, 0, 0x05, 64, 16000);
  for (uint32_t i = 0; i < 200; ++i) {
    size_t at = size_t(64 + 8 * i) * 512;
    PutEntry(img, at, 0, 0x06, 2, 4);
    PutEntry(img, at, 1, 0x05, 8 * (i + 1), 8);
  }
  int r = 0;
  auto vols = Read(&r);
  int logical = 0;
  for (auto& v : vols)
    if (v.PartitionNumber > 0) ++logical;
  EXPECT_LE(logical, CDpt::kMaxBootRecords);
  EXPECT_GT(logical, 0);
}

// A partial image: an entry that starts on the disk but ends past it is listed cut back to
// the disk's end and marked; one that starts past the end is not listed. Both table
// sources (the system's list and the disk's own reading) agree.
TEST_F(HostileTables, PartitionsPastTheDiskEndAreClippedOrDropped) {
  PutEntry(img, 0, 0, 0x07, 2048, 4096);
  PutEntry(img, 0, 1, 0x05, 6144, 0xFFFFFF00u);   // extended, far past the end
  PutEntry(img, 0, 2, 0x07, 0xFFFFFFF0u, 0x100);  // start past the end
  PutEntry(img, 0, 3, 0x07, 12288, uint32_t(kSectors - 12288 + 1));  // one sector too long
  PutEntry(img, 6144 * 512, 0, 0x0B, 63, 0xFFFFFFFFu);  // logical, past the end
  PutEntry(img, 6144 * 512, 1, 0x05, 0x7FFFFFFF, 100);  // next record past the disk's end
  testutil::WriteFile(path, img);
  ScopedEnv disks("KESTRUM_DISKS", path);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      ASSERT_GT(disk->ReadPartitionTables(), 0);
    }
    std::map<int64_t, PartitionInfo> listed;
    for (CVolume* v : disk->GetVolumes()) {
      PartitionInfo info = Info(v);
      EXPECT_LE(info.StartSector + info.SectorCount, int64_t(kSectors));
      if (info.PartitionNumber > 0) listed[info.StartSector] = info;
      // A read of the last sector goes to the disk's last sector, not past it.
      std::vector<uint8_t> buf(1024);
      EXPECT_EQ(v->ReadSectors(info.SectorCount - 1, buf.data(), 2), 1) << pass;
      EXPECT_EQ(v->WriteSectors(info.SectorCount, buf.data(), 1), -1) << pass;
    }
    ASSERT_EQ(listed.size(), 3u) << pass;
    EXPECT_EQ(listed[2048].SectorCount, 4096);
    EXPECT_EQ(listed[2048].Flags, 0);
    EXPECT_EQ(listed[6207].SectorCount, int64_t(kSectors) - 6207);
    EXPECT_EQ(listed[6207].Flags, PF_CLIPPED);
    EXPECT_EQ(listed[12288].SectorCount, int64_t(kSectors) - 12288);
    EXPECT_EQ(listed[12288].Flags, PF_CLIPPED);
  }
  disk->Release();
}

TEST_F(HostileTables, HugeGptEntryCountsAreRefused) {
  // Protective MBR, then a header whose count x size wraps in 32 bits.
  PutEntry(img, 0, 0, 0xEE, 1, uint32_t(kSectors - 1));
  uint8_t* h = &img[512];
  memcpy(h, "EFI PART", 8);
  kbytes::PutLe64(h + 72, 2);
  for (uint32_t count : {0x02000001u, 0xFFFFFFFFu}) {
    kbytes::PutLe32(h + 80, count);
    kbytes::PutLe32(h + 84, 128);
    int r = 0;
    auto vols = Read(&r);
    EXPECT_LT(r, 0);
  }
  // A sane header with entries past the disk end and one inside: those that start on the
  // disk are cut back to its end and marked, whatever their last sector says.
  kbytes::PutLe32(h + 80, 128);
  uint8_t* e = &img[1024];
  memset(e, 0x11, 16);
  kbytes::PutLe64(e + 32, 2048);
  kbytes::PutLe64(e + 40, kSectors);  // last sector one past the end
  e += 128;
  memset(e, 0x22, 16);
  kbytes::PutLe64(e + 32, 4096);
  kbytes::PutLe64(e + 40, 8191);
  e += 128;
  memset(e, 0x33, 16);
  kbytes::PutLe64(e + 32, 0);
  kbytes::PutLe64(e + 40, ~0ull);  // a count that does not fit 64 bits
  e += 128;
  memset(e, 0x44, 16);
  kbytes::PutLe64(e + 32, kSectors);  // starts past the end
  kbytes::PutLe64(e + 40, kSectors + 100);
  int r = 0;
  auto vols = Read(&r);
  ASSERT_GT(r, 0);
  std::map<int64_t, PartitionInfo> listed;
  for (auto& v : vols)
    if (v.PartitionNumber > 0) listed[v.StartSector] = v;
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[4096].SectorCount, 4096);
  EXPECT_EQ(listed[4096].Flags, 0);
  EXPECT_EQ(listed[2048].SectorCount, int64_t(kSectors) - 2048);
  EXPECT_EQ(listed[2048].Flags, PF_CLIPPED);
  EXPECT_EQ(listed[0].SectorCount, int64_t(kSectors));
  EXPECT_EQ(listed[0].Flags, PF_CLIPPED);
}

// ---------------------------------------------------------------------------------------
// Rules the system's list and the disk's own reading share, over tool-made tables patched

// The partition sectors of a tool-made image, copied at their own sectors into a sparse image
// of the same size so that single fields can be patched; the rest of the disk reads as zeros.
class PatchedTables : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("patched.img");
  uint64_t bytes = 0;
  std::map<uint64_t, std::vector<uint8_t>> sectors;  // by LBA, 512 bytes each

  // False (and the test skipped) when the fixture is missing.
  bool Load(const char* fixture, std::vector<uint64_t> lbas) {
    std::string img = testutil::Fixture(fixture);
    if (img.empty()) return false;
    bytes = std::filesystem::file_size(img);
    for (uint64_t lba : lbas) {
      sectors[lba] = testutil::ReadRange(img, lba * 512, 512);
      EXPECT_EQ(sectors[lba].size(), 512u) << lba;
    }
    return true;
  }
  uint8_t* Entry(uint64_t lba, int slot) { return &sectors.at(lba)[446 + 16 * size_t(slot)]; }
  void SetEntry(uint64_t lba, int slot, uint8_t type, uint32_t start, uint32_t count) {
    std::vector<uint8_t>& s = sectors[lba];
    s.resize(512);
    uint8_t* e = &s[446 + 16 * size_t(slot)];
    memset(e, 0, 16);
    e[4] = type;
    kbytes::PutLe32(e + 8, start);
    kbytes::PutLe32(e + 12, count);
    s[510] = 0x55;
    s[511] = 0xAA;
  }

  // What each source lists: the system's layout (false when it refuses the table) and the
  // disk's own reading (its result), data partitions only, as start, count and type.
  struct Listing {
    bool osListed = false;
    std::vector<Expected> os;
    int ownResult = 0;
    std::vector<Expected> own;
    std::vector<PartitionInfo> afterOpen;  // what OpenByIndex settled on
  };
  Listing Read() {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      for (auto& s : sectors) {
        out.seekp(std::streamoff(s.first * 512));
        out.write(reinterpret_cast<const char*>(s.second.data()), 512);
      }
    }
    std::filesystem::resize_file(path, bytes);
    ScopedEnv disks("KESTRUM_DISKS", path);
    QueryDiskDrives();
    Listing l;
    IDeviceIo* io = CreateDeviceIo();
    EXPECT_EQ(io->Open(path.c_str(), KIO_RDONLY, 0), 0);
    std::vector<LayoutEntry> layout;
    l.osListed = io->Query(DIQ_LAYOUT, &layout) == 0;
    for (const LayoutEntry& e : layout) l.os.push_back({e.startByte / 512, e.lengthByte / 512, e.type});
    io->Release();
    CDisk* disk = new CDisk();
    EXPECT_EQ(disk->OpenByIndex(0), 0);
    for (CVolume* v : disk->GetVolumes()) l.afterOpen.push_back(Info(v));
    l.ownResult = disk->ReadPartitionTables();
    if (l.ownResult > 0)
      for (CVolume* v : disk->GetVolumes()) {
        PartitionInfo info = Info(v);
        if (info.PartitionNumber > 0) l.own.push_back({info.StartSector, info.SectorCount, info.PartitionType});
      }
    disk->Release();
    return l;
  }
};

namespace {

bool operator==(const Expected& a, const Expected& b) {
  return a.start == b.start && a.count == b.count && a.type == b.type;
}
std::ostream& operator<<(std::ostream& o, const Expected& e) {
  return o << "{" << e.start << ", " << e.count << ", 0x" << std::hex << e.type << std::dec << "}";
}

// tables_mbr.img as sfdisk wrote it: FAT32 (0x0C), NTFS, an extended partition at 741376
// whose first EBR holds FAT16 and links to a second EBR holding exFAT.
const uint64_t kExtBase = 741376, kEbr2 = 808960;
const Expected kFat32{20480, 614400, 0x0C}, kNtfs{675840, 65536, 0x07};
const Expected kFat16{743424, 65536, 0x06}, kExfat{811008, 65536, 0x07};
// The disk stores 0x0C as 0x0B; the system's list keeps the table's byte.
std::vector<Expected> AsStored(std::vector<Expected> v) {
  for (Expected& e : v)
    if (e.type == 0x0C) e.type = 0x0B;
  return v;
}

}  // namespace

class PatchedMbr : public PatchedTables {
 protected:
  void SetUp() override {
    if (!Load("tables_mbr.img", {0, kExtBase, kEbr2})) GTEST_SKIP() << "fixture missing";
    // The fixture is what the constants above say.
    ASSERT_EQ(Entry(0, 2)[4], 0x05);
    ASSERT_EQ(kbytes::Le32(Entry(0, 2) + 8), kExtBase);
    ASSERT_EQ(kExtBase + kbytes::Le32(Entry(kExtBase, 1) + 8), kEbr2);
  }
  void ExpectBoth(const std::vector<Expected>& want) {
    Listing l = Read();
    ASSERT_TRUE(l.osListed);
    EXPECT_EQ(l.os, want);
    ASSERT_GT(l.ownResult, 0);
    EXPECT_EQ(l.own, AsStored(want));
  }
};

TEST_F(PatchedMbr, UnpatchedBothSourcesListTheFourPartitions) {
  ExpectBoth({kFat32, kNtfs, kFat16, kExfat});
}

// An EBR holds one logical partition and one link: entries in its third and fourth slots are
// not partitions (the disk's reader used to list them, the system's list did not).
TEST_F(PatchedMbr, EbrHoldsOneLogicalAndOneLink) {
  SetEntry(kExtBase, 2, 0x07, 900000 - kExtBase, 4096);
  SetEntry(kExtBase, 3, 0x0B, 910000 - kExtBase, 4096);
  ExpectBoth({kFat32, kNtfs, kFat16, kExfat});
}

// Linux's extended type 0x85 opens and continues the chain like 0x05 (the disk's reader
// used to list it as a data partition and read no logicals); an extended entry of no
// sectors is empty and opens none.
TEST_F(PatchedMbr, LinuxExtendedTypeOpensTheChainAndAnEmptyOneNone) {
  Entry(0, 2)[4] = 0x85;
  Entry(kExtBase, 1)[4] = 0x85;
  ExpectBoth({kFat32, kNtfs, kFat16, kExfat});
  Entry(0, 2)[4] = 0x05;
  Entry(kExtBase, 1)[4] = 0x05;
  kbytes::PutLe32(Entry(0, 2) + 12, 0);
  ExpectBoth({kFat32, kNtfs});
}

// Two links in one EBR: the first is followed, as in the MBR, where both readers always took
// the first extended entry (the system's list used to follow the last one).
TEST_F(PatchedMbr, FirstExtendedLinkOfAnEbrWins) {
  memcpy(Entry(kExtBase, 0), Entry(kExtBase, 1), 16);  // slot 0 now links to the second EBR
  SetEntry(kExtBase, 1, 0x05, 200000, 8192);            // slot 1 to a third one
  SetEntry(kExtBase + 200000, 0, 0x0B, 63, 4096);
  ExpectBoth({kFat32, kNtfs, kExfat});
}

// A status byte other than 0x00 and 0x80 ends the entries of its sector, in the MBR and in
// an EBR alike; those before it stand (the system's list used to refuse the whole MBR and to
// ignore the byte in EBRs).
TEST_F(PatchedMbr, BadStatusByteEndsTheEntriesOfItsSector) {
  Entry(0, 1)[0] = 0x01;
  ExpectBoth({kFat32});
  Entry(0, 1)[0] = 0x00;
  Entry(kExtBase, 0)[0] = 0x7F;
  ExpectBoth({kFat32, kNtfs});
  Entry(kExtBase, 0)[0] = 0x80;
  Entry(kExtBase, 1)[0] = 0x01;
  ExpectBoth({kFat32, kNtfs, {kFat16.start, kFat16.count, kFat16.type}});
}

// tables_gpt.img as sgdisk wrote it: a protective MBR, the header at 1 and 128 entries of
// 128 bytes from sector 2: EFI system, basic data, Core Storage, Apple Boot.
class PatchedGpt : public PatchedTables {
 protected:
  void SetUp() override {
    std::vector<uint64_t> lbas;
    for (uint64_t i = 0; i < 34; ++i) lbas.push_back(i);
    if (!Load("tables_gpt.img", lbas)) GTEST_SKIP() << "fixture missing";
    ASSERT_EQ(Entry(0, 0)[4], 0xEE);
    ASSERT_EQ(kbytes::Le64(&sectors[1][72]), 2u);
  }
  uint8_t* GptEntry(int i) { return &sectors[2 + uint64_t(i) / 4][128 * size_t(i % 4)]; }
};

// A protective entry is never a data partition: a disk whose GPT header is damaged does not
// list the 0xEE entry (the disk's reader used to list it from sector 1 to the end), and lists
// a hybrid MBR's other entries. The system's list leaves such a disk to the disk's reading,
// which reads the GPT when its header is there.
TEST_F(PatchedGpt, ProtectiveEntryIsNeverAVolume) {
  const uint64_t total = bytes / 512;
  sectors[1][7] = 'X';  // "EFI PARX"
  Listing l = Read();
  EXPECT_FALSE(l.osListed);
  EXPECT_LT(l.ownResult, 0);
  ASSERT_EQ(l.afterOpen.size(), 1u);  // the whole disk, as for a blank one
  EXPECT_EQ(l.afterOpen[0].StartSector, 0);
  EXPECT_EQ(l.afterOpen[0].SectorCount, int64_t(total));
  EXPECT_EQ(l.afterOpen[0].PartitionType, 0xDBu);

  const uint8_t* basic = GptEntry(1);
  uint32_t first = uint32_t(kbytes::Le64(basic + 32)), last = uint32_t(kbytes::Le64(basic + 40));
  SetEntry(0, 1, 0x07, first, last - first + 1);
  l = Read();
  EXPECT_FALSE(l.osListed);
  EXPECT_EQ(l.own, (std::vector<Expected>{{first, last - first + 1, 0x07}}));

  sectors[1][7] = 'T';
  l = Read();
  EXPECT_FALSE(l.osListed);
  ASSERT_EQ(l.ownResult, int(l.afterOpen.size()));
  EXPECT_EQ(l.own.size(), 3u);  // from the GPT: EFI, basic data, Core Storage
}

// The last sector of an entry is inclusive: first == last is a partition of one sector,
// listed (the reader used to drop it); last below first is no partition.
TEST_F(PatchedGpt, OneSectorPartitionIsListed) {
  uint8_t* core = GptEntry(2);
  const uint64_t first = kbytes::Le64(core + 32);
  kbytes::PutLe64(core + 40, first);
  Listing l = Read();
  ASSERT_EQ(l.own.size(), 3u);
  EXPECT_EQ(l.own[2], (Expected{int64_t(first), 1, 0xF1}));
  kbytes::PutLe64(core + 40, first - 1);
  l = Read();
  ASSERT_EQ(l.own.size(), 2u);
  EXPECT_NE(l.own[1].start, int64_t(first));
}

// An entry is 128 x 2^n bytes: a header naming 136 (a multiple of 8, which the reader used to
// take, reading entries at the wrong stride) is refused; 256 is taken.
TEST_F(PatchedGpt, EntrySizeIs128TimesAPowerOfTwo) {
  kbytes::PutLe32(&sectors[1][84], 136);
  kbytes::PutLe32(&sectors[1][80], 120);
  Listing l = Read();
  EXPECT_LT(l.ownResult, 0);
  ASSERT_EQ(l.afterOpen.size(), 1u);
  EXPECT_EQ(l.afterOpen[0].PartitionType, 0xDBu);
  // At 256 bytes the entries are the original 0 and 2, 4, ...: EFI system and Core Storage.
  kbytes::PutLe32(&sectors[1][84], 256);
  kbytes::PutLe32(&sectors[1][80], 64);
  l = Read();
  ASSERT_EQ(l.own.size(), 2u);
  EXPECT_EQ(l.own[0].start, int64_t(kbytes::Le64(GptEntry(0) + 32)));
  EXPECT_EQ(l.own[1].type, 0xF1u);
}

// A bare volume (no partition table) whose boot sector is destroyed is listed as one
// partition of type "unknown": the scans that trust a boot sector would fail on it. Its
// cluster size, which a compressed NTFS file is read by, comes from the backup boot sector
// that the formatter left (NTFS in the volume's last sector, FAT32 at 6, exFAT at 12), once
// the volume's own structures confirm the copy. Without the copy, or with a lone copy that
// no structures bear out, the default of 8 sectors stays.
TEST(PartitionTables, BareVolumeWithoutBootSectorTakesTheClusterSizeOfItsBackup) {
  struct Case {
    const char* image;
    int64_t backup;  // sector of the copy; -1 for the last
  } cases[] = {{"ntfs.img", -1}, {"fat32.img", 6}, {"exfat32k.img", 12}};
  TempDir dir;
  const std::string path = dir.file("bare.img");
  // The record of the one partition of the image at path.
  auto record = [&](PartitionInfo* info) {
    testutil::ImageDisk d(path);
    CVolume* v = d.Partition(0);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->GetPartitionInfo(info), 0);
  };
  int ran = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) continue;
    ++ran;
    std::vector<uint8_t> bytes = testutil::ReadFile(img);
    ASSERT_GE(bytes.size(), 64u * 512);
    const size_t backup = c.backup < 0 ? bytes.size() / 512 - 1 : size_t(c.backup);
    PartitionInfo intact, noBoot, none, lone;
    testutil::WriteFile(path, bytes);
    record(&intact);
    ASSERT_NE(intact.PartitionType, uint32_t(PT_UNALLOCATED));
    ASSERT_NE(intact.SectorsPerCluster, 8u) << "the fixture's clusters are the default's";

    std::memset(bytes.data(), 0, 512);
    testutil::WriteFile(path, bytes);
    const uint64_t before = testutil::FileChecksum(path);
    record(&noBoot);
    EXPECT_EQ(noBoot.PartitionType, uint32_t(PT_UNALLOCATED));
    EXPECT_EQ(noBoot.SectorsPerCluster, intact.SectorsPerCluster);
    EXPECT_EQ(before, testutil::FileChecksum(path)) << "the image was written to";

    std::vector<uint8_t> copy(bytes.begin() + long(backup * 512), bytes.begin() + long(backup * 512 + 512));
    std::memset(bytes.data() + backup * 512, 0, 512);
    testutil::WriteFile(path, bytes);
    record(&none);
    EXPECT_EQ(none.PartitionType, uint32_t(PT_UNALLOCATED));
    EXPECT_EQ(none.SectorsPerCluster, 8u);

    std::fill(bytes.begin(), bytes.end(), 0);
    std::copy(copy.begin(), copy.end(), bytes.begin() + long(backup * 512));
    testutil::WriteFile(path, bytes);
    record(&lone);
    EXPECT_EQ(lone.SectorsPerCluster, 8u);
  }
  if (!ran) GTEST_SKIP() << "no volume fixtures";
}

// A partition record read from a saved result is untrusted: a length whose byte size does
// not fit 64 bits is refused before any offset is computed from it.
TEST(PartitionTables, LoadedPartitionWithOverflowingLengthIsRefused) {
  testutil::TempDir dir;
  std::string img = dir.file("disk.img");
  testutil::WriteFile(img, std::vector<uint8_t>(1 << 20, 0));
  ScopedEnv disks("KESTRUM_DISKS", img);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  uint64_t before = testutil::FileChecksum(img);

  auto archiveOf = [](int64_t start, int64_t count) {
    PartitionInfo info;
    std::memset(&info, 0, sizeof info);
    info.StartSector = start;
    info.SectorCount = count;
    info.PartitionNumber = 1;
    info.PartitionType = PT_UNDETECTED;
    testutil::MemArchive a;
    uint32_t version = 3, size = sizeof(PartitionInfo);
    a.Write(&version, 4);
    a.Write(&size, 4);
    a.Write(&info, sizeof info);
    return a;
  };
  // The last three start at or past the end of the 2048-sector disk, which the tables
  // refuse too.
  const int64_t hostile[][2] = {{0, INT64_MAX / 2}, {INT64_MAX / 4, 16}, {0, -5}, {-1, 16},
                                {2048, 0}, {2049, 0}, {4096, 16}};
  for (const auto& h : hostile) {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(h[0], h[1]);
    EXPECT_EQ(v.Load(&a), -1) << h[0] << " " << h[1];
  }
  // One that starts on the disk and ends past it (the image was cut shorter since it was
  // saved) is cut back to the disk's end and marked, as the tables do.
  for (const auto& h : {std::make_pair(int64_t(0), int64_t(2049)), std::make_pair(int64_t(2047), int64_t(2))}) {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(h.first, h.second);
    ASSERT_EQ(v.Load(&a), 0) << h.first;
    PartitionInfo info;
    v.GetPartitionInfo(&info);
    EXPECT_EQ(info.StartSector + info.SectorCount, 2048);
    EXPECT_EQ(info.Flags, PF_CLIPPED);
  }
  {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(0, 2048);
    EXPECT_EQ(v.Load(&a), 0);
    uint64_t size = 0;
    v.GetSize(&size);
    EXPECT_EQ(size, 2048u * 512u);
  }
  disk->Release();
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

// ---------------------------------------------------------------------------------------
// Boot-sector tests over patched sectors

namespace {

std::vector<uint8_t> Fat16Boot() {
  std::vector<uint8_t> s(512, 0);
  kbytes::PutLe16(&s[11], 512);
  s[13] = 4;
  kbytes::PutLe16(&s[14], 4);
  s[16] = 2;
  kbytes::PutLe16(&s[17], 512);
  kbytes::PutLe16(&s[22], 64);
  kbytes::PutLe32(&s[32], 65536);
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

// A device over memory, enough for the tests that read further sectors.
class MemDevice : public IDevice {
 public:
  explicit MemDevice(std::vector<uint8_t> d, uint32_t ss = 512) : data(std::move(d)), ss(ss) {}
  int GetType() override { return DT_FIXED_DISK; }
  const char* GetName() override { return "mem"; }
  int GetSize(uint64_t* s) override { *s = data.size(); return 0; }
  int GetPartitionInfo(PartitionInfo*) override { return -1; }
  int GetGeometry(DiskGeometry* g) override {
    memset(g, 0, sizeof *g);
    g->BytesPerSector = ss;
    g->DiskSize = int64_t(data.size());
    return 0;
  }
  int Read(void*, uint32_t) override { return -1; }
  int Write(const void*, uint32_t) override { return -1; }
  void Release() override {}
  int64_t Seek(int64_t, int) override { return -1; }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    uint64_t off = uint64_t(first) * ss, len = uint64_t(count) * ss;
    if (first < 0 || !kbytes::RangeInside(off, len, data.size())) return -1;
    memcpy(buf, &data[off], len);
    return int(count);
  }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int Close() override { return 0; }
  IDeviceIo* GetIo() override { return nullptr; }
  int Save(IArchive*) override { return -1; }
  int Load(IArchive*) override { return -1; }
  int Open() override { return 0; }
  std::vector<uint8_t> data;
  uint32_t ss;
};

}  // namespace

TEST(BootSector, FieldsThatLaterCodeDividesByAreValidated) {
  std::vector<uint8_t> s = Fat16Boot();
  EXPECT_TRUE(CheckBootSector(s.data(), 512));
  for (uint16_t bps : {0, 511, 768, 8192}) {
    auto t = s;
    kbytes::PutLe16(&t[11], bps);
    EXPECT_FALSE(CheckBootSector(t.data(), 512)) << bps;
    EXPECT_EQ(FatKindByClusters(t.data()), 0) << bps;
  }
  for (uint8_t spc : {0, 3, 255}) {
    auto t = s;
    t[13] = spc;
    EXPECT_FALSE(CheckBootSector(t.data(), 512)) << int(spc);
    EXPECT_EQ(FatKindByClusters(t.data()), 0);
  }
  auto t = s;
  t[511] = 0;
  EXPECT_FALSE(CheckBootSector(t.data(), 512));
  // Metadata larger than the volume: no cluster count to speak of.
  t = s;
  kbytes::PutLe32(&t[32], 100);
  EXPECT_EQ(FatKindByClusters(t.data()), 0);
}

TEST(BootSector, FatKindFollowsTheClusterCountBoundaries) {
  std::vector<uint8_t> s = Fat16Boot();
  s[13] = 1;
  // overhead = 4 reserved + 2 x 64 FAT + 32 root = 164 sectors
  struct { uint32_t clusters; int kind; } cases[] = {{4084, 1}, {4085, 6}, {65524, 6}, {65525, 11}};
  for (auto c : cases) {
    kbytes::PutLe16(&s[19], 0);
    kbytes::PutLe32(&s[32], 164 + c.clusters);
    EXPECT_EQ(FatKindByClusters(s.data()), c.kind) << c.clusters;
  }
  MemDevice dev(std::vector<uint8_t>(1 << 20));
  kbytes::PutLe32(&s[32], 164 + 20000);
  EXPECT_TRUE(IsFat16BootSector(s.data(), &dev, 0));
  EXPECT_FALSE(IsFat12BootSector(s.data(), &dev, 0));
  EXPECT_FALSE(IsFat32BootSector(s.data(), &dev, 0));
  s[16] = 3;
  EXPECT_FALSE(IsFat16BootSector(s.data(), &dev, 0));
}

TEST(BootSector, ExfatShiftsAndHfsBlockSizesMustBeSane) {
  std::vector<uint8_t> s(512, 0);
  memcpy(&s[3], "EXFAT   ", 8);
  s[108] = 9;
  s[109] = 6;
  s[510] = 0x55;
  s[511] = 0xAA;
  EXPECT_TRUE(IsExfatBootSector(s.data()));
  EXPECT_EQ(ExfatSectorsPerCluster(s.data()), 64u);
  s[109] = 40;  // 1 << 40 would overflow the cluster size
  EXPECT_FALSE(IsExfatBootSector(s.data()));
  s[109] = 6;
  s[108] = 3;
  EXPECT_FALSE(IsExfatBootSector(s.data()));
  s[108] = 9;
  s[20] = 1;  // the old BPB area must be zero
  EXPECT_FALSE(IsExfatBootSector(s.data()));

  std::vector<uint8_t> vol(8192, 0);
  vol[1024] = 'H';
  vol[1025] = '+';
  kbytes::PutBe32(&vol[1024 + 40], 4096);
  MemDevice dev(vol);
  EXPECT_TRUE(IsHfsPlusVolume(&dev));
  EXPECT_FALSE(IsHfsxVolume(&dev));
  EXPECT_EQ(ReadHfsBlockSize(&dev), 4096u);
  kbytes::PutBe32(&dev.data[1024 + 40], 3000);
  EXPECT_EQ(ReadHfsBlockSize(&dev), 0u);
  kbytes::PutBe32(&dev.data[1024 + 40], 0);
  EXPECT_EQ(ReadHfsBlockSize(&dev), 0u);
  // An HFS wrapper keeps its block size at 20.
  dev.data[1024] = 'B';
  dev.data[1025] = 'D';
  kbytes::PutBe32(&dev.data[1024 + 20], 2048);
  EXPECT_TRUE(IsHfsWrapperVolume(&dev));
  EXPECT_EQ(ReadHfsBlockSize(&dev), 2048u);
  // A header sector that carries a boot signature is not HFS.
  dev.data[1024 + 510] = 0x55;
  dev.data[1024 + 511] = 0xAA;
  EXPECT_FALSE(IsHfsWrapperVolume(&dev));
  MemDevice tiny(std::vector<uint8_t>(512));
  EXPECT_EQ(ReadHfsBlockSize(&tiny), 4u);
}

// The serial a mounted volume reports, against blkid's reading of the same boot sectors;
// a sector too short to hold the field gives none rather than a read past it.
TEST(BootSector, VolumeSerialMatchesBlkid) {
  if (std::system("command -v blkid >/dev/null 2>&1") != 0) GTEST_SKIP() << "no blkid";
  struct Case {
    const char* image;
    uint32_t type;
  };
  int checked = 0;
  for (const Case& c : {Case{"fat16.img", PT_FAT16}, Case{"fat32.img", PT_FAT32}, Case{"exfat.img", PT_EXFAT},
                        Case{"ntfs.img", PT_NTFS}}) {
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) continue;
    FILE* p = popen(("blkid -p -o value -s UUID '" + img + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[64] = {0};
    bool got = fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    ASSERT_TRUE(got) << c.image;
    // "6916-EF80" for FAT and exFAT, 16 digits for NTFS, whose low half is reported.
    std::string uuid;
    for (const char* q = line; *q && *q != '\n'; ++q)
      if (*q != '-') uuid += char(tolower((unsigned char)*q));
    if (uuid.size() > 8) uuid = uuid.substr(uuid.size() - 8);
    while (uuid.size() > 1 && uuid[0] == '0') uuid.erase(0, 1);
    std::vector<uint8_t> sector = testutil::ReadFile(img);
    ASSERT_GE(sector.size(), 512u);
    sector.resize(512);
    char text[264];
    VolumeSerialText(sector.data(), sector.size(), c.type, text, sizeof text);
    EXPECT_EQ(std::string(text), uuid) << c.image;
    VolumeSerialText(sector.data(), 100, c.type, text, sizeof text);
    EXPECT_STREQ(text, "0") << c.image;
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "fixtures missing";
}

// ---------------------------------------------------------------------------------------
// Partitions and the facade over a small two-partition image

class TwoPartitions : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("two.img");
  std::vector<uint8_t> img;
  void SetUp() override {
    img = testutil::RandomBytes(8192 * 512, 7);
    memset(img.data(), 0, 512);
    PutEntry(img, 0, 0, 0x83, 2048, 2048);
    PutEntry(img, 0, 1, 0x83, 4096, 2048);
    testutil::WriteFile(path, img);
  }
};

TEST_F(TwoPartitions, SeeksAreRelativeAndWritesStayInside) {
  ScopedEnv disks("KESTRUM_DISKS", path);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  ASSERT_GE(disk->GetVolumes().size(), 2u);
  CVolume* p1 = disk->GetVolumes()[0];
  const int64_t len = 2048 * 512;
  EXPECT_EQ(p1->Seek(len + 1, 0), -1);
  EXPECT_EQ(p1->Seek(len - 1, 0), len - 1);
  uint8_t b = 0;
  EXPECT_EQ(p1->Read(&b, 1), 1);
  EXPECT_EQ(b, img[2048 * 512 + size_t(len) - 1]);
  EXPECT_EQ(p1->Read(&b, 1), 0) << "a read at the end must not run into the next partition";
  EXPECT_EQ(p1->Seek(-512, 2), len - 512);
  EXPECT_EQ(p1->Seek(-1024, 1), len - 1536);
  EXPECT_EQ(p1->Seek(-len, 1), -1);

  std::vector<uint8_t> sec(512, 0xA5);
  EXPECT_EQ(p1->WriteSectors(2047, sec.data(), 1), 1);
  EXPECT_EQ(p1->WriteSectors(2048, sec.data(), 1), -1);
  EXPECT_EQ(p1->WriteSectors(2047, sec.data(), 2), -1);
  EXPECT_EQ(p1->Seek(len - 512, 0), len - 512);
  EXPECT_EQ(p1->Write(sec.data(), 1024), -1);
  std::vector<uint8_t> back(512);
  EXPECT_EQ(p1->ReadSectors(2047, back.data(), 1), 1);
  EXPECT_EQ(back, sec);
  disk->Release();
  auto after = testutil::ReadFile(path);
  EXPECT_TRUE(std::equal(after.begin() + 4096 * 512, after.end(), img.begin() + 4096 * 512))
      << "the next partition was touched";
}

TEST_F(TwoPartitions, FacadeDeviceAndCloneReadIndependently) {
  ScopedEnv disks("KESTRUM_DISKS", path);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  IStorageDevice* bad = CreateStorageDevice();
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->Attach(nullptr), -1);
  EXPECT_EQ(bad->CloneRead(nullptr, 0), -1);
  bad->Release();

  for (IDevice* dev : {static_cast<IDevice*>(disk), static_cast<IDevice*>(disk->GetVolumes()[1])}) {
    IStorageDevice* f = CreateStorageDevice();
    ASSERT_EQ(f->Attach(dev), 0);
    EXPECT_FALSE(f->IsReadOnly());
    size_t base = dev == disk ? 0 : 4096 * 512;
    std::vector<uint8_t> a(777), c(1000);
    ASSERT_EQ(f->Seek(100, 0), 100);
    ASSERT_EQ(f->CloneSeek(50000, 0), 50000);
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(f->Read(a.data(), uint32_t(a.size())), int(a.size()));
      ASSERT_EQ(f->CloneRead(c.data(), uint32_t(c.size())), int(c.size()));
      size_t da = base + 100 + size_t(i) * a.size(), dc = base + 50000 + size_t(i) * c.size();
      ASSERT_TRUE(std::equal(a.begin(), a.end(), img.begin() + long(da))) << i;
      ASSERT_TRUE(std::equal(c.begin(), c.end(), img.begin() + long(dc))) << i;
    }
    int cluster = -7, sector = 0;
    EXPECT_EQ(f->GetClusterInfo(&cluster, &sector), 0);
    EXPECT_EQ(sector, 512);
    if (dev == disk) {
      EXPECT_EQ(cluster, -7) << "a disk has no cluster size";
    }
    f->Release();
  }
  disk->Release();
}

// ---------------------------------------------------------------------------------------
// Enumeration

namespace {
size_t OpenFds() {
  size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}
}  // namespace

TEST(EnumDevices, DiskPartitionsGapThenLetterNullTerminated) {
  std::string img = testutil::Fixture("tables_enum.img");
  std::string letter = testutil::Fixture("tables_letter.img");
  if (img.empty() || letter.empty()) GTEST_SKIP() << "fixture missing";
  ScopedEnv disks("KESTRUM_DISKS", img);
  ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + letter);
  IRecoveryManagement* top = nullptr;
  ASSERT_EQ(InitKestrum(&top), 0);
  size_t fds = 0;
  for (int round = 0; round < 3; ++round) {
    IDevice* out[100];
    for (auto& p : out) p = reinterpret_cast<IDevice*>(0x1);
    int count = -1;
    ASSERT_EQ(top->EnumDevices(out, &count, 100), 0);
    ASSERT_EQ(count, 5);
    EXPECT_EQ(out[5], nullptr);
    EXPECT_EQ(out[0]->GetType(), DT_FIXED_DISK);
    PartitionInfo p1 = Info(out[1]), gap = Info(out[2]), p2 = Info(out[3]), f = Info(out[4]);
    EXPECT_EQ(p1.PartitionNumber, 1);
    EXPECT_EQ(p1.PartitionType, 0x06u);
    EXPECT_EQ(p1.SectorsPerCluster, 2u);
    EXPECT_EQ(gap.PartitionNumber, -1);
    EXPECT_EQ(gap.StartSector, 2048 + 32768);
    EXPECT_EQ(gap.SectorCount, 67584 - 2048 - 32768);
    EXPECT_EQ(Label(gap), "UnAllocated Partition");
    EXPECT_EQ(p2.PartitionNumber, 2);
    EXPECT_EQ(p2.SectorsPerCluster, 8u);
    EXPECT_EQ(out[4]->GetType(), DT_LETTER_VOLUME);
    EXPECT_STREQ(f.MountPoint, "F:\\");
    EXPECT_EQ(f.PartitionType, 0x06u);
    EXPECT_EQ(f.SectorsPerCluster, 4u);
    // Listed disks and partitions are closed and reopen on use.
    uint8_t sec[512];
    EXPECT_EQ(out[3]->ReadSectors(0, sec, 1), 1);
    EXPECT_EQ(sec[510], 0x55);
    out[3]->Close();
    // The caller owns disks and letters; partitions go with their disk.
    out[0]->Release();
    out[4]->Release();
    if (round == 0)
      fds = OpenFds();
    else
      EXPECT_EQ(OpenFds(), fds) << "round " << round;
  }
  // A short array keeps its last entry for the null.
  IDevice* small[3];
  int count = 0;
  ASSERT_EQ(top->EnumDevices(small, &count, 3), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(small[2], nullptr);
  small[0]->Release();
  EXPECT_EQ(top->SearchPartitions(nullptr, 3, nullptr), -1);
  top->Release();
}

TEST(EnumDevices, DiskCacheNamesImagesAsFixedDisks) {
  TempDir dir;
  std::string a = dir.file("a.img");
  testutil::WriteFile(a, std::vector<uint8_t>(1 << 20));
  ScopedEnv disks("KESTRUM_DISKS", a);
  ASSERT_EQ(QueryDiskDrives(), 0);
  Disk_Physical_Info info;
  ASSERT_TRUE(GetDiskPhysicalInfo(0, &info));
  char buf[600];
  EXPECT_EQ(std::string(WideToAnsi(buf, info.Model, sizeof buf)), "Image a.img");
  EXPECT_EQ(std::string(WideToAnsi(buf, info.MediaType, sizeof buf)), "Fixed hard disk media");
  EXPECT_FALSE(GetDiskPhysicalInfo(1, &info));
  EXPECT_FALSE(GetDiskPhysicalInfo(0, nullptr));
  // A blank disk is one 0xDB partition over the whole disk, named Partition1.
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  ASSERT_EQ(disk->GetVolumes().size(), 1u);
  PartitionInfo p = Info(disk->GetVolumes()[0]);
  EXPECT_EQ(p.PartitionType, 0xDBu);
  EXPECT_EQ(p.SectorCount, 2048);
  EXPECT_EQ(Label(p), "Partition1");
  EXPECT_EQ(disk->OpenByIndex(26), RC_OUT_OF_RANGE);
  disk->Release();
}

// Disk names sort in the kernel's order within a family, and the order is a strict weak
// one: the former character-wise rule ranked nvme0n10 < nvme1n1 < mmcblk10 < nvme0n10,
// which std::sort may answer by running off the array.
TEST(EnumDevices, DiskNameOrderIsNaturalAndTransitive) {
  std::vector<std::string> names = {"sdaa", "nvme0n10", "sdb", "mmcblk10", "sda", "loop10", "nvme1n1",
                                    "nvme0n2", "loop2", "sdz", "mmcblk1", "nvme0n1", "vda", "sdab"};
  for (const auto& a : names)
    for (const auto& b : names)
      for (const auto& c : names)
        if (plat::DiskNameLess(a, b) && plat::DiskNameLess(b, c)) {
          EXPECT_TRUE(plat::DiskNameLess(a, c)) << a << " < " << b << " < " << c;
        }
  std::sort(names.begin(), names.end(), plat::DiskNameLess);
  auto before = [&](const char* x, const char* y) {
    return std::find(names.begin(), names.end(), x) < std::find(names.begin(), names.end(), y);
  };
  EXPECT_TRUE(before("sda", "sdb"));
  EXPECT_TRUE(before("sdz", "sdaa"));
  EXPECT_TRUE(before("sdaa", "sdab"));
  EXPECT_TRUE(before("nvme0n2", "nvme0n10"));
  EXPECT_TRUE(before("nvme0n10", "nvme1n1"));
  EXPECT_TRUE(before("loop2", "loop10"));
  EXPECT_TRUE(before("mmcblk1", "mmcblk10"));
  EXPECT_FALSE(plat::DiskNameLess("sda", "sda"));
}

// ---------------------------------------------------------------------------------------
// Identity document and text utilities

TEST(DeviceIdentity, EveryStepIsCheckedAndCopiesAreBounded) {
  const char* doc =
      "<plist><dict><key>FireWireGUID</key><string>0011223344556677</string>"
      "<key>SerialNumber</key><string>  AB 12 CD </string>"
      "<key>VisibleBuildID</key><string>7A12</string></dict></plist>";
  char guid[CXmlAccess::kGuidBytes] = {0}, serial[264] = {0}, build[264] = {0};
  ASSERT_EQ(CXmlAccess::ParseIdentity(doc, guid, sizeof guid, serial, sizeof serial, build, sizeof build), 0);
  EXPECT_STREQ(guid, "0011223344556677");
  EXPECT_STREQ(serial, "AB12CD");
  EXPECT_STREQ(build, "7A12");

  const char* hostile[] = {
      "<plist><dict><key>SerialNumber</key><string>X</string></dict></plist>",  // no GUID key
      "<plist><dict><key>FireWireGUID</key></dict></plist>",                  // key without value
      "<plist><dict/></plist>",
      "<plist/>",
      "",
      "<plist><dict><key/><string/><key>FireWireGUID</key><string/></dict></plist>",
      "<plist><dict><key>FireWireGUID",
  };
  for (const char* h : hostile) {
    char s[264] = {0};
    EXPECT_EQ(CXmlAccess::ParseIdentity(h, nullptr, 0, s, sizeof s, nullptr, 0), -1) << h;
  }
  std::string longSerial = "<plist><dict><key>FireWireGUID</key><string>" + std::string(500, 'G') +
                           "</string><key>SerialNumber</key><string>" + std::string(1000, 'S') +
                           "</string><key>VisibleBuildID</key><string>" + std::string(700, 'B') +
                           "</string></dict></plist>";
  char g2[CXmlAccess::kGuidBytes] = {0}, s2[264] = {0}, b2[264] = {0};
  ASSERT_EQ(CXmlAccess::ParseIdentity(longSerial.c_str(), g2, sizeof g2, s2, sizeof s2, b2, sizeof b2), 0);
  EXPECT_EQ(strlen(g2), sizeof g2 - 1);
  EXPECT_EQ(strlen(s2), 263u);
  EXPECT_EQ(strlen(b2), 263u);
}

TEST(TextUtil, ConversionsNeverSplitACharacterAtTheBound) {
  const char* text = "a\xC3\xA9\xF0\x9F\x98\x80z";  // a, e-acute, U+1F600, z
  char16_t w[16];
  EXPECT_EQ(AnsiToWideLen(text, w, 16), 5);
  EXPECT_EQ(w[2], 0xD83D);
  EXPECT_EQ(w[3], 0xDE00);
  EXPECT_EQ(AnsiToWideLen(text, w, 4), 2) << "the pair does not fit in 3 units";
  EXPECT_EQ(w[2], 0);
  char a[16];
  EXPECT_EQ(WideToAnsiLen(u"a\u00e9\U0001F600z", a, 16), 8);
  EXPECT_STREQ(a, text);
  EXPECT_EQ(WideToAnsiLen(u"a\u00e9\U0001F600z", a, 6), 3) << "no half of the 4-byte sequence";
  EXPECT_STREQ(a, "a\xC3\xA9");
  EXPECT_EQ(WideToAnsiLen(u"\u00e9", a, 2), 0);
  // Broken input becomes the replacement character, never a read past the end.
  EXPECT_EQ(AnsiToWideLen("\xC3", w, 16), 1);
  EXPECT_EQ(w[0], 0xFFFD);
  EXPECT_EQ(AnsiToWideLen("\xED\xA0\x80x", w, 16), 4);  // an encoded surrogate
  const char16_t lone[] = {0xD800, u'x', 0};
  EXPECT_EQ(WideToAnsiLen(lone, a, 16), 4);
  EXPECT_STREQ(a, "\xEF\xBF\xBDx");
  // A null input leaves the output as it was.
  w[0] = u'Q';
  EXPECT_EQ(AnsiToWide(w, nullptr, 16)[0], 0);
  EXPECT_EQ(w[0], u'Q');

  char16_t out[260] = {u'K', 0};
  EXPECT_EQ(UnixToWinPath(u"a/b", out), 2);
  EXPECT_EQ(out[0], u'K');
  ASSERT_EQ(UnixToWinPath(u"/a/b", out), 0);
  EXPECT_EQ(std::u16string(out), u"a\\b");
  ASSERT_EQ(WinToUnixPath(u"a\\b", out), 0);
  EXPECT_EQ(std::u16string(out), u"/a/b");
  EXPECT_EQ(CompareInt64(5, 5), 1);
  EXPECT_EQ(CompareInt64(5, 4), -1);
  std::string folder = GetModuleFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
}

TEST(TextUtil, MapVolumePathNeverLooksAtTheHostRoot) {
  TempDir dir;
  std::string letter = dir.file("vol.img");
  std::vector<uint8_t> vol(1 << 20, 0);
  testutil::WriteFile(letter, vol);
  ScopedEnv volumes("KESTRUM_VOLUMES", "G=" + letter);
  CVirtualVolume* v = new CVirtualVolume();
  ASSERT_EQ(v->OpenByLetter(6), 0);
  // /etc exists on the host, but the volume is an unmounted image: no place to look.
  EXPECT_FALSE(MapVolumePath(u"/volume/etc", v));
  EXPECT_FALSE(MapVolumePath(u"/Volume/etc", v));
  EXPECT_FALSE(MapVolumePath(u"/Other/etc", v));
  EXPECT_FALSE(MapVolumePath(nullptr, v));
  // A crafted name never climbs out of the volume.
  EXPECT_FALSE(MapVolumePath(u"/Volume/../../etc", v));
  EXPECT_FALSE(MapVolumePath(u"/Volume/a/./../etc", v));
  v->Release();
  CVirtualVolume* missing = new CVirtualVolume();
  EXPECT_EQ(missing->OpenByLetter(7), RC_NOT_SUPPORTED);
  EXPECT_EQ(missing->OpenByLetter(26), RC_OUT_OF_RANGE);
  missing->Release();
}

// The UTF-16 log twins follow the wide printf conventions (%s is UTF-16, %hs and %S 8-bit)
// and write 8-bit text: appended to a file, or to the debug output only when asked for.
TEST(TextUtil, WideLogTextIsFormattedAndBounded) {
  TempDir dir;
  std::string path = dir.file("log.txt");
  std::u16string wpath;
  for (char c : path) wpath += char16_t(c);
  auto read = [&] {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  WriteLogW(wpath.c_str(), u"%s=%d %5.2f|%-4ls|%S|%hs|%c%%|%" PRId64 "|%x|%*d|%.3s\n", u"Größe", -42, 3.14159,
            u"ab", "narrow", "nä", int(u'€'), int64_t(-9000000000LL), 255u, 4, 7, u"abcdef");
  EXPECT_EQ(read(), "Größe=-42  3.14|ab  |narrow|nä|€%|-9000000000|ff|   7|abc\n");
  // Appended, not replaced; a null text argument and a format cut short do no harm.
  WriteLogW(wpath.c_str(), u"[%s][%", static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(read(), "Größe=-42  3.14|ab  |narrow|nä|€%|-9000000000|ff|   7|abc\n[(null)][%");
  // Long text is cut to 2048 bytes at a whole character.
  std::remove(path.c_str());
  std::u16string big(1500, u'ü');
  WriteLogW(wpath.c_str(), u"%s", big.c_str());
  std::string got = read();
  EXPECT_LE(got.size(), 2047u);
  EXPECT_EQ(got.size() % 2, 0u);
  EXPECT_EQ(got.substr(0, 4), "üü");

  // The debug output stays quiet unless asked for.
  testing::internal::CaptureStderr();
  DebugLogW(u"quiet %d\n", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  {
    ScopedEnv debug("KESTRUM_DEBUG", "1");
    testing::internal::CaptureStderr();
    DebugLogW(u"node %s at %u\n", u"Ordner", 12u);
    WriteLogW(nullptr, u"%hs", "to the debugger");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "node Ordner at 12\nto the debugger");
  }
}

// Repeated scan set-ups on a partition and on a letter volume: every facade, clone and
// channel they open is closed again when the scanner and the tree are released.
TEST(EnumDevices, ScanOperatorCyclesLeaveNoDescriptorsOpen) {
  std::string img = testutil::Fixture("tables_enum.img");
  std::string letter = testutil::Fixture("tables_letter.img");
  if (img.empty() || letter.empty()) GTEST_SKIP() << "fixture missing";
  uint64_t imgSum = testutil::FileChecksum(img), letterSum = testutil::FileChecksum(letter);
  ScopedEnv disks("KESTRUM_DISKS", img);
  ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + letter);
  IRecoveryManagement* top = nullptr;
  ASSERT_EQ(InitKestrum(&top), 0);
  IDevice* out[100];
  int count = 0;
  ASSERT_EQ(top->EnumDevices(out, &count, 100), 0);
  ASSERT_EQ(count, 5);
  size_t fds = 0;
  for (int round = 0; round < 4; ++round) {
    for (IDevice* dev : {out[1], out[3], out[4]}) {
      IFileManager* fm = nullptr;
      IScanOperator* so = nullptr;
      ASSERT_EQ(top->CreateScanOperator(dev, Scan_Deleted, &fm, &so), 0);
      so->Release();
      fm->Release();
      dev->Close();
    }
    if (round == 0)
      fds = OpenFds();
    else
      EXPECT_EQ(OpenFds(), fds) << "round " << round;
  }
  // Missing outputs are refused rather than written through; a failed create leaves the
  // outputs null, not stale.
  IScanOperator* so = reinterpret_cast<IScanOperator*>(0x1);
  IFileManager* fm = reinterpret_cast<IFileManager*>(0x1);
  EXPECT_EQ(top->CreateScanOperator(out[1], Scan_Deleted, nullptr, &so), RC_BAD_ARGUMENT);
  EXPECT_EQ(top->CreateScanOperator(out[1], Scan_Deleted, &fm, nullptr), RC_BAD_ARGUMENT);
  EXPECT_NE(top->CreateScanOperator(out[0], 0x7777, &fm, &so), 0);
  EXPECT_EQ(so, nullptr);
  EXPECT_EQ(fm, nullptr);
  EXPECT_EQ(OpenFds(), fds);
  out[0]->Release();
  out[4]->Release();
  top->Release();
  EXPECT_EQ(imgSum, testutil::FileChecksum(img));
  EXPECT_EQ(letterSum, testutil::FileChecksum(letter));
}
