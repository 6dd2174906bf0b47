// The NTFS record reader against volumes made by mkntfs and filled through ntfs-3g: every
// file's name, size, date and data bytes must come back as they were written, on 512-byte
// and 4096-byte sector volumes. Damaged records must give an error code, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "filesystems/ntfs/ntfs.h"
#include "fixtures.h"
#include "testutil.h"

namespace {

std::u16string Utf8To16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t c = uint8_t(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    c &= extra == 0 ? 0x7F : extra == 1 ? 0x1F : extra == 2 ? 0x0F : 0x07;
    for (int k = 1; k <= extra && i + k < s.size(); ++k) c = c << 6 | (uint8_t(s[i + k]) & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
  }
  return out;
}

// A volume image read the way the scanner will: boot sector, then $MFT runs from record 0.
struct Volume {
  std::vector<uint8_t> image;
  NtfsBootInfo boot{};
  CNTFS ntfs{nullptr};
  std::vector<NtfsRun> mftRuns;

  bool Open(const std::string& path, uint32_t deviceSector) {
    image = testutil::ReadFile(path);
    if (ParseNtfsBootSector(image.data(), image.size(), &boot) != 0) return false;
    if (ntfs.SetBootInfo(boot, deviceSector) != 0) return false;
    std::vector<uint8_t> rec(image.begin() + boot.mftLcn * boot.clusterBytes,
                             image.begin() + boot.mftLcn * boot.clusterBytes + boot.recordBytes);
    if (ntfs.ApplyFixup(rec.data()) != 0 || ntfs.ValidateRecord(rec.data()) != 0) return false;
    NtfsAttr a;
    if (ntfs.FindUnnamed(rec.data(), NTFS_AT_DATA, &a) != 0 || !a.nonResident) return false;
    return ntfs.DecodeMappingPairs(rec.data() + a.pairsOffset, a.pairsLength, &mftRuns) == 0;
  }

  // The raw bytes of one record, found through the $MFT runs by byte position.
  std::vector<uint8_t> Raw(uint64_t n) {
    uint64_t byte = n * boot.recordBytes;
    for (const NtfsRun& r : mftRuns) {
      uint64_t len = r.clusters * boot.clusterBytes;
      if (byte < len) {
        uint64_t at = uint64_t(r.lcn) * boot.clusterBytes + byte;
        return std::vector<uint8_t>(image.begin() + at, image.begin() + at + boot.recordBytes);
      }
      byte -= len;
    }
    return {};
  }

  std::vector<uint8_t> Record(uint64_t n) {
    auto rec = Raw(n);
    if (rec.empty() || ntfs.ApplyFixup(rec.data()) != 0) return {};
    return rec;
  }

