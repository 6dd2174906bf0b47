// The boot-record checker against volumes made by mkfs.fat, mkntfs, mkfs.exfat and
// xorriso, damaged copies of them and hostile sectors; and the lost-partition search over a
// sparse disk whose table was wiped.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <strings.h>
#include <tuple>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "memdevice.h"
#include "recoverymanagement/crecoverymanagement.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/checkdbr.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"
#include "imagedisk.h"
#include "scanread.h"

using testutil::MemDevice;

namespace {

template <class F>
void WithinSeconds(int seconds, F fn) {
  auto fut = std::async(std::launch::async, fn);
  if (fut.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    fprintf(stderr, "timed out: a boot-record check did not end\n");
    std::_Exit(3);
  }
  fut.get();
}

// A device over a loaded image; the test keeps ownership.
struct Dev {
  MemDevice* d;
  explicit Dev(std::vector<uint8_t> bytes, int ss = 512) : d(new MemDevice(std::move(bytes), ss)) {}
  ~Dev() { d->Release(); }
};

struct Hit {
  int fs = 0;
  int64_t size = -1;
  int quality = -1;
  int cluster = 0;
};

Hit CheckAt(MemDevice* dev, uint64_t sector, bool wantQuality = true) {
  ICheckDBR* c = CreateCheckDBR();
  Hit h;
  int ss = 0;
  dev->GetClusterInfo(nullptr, &ss);
  std::vector<uint8_t> buf(size_t(ss), 0);
  if (dev->ReadSectors(int64_t(sector), buf.data(), 1) == 1) {
    int q = -1;
    h.fs = c->Check(dev, buf.data(), ss, uint32_t(sector), uint32_t(sector >> 32), &h.size, wantQuality ? &q : nullptr);
    h.quality = q;
    h.cluster = c->GetClusterSize();
  }
  c->Release();
  return h;
}

std::vector<uint8_t> LoadFixture(const std::string& name) {
  std::string path = testutil::Fixture(name);
  return path.empty() ? std::vector<uint8_t>() : testutil::ReadFile(path);
}

std::vector<uint8_t> Slice(const std::string& path, uint64_t offset, size_t n) {
  std::vector<uint8_t> out(n);
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  return out;
}

struct Manifest {
  std::map<std::string, std::pair<int64_t, int64_t>> volumes;  // kind -> start, count
  std::multimap<std::string, std::string> deleted;  // volume -> name
  std::multimap<std::string, std::string> live;     // volume -> name
};

Manifest ReadManifest() {
  Manifest m;
  std::ifstream in(testutil::Fixture("lostdisk.txt"));
  std::string kind, a, b;
  while (in >> kind >> a >> b) {
    if (kind == "file") m.live.insert({a, b});
    else if (kind == "deleted") m.deleted.insert({a, b});
    else m.volumes[kind] = {std::stoll(a), std::stoll(b)};
  }
  return m;
}

uint32_t TypeOf(const std::string& kind) {
  if (kind == "fat32" || kind == "planted") return PT_FAT32;
  if (kind == "fat16") return PT_FAT16;
  if (kind == "ntfs") return PT_NTFS;
  if (kind == "exfat") return PT_EXFAT;
  return PT_HFSP;
}

std::string KindOf(uint32_t type) {
  switch (type) {
    case PT_FAT32: return "fat32";
    case PT_FAT16: return "fat16";
    case PT_NTFS: return "ntfs";
    case PT_EXFAT: return "exfat";
    case PT_HFSP: return "hfsplus";
    default: return "";
  }
}

using testutil::ReadAll;

// Records every event; partitions are kept and released with the sink.
struct SearchSink : INotifySink {
  std::vector<int> events;
  std::vector<int64_t> percents;
  std::vector<std::tuple<int64_t, int64_t, uint32_t, int>> found;  // start, count, type, quality
  std::vector<IDevice*> kept;
  int answer9 = 0, answer4At = -1, answer2 = 0;
  int Notify(int e, int64_t a, int64_t b, void* obj) override {
    events.push_back(e);
    if (e == NE_STARTED) return answer2;
    if (e == NE_PERCENT) {
      percents.push_back(a);
      return answer4At >= 0 && int(percents.size()) > answer4At ? -1 : 0;
    }
    if (e == NE_PARTITION_FOUND) {
      IDevice* d = static_cast<IDevice*>(obj);
      PartitionInfo info;
      d->GetPartitionInfo(&info);
      found.emplace_back(info.StartSector, info.SectorCount, info.PartitionType, int(b));
      kept.push_back(d);
      return answer9;
    }
    return 0;
  }
  void ReleaseAll() {
    for (IDevice* d : kept) d->Release();
    kept.clear();
  }
};

// A disk opened over a fixture image.
using DiskFixture = testutil::ImageDisk;

}  // namespace

