// Reading found files back: runs, holes, short devices, resident data, validity and erase.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/crashdump.h"
#include "filemanager/fileinfo.h"
#include "filemanager/fileop.h"
#include "filemanager/lznt1.h"
#include "platform/platform.h"
#include "memdevice.h"
#include "rawrecovery/devicebitmap.h"
#include "testutil.h"

using testutil::MemDevice;

namespace {

std::vector<uint8_t> Disk() { return testutil::RandomBytes(1 << 20, 7); }

CFileInfo* Fragmented(uint64_t size) {
  CFileInfo* f = new CFileInfo;
  f->SetName(u"frag.bin");
  f->SetSize(int64_t(size));
  RunList* r = new RunList(10, 2);
  r->Append(RUN_HOLE, 2);
  r->Append(100, 4);
  f->SetRunList(r);
  return f;
}

}  // namespace

TEST(FileOp, PlainReadAcrossRunsAndHoles) {
  MemDevice* dev = new MemDevice(Disk());
  dev->SetOwnedByCaller(true);
  std::unique_ptr<MemDevice> own(dev);
  std::unique_ptr<CFileInfo> f(Fragmented(4000));
  CNormalFileOP op;
  op.SetStorageDevice(dev);
  op.SetFile(f.get());
  std::vector<uint8_t> buf(8192, 0xEE);
  uint32_t got = 0;
  ASSERT_EQ(0, op.Read(buf.data(), 8192, 0, &got));
  EXPECT_EQ(4000u, got);
  const std::vector<uint8_t>& d = dev->bytes();
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, d.begin() + 10 * 512));
  EXPECT_TRUE(std::all_of(buf.begin() + 1024, buf.begin() + 2048, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(buf.begin() + 2048, buf.begin() + 4000, d.begin() + 100 * 512));
  // From the middle of the first run into the third.
  ASSERT_EQ(0, op.Read(buf.data(), 2000, 1000, &got));
  EXPECT_EQ(2000u, got);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 24, d.begin() + 10 * 512 + 1000));
  EXPECT_TRUE(std::equal(buf.begin() + 1048, buf.begin() + 2000, d.begin() + 100 * 512));
  EXPECT_EQ(0, op.Read(buf.data(), 10, 4000, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(-1, op.Read(buf.data(), 10, uint64_t(-5), &got));
  EXPECT_EQ(-1, op.Read(nullptr, 10, 0, &got));
  uint64_t sector = 0;
  ASSERT_EQ(0, op.MapOffset(3000, &sector));
  EXPECT_EQ(100u + 2, sector);
  EXPECT_EQ(RC_BAD_ARGUMENT, op.MapOffset(1 << 20, &sector));

  // A file larger than its runs (runs past them could not be found): the bytes the runs
  // hold, and then a failed read rather than an early end; a read that starts past them
  // fails with nothing.
  f->SetSize(6000);
  EXPECT_EQ(RC_READ_FAILED, op.Read(buf.data(), 8192, 0, &got));
  EXPECT_EQ(4096u, got);
  EXPECT_TRUE(std::equal(buf.begin() + 2048, buf.begin() + 4096, d.begin() + 100 * 512));
  EXPECT_EQ(RC_READ_FAILED, op.Read(buf.data(), 100, 5000, &got));
  EXPECT_EQ(0u, got);
  ASSERT_EQ(0, op.Read(buf.data(), 96, 4000, &got));  // what the runs hold still reads
  EXPECT_EQ(96u, got);
  f->SetSize(4000);

  // A device that fails mid-way: the error code, not success.
  dev->FailAfter(int64_t(dev->bytesRead()) + 512);
  EXPECT_EQ(RC_READ_FAILED, op.Read(buf.data(), 4000, 0, &got));
}

TEST(FileOp, ResidentAndEncrypted) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk()));
  dev->SetOwnedByCaller(true);
  CFileInfo res;
  res.SetSize(5);
  res.AddFlags(FF_RESIDENT);
  auto* p = new CPermanentRunList;
  p->SetData("hello", 5);
  res.SetRunList(p);
  CPermanentFileOP pop;
  pop.SetFile(&res);
  char buf[16] = {};
  uint32_t got;
  ASSERT_EQ(0, pop.Read(buf, 16, 1, &got));
  EXPECT_EQ(4u, got);
  EXPECT_EQ(0, std::memcmp(buf, "ello", 4));
  EXPECT_EQ(RC_NOT_SUPPORTED, pop.Wipe(&res, 1, nullptr));
  // Resident flag on a plain list: the reader checks the object, not just the flag.
  CFileInfo liar;
  liar.AddFlags(FF_RESIDENT);
  liar.SetSize(5);
  liar.SetRunList(new RunList(1, 1));
  pop.SetFile(&liar);
  EXPECT_EQ(RC_MISSING, pop.Read(buf, 16, 0, &got));

  CFileInfo enc;
  enc.SetSize(1000);
  enc.AddFlags(FF_ENCRYPTED);
  auto* e = new CEncRunList;
  e->m_second = new StreamDesc{1000, 1024, nullptr, 0, new RunList(40, 2)};
  enc.SetRunList(e);
  CEncFileOP eop;
  eop.SetStorageDevice(dev.get());
  eop.SetFile(&enc);
  std::vector<uint8_t> out(1000);
  ASSERT_EQ(0, eop.Read(out.data(), 1000, 0, &got));
  EXPECT_EQ(1000u, got);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), dev->bytes().begin() + 40 * 512));
}

