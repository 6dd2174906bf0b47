// Saved record layouts: round trips byte for byte, and corrupt input refused without a crash.
#include <gtest/gtest.h>

#include <memory>

#include "common/inc/bytes.h"
#include "filemanager/fileinfo.h"
#include "filemanager/wtext.h"
#include "memarchive.h"

using testutil::MemArchive;

namespace {

struct FileDeleter {
  void operator()(IFileInfo* f) const { f->Release(); }
};
using FilePtr = std::unique_ptr<IFileInfo, FileDeleter>;

CFileInfo* MakePlain() {
  CFileInfo* f = new CFileInfo;
  f->SetName(u"report.docx");
  f->SetSize(10000);
  f->SetTimes(1700000000, 1700086400);
  f->SetValidity(75);
  RunList* r = new RunList(2048, 8);
  r->Append(RUN_HOLE, 4);
  r->Append(9000, 8);
  f->SetRunList(r);
  return f;
}

CFileInfo* MakeResident() {
  CFileInfo* f = new CFileInfo;
  f->SetName(u"small.txt");
  f->SetSize(5);
  f->AddFlags(FF_RESIDENT);
  auto* p = new CPermanentRunList;
  p->m_value = 0x1122334455667788ull;
  EXPECT_EQ(0, p->SetData("hello", 5));
  f->SetRunList(p);
  return f;
}

StreamDesc* Stream(const char16_t* name, IRunList* runs, uint64_t size) {
  auto* d = new StreamDesc{size, size + 100, wtext::Dup(name), runs->IsResident() ? 1u : 0u, runs};
  return d;
}

CFileInfo* MakeEncrypted() {
  CFileInfo* f = new CFileInfo;
  f->SetName(u"secret.bin");
  f->SetSize(4096);
  f->AddFlags(FF_ENCRYPTED);
  auto* e = new CEncRunList;
  auto* meta = new CPermanentRunList;
  meta->SetData("EFSMETA", 7);
  e->m_first = Stream(u"$EFS", meta, 7);
  RunList* data = new RunList(500, 8);
  data->Append(800, 2);
  e->m_second = Stream(nullptr, data, 4096);
  e->m_value = 42;
  f->SetRunList(e);
  return f;
}

std::vector<uint8_t> Saved(IFileInfo* f) {
  MemArchive a;
  EXPECT_EQ(0, f->Save(&a));
  return a.bytes();
}

// The record saved and loaded again: every byte read, and a second save the same.
FilePtr Reloaded(IFileInfo* f) {
  std::vector<uint8_t> bytes = Saved(f);
  MemArchive in(bytes);
  FilePtr back(new CFileInfo);
  EXPECT_EQ(0, back->Load(&in));
  EXPECT_EQ(bytes.size(), in.pos());
  EXPECT_EQ(bytes, Saved(back.get()));
  return back;
}

}  // namespace

TEST(Records, EveryClassRoundTripsByteForByte) {
  FilePtr plain(MakePlain()), resident(MakeResident()), enc(MakeEncrypted());
  CFileInfo* nodata = new CFileInfo;
  nodata->SetName(u"gone");
  nodata->SetSize(1);
  nodata->AddFlags(FF_NODATA);
  nodata->SetRunList(new RunList(1, 1));
  FilePtr nd(nodata);
  for (IFileInfo* f : {plain.get(), resident.get(), enc.get(), nd.get()}) {
    FilePtr back = Reloaded(f);
    EXPECT_EQ(f->GetSize(), back->GetSize());
    EXPECT_EQ(f->GetFlags(), back->GetFlags());
    EXPECT_EQ(f->GetModifyTime(), back->GetModifyTime());
    EXPECT_TRUE(wtext::EqualNoCase(f->GetName(), back->GetName()));
  }
  // NoData: nothing of the run list is written and none comes back.
  MemArchive in(Saved(nd.get()));
  FilePtr back(new CFileInfo);
  ASSERT_EQ(0, back->Load(&in));
  EXPECT_EQ(nullptr, back->GetRunList());
}