// ---------------------------------------------------------------------------------------
// The checker on tool-made volumes

TEST(CheckDBR, ToolMadeVolumesGiveKindSizeClusterAndFullQuality) {
  struct Case {
    const char* name;
    int fs;
    int64_t size;
    int cluster;
  } cases[] = {
      {"lost_fat12.img", FS_FAT16, 8192, 2048},   {"lost_fat16.img", FS_FAT16, 65536, 2048},
      {"lost_fat32.img", FS_FAT32, 139264, 512},  {"lost_ntfs.img", FS_NTFS, 65535, 4096},
      {"lost_exfat.img", FS_EXFAT, 65536, 16384},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = LoadFixture(c.name);
    if (bytes.empty()) GTEST_SKIP() << "fixture missing";
    Dev dev(bytes);
    Hit h = CheckAt(dev.d, 0);
    EXPECT_EQ(h.fs, c.fs) << c.name;
    EXPECT_EQ(h.size, c.size) << c.name;
    EXPECT_EQ(h.cluster, c.cluster) << c.name;
    EXPECT_EQ(h.quality, 100) << c.name;
    // Confirmed volumes pass without a quality output too.
    EXPECT_EQ(CheckAt(dev.d, 0, false).fs, c.fs) << c.name;

    ICheckDBR* k = CreateCheckDBR();
    uint8_t serial[16];
    memset(serial, 0xCC, sizeof serial);
    EXPECT_EQ(k->GetVolumeSerial(dev.d, serial, 15), RC_BAD_ARGUMENT);
    ASSERT_EQ(k->GetVolumeSerial(dev.d, serial, 16), 0) << c.name;
    size_t at = c.fs == FS_FAT16 ? 39 : c.fs == FS_FAT32 ? 67 : c.fs == FS_NTFS ? 72 : 100;
    EXPECT_EQ(memcmp(serial, &bytes[at], 4), 0) << c.name;
    EXPECT_EQ(serial[4] | serial[15], 0) << c.name;
    EXPECT_FALSE(k->FitsName(0, 1000));
    k->Release();
  }
  Dev blank(std::vector<uint8_t>(65536, 0));
  ICheckDBR* k = CreateCheckDBR();
  uint8_t serial[16];
  EXPECT_EQ(k->GetVolumeSerial(blank.d, serial, 16), RC_MISSING);
  k->Release();
}

// NTFS writes large cluster sizes as an exponent: byte 13 of 0xFD is 2^3 sectors, the same
// 4 KiB as a plain 8, and must not come back as 253 sectors.
TEST(CheckDBR, NtfsClusterSizeWrittenAsExponent) {
  std::vector<uint8_t> nt = LoadFixture("lost_ntfs.img");
  if (nt.empty()) GTEST_SKIP() << "fixture missing";
  ASSERT_EQ(nt[13], 8);
  nt[13] = 0xFD;
  Dev dev(nt);
  Hit h = CheckAt(dev.d, 0);
  EXPECT_EQ(h.fs, FS_NTFS);
  EXPECT_EQ(h.cluster, 4096);
  EXPECT_EQ(h.quality, 100);
}