TEST(FileOp, ValidityFromTheBitmap) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 4096, DT_OTHER_DISK));
  dev->SetOwnedByCaller(true);
  CFileInfo f;
  f.SetSize(16384);
  RunList* r = new RunList(8, 16);  // clusters 1 and 2 with the cluster area at sector 0
  r->Append(RUN_HOLE, 8);
  r->Append(64, 16);  // clusters 8 and 9
  f.SetRunList(r);
  CNormalFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  uint32_t pct = 77;
  EXPECT_EQ(100, op.GetValidity(&pct));  // no bitmap
  EXPECT_EQ(77u, pct);
  NullDeviceBitmap none;
  op.SetBitmap(&none);
  EXPECT_EQ(100, op.GetValidity(&pct));  // cluster size 0: no bitmap, no division
  DeviceBitmap bm;
  ASSERT_EQ(0, bm.Init(1 << 20, 0, 4096));
  op.SetBitmap(&bm);
  ASSERT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(100u, pct);
  bm.BitSet(1, true);
  ASSERT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(75u, pct);
  for (int c : {2, 8, 9}) bm.BitSet(c, true);
  ASSERT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(0u, pct);
}

TEST(FileOp, WipeZeroesFreeClustersOnly) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 4096, DT_OTHER_DISK));
  dev->SetOwnedByCaller(true);
  std::vector<uint8_t> before = dev->bytes();
  CFileInfo f;
  f.SetSize(32768);
  RunList* r = new RunList(8, 16);
  r->Append(RUN_HOLE, 16);
  r->Append(2040, 100);  // runs past the 2048-sector device: bounded to it
  f.SetRunList(r);
  CNormalFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  dev->SetReadOnly(true);
  EXPECT_EQ(RC_READ_FAILED, op.Wipe(&f, 1, nullptr));
  EXPECT_EQ(0, dev->bytesWritten());
  dev->SetReadOnly(false);
  EXPECT_EQ(RC_MISSING, op.Wipe(&f, 0, nullptr));
  DeviceBitmap bm;
  ASSERT_EQ(0, bm.Init(1 << 20, 0, 4096));
  bm.BitSet(2, true);  // sectors 16..23 belong to another file now
  op.SetBitmap(&bm);
  ASSERT_EQ(0, op.Wipe(&f, 1, nullptr));
  const std::vector<uint8_t>& d = dev->bytes();
  EXPECT_TRUE(std::all_of(d.begin() + 8 * 512, d.begin() + 16 * 512, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(d.begin() + 16 * 512, d.begin() + 24 * 512, before.begin() + 16 * 512));
  EXPECT_TRUE(std::all_of(d.begin() + 2040 * 512, d.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(d.begin(), d.begin() + 8 * 512, before.begin()));
  EXPECT_EQ(1u, op.LastWipeSkippedClusters());
  EXPECT_EQ(16 * 512, dev->bytesWritten());
}

TEST(CrashGuard, ThrowingOperationReturnsItsCodeAndWritesOneReport) {
  testutil::TempDir tmp;
  CrashDumpWriter* w = CrashDumpWriter::Instance();
  std::string old = w->GetReportPath();
  w->SetReportPath(tmp.file("report.txt"));
  EXPECT_EQ(-1, RunGuarded("scan", -1, []() -> int { throw CorruptStructure("bad node"); }));
  EXPECT_EQ(5, RunGuarded("read", 5, []() -> int { throw std::bad_alloc(); }));
  EXPECT_EQ(7, RunGuarded("ok", -1, [] { return 7; }));
  w->SetReportPath(old);
  std::ifstream in(tmp.file("report.txt"));
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  size_t reports = 0;
  for (size_t p = text.find("crash report"); p != std::string::npos; p = text.find("crash report", p + 1))
    ++reports;
  EXPECT_EQ(2u, reports);
  EXPECT_NE(std::string::npos, text.find("operation: scan\nexception: bad node"));
}

// A closed report file takes no further reports until a file is named again.
TEST(CrashGuard, ClosedDumpFileSkipsReportsUntilAPathIsSet) {
  testutil::TempDir tmp;
  CrashDumpWriter* w = CrashDumpWriter::Instance();
  std::string old = w->GetReportPath();
  w->SetReportPath(tmp.file("closed.txt"));
  EXPECT_EQ(1, w->WriteDump("first", "bad run list"));
  w->CloseDumpFile();
  int before = w->ReportCount();
  EXPECT_EQ(0, w->WriteDump("second", "bad run list"));
  EXPECT_EQ(-1, RunGuarded("third", -1, []() -> int { throw CorruptStructure("bad node"); }));
  EXPECT_EQ(before, w->ReportCount());
  w->SetReportPath(tmp.file("reopened.txt"));
  EXPECT_EQ(1, w->WriteDump("fourth", "bad node"));
  w->SetReportPath(old);
  std::ifstream in(tmp.file("closed.txt"));
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_NE(std::string::npos, ss.str().find("operation: first"));
  EXPECT_EQ(std::string::npos, ss.str().find("operation: second"));
  EXPECT_EQ(std::string::npos, ss.str().find("operation: third"));
}

TEST(CrashGuard, FaultInAGuardedCallLeavesAReportAndDiesBySignal) {
  testutil::TempDir tmp;
  std::string path = tmp.file("fault.txt");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CrashDumpWriter::Instance()->SetReportPath(path);
    RunGuarded("faulting scan", -1, [] {
      std::raise(SIGSEGV);
      return 0;
    });
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGSEGV, WTERMSIG(status));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(std::string::npos, text.str().find("operation: faulting scan\nfault: SIGSEGV"));
}

