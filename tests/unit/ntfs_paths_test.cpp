// The NTFS record reader beyond single records, on volumes made by mkntfs and filled
// through ntfs-3g: every record such a volume holds passes the plausibility check, full
// paths follow the parent references to the files' real paths, directory index buffers
// give the folder tree, and broken chains and buffers end without reading outside.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "filesystems/ntfs/ntfs.h"
#include "fixtures.h"
#include "graphfs/graphfs.h"
#include "memdevice.h"
#include "testutil.h"

namespace {

using testutil::Utf8;

// A volume image behind a device, its $MFT runs read from record 0 as the scanner does.
struct Mft {
  testutil::MemDevice* dev = nullptr;
  CNTFS* ntfs = nullptr;
  MftRun* runs = nullptr;
  uint64_t records = 0;

  bool Open(std::vector<uint8_t> image, int sector = 512) {
    NtfsBootInfo boot;
    if (ParseNtfsBootSector(image.data(), image.size(), &boot) != 0) return false;
    dev = new testutil::MemDevice(std::move(image), sector, int(boot.clusterBytes));
    dev->SetOwnedByCaller(true);
    ntfs = new CNTFS(dev);
    if (ntfs->SetVolumeInfo(u"Volume/", uint32_t(sector), 1) != 0 ||
        ntfs->SetBootInfo(boot, uint32_t(sector)) != 0)
      return false;
    std::vector<uint8_t> rec(ntfs->RecordBytes());
    if (ntfs->ReadVolumeSectors(ntfs->ClusterToSector(boot.mftLcn), ntfs->SectorsPerRecord(), rec.data()) != 0 ||
        ntfs->ApplyFixup(rec.data()) != 0)
      return false;
    NtfsAttr a;
    std::vector<NtfsRun> pairs;
    if (ntfs->FindUnnamed(rec.data(), NTFS_AT_DATA, &a) != 0 || !a.nonResident ||
        ntfs->DecodeMappingPairs(rec.data() + a.pairsOffset, a.pairsLength, &pairs) != 0)
      return false;
    MftRun** tail = &runs;
    for (const NtfsRun& r : pairs) {
      if (r.lcn < 0) return false;
      uint64_t n = r.clusters * boot.clusterBytes / boot.recordBytes;
      *tail = new MftRun{ntfs->ClusterToSector(uint64_t(r.lcn)), records, records + n - 1, nullptr};
      tail = &(*tail)->next;
      records += n;
    }
    return records > 0;
  }
  ~Mft() {
    if (runs) CNTFS::FreeMftRuns(runs);
    delete ntfs;
    delete dev;
  }
  // The record fixed up, or empty when it is not a FILE record.
  std::vector<uint8_t> Record(uint64_t n) {
    std::vector<uint8_t> rec(ntfs->RecordBytes());
    uint64_t s = ntfs->RecordToSector(runs, n);
    if (s == NTFS_NO_SECTOR || ntfs->ReadVolumeSectors(s, ntfs->SectorsPerRecord(), rec.data()) != 0) return {};
    if (std::memcmp(rec.data(), "FILE", 4) != 0 || ntfs->ApplyFixup(rec.data()) != 0) return {};
    return rec;
  }
  // Byte position in the image of record n's byte `off`.
  uint64_t ImageOffset(uint64_t n, uint32_t off) {
    return ntfs->RecordToSector(runs, n) * ntfs->BytesPerSector() + off;
  }
};

// Offset in the record of the first $FILE_NAME value, 0 when there is none.
uint32_t FileNameValue(CNTFS* ntfs, const std::vector<uint8_t>& rec) {
  uint32_t cursor = 0;
  NtfsAttr a;
  while (ntfs->NextAttribute(rec.data(), &cursor, &a) == 1)
    if (a.type == NTFS_AT_FILE_NAME) return a.valueOffset;
  return 0;
}

struct Named {
  uint64_t number;
  std::u16string name;
  uint64_t parent;
  bool dir;
  bool inUse;
};

std::vector<Named> NamedRecords(Mft& m) {
  std::vector<Named> out;
  for (uint64_t n = 0; n < m.records; ++n) {
    auto rec = m.Record(n);
    if (rec.empty()) continue;
    Named e{n, u"", 0, false, (kbytes::Le16(&rec[22]) & NTFS_RECORD_IN_USE) != 0};
    if (m.ntfs->GetFileName(rec.data(), e.name, &e.parent, &e.dir, nullptr) == 0) out.push_back(e);
  }
  return out;
}

}  // namespace