TEST(CheckDBR, DamagedFatCopiesAndMftRecordsLowerTheQuality) {
  std::vector<uint8_t> f32 = LoadFixture("lost_fat32.img");
  std::vector<uint8_t> f16 = LoadFixture("lost_fat16.img");
  std::vector<uint8_t> nt = LoadFixture("lost_ntfs.img");
  if (f32.empty() || f16.empty() || nt.empty()) GTEST_SKIP() << "fixture missing";

  // FAT32: the second copy starts one FAT after the first.
  size_t fat1 = size_t(kbytes::Le16(&f32[14])) * 512, fat2 = fat1 + size_t(kbytes::Le32(&f32[36])) * 512;
  std::vector<uint8_t> one = f32;
  memset(&one[fat2], 0, 8);
  Dev d1(one);
  Hit h = CheckAt(d1.d, 0);
  EXPECT_EQ(h.fs, FS_FAT32);
  EXPECT_EQ(h.quality, 50);
  EXPECT_EQ(CheckAt(d1.d, 0, false).fs, FS_NONE);
  memset(&one[fat1], 0, 8);
  Dev d2(one);
  EXPECT_EQ(CheckAt(d2.d, 0).fs, FS_NONE);

  // FAT16: copies starting with a removable medium's byte are accepted at half confidence.
  size_t g1 = size_t(kbytes::Le16(&f16[14])) * 512, g2 = g1 + size_t(kbytes::Le16(&f16[22])) * 512;
  std::vector<uint8_t> rem = f16;
  rem[g1] = 0xF0;
  rem[g2] = 0xF0;
  Dev d3(rem);
  h = CheckAt(d3.d, 0);
  EXPECT_EQ(h.fs, FS_FAT16);
  EXPECT_EQ(h.quality, 50);

  // NTFS: records 0 to 3 intact, record 4 damaged: four matches of nine points each.
  uint64_t mft = kbytes::Le64(&nt[48]) * nt[13] * 512;
  std::vector<uint8_t> bad = nt;
  memcpy(&bad[mft + 4 * 1024], "BAAD", 4);
  Dev d4(bad);
  h = CheckAt(d4.d, 0);
  EXPECT_EQ(h.fs, FS_NTFS);
  EXPECT_EQ(h.quality, 36);
  EXPECT_EQ(CheckAt(d4.d, 0, false).fs, FS_NONE);
  // A record whose name is not the expected system file counts as damaged too.
  bad = nt;
  memcpy(&bad[mft], "BAAD", 4);
  Dev d5(bad);
  EXPECT_EQ(CheckAt(d5.d, 0).fs, FS_NONE);
  // The mirror is not what the checker confirms with: damage there leaves the MFT's word.
  uint64_t mirr = kbytes::Le64(&nt[56]) * nt[13] * 512;
  bad = nt;
  memset(&bad[mirr], 0, 4096);
  Dev d6(bad);
  EXPECT_EQ(CheckAt(d6.d, 0).quality, 100);
}

