// One set of boot-sector rules for the partition checks, the boot-record checker and the
// file-system readers: real volumes made by mkntfs, mkfs.fat, mkfs.exfat and xorriso, each
// patched in the one field a rule is about, read by every place that judges it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/fat_boot.h"
#include "common/layout/hfsplus_volume.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_fixup.h"
#include "filesystems/fatentry.h"
#include "filesystems/ntfs/ntfs.h"
#include "layoutcheck.h"
#include "memdevice.h"
#include "scanoperate/hfsp/hfsplus_format.h"
#include "storagedevice/checkdbr.h"
#include "storagedevice/dbrcheck.h"
#include "testutil.h"

using testutil::MemDevice;

namespace {

std::vector<uint8_t> LoadFixture(const std::string& name) {
  std::string path = testutil::Fixture(name);
  return path.empty() ? std::vector<uint8_t>() : testutil::ReadFile(path);
}

// What the boot-record checker makes of the volume's first sector.
int CheckerSays(const std::vector<uint8_t>& image, int* quality = nullptr) {
  MemDevice dev(image);
  dev.SetOwnedByCaller(true);
  ICheckDBR* c = CreateCheckDBR();
  int64_t size = 0;
  int fs = c->Check(&dev, image.data(), 512, 0, 0, &size, quality);
  c->Release();
  return fs;
}

bool PartitionCheckSaysNtfs(const std::vector<uint8_t>& image) {
  MemDevice dev(image);
  dev.SetOwnedByCaller(true);
  return IsNtfsBootSector(image.data(), &dev, 0);
}

int ReaderSays(const std::vector<uint8_t>& image, NtfsBootInfo* info) {
  return ParseNtfsBootSector(image.data(), 512, info);
}

TEST(NtfsBootRules, OemIdIsExactAndTheSignatureOnlyRecognises) {
  std::vector<uint8_t> nt = LoadFixture("lost_ntfs.img");
  if (nt.empty()) GTEST_SKIP() << "fixture missing";
  NtfsBootInfo info;
  ASSERT_EQ(ReaderSays(nt, &info), RC_OK);
  ASSERT_TRUE(PartitionCheckSaysNtfs(nt));
  ASSERT_EQ(CheckerSays(nt), FS_NTFS);

  // "ntfs    ": the reader took any case of four letters, the checks all eight exactly.
  std::vector<uint8_t> lower = nt;
  memcpy(&lower[3], "ntfs", 4);
  EXPECT_EQ(ReaderSays(lower, &info), RC_WRONG_FS);
  EXPECT_FALSE(PartitionCheckSaysNtfs(lower));
  EXPECT_EQ(CheckerSays(lower), FS_NONE);

  // No 0x55 0xAA: not recognised among other sectors, still read when it is the volume's.
  std::vector<uint8_t> unsigned_ = nt;
  unsigned_[510] = unsigned_[511] = 0;
  EXPECT_EQ(ReaderSays(unsigned_, &info), RC_OK);
  EXPECT_EQ(info.clusterBytes, 4096u);
  EXPECT_FALSE(PartitionCheckSaysNtfs(unsigned_));
  EXPECT_EQ(CheckerSays(unsigned_), FS_NONE);

  // The $MFT at cluster 0 would be the boot sector itself.
  std::vector<uint8_t> zero = nt;
  memset(&zero[48], 0, 8);
  EXPECT_EQ(ReaderSays(zero, &info), RC_WRONG_FS);
  EXPECT_FALSE(PartitionCheckSaysNtfs(zero));
}

TEST(NtfsBootRules, LargeClusterCodesAndRecordSizes) {
  std::vector<uint8_t> nt = LoadFixture("lost_ntfs.img");
  if (nt.empty()) GTEST_SKIP() << "fixture missing";
  ASSERT_EQ(nt[13], 8);
  // 0xFD is 2^3 sectors, the volume's own 4 KiB: the partition check refused every code
  // above 0x80, the large clusters of 128 KiB up among them.
  std::vector<uint8_t> code = nt;
  code[13] = 0xFD;
  EXPECT_TRUE(PartitionCheckSaysNtfs(code));
  NtfsBootInfo info;
  ASSERT_EQ(ReaderSays(code, &info), RC_OK);
  EXPECT_EQ(info.sectorsPerCluster, 8u);
  layout::NtfsBootSector b;
  ASSERT_TRUE(layout::DecodeNtfsBootSector(code.data(), 512, &b));
  EXPECT_EQ(layout::NtfsSectorsPerCluster(b.sectorsPerClusterCode), 8u);
  // 0xF4 (2 MiB) is the largest; 0xF3 (4 MiB) exceeds what NTFS writes.
  code[13] = 0xF4;
  EXPECT_EQ(ReaderSays(code, &info), RC_OK);
  EXPECT_EQ(info.clusterBytes, 2u << 20);
  code[13] = 0xF3;
  EXPECT_EQ(ReaderSays(code, &info), RC_WRONG_FS);

  // 8 KiB records (2^13): the partition check allowed up to 64 KiB, and records 8, 16 and
  // 24 of a fresh volume lie where the next three such records would, so it took the
  // volume. FILE records are 1 or 4 KiB; everything now refuses it.
  std::vector<uint8_t> big = nt;
  big[64] = 0xF3;
  EXPECT_FALSE(PartitionCheckSaysNtfs(big));
  EXPECT_EQ(ReaderSays(big, &info), RC_WRONG_FS);
  EXPECT_EQ(CheckerSays(big), FS_NONE);
  // 256-byte records (2^8) cannot hold the 512-byte fixup stride.
  big[64] = 0xF8;
  EXPECT_FALSE(PartitionCheckSaysNtfs(big));
  EXPECT_EQ(ReaderSays(big, &info), RC_WRONG_FS);
}

TEST(NtfsBootRules, FixupOfARealRecord) {
  std::vector<uint8_t> nt = LoadFixture("lost_ntfs.img");
  if (nt.empty()) GTEST_SKIP() << "fixture missing";
  NtfsBootInfo info;
  ASSERT_EQ(ReaderSays(nt, &info), RC_OK);
  const size_t at = size_t(info.mftLcn) * info.clusterBytes;
  std::vector<uint8_t> rec(nt.begin() + long(at), nt.begin() + long(at + info.recordBytes));
  std::vector<uint8_t> fixed = rec;
  ASSERT_TRUE(layout::NtfsApplyFixup(fixed.data(), fixed.size()));
  const uint16_t usa = kbytes::Le16(&rec[4]);
  EXPECT_EQ(memcmp(&fixed[510], &rec[usa + 2], 2), 0);
  EXPECT_EQ(memcmp(&fixed[1022], &rec[usa + 4], 2), 0);
  // The same engine reading gives the same bytes.
  std::vector<uint8_t> engine = rec;
  ASSERT_EQ(CNTFS::ApplyBlockFixup(engine.data(), uint32_t(engine.size())), RC_OK);
  EXPECT_EQ(engine, fixed);

  auto refused = [&](size_t off, uint8_t v, size_t size) {
    std::vector<uint8_t> r = rec;
    if (off < r.size()) r[off] = v;
    std::vector<uint8_t> before = r;
    bool ok = layout::NtfsApplyFixup(r.data(), size);
    return !ok && r == before;
  };
  EXPECT_TRUE(refused(1022, uint8_t(rec[1022] ^ 1), rec.size()));  // a torn second stride
  EXPECT_TRUE(refused(6, 4, rec.size()));                          // count not strides + 1
  EXPECT_TRUE(refused(4, uint8_t(usa + 1), rec.size()));           // odd offset
  EXPECT_TRUE(refused(4, 0x20, rec.size()));                       // inside the header
  EXPECT_TRUE(refused(rec.size(), 0, 1000));                       // not whole strides
}

// Volumes as mkfs.fat wrote them, with the device the partition checks read sizes from.
bool PartitionCheckSaysFat16(const std::vector<uint8_t>& image, int sectorSize = 512) {
  MemDevice dev(image, sectorSize);
  dev.SetOwnedByCaller(true);
  return IsFat16BootSector(image.data(), &dev, 0);
}

TEST(FatBootRules, TotalSectorsSixteenBitFieldFirst) {
  std::vector<uint8_t> f = LoadFixture("fat16-1fat.img");
  if (f.empty()) GTEST_SKIP() << "fixture missing";
  ASSERT_EQ(kbytes::Le16(&f[19]), 40960u);
  // A stale 32-bit total beside the 16-bit one: the 16-bit field counts, as Microsoft's
  // documentation has it; the reader took the 32-bit one first and a volume 24 times larger.
  kbytes::PutLe32(&f[32], 1000000);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(f.data(), 512, fat::kFat16, f.size(), &g), 0);
  EXPECT_EQ(g.totalSectors, 40960u);
  EXPECT_TRUE(PartitionCheckSaysFat16(f));
  EXPECT_EQ(CheckerSays(f), FS_FAT16);
  MemDevice dev(f);
  dev.SetOwnedByCaller(true);
  ICheckDBR* c = CreateCheckDBR();
  int64_t size = 0;
  EXPECT_EQ(c->Check(&dev, f.data(), 512, 0, 0, &size, nullptr), FS_FAT16);
  EXPECT_EQ(size, 40960);
  c->Release();
}