  // A file's bytes from its mapping pairs, holes as zeros.
  std::vector<uint8_t> Data(const std::vector<uint8_t>& rec, uint64_t size, bool* sawHole) {
    NtfsAttr a;
    if (ntfs.FindUnnamed(rec.data(), NTFS_AT_DATA, &a) != 0) return {};
    if (!a.nonResident)
      return std::vector<uint8_t>(rec.begin() + a.valueOffset,
                                  rec.begin() + a.valueOffset + a.valueLength);
    std::vector<NtfsRun> runs;
    if (ntfs.DecodeMappingPairs(rec.data() + a.pairsOffset, a.pairsLength, &runs) != 0) return {};
    std::vector<uint8_t> out;
    for (const NtfsRun& r : runs) {
      uint64_t len = r.clusters * boot.clusterBytes;
      if (r.lcn < 0) {
        *sawHole = true;
        out.insert(out.end(), len, 0);
      } else {
        uint64_t at = uint64_t(r.lcn) * boot.clusterBytes;
        out.insert(out.end(), image.begin() + at, image.begin() + at + len);
      }
    }
    if (out.size() > size) out.resize(size);
    return out;
  }
};

void CheckVolume(const std::string& name, uint32_t deviceSector) {
  std::string img = testutil::Fixture(name);
  std::string manifest = testutil::Fixture(name + ".manifest");
  if (img.empty() || manifest.empty()) GTEST_SKIP() << name << " was not built";
  Volume v;
  ASSERT_TRUE(v.Open(img, deviceSector));

  // The system files carry fixed names at fixed record numbers.
  const char16_t* system[] = {u"$MFT", u"$MFTMirr", u"$LogFile", u"$Volume",
                              u"$AttrDef", u".", u"$Bitmap"};
  for (uint64_t n = 0; n < 7; ++n) {
    auto rec = v.Record(n);
    ASSERT_FALSE(rec.empty());
    std::u16string nm;
    uint64_t parent = 0;
    bool dir = false;
    ASSERT_EQ(v.ntfs.GetFileName(rec.data(), nm, &parent, &dir, nullptr), 0) << n;
    EXPECT_EQ(nm, system[n]);
    EXPECT_EQ(parent, 5u);
    EXPECT_EQ(dir, n == 5);
  }

  std::ifstream in(manifest);
  std::string line;
  int files = 0;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    uint64_t recNo, size;
    int64_t mtime;
    ls >> recNo >> size >> mtime;
    std::string fname;
    std::getline(ls >> std::ws, fname);
    SCOPED_TRACE(fname);
    auto rec = v.Record(recNo);
    ASSERT_FALSE(rec.empty());
    std::u16string nm;
    uint64_t parent = 0, dataSize = 0;
    bool dir = true;
    ASSERT_EQ(v.ntfs.GetFileName(rec.data(), nm, &parent, &dir, &dataSize), 0);
    EXPECT_EQ(nm, Utf8To16(fname));
    EXPECT_EQ(parent, 5u);
    EXPECT_FALSE(dir);
    EXPECT_EQ(dataSize, size);
    uint64_t created = 0, modified = 0;
    ASSERT_EQ(v.ntfs.GetStandardTimes(rec.data(), &created, nullptr, &modified, nullptr), 0);
    EXPECT_EQ(int64_t(modified / 10000000 - 11644473600ull), mtime);

    bool hole = false;
    auto data = v.Data(rec, size, &hole);
    auto original = testutil::ReadFile(testutil::Fixture("ntfs_reader/" + fname));
    EXPECT_EQ(data, original);
    EXPECT_EQ(hole, fname == "sparse.bin");
    ++files;
  }
  EXPECT_EQ(files, 4);
}

TEST(NtfsRecord, RealVolumesDecodeNamesTimesAndRuns) {
  CheckVolume("ntfs_reader.img", 512);
  CheckVolume("ntfs_reader_4k.img", 4096);
  // 4 KiB records on a device read in 512-byte sectors: 8 sectors a record.
  CheckVolume("ntfs_reader_4k.img", 512);
}

TEST(NtfsRecord, BootSectorGeometry) {
  std::vector<uint8_t> boot(512, 0);
  std::memcpy(&boot[3], "NTFS    ", 8);
  kbytes::PutLe16(&boot[11], 512);
  boot[13] = 8;
  kbytes::PutLe64(&boot[40], 100000);
  kbytes::PutLe64(&boot[48], 4);
  boot[64] = 0xF6;  // 2^10 bytes
  NtfsBootInfo info;
  ASSERT_EQ(ParseNtfsBootSector(boot.data(), boot.size(), &info), 0);
  EXPECT_EQ(info.recordBytes, 1024u);
  EXPECT_EQ(info.clusterBytes, 4096u);

  CNTFS ntfs(nullptr);
  // 1 KiB records cannot be addressed in 4 KiB device sectors: refused, not misread.
  EXPECT_EQ(ntfs.SetBootInfo(info, 4096), RC_WRONG_FS);
  EXPECT_EQ(ntfs.SetBootInfo(info, 512), 0);

  auto bad = [&](size_t off, uint8_t v) {
    auto b = boot;
    b[off] = v;
    return ParseNtfsBootSector(b.data(), b.size(), &info);
  };
  EXPECT_EQ(bad(13, 0), RC_WRONG_FS);     // zero sectors per cluster
  EXPECT_EQ(bad(13, 3), RC_WRONG_FS);     // not a power of two
  EXPECT_EQ(bad(64, 0), RC_WRONG_FS);     // no record size
  EXPECT_EQ(bad(64, 0xF0), RC_WRONG_FS);  // 64 KiB records
  EXPECT_EQ(bad(11, 0x01), RC_WRONG_FS);  // 513-byte sectors
  EXPECT_EQ(bad(3, 'X'), RC_WRONG_FS);
}

