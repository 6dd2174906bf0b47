// The HFS+ formatted-volume reader against an xorriso volume whose live catalog The Sleuth
// Kit lists: intact, with its header gone, with a smaller volume written over its start,
// and with damaged nodes and an unreadable sector.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "damagematrix.h"
#include "filemanager/fileinfo.h"
#include "fixtures.h"
#include "memdevice.h"
#include "scanoperate/hfsp/hfspformat.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

struct Found {
  uint64_t size = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> data;
};

std::string Utf8(const char16_t* s) {
  std::string out;
  for (; s && *s; ++s) {
    uint32_t c = *s;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint8_t c = uint8_t(s[i]);
    if (c < 0x80) {
      out += char16_t(c);
      i += 1;
    } else if ((c & 0xE0) == 0xC0) {
      out += char16_t(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else {
      out += char16_t(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    }
  }
  return out;
}

// Keeps every file handed over, its bytes read from the image by its runs.
class Collector : public StubFileManager {
 public:
  explicit Collector(const std::vector<uint8_t>* image) : m_image(image) {}
  std::map<std::string, Found> files;

  int AddFile(const char16_t* folder, IFileInfo* file) override {
    Found f;
    f.size = file->GetSize();
    f.flags = file->GetFlags();
    f.data = GatherRunBytes(*m_image, file);
    files[Utf8(folder) + "/" + Utf8(file->GetName())] = std::move(f);
    file->Release();
    return 0;
  }

 private:
  const std::vector<uint8_t>* m_image;
};

class Sink : public INotifySink {
 public:
  int last = -1, polls = 0, stopAfter = -1;
  int Notify(int event, int64_t a, int64_t, void*) override {
    if (event != NE_PERCENT) return 0;
    last = int(a);
    return stopAfter >= 0 && ++polls > stopAfter ? 1 : 0;
  }
};

// A memory device whose reads fail on the sectors in `bad`.
class BadSectorDevice : public testutil::MemDevice {
 public:
  using MemDevice::MemDevice;
  std::set<int64_t> bad;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    for (int64_t b : bad)
      if (b >= first && b < first + int64_t(count)) return -1;
    return MemDevice::ReadSectors(first, buf, count);
  }
};

struct ScanRun {
  int rc = -12345;
  std::map<std::string, Found> files;
  double seconds = 0;
  int lastPercent = -1;
};

ScanRun ScanImage(const std::vector<uint8_t>& image, std::set<int64_t> bad = {}, int stopAfter = -1,
                  int sectorSize = 512) {
  ScanRun r;
  BadSectorDevice dev(image, sectorSize, 2048);
  dev.SetOwnedByCaller(true);
  dev.info().PartitionType = 0xAF;
  dev.bad = std::move(bad);
  Collector files(&dev.bytes());
  Sink sink;
  sink.stopAfter = stopAfter;
  IScanOperator* scan = CreateHfspFormatScanner(&dev);
  scan->SetFileManager(&files);
  auto t0 = std::chrono::steady_clock::now();
  r.rc = scan->Scan(&sink);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  scan->Release();
  EXPECT_EQ(dev.bytesWritten(), 0);
  r.files = std::move(files.files);
  r.lastPercent = sink.last;
  return r;
}

// The live catalog as The Sleuth Kit reads it from the intact volume: every user file with
// its CNID, its folder's CNID and its bytes; folders with their own.
struct Oracle {
  struct Entry {
    uint32_t cnid, parent;
    bool dir;
    std::string name;
  };
  std::map<std::string, Entry> entries;  // by path relative to the root
  std::map<std::string, std::vector<uint8_t>> bytes;
  std::vector<uint8_t> image;
  uint64_t catalogByte = 0;
  uint32_t nodeSize = 0, catalogNodes = 0;
  bool ok = false;
};

// By default the volume of make_hfsplus.sh; the larger one of make_hfs_xorriso.sh on request.
const Oracle& TheOracle(const std::string& fixture = "hfsplus.img") {
  static std::map<std::string, Oracle> made;
  if (made.count(fixture)) return made[fixture];
  Oracle& o = made[fixture];
  std::string img = testutil::Fixture(fixture);
  if (img.empty() || !testutil::HaveTool("fls") || !testutil::HaveTool("icat")) return o;
  o.image = testutil::ReadFile(img);
  int status = 0;
  std::istringstream in(testutil::RunCommand("fls -r -p -f hfs '" + img + "'", &status));
  std::string line;
  std::map<std::string, uint32_t> dirs{{"", 2}};
  std::vector<std::pair<std::string, uint32_t>> files;
  while (std::getline(in, line)) {
    size_t colon = line.find(":\t");
    if (colon == std::string::npos || line.size() < 5) continue;
    uint32_t cnid = uint32_t(std::stoul(line.substr(4, colon - 4)));
    std::string path = line.substr(colon + 2);
    if (line.compare(0, 3, "d/d") == 0) dirs[path] = cnid;
    else if (line.compare(0, 3, "r/r") == 0 && cnid > 16) files.emplace_back(path, cnid);
  }
  auto add = [&](const std::string& path, uint32_t cnid, bool dir) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    o.entries[path] = {cnid, dirs.count(folder) ? dirs[folder] : 0, dir,
                       slash == std::string::npos ? path : path.substr(slash + 1)};
  };
  for (auto& d : dirs)
    if (!d.first.empty()) add(d.first, d.second, true);
  // Every file's bytes in one run of tsk_recover; a file it could not name is read alone.
  testutil::TempDir all;
  testutil::RunCommand("tsk_recover -a -f hfs '" + img + "' '" + all.path() + "' 2>/dev/null");
  for (auto& f : files) {
    add(f.first, f.second, false);
    std::string copy = all.file(f.first);
    struct stat st;
    if (stat(copy.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      o.bytes[f.first] = testutil::ReadFile(copy);
      continue;
    }
    std::string data = testutil::RunCommand("icat -f hfs '" + img + "' " + std::to_string(f.second));
    o.bytes[f.first].assign(data.begin(), data.end());
  }
  const uint8_t* h = o.image.data() + 1024;
  uint32_t blockSize = kbytes::Be32(h + 40);
  o.catalogByte = uint64_t(kbytes::Be32(h + 272 + 16)) * blockSize;
  o.nodeSize = kbytes::Be16(o.image.data() + o.catalogByte + 14 + 18);
  o.catalogNodes = kbytes::Be32(o.image.data() + o.catalogByte + 14 + 22);
  o.ok = files.size() >= 300;
  return o;
}

// The catalog node (index from the catalog's start) holding the entry's own record.
int64_t RecordNode(const Oracle& o, const Oracle::Entry& e) {
  std::u16string name = Utf16(e.name);
  std::vector<uint8_t> pat(6 + 2 * name.size() + 2);
  kbytes::PutBe32(pat.data(), e.parent);
  kbytes::PutBe16(pat.data() + 4, uint16_t(name.size()));
  for (size_t i = 0; i < name.size(); ++i) kbytes::PutBe16(pat.data() + 6 + 2 * i, name[i]);
  kbytes::PutBe16(pat.data() + 6 + 2 * name.size(), e.dir ? 1 : 2);
  const uint8_t* begin = o.image.data() + o.catalogByte;
  const uint8_t* end = begin + uint64_t(o.nodeSize) * o.catalogNodes;
  for (const uint8_t* p = begin; (p = std::search(p, end, pat.begin(), pat.end())) != end; ++p)
    if (kbytes::Be32(p + pat.size() - 2 + 8) == e.cnid) return (p - begin) / o.nodeSize;
  return -1;
}

// Files whose own record lies in a node the damage left alone, each with the part of its
// path that must still stand above it: all of it when every folder record above survived,
// else what lies below the deepest lost folder (which becomes a stand-in under the lost
// folder).
struct Survivor {
  std::string path;
  std::string below;  // empty: the whole path under the volume
};
std::vector<Survivor> Surviving(const Oracle& o, const std::set<int64_t>& damaged) {
  auto alive = [&](const std::string& p) {
    auto it = o.entries.find(p);
    int64_t node = it == o.entries.end() ? -1 : RecordNode(o, it->second);
    return node >= 0 && !damaged.count(node);
  };
  std::vector<Survivor> out;
  for (auto& kv : o.entries) {
    if (kv.second.dir || !alive(kv.first)) continue;
    Survivor s{kv.first, ""};
    for (std::string p = kv.first; !p.empty();) {
      size_t slash = p.rfind('/');
      p = slash == std::string::npos ? "" : p.substr(0, slash);
      if (!p.empty() && !alive(p)) {
        s.below = kv.first.substr(p.size());
        break;
      }
    }
    out.push_back(s);
  }
  return out;
}

void ExpectSurvivors(const Oracle& o, const ScanRun& r, const std::vector<Survivor>& list) {
  for (const Survivor& s : list) {
    // A folder record in a damaged node may still have been readable: then the file
    // keeps its whole path.
    const Found* f = nullptr;
    auto whole = r.files.find("/Volume/" + s.path);
    if (whole != r.files.end()) {
      f = &whole->second;
    } else if (!s.below.empty()) {
      // Under a stand-in for the lost folder, or under a folder whose name the damage
      // changed: the file's own name and bytes must still be right.
      for (auto& kv : r.files)
        if (kv.first.size() > s.below.size() &&
            kv.first.compare(kv.first.size() - s.below.size(), s.below.size(), s.below) == 0 &&
            kv.second.data == o.bytes.at(s.path))
          f = &kv.second;
    }
    if (!f) {
      ADD_FAILURE() << "missing " << s.path << " (below a lost folder: " << s.below << ")";
      continue;
    }
    EXPECT_TRUE(f->data == o.bytes.at(s.path)) << s.path << " differs";
  }
}

void ExpectFiles(const Oracle& o, const ScanRun& r, const std::vector<std::string>& paths,
                 bool bytes = true) {
  for (const std::string& p : paths) {
    auto it = r.files.find("/Volume/" + p);
    if (it == r.files.end()) {
      ADD_FAILURE() << "missing " << p;
      continue;
    }
    EXPECT_NE(it->second.flags & FF_FORMATTED, 0u) << p;
    if (bytes) {
      EXPECT_TRUE(it->second.data == o.bytes.at(p)) << p << " differs";
    }
  }
}

std::vector<std::string> AllFiles(const Oracle& o) {
  std::vector<std::string> out;
  for (auto& kv : o.entries)
    if (!kv.second.dir) out.push_back(kv.first);
  return out;
}

#define NEED_ORACLE(o)                                                          \
  const Oracle& o = TheOracle();                                                \
  if (!o.ok) GTEST_SKIP() << "hfsplus.img or The Sleuth Kit is not available"
#define NEED_ORACLE_OF(o, fixture)                                              \
  const Oracle& o = TheOracle(fixture);                                         \
  if (!o.ok) GTEST_SKIP() << fixture << " or The Sleuth Kit is not available"

}  // namespace

// Intact and with the volume header zeroed: every file under its path with its bytes,
// nothing else but what lies under the lost-folder; the zeroed header leaves the block
// size to the vote, which must find xorriso's 2048 bytes.
TEST(HfspFormat, RebuildsEveryFileFromIntactAndHeaderlessVolume) {
  NEED_ORACLE(o);
  uint64_t sumBefore = testutil::FileChecksum(testutil::Fixture("hfsplus.img"));
  std::vector<uint8_t> headerless = o.image;
  std::memset(headerless.data() + 1024, 0, 512);
  for (const std::vector<uint8_t>* img : {&o.image, static_cast<const std::vector<uint8_t>*>(&headerless)}) {
    ScanRun r = ScanImage(*img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.lastPercent, 100);
    ExpectFiles(o, r, AllFiles(o));
    EXPECT_EQ(r.files.size(), AllFiles(o).size());
  }
  EXPECT_EQ(testutil::FileChecksum(testutil::Fixture("hfsplus.img")), sumBefore);
}

// A volume that does not begin where its device does, as HFS+ inside a hybrid ISO scanned
// through the partition that carries it (64 KiB into the ISO, the partition from sector 1):
// its header, found in front of its catalog, says where the volume and its block 0 begin.
TEST(HfspFormat, VolumeFoundByItsHeaderInsideItsDevice) {
  NEED_ORACLE(o);
  for (uint64_t before : {1u, 5u, 127u, 128u}) {
    SCOPED_TRACE(before);
    std::vector<uint8_t> image = testutil::RandomBytes(size_t(before) * 512, uint32_t(before));
    image.insert(image.end(), o.image.begin(), o.image.end());
    ScanRun r = ScanImage(image);
    ASSERT_EQ(r.rc, 0);
    ExpectFiles(o, r, AllFiles(o));
    EXPECT_EQ(r.files.size(), AllFiles(o).size());
  }
}

// A header further on than the volume's first catalog node lies inside the volume (its own
// alternate header, or a disk image kept as a file): it must not move the volume's start.
// Here the volume's headers are zeroed and a small volume's image lies in its last blocks:
// the scan finds what it finds with the header in place, every byte the same.
// The same files, each with the same flags and bytes, as the scan of the volume on its own.
void ExpectSameFiles(const ScanRun& got, const ScanRun& want) {
  ASSERT_EQ(got.files.size(), want.files.size());
  for (auto& kv : want.files) {
    auto it = got.files.find(kv.first);
    ASSERT_NE(it, got.files.end()) << kv.first;
    EXPECT_EQ(it->second.flags, kv.second.flags) << kv.first;
    EXPECT_TRUE(it->second.data == kv.second.data) << kv.first;
  }
}

TEST(HfspFormat, HeaderOfAVolumeKeptInsideIsNotTheVolumeStart) {
  NEED_ORACLE(o);
  std::string smallImg = testutil::Fixture("hfsplus_small.img");
  if (smallImg.empty()) GTEST_SKIP() << "hfsplus_small.img missing";
  std::vector<uint8_t> inner = testutil::ReadFile(smallImg);
  std::vector<uint8_t> withHeader = o.image;
  ASSERT_GT(withHeader.size(), inner.size() + 4096);
  std::memcpy(withHeader.data() + withHeader.size() - 2048 - inner.size(), inner.data(), inner.size());
  std::vector<uint8_t> headerless = withHeader;
  std::memset(headerless.data() + 1024, 0, 512);
  std::memset(headerless.data() + headerless.size() - 1024, 0, 512);
  ScanRun want = ScanImage(withHeader), got = ScanImage(headerless);
  ASSERT_EQ(got.rc, 0);
  EXPECT_GT(want.files.size(), AllFiles(o).size() / 2);
  ExpectSameFiles(got, want);
}

// The volume of an HFS+ image file from its header at byte 1024 to the end of its blocks,
// with both headers zeroed; empty when the fixture is missing.
std::vector<uint8_t> HeaderlessVolume(const std::string& fixture, bool* found) {
  *found = false;
  std::string path = testutil::Fixture(fixture);
  if (path.empty()) return {};
  std::vector<uint8_t> all = testutil::ReadFile(path);
  for (size_t at = 0; at + 2048 <= all.size(); at += 512) {
    const uint8_t* h = all.data() + at + 1024;
    if (h[0] != 'H' || h[1] != '+' || h[2] != 0 || h[3] != 4) continue;
    uint64_t bytes = uint64_t(kbytes::Be32(h + 40)) * kbytes::Be32(h + 44);
    if (bytes < 4096 || bytes > all.size() - at) return {};
    std::vector<uint8_t> vol(all.begin() + long(at), all.begin() + long(at + bytes));
    std::memset(vol.data() + 1024, 0, 512);
    std::memset(vol.data() + vol.size() - 1024, 0, 512);
    *found = true;
    return vol;
  }
  return {};
}

// Both headers gone from a volume that begins inside its device: every file under its path
// with its bytes. The oracle's files are text only, which no analyser judges: the catalog's
// header node (a whole number of blocks past the start), the trees' header nodes that no
// file's blocks may cover and the files named as text place it, whether or not it lies a
// whole number of its 2048-byte blocks in (4, 8, 64 sectors).
TEST(HfspFormat, HeaderlessVolumeInsideItsDeviceIsPlacedByWhatSurvives) {
  NEED_ORACLE(o);
  bool found = false;
  std::vector<uint8_t> headerless = HeaderlessVolume("hfsplus.img", &found);
  ASSERT_TRUE(found);
  for (uint64_t before : {1u, 4u, 5u, 8u, 64u, 127u}) {
    SCOPED_TRACE(before);
    std::vector<uint8_t> image = testutil::RandomBytes(size_t(before) * 512, uint32_t(before));
    image.insert(image.end(), headerless.begin(), headerless.end());
    ScanRun r = ScanImage(image);
    ASSERT_EQ(r.rc, 0);
    ExpectFiles(o, r, AllFiles(o));
    EXPECT_EQ(r.files.size(), AllFiles(o).size());
  }
}

// Volumes whose files neither the analysers nor the text test judge. The journaled volume
// is placed by its journal: the info block gives the journal's offset from the volume's
// start, and the journal's header lies there (8 and 16 sectors are whole blocks of 4096
// bytes, where the trees' header nodes alone leave the start open). The small volume,
// whose extents tree is followed by a free block, shifted by one block: its allocation
// file marks the trees' blocks in use under the right start only. Each gives back what it
// gives at the device's start, byte for byte.
TEST(HfspFormat, HeaderlessVolumeInsideItsDeviceIsPlacedByJournalOrAllocationFile) {
  struct Case {
    const char* fixture;
    std::vector<uint64_t> before;
    uint64_t freeBlock;  // marked free in the allocation file; 0 for none
  };
  for (const Case& c : {Case{"hfsplus_journal.img", {3, 8, 16}, 0}, Case{"hfsplus_small.img", {4}, 6}}) {
    SCOPED_TRACE(c.fixture);
    bool found = false;
    std::vector<uint8_t> vol = HeaderlessVolume(c.fixture, &found);
    if (!found) GTEST_SKIP() << c.fixture << " missing";
    if (c.freeBlock) {
      // The allocation file's first block, from the header the damage zeroed.
      std::vector<uint8_t> intact = testutil::ReadFile(testutil::Fixture(c.fixture));
      uint64_t bitmap = uint64_t(kbytes::Be32(&intact[1024 + 112 + 16])) * kbytes::Be32(&intact[1024 + 40]);
      ASSERT_LT(bitmap, vol.size());
      ASSERT_NE(vol[bitmap + c.freeBlock / 8] & (0x80 >> (c.freeBlock % 8)), 0);
      vol[bitmap + c.freeBlock / 8] &= uint8_t(~(0x80 >> (c.freeBlock % 8)));
    }
    ScanRun want = ScanImage(vol);
    ASSERT_EQ(want.rc, 0);
    ASSERT_GE(want.files.size(), 6u);
    for (uint64_t before : c.before) {
      SCOPED_TRACE(before);
      std::vector<uint8_t> image(size_t(before) * 512, 0);
      image.insert(image.end(), vol.begin(), vol.end());
      ExpectSameFiles(ScanImage(image), want);
    }
  }
}

// Typed files place a volume however far in its catalog is found: here past the 100000
// sectors of the header search, 8 sectors more (a whole number of its blocks).
TEST(HfspFormat, HeaderlessVolumeFarInsideItsDeviceIsPlacedByItsFiles) {
  bool found = false;
  std::vector<uint8_t> vol = HeaderlessVolume("hfs_hybrid.iso", &found);
  if (!found) GTEST_SKIP() << "hfs_hybrid.iso missing";
  ScanRun want = ScanImage(vol);
  ASSERT_GE(want.files.size(), 20u);
  std::vector<uint8_t> image(size_t(CHfspFormat::kHeaderSearchSectors + 8) * 512, 0);
  image.insert(image.end(), vol.begin(), vol.end());
  for (auto& kv : want.files) ASSERT_EQ(kv.second.flags & FF_NODATA, 0u) << kv.first;
  ExpectSameFiles(ScanImage(image), want);
}

// Volumes whose start nothing settles. The text-only one lies as far in, where every whole
// number of blocks in front of its catalog leaves the trees' header nodes free and its text
// files deny the device's start. The hybrid ISO's lies 127 sectors into a device of
// 4096-byte sectors, where its blocks would not be whole sectors: its files' heads deny the
// device's start and no start they show can be read. Every file comes back by name with
// its size, flagged without data, its place said to be unknown rather than taken by other
// files, and none with bytes.
TEST(HfspFormat, VolumeWhoseStartIsNotKnownGivesNoBytes) {
  struct Case {
    const char* fixture;
    size_t before;
    int sectorSize;
  };
  for (const Case& c : {Case{"hfsplus.img", size_t(CHfspFormat::kHeaderSearchSectors + 8), 512},
                        Case{"hfs_hybrid.iso", 127, 4096}}) {
    SCOPED_TRACE(c.fixture);
    bool found = false;
    std::vector<uint8_t> vol = HeaderlessVolume(c.fixture, &found);
    if (!found) GTEST_SKIP() << c.fixture << " missing";
    ScanRun want = ScanImage(vol);
    ASSERT_GE(want.files.size(), 20u);
    std::vector<uint8_t> image(c.before * 512, 0);
    image.insert(image.end(), vol.begin(), vol.end());
    image.resize((image.size() + 8191) / 4096 * 4096, 0);
    ScanRun got = ScanImage(image, {}, -1, c.sectorSize);
    ASSERT_EQ(got.files.size(), want.files.size());
    for (auto& kv : want.files) {
      auto it = got.files.find(kv.first);
      ASSERT_NE(it, got.files.end()) << kv.first;
      EXPECT_EQ(it->second.size, kv.second.size) << kv.first;
      EXPECT_EQ(it->second.flags & (FF_NODATA | FF_OVERWRITTEN | FF_FORMATTED),
                uint32_t(FF_NODATA | FF_FORMATTED))
          << kv.first;
      EXPECT_TRUE(it->second.data.empty()) << kv.first;
    }
  }
}

// A smaller volume formatted over the first blocks: its own files come back, so do the old
// files whose catalog nodes were not overwritten; its empty file and the reserved CNIDs
// never appear.
TEST(HfspFormat, OldCatalogSurvivesUnderSmallerVolume) {
  NEED_ORACLE(o);
  testutil::FixtureManifest small;
  std::string smallImg = testutil::Fixture("hfsplus_small.img");
  if (smallImg.empty() || !small.Load("hfsplus_small")) GTEST_SKIP() << "hfsplus_small.img missing";
  std::vector<uint8_t> over = testutil::ReadFile(smallImg);
  std::vector<uint8_t> image = o.image;
  ASSERT_LT(over.size(), o.catalogByte + uint64_t(o.nodeSize) * o.catalogNodes);
  std::memcpy(image.data(), over.data(), over.size());
  std::set<int64_t> damaged;
  for (uint64_t n = 0; o.catalogByte + n * o.nodeSize < over.size(); ++n) damaged.insert(int64_t(n));

  ScanRun r = ScanImage(image);
  ASSERT_EQ(r.rc, 0);
  std::vector<Survivor> survivors = Surviving(o, damaged);
  EXPECT_GT(survivors.size(), 20u);
  EXPECT_LT(survivors.size(), AllFiles(o).size());
  ExpectSurvivors(o, r, survivors);
  for (const testutil::ManifestEntry* e : small.Files()) {
    auto it = r.files.find("/Volume" + e->path);
    if (e->size == 0) {
      EXPECT_EQ(it, r.files.end()) << "empty file " << e->path << " reported";
      continue;
    }
    ASSERT_NE(it, r.files.end()) << e->path;
    EXPECT_TRUE(small.SameAsOriginal(e->path, it->second.data)) << e->path;
  }
  for (auto& kv : r.files) EXPECT_EQ(kv.first.find("$"), std::string::npos) << kv.first;
}

// Faults of single records: a file record made CNID 16 is a system file; a node whose
// offset table runs backwards is no node; neither costs the other files anything.
TEST(HfspFormat, RefusesReservedIdsAndBackwardOffsetTables) {
  NEED_ORACLE(o);
  std::vector<uint8_t> image = o.image;
  std::memset(image.data() + 1024, 0, 512);
  std::vector<std::string> all = AllFiles(o);
  const std::string reserved = all[all.size() / 2];
  int64_t node = RecordNode(o, o.entries.at(reserved));
  ASSERT_GE(node, 0);
  // Patch the CNID of that one record.
  const Oracle::Entry& e = o.entries.at(reserved);
  uint8_t* nodeAt = image.data() + o.catalogByte + uint64_t(node) * o.nodeSize;
  for (uint8_t* p = nodeAt; p + 12 < nodeAt + o.nodeSize; ++p)
    if (kbytes::Be32(p) == e.cnid && kbytes::Be16(p - 8) == 2) {
      kbytes::PutBe32(p, 16);
      break;
    }
  // Another leaf node: records 1 and 2 swap places in the offset table.
  int64_t other = -1;
  for (uint32_t n = 1; n < o.catalogNodes && other < 0; ++n) {
    const uint8_t* d = image.data() + o.catalogByte + uint64_t(n) * o.nodeSize;
    if (n != node && int8_t(d[8]) == -1 && kbytes::Be16(d + 10) >= 3) other = n;
  }
  ASSERT_GE(other, 0);
  uint8_t* tab = image.data() + o.catalogByte + uint64_t(other + 1) * o.nodeSize;
  std::swap(tab[-4], tab[-6]);
  std::swap(tab[-3], tab[-5]);

  ScanRun r = ScanImage(image);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.files.count("/Volume/" + reserved), 0u);
  std::vector<Survivor> expect = Surviving(o, {other});
  expect.erase(std::remove_if(expect.begin(), expect.end(),
                              [&](const Survivor& s) { return s.path == reserved; }),
               expect.end());
  EXPECT_GT(expect.size(), 250u);
  ExpectSurvivors(o, r, expect);
  for (const std::string& p : AllFiles(o)) {
    int64_t n = RecordNode(o, o.entries.at(p));
    if (n == other) {
      EXPECT_EQ(r.files.count("/Volume/" + p), 0u) << p;
    }
  }
}