TEST(CheckDBR, HfsPlusHeaderAtByte1024WithQualityByBtreeHeaders) {
  std::string disk = testutil::Fixture("lostdisk.img");
  if (disk.empty()) GTEST_SKIP() << "fixture missing";
  Manifest m = ReadManifest();
  ASSERT_TRUE(m.volumes.count("hfsplus"));
  auto hv = m.volumes["hfsplus"];
  // The catalog and extents header nodes lie in the first blocks.
  std::vector<uint8_t> vol = Slice(disk, uint64_t(hv.first) * 512, 1 << 20);
  Dev d(vol);
  Hit h = CheckAt(d.d, 2);
  EXPECT_EQ(h.fs, FS_HFSP);
  EXPECT_EQ(h.size, hv.second);
  EXPECT_EQ(h.cluster, 2048);
  EXPECT_EQ(h.quality, 100);
  EXPECT_EQ(CheckAt(d.d, 0).fs, FS_NONE);

  // On 4096-byte sectors the header is inside the volume's first sector.
  Dev d4k(vol, 4096);
  h = CheckAt(d4k.d, 0);
  EXPECT_EQ(h.fs, FS_HFSP);
  EXPECT_EQ(h.size, hv.second / 8);

  // A header seen at sector 1 would put the volume before the disk's start.
  std::vector<uint8_t> shifted(vol.begin() + 512, vol.end());
  Dev ds(shifted);
  EXPECT_EQ(CheckAt(ds.d, 1).fs, FS_NONE);

  uint32_t bs = kbytes::Be32(&vol[1024 + 40]);
  uint32_t extents = kbytes::Be32(&vol[1024 + 208]), catalog = kbytes::Be32(&vol[1024 + 288]);
  // Damaged catalog header node: one good file of three.
  std::vector<uint8_t> bad = vol;
  bad[size_t(catalog) * bs + 8] = 0xFF;
  Dev dc(bad);
  EXPECT_EQ(CheckAt(dc.d, 2).quality, 40);
  // Damaged extents header node: a small volume is refused, one of 8 GiB kept at 0.
  bad = vol;
  bad[size_t(extents) * bs + 8] = 0xFF;
  Dev de(bad);
  EXPECT_EQ(CheckAt(de.d, 2).fs, FS_NONE);
  kbytes::PutBe32(&bad[1024 + 44], uint32_t((uint64_t(8) << 30) / bs));
  Dev dl(bad);
  h = CheckAt(dl.d, 2);
  EXPECT_EQ(h.fs, FS_HFSP);
  EXPECT_EQ(h.quality, 0);
  EXPECT_EQ(h.size, int64_t((uint64_t(8) << 30) / 512));
  EXPECT_EQ(CheckAt(dl.d, 2, false).fs, FS_NONE);
}

TEST(CheckDBR, HostileBootSectorsAreRefusedQuickly) {
  std::vector<std::vector<uint8_t>> seeds;
  for (const char* n : {"lost_fat12.img", "lost_fat16.img", "lost_fat32.img", "lost_ntfs.img", "lost_exfat.img"}) {
    std::vector<uint8_t> b = LoadFixture(n);
    if (b.empty()) GTEST_SKIP() << "fixture missing";
    b.resize(1 << 20);
    seeds.push_back(b);
  }
  // A guard against a check that never ends, not a speed target: the plain build takes about
  // 3 s, the sanitizer build nearly 50 s beside the other tests.
  WithinSeconds(300, [&] {
    ICheckDBR* c = CreateCheckDBR();
    // Fields that size or place further reads, set to the values that break naive code.
    struct Patch {
      size_t off, width;
      uint64_t value;
    } patches[] = {
        {11, 2, 0},    {11, 2, 3},        {11, 2, 65535},     {13, 1, 0},          {13, 1, 3},
        {13, 1, 0xFF}, {14, 2, 0},        {14, 2, 0xFFFF},    {16, 1, 0},          {16, 1, 200},
        {17, 2, 0},    {22, 2, 0xFFFF},   {36, 4, 0xFFFFFFFF}, {44, 4, 0},         {44, 4, 1},
        {48, 8, ~0ull}, {48, 8, 1ull << 62}, {40, 8, 0},       {64, 1, 0x80},       {64, 1, 0x7F},
        {72, 8, 0},    {80, 4, 0xFFFFFFFF}, {88, 4, 0xFFFFFFFF}, {96, 4, 0},       {96, 4, 1},
        {96, 4, 0xFFFFFFFF}, {108, 1, 31}, {108, 1, 0},       {109, 1, 31},        {109, 1, 200},
    };
    uint64_t positions[] = {0, 1, (uint64_t(1) << 32) - 1, uint64_t(INT64_MAX) - 1, ~0ull};
    int64_t size;
    int q;
    for (auto& seed : seeds) {
      for (const Patch& p : patches) {
        std::vector<uint8_t> b = seed;
        for (size_t i = 0; i < p.width; ++i) b[p.off + i] = uint8_t(p.value >> (8 * i));
        Dev dev(b);
        for (uint64_t at : positions) {
          int fs = c->Check(dev.d, b.data(), 512, uint32_t(at), uint32_t(at >> 32), &size, &q);
          if (fs != FS_NONE) {
            EXPECT_GT(size, 0);
            EXPECT_GE(q, 0);
            EXPECT_LE(q, 100);
          }
        }
      }
      // Random bytes over the boot sector, keeping the tag and the signature.
      for (uint32_t seedNo = 0; seedNo < 300; ++seedNo) {
        std::vector<uint8_t> b = seed;
        std::vector<uint8_t> noise = testutil::RandomBytes(512, seedNo);
        for (size_t i = 11; i < 510; ++i)
          if ((i < 54 || i > 57) && (i < 82 || i > 85) && (noise[i] & 3) == 0) b[i] = noise[i];
        Dev dev(b);
        c->Check(dev.d, b.data(), 512, 0, 0, &size, &q);
      }
    }
    // A hostile HFS+ header on a tiny device.
    std::vector<uint8_t> h(4096, 0);
    h[1024] = 'H';
    h[1025] = '+';
    Dev dev(h);
    EXPECT_EQ(c->Check(dev.d, h.data() + 1024, 512, 2, 0, &size, &q), FS_NONE);
    EXPECT_EQ(c->Check(nullptr, h.data(), 512, 0, 0, &size, &q), FS_NONE);
    EXPECT_EQ(c->Check(dev.d, h.data(), 100, 0, 0, &size, &q), FS_NONE);
    c->Release();
  });
}

