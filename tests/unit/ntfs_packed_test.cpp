// Compressed NTFS files on bare volumes (no partition table) of every cluster size NTFS
// compresses on, made by mkntfs and filled through ntfs-3g, read back through the engine as
// the program does. The size of a compression unit is 16 clusters of the partition's record:
// on an intact volume, and on one whose boot sector is destroyed but whose backup copy in the
// last sector is not, every file comes back byte for byte, from the scan and from a saved
// result. With both copies gone the cluster size is a guess: then a file reads exact or its
// read fails, and never hands out wrong bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifileop.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "fixtures.h"
#include "imageengine.h"
#include "testutil.h"

namespace {

const uint32_t kSector = 512;
const uint32_t kClusterSizes[] = {512, 1024, 2048, 4096};

// What reading one found file back gave.
enum class Outcome { Exact, Failed, Wrong, Missing };

// Reads a file the way a copy does, in pieces, and judges the bytes against the original: a
// read that fails must have answered 5 and handed out only bytes of the original.
Outcome ReadBack(IScanOperator* so, IFileInfo* f, const std::vector<uint8_t>& original) {
  if (f->GetSize() != original.size()) return Outcome::Wrong;
  IFileOP* op = nullptr;
  if (so->GetFileOp(f, &op) != 0 || !op) return Outcome::Wrong;
  std::vector<uint8_t> buf(100000);
  for (uint64_t off = 0; off < original.size();) {
    uint32_t got = 0;
    int rc = op->Read(buf.data(), uint32_t(buf.size()), off, &got);
    if (got > buf.size() || got > original.size() - off ||
        !std::equal(buf.begin(), buf.begin() + got, original.begin() + long(off)))
      return Outcome::Wrong;
    if (rc != 0) return rc == RC_READ_FAILED ? Outcome::Failed : Outcome::Wrong;
    if (got == 0) return Outcome::Wrong;
    off += got;
  }
  return Outcome::Exact;
}

struct Tally {
  int exact = 0, failed = 0, wrong = 0, missing = 0;
  std::string wrongNames;
};

class PackedNtfs : public ::testing::Test {
 protected:
  // The image of one cluster size copied into a folder of the test's own, sector 0 (and the
  // backup in the last sector) zeroed as asked; "" when the builder skipped it.
  std::string Copy(uint32_t cluster, bool zeroBoot, bool zeroBackup) {
    const std::string name = "ntfs-packed-" + std::to_string(cluster);
    if (!m[cluster].Load(name)) return "";
    std::vector<uint8_t> img = testutil::ReadFile(m[cluster].ImagePath());
    if (img.size() < 2 * kSector) return "";
    if (zeroBoot) std::memset(img.data(), 0, kSector);
    if (zeroBackup) std::memset(img.data() + img.size() - kSector, 0, kSector);
    std::string path =
        dir.file(name + (zeroBoot ? "-noboot" : "") + (zeroBackup ? "-nobackup" : "") + ".img");
    testutil::WriteFile(path, img);
    return path;
  }

  // Every file of the manifest that a results tree holds, judged; deletedOnly for a scan of
  // deleted files alone.
  Tally Judge(IScanOperator* so, uint32_t cluster, bool deletedOnly) {
    Tally t;
    std::map<std::string, IFileInfo*> found;
    testutil::ForEachTreeFile(so, [&](const std::u16string& path, IFileInfo* e) {
      if (!(e->GetFlags() & FF_DIRECTORY)) found[testutil::Utf8(path)] = e;
    });
    for (const testutil::ManifestEntry* e : m[cluster].Files(deletedOnly)) {
      auto it = found.find("/Volume" + e->path);
      if (it == found.end()) {
        ++t.missing;
        t.wrongNames += " missing " + e->path;
        continue;
      }
      // ntfs-3g packed every file of the folder: the test is of the compressed reader.
      if (e->path.compare(0, 8, "/packed/") == 0) {
        EXPECT_TRUE(it->second->GetFlags() & FF_COMPRESSED) << e->path;
      }
      switch (ReadBack(so, it->second, m[cluster].Original(e->path))) {
        case Outcome::Exact:
          ++t.exact;
          break;
        case Outcome::Failed:
          ++t.failed;
          break;
        default:
          ++t.wrong;
          t.wrongNames += " " + e->path;
      }
    }
    return t;
  }

  static PartitionInfo Record(IDevice* volume) {
    PartitionInfo info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(volume->GetPartitionInfo(&info), 0);
    return info;
  }