// One entry of the first leaf's record-offset table pointing past the node (0xFFF0), as
// damage leaves it: that entry's record is lost and nothing else. The records before and
// after it, with the folders they hold, keep every other file at its path with its bytes,
// with the volume header intact and with it gone.
TEST(HfspFormat, DamagedOffsetEntryCostsOnlyItsRecord) {
  NEED_ORACLE(o);
  std::vector<uint8_t> image = o.image;
  const uint32_t firstLeaf = kbytes::Be32(image.data() + o.catalogByte + 14 + 10);
  uint8_t* leaf = image.data() + o.catalogByte + uint64_t(firstLeaf) * o.nodeSize;
  const uint16_t n = kbytes::Be16(leaf + 10);
  auto entry = [&](int i) { return leaf + o.nodeSize - 2 * (i + 1); };
  // The node's last file record but one, so that a record follows it.
  int k = -1;
  for (int i = n - 2; i > 0 && k < 0; --i) {
    const uint8_t* r = leaf + kbytes::Be16(entry(i));
    if (kbytes::Be16(r + 2 + kbytes::Be16(r)) == 2) k = i;
  }
  ASSERT_GT(k, 0);
  const uint8_t* rec = leaf + kbytes::Be16(entry(k));
  const uint32_t parent = kbytes::Be32(rec + 2);
  std::u16string name;
  for (uint16_t u = 0; u < kbytes::Be16(rec + 6); ++u) name += char16_t(kbytes::Be16(rec + 8 + 2 * u));
  std::string lost;
  for (auto& kv : o.entries)
    if (!kv.second.dir && kv.second.parent == parent && Utf16(kv.second.name) == name) lost = kv.first;
  ASSERT_FALSE(lost.empty());
  kbytes::PutBe16(entry(k), 0xFFF0);

  std::vector<std::string> expect = AllFiles(o);
  expect.erase(std::find(expect.begin(), expect.end(), lost));
  std::vector<uint8_t> headerless = image;
  std::memset(headerless.data() + 1024, 0, 512);
  for (std::vector<uint8_t>* img : {&image, &headerless}) {
    ScanRun r = ScanImage(*img);
    ASSERT_EQ(r.rc, 0);
    ExpectFiles(o, r, expect);
    EXPECT_EQ(r.files.size(), expect.size());
    EXPECT_EQ(r.files.count("/Volume/" + lost), 0u);
  }

  // Damage to more than one entry in eight is not damage to a node but no node at all.
  EXPECT_EQ(CHfspFormat::CatalogLeafSectors(leaf, o.nodeSize / 512), int(o.nodeSize / 512));
  for (int i = 1; i < n; ++i) kbytes::PutBe16(entry(i), 0xFFF0);
  EXPECT_EQ(CHfspFormat::CatalogLeafSectors(leaf, o.nodeSize / 512), 0);
}