// ---------------------------------------------------------------------------------------
// The search over a wiped disk

class LostDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    img = testutil::Fixture("lostdisk.img");
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    m = ReadManifest();
  }
  std::set<std::tuple<int64_t, int64_t, uint32_t>> Expect(bool withPlanted) {
    std::set<std::tuple<int64_t, int64_t, uint32_t>> out;
    for (auto& v : m.volumes)
      if (withPlanted || v.first != "planted") out.insert({v.second.first, v.second.second, TypeOf(v.first)});
    return out;
  }
  static std::set<std::tuple<int64_t, int64_t, uint32_t>> Got(const SearchSink& s) {
    std::set<std::tuple<int64_t, int64_t, uint32_t>> out;
    for (auto& f : s.found) out.insert({std::get<0>(f), std::get<1>(f), std::get<2>(f)});
    return out;
  }
  std::string img;
  Manifest m;
};

TEST_F(LostDisk, ModeZeroReportsEveryVolumeOnceAndThePlantedCopy) {
  DiskFixture f(img);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  EXPECT_EQ(f.disk->SearchPartitions(0, &s), 0);
  EXPECT_EQ(s.found.size(), m.volumes.size());
  EXPECT_EQ(Got(s), Expect(true));
  for (auto& x : s.found) EXPECT_EQ(std::get<3>(x), 100);
  ASSERT_GE(s.events.size(), 4u);
  EXPECT_EQ(s.events[0], NE_STARTED);
  EXPECT_EQ(s.events[1], NE_STARTED);
  EXPECT_EQ(s.events.back(), NE_FINISHED);
  EXPECT_EQ(s.percents.size(), size_t(f.disk->TotalSectors() / 16384));
  for (size_t i = 1; i < s.percents.size(); ++i) EXPECT_GE(s.percents[i], s.percents[i - 1]);
  // Partitions are named from 1 in each search.
  PartitionInfo info;
  s.kept.front()->GetPartitionInfo(&info);
  EXPECT_EQ(info.Label[0], u'P');
  EXPECT_EQ(info.Label[9], u'1');
  EXPECT_EQ(info.SectorSize, 512u);
  s.ReleaseAll();
}