  // For each cluster size whose image the builder made: the image patched as asked and
  // opened through the engine, its partition's type and sectors per cluster checked, then
  // check run on it; the patched image's checksum is the same after. False when no image
  // was there.
  bool ForEachImage(bool zeroBoot, bool zeroBackup, uint32_t type, bool defaultCluster,
                    const std::function<void(uint32_t cluster, testutil::ImageEngine& engine)>& check) {
    bool ran = false;
    for (uint32_t cluster : kClusterSizes) {
      SCOPED_TRACE(cluster);
      std::string img = Copy(cluster, zeroBoot, zeroBackup);
      if (img.empty()) continue;
      ran = true;
      const uint64_t before = testutil::FileChecksum(img);
      {
        testutil::ImageEngine engine(img, kSector);
        EXPECT_NE(engine.volume(), nullptr) << "the image is not listed as a partition";
        if (!engine.volume()) continue;
        PartitionInfo info = Record(engine.volume());
        EXPECT_EQ(info.PartitionType, type);
        EXPECT_EQ(info.SectorsPerCluster, defaultCluster ? 8u : cluster / kSector);
        check(cluster, engine);
      }
      EXPECT_EQ(before, testutil::FileChecksum(img)) << "the image was written to";
    }
    return ran;
  }

  // A scan of one kind over the engine's partition, judged.
  Tally ScanAndJudge(testutil::ImageEngine& engine, int kind, uint32_t cluster) {
    IScanOperator* so = nullptr;
    EXPECT_EQ(engine.Scan(kind, &so), 0);
    if (!so) return Tally();
    Tally t = Judge(so, cluster, kind == Scan_Deleted);
    testutil::ImageEngine::Free(so);
    return t;
  }

  testutil::TempDir dir;
  std::map<uint32_t, testutil::FixtureManifest> m;
};

}  // namespace

// Intact volumes: the boot sector gives the cluster size; Deleted Recovery brings back the
// three deleted files and Volume Recovery all nine, each byte for byte.
TEST_F(PackedNtfs, IntactVolumesOfEveryClusterSizeReadExact) {
  bool ran = ForEachImage(false, false, PT_NTFS, false, [&](uint32_t cluster, testutil::ImageEngine& engine) {
    for (int kind : {Scan_Deleted, Scan_Format}) {
      SCOPED_TRACE(kind);
      Tally t = ScanAndJudge(engine, kind, cluster);
      EXPECT_EQ(t.exact, kind == Scan_Deleted ? 3 : 9) << t.wrongNames;
      EXPECT_EQ(t.failed + t.wrong + t.missing, 0) << t.wrongNames;
    }
  });
  if (!ran) GTEST_SKIP() << "no ntfs-packed images";
}

// The boot sector zeroed, the backup in the volume's last sector intact: the partition that
// spans the bare volume takes its cluster size from the backup and keeps "unknown" as its
// file system (its first sector holds none). Volume Recovery then brings back every file,
// live and deleted, byte for byte, and so does the result saved and loaded again, whose
// partition record is read anew.
TEST_F(PackedNtfs, DestroyedBootSectorTakesTheClusterSizeFromTheBackup) {
  bool ran =
      ForEachImage(true, false, PT_UNALLOCATED, false, [&](uint32_t cluster, testutil::ImageEngine& engine) {
        IScanOperator* so = nullptr;
        EXPECT_EQ(engine.Scan(Scan_Format, &so), 0);
        ASSERT_NE(so, nullptr);
        Tally t = Judge(so, cluster, false);
        EXPECT_EQ(t.exact, 9) << t.wrongNames;
        EXPECT_EQ(t.failed + t.wrong + t.missing, 0) << t.wrongNames;
        IScanOperator* loaded = nullptr;
        EXPECT_EQ(engine.SaveAndLoad(so, dir.file("packed.res"), &loaded), 0);
        if (loaded) {
          t = Judge(loaded, cluster, false);
          EXPECT_EQ(t.exact, 9) << t.wrongNames;
          EXPECT_EQ(t.failed + t.wrong + t.missing, 0) << t.wrongNames;
        }
        testutil::ImageEngine::Free(loaded);
        testutil::ImageEngine::Free(so);
      });
  if (!ran) GTEST_SKIP() << "no ntfs-packed images";
}

// Both copies of the boot sector zeroed: nothing on the volume gives the cluster size before
// the scan, and the partition keeps the default of 8 sectors. Volume Recovery still finds the
// files; each one reads exact or fails its read, never with wrong bytes. On 4 KiB clusters the
// default is right and every file is exact; on smaller ones the compressed files cannot be
// read with the default's units.
TEST_F(PackedNtfs, BothBootSectorsDestroyedNeverGiveWrongBytes) {
  bool ran =
      ForEachImage(true, true, PT_UNALLOCATED, true, [&](uint32_t cluster, testutil::ImageEngine& engine) {
        Tally t = ScanAndJudge(engine, Scan_Format, cluster);
        EXPECT_EQ(t.missing, 0);
        EXPECT_EQ(t.wrong, 0) << t.wrongNames;
        if (cluster == 8 * kSector) {
          EXPECT_EQ(t.exact, 9);
        } else {
          // The file outside the compressed folder is plain; every packed one has a hole that
          // ends inside a unit of the default's size (even the random bytes: their last unit
          // is packed) and fails.
          EXPECT_EQ(t.exact, 1);
          EXPECT_EQ(t.failed, 8);
        }
      });
  if (!ran) GTEST_SKIP() << "no ntfs-packed images";
}