// The first leaf of the larger xorriso catalog with the offset entry of its first record
// damaged (0xFFF0): that record always starts right behind the descriptor, so the node and
// its folders stay, and every file comes back at its path with its bytes, with the volume
// header intact and with it gone. The probe takes such a node at its size only when its
// first record, read there, ends where the second entry says: with that entry damaged
// too, nothing confirms that a node starts here.
TEST(HfspFormat, DamagedFirstRecordOffsetKeepsTheNode) {
  NEED_ORACLE_OF(o, "hfsplus_xorriso.img");
  std::vector<uint8_t> image = o.image;
  const uint32_t firstLeaf = kbytes::Be32(image.data() + o.catalogByte + 14 + 10);
  uint8_t* leaf = image.data() + o.catalogByte + uint64_t(firstLeaf) * o.nodeSize;
  uint8_t* first = leaf + o.nodeSize - 2;
  ASSERT_EQ(int8_t(leaf[8]), -1);
  ASSERT_EQ(kbytes::Be16(first), 14);
  // The leaf holds folders and files, so that losing it would cost both.
  size_t folders = 0, files = 0;
  for (uint16_t i = 0; i < kbytes::Be16(leaf + 10); ++i) {
    const uint8_t* r = leaf + kbytes::Be16(leaf + o.nodeSize - 2 * (i + 1));
    uint16_t type = kbytes::Be16(r + 2 + kbytes::Be16(r));
    folders += type == 1;
    files += type == 2;
  }
  ASSERT_GT(folders, 0u);
  ASSERT_GT(files, 0u);
  kbytes::PutBe16(first, 0xFFF0);

  const std::vector<std::string> all = AllFiles(o);
  ASSERT_GT(all.size(), 500u);
  std::vector<uint8_t> headerless = image;
  std::memset(headerless.data() + 1024, 0, 512);
  for (std::vector<uint8_t>* img : {&image, &headerless}) {
    ScanRun r = ScanImage(*img);
    ASSERT_EQ(r.rc, 0);
    ExpectFiles(o, r, all);
    EXPECT_EQ(r.files.size(), all.size());
  }

  EXPECT_EQ(CHfspFormat::CatalogLeafSectors(leaf, o.nodeSize / 512), int(o.nodeSize / 512));
  uint8_t* second = first - 2;
  kbytes::PutBe16(second, uint16_t(kbytes::Be16(second) + 2));
  EXPECT_EQ(CHfspFormat::CatalogLeafSectors(leaf, o.nodeSize / 512), 0);
}