TEST_F(LostDisk, ModeThreeSkipsConfirmedVolumesButNotOnSmallDisks) {
  DiskFixture f(img);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  EXPECT_EQ(f.disk->SearchPartitions(3, &s), 0);
  EXPECT_EQ(s.found.size(), m.volumes.size() - 1);
  EXPECT_EQ(Got(s), Expect(false));
  EXPECT_LT(s.percents.size(), size_t(f.disk->TotalSectors() / 16384));
  s.ReleaseAll();

  std::string small = testutil::Fixture("lostdisk2g.img");
  if (small.empty()) return;
  DiskFixture g(small);
  ASSERT_NE(g.disk, nullptr);
  SearchSink t;
  EXPECT_EQ(g.disk->SearchPartitions(3, &t), 0);
  EXPECT_EQ(Got(t), Expect(true));
  EXPECT_EQ(t.percents.size(), size_t(g.disk->TotalSectors() / 16384));
  t.ReleaseAll();
}

TEST_F(LostDisk, FoundPartitionsScanLikeAnyOtherAndGiveTheFilesBack) {
  DiskFixture f(img);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  ASSERT_EQ(f.disk->SearchPartitions(3, &s), 0);
  struct Names : INotifySink {
    std::multimap<std::string, IFileInfo*> seen;  // kept by the file manager until its release
    int Notify(int e, int64_t, int64_t, void* obj) override {
      if (e == NE_FOUND_FILE && obj) {
        IFileInfo* file = static_cast<IFileInfo*>(obj);
        std::string n;
        for (const char16_t* p = file->GetName(); p && *p; ++p) n += char(*p);
        seen.insert({n, file});
      }
      return 0;
    }
  };
  std::string originals = testutil::Fixture("lostdisk.files");
  std::set<std::string> scanned;
  for (size_t i = 0; i < s.found.size(); ++i) {
    std::string kind = KindOf(std::get<2>(s.found[i]));
    if (!m.live.count(kind)) continue;  // laid empty: its mount tool was missing
    CRecoveryManagement rm;
    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    ASSERT_EQ(rm.CreateScanOperator(s.kept[i], Scan_Deleted, &fm, &so), 0) << kind;
    Names names;
    fm->SetNotifySink(&names);
    EXPECT_EQ(so->Scan(&names), 0) << kind;
    // Every deleted file comes back byte for byte. A FAT volume loses a deleted entry's first
    // name byte; the rest of it stays.
    auto check = [&](const std::string& name) {
      std::vector<uint8_t> want = testutil::ReadFile(originals + "/" + kind + "/" + name);
      ASSERT_FALSE(want.empty()) << kind << " " << name;
      bool fatDeleted = kind == "fat32" || kind == "fat16";
      int named = 0;
      bool same = false;
      for (auto& n : names.seen) {
        bool match = fatDeleted ? n.first.size() == name.size() && strcasecmp(n.first.c_str() + 1, name.c_str() + 1) == 0
                                : strcasecmp(n.first.c_str(), name.c_str()) == 0;
        if (!match) continue;
        ++named;
        if (n.second->GetSize() == want.size() && ReadAll(so, n.second) == want) same = true;
      }
      EXPECT_GT(named, 0) << kind << " " << name << " not found";
      EXPECT_TRUE(same) << kind << " " << name << " not read back as written";
    };
    // The HFS+ volume made by xorriso never had a file deleted from it, and a deleted-file
    // scan reports deleted files only: its scan must end well with nothing to report.
    if (kind == "hfsplus") EXPECT_TRUE(names.seen.empty());
    else EXPECT_TRUE(m.deleted.count(kind)) << kind;
    for (auto range = m.deleted.equal_range(kind); range.first != range.second; ++range.first)
      check(range.first->second);
    so->Release();
    fm->Release();
    scanned.insert(kind);
  }
  EXPECT_TRUE(scanned.count("fat32") && scanned.count("fat16") && scanned.count("hfsplus"));
  for (const char* kind : {"ntfs", "exfat"}) {
    if (m.live.count(kind)) {
      EXPECT_TRUE(scanned.count(kind)) << kind;
    }
  }
  s.ReleaseAll();
}