TEST(NtfsRecord, RunEntriesAreSigned64Bit) {
  CNTFS ntfs(nullptr);
  uint8_t size;
  int64_t delta;
  uint64_t count;
  bool sparse;
  // 5-byte length and a negative 3-byte offset.
  const uint8_t e1[] = {0x35, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0xFF};
  ASSERT_EQ(CNTFS::DecodeRunEntry(e1, sizeof e1, &size, &delta, &count, &sparse), 0);
  EXPECT_EQ(size, 9);
  EXPECT_EQ(count, 1ull << 32);
  EXPECT_EQ(delta, -65536);
  // A sparse entry whose length's top byte is >= 0x80 is still a hole.
  const uint8_t e2[] = {0x01, 0x90};
  ASSERT_EQ(CNTFS::DecodeRunEntry(e2, sizeof e2, &size, &delta, &count, &sparse), 0);
  EXPECT_TRUE(sparse);
  EXPECT_EQ(count, 0x90u);
  const uint8_t wide[] = {0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(CNTFS::DecodeRunEntry(wide, sizeof wide, &size, &delta, &count, &sparse),
            RC_CORRUPT_RECORD);
  const uint8_t cut[] = {0x21, 0x10};
  EXPECT_EQ(CNTFS::DecodeRunEntry(cut, sizeof cut, &size, &delta, &count, &sparse),
            RC_CORRUPT_RECORD);

  // A data run, a hole, a data run: the hole stays in the list.
  const uint8_t pairs[] = {0x21, 0x10, 0x00, 0x10, 0x01, 0x10, 0x11, 0x08, 0x20, 0x00};
  std::vector<NtfsRun> runs;
  ASSERT_EQ(ntfs.DecodeMappingPairs(pairs, sizeof pairs, &runs), 0);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].lcn, 0x1000);
  EXPECT_EQ(runs[1].lcn, -1);
  EXPECT_EQ(runs[1].clusters, 0x10u);
  EXPECT_EQ(runs[2].lcn, 0x1020);
  // A negative LCN is corrupt.
  const uint8_t neg[] = {0x11, 0x10, 0xF0, 0x00};
  EXPECT_EQ(ntfs.DecodeMappingPairs(neg, sizeof neg, &runs), RC_CORRUPT_RECORD);
}

TEST(NtfsRecord, RecordToSectorAnswersAllOnesWhenAbsent) {
  CNTFS ntfs(nullptr);
  MftRun second{5000, 64, 127, nullptr};
  MftRun first{100, 0, 63, &second};
  EXPECT_EQ(ntfs.RecordToSector(&first, 0), 100u);
  EXPECT_EQ(ntfs.RecordToSector(&first, 65), 5002u);
  EXPECT_EQ(ntfs.RecordToSector(&first, 128), NTFS_NO_SECTOR);
  EXPECT_EQ(ntfs.RecordToSector(nullptr, 0), NTFS_NO_SECTOR);
}

TEST(NtfsRecord, FixupRestoresTailsAndRefusesTornRecords) {
  std::string img = testutil::Fixture("ntfs_reader.img");
  if (img.empty()) GTEST_SKIP();
  Volume v;
  ASSERT_TRUE(v.Open(img, 512));
  auto raw = v.Raw(0);
  uint16_t usaOff = kbytes::Le16(&raw[4]);
  uint16_t usn = kbytes::Le16(&raw[usaOff]);
  EXPECT_EQ(kbytes::Le16(&raw[1022]), usn);
  auto fixed = raw;
  ASSERT_EQ(v.ntfs.ApplyFixup(fixed.data()), 0);
  EXPECT_EQ(kbytes::Le16(&fixed[1022]), kbytes::Le16(&raw[usaOff + 4]));
  auto torn = raw;
  torn[1022] ^= 1;
  EXPECT_EQ(v.ntfs.ApplyFixup(torn.data()), RC_CORRUPT_RECORD);
  EXPECT_EQ(torn[1023], raw[1023]);  // left as it was
}