TEST(FatBootRules, KindByClusterCountNotTypeText) {
  std::vector<uint8_t> f = LoadFixture("lost_fat16.img");
  if (f.empty()) GTEST_SKIP() << "fixture missing";
  // The type text blanked: the reader refused the volume for it, the checker never looked
  // further; Microsoft's documentation makes the text informational only.
  std::vector<uint8_t> blank = f;
  memset(&blank[54], ' ', 8);
  fat::FatGeometry g;
  EXPECT_EQ(fat::ParseFatBoot(blank.data(), 512, fat::kFat16, blank.size(), &g), 0);
  EXPECT_TRUE(PartitionCheckSaysFat16(blank));
  int q = 0;
  EXPECT_EQ(CheckerSays(blank, &q), FS_FAT16);
  EXPECT_EQ(q, 100);

  // 64 sectors per cluster leave 1021 clusters: a FAT12 count, whatever "FAT16" says; the
  // reader took it as FAT16.
  std::vector<uint8_t> wide = f;
  wide[13] = 64;
  layout::FatBootSector b;
  ASSERT_TRUE(layout::DecodeFatBootSector(wide.data(), 512, &b));
  EXPECT_EQ(layout::FatKind(b), 12);
  EXPECT_EQ(fat::ParseFatBoot(wide.data(), 512, fat::kFat16, wide.size(), &g), 104);
  EXPECT_FALSE(PartitionCheckSaysFat16(wide));
  MemDevice dev(wide);
  dev.SetOwnedByCaller(true);
  EXPECT_TRUE(IsFat12BootSector(wide.data(), &dev, 0));
}