TEST_F(LostDisk, SinkAnswersStopAndOwnTheirPartitions) {
  DiskFixture f(img);
  ASSERT_NE(f.disk, nullptr);
  // Refusing event 9 ends only the chunk; the refused partition is still the sink's.
  SearchSink refuse;
  refuse.answer9 = -1;
  EXPECT_EQ(f.disk->SearchPartitions(3, &refuse), 0);
  EXPECT_EQ(Got(refuse), Expect(true));  // no jump after a refused hit
  refuse.ReleaseAll();

  SearchSink stop;
  stop.answer4At = 3;
  EXPECT_EQ(f.disk->SearchPartitions(0, &stop), RC_CANCELLED);
  EXPECT_EQ(stop.percents.size(), 4u);
  EXPECT_EQ(stop.events.back(), NE_FINISHED);
  stop.ReleaseAll();

  SearchSink early;
  early.answer2 = -1;
  EXPECT_EQ(f.disk->SearchPartitions(0, &early), RC_CANCELLED);
  EXPECT_EQ(early.events, std::vector<int>{NE_STARTED});

  EXPECT_EQ(f.disk->SearchPartitions(0, nullptr), RC_MISSING);
  CDisk* closed = new CDisk();
  SearchSink none;
  EXPECT_EQ(closed->SearchPartitions(0, &none), RC_FAIL);
  EXPECT_TRUE(none.events.empty());
  closed->Release();
}

// While alive, the process can open no descriptor beyond those it holds: every free number
// below the highest one in use is taken, and the limit is set just above it. A descriptor
// closed and opened again gets its number back; any further open fails with EMFILE.
class NoFurtherDescriptors {
 public:
  NoFurtherDescriptors() {
    if (getrlimit(RLIMIT_NOFILE, &m_old) != 0) return;
    int highest = -1;
    if (DIR* d = opendir("/proc/self/fd")) {
      int own = dirfd(d);
      while (dirent* e = readdir(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != own) highest = std::max(highest, fd);
      }
      closedir(d);
    }
    for (;;) {
      int fd = open("/dev/null", O_RDONLY);
      if (fd < 0) return;
      if (fd > highest) {
        close(fd);
        break;
      }
      m_fillers.push_back(fd);
    }
    rlimit low = m_old;
    low.rlim_cur = rlim_t(highest + 1);
    m_set = setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~NoFurtherDescriptors() {
    if (m_set) setrlimit(RLIMIT_NOFILE, &m_old);
    for (int fd : m_fillers) close(fd);
  }
  bool Set() const { return m_set; }

 private:
  rlimit m_old{};
  bool m_set = false;
  std::vector<int> m_fillers;
};

// The checker reads through the disk itself, never through the facade's private clone: a
// clone that cannot be opened (here: no descriptor left for it) must not end the search
// before it starts, and every volume is still found.
TEST_F(LostDisk, SearchGoesOnWhenTheFacadeCloneCannotBeOpened) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime opens a pipe to test memory before it trusts a type, and with
  // no descriptor left it reports every virtual call as one on a broken object.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
  std::string small = testutil::Fixture("lostdisk2g.img");
  if (small.empty()) GTEST_SKIP() << "fixture missing";
  DiskFixture f(small);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  {
    NoFurtherDescriptors limit;
    ASSERT_TRUE(limit.Set());
    int probe = open("/dev/null", O_RDONLY);
    EXPECT_LT(probe, 0) << "the limit leaves room for another descriptor";
    if (probe >= 0) close(probe);
    EXPECT_EQ(f.disk->SearchPartitions(0, &s), 0);
  }
  EXPECT_EQ(Got(s), Expect(true));
  EXPECT_EQ(s.percents.size(), size_t(f.disk->TotalSectors() / 16384));
  EXPECT_EQ(s.events.back(), NE_FINISHED);
  s.ReleaseAll();
}

TEST(LostSearch, DiskBelowOneChunkIsSearchedWhole) {
  testutil::TempDir dir;
  std::string path = dir.file("tiny.img");
  testutil::WriteFile(path, std::vector<uint8_t>(4 << 20, 0));
  DiskFixture f(path);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  EXPECT_EQ(f.disk->SearchPartitions(3, &s), 0);
  EXPECT_EQ(s.events, (std::vector<int>{NE_STARTED, NE_STARTED, NE_PERCENT, NE_FINISHED}));
}