// The files of a reader fixture by record number, from its manifest: "record size mtime name".
std::map<uint64_t, std::string> ManifestFiles(const std::string& name) {
  std::map<uint64_t, std::string> out;
  std::ifstream in(testutil::Fixture(name + ".manifest"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    uint64_t recNo = 0, size = 0;
    int64_t mtime = 0;
    std::string fname;
    ls >> recNo >> size >> mtime;
    std::getline(ls >> std::ws, fname);
    out[recNo] = fname;
  }
  return out;
}

// Each file record of the 512-byte reader fixture, fixed up, with its name.
void ForEachReaderFile(
    const std::function<void(Volume&, const std::string&, const std::vector<uint8_t>&)>& check) {
  std::string img = testutil::Fixture("ntfs_reader.img");
  auto files = ManifestFiles("ntfs_reader.img");
  if (img.empty() || files.empty()) GTEST_SKIP();
  Volume v;
  ASSERT_TRUE(v.Open(img, 512));
  for (const auto& f : files) {
    SCOPED_TRACE(f.second);
    auto rec = v.Record(f.first);
    ASSERT_FALSE(rec.empty());
    check(v, f.second, rec);
  }
}

// The signature is four bytes. Another case of the letters is not a FILE record: no writer
// puts one there, and the copies of this rule that compare bytes (the scanners' own checks
// of extension and parent records) would otherwise disagree with the plausibility check.
TEST(NtfsRecord, SignatureIsExactlyTheBytesFILE) {
  ForEachReaderFile([](Volume& v, const std::string&, const std::vector<uint8_t>& rec) {
    ASSERT_EQ(v.ntfs.ValidateRecord(rec.data()), 0);
    for (const char* sig : {"file", "File", "FILe"}) {
      auto x = rec;
      std::memcpy(x.data(), sig, 4);
      EXPECT_EQ(v.ntfs.ValidateRecord(x.data()), RC_CORRUPT_RECORD) << sig;
      std::u16string nm;
      uint64_t parent = 0;
      EXPECT_EQ(v.ntfs.GetFileName(x.data(), nm, &parent, nullptr, nullptr), RC_CORRUPT_RECORD) << sig;
    }
  });
}

// Bytes in use past the record are damage in that one field; the attributes are walked up to
// the record's end and checked one by one, so the file still comes back whole. A count that
// leaves no room for the first attribute is still refused.
TEST(NtfsRecord, BytesInUsePastTheRecordStillGiveTheFile) {
  ForEachReaderFile([](Volume& v, const std::string& fname, const std::vector<uint8_t>& rec) {
    std::u16string want;
    uint64_t parent = 0, size = 0;
    ASSERT_EQ(v.ntfs.GetFileName(rec.data(), want, &parent, nullptr, &size), 0);
    auto original = testutil::ReadFile(testutil::Fixture("ntfs_reader/" + fname));
    for (uint32_t inUse : {1025u, 4096u, 0xFFFFFFFFu}) {
      auto x = rec;
      kbytes::PutLe32(&x[24], inUse);
      ASSERT_EQ(v.ntfs.ValidateRecord(x.data()), 0) << inUse;
      std::u16string nm;
      uint64_t xsize = 0;
      ASSERT_EQ(v.ntfs.GetFileName(x.data(), nm, &parent, nullptr, &xsize), 0) << inUse;
      EXPECT_EQ(nm, want);
      EXPECT_EQ(xsize, size);
      bool hole = false;
      EXPECT_EQ(v.Data(x, xsize, &hole), original) << inUse;
    }
    auto x = rec;
    kbytes::PutLe32(&x[24], kbytes::Le16(&rec[20]) + 3u);
    EXPECT_EQ(v.ntfs.ValidateRecord(x.data()), RC_CORRUPT_RECORD);
  });
}

// A record holding the owner's Win32 name and an 8.3 DOS alias, in either order, gives the
// Win32 name: the alias would bring the file back under a name nobody gave it.
TEST(NtfsRecord, Win32NameWinsOverTheDosAliasInEitherOrder) {
  ForEachReaderFile([](Volume& v, const std::string& fname, const std::vector<uint8_t>& rec) {
    NtfsAttr fn;
    ASSERT_EQ(v.ntfs.FindUnnamed(rec.data(), NTFS_AT_FILE_NAME, &fn), 0);
    const uint32_t vo = fn.valueOffset - fn.offset;
    const std::u16string dos = u"ALIAS~1.BIN";
    std::vector<uint8_t> alias(rec.begin() + fn.offset, rec.begin() + fn.valueOffset + 66);
    for (char16_t c : dos) alias.push_back(uint8_t(c)), alias.push_back(uint8_t(c >> 8));
    alias.resize((alias.size() + 7) / 8 * 8, 0);
    alias[vo + 64] = uint8_t(dos.size());
    alias[vo + 65] = 2;  // DOS
    kbytes::PutLe32(&alias[4], uint32_t(alias.size()));
    kbytes::PutLe16(&alias[14], 0x7F);  // its own attribute id
    kbytes::PutLe32(&alias[16], uint32_t(66 + 2 * dos.size()));
    const uint32_t inUse = kbytes::Le32(&rec[24]);
    ASSERT_LE(inUse + alias.size(), kbytes::Le32(&rec[28]));
    for (bool aliasFirst : {true, false}) {
      auto x = rec;
      x[fn.valueOffset + 65] = 1;  // Win32
      uint32_t at = aliasFirst ? fn.offset : fn.offset + fn.length;
      x.insert(x.begin() + at, alias.begin(), alias.end());
      x.resize(rec.size());
      kbytes::PutLe32(&x[24], uint32_t(inUse + alias.size()));
      std::u16string nm;
      uint64_t parent = 0;
      ASSERT_EQ(v.ntfs.GetFileName(x.data(), nm, &parent, nullptr, nullptr), 0) << aliasFirst;
      EXPECT_EQ(nm, Utf8To16(fname)) << aliasFirst;
      EXPECT_EQ(parent, 5u);
    }
  });
}

// Every byte of real records set to values that break lengths and offsets: each decoder
// answers with a code and stays inside the record (ASan watches the reads).
TEST(NtfsRecord, MutatedRecordsNeverReadOutside) {
  std::string img = testutil::Fixture("ntfs_reader.img");
  if (img.empty()) GTEST_SKIP();
  Volume v;
  ASSERT_TRUE(v.Open(img, 512));
  const uint8_t values[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
  for (uint64_t n : {0, 5, 6, 64, 65, 66, 67}) {
    auto base = v.Record(n);
    ASSERT_FALSE(base.empty());
    uint32_t inUse = kbytes::Le32(&base[24]);
    for (uint32_t off = 0; off < inUse && off < base.size(); ++off) {
      for (uint8_t val : values) {
        // Heap copy of exactly one record so that ASan sees any overrun.
        std::unique_ptr<uint8_t[]> rec(new uint8_t[base.size()]);
        std::memcpy(rec.get(), base.data(), base.size());
        rec[off] = val;
        std::u16string nm;
        uint64_t parent, size, t;
        bool dir;
        uint32_t spc;
        uint64_t lcn = 0;
        v.ntfs.ValidateRecord(rec.get());
        v.ntfs.GetFileName(rec.get(), nm, &parent, &dir, &size);
        v.ntfs.GetStandardTimes(rec.get(), &t, &t, &t, nullptr);
        v.ntfs.EstimateSectorsPerCluster(rec.get(), &spc, &lcn);
        uint32_t cursor = 0;
        NtfsAttr a;
        for (int guard = 0; guard < 1000 && v.ntfs.NextAttribute(rec.get(), &cursor, &a) == 1;
             ++guard) {
          if (a.nonResident) {
            std::vector<NtfsRun> runs;
            v.ntfs.DecodeMappingPairs(rec.get() + a.pairsOffset, a.pairsLength, &runs);
          }
        }
        EXPECT_LE(nm.size(), 255u);
      }
    }
  }
}

// 4 KiB FILE records (a 4Kn disk) keep files of up to about 3.6 KB resident. Each one's value
// becomes the file's data whole; an EFS stream resident in such a record beyond 1 KiB is
// kept too, beside the encrypted $DATA runs.
TEST(NtfsRecord, ResidentDataFillsFourKilobyteRecords) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs4kn")) GTEST_SKIP() << "no ntfs4kn image";
  Volume v;
  ASSERT_TRUE(v.Open(m.ImagePath(), 4096));
  ASSERT_EQ(v.ntfs.RecordBytes(), 4096u);
  std::map<std::string, std::vector<uint8_t>> byName;
  for (uint64_t n = 16; n < 128; ++n) {
    auto rec = v.Record(n);
    std::u16string nm;
    uint64_t parent = 0;
    if (rec.empty() || v.ntfs.GetFileName(rec.data(), nm, &parent, nullptr, nullptr) != 0) continue;
    byName[testutil::Utf8(nm)] = rec;
  }
  int resident = 0;
  for (const testutil::ManifestEntry* e : m.Files()) {
    if (e->path.rfind("/docs/", 0) != 0) continue;
    SCOPED_TRACE(e->path);
    auto it = byName.find(e->path.substr(6));
    ASSERT_NE(it, byName.end());
    IFileInfo* f = nullptr;
    ASSERT_EQ(v.ntfs.CreateFileInfo(it->second.data(), &f, nullptr, 0), 0);
    std::unique_ptr<IFileInfo, void (*)(IFileInfo*)> own(f, [](IFileInfo* p) { p->Release(); });
    ASSERT_TRUE(f->GetFlags() & FF_RESIDENT);
    EXPECT_EQ(f->GetSize(), e->size);
    auto* p = dynamic_cast<CPermanentRunList*>(f->GetRunList());
    ASSERT_NE(p, nullptr);
    const uint8_t* d = nullptr;
    ASSERT_EQ(p->GetData(&d), 0);
    EXPECT_TRUE(m.SameAsOriginal(e->path, std::vector<uint8_t>(d, d + p->GetLength())));
    resident += e->size > 1024;
  }
  EXPECT_EQ(resident, 7);

  // r5000.bin made encrypted: its $DATA marked so, and a resident "$EFS" stream of 2000
  // bytes put before the end marker.
  auto rec = byName.at("r5000.bin");
  NtfsAttr data, last;
  ASSERT_EQ(v.ntfs.FindUnnamed(rec.data(), NTFS_AT_DATA, &data), 0);
  ASSERT_TRUE(data.nonResident);
  kbytes::PutLe16(&rec[data.offset + 12], NTFS_ATTR_ENCRYPTED);
  uint32_t cursor = 0;
  while (v.ntfs.NextAttribute(rec.data(), &cursor, &last) == 1) {
  }
  const uint32_t end = last.offset + last.length;
  std::vector<uint8_t> meta = testutil::RandomBytes(2000, 44);
  std::vector<uint8_t> efs(32 + meta.size(), 0);
  kbytes::PutLe32(&efs[0], NTFS_AT_LOGGED_UTILITY_STREAM);
  kbytes::PutLe32(&efs[4], uint32_t(efs.size()));
  efs[9] = 4;                       // name length
  kbytes::PutLe16(&efs[10], 24);    // name offset
  kbytes::PutLe16(&efs[14], 0x30);  // attribute id
  kbytes::PutLe32(&efs[16], uint32_t(meta.size()));
  kbytes::PutLe16(&efs[20], 32);  // value offset
  const char16_t name[] = u"$EFS";
  for (int i = 0; i < 4; ++i) kbytes::PutLe16(&efs[24 + 2 * i], name[i]);
  std::copy(meta.begin(), meta.end(), efs.begin() + 32);
  ASSERT_LE(end + efs.size() + 8, rec.size());
  std::copy(efs.begin(), efs.end(), rec.begin() + end);
  kbytes::PutLe32(&rec[end + efs.size()], NTFS_AT_END);
  kbytes::PutLe32(&rec[end + efs.size() + 4], 0);
  kbytes::PutLe32(&rec[24], uint32_t(end + efs.size() + 8));
  CFileInfo f;
  f.SetName(u"r5000.bin");
  ASSERT_EQ(v.ntfs.BuildDataRuns(rec.data(), &f, NTFS_AT_DATA), 0);
  ASSERT_TRUE(f.GetFlags() & FF_ENCRYPTED);
  auto* enc = dynamic_cast<CEncRunList*>(f.GetRunList());
  ASSERT_NE(enc, nullptr);
  ASSERT_NE(enc->m_first, nullptr);
  ASSERT_NE(enc->m_second, nullptr);
  EXPECT_EQ(enc->m_first->resident, 1u);
  EXPECT_EQ(enc->m_first->dataSize, 2000u);
  const uint8_t* d = nullptr;
  auto* p = dynamic_cast<CPermanentRunList*>(enc->m_first->runs);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->GetData(&d), 0);
  EXPECT_EQ(std::vector<uint8_t>(d, d + p->GetLength()), meta);
  EXPECT_EQ(enc->m_second->dataSize, 5000u);
  EXPECT_EQ(enc->GetDataSectorCount(), 2u);  // two 4 KiB clusters
}