// CNIDs are ids of their own, taken whole: a folder numbered 123456789 (once the graph's
// orphan folder id) with its files naming it as parent, a folder numbered above 2^31, and
// a file numbered 123456789 elsewhere all come back at their paths with their bytes.
TEST(HfspFormat, CnidsOfAnyValueKeepTheirPaths) {
  NEED_ORACLE(o);
  std::vector<uint8_t> image = o.image;
  // Two folders that hold files directly, and a file in neither.
  std::vector<uint32_t> folders;
  for (auto& kv : o.entries) {
    if (!kv.second.dir || kv.second.parent == 0 || folders.size() == 2) continue;
    bool holds = false;
    for (auto& f : o.entries) holds |= !f.second.dir && f.second.parent == kv.second.cnid;
    if (holds) folders.push_back(kv.second.cnid);
  }
  ASSERT_EQ(folders.size(), 2u);
  uint32_t file = 0;
  for (auto& kv : o.entries)
    if (!kv.second.dir && kv.second.parent != folders[0] && kv.second.parent != folders[1] && !file)
      file = kv.second.cnid;
  ASSERT_NE(file, 0u);
  const uint32_t renumber[2] = {123456789u, 0xFFFFFFF0u};
  size_t parents = 0, own = 0;
  for (uint32_t n = 1; n < o.catalogNodes; ++n) {
    uint8_t* node = image.data() + o.catalogByte + uint64_t(n) * o.nodeSize;
    if (int8_t(node[8]) != -1) continue;
    uint16_t count = kbytes::Be16(node + 10);
    for (uint16_t i = 0; i < count; ++i) {
      uint16_t off = kbytes::Be16(node + o.nodeSize - 2 * (i + 1));
      if (off < 14 || off + 8u > o.nodeSize) continue;
      uint8_t* rec = node + off;
      uint16_t keyLength = kbytes::Be16(rec);
      if (off + 2u + keyLength + 12 > o.nodeSize) continue;
      uint8_t* data = rec + 2 + keyLength;
      uint16_t type = kbytes::Be16(data);
      for (int k = 0; k < 2; ++k) {
        if (kbytes::Be32(rec + 2) == folders[k]) {
          kbytes::PutBe32(rec + 2, renumber[k]);
          ++parents;
        }
        if (type == 1 && kbytes::Be32(data + 8) == folders[k]) {
          kbytes::PutBe32(data + 8, renumber[k]);
          ++own;
        }
      }
      if (type == 2 && kbytes::Be32(data + 8) == file) kbytes::PutBe32(data + 8, 123456789u);
    }
  }
  EXPECT_EQ(own, 2u);
  EXPECT_GE(parents, 2u);
  ScanRun r = ScanImage(image);
  ASSERT_EQ(r.rc, 0);
  ExpectFiles(o, r, AllFiles(o));
  EXPECT_EQ(r.files.size(), AllFiles(o).size());
}