// The plausibility check, date check included, refuses none of the records in use that
// mkntfs and ntfs-3g write; and the date check alone refuses no record of such a volume,
// deleted or not: its answer never changes when the creation time is made a plain date.
TEST(NtfsPaths, EveryRecordOfRealVolumesPassesTheCheck) {
  struct Image {
    const char* name;
    int sector;
  } images[] = {{"ntfs.img", 512},          {"ntfs4k.img", 512},         {"ntfs-qformat.img", 512},
                {"ntfs-cases.img", 512},    {"ntfs-reuse.img", 512},     {"ntfs_reader.img", 512},
                {"ntfs_reader_4k.img", 4096}, {"ntfs_format.img", 512}};
  int volumes = 0;
  for (const Image& im : images) {
    std::string path = testutil::Fixture(im.name);
    if (path.empty()) continue;
    SCOPED_TRACE(im.name);
    Mft m;
    ASSERT_TRUE(m.Open(testutil::ReadFile(path), im.sector));
    size_t checked = 0, compared = 0;
    for (uint64_t n = 0; n < m.records; ++n) {
      auto rec = m.Record(n);
      if (rec.empty() || kbytes::Le64(&rec[32]) != 0) continue;  // extension records hold no $SI
      uint32_t first = kbytes::Le16(&rec[20]);
      if (first + 24 <= rec.size() && kbytes::Le32(&rec[first]) == NTFS_AT_STANDARD_INFORMATION &&
          rec[first + 8] == 0) {
        uint32_t value = first + kbytes::Le16(&rec[first + 20]);
        ASSERT_LE(value + 8, rec.size());
        auto plain = rec;
        kbytes::PutLe64(&plain[value], 130000000000000000ull);  // a day of 2012
        EXPECT_EQ(m.ntfs->ValidateRecord(rec.data()), m.ntfs->ValidateRecord(plain.data())) << "record " << n;
        ++compared;
      }
      if (!(kbytes::Le16(&rec[22]) & NTFS_RECORD_IN_USE)) continue;
      EXPECT_EQ(m.ntfs->ValidateRecord(rec.data()), 0) << "record " << n;
      ++checked;
    }
    EXPECT_GT(checked, 16u);
    EXPECT_GE(compared, checked);
    ++volumes;
  }
  if (!volumes) GTEST_SKIP() << "no NTFS image built";
}