// Volumes whose first sector was destroyed: NTFS, FAT32 and exFAT each still carry a backup
// boot sector (the last sector; sector 6, or the one the boot sector names; sector 12). Each
// is found once, at the start the backup names, with the length its partition had.
TEST(LostSearch, VolumesKnownOnlyByTheirBackupBootSector) {
  std::string img = testutil::Fixture("lostbackup.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  uint64_t before = testutil::FileChecksum(img);
  std::set<std::tuple<int64_t, int64_t, uint32_t>> want;
  std::ifstream in(testutil::Fixture("lostbackup.txt"));
  std::string kind;
  int64_t start, count;
  while (in >> kind >> start >> count) want.insert({start, count, TypeOf(kind)});
  ASSERT_EQ(want.size(), 4u);
  {
    DiskFixture f(img);
    ASSERT_NE(f.disk, nullptr);
    for (int mode : {0, 3}) {
      SearchSink s;
      EXPECT_EQ(f.disk->SearchPartitions(mode, &s), 0);
      std::set<std::tuple<int64_t, int64_t, uint32_t>> got;
      for (auto& x : s.found) {
        got.insert({std::get<0>(x), std::get<1>(x), std::get<2>(x)});
        EXPECT_EQ(std::get<3>(x), 100);
      }
      EXPECT_EQ(s.found.size(), want.size()) << mode;
      EXPECT_EQ(got, want) << mode;
      // Mode 3 skips what lies ahead of a backup at the volume's head (FAT32, exFAT), and
      // nothing after the NTFS backup, which ends its volume.
      const size_t chunks = size_t((f.disk->TotalSectors() + 16383) / 16384);
      if (mode == 3) {
        EXPECT_LT(s.percents.size(), chunks - 60);
      } else {
        EXPECT_EQ(s.percents.size(), chunks);
      }
      for (IDevice* d : s.kept) {
        PartitionInfo info;
        d->GetPartitionInfo(&info);
        EXPECT_GT(info.SectorsPerCluster, 0u);
      }
      s.ReleaseAll();
    }
  }
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

// mkfs.fat writes "FAT32   " at 82, but the text is a label: a backup whose label another
// formatter left blank is found like the others, as the checker finds its volume.
TEST(LostSearch, Fat32BackupWithABlankTypeTextIsFound) {
  std::string img = testutil::Fixture("lostbackup.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  testutil::TempDir dir;
  const std::string copy = dir.file("blank.img");
  ASSERT_EQ(std::system(("cp --sparse=always '" + img + "' '" + copy + "'").c_str()), 0);
  std::set<std::tuple<int64_t, int64_t, uint32_t>> want;
  std::ifstream in(testutil::Fixture("lostbackup.txt"));
  std::string kind;
  int64_t start, count;
  int blanked = 0;
  {
    std::fstream io(copy, std::ios::in | std::ios::out | std::ios::binary);
    while (in >> kind >> start >> count) {
      want.insert({start, count, TypeOf(kind)});
      if (kind != "fat32") continue;
      for (int64_t backup : {start + 3, start + 6}) {
        char text[8];
        io.seekg(backup * 512 + 82);
        io.read(text, 8);
        if (memcmp(text, "FAT32   ", 8) != 0) continue;
        io.seekp(backup * 512 + 82);
        io.write("        ", 8);
        ++blanked;
      }
    }
  }
  ASSERT_EQ(blanked, 2);
  DiskFixture f(copy);
  ASSERT_NE(f.disk, nullptr);
  SearchSink s;
  EXPECT_EQ(f.disk->SearchPartitions(0, &s), 0);
  std::set<std::tuple<int64_t, int64_t, uint32_t>> got;
  for (auto& x : s.found) got.insert({std::get<0>(x), std::get<1>(x), std::get<2>(x)});
  EXPECT_EQ(got, want);
  s.ReleaseAll();
}