// Damage under a time limit: byte flips in half the leaf nodes; a stale extents header
// naming nodes far past the device; an extents tree whose index records all name one child
// and one past the tree; the last sector unreadable. The scan ends, and the files of the
// nodes left alone come back whole.
TEST(HfspFormat, SurvivesDamagedNodesAndUnreadableSectors) {
  NEED_ORACLE(o);
  std::vector<uint8_t> headerless = o.image;
  std::memset(headerless.data() + 1024, 0, 512);
  const auto limit = 300.0;

  {
    SCOPED_TRACE("random flips");
    std::vector<uint8_t> image = headerless;
    std::mt19937 rng(1234);
    std::set<int64_t> damaged;
    for (uint32_t n = 1; n < o.catalogNodes; ++n) {
      uint8_t* d = image.data() + o.catalogByte + uint64_t(n) * o.nodeSize;
      if (int8_t(d[8]) != -1 || n % 2) continue;
      damaged.insert(n);
      for (int k = 0; k < 24; ++k) d[rng() % o.nodeSize] ^= uint8_t(1 + rng() % 255);
    }
    ASSERT_FALSE(damaged.empty());
    ScanRun r = ScanImage(image);
    EXPECT_EQ(r.rc, 0);
    EXPECT_LT(r.seconds, limit);
    std::vector<Survivor> expect = Surviving(o, damaged);
    EXPECT_GT(expect.size(), 50u);
    ExpectSurvivors(o, r, expect);
  }

  // The volume's own extents header node (an empty tree) becomes a stale one.
  const uint64_t extByte = uint64_t(kbytes::Be32(o.image.data() + 1024 + 192 + 16)) * 2048;
  auto makeTree = [&](std::vector<uint8_t>& image, uint32_t totalNodes) {
    uint8_t* h = image.data() + extByte + 14;
    kbytes::PutBe16(h, 2);               // treeDepth
    kbytes::PutBe32(h + 2, 1);           // rootNode
    kbytes::PutBe32(h + 10, 2);          // firstLeafNode
    kbytes::PutBe32(h + 14, 2);          // lastLeafNode
    kbytes::PutBe16(h + 18, 2048);       // nodeSize, as xorriso made it
    kbytes::PutBe32(h + 22, totalNodes);
    kbytes::PutBe32(h + 26, 0);          // freeNodes
    kbytes::PutBe32(h + 38, 2);          // big keys, fixed index keys
  };
  {
    std::vector<uint8_t> image = headerless;
    makeTree(image, 0x00FFFFFF);
    ScanRun r = ScanImage(image);
    EXPECT_EQ(r.rc, 0);
    EXPECT_LT(r.seconds, limit);
    ExpectFiles(o, r, AllFiles(o));
  }
  {
    std::vector<uint8_t> image = headerless;
    makeTree(image, 4);
    const int ns = 2048;
    uint8_t* root = image.data() + extByte + ns;
    uint8_t* leaf = root + ns;
    std::memset(root, 0, 2 * ns);
    root[8] = 0;  // index
    root[9] = 2;
    kbytes::PutBe16(root + 10, 4);
    for (int i = 0; i < 4; ++i) {
      uint8_t* rec = root + 14 + 16 * i;
      kbytes::PutBe16(rec, 10);
      kbytes::PutBe32(rec + 4, 100 + i);
      kbytes::PutBe32(rec + 12, i == 3 ? 9 : 2);  // all name node 2, the last one a node past the tree
      kbytes::PutBe16(root + ns - 2 * (i + 1), uint16_t(14 + 16 * i));
    }
    kbytes::PutBe16(root + ns - 10, 14 + 64);
    leaf[8] = 0xFF;
    leaf[9] = 1;
    kbytes::PutBe16(leaf + 10, 2);
    for (int i = 0; i < 2; ++i) {
      uint8_t* rec = leaf + 14 + 76 * i;
      kbytes::PutBe16(rec, 10);
      rec[2] = i ? 0xFF : 0;
      kbytes::PutBe32(rec + 4, 5000 + i);
      kbytes::PutBe32(rec + 12, 300);
      kbytes::PutBe32(rec + 16, 1);
      kbytes::PutBe16(leaf + ns - 2 * (i + 1), uint16_t(14 + 76 * i));
    }
    kbytes::PutBe16(leaf + ns - 6, 14 + 152);
    ScanRun r = ScanImage(image);
    EXPECT_EQ(r.rc, 0);
    EXPECT_LT(r.seconds, limit);
    ExpectFiles(o, r, AllFiles(o), false);  // the two nodes overwrote some file data
  }
  for (const std::vector<uint8_t>* img : {&o.image, static_cast<const std::vector<uint8_t>*>(&headerless)}) {
    ScanRun r = ScanImage(*img, {int64_t(img->size() / 512 - 1)});
    EXPECT_EQ(r.rc, RC_READ_FAILED);  // finished, with one sector unread
    EXPECT_LT(r.seconds, limit);
    ExpectFiles(o, r, AllFiles(o));
  }
  {
    SCOPED_TRACE("unreadable sector in the catalog's first node");
    ScanRun r = ScanImage(headerless, {int64_t(o.catalogByte / 512 + 3)});
    EXPECT_EQ(r.rc, RC_READ_FAILED);
    ExpectSurvivors(o, r, Surviving(o, {0}));
  }
}

// A stop during the probe still hands out what was found before it, and the scan says it
// did not finish.
TEST(HfspFormat, StopStillHandsOutWhatWasFound) {
  NEED_ORACLE(o);
  ScanRun r = ScanImage(o.image, {}, 2);
  EXPECT_EQ(r.rc, -1);
  EXPECT_FALSE(r.files.empty());
  ExpectFiles(o, r, [&] {
    std::vector<std::string> v;
    for (auto& kv : r.files) v.push_back(kv.first.substr(8));
    return v;
  }());
}

// The small pure checks that decide what a stale node is.
TEST(HfspFormat, StructureChecks) {
  EXPECT_EQ(hfsplus_guess_block_sectors(3, 5000), 4);
  EXPECT_EQ(hfsplus_guess_block_sectors(1, 5000), 0);
  EXPECT_EQ(hfsplus_guess_block_sectors(2, 4097), 8);
  EXPECT_EQ(hfsplus_guess_block_sectors(2, uint64_t(2) * 64 * 512 + 1), 0);
  HFSPlusForkData f{};
  f.totalBlocks = 5;
  f.extents[0] = {10, 3};
  f.extents[1] = {20, 2};
  EXPECT_TRUE(hfsplus_fork_block_sum(&f));
  f.totalBlocks = 4;
  EXPECT_FALSE(hfsplus_fork_block_sum(&f));
  f.totalBlocks = 5;
  f.extents[3] = {30, 0};  // a start after the list's end
  EXPECT_FALSE(hfsplus_fork_block_sum(&f));
  f.extents[3] = {0, 0};
  f.extents[1].startBlock = 0;
  EXPECT_FALSE(hfsplus_fork_block_sum(&f));
  std::vector<uint8_t> rec(248, 0);
  kbytes::PutBe16(rec.data(), 2);
  EXPECT_EQ(hfsplus_catalog_record_bounds(rec.data(), 248), 2);
  EXPECT_EQ(hfsplus_catalog_record_bounds(rec.data(), 247), 0);
  kbytes::PutBe16(rec.data(), 3);
  kbytes::PutBe16(rec.data() + 8, 5);
  EXPECT_EQ(hfsplus_catalog_record_bounds(rec.data(), 20), 3);
  EXPECT_EQ(hfsplus_catalog_record_bounds(rec.data(), 19), 0);
}