TEST(FatBootRules, Fat32ByLayoutBelowTheFat32Count) {
  // mkfs.fat -F 32 -s 8 on 420000 sectors: 52392 clusters, a FAT32 layout and a FAT of
  // 32-bit entries. The boot-record checker found it; the partition check refused it.
  std::string img = testutil::Fixture("lostbackup.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> s = testutil::ReadRange(img, (500003ull + 6) * 512, 512);  // its backup
  ASSERT_EQ(s.size(), 512u);
  layout::FatBootSector b;
  ASSERT_TRUE(layout::DecodeFatBootSector(s.data(), s.size(), &b));
  uint64_t clusters = 0;
  ASSERT_TRUE(layout::FatDataClusters(b, &clusters));
  EXPECT_EQ(layout::FatTypeFromClusters(clusters), 16);
  EXPECT_EQ(layout::FatKind(b), 32);
  MemDevice dev(std::vector<uint8_t>(4096));
  dev.SetOwnedByCaller(true);
  EXPECT_TRUE(IsFat32BootSector(s.data(), &dev, 0));
  EXPECT_FALSE(IsFat16BootSector(s.data(), &dev, 0));
  fat::FatGeometry g;
  EXPECT_EQ(fat::ParseFatBoot(s.data(), 512, fat::kFat32, 0, &g), 0);
  EXPECT_EQ(fat::ParseFatBoot(s.data(), 512, fat::kFat16, 0, &g), 104);
}

TEST(FatBootRules, SectorSizeAndFatCount) {
  std::vector<uint8_t> f = LoadFixture("lost_fat16.img");
  if (f.empty()) GTEST_SKIP() << "fixture missing";
  // 256-byte sectors on a device of 256-byte sectors: the partition check took them, the
  // reader did not; Microsoft's documentation allows 512 to 4096.
  std::vector<uint8_t> small = f;
  kbytes::PutLe16(&small[11], 256);
  EXPECT_FALSE(PartitionCheckSaysFat16(small, 256));
  fat::FatGeometry g;
  EXPECT_EQ(fat::ParseFatBoot(small.data(), 512, fat::kFat16, small.size(), &g), -1);
  EXPECT_EQ(FatKindByClusters(small.data()), 0);

  // Three FATs: the reader moved the data region by a whole FAT, the checks refused.
  std::vector<uint8_t> three = f;
  three[16] = 3;
  EXPECT_EQ(fat::ParseFatBoot(three.data(), 512, fat::kFat16, three.size(), &g), -1);
  EXPECT_FALSE(PartitionCheckSaysFat16(three));
  EXPECT_EQ(CheckerSays(three), FS_NONE);
}

TEST(ExfatBootRules, ZeroAreaRecognisesAndAllEightNameBytesCount) {
  std::vector<uint8_t> e = LoadFixture("lost_exfat.img");
  if (e.empty()) GTEST_SKIP() << "fixture missing";
  fat::ExfatVolume g;
  ASSERT_EQ(fat::ParseExfatBoot(e.data(), 512, e.size(), &g), 0);
  ASSERT_TRUE(IsExfatBootSector(e.data()));
  ASSERT_EQ(CheckerSays(e), FS_EXFAT);

  // A stray byte in the old BPB area: no longer a sector to pick among others, still the
  // volume's geometry for a reader.
  std::vector<uint8_t> stray = e;
  stray[20] = 1;
  EXPECT_FALSE(IsExfatBootSector(stray.data()));
  EXPECT_EQ(CheckerSays(stray), FS_NONE);
  EXPECT_EQ(fat::ParseExfatBoot(stray.data(), 512, stray.size(), &g), 0);

  // "EXFATX  ": the checker's tag looked at four bytes.
  std::vector<uint8_t> name = e;
  name[8] = 'X';
  EXPECT_FALSE(IsExfatBootSector(name.data()));
  EXPECT_EQ(CheckerSays(name), FS_NONE);
  EXPECT_EQ(fat::ParseExfatBoot(name.data(), 512, name.size(), &g), 104);
}

TEST(HfsPlusHeaderRules, BlockSizeUpTo64KiB) {
  std::vector<uint8_t> h = LoadFixture("hfsplus_small.img");
  if (h.empty()) GTEST_SKIP() << "fixture missing";
  ASSERT_EQ(kbytes::Be32(&h[1024 + 40]), 2048u);
  MemDevice dev(h);
  dev.SetOwnedByCaller(true);
  EXPECT_EQ(ReadHfsBlockSize(&dev), 2048u);
  HFSPlusVolumeHeader vh;
  ASSERT_TRUE(hfsplus_read_volume_header(&h[1024], 512, &vh));
  EXPECT_TRUE(hfsplus_check_volume_header(&vh));
  // 128 KiB blocks: the partition check gave them as the cluster size while every reader
  // refused the header; both now hold to 64 KiB, the largest Apple's tools make.
  kbytes::PutBe32(&dev.bytes()[1024 + 40], 128u << 10);
  EXPECT_EQ(ReadHfsBlockSize(&dev), 0u);
  ASSERT_TRUE(hfsplus_read_volume_header(&dev.bytes()[1024], 512, &vh));
  EXPECT_FALSE(hfsplus_check_volume_header(&vh));
  layout::HFSPlusVolumeHeader lh;
  ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(&dev.bytes()[1024], 512, &lh));
  EXPECT_FALSE(layout::HFSPlusVolumeHeaderValid(lh));
  kbytes::PutBe32(&dev.bytes()[1024 + 40], 64u << 10);
  EXPECT_EQ(ReadHfsBlockSize(&dev), 64u << 10);
  EXPECT_TRUE(layout::HFSPlusBlockSizeValid(64u << 10));
  EXPECT_FALSE(layout::HFSPlusBlockSizeValid(256));
}

}  // namespace