// A 1 KiB record holding one unnamed non-resident $DATA with these mapping pairs.
std::vector<uint8_t> RecordWithRuns(const std::vector<uint8_t>& pairs, uint64_t allocated) {
  std::vector<uint8_t> r(1024, 0);
  std::memcpy(r.data(), "FILE", 4);
  kbytes::PutLe16(&r[4], 48);
  kbytes::PutLe16(&r[6], 3);
  kbytes::PutLe16(&r[20], 56);
  kbytes::PutLe32(&r[28], 1024);
  const size_t a = 56;
  const uint32_t len = uint32_t(64 + (pairs.size() + 7) / 8 * 8);
  kbytes::PutLe32(&r[a], 0x80);
  kbytes::PutLe32(&r[a + 4], len);
  r[a + 8] = 1;
  kbytes::PutLe16(&r[a + 32], 64);
  kbytes::PutLe64(&r[a + 40], allocated);
  kbytes::PutLe64(&r[a + 48], allocated);
  kbytes::PutLe64(&r[a + 56], allocated);
  std::memcpy(&r[a + 64], pairs.data(), pairs.size());
  kbytes::PutLe32(&r[a + len], 0xFFFFFFFF);
  kbytes::PutLe32(&r[24], uint32_t(a + len + 8));
  return r;
}