TEST(NtfsPaths, CreationDateMustNameACalendarDay) {
  std::string path = testutil::Fixture("ntfs_reader.img");
  if (path.empty()) GTEST_SKIP();
  Mft m;
  ASSERT_TRUE(m.Open(testutil::ReadFile(path)));
  auto base = m.Record(5);
  ASSERT_FALSE(base.empty());
  ASSERT_EQ(m.ntfs->ValidateRecord(base.data()), 0);
  uint32_t si = kbytes::Le16(&base[20]);
  uint32_t value = si + kbytes::Le16(&base[si + 20]);
  for (uint64_t t : {0ull, 864000000000ull - 1, 0x7FFFFFFFFFFFFFFFull}) {
    auto rec = base;
    kbytes::PutLe64(&rec[value], t);
    EXPECT_EQ(m.ntfs->ValidateRecord(rec.data()), 0) << t;
  }
  // Past the top of the range a FILETIME names no date at all.
  for (uint64_t t : {0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
    auto rec = base;
    kbytes::PutLe64(&rec[value], t);
    EXPECT_EQ(m.ntfs->ValidateRecord(rec.data()), RC_CORRUPT_RECORD) << t;
    std::u16string name;
    uint64_t parent;
    EXPECT_EQ(m.ntfs->GetFileName(rec.data(), name, &parent, nullptr, nullptr), RC_CORRUPT_RECORD);
  }
  // Only the creation time is checked.
  auto rec = base;
  kbytes::PutLe64(&rec[value + 8], 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(m.ntfs->ValidateRecord(rec.data()), 0);
}

// Every file of a real volume, live or deleted, is named by its full path as the volume's
// own tree has it; folders that are gone or reused end the chain in "LostFile".
TEST(NtfsPaths, FullPathsFollowParentsToTheRealPaths) {
  testutil::FixtureManifest manifest;
  if (!manifest.Load("ntfs")) GTEST_SKIP();
  std::vector<uint8_t> image = testutil::ReadFile(manifest.ImagePath());
  Mft m;
  ASSERT_TRUE(m.Open(image));
  std::u16string path;
  ASSERT_EQ(m.ntfs->BuildFullPath(m.runs, 5, &path), 0);
  EXPECT_EQ(path, u"Volume/");
  EXPECT_EQ(m.ntfs->BuildFullPath(nullptr, 5, &path), RC_BAD_ARGUMENT);
  EXPECT_EQ(m.ntfs->BuildFullPath(m.runs, m.records + 10, &path), 2);

  size_t live = 0, deleted = 0;
  std::map<std::string, uint64_t> numberOf;
  for (const Named& e : NamedRecords(m)) {
    if (e.dir || e.number < 24 || e.name[0] == u'$') continue;  // the system's own files
    ASSERT_EQ(m.ntfs->BuildFullPath(m.runs, e.number, &path), 0) << e.number;
    std::string got = Utf8(path);
    ASSERT_EQ(got.rfind("Volume/", 0), 0u) << got;
    std::string rel = got.substr(6);
    numberOf[rel] = e.number;
    const testutil::ManifestEntry* me = manifest.Find(rel);
    if (e.inUse) {
      ASSERT_NE(me, nullptr) << got;
      EXPECT_FALSE(me->deleted) << got;
      ++live;
    } else if (me && me->deleted) {
      ++deleted;
    }
  }
  EXPECT_GT(live, 1000u);
  EXPECT_GT(deleted, 5u);

  // A cycle through two folders: "many" made a child of its own child d01.
  ASSERT_TRUE(numberOf.count("/many/d01/f1001.txt"));
  uint64_t file = numberOf["/many/d01/f1001.txt"];
  auto fileRec = m.Record(file);
  uint64_t d01 = kbytes::Le64(&fileRec[FileNameValue(m.ntfs, fileRec)]) & 0xFFFFFFFFFFFFull;
  auto d01Rec = m.Record(d01);
  uint64_t many = kbytes::Le64(&d01Rec[FileNameValue(m.ntfs, d01Rec)]) & 0xFFFFFFFFFFFFull;
  auto manyRec = m.Record(many);
  uint32_t at = FileNameValue(m.ntfs, manyRec);
  ASSERT_GT(at, 0u);
  ASSERT_LT(at + 8, 510u);  // clear of the sector tail the fixup restores
  kbytes::PutLe64(&m.dev->bytes()[m.ImageOffset(many, at)], d01);
  ASSERT_EQ(m.ntfs->BuildFullPath(m.runs, file, &path), 0);
  EXPECT_EQ(Utf8(path), "Volume/LostFile/many/d01/f1001.txt");
  // A parent that is a file: the chain breaks there.
  uint64_t other = 0;
  for (const auto& kv : numberOf)
    if (kv.first.rfind("/many/d02/", 0) == 0) other = kv.second;
  ASSERT_NE(other, 0u);
  kbytes::PutLe64(&m.dev->bytes()[m.ImageOffset(many, at)], other);
  ASSERT_EQ(m.ntfs->BuildFullPath(m.runs, file, &path), 0);
  EXPECT_EQ(Utf8(path), "Volume/LostFile/many/d01/f1001.txt");
  // The record itself unreadable: nothing to name.
  m.dev->bytes()[m.ImageOffset(file, 0)] = 'X';
  EXPECT_EQ(m.ntfs->BuildFullPath(m.runs, file, &path), 2);
  EXPECT_EQ(path, u"");
}

namespace {

struct Out {
  std::map<std::u16string, std::u16string> folderOf;
};

int Collect(const char16_t* folder, const char16_t* name, void*, void* user, int) {
  static_cast<Out*>(user)->folderOf[name] = folder;
  return 0;
}

}  // namespace

// The folders of a real volume come back from the directories' index buffers alone: every
// file placed under them gets its real folder path.
TEST(NtfsPaths, IndexBuffersGiveTheFolderTree) {
  testutil::FixtureManifest manifest;
  if (!manifest.Load("ntfs")) GTEST_SKIP();
  Mft m;
  ASSERT_TRUE(m.Open(testutil::ReadFile(manifest.ImagePath())));
  GFS::CGraphFileSystem graph;
  graph.SetRootNode(5, -1, u"Volume", nullptr, u"Lost Location");
  std::vector<Named> named = NamedRecords(m);
  size_t withAllocation = 0;
  for (const Named& e : named) {
    if (!e.dir || !e.inUse) continue;
    auto rec = m.Record(e.number);
    int rc = m.ntfs->ReadIndexAllocation(rec.data(), &graph);
    EXPECT_TRUE(rc == 0 || rc == RC_MISSING) << e.number;
    if (rc == 0) ++withAllocation;
  }
  EXPECT_GE(withAllocation, 2u);  // the root and "many" at least
  EXPECT_GT(graph.IdCount(), 20u);
  for (const Named& e : named)
    if (!e.dir && e.inUse && e.number >= 24)
      graph.AddNamedNode(int64_t(e.number), int64_t(e.parent), e.name.c_str(), nullptr, nullptr);
  Out out;
  graph.EnumNodes(Collect, &out);
  size_t placed = 0;
  for (const auto& kv : out.folderOf) {
    std::string folder = Utf8(kv.second);
    if (folder.rfind("/Volume/Lost Location", 0) == 0) continue;  // a folder indexed only in its root
    if (kv.first[0] == u'$' || folder.find(u'$') != std::string::npos) continue;  // the system's files
    ASSERT_EQ(folder.rfind("/Volume", 0), 0u) << folder;
    std::string rel = folder.substr(7) + "/" + Utf8(kv.first);
    const testutil::ManifestEntry* me = manifest.Find(rel);
    EXPECT_TRUE(me && !me->deleted) << rel;
    ++placed;
  }
  EXPECT_GT(placed, 1000u);  // the files of /many/dNN
  ASSERT_TRUE(out.folderOf.count(u"f1001.txt"));

  // Not a directory record, and no record at all.
  auto fileRec = m.Record(named.back().number);
  for (const Named& e : named)
    if (!e.dir && e.inUse && e.number >= 24) fileRec = m.Record(e.number);
  EXPECT_EQ(m.ntfs->ReadIndexAllocation(fileRec.data(), &graph), RC_CORRUPT_RECORD);
  EXPECT_EQ(m.ntfs->ReadIndexAllocation(nullptr, &graph), RC_BAD_ARGUMENT);
}

namespace {

// One INDX buffer of 4096 bytes with the given entries (file reference, parent, name,
// namespace), fixed up as on disk.
std::vector<uint8_t> IndexBlock(const std::vector<std::tuple<uint64_t, uint64_t, std::u16string, uint8_t>>& entries) {
  std::vector<uint8_t> b(4096, 0);
  std::memcpy(b.data(), "INDX", 4);
  kbytes::PutLe16(&b[4], 0x28);
  kbytes::PutLe16(&b[6], 9);
  uint32_t pos = 0x28 + 18;
  pos = (pos + 7) & ~7u;
  kbytes::PutLe32(&b[24], pos - 24);
  for (const auto& e : entries) {
    const std::u16string& name = std::get<2>(e);
    uint32_t key = 66 + 2 * uint32_t(name.size());
    uint32_t len = (16 + key + 7) & ~7u;
    kbytes::PutLe64(&b[pos], std::get<0>(e));
    kbytes::PutLe16(&b[pos + 8], uint16_t(len));
    kbytes::PutLe16(&b[pos + 10], uint16_t(key));
    kbytes::PutLe64(&b[pos + 16], std::get<1>(e));
    b[pos + 16 + 64] = uint8_t(name.size());
    b[pos + 16 + 65] = std::get<3>(e);
    for (size_t i = 0; i < name.size(); ++i) kbytes::PutLe16(&b[pos + 16 + 66 + 2 * i], name[i]);
    pos += len;
  }
  kbytes::PutLe16(&b[pos + 8], 16);
  kbytes::PutLe16(&b[pos + 12], 2);  // the last entry
  pos += 16;
  kbytes::PutLe32(&b[28], pos - 24);
  kbytes::PutLe32(&b[32], 4096 - 24);
  // Update sequence: number 7 in every sector tail, the true tails in the array.
  kbytes::PutLe16(&b[0x28], 7);
  for (int i = 1; i <= 8; ++i) {
    std::memcpy(&b[0x28 + 2 * i], &b[512 * i - 2], 2);
    kbytes::PutLe16(&b[512 * i - 2], 7);
  }
  return b;
}

}  // namespace

// Entries are taken only inside the buffer's own bounds; a buffer whose sector tails do
// not match its sequence number is passed over, and DOS aliases and dotted names are not
// folders.
TEST(NtfsPaths, IndexBuffersAreBoundedAndFixedUp) {
  std::vector<std::tuple<uint64_t, uint64_t, std::u16string, uint8_t>> entries = {
      {40, 5, u"Photos", 1}, {41, 5, u"PHOTOS~1", 2}, {42, 40, u"a.jpg", 1}, {43, 40, u"2019", 0}};
  std::vector<uint8_t> disk(64 * 1024, 0);
  auto good = IndexBlock(entries);
  std::copy(good.begin(), good.end(), disk.begin() + 8192);
  // A second buffer whose last sector lost its tail (a torn write): not taken.
  auto torn = IndexBlock({{50, 5, u"Torn", 1}});
  torn[4095] ^= 0xFF;
  std::copy(torn.begin(), torn.end(), disk.begin() + 16384);
  // A third with an entry claiming to run past the buffer's end.
  auto wide = IndexBlock({{60, 5, u"Wide", 1}, {61, 5, u"After", 1}});
  uint32_t first = 24 + kbytes::Le32(&wide[24]);
  kbytes::PutLe16(&wide[first + 8], 0xFFF8);
  std::copy(wide.begin(), wide.end(), disk.begin() + 24576);
  testutil::MemDevice dev(disk, 512, 4096);
  dev.SetOwnedByCaller(true);
  CNTFS ntfs(&dev);
  ASSERT_EQ(ntfs.SetVolumeInfo(u"", 512, 8), 0);
  RunList runs(8, 64);  // sectors 8..71: all three buffers
  GFS::CGraphFileSystem graph;
  graph.SetRootNode(5, -1, u"Volume", nullptr, u"Lost Location");
  EXPECT_EQ(ntfs.WalkIndexBuffers(&runs, &graph), 0);
  EXPECT_EQ(graph.IdCount(), 2u + 2u);  // the root, the orphan folder, Photos and 2019
  graph.AddNamedNode(100, 43, u"x.txt", nullptr, nullptr);
  Out out;
  graph.EnumNodes(Collect, &out);
  EXPECT_EQ(out.folderOf[u"x.txt"], u"/Volume/Photos/2019");

  // An entry of length 0 ends the walk; so does a first entry outside the node.
  auto zero = IndexBlock({{70, 5, u"Z", 1}});
  ASSERT_EQ(CNTFS::ApplyBlockFixup(zero.data(), 4096), 0);
  kbytes::PutLe16(&zero[24 + kbytes::Le32(&zero[24]) + 8], 0);
  EXPECT_EQ(CNTFS::AddIndexEntries(zero.data(), 4096, &graph), 0u);
  auto outside = IndexBlock({{70, 5, u"Z", 1}});
  ASSERT_EQ(CNTFS::ApplyBlockFixup(outside.data(), 4096), 0);
  kbytes::PutLe32(&outside[24], 0x7FFFFFF0);
  EXPECT_EQ(CNTFS::AddIndexEntries(outside.data(), 4096, &graph), 0u);
  kbytes::PutLe32(&outside[24], 16);
  kbytes::PutLe32(&outside[28], 0xFFFFFFF0);
  EXPECT_EQ(CNTFS::AddIndexEntries(outside.data(), 4096, &graph), 0u);

  // Unreadable sectors are reported, and the walk still ends.
  RunList far(1000, 16);
  EXPECT_EQ(ntfs.WalkIndexBuffers(&far, &graph), RC_READ_FAILED);
}

// A folder of ntfs.img whose index root ntfs-3g moved to an extension record: its attribute
// list names the base record and the extension, which points back at its base. One entry
// whose name lies outside it is left out and the list goes on; a length that does not fit
// ends the list there.
TEST(NtfsPaths, AttributeListOfARealFolder) {
  testutil::FixtureManifest manifest;
  if (!manifest.Load("ntfs")) GTEST_SKIP();
  std::vector<uint8_t> image = testutil::ReadFile(manifest.ImagePath());
  Mft m;
  ASSERT_TRUE(m.Open(image));
  CNTFS::RunReader read = [&image](const RunList* runs, uint64_t size, uint8_t* out) {
    uint64_t done = 0;
    for (const RunList* r = runs; r && done < size; r = r->m_next) {
      uint64_t take = std::min<uint64_t>(uint64_t(r->m_count) * 512, size - done);
      if (r->m_start == RUN_HOLE)
        std::memset(out + done, 0, take);
      else if (r->m_start * 512 + take <= image.size())
        std::memcpy(out + done, &image[r->m_start * 512], take);
      else
        return RC_READ_FAILED;
      done += take;
    }
    return done == size ? RC_OK : RC_READ_FAILED;
  };
  uint64_t base = 0;
  std::vector<uint8_t> rec;
  NtfsAttr list;
  for (uint64_t n = 24; n < m.records && !base; ++n) {
    rec = m.Record(n);
    if (!rec.empty() && m.ntfs->ValidateRecord(rec.data()) == 0 &&
        m.ntfs->FindUnnamed(rec.data(), 0x20, &list) == 0)
      base = n;
  }
  ASSERT_NE(base, 0u) << "no attribute list on the volume";
  ASSERT_TRUE(list.nonResident);
  std::vector<layout::NtfsAttributeListEntry> entries;
  ASSERT_EQ(m.ntfs->ReadAttributeList(rec.data(), read, &entries), 0);
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0].type, uint32_t(NTFS_AT_STANDARD_INFORMATION));
  size_t extensions = 0, named = entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const layout::NtfsAttributeListEntry& e = entries[i];
    if (i) {
      EXPECT_GE(e.type, entries[i - 1].type);
    }
    if (e.nameLength && named == entries.size()) named = i;
    if (e.record == base) continue;
    auto ext = m.Record(e.record);
    layout::NtfsFileRecordHeader h;
    ASSERT_TRUE(m.ntfs->ReadRecordHeader(ext.data(), &h)) << e.record;
    EXPECT_EQ(h.baseRecord & layout::kNtfsReferenceRecordMask, base) << e.record;
    ++extensions;
  }
  EXPECT_GE(extensions, 1u);
  ASSERT_LT(named, entries.size());

  // The same value through the decoder alone, then patched one field at a time.
  RunList* runs = nullptr;
  ASSERT_EQ(m.ntfs->DecodeRunList(rec.data() + list.pairsOffset, list.pairsLength, &runs), 0);
  std::vector<uint8_t> value(size_t(list.dataSize));
  ASSERT_EQ(read(runs, list.dataSize, value.data()), 0);
  runs->Release();
  std::vector<layout::NtfsAttributeListEntry> again;
  CNTFS::DecodeAttributeList(value.data(), value.size(), &again);
  ASSERT_EQ(again.size(), entries.size());
  size_t at = 0;
  for (size_t i = 0; i < named; ++i) at += entries[i].recordLength;
  const layout::NtfsAttributeListEntry& victim = entries[named];
  std::vector<uint8_t> x = value;
  x[at + 7] = uint8_t(victim.recordLength - 2 * victim.nameLength + 1);
  CNTFS::DecodeAttributeList(x.data(), x.size(), &again);
  ASSERT_EQ(again.size(), entries.size() - 1);
  for (size_t i = named; i < again.size(); ++i) {
    EXPECT_EQ(again[i].type, entries[i + 1].type);
    EXPECT_EQ(again[i].record, entries[i + 1].record);
  }
  x = value;
  kbytes::PutLe16(&x[at + 4], 25);
  CNTFS::DecodeAttributeList(x.data(), x.size(), &again);
  EXPECT_EQ(again.size(), named);

  // An unreadable list, and a record with none, give no entries.
  auto fail = [](const RunList*, uint64_t, uint8_t*) { return int(RC_READ_FAILED); };
  EXPECT_EQ(m.ntfs->ReadAttributeList(rec.data(), fail, &entries), RC_MISSING);
  EXPECT_TRUE(entries.empty());
  auto root = m.Record(5);
  EXPECT_EQ(m.ntfs->ReadAttributeList(root.data(), read, &entries), RC_MISSING);
}