// Stored and sparse compression units; a mixed unit goes to the LZNT1 decoder.
TEST(FileOp, CompressedUnitsStoredAndSparse) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 512));
  dev->SetOwnedByCaller(true);
  CFileInfo f;
  f.AddFlags(FF_COMPRESSED);
  f.SetSize(3 * 8192);
  RunList* r = new RunList(200, 16);  // unit 0: stored
  r->Append(RUN_HOLE, 16);            // unit 1: all zeros, never read from sector 0
  r->Append(400, 10);                 // unit 2: stored over two runs
  r->Append(500, 6);
  f.SetRunList(r);
  CCompressedFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  std::vector<uint8_t> out(3 * 8192);
  uint32_t got = 0;
  ASSERT_EQ(0, op.Read(out.data() + 100, 3 * 8192 - 100, 100, &got));  // starts inside unit 0
  EXPECT_EQ(3u * 8192 - 100, got);
  const std::vector<uint8_t>& d = dev->bytes();
  EXPECT_TRUE(std::equal(out.begin() + 100, out.begin() + 8192, d.begin() + 200 * 512 + 100));
  EXPECT_TRUE(std::all_of(out.begin() + 8192, out.begin() + 16384, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(out.begin() + 16384, out.begin() + 16384 + 5120, d.begin() + 400 * 512));
  EXPECT_TRUE(std::equal(out.begin() + 16384 + 5120, out.end(), d.begin() + 500 * 512));
  EXPECT_EQ(RC_MISSING, op.Read(out.data(), 10, 3 * 8192, &got));
  CFileInfo plain;
  plain.SetSize(10);
  op.SetFile(&plain);
  EXPECT_EQ(RC_MISSING, op.Read(out.data(), 10, 0, &got));
}