// Through the format dispatcher on a bare disk: the volume's start that the dispatcher
// found is where the reader reads the volume, and the runs it hands out are disk sectors.
TEST(HfspFormat, DispatcherHandsOverTheVolumeStart) {
  NEED_ORACLE(o);
  const uint64_t start = 2051;
  std::vector<uint8_t> disk(start * 512, 0);
  disk.insert(disk.end(), o.image.begin(), o.image.end());
  disk.resize(disk.size() + (1 << 20), 0);
  testutil::MemDevice dev(disk, 512, 0);
  dev.SetOwnedByCaller(true);
  dev.SetHasPartitionInfo(false);
  Collector files(&dev.bytes());
  Sink sink;
  IScanOperator* scan = CreateFormatScanner(&dev);
  scan->SetFileManager(&files);
  int rc = scan->Scan(&sink);
  EXPECT_EQ(scan->GetScanType(), Scan_FormatHfsp);
  scan->Release();
  ASSERT_EQ(rc, 0);
  ScanRun r;
  r.files = std::move(files.files);
  ExpectFiles(o, r, AllFiles(o));
  EXPECT_EQ(dev.bytesWritten(), 0);
}

namespace {

// The format scan of kind 0x100 over a copy of the volume, seen as a volume of the given
// partition type, or as a whole disk without a partition record (type < 0).
ScanRun DispatchImage(const std::vector<uint8_t>& image, int type, int sectorSize = 512) {
  ScanRun r;
  testutil::MemDevice dev(image, sectorSize, 0);
  dev.SetOwnedByCaller(true);
  if (type < 0)
    dev.SetHasPartitionInfo(false);
  else
    dev.info().PartitionType = uint32_t(type);
  Collector files(&dev.bytes());
  Sink sink;
  IScanOperator* scan = CreateFormatScanner(&dev);
  scan->SetFileManager(&files);
  r.rc = scan->Scan(&sink);
  EXPECT_EQ(scan->GetScanType(), Scan_FormatHfsp) << type;
  scan->Release();
  EXPECT_EQ(dev.bytesWritten(), 0);
  r.files = std::move(files.files);
  return r;
}

}  // namespace

// Both volume headers destroyed, or left with a block size no volume has, and no type byte
// that names HFS+: a drive-letter volume of unknown system, a bare disk, a partition typed
// for Linux. The format scan recognises the catalog by its nodes and runs the HFS+ reader,
// which rebuilds every file with its bytes.
TEST(HfspFormat, FormatScanFindsHeaderlessVolumeByItsCatalog) {
  NEED_ORACLE(o);
  uint64_t sumBefore = testutil::FileChecksum(testutil::Fixture("hfsplus.img"));
  const size_t backup = o.image.size() - 1024;
  ASSERT_EQ(kbytes::Be16(o.image.data() + backup), 0x482B);  // "H+": the backup header
  for (int damage = 0; damage < 3; ++damage) {
    std::vector<uint8_t> image = o.image;
    for (size_t at : {size_t(1024), backup}) {
      if (damage == 0)
        std::memset(image.data() + at, 0, 512);
      else
        kbytes::PutBe32(image.data() + at + 40, damage == 1 ? 0 : 0xFFFFFFFFu);
    }
    for (int type : {int(PT_UNKNOWN_FS), 0x83, -1}) {
      ScanRun r = DispatchImage(image, type);
      ASSERT_EQ(r.rc, 0) << "damage " << damage << " type " << type;
      ExpectFiles(o, r, AllFiles(o));
      EXPECT_EQ(r.files.size(), AllFiles(o).size()) << "damage " << damage << " type " << type;
    }
  }
  // On 4096-byte sectors the nodes are found inside the device sectors (the files of this
  // volume's 2048-byte blocks could not be told in such sectors; only the finding counts).
  std::vector<uint8_t> image = o.image;
  std::memset(image.data() + 1024, 0, 512);
  std::memset(image.data() + backup, 0, 512);
  image.resize((image.size() + 4095) / 4096 * 4096, 0);
  testutil::MemDevice dev(image, 4096, 0);
  dev.SetOwnedByCaller(true);
  dev.info().PartitionType = 0x83;
  CFormat f(&dev);
  uint64_t boot = 1, scanned = 0;
  int fs = 0;
  EXPECT_EQ(f.FsCodeFromPartitionType(&boot, &fs, &scanned), 0);
  EXPECT_EQ(fs, FS_HFSP);
  EXPECT_EQ(boot, 0u);
  EXPECT_EQ(testutil::FileChecksum(testutil::Fixture("hfsplus.img")), sumBefore);
}

// Catalog nodes inside the files of another volume (a disk image kept there) do not make
// it HFS+: that volume's own sectors decide, whether they come before the image (the "."
// clusters of FAT) or only after it (the MFT in the middle of an NTFS volume, whose mirror
// records near the start showed it).
TEST(HfspFormat, CatalogNodesInsideAnotherVolumeDoNotDecide) {
  NEED_ORACLE(o);
  auto detect = [](std::vector<uint8_t> bytes, int* fs) {
    testutil::MemDevice dev(std::move(bytes), 512, 0);
    dev.SetOwnedByCaller(true);
    dev.info().PartitionType = PT_UNKNOWN_FS;
    CFormat f(&dev);
    uint64_t boot = 0, scanned = 0;
    int rc = f.DetectFsByContent(&boot, fs, &scanned);
    EXPECT_EQ(dev.bytesWritten(), 0);
    return rc;
  };
  // NTFS-like: four mirror records at the start, the HFS+ image, and the MFT 8 MiB on.
  std::vector<uint8_t> ntfs(64 << 20, 0);
  for (int k = 0; k < 4; ++k) std::memcpy(ntfs.data() + 16 * 512 + k * 1024, "FILE0", 5);
  std::memcpy(ntfs.data() + (1 << 20), o.image.data(), o.image.size());
  size_t mft = (1 << 20) + o.image.size() + (8 << 20);
  for (int k = 0; k < 16; ++k) std::memcpy(ntfs.data() + mft + k * 1024, "FILE0", 5);
  int fs = -1;
  EXPECT_EQ(detect(ntfs, &fs), 0);
  EXPECT_EQ(fs, FS_NTFS);

  // A real FAT volume with its boot sector gone and the HFS+ image in its free clusters.
  std::string fat = testutil::Fixture("fat16.img");
  if (fat.empty()) GTEST_SKIP() << "fat16.img missing";
  std::vector<uint8_t> vol = testutil::ReadFile(fat);
  ASSERT_GT(vol.size(), o.image.size() * 2);
  std::memset(vol.data(), 0, 512);
  std::memcpy(vol.data() + vol.size() - o.image.size(), o.image.data(), o.image.size());
  fs = -1;
  EXPECT_EQ(detect(vol, &fs), 0);
  EXPECT_EQ(fs, FS_FAT32);

  // With nothing but the HFS+ image, it decides.
  std::vector<uint8_t> bare(o.image);
  std::memset(bare.data() + 1024, 0, 512);
  fs = -1;
  EXPECT_EQ(detect(bare, &fs), 0);
  EXPECT_EQ(fs, FS_HFSP);
}

namespace {

struct EngineFiles : INotifySink {
  std::map<std::string, IFileInfo*> files;  // path below the volume root -> entry
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event != NE_FOUND_FILE || !obj) return 0;
    IFileInfo* f = static_cast<IFileInfo*>(obj);
    if (f->GetFlags() & FF_DIRECTORY) return 0;
    std::string dir = Utf8(reinterpret_cast<const char16_t*>(a));
    size_t root = dir.find("Volume");
    dir = root == std::string::npos ? dir : dir.substr(root + 6);
    while (!dir.empty() && dir[0] == '/') dir.erase(0, 1);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    files[dir + Utf8(f->GetName())] = f;
    return 0;
  }
};

std::vector<uint8_t> ReadBack(IScanOperator* scanner, IFileInfo* f) {
  IFileOP* op = nullptr;
  std::vector<uint8_t> out;
  if (scanner->GetFileOp(f, &op) != 0 || !op) return out;
  std::vector<uint8_t> buf(7777);
  for (uint64_t off = 0; off < f->GetSize();) {
    uint32_t got = 0;
    if (op->Read(buf.data(), uint32_t(buf.size()), off, &got) != 0 || got == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    off += got;
  }
  return out;
}

}  // namespace

