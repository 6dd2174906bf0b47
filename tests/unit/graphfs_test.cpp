// The graph of loose records: orphans, cycles, out-of-order arrival and payload ownership.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "graphfs/graphfs.h"

using GFS::CGraphFileSystem;

namespace {

struct Out {
  std::multiset<std::u16string> paths;  // folder + "|" + name
  std::map<void*, int> released;
};

int OnFile(const char16_t* folder, const char16_t* name, void*, void* user, int) {
  static_cast<Out*>(user)->paths.insert(std::u16string(folder) + u"|" + name);
  return 0;
}
void OnRelease(void* payload, void* user) { static_cast<Out*>(user)->released[payload]++; }

void Root(CGraphFileSystem& g) { g.SetRootNode(5, -1, u"Volume", nullptr, u"Lost Location"); }

}  // namespace

TEST(GraphFs, OrphansAndCyclesLandUnderLostLocation) {
  CGraphFileSystem g;
  Root(g);
  int payload[3];
  EXPECT_EQ(0, g.AddNamedNode(100, 77, u"orphan.txt", &payload[0], nullptr));
  // A and B name each other as parent.
  EXPECT_EQ(0, g.AddNode(20, 21, u"A", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNode(21, 20, u"B", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNamedNode(101, 20, u"cyc.txt", &payload[1], nullptr));
  EXPECT_EQ(0, g.AddNamedNode(102, 5, u"top.txt", &payload[2], nullptr));
  Out out;
  EXPECT_EQ(0, g.EnumNodes(OnFile, &out));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/Lost Location/DIR00000000|orphan.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/Lost Location/B/A|cyc.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume|top.txt"));
  EXPECT_EQ(3u, out.paths.size());
}

TEST(GraphFs, RefusalsAndDuplicates) {
  CGraphFileSystem g;
  Root(g);
  EXPECT_EQ(-1, g.AddNode(5, 1, u"x", nullptr, nullptr));
  EXPECT_EQ(-1, g.AddNode(GFS::kOrphanId, 5, u"x", nullptr, nullptr));
  EXPECT_EQ(-1, g.AddNode(9, 9, u"x", nullptr, nullptr));
  EXPECT_EQ(-1, g.AddNode(9, 5, u"", nullptr, nullptr));
  EXPECT_EQ(-1, g.AddNamedNode(9, 5, std::u16string(260, u'n').c_str(), nullptr, nullptr));
  EXPECT_EQ(-1, g.AddNamedNode(9, GFS::kOrphanId, u"x", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNode(30, 5, u"A", nullptr, nullptr));
  EXPECT_EQ(3, g.AddNode(30, 5, u"Abc", nullptr, nullptr));
  EXPECT_EQ(2, g.AddNode(30, 5, u"Ab", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNamedNode(31, 30, u"f", nullptr, nullptr));
  Out out;
  g.EnumNodes(OnFile, &out);
  EXPECT_EQ(1u, out.paths.count(u"/Volume/Abc|f"));
}

TEST(GraphFs, DeepChainIsNotHandedOut) {
  CGraphFileSystem g;
  Root(g);
  for (int i = 0; i < 300; ++i) g.AddNode(1000 + i, i == 0 ? 5 : 999 + i, u"d", nullptr, nullptr);
  g.AddNamedNode(1, 1299, u"deep", nullptr, nullptr);
  g.AddNamedNode(2, 1010, u"shallow", nullptr, nullptr);
  Out out;
  g.EnumNodes(OnFile, &out);
  EXPECT_EQ(1u, out.paths.size());
}

// Files with low record numbers arrive before their folders; flushing now and then must
// give the same paths as one enumeration at the end, and release every payload once.
TEST(GraphFs, FlushesMatchOneFinalEnumeration) {
  const int kFolders = 40, kFiles = 3000;
  std::vector<int> payloads(kFiles);
  auto feed = [&](CGraphFileSystem& g, Out& out, bool flush) {
    Root(g);
    for (int i = 0; i < kFiles; ++i) {
      int folder = 10000 + i % kFolders;
      g.AddNamedNode(100 + i, folder, (u"f" + std::u16string(1, char16_t(u'a' + i % 26))).c_str(),
                     &payloads[i], nullptr);
      if (i == kFiles / 2)
        for (int d = 0; d < kFolders / 2; ++d)
          g.AddNode(10000 + d, d == 0 ? 5 : 10000 + d - 1, u"dir", nullptr, nullptr);
      if (flush && i % 500 == 499) g.FlushNodes(OnFile, OnRelease, &out);
    }
    for (int d = kFolders / 2; d < kFolders; ++d) g.AddNode(10000 + d, 5, u"late", nullptr, nullptr);
    g.EnumNodes(OnFile, &out);
    g.ReleaseNodes(OnRelease, &out);
  };
  Out flushed, once;
  {
    CGraphFileSystem g;
    feed(g, flushed, true);
  }
  {
    CGraphFileSystem g;
    feed(g, once, false);
  }
  EXPECT_EQ(once.paths, flushed.paths);
  EXPECT_EQ(size_t(kFiles), flushed.paths.size());
  for (const auto& p : flushed.paths) EXPECT_EQ(std::u16string::npos, p.find(u"Lost Location")) << std::string(p.begin(), p.end());
  EXPECT_EQ(size_t(kFiles), flushed.released.size());
  for (auto& kv : flushed.released) EXPECT_EQ(1, kv.second);
}

// Every entry has one parent, so one path: a stop answer comes once that path has been
// handed out. The flush ends there and the entry leaves the graph with its payload; the
// final hand-out must not give the same file a second time.
TEST(GraphFs, FlushStoppedByTheCallbackHandsNoFileOutTwice) {
  CGraphFileSystem g;
  Root(g);
  int payload[2];
  ASSERT_EQ(0, g.AddNode(30, 5, u"docs", nullptr, nullptr));
  ASSERT_EQ(0, g.AddNamedNode(100, 30, u"a.txt", &payload[0], nullptr));
  ASSERT_EQ(0, g.AddNamedNode(101, 30, u"b.txt", &payload[1], nullptr));
  auto stopAtOnce = [](const char16_t* folder, const char16_t* name, void* payload, void* user, int pct) {
    OnFile(folder, name, payload, user, pct);
    return 1;
  };
  Out out;
  EXPECT_EQ(0, g.FlushNodes(stopAtOnce, OnRelease, &out));
  EXPECT_EQ(1u, out.paths.size());
  EXPECT_EQ(1, out.released[&payload[0]]);
  g.EnumNodes(OnFile, &out);
  g.ReleaseNodes(OnRelease, &out);
  EXPECT_EQ(1u, out.paths.count(u"/Volume/docs|a.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/docs|b.txt"));
  EXPECT_EQ(2u, out.paths.size());
  EXPECT_EQ(1, out.released[&payload[0]]);
  EXPECT_EQ(1, out.released[&payload[1]]);
}

// Every id a disk can give is a real id: a folder or file numbered 123456789 (once the
// orphan folder's id), a parent of that number, and numbers past 32 bits all place their
// files where they belong; none of them meets the orphan folder or a stand-in.
TEST(GraphFs, OnDiskIdsNeverMeetTheGraphsOwn) {
  CGraphFileSystem g;
  Root(g);
  const int64_t kOld = 123456789;
  int payload[6];
  EXPECT_EQ(0, g.AddNode(kOld, 5, u"photos", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNamedNode(700, kOld, u"a.jpg", &payload[0], nullptr));
  EXPECT_EQ(0, g.AddNamedNode(kOld, 5, u"same-number.txt", &payload[1], nullptr));
  // HFS+ CNIDs above 2^31 and 48-bit NTFS record numbers stay whole and apart.
  EXPECT_EQ(0, g.AddNode(0xFFFFFFF0ll, 5, u"high", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNamedNode(0xFFFFFFF1ll, 0xFFFFFFF0ll, u"h.txt", &payload[2], nullptr));
  EXPECT_EQ(0, g.AddNode(0x100000005ll, 5, u"wide", nullptr, nullptr));
  EXPECT_EQ(0, g.AddNamedNode(0x100000006ll, 0x100000005ll, u"w.txt", &payload[3], nullptr));
  // A file whose folder never arrived, numbered like the old orphan folder.
  EXPECT_EQ(0, g.AddNamedNode(701, kOld + 1, u"lost.txt", &payload[4], nullptr));
  EXPECT_EQ(0, g.AddNamedNode(702, -1, u"under-minus-one.txt", &payload[5], nullptr));
  Out out;
  EXPECT_EQ(0, g.EnumNodes(OnFile, &out));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/photos|a.jpg"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume|same-number.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/high|h.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/wide|w.txt"));
  EXPECT_EQ(1u, out.paths.count(u"/Volume/Lost Location/DIR00000000|lost.txt"));
  EXPECT_EQ(6u, out.paths.size());
  // The graph's own ids lie where no disk reaches.
  EXPECT_GE(GFS::kOrphanId, int64_t(1) << 48);
}
