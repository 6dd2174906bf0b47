// What each kind of damage gives back, pinned: one row names a fixture image, the damage done
// to a copy of it, the scan to run and how many files must come back byte-exact at their own
// folders and names. Every row also asserts that no file is handed out with wrong bytes and
// that the scan wrote nothing. A change that lowers a pinned count fails.
//
// The rows live in the test files of each file system; they all instantiate the one
// parameterised test DamageMatrix.GivesBackWhatIsPinned (damage_matrix_test.cpp), inside
// namespace testutil:
//   INSTANTIATE_TEST_SUITE_P(Fat, DamageMatrix, ::testing::ValuesIn(kFatRows), DamageRowName);
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

class DamageImage;

struct DamageRow {
  std::string name;      // the test's name: letters, digits and '_'
  std::string image;     // fixture image file ("fat32_tree.img"), under the fixture folder
  std::string manifest;  // its manifest ("fat32_tree" for fat32_tree.manifest)
  // Patches the (sparse) copy of the image in place; null for none. False when the damage
  // cannot be placed on this image (the row then fails: a fixture that lost its shape is a
  // fault).
  std::function<bool(DamageImage& image)> damage;
  int kind = 0x100;  // 1 Deleted Recovery, 0x100 Volume Recovery, or a file system's own kind
  int exact = 0;     // pinned: files byte-exact at their own folders and names
  // Pinned instead of exact: every file the manifest lists, for a tree whose number of files
  // depends on the tools that made its samples.
  bool allExact = false;
  int elsewhere = -1;  // pinned when not -1: byte-exact, but under another folder or name
  int listed = -1;     // pinned when not -1: every file found, folders left out (so that no
                       // file outside the manifest, such as another volume's, is handed out)
  int overwritten = -1;  // pinned when not -1: files without data because other files hold
                         // their clusters (the rest without data have lost their place)
  int device = -1;   // index in the engine's device list; -1 the first partition, -2 the disk
  std::vector<std::pair<uint64_t, uint64_t>> unreadable;  // 512-byte sectors answering EIO
  uint32_t sectorSize = 0;  // KESTRUM_SECTOR_SIZE; 0 leaves the image's own
  std::string root = "/Volume";  // the results folder that stands for the volume's root
  int scanResult = kAnyResult;  // the scan's answer, when the row pins it
  static const int kAnyResult = -100000;
};

// The copy a row damages, read and written at byte offsets.
class DamageImage {
 public:
  explicit DamageImage(const std::string& path);
  ~DamageImage();
  DamageImage(const DamageImage&) = delete;
  DamageImage& operator=(const DamageImage&) = delete;
  bool ok() const { return m_fd >= 0; }
  uint64_t size() const { return m_size; }
  // False when the range is not wholly inside the image.
  bool Read(uint64_t offset, void* out, size_t n) const;
  bool Write(uint64_t offset, const void* bytes, size_t n);
  bool Zero(uint64_t offset, uint64_t n);
  std::vector<uint8_t> Bytes(uint64_t offset, size_t n) const;  // empty when out of range

 private:
  int m_fd = -1;
  uint64_t m_size = 0;
};

struct DamageTally {
  int scanResult = -1;
  int files = 0;       // found, folders left out
  int exact = 0;       // byte-exact at their own path
  int elsewhere = 0;   // byte-exact under another folder or name
  int noData = 0;      // listed with no data
  int overwritten = 0;  // of those, the ones whose clusters other files hold
  int readFailed = 0;  // the read stopped before the file's size
  int manifestFiles = 0;  // files the manifest lists
  std::vector<std::string> wrong;      // handed out with bytes that are no original's
  std::vector<std::string> moved;      // the found paths of the files counted in elsewhere
  std::vector<std::string> notExact;  // manifest files not given back exact at their path
  bool unchanged = false;  // the image's checksum after the scan equals the one before
  std::string skipped;     // why the row could not run here (no fixture, no FUSE)
};

// Copies the image, damages the copy, scans it through the engine's top object the way the
// program does and judges every found file against the manifest. With KESTRUM_DAMAGE_KEEP
// set to a folder, the damaged copy is also kept there as <row name>.img.
DamageTally RunDamageRow(const DamageRow& row);

inline void PrintTo(const DamageRow& row, std::ostream* os) { *os << row.name; }

class DamageMatrix : public ::testing::TestWithParam<DamageRow> {};

inline std::string DamageRowName(const ::testing::TestParamInfo<DamageRow>& info) {
  return info.param.name;
}

}  // namespace testutil
