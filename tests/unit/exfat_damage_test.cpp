// What each damage to a small exFAT volume gives back, for Deleted Recovery and Volume
// Recovery: the rows of the damage matrix (damage_matrix_test.cpp) over the volumes of
// tests/fixtures/make_exfat_matrix.sh. The damages find what they overwrite through the
// volume's own boot sector, FAT and folders, so that they stay on target if the builder's
// layout moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "damagematrix.h"
#include "filesystems/fatentry.h"

namespace {

using testutil::DamageImage;
using testutil::DamageRow;

// The volume as its boot sector lays it out.
class ExfatMap {
 public:
  struct Set {
    uint64_t file = 0;    // byte offset of the file entry
    uint64_t stream = 0;  // byte offset of the stream extension entry
    uint32_t first = 0;
    uint64_t length = 0;
    bool noFatChain = false;
  };

  explicit ExfatMap(const DamageImage& img) : m_img(img) {
    std::vector<uint8_t> b = img.Bytes(0, 512);
    if (b.size() != 512 || std::memcmp(b.data() + 3, "EXFAT   ", 8) != 0 || b[108] < 9 || b[108] > 12 ||
        b[109] > 15)
      return;
    m_bps = 1u << b[108];
    m_cb = m_bps << b[109];
    m_fat = uint64_t(Le32(b.data() + 80)) * m_bps;
    m_heap = uint64_t(Le32(b.data() + 88)) * m_bps;
    m_count = Le32(b.data() + 92);
    m_root = Le32(b.data() + 96);
    m_ok = true;
  }
  bool ok() const { return m_ok; }
  uint32_t root() const { return m_root; }
  uint32_t count() const { return m_count; }
  uint32_t clusterBytes() const { return m_cb; }
  uint64_t ClusterOffset(uint32_t c) const { return m_heap + uint64_t(c - 2) * m_cb; }
  uint64_t FatEntryOffset(uint32_t c) const { return m_fat + 4ull * c; }

  // A folder's clusters: its one run, or its FAT chain (64 clusters at most).
  std::vector<uint32_t> Clusters(uint32_t first, uint64_t length, bool noFatChain) const {
    std::vector<uint32_t> out;
    uint64_t n = length ? (length + m_cb - 1) / m_cb : 64;
    for (uint32_t c = first; out.size() < n && c >= 2 && c <= m_count + 1;) {
      out.push_back(c);
      if (noFatChain) {
        ++c;
        continue;
      }
      std::vector<uint8_t> e = m_img.Bytes(FatEntryOffset(c), 4);
      if (e.size() != 4) break;
      c = Le32(e.data());
      if (std::find(out.begin(), out.end(), c) != out.end()) break;
    }
    return out;
  }

  // The entry set (live or deleted) at path ("Docs/Letters"), each folder on the way read
  // through its clusters. Names are compared as ASCII.
  bool Find(const std::string& path, Set* out) const {
    if (!m_ok) return false;
    std::vector<uint32_t> dir = Clusters(m_root, 0, false);
    size_t from = 0;
    while (true) {
      size_t slash = path.find('/', from);
      std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
      std::vector<uint64_t> slots;
      for (uint32_t c : dir)
        for (uint32_t k = 0; k < m_cb / 32; ++k) slots.push_back(ClusterOffset(c) + 32ull * k);
      bool found = false;
      for (size_t i = 0; i < slots.size() && !found; ++i) {
        std::vector<uint8_t> f = m_img.Bytes(slots[i], 32);
        if (f.size() != 32 || f[0] == 0) break;
        if ((f[0] & 0x7F) != 0x05 || i + 2 >= slots.size()) continue;
        std::vector<uint8_t> st = m_img.Bytes(slots[i + 1], 32);
        if (st.size() != 32 || (st[0] & 0x7F) != 0x40) continue;
        std::string name;
        for (size_t k = 0; name.size() < st[3] && i + 2 + k < slots.size() && k < 17; ++k) {
          std::vector<uint8_t> n = m_img.Bytes(slots[i + 2 + k], 32);
          for (size_t ch = 0; ch < 15 && name.size() < st[3]; ++ch) name += char(n[2 + 2 * ch]);
        }
        if (name != part) continue;
        out->file = slots[i];
        out->stream = slots[i + 1];
        out->first = Le32(st.data() + 20);
        out->length = Le64(st.data() + 24);
        out->noFatChain = (st[1] & 0x02) != 0;
        found = true;
      }
      if (!found) return false;
      if (slash == std::string::npos) return true;
      dir = Clusters(out->first, out->length, out->noFatChain);
      from = slash + 1;
    }
  }