// A last unit cut short by the end of the runs, with no hole in it, is stored: only sparse
// clusters make a unit compressed. It went to the LZNT1 decoder before.
TEST(FileOp, CompressedLastUnitWithoutHoleIsStored) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 512));
  dev->SetOwnedByCaller(true);
  CFileInfo f;
  f.AddFlags(FF_COMPRESSED);
  f.SetSize(8192 + 3000);
  RunList* r = new RunList(200, 16);  // unit 0: stored
  r->Append(300, 6);                  // unit 1: six clusters, then the runs end
  f.SetRunList(r);
  CCompressedFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  std::vector<uint8_t> out(8192 + 3000);
  uint32_t got = 0;
  ASSERT_EQ(0, op.Read(out.data(), uint32_t(out.size()), 0, &got));
  ASSERT_EQ(out.size(), got);
  const std::vector<uint8_t>& d = dev->bytes();
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8192, d.begin() + 200 * 512));
  EXPECT_TRUE(std::equal(out.begin() + 8192, out.end(), d.begin() + 300 * 512));
}

// A compressed file of three units whose runs cover unit 0 only (a damaged or incomplete
// record): units 1 and 2 are no data at all, not zeros. A read answers 5 and hands out only
// what lies before them; a unit the runs hold as sparse stays zeros.
TEST(FileOp, CompressedUnitsPastTheRunsFail) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 512));
  dev->SetOwnedByCaller(true);
  const std::vector<uint8_t>& d = dev->bytes();
  CCompressedFileOP op;
  op.SetStorageDevice(dev.get());
  CFileInfo f;
  f.AddFlags(FF_COMPRESSED);
  f.SetSize(3 * 8192);
  f.SetRunList(new RunList(200, 16));  // unit 0: stored
  op.SetFile(&f);
  std::vector<uint8_t> out(3 * 8192, 0xEE);
  uint32_t got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), uint32_t(out.size()), 0, &got));
  EXPECT_EQ(8192u, got);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8192, d.begin() + 200 * 512));
  EXPECT_TRUE(std::all_of(out.begin() + 8192, out.end(), [](uint8_t b) { return b == 0xEE; }));
  // From inside unit 0 across its end, and from inside a missing unit.
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 5000, 6000, &got));
  EXPECT_EQ(2192u, got);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 2192, d.begin() + 200 * 512 + 6000));
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 100, 2 * 8192 + 10, &got));
  EXPECT_EQ(0u, got);
  // Within unit 0 all is as before.
  ASSERT_EQ(0, op.Read(out.data(), 8000, 100, &got));
  EXPECT_EQ(8000u, got);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8000, d.begin() + 200 * 512 + 100));
  // Unit 1 held as a sparse run is real zeros; unit 2 is still missing.
  RunList* r = new RunList(200, 16);
  r->Append(RUN_HOLE, 16);
  f.SetRunList(r);
  std::fill(out.begin(), out.end(), 0xEE);
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), uint32_t(out.size()), 0, &got));
  EXPECT_EQ(2u * 8192, got);
  EXPECT_TRUE(std::all_of(out.begin() + 8192, out.begin() + 16384, [](uint8_t b) { return b == 0; }));
  ASSERT_EQ(0, op.Read(out.data(), 8192, 8192, &got));
  EXPECT_EQ(8192u, got);
  // No runs at all: nothing of the file is data.
  f.SetRunList(new RunList());
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 100, 0, &got));
  EXPECT_EQ(0u, got);
}