// Files kept inside the 4 KiB FILE records of a 4Kn disk: a resident file of 3600 bytes and
// an encrypted file whose EFS stream of 2000 bytes is resident keep every byte through a
// clone, a save and a load.
TEST(Records, ResidentDataOfFourKilobyteRecordsRoundTrips) {
  std::vector<uint8_t> data(3600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 256);
  CFileInfo* res = new CFileInfo;
  res->SetName(u"r3600.bin");
  res->SetSize(3600);
  res->AddFlags(FF_RESIDENT);
  auto* p = new CPermanentRunList;
  ASSERT_EQ(0, p->SetData(data.data(), 3600));
  res->SetRunList(p);
  FilePtr resident(res);

  CFileInfo* enc = MakeEncrypted();
  auto* meta = new CPermanentRunList;
  ASSERT_EQ(0, meta->SetData(data.data() + 100, 2000));
  auto* e = static_cast<CEncRunList*>(enc->GetRunList());
  e->m_first->runs->Release();
  e->m_first->runs = meta;
  e->m_first->dataSize = 2000;
  FilePtr encrypted(enc);

  auto bytesOf = [](IRunList* runs) {
    const uint8_t* d = nullptr;
    auto* p = dynamic_cast<CPermanentRunList*>(runs);
    if (!p || p->GetData(&d) != 0 || !d) return std::vector<uint8_t>();
    return std::vector<uint8_t>(d, d + p->GetLength());
  };
  for (IFileInfo* f : {resident.get(), encrypted.get()}) {
    FilePtr back = Reloaded(f);
    FilePtr copy(CloneFileInfo(back.get()));
    EXPECT_EQ(Saved(f), Saved(copy.get()));
    IRunList* runs = back->GetRunList();
    if (f == resident.get()) {
      EXPECT_EQ(data, bytesOf(runs));
    } else {
      auto* be = dynamic_cast<CEncRunList*>(runs);
      ASSERT_NE(nullptr, be);
      EXPECT_EQ(std::vector<uint8_t>(data.begin() + 100, data.begin() + 2100), bytesOf(be->m_first->runs));
    }
  }
}

TEST(Records, FileRecordLayout) {
  FilePtr f(MakePlain());
  std::vector<uint8_t> b = Saved(f.get());
  EXPECT_EQ(75u, kbytes::Le32(&b[0]));
  EXPECT_EQ(0u, kbytes::Le32(&b[4]));
  EXPECT_EQ(10000u, kbytes::Le64(&b[8]));
  EXPECT_EQ(1700000000u, kbytes::Le64(&b[16]));
  EXPECT_EQ(12u, kbytes::Le16(&b[32]));  // "report.docx" + terminator
  size_t runs = 34 + 24;
  EXPECT_EQ(0, b[runs - 2] | b[runs - 1]);
  EXPECT_EQ(2048u, kbytes::Le64(&b[runs]));
  EXPECT_EQ(8u, kbytes::Le32(&b[runs + 8]));
  EXPECT_EQ(RUN_HOLE, kbytes::Le64(&b[runs + 12]));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFDull, kbytes::Le64(&b[runs + 36]));
  EXPECT_EQ(0xFFFFFFFDu, kbytes::Le32(&b[runs + 44]));
  EXPECT_EQ(runs + 48, b.size());
}

TEST(Records, EncryptedStreamNames) {
  FilePtr f(MakeEncrypted());
  std::vector<uint8_t> b = Saved(f.get());
  size_t enc = 34 + 2 * 11;
  // First descriptor: block, then the name "$EFS" as count 5 and 10 bytes.
  EXPECT_EQ(7u, kbytes::Le64(&b[enc]));
  EXPECT_EQ(1u, kbytes::Le32(&b[enc + 20]));
  EXPECT_EQ(5u, kbytes::Le32(&b[enc + 32]));
  EXPECT_EQ('$', b[enc + 36]);
  size_t second = enc + 36 + 10 + 12 + 7;
  EXPECT_EQ(4096u, kbytes::Le64(&b[second]));
  EXPECT_EQ(0u, kbytes::Le32(&b[second + 32]));  // no name: the count 0 alone
  MemArchive in(b);
  FilePtr back(new CFileInfo);
  ASSERT_EQ(0, back->Load(&in));
  auto* e = dynamic_cast<CEncRunList*>(back->GetRunList());
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(nullptr, e->m_second->name);
  EXPECT_EQ(10u, e->GetDataSectorCount());
  EXPECT_EQ(42u, e->m_value);
}

TEST(Records, CorruptInputIsRefusedAtEveryTruncation) {
  for (auto make : {MakePlain, MakeResident, MakeEncrypted}) {
    FilePtr f(make());
    std::vector<uint8_t> b = Saved(f.get());
    for (size_t cut = 0; cut < b.size(); ++cut) {
      MemArchive in(std::vector<uint8_t>(b.begin(), b.begin() + cut));
      FilePtr back(new CFileInfo);
      EXPECT_EQ(-1, back->Load(&in)) << "cut at " << cut;
    }
  }
}

TEST(Records, CorruptLengthsAreRefused) {
  FilePtr f(MakeResident());
  std::vector<uint8_t> good = Saved(f.get());
  for (uint16_t len : {0, 265, 65535}) {
    std::vector<uint8_t> b = good;
    kbytes::PutLe16(&b[32], len);
    b.resize(b.size() + 140000, 0x41);  // enough bytes that only the bound can stop the read
    MemArchive in(b);
    FilePtr back(new CFileInfo);
    EXPECT_EQ(-1, back->Load(&in)) << len;
  }
  // Resident data length 0, 4097 (past the largest FILE record) and 65535.
  size_t lenAt = 34 + 2 * 10 + 8;
  for (uint32_t len : {0u, 4097u, 65535u}) {
    std::vector<uint8_t> b = good;
    kbytes::PutLe32(&b[lenAt], len);
    b.resize(b.size() + 70000, 0);
    MemArchive in(b);
    FilePtr back(new CFileInfo);
    EXPECT_EQ(-1, back->Load(&in)) << len;
  }
  // A name whose terminator is missing still comes back terminated within its length.
  std::vector<uint8_t> b = good;
  b[34 + 2 * 9] = 'X';
  MemArchive in(b);
  FilePtr back(new CFileInfo);
  ASSERT_EQ(0, back->Load(&in));
  EXPECT_EQ(9u, wtext::Len(back->GetName()));
}