 private:
  static uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  static uint64_t Le64(const uint8_t* p) { return Le32(p) | uint64_t(Le32(p + 4)) << 32; }

  const DamageImage& m_img;
  bool m_ok = false;
  uint32_t m_bps = 0, m_cb = 0, m_count = 0, m_root = 0;
  uint64_t m_fat = 0, m_heap = 0;
};

bool PutLe32(DamageImage& img, uint64_t offset, uint32_t v) {
  uint8_t b[4];
  kbytes::PutLe32(b, v);
  return img.Write(offset, b, 4);
}

// Every cluster of the root folder zeroed.
bool ZeroRoot(DamageImage& img) {
  ExfatMap m(img);
  if (!m.ok()) return false;
  for (uint32_t c : m.Clusters(m.root(), 0, false))
    if (!img.Zero(m.ClusterOffset(c), m.clusterBytes())) return false;
  return true;
}

// Docs/Letters's stream extension names the root as its first cluster.
bool RedirectFolder(DamageImage& img) {
  ExfatMap m(img);
  ExfatMap::Set s;
  return m.Find("Docs/Letters", &s) && PutLe32(img, s.stream + 20, m.root());
}

// The FAT entry of the first cluster of path points past the volume's end.
bool BreakChainOf(DamageImage& img, const char* path) {
  ExfatMap m(img);
  ExfatMap::Set s;
  return m.Find(path, &s) && !s.noFatChain && PutLe32(img, m.FatEntryOffset(s.first), m.count() + 1000);
}
bool BreakFolderChain(DamageImage& img) { return BreakChainOf(img, "DCIM/100TEST"); }
bool BreakFileChain(DamageImage& img) { return BreakChainOf(img, "Docs/journal.txt"); }

bool ZeroBootSector(DamageImage& img) { return img.Zero(0, 512); }
// The main boot sector and the backup region's copy (sector 12).
bool ZeroBothBootSectors(DamageImage& img) { return img.Zero(0, 512) && img.Zero(12 * 512, 512); }

// File entries that claim 18 secondary entries, far more than their sets hold: a folder
// (followed by the folder's end), the last file of a folder (followed by the end), a
// deleted file and a file chained through the FAT (each followed by the next set). Their
// set checksums no longer match.
bool CountsTooLarge(DamageImage& img) {
  ExfatMap m(img);
  static const char* const kPaths[] = {"DCIM/100TEST", "DCIM/100TEST/IMG_0070 by the lake.bin",
                                       "DCIM/100TEST/IMG_0040 by the lake.bin", "Docs/journal.txt"};
  for (const char* p : kPaths) {
    ExfatMap::Set s;
    const uint8_t count = 18;
    if (!m.Find(p, &s) || !img.Write(s.file + 1, &count, 1)) return false;
  }
  return true;
}

DamageRow Row(const char* name, const char* image, std::function<bool(DamageImage&)> damage, int kind,
              int exact, int elsewhere) {
  DamageRow r;
  r.name = name;
  r.image = image;
  r.manifest = "exfat-matrix";
  r.damage = damage;
  r.kind = kind;
  r.exact = exact;
  r.elsewhere = elsewhere;
  return r;
}

// The same, with the files without data whose clusters other files hold pinned.
DamageRow Row(const char* name, const char* image, std::function<bool(DamageImage&)> damage, int kind,
              int exact, int elsewhere, int overwritten) {
  DamageRow r = Row(name, image, damage, kind, exact, elsewhere);
  r.overwritten = overwritten;
  return r;
}

const char* const kImg = "exfat-matrix.img";

// exfat-matrix holds 82 files, 7 of them deleted. "draft in two pieces.txt" lay in two
// pieces and its chain went with it: no scan can place its second piece, and none hands
// out the bytes after its first piece, which are other files'. What it lacks is its place:
// the files listed without data are not said to have lost their clusters to other files.
const DamageRow kRows[] = {
    Row("intact_deleted", kImg, nullptr, 1, 7, 0),
    Row("intact_volume", kImg, nullptr, 0x100, 81, 0, 0),
    // The names of the root's files and folders are gone with it.
    Row("root_destroyed_deleted", kImg, ZeroRoot, 1, 0, 0),
    Row("root_destroyed_volume", kImg, ZeroRoot, 0x100, 0, 78),
    // Letters's own cluster is found, but nothing names it any more.
    Row("folder_redirected_deleted", kImg, RedirectFolder, 1, 7, 0),
    Row("folder_redirected_volume", kImg, RedirectFolder, 0x100, 77, 4),
    // DCIM/100TEST's chain ends after its first cluster: the two others, which begin with
    // a file entry, name no folder.
    Row("folder_fat_entry_deleted", kImg, BreakFolderChain, 1, 5, 0),
    Row("folder_fat_entry_volume", kImg, BreakFolderChain, 0x100, 43, 38),
    // journal.txt lay in two pieces: its chain is lost after the first cluster.
    Row("file_fat_entry_deleted", kImg, BreakFileChain, 1, 7, 0),
    Row("file_fat_entry_volume", kImg, BreakFileChain, 0x100, 80, 0),
    // Without the main boot sector the partition's file system is not known: no
    // Deleted Recovery. Volume Recovery reads the backup region's copy.
    Row("boot_destroyed_deleted", kImg, ZeroBootSector, 1, 0, 0),
    Row("boot_destroyed_volume", kImg, ZeroBootSector, 0x100, 81, 0),
    Row("both_boots_destroyed_deleted", kImg, ZeroBothBootSectors, 1, 0, 0),
    Row("both_boots_destroyed_volume", kImg, ZeroBothBootSectors, 0x100, 81, 0),
    // The new root took the old one's cluster.
    Row("same_layout_format_deleted", "exfat-matrix-qformat.img", nullptr, 1, 0, 0),
    Row("same_layout_format_volume", "exfat-matrix-qformat.img", nullptr, 0x100, 0, 77, 0),
    Row("cluster_size_format_deleted", "exfat-matrix-c32k.img", nullptr, 1, 0, 0),
    Row("cluster_size_format_volume", "exfat-matrix-c32k.img", nullptr, 0x100, 0, 77, 0),
    Row("counts_too_large_deleted", kImg, CountsTooLarge, 1, 7, 0),
    Row("counts_too_large_volume", kImg, CountsTooLarge, 0x100, 81, 0),
};

// A file entry set by hand: file entry with the count given (0: its own), stream
// extension, name entries.
std::vector<uint8_t> EntrySet(const std::u16string& name, uint8_t count, bool live, uint32_t first,
                              uint64_t length) {
  size_t names = (name.size() + 14) / 15;
  std::vector<uint8_t> v((2 + names) * 32, 0);
  v[0] = live ? 0x85 : 0x05;
  v[1] = count ? count : uint8_t(1 + names);
  v[32] = live ? 0xC0 : 0x40;
  v[33] = 0x03;  // allocation possible, no FAT chain
  v[35] = uint8_t(name.size());
  kbytes::PutLe64(&v[32 + 8], length);
  kbytes::PutLe32(&v[32 + 20], first);
  kbytes::PutLe64(&v[32 + 24], length);
  for (size_t k = 0; k < names; ++k) {
    uint8_t* e = &v[(2 + k) * 32];
    e[0] = live ? 0xC1 : 0x41;
    for (size_t c = 0; c < 15 && k * 15 + c < name.size(); ++c)
      kbytes::PutLe16(e + 2 + 2 * c, name[k * 15 + c]);
  }
  return v;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

struct Parsed {
  std::vector<fat::ExfatItem> items;
  fat::ExfatDirParser::Result last = fat::ExfatDirParser::kMore;
};

// Feeds the bytes in blocks of block bytes, then ends the directory.
Parsed Parse(const std::vector<uint8_t>& bytes, size_t block) {
  Parsed p;
  fat::ExfatDirParser parser;
  auto sink = [&p](const fat::ExfatItem& it) {
    p.items.push_back(it);
    return true;
  };
  for (size_t at = 0; at < bytes.size() && p.last == fat::ExfatDirParser::kMore; at += block)
    p.last = parser.Feed(&bytes[at], std::min(block, bytes.size() - at), sink);
  parser.Flush(sink);
  return p;
}

std::string Names(const Parsed& p) {
  std::string s;
  for (const auto& it : p.items) {
    s += s.empty() ? "" : " ";
    for (char16_t c : it.name) s += char(c);
    if (it.cut) s += "*";
  }
  return s;
}

// A file entry whose count of secondary entries was damaged upwards (as on a card where
// a file claimed 18) ends at the next entry that is no secondary entry of its own state;
// it is kept, marked cut, when its stream and names are all there.
TEST(ExfatDirParser, SetWhoseCountIsTooLargeEndsAtTheNextPrimaryEntry) {
  const std::vector<uint8_t> end(32, 0);
  const auto a18 = EntrySet(u"debian.mp3", 18, true, 10, 5000);
  const auto b = EntrySet(u"a name of more than fifteen.txt", 0, true, 20, 100);
  const auto gone = EntrySet(u"gone.txt", 0, false, 30, 100);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t block;
    const char* names;
  };
  const Case cases[] = {
      {"followed by a file entry", Join({a18, b, end}), 4096, "debian.mp3* a name of more than fifteen.txt"},
      {"followed by the directory's end", Join({b, a18, end}), 4096,
       "a name of more than fifteen.txt debian.mp3*"},
      {"the last entries fed", Join({b, a18}), 4096, "a name of more than fifteen.txt debian.mp3*"},
      {"followed by a deleted set", Join({a18, gone, end}), 4096, "debian.mp3* gone.txt"},
      {"across blocks", Join({a18, b, end}), 32, "debian.mp3* a name of more than fifteen.txt"},
      // A count past the 18 any name needs, read the same way.
      {"a count of 200", Join({EntrySet(u"debian.mp3", 200, true, 10, 5000), b, end}), 4096,
       "debian.mp3* a name of more than fifteen.txt"},
      // A deleted set claims too much as well.
      {"deleted", Join({EntrySet(u"gone.txt", 18, false, 30, 100), b, end}), 4096,
       "gone.txt* a name of more than fifteen.txt"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.bytes, c.block);
    EXPECT_EQ(Names(p), c.names) << c.what;
  }
  // A set whose second name entry is missing is still dropped: its name is not all there.
  auto cut = EntrySet(u"a name of more than fifteen.txt", 18, true, 20, 100);
  cut.resize(cut.size() - 32);
  EXPECT_EQ(Names(Parse(Join({cut, a18, end}), 4096)), "debian.mp3*");
  // A set with its own count, cut by a block's end, is completed from the next block.
  Parsed whole = Parse(Join({b, end}), 64);
  ASSERT_EQ(whole.items.size(), 1u);
  EXPECT_FALSE(whole.items[0].cut);
  EXPECT_EQ(whole.items[0].firstCluster, 20u);
  EXPECT_EQ(whole.last, fat::ExfatDirParser::kEnd);
}

}  // namespace

namespace testutil {
INSTANTIATE_TEST_SUITE_P(Exfat, DamageMatrix, ::testing::ValuesIn(kRows), DamageRowName);
}  // namespace testutil