// Runs as NTFS writes them for small, sparse and boot-area files. A file of a few bytes
// that is not resident still owns a whole cluster, and a file cut short after it grew owns
// more: neither is taken for another file's clusters. A hole takes VCNs like data, so the
// cluster size comes from every run of a sparse file. An entry whose offset field is there
// but zero is a run at the LCN reached, as $Boot's run at cluster 0 is written.
TEST(NtfsRecord, SmallSparseAndClusterZeroRunsAreData) {
  CNTFS ntfs(nullptr);
  ASSERT_EQ(ntfs.SetVolumeInfo(u"", 512, 8), 0);
  for (uint32_t sectors : {8u, 16u, 24u}) {
    CFileInfo f;
    f.SetSize(3);
    f.SetRunList(new RunList(800, sectors));
    // One or two 4 KiB clusters for 3 bytes pass; three are more than two beyond.
    EXPECT_EQ(ntfs.IsDataPlausible(&f), sectors <= 16) << sectors;
  }
  // A compressed file's runs cover whole units of 16 clusters, the one that holds its last
  // byte included: 80 clusters of 512 bytes and 3 bytes more take six units, a seventh is
  // another file's.
  CNTFS small(nullptr);
  ASSERT_EQ(small.SetVolumeInfo(u"", 512, 1), 0);
  for (uint32_t units : {5u, 6u, 7u}) {
    CFileInfo f;
    f.AddFlags(FF_COMPRESSED);
    f.SetSize(80 * 512 + 3);
    f.SetRunList(new RunList(800, units * 16));
    EXPECT_EQ(small.IsDataPlausible(&f), units <= 6) << units;
  }

  std::vector<NtfsRun> runs;
  const uint8_t atZero[] = {0x11, 0x04, 0x00, 0x21, 0x08, 0x00, 0x01, 0x00};
  ASSERT_EQ(ntfs.DecodeMappingPairs(atZero, sizeof atZero, &runs), 0);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].lcn, 0);
  EXPECT_EQ(runs[0].clusters, 4u);
  EXPECT_EQ(runs[1].lcn, 256);

  // 12 clusters of 4 KiB allocated, 4 of them a hole: in the middle, or first.
  uint32_t spc = 0;
  uint64_t lcn = 0;
  auto middle = RecordWithRuns({0x11, 0x04, 0x10, 0x01, 0x04, 0x11, 0x04, 0x10, 0x00}, 12 * 4096);
  ASSERT_EQ(ntfs.EstimateSectorsPerCluster(middle.data(), &spc, &lcn), 0);
  EXPECT_EQ(spc, 8u);
  EXPECT_EQ(lcn, 16u);
  spc = 0;
  lcn = 0;
  auto first = RecordWithRuns({0x01, 0x04, 0x11, 0x08, 0x20, 0x00}, 12 * 4096);
  ASSERT_EQ(ntfs.EstimateSectorsPerCluster(first.data(), &spc, &lcn), 0);
  EXPECT_EQ(spc, 8u);
  EXPECT_EQ(lcn, 32u);
}

}  // namespace