TEST(Records, RunListWithoutTerminatorAndLongChains) {
  std::vector<uint8_t> b;
  for (int i = 0; i < 1000; ++i) {
    uint8_t pair[12];
    kbytes::PutLe64(pair, uint64_t(i) * 8);
    kbytes::PutLe32(pair + 8, 8);
    b.insert(b.end(), pair, pair + 12);
  }
  MemArchive in(b);
  RunList r;
  EXPECT_EQ(-1, r.Load(&in));

  // A very long chain is freed without recursion and its total is summed in 64 bits.
  RunList* head = new RunList(0, 0xFFFFFFFFu);
  RunList* tail = head;
  for (int i = 0; i < 500000; ++i) tail = tail->m_next = new RunList(i, 0xFFFFFFFFu);
  EXPECT_EQ(500001ull * 0xFFFFFFFFull, head->GetTotalCount());
  head->Release();

  // An empty saved list is the terminator alone.
  MemArchive empty;
  uint8_t end[12];
  kbytes::PutLe64(end, 0xFFFFFFFFFFFFFFFDull);
  kbytes::PutLe32(end + 8, 0xFFFFFFFDu);
  empty.Write(end, 12);
  RunList e;
  ASSERT_EQ(0, e.Load(&empty));
  EXPECT_EQ(0u, e.GetTotalCount());
}

TEST(Records, SettersAndNames) {
  CFileInfo f;
  f.SetSize(7);
  f.SetSize(-1);
  EXPECT_EQ(7u, f.GetSize());
  // A FAT short name in an OEM code page: 0x82 is no UTF-8 lead byte.
  f.SetNameA("CAF\x82.TXT");
  ASSERT_NE(nullptr, f.GetName());
  EXPECT_EQ(8u, wtext::Len(f.GetName()));
  EXPECT_EQ(char16_t(0x82), f.GetName()[3]);
  f.SetNameA("caf\xc3\xa9");
  EXPECT_EQ(char16_t(0xE9), f.GetName()[3]);
  EXPECT_EQ(-1, f.GetFullPath(nullptr, nullptr));
  EXPECT_EQ(nullptr, f.GetParentFolder());

  CPermanentRunList p;
  EXPECT_EQ(RC_MISSING, p.SetData("x", 0));
  std::vector<uint8_t> big(4097);
  EXPECT_EQ(RC_MISSING, p.SetData(big.data(), 4097));
  EXPECT_EQ(0, p.SetData(big.data(), 4096));
  EXPECT_EQ(RC_MISSING, p.GetData(nullptr));
}

TEST(Records, CloneFollowsTheActualRunListClass) {
  EXPECT_EQ(nullptr, CloneFileInfo(nullptr));
  for (auto make : {MakePlain, MakeResident, MakeEncrypted}) {
    FilePtr f(make());
    FilePtr c(CloneFileInfo(f.get()));
    EXPECT_EQ(Saved(f.get()), Saved(c.get()));
    EXPECT_NE(f->GetRunList(), c->GetRunList());
  }
  // Flags that disagree with the object: the copy still holds the same class.
  CFileInfo* odd = MakePlain();
  odd->AddFlags(FF_RESIDENT);
  FilePtr o(odd);
  FilePtr c(CloneFileInfo(o.get()));
  EXPECT_NE(nullptr, dynamic_cast<RunList*>(c->GetRunList()));
  MemArchive a;
  EXPECT_EQ(-1, c->Save(&a));  // would load back as the wrong class
}

TEST(Records, NamesConvertToUtf8WholeAndLoneSurrogatesBecomeReplacements) {
  EXPECT_EQ(wtext::ToUtf8(u"a\u00e9\u20ac"), "a\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(wtext::ToUtf8(u"\U0001F600x"), "\xf0\x9f\x98\x80x");
  const char16_t lone[] = {u'a', char16_t(0xD800), u'b', 0};
  EXPECT_EQ(wtext::ToUtf8(lone), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(wtext::ToUtf8(static_cast<const char16_t*>(nullptr)), "");
  // A long name is converted whole, never cut at a bound.
  std::u16string many(300, u'\u20ac');
  EXPECT_EQ(wtext::ToUtf8(many).size(), 900u);
}