// A compressed unit read back through the decoder: a sound unit gives its bytes; one whose
// stored chunk claims a length other than 4096 gives 5 and no bytes, never its garbage.
TEST(FileOp, CompressedUnitWithDamagedStoredChunkFails) {
  std::vector<uint8_t> disk = Disk();
  const std::vector<uint8_t> plain = testutil::RandomBytes(4096, 31);
  // One stored chunk and one compressed chunk (a run of one byte) make the 8 KiB unit in
  // 15 of its 16 clusters; the 16th is sparse, which marks the unit compressed.
  std::vector<uint8_t> tail(4096, 0x5A);
  std::vector<uint8_t> packed(8192);
  int64_t n = Lznt1Compress(tail.data(), tail.size(), packed.data(), packed.size());
  ASSERT_GT(n, 0);
  std::vector<uint8_t> good{0xFF, 0x3F};
  good.insert(good.end(), plain.begin(), plain.begin() + 4096);
  good.insert(good.end(), packed.begin(), packed.begin() + n);
  ASSERT_LE(good.size(), 15u * 512);
  std::copy(good.begin(), good.end(), disk.begin() + 600 * 512);
  // The same unit with a first chunk whose header claims 100 stored bytes: taken as it
  // says, the unit would decode without error to 100 bytes, zeros and the second chunk.
  std::vector<uint8_t> bad{0x63, 0x30};
  bad.insert(bad.end(), plain.begin(), plain.begin() + 100);
  bad.insert(bad.end(), packed.begin(), packed.begin() + n);
  std::copy(bad.begin(), bad.end(), disk.begin() + 700 * 512);

  std::unique_ptr<MemDevice> dev(new MemDevice(disk, 512, 512));
  dev->SetOwnedByCaller(true);
  CCompressedFileOP op;
  op.SetStorageDevice(dev.get());
  for (uint64_t start : {600u, 700u}) {
    SCOPED_TRACE(start);
    CFileInfo f;
    f.AddFlags(FF_COMPRESSED);
    f.SetSize(8192);
    RunList* r = new RunList(start, 15);
    r->Append(RUN_HOLE, 1);
    f.SetRunList(r);
    op.SetFile(&f);
    std::vector<uint8_t> out(8192, 0xEE);
    uint32_t got = 77;
    int rc = op.Read(out.data(), 8192, 0, &got);
    if (start == 600) {
      ASSERT_EQ(0, rc);
      ASSERT_EQ(8192u, got);
      EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin() + 4096));
    } else {
      EXPECT_EQ(RC_READ_FAILED, rc);
      EXPECT_EQ(0u, got);
    }
  }
}

// A device that delivers a read only up to one byte offset: a read across it answers the
// short, positive count of the bytes before it, as a device whose medium ends or fails
// inside a request does.
class ShortReadDevice : public MemDevice {
 public:
  ShortReadDevice(std::vector<uint8_t> bytes, int64_t shortAt)
      : MemDevice(std::move(bytes), 512, 512), m_shortAt(shortAt) {}
  int64_t CloneSeek(int64_t offset, int origin) override {
    int64_t at = MemDevice::CloneSeek(offset, origin);
    m_pos = at;
    return at;
  }
  int CloneRead(void* buf, uint32_t count) override {
    if (m_pos < m_shortAt && m_shortAt < m_pos + int64_t(count)) count = uint32_t(m_shortAt - m_pos);
    int got = MemDevice::CloneRead(buf, count);
    if (got > 0) m_pos += got;
    return got;
  }

 private:
  int64_t m_shortAt;
  int64_t m_pos = 0;
};

// A unit whose read comes back short and positive is no whole unit: before, it kept its zero
// fill past the short count and the read answered 0. Stored or packed, the read now answers
// 5 with only the whole units before it.
TEST(FileOp, CompressedUnitReadShortFails) {
  std::vector<uint8_t> disk = Disk();
  // A packed unit: one stored chunk of 4096 bytes and one chunk of a repeated byte, in 15 of
  // its 16 clusters, the 16th sparse.
  const std::vector<uint8_t> plain = testutil::RandomBytes(4096, 32);
  std::vector<uint8_t> tail(4096, 0x5A), packed(8192);
  int64_t n = Lznt1Compress(tail.data(), tail.size(), packed.data(), packed.size());
  ASSERT_GT(n, 0);
  std::vector<uint8_t> unit{0xFF, 0x3F};
  unit.insert(unit.end(), plain.begin(), plain.end());
  unit.insert(unit.end(), packed.begin(), packed.begin() + n);
  std::copy(unit.begin(), unit.end(), disk.begin() + 600 * 512);
  struct Case {
    const char* what;
    uint64_t secondUnit;  // where unit 1 lies
    bool packed;
  };
  for (const Case& c : {Case{"stored", 300, false}, Case{"packed", 600, true}}) {
    SCOPED_TRACE(c.what);
    ShortReadDevice dev(disk, int64_t(c.secondUnit * 512 + 3000));
    dev.SetOwnedByCaller(true);
    CFileInfo f;
    f.AddFlags(FF_COMPRESSED);
    f.SetSize(2 * 8192);
    RunList* r = new RunList(200, 16);  // unit 0: stored, read whole
    if (c.packed) {
      r->Append(c.secondUnit, 15);
      r->Append(RUN_HOLE, 1);
    } else {
      r->Append(c.secondUnit, 16);
    }
    f.SetRunList(r);
    CCompressedFileOP op;
    op.SetStorageDevice(&dev);
    op.SetFile(&f);
    std::vector<uint8_t> out(2 * 8192, 0xEE);
    uint32_t got = 77;
    EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), uint32_t(out.size()), 0, &got));
    EXPECT_EQ(8192u, got);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8192, disk.begin() + 200 * 512));
    got = 77;
    EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 100, 8192, &got));
    EXPECT_EQ(0u, got);
    // The same runs on a device that delivers every byte read whole.
    MemDevice whole(disk, 512, 512);
    whole.SetOwnedByCaller(true);
    op.SetStorageDevice(&whole);
    ASSERT_EQ(0, op.Read(out.data(), uint32_t(out.size()), 0, &got));
    ASSERT_EQ(out.size(), got);
    if (c.packed) {
      EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin() + 8192));
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin() + 8192 + 4096));
    } else {
      EXPECT_TRUE(std::equal(out.begin() + 8192, out.end(), disk.begin() + 300 * 512));
    }
  }
}

