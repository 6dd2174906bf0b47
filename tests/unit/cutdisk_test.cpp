// Partial images of failing disks, made with real tools: an MBR disk (FAT32) and a GPT disk
// (NTFS) cut at half, whose partition runs past the image's end; and an NTFS volume far
// inside a disk that lost its table and boot sector. Every file the engine reads back whole
// is compared with the original; none may come back with other bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <strings.h>
#include <vector>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "memarchive.h"
#include "recoverymanagement/crecoverymanagement.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"
#include "imagedisk.h"
#include "scanread.h"

namespace {

struct FileLine {
  std::string state, name;
  uint64_t size = 0;
  int64_t last = 0;  // disk sector of the last byte, 0 for data inside the record
};

struct CutManifest {
  std::map<std::string, std::pair<int64_t, int64_t>> table;  // disk -> start, count
  std::map<std::string, int64_t> cut;                         // disk -> sectors left
  std::multimap<std::string, FileLine> files;                 // disk -> file
};

CutManifest ReadCutManifest() {
  CutManifest m;
  std::ifstream in(testutil::Fixture("cutdisk.txt"));
  std::string kind, disk;
  while (in >> kind >> disk) {
    if (kind == "disk") {
      int64_t a, b;
      in >> a >> b;
      m.table[disk] = {a, b};
    } else if (kind == "cut") {
      in >> m.cut[disk];
    } else {
      FileLine f;
      in >> f.state >> f.size >> f.last >> f.name;
      m.files.insert({disk, f});
    }
  }
  return m;
}

using testutil::ReadAll;

struct Tally {
  int exact = 0;     // read whole, the original's bytes
  int wrong = 0;     // read whole, other bytes
  int missed = 0;    // lay wholly in the imaged part, yet not read back exactly
  int beyond = 0;    // reached past the image's end
  int inside = 0;    // lay wholly in the imaged part
};

// Scans the device with the given kind and compares every reported file that carries a
// manifest name with that file's original. A FAT deleted entry has lost its first letter.
// Files of the states in `required` that lie wholly in the imaged part must come back exact;
// any other that comes back whole must be exact too.
Tally ScanAndCompare(IDevice* device, int kind, const std::string& disk, const CutManifest& m, int64_t end,
                     const std::set<std::string>& required, bool firstLetterLost) {
  Tally t;
  CRecoveryManagement rm;
  IFileManager* fm = nullptr;
  IScanOperator* so = nullptr;
  EXPECT_EQ(rm.CreateScanOperator(device, kind, &fm, &so), 0) << disk << " " << kind;
  if (!so || !fm) return t;
  testutil::FoundFiles names;
  fm->SetNotifySink(&names);
  // A FAT volume's format reader answers 1 when its search reached the device's end.
  const int rc = so->Scan(&names);
  EXPECT_TRUE(rc == 0 || (kind == Scan_Format && rc == 1)) << disk << " " << kind << " " << rc;
  std::string originals = testutil::Fixture("cutdisk.files") + "/" + disk + "/";
  for (auto range = m.files.equal_range(disk); range.first != range.second; ++range.first) {
    const FileLine& f = range.first->second;
    const bool needed = required.count(f.state) != 0;
    std::vector<uint8_t> want = testutil::ReadFile(originals + f.name);
    EXPECT_EQ(want.size(), f.size) << f.name;
    bool in = f.last < end;
    if (needed) ++(in ? t.inside : t.beyond);
    bool same = false;
    for (auto& n : names.seen) {
      bool match = firstLetterLost ? n.first.size() == f.name.size() && strcasecmp(n.first.c_str() + 1, f.name.c_str() + 1) == 0
                                   : strcasecmp(n.first.c_str(), f.name.c_str()) == 0;
      if (!match) continue;
      std::vector<uint8_t> got = ReadAll(so, n.second);
      if (got.size() != want.size() || n.second->GetSize() != want.size()) continue;  // cut short: never written
      if (got == want) {
        same = true;
      } else {
        ++t.wrong;
        ADD_FAILURE() << disk << " " << f.name << " read whole with other bytes (scan " << kind << ")";
      }
    }
    if (!needed) continue;
    t.exact += same;
    if (in && !same) {
      ++t.missed;
      ADD_FAILURE() << disk << " " << f.name << " lies in the imaged part but was not read back (scan " << kind << ")";
    }
  }
  so->Release();
  fm->Release();
  return t;
}

using Disk = testutil::ImageDisk;

class CutDisk : public ::testing::TestWithParam<const char*> {};

}  // namespace