// The same through the whole engine, on image files made disks and volumes: the volume as a
// drive letter, as a disk without a table, and as a partition that sfdisk typed 83 (Linux).
// Every file is read back through the engine and compared with The Sleuth Kit's bytes.
TEST(HfspFormat, EngineRebuildsHeaderlessVolumeOnLetterDiskAndLinuxPartition) {
  NEED_ORACLE(o);
  if (!testutil::HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk missing";
  testutil::TempDir dir;
  std::vector<uint8_t> volume = o.image;
  std::memset(volume.data() + 1024, 0, 512);
  std::memset(volume.data() + volume.size() - 1024, 0, 512);
  std::string bare = dir.file("bare.img"), parted = dir.file("parted.img");
  testutil::WriteFile(bare, volume);
  std::vector<uint8_t> disk(2048 * 512, 0);
  disk.insert(disk.end(), volume.begin(), volume.end());
  disk.resize(disk.size() + (1 << 20), 0);
  testutil::WriteFile(parted, disk);
  int status = -1;
  testutil::RunCommand("echo 'start=2048, size=" + std::to_string(volume.size() / 512) + ", type=83' | sfdisk -q '" +
                           parted + "'",
                       &status);
  ASSERT_EQ(status, 0);
  const uint64_t sums[2] = {testutil::FileChecksum(bare), testutil::FileChecksum(parted)};
  struct Case {
    std::string disks, volumes;
    int type;  // device type to scan
  } cases[] = {{dir.file("none.img"), "E=" + bare, DT_LETTER_VOLUME},
               {bare, "", DT_FIXED_DISK},
               {parted, "", DT_PARTITION}};
  for (const Case& c : cases) {
    testutil::ScopedEnv disks("KESTRUM_DISKS", c.disks);
    testutil::ScopedEnv vols("KESTRUM_VOLUMES", c.volumes);
    IRecoveryManagement* rm = nullptr;
    ASSERT_EQ(0, InitKestrum(&rm));
    IDevice* devices[100] = {};
    int n = 0;
    rm->EnumDevices(devices, &n, 100);
    IDevice* target = nullptr;
    for (int i = 0; i < n && devices[i]; ++i) {
      int t = devices[i]->GetType();
      bool want = c.type == DT_FIXED_DISK ? (t == DT_FIXED_DISK || t == DT_OTHER_DISK)
                                          : c.type == DT_PARTITION ? (t == DT_PARTITION || t == DT_PARTITION_OTHER)
                                                                   : t == c.type;
      if (want && !target) target = devices[i];
    }
    ASSERT_NE(target, nullptr) << c.disks << " " << c.volumes;
    if (c.type == DT_PARTITION) {
      PartitionInfo info;
      ASSERT_EQ(target->GetPartitionInfo(&info), 0);
      // Listed with its table byte, or as of unknown system once the sectors said nothing:
      // never as HFS+.
      EXPECT_TRUE(info.PartitionType == 0x83u || info.PartitionType == uint32_t(PT_UNKNOWN_FS))
          << info.PartitionType;
    }
    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    ASSERT_EQ(0, rm->CreateScanOperator(target, Scan_Format, &fm, &so));
    EngineFiles sink;
    fm->SetNotifySink(&sink);
    EXPECT_EQ(0, so->Scan(&sink)) << c.type;
    EXPECT_EQ(so->GetScanType(), Scan_FormatHfsp);
    size_t exact = 0;
    for (const std::string& p : AllFiles(o)) {
      auto it = sink.files.find(p);
      if (it == sink.files.end()) {
        ADD_FAILURE() << "missing " << p << " (device type " << c.type << ")";
        continue;
      }
      bool same = ReadBack(so, it->second) == o.bytes.at(p);
      EXPECT_TRUE(same) << p << " differs (device type " << c.type << ")";
      exact += same;
    }
    EXPECT_EQ(sink.files.size(), AllFiles(o).size());
    RecordProperty("files_exact_type_" + std::to_string(c.type), int(exact));
    so->Release();
    fm->Release();
    // The caller owns disks and letters; partitions go with their disk.
    std::vector<IDevice*> owned;
    for (int i = 0; i < n && devices[i]; ++i)
      if (devices[i]->GetType() != DT_PARTITION && devices[i]->GetType() != DT_PARTITION_OTHER)
        owned.push_back(devices[i]);
    for (IDevice* d : owned) d->Release();
    rm->Release();
  }
  EXPECT_EQ(sums[0], testutil::FileChecksum(bare));
  EXPECT_EQ(sums[1], testutil::FileChecksum(parted));
}

// An index node may stand as high as the deepest tree the header checks let through (16),
// here as in the tree layer. A real catalog leaf of xorriso's (eight sectors) is one node
// until an index descriptor of that height is written at its half: then the half looks
// like a node start of its own, and the eight-sector size is not taken.
TEST(HfspFormat, IndexNodesAsHighAsTheDeepestTreeSplitAProbe) {
  std::string path = testutil::Fixture("hfsplus_xorriso.img");
  if (path.empty()) GTEST_SKIP() << "no xorriso fixture";
  std::vector<uint8_t> image = testutil::ReadFile(path);
  const uint8_t* vh = image.data() + 1024;
  const uint64_t catAt = uint64_t(kbytes::Be32(vh + 272 + 16)) * kbytes::Be32(vh + 40);
  const uint8_t* header = image.data() + catAt + 14;
  const uint32_t nodeSize = kbytes::Be16(header + 18);
  const uint32_t firstLeaf = kbytes::Be32(header + 10);
  ASSERT_EQ(nodeSize, 4096u);
  std::vector<uint8_t> leaf(image.begin() + long(catAt + uint64_t(firstLeaf) * nodeSize),
                            image.begin() + long(catAt + uint64_t(firstLeaf + 1) * nodeSize));
  ASSERT_EQ(int8_t(leaf[8]), -1);
  EXPECT_EQ(CHfspFormat::CatalogLeafSectors(leaf.data(), 8), 8);
  for (uint8_t height : {15, 16, 17}) {
    std::vector<uint8_t> patched = leaf;
    uint8_t* half = patched.data() + nodeSize / 2;
    std::memset(half, 0, 14);  // the descriptor: index node, one record
    half[8] = 0;
    half[9] = height;
    kbytes::PutBe16(half + 10, 1);
    EXPECT_EQ(CHfspFormat::CatalogLeafSectors(patched.data(), 8), height <= 16 ? 0 : 8) << int(height);
  }
}

// Journaled volumes built to TN1150 whose deleted files only the journal still holds. The
// journal lies in the volume, so its stale catalog nodes are probed and every file in them
// comes back with its bytes, beside the live ones. Patched flags: a journal on another device
// (or without the in-volume bit) leaves the live catalog alone; one still waiting to be
// initialised lies in the volume all the same.
TEST(HfspFormat, JournalInsideTheVolumeGivesItsFilesBack) {
  for (const char* name : {"hfsplus_journal.img", "hfsx_journal.img"}) {
    SCOPED_TRACE(name);
    std::string path = testutil::Fixture(name);
    if (path.empty()) GTEST_SKIP() << name << " missing";
    std::vector<uint8_t> image = testutil::ReadFile(path);
    const uint8_t* vh = image.data() + 1024;
    const uint64_t jib = uint64_t(kbytes::Be32(vh + 12)) * kbytes::Be32(vh + 40);
    ASSERT_EQ(kbytes::Be32(image.data() + jib), 1u);  // as a volume with its own journal has it
    const bool hfsx = vh[1] == 'X';

    // The files of the journal's nodes: all but the one that only a fragment between
    // transactions keeps, and a folder moved between two copies stays where its first
    // copy put it. Orphans sit in a stand-in folder under "Lost Location".
    std::map<std::string, std::pair<uint64_t, std::vector<uint8_t>>> want;
    std::string dir = path.substr(0, path.rfind('/') + 1);
    std::ifstream in(path + ".expect");
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> f;
      std::stringstream ss(line);
      for (std::string p; std::getline(ss, p, '|');) f.push_back(p);
      if (f.size() != 4 || f[1] == "gapfile.txt" || !seen.insert(f[1]).second) continue;
      if (f[0] == "/Volume/Lost Location") f[0] += "/DIR00000000";
      want[f[0] + "/" + f[1]] = {std::stoull(f[2]), testutil::ReadFile(dir + f[3])};
    }
    ASSERT_EQ(want.size(), hfsx ? 9u : 8u);
    std::map<std::string, std::vector<uint8_t>> live{{"/Volume/docs/keep.txt", {}}};
    const char* keep = "still here\n";
    live["/Volume/docs/keep.txt"].assign(keep, keep + 11);
    if (hfsx) live["/Volume/docs/Abc"] = {'u', 'p', 'p', 'e', 'r', '\n'};

    for (uint32_t flags : {1u, 5u, 0u, 2u, 3u}) {
      SCOPED_TRACE(flags);
      kbytes::PutBe32(image.data() + jib, flags);
      ScanRun r = ScanImage(image);
      ASSERT_EQ(r.rc, 0);
      const bool inVolume = flags == 1 || flags == 5;
      EXPECT_EQ(r.files.size(), live.size() + (inVolume ? want.size() : 0));
      for (auto& kv : live) {
        auto it = r.files.find(kv.first);
        ASSERT_NE(it, r.files.end()) << kv.first;
        EXPECT_TRUE(it->second.data == kv.second) << kv.first;
      }
      for (auto& kv : want) {
        auto it = r.files.find(kv.first);
        if (!inVolume) {
          EXPECT_EQ(it, r.files.end()) << kv.first;
          continue;
        }
        ASSERT_NE(it, r.files.end()) << kv.first;
        EXPECT_NE(it->second.flags & FF_FORMATTED, 0u) << kv.first;
        EXPECT_EQ(it->second.size, kv.second.first) << kv.first;
        EXPECT_TRUE(it->second.data == kv.second.second) << kv.first << " differs";
      }
    }
  }
}