// NTFS leaves the hole of a packed unit to the unit's end and a sparse unit wholly sparse, so
// a hole that ends inside a unit shows the unit size is not the file's: a volume of 1 KiB
// clusters read with the 4 KiB the partition record holds by default when its boot sector is
// gone. Taken as 64 KiB units, the packed unit 0 and the three stored units after it would be
// decoded as one: 16 KiB of text and then zeros for 48 KiB, with success. Every unit where
// data and holes meet fails instead, also one whose own hole ends on its edge; a unit stored
// whole or wholly sparse is the same bytes in any units and still reads. With the true
// cluster size the same runs read exact.
TEST(FileOp, CompressedHoleEndingInsideAUnitRefusesTheUnitSize) {
  const uint32_t kUnit = 16384;  // 16 clusters of 1 KiB
  std::string text;
  for (int line = 0; text.size() < kUnit; ++line)
    text += "line " + std::to_string(line) + " alpha beta gamma\n";
  const std::vector<uint8_t> plain(text.begin(), text.begin() + kUnit);
  std::vector<uint8_t> packed(2 * kUnit);
  const int64_t n = Lznt1Compress(plain.data(), plain.size(), packed.data(), packed.size());
  ASSERT_GT(n, 0);
  const uint32_t packedSectors = uint32_t((n + 1023) / 1024 * 2);  // whole clusters
  ASSERT_LT(packedSectors, 32u);
  std::vector<uint8_t> disk = Disk();
  for (uint64_t at : {200u, 600u}) {
    std::fill(disk.begin() + long(at * 512), disk.begin() + long((at + packedSectors) * 512), 0);
    std::copy(packed.begin(), packed.begin() + n, disk.begin() + long(at * 512));
  }
  // Sixteen units of 1 KiB clusters, runs in sectors: 0 packed; 1-3 stored; 4-6 stored and 7
  // packed (its hole ends where a 64 KiB unit does); 8-11 sparse; 12-15 stored.
  RunList* r = new RunList(200, packedSectors);
  r->Append(RUN_HOLE, 32 - packedSectors);
  r->Append(300, 96);
  r->Append(400, 96);
  r->Append(600, packedSectors);
  r->Append(RUN_HOLE, 32 - packedSectors + 128);
  r->Append(800, 128);
  std::vector<uint8_t> want;
  auto stored = [&](uint64_t sector, size_t units) {
    want.insert(want.end(), disk.begin() + long(sector * 512),
                disk.begin() + long(sector * 512 + units * kUnit));
  };
  want.insert(want.end(), plain.begin(), plain.end());
  stored(300, 3);
  stored(400, 3);
  want.insert(want.end(), plain.begin(), plain.end());
  want.insert(want.end(), 4 * kUnit, 0);
  stored(800, 4);
  ASSERT_EQ(want.size(), 16u * kUnit);

  std::unique_ptr<MemDevice> dev(new MemDevice(disk, 512, 4096));
  dev->SetOwnedByCaller(true);
  CFileInfo f;
  f.AddFlags(FF_COMPRESSED);
  f.SetSize(int64_t(want.size()));
  f.SetRunList(r);
  CCompressedFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  std::vector<uint8_t> out(want.size(), 0xEE);
  uint32_t got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), uint32_t(out.size()), 0, &got));
  EXPECT_EQ(0u, got);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 1000, 4 * kUnit + 10, &got));
  EXPECT_EQ(0u, got);
  // The sparse and the stored 64 KiB units.
  ASSERT_EQ(0, op.Read(out.data(), 8 * kUnit, 8 * kUnit, &got));
  EXPECT_EQ(8u * kUnit, got);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8 * kUnit, want.begin() + 8 * kUnit));

  // One packed unit alone, the runs ending with its hole (a file smaller than one unit).
  CFileInfo small;
  small.AddFlags(FF_COMPRESSED);
  small.SetSize(5000);
  RunList* one = new RunList(200, packedSectors);
  one->Append(RUN_HOLE, 32 - packedSectors);
  small.SetRunList(one);
  op.SetFile(&small);
  got = 77;
  EXPECT_EQ(RC_READ_FAILED, op.Read(out.data(), 5000, 0, &got));
  EXPECT_EQ(0u, got);

  // The volume's own 1 KiB clusters: both files exact, in pieces that cross units.
  dev->SetClusterBytes(1024);
  ASSERT_EQ(0, op.Read(out.data(), 5000, 0, &got));
  EXPECT_EQ(5000u, got);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 5000, plain.begin()));
  op.SetFile(&f);
  std::fill(out.begin(), out.end(), 0xEE);
  for (uint32_t off = 0; off < want.size(); off += 20000) {
    ASSERT_EQ(0, op.Read(out.data() + off, 20000, off, &got)) << off;
    EXPECT_EQ(std::min<size_t>(20000, want.size() - off), got);
  }
  EXPECT_TRUE(out == want);
}