// The partition is listed, cut back to the image's end and marked; the deleted-file scan
// and the format scan read what is there: every file of the imaged half comes back whole
// and exact, and one that reached into the missing half is never handed out with other
// bytes.
TEST_P(CutDisk, PartitionIsListedClippedAndItsImagedFilesComeBack) {
  const std::string disk = GetParam();
  std::string img = testutil::Fixture("cutdisk_" + disk + ".img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  CutManifest m = ReadCutManifest();
  ASSERT_TRUE(m.table.count(disk) && m.cut.count(disk));
  const uint64_t before = testutil::FileChecksum(img);
  const int64_t start = m.table[disk].first, end = m.cut[disk];
  {
    Disk d(img);
    ASSERT_NE(d.disk, nullptr);
    ASSERT_EQ(d.disk->TotalSectors(), end);
    CVolume* part = d.Partition(1);
    ASSERT_NE(part, nullptr) << "the partition running past the end is not listed";
    PartitionInfo info;
    part->GetPartitionInfo(&info);
    EXPECT_EQ(info.StartSector, start);
    EXPECT_EQ(info.SectorCount, end - start);
    EXPECT_EQ(info.Flags, PF_CLIPPED);
    const bool fat = disk == "mbr";
    EXPECT_EQ(info.PartitionType, fat ? uint32_t(PT_FAT32) : uint32_t(PT_NTFS));

    // A saved result of the partition loads back as it was listed.
    testutil::MemArchive archive;
    ASSERT_EQ(part->Save(&archive), 0);
    CVolume loaded(d.disk);
    ASSERT_EQ(loaded.Load(&archive), 0);
    PartitionInfo again;
    loaded.GetPartitionInfo(&again);
    EXPECT_EQ(again.SectorCount, info.SectorCount);
    EXPECT_EQ(again.Flags, PF_CLIPPED);

    Tally del = ScanAndCompare(part, Scan_Deleted, disk, m, end, {"deleted"}, fat);
    // The formatted FAT reader rebuilds the live tree; the NTFS one also lists deleted records.
    Tally fmt = ScanAndCompare(part, Scan_Format, disk, m, end,
                               fat ? std::set<std::string>{"live"} : std::set<std::string>{"live", "deleted"}, fat);
    for (const Tally* t : {&del, &fmt}) {
      EXPECT_GT(t->inside, 0);
      EXPECT_GT(t->beyond, 0);
      EXPECT_EQ(t->exact, t->inside);
      EXPECT_EQ(t->wrong, 0);
    }
    RecordProperty("deleted_exact", del.exact);
    RecordProperty("deleted_beyond_end", del.beyond);
    RecordProperty("format_exact", fmt.exact);
    RecordProperty("format_beyond_end", fmt.beyond);
    printf("%s cut at sector %lld: deleted-file scan %d of %d exact (%d beyond the end), format scan %d of %d exact (%d beyond), %d wrong\n",
           disk.c_str(), (long long)end, del.exact, del.inside, del.beyond, fmt.exact, fmt.inside, fmt.beyond,
           del.wrong + fmt.wrong);
  }
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

INSTANTIATE_TEST_SUITE_P(MbrAndGpt, CutDisk, ::testing::Values("mbr", "gpt"));

// An NTFS volume far past the disk's start, table and boot sector gone: the format scan of
// the whole disk places the volume by its $MFT record and gives every file back, those in
// the volume's last sectors too.
TEST(DeepNtfs, WholeDiskFormatScanReachesTheVolumeEnd) {
  std::string img = testutil::Fixture("ntfsdeep.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  CutManifest m = ReadCutManifest();
  ASSERT_TRUE(m.table.count("deep"));
  const uint64_t before = testutil::FileChecksum(img);
  const int64_t base = m.table["deep"].first;
  {
    Disk d(img);
    ASSERT_NE(d.disk, nullptr);
    const int64_t end = d.disk->TotalSectors();
    ASSERT_EQ(end, base + m.table["deep"].second);
    ASSERT_EQ(d.disk->GetVolumes().size(), 1u);
    IDevice* whole = d.disk->GetVolumes()[0];
    PartitionInfo info;
    whole->GetPartitionInfo(&info);
    ASSERT_EQ(info.PartitionType, uint32_t(PT_UNALLOCATED));
    ASSERT_EQ(info.StartSector, 0);
    int late = 0;
    for (auto range = m.files.equal_range("deep"); range.first != range.second; ++range.first)
      if (range.first->second.last >= end - base) ++late;
    EXPECT_GT(late, 5) << "the fixture must hold files in the volume's last " << base << " sectors";
    Tally t = ScanAndCompare(whole, Scan_Format, "deep", m, end, {"live", "deleted"}, false);
    EXPECT_EQ(t.beyond, 0);
    EXPECT_EQ(t.exact, t.inside);
    EXPECT_EQ(t.wrong, 0);
    printf("deep NTFS at sector %lld: format scan %d of %d exact, %d wrong\n", (long long)base, t.exact, t.inside,
           t.wrong);
  }
  EXPECT_EQ(before, testutil::FileChecksum(img));
}