// What each HFS+ damage gives back, pinned. The journal fixture's node 0 lies at block 196
// (catalog) and 180 (extents) of 4096 bytes: sectors 1568 and 1440; their third sectors are
// 1570 and 1442, past the descriptor and header record that opening a tree decodes.
namespace {

using testutil::DamageImage;
using testutil::DamageRow;

// The primary volume header at byte 1024 and its copy 1024 bytes before the volume's end.
bool ZeroBothHeaders(DamageImage& image) {
  return image.size() > 4096 && image.Zero(1024, 512) && image.Zero(image.size() - 1024, 512);
}

// The same for a volume that lies inside the image: its header is the first "H+" version 4
// at byte 1024 of a 512-byte unit, and its copy lies 1024 bytes before the end of its
// blocks.
bool ZeroBothHeadersInside(DamageImage& image) {
  for (uint64_t at = 0; at + 1024 + 512 <= image.size() && at < (64u << 20); at += 512) {
    std::vector<uint8_t> h = image.Bytes(at + 1024, 512);
    if (h.size() != 512 || h[0] != 'H' || h[1] != '+' || h[2] != 0 || h[3] != 4) continue;
    uint64_t end = at + uint64_t(kbytes::Be32(&h[40])) * kbytes::Be32(&h[44]);
    return end > at + 4096 && end <= image.size() && image.Zero(at + 1024, 512) &&
           image.Zero(end - 1024, 512);
  }
  return false;
}

DamageRow HfsRow(const char* name, const char* image, const char* manifest, int kind, int exact,
                 std::function<bool(DamageImage&)> damage = nullptr,
                 std::vector<std::pair<uint64_t, uint64_t>> unreadable = {}, int device = -1) {
  DamageRow r;
  r.name = name;
  r.image = image;
  r.manifest = manifest;
  r.kind = kind;
  r.exact = exact;
  r.damage = std::move(damage);
  r.unreadable = std::move(unreadable);
  r.device = device;
  return r;
}

// The hybrid ISOs and the volume put by hand into its partition hold every sample file the
// machine could make: all of them must come back, however many that is.
DamageRow AllExact(DamageRow r) {
  r.allExact = true;
  return r;
}

const DamageRow kHfsRows[] = {
    HfsRow("IntactDeleted", "hfsplus.img", "hfsplus", 1, 0),  // no journal, nothing deleted
    HfsRow("HeadersZeroed", "hfsplus.img", "hfsplus", 0x100, 302, ZeroBothHeaders),
    HfsRow("JournalIntactDeleted", "hfsplus_journal.img", "hfsplus_journal", 1, 9),
    HfsRow("JournalIntactVolume", "hfsplus_journal.img", "hfsplus_journal", 0x100, 7),
    HfsRow("JournalHeadersZeroed", "hfsplus_journal.img", "hfsplus_journal", 0x100, 7, ZeroBothHeaders),
    AllExact(HfsRow("HybridIsoPartition", "hfs_hybrid.iso", "hfs_hybrid", 0x100, 0)),
    AllExact(HfsRow("HybridIsoDisk", "hfs_hybrid.iso", "hfs_hybrid", 0x100, 0, nullptr, {}, -2)),
    AllExact(HfsRow("HybridIsoOffset16Partition", "hfs_hybrid_p16.iso", "hfs_hybrid", 0x100, 0)),
    AllExact(HfsRow("HybridIsoOffset16Disk", "hfs_hybrid_p16.iso", "hfs_hybrid", 0x100, 0, nullptr, {}, -2)),
    // Deleted Recovery needs the volume where the partition begins: refused, nothing wrong.
    HfsRow("HybridIsoPartitionDeleted", "hfs_hybrid.iso", "hfs_hybrid", 1, 0),
    AllExact(HfsRow("ShiftedInPartition", "hfs_shifted.img", "hfs_hybrid", 0x100, 0)),
    // Both headers gone from a volume that begins inside its device: the catalog's header
    // node and the files' heads place it (the partition map too, where it is in view).
    AllExact(HfsRow("HybridIsoHeadersZeroedPartition", "hfs_hybrid.iso", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside)),
    AllExact(HfsRow("HybridIsoHeadersZeroedDisk", "hfs_hybrid.iso", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside, {}, -2)),
    AllExact(HfsRow("HybridIsoOffset16HeadersZeroedPartition", "hfs_hybrid_p16.iso", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside)),
    AllExact(HfsRow("HybridIsoOffset16HeadersZeroedDisk", "hfs_hybrid_p16.iso", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside, {}, -2)),
    AllExact(HfsRow("ShiftedInPartitionHeadersZeroed", "hfs_shifted.img", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside)),
    AllExact(HfsRow("ShiftedInPartitionHeadersZeroedDisk", "hfs_shifted.img", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside, {}, -2)),
    // The catalog's header node (ISO sector 132) unreadable as well: the files' heads, read
    // under every start in front of the first leaf node, place the volume all the same.
    AllExact(HfsRow("HybridIsoHeadersZeroedCatalogNode0Unreadable", "hfs_hybrid.iso", "hfs_hybrid", 0x100, 0,
                    ZeroBothHeadersInside, {{132, 132}})),
    // Text files only, which no head test judges: the partition map in front of it places it.
    HfsRow("IsoHeadersZeroed", "hfsplus.iso", "hfsplus", 0x100, 302, ZeroBothHeadersInside),
    HfsRow("CatalogNode0ThirdSectorDeleted", "hfsplus_journal.img", "hfsplus_journal", 1, 9, nullptr,
           {{1570, 1570}}),
    HfsRow("CatalogNode0FirstSectorDeleted", "hfsplus_journal.img", "hfsplus_journal", 1, 9, nullptr,
           {{1568, 1568}}),
    HfsRow("ExtentsNode0ThirdSectorDeleted", "hfsplus_journal.img", "hfsplus_journal", 1, 9, nullptr,
           {{1442, 1442}}),
    HfsRow("ExtentsNode0FirstSectorDeleted", "hfsplus_journal.img", "hfsplus_journal", 1, 8, nullptr,
           {{1440, 1440}}),
    HfsRow("CatalogNode0ThirdSectorVolume", "hfsplus_journal.img", "hfsplus_journal", 0x100, 7, nullptr,
           {{1570, 1570}}),
    HfsRow("ExtentsNode0ThirdSectorVolume", "hfsplus_journal.img", "hfsplus_journal", 0x100, 7, nullptr,
           {{1442, 1442}}),
};

}  // namespace

namespace testutil {
INSTANTIATE_TEST_SUITE_P(Hfs, DamageMatrix, ::testing::ValuesIn(kHfsRows), DamageRowName);
}  // namespace testutil