// A saved run list of a million runs of 2^32 sectors each: the validity count stops at what
// the volume and the file can hold instead of testing 2^49 clusters.
TEST(FileOp, ValidityOfAHostileRunListIsBounded) {
  std::unique_ptr<MemDevice> dev(new MemDevice(Disk(), 512, 4096, DT_OTHER_DISK));
  dev->SetOwnedByCaller(true);
  CFileInfo f;
  f.SetSize(uint64_t(1) << 60);
  RunList* r = new RunList(8, 0xFFFFFFFFu);
  RunList* tail = r;
  for (int i = 0; i < 1000000; ++i) tail = tail->Append(8, 0xFFFFFFFFu);
  f.SetRunList(r);
  CNormalFileOP op;
  op.SetStorageDevice(dev.get());
  op.SetFile(&f);
  DeviceBitmap bm;
  ASSERT_EQ(0, bm.Init(1 << 20, 0, 4096));
  for (int c = 1; c < 256; ++c) bm.BitSet(c, true);
  op.SetBitmap(&bm);
  uint32_t pct = 77;
  ASSERT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(0u, pct);
  // A small file counts only the clusters its size needs: the first two, both in use.
  f.SetSize(8192);
  ASSERT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(0u, pct);
}

// The erase refuses a disk with anything mounted on it. The disk holding the root file
// system must count as mounted; a loop device nobody mounted must not.
TEST(FileOp, MountedDiskIsRecognisedByDeviceNumber) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line, rootDev;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, dev, root, mp;
    ls >> id >> parent >> dev >> root >> mp;
    if (mp == "/" && dev.compare(0, 2, "0:") != 0) rootDev = dev;
  }
  if (rootDev.empty()) GTEST_SKIP() << "root is not on a block device";
  char real[4096];
  if (!realpath(("/sys/dev/block/" + rootDev).c_str(), real)) GTEST_SKIP();
  std::string name = real;
  name = name.substr(name.rfind('/') + 1);
  // Through a node of our own: the mount table's source name need not match it.
  testutil::TempDir dir;
  std::string node = dir.file("alias");
  unsigned maj = 0, min = 0;
  if (sscanf(rootDev.c_str(), "%u:%u", &maj, &min) != 2 ||
      mknod(node.c_str(), S_IFBLK | 0600, makedev(maj, min)) != 0)
    GTEST_SKIP() << "cannot make a device node";
  EXPECT_TRUE(plat::IsMountedOrHasMountedPartition(node)) << name;
  EXPECT_FALSE(plat::IsMountedOrHasMountedPartition(dir.file("none")));
}