TEST(NtfsPaths, DumpRecordAppendsToMftDat) {
  testutil::TempDir dir;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  CNTFS ntfs(nullptr);
  std::vector<uint8_t> a(1024, 0xA5), b(1024, 0x5A);
  EXPECT_EQ(ntfs.DumpRecord(a.data()), 0);
  EXPECT_EQ(ntfs.DumpRecord(b.data()), 0);
  EXPECT_EQ(ntfs.DumpRecord(nullptr), RC_BAD_ARGUMENT);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(testutil::ReadFile(dir.file("MFT.DAT")), both);
  // A folder in the way: the file cannot be opened.
  ASSERT_EQ(unlink("MFT.DAT"), 0);
  ASSERT_EQ(mkdir("MFT.DAT", 0700), 0);
  EXPECT_EQ(ntfs.DumpRecord(a.data()), RC_READ_FAILED);
  rmdir("MFT.DAT");
  ASSERT_EQ(chdir(old), 0);
}

// An EFS file whose data runs do not decode keeps no run list at all (never one stream of
// two); one whose runs decode gets both its stream and the Encrypted flag.
TEST(NtfsPaths, EncryptedFileWithBrokenRunsGetsNoRunList) {
  std::string path = testutil::Fixture("ntfs_reader.img");
  if (path.empty()) GTEST_SKIP();
  Mft m;
  ASSERT_TRUE(m.Open(testutil::ReadFile(path)));
  auto rec = m.Record(65);  // multi.bin: non-resident, several runs
  ASSERT_FALSE(rec.empty());
  NtfsAttr a;
  ASSERT_EQ(m.ntfs->FindUnnamed(rec.data(), NTFS_AT_DATA, &a), 0);
  ASSERT_TRUE(a.nonResident);
  kbytes::PutLe16(&rec[a.offset + 12], NTFS_ATTR_ENCRYPTED);
  {
    CFileInfo file;
    ASSERT_EQ(m.ntfs->BuildDataRuns(rec.data(), &file, NTFS_AT_DATA), 0);
    EXPECT_TRUE(file.GetFlags() & FF_ENCRYPTED);
    CEncRunList* enc = dynamic_cast<CEncRunList*>(file.GetRunList());
    ASSERT_NE(enc, nullptr);
    ASSERT_NE(enc->m_second, nullptr);
    EXPECT_NE(enc->m_second->runs, nullptr);
  }
  rec[a.pairsOffset] = 0x19;  // a length field of nine bytes
  CFileInfo file;
  ASSERT_EQ(m.ntfs->BuildDataRuns(rec.data(), &file, NTFS_AT_DATA), 0);
  EXPECT_TRUE(file.GetFlags() & FF_ENCRYPTED);
  EXPECT_EQ(file.GetRunList(), nullptr);
  EXPECT_FALSE(m.ntfs->IsDataPlausible(&file));
}
