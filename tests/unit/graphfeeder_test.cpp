// The feeder between a scanner's graph and the results tree: flush cadence, the three
// answers to a stop request, hand-over after a stop, orphans and payload ownership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graphfs/graphfeeder.h"
#include "stubfilemanager.h"
#include "testutil.h"

using GFS::CGraphFeeder;
using GFS::FeedRules;
using testutil::Utf8;

namespace {

// Records what arrives; answers "stop" from the stopAt-th file on (0: never).
class RecordingManager : public StubFileManager {
 public:
  std::vector<std::string> files;  // folder + "|" + name
  size_t stopAt = 0;
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    files.push_back(Utf8(folder) + "|" + Utf8(file->GetName()));
    file->Release();
    return stopAt && files.size() >= stopAt ? 1 : 0;
  }
};

// A payload that counts its releases, so that each is seen freed exactly once.
struct Counted : CFileInfo {
  explicit Counted(int* released) : m_released(released) {}
  void Release() override {
    ++*m_released;
    CFileInfo::Release();
  }
  int* m_released;
};

struct Scanner {
  int released = 0;  // declared first: a feeder left with payloads frees them into it
  int made = 0;
  RecordingManager manager;
  CGraphFeeder feeder;
  explicit Scanner(const FeedRules& rules) : feeder(rules) {
    EXPECT_TRUE(feeder.Start(&manager, OnFile, nullptr, OnRelease, this));
    feeder.SetRoots(5, -1);
  }
  static int OnFile(const char16_t* folder, const char16_t*, void* payload, void* user, int) {
    return static_cast<Scanner*>(user)->feeder.AddClone(folder, payload);
  }
  static void OnRelease(void* payload, void* user) { GFS::ReleaseFileInfo(payload, user); }
  // A file under parent, told to the feeder like a scanner tells each record.
  void File(int64_t id, int64_t parent, const char16_t* name) {
    Counted* f = new Counted(&released);
    f->SetName(name);
    f->SetSize(1);
    ++made;
    if (feeder.Graph()->AddNamedNode(id, parent, name, f, nullptr) < 0) f->Release();
    feeder.Note();
  }
  // n files under the root, numbered from 100 and named f0, f1, ...
  void Files(int n) {
    for (int i = 0; i < n; ++i) File(100 + i, 5, (u"f" + std::u16string(1, char16_t(u'0' + i))).c_str());
  }
};

const FeedRules kEveryThree = {3, GFS::kAnswerEndsWalk, true, 2};

}  // namespace

TEST(GraphFeeder, FlushesOnceMoreThanTheLimitWaitAndHandsTheRestOutAtTheEnd) {
  Scanner s(kEveryThree);
  s.Files(3);
  EXPECT_TRUE(s.manager.files.empty());  // three pending: not more than the limit
  s.File(103, 5, u"f3");
  EXPECT_EQ(4u, s.manager.files.size());
  EXPECT_EQ(4, s.released);  // handed-out payloads leave the graph at once
  s.File(104, 5, u"f4");
  s.File(105, 5, u"f5");
  EXPECT_EQ(4u, s.manager.files.size());  // the count went back to zero
  s.feeder.Finish();
  EXPECT_EQ(6u, s.manager.files.size());
  EXPECT_EQ(s.made, s.released);
  EXPECT_EQ("/Volume|f5", s.manager.files.back());
  EXPECT_EQ(nullptr, s.feeder.Graph());
}

TEST(GraphFeeder, CountWithoutFlushLeavesTheFlushToTheScanner) {
  Scanner s(kEveryThree);
  for (int i = 0; i < 4; ++i) {
    Counted* f = new Counted(&s.released);
    std::u16string name = u"g" + std::u16string(1, char16_t(u'0' + i));
    f->SetName(name.c_str());
    f->SetSize(1);
    ++s.made;
    s.feeder.Graph()->AddNamedNode(200 + i, 5, name.c_str(), f, nullptr);
    EXPECT_EQ(i == 3, s.feeder.Count());
  }
  EXPECT_TRUE(s.manager.files.empty());
  EXPECT_EQ(0, s.feeder.FlushIfDue());
  EXPECT_EQ(4u, s.manager.files.size());
  EXPECT_EQ(0, s.feeder.FlushIfDue());  // nothing pending any more
  s.feeder.Finish();
  EXPECT_EQ(s.made, s.released);
}

TEST(GraphFeeder, OrphansWaitDuringTheScanAndLandUnderLostLocationAtTheEnd) {
  Scanner s(kEveryThree);
  s.feeder.Graph()->AddNode(40, 5, u"docs", nullptr, nullptr);
  s.File(300, 41, u"late.txt");  // its folder comes after a flush
  s.File(301, 77, u"lost.txt");  // its folder never comes
  s.File(302, 40, u"a.txt");
  s.File(303, 5, u"b.txt");  // the flush: only entries with real folders leave
  EXPECT_EQ((std::vector<std::string>{"/Volume/docs|a.txt", "/Volume|b.txt"}), s.manager.files);
  s.feeder.Graph()->AddNode(41, 40, u"old", nullptr, nullptr);
  s.feeder.Finish();
  ASSERT_EQ(4u, s.manager.files.size());
  EXPECT_EQ("/Volume/docs/old|late.txt", s.manager.files[2]);
  EXPECT_EQ("/Volume/Lost Location/DIR00000000|lost.txt", s.manager.files[3]);
  EXPECT_EQ(s.made, s.released);
}

TEST(GraphFeeder, TheStopAnswerOfTheResultsTreeFollowsTheRules) {
  // Ends the scan: the flush stops at once, the scan is stopped, and the final hand-over
  // still runs to its end although the tree goes on answering stop.
  {
    Scanner s({3, GFS::kAnswerEndsScan, true, -1});
    s.manager.stopAt = 2;
    s.Files(4);
    EXPECT_EQ(2u, s.manager.files.size());
    EXPECT_TRUE(s.feeder.Stopped());
    EXPECT_EQ(-1, s.feeder.Result(0));
    s.feeder.Finish();
    EXPECT_EQ(4u, s.manager.files.size());
    EXPECT_EQ(s.made, s.released);
  }
  // A stop answer in the final hand-over of a scan that was not stopped still ends it.
  {
    Scanner s({100, GFS::kAnswerEndsScan, true, -1});
    s.manager.stopAt = 1;
    s.Files(3);
    s.feeder.Finish();
    EXPECT_EQ(1u, s.manager.files.size());
    EXPECT_TRUE(s.feeder.Stopped());
    EXPECT_EQ(s.made, s.released);
  }
  // Ends the walk only: the next flush goes on where this one ended.
  {
    Scanner s({3, GFS::kAnswerEndsWalk, true, 2});
    s.manager.stopAt = 2;
    s.Files(4);
    EXPECT_EQ(2u, s.manager.files.size());
    EXPECT_FALSE(s.feeder.Stopped());
    EXPECT_EQ(1, s.feeder.Result(1));
    s.manager.stopAt = 0;
    s.feeder.Finish();
    EXPECT_EQ(4u, s.manager.files.size());
    EXPECT_EQ(s.made, s.released);
  }
  // Ignored: every file of the flush is handed out.
  {
    Scanner s({3, GFS::kAnswerIgnored, true, 0});
    s.manager.stopAt = 1;
    s.Files(4);
    EXPECT_EQ(4u, s.manager.files.size());
    EXPECT_FALSE(s.feeder.Stopped());
    EXPECT_EQ(0, s.feeder.Result(0));
  }
}

TEST(GraphFeeder, AStoppedScanHandsOutOnlyWhenTheRulesSaySo) {
  for (bool handOver : {true, false}) {
    Scanner s({100, GFS::kAnswerEndsWalk, handOver, 2});
    s.File(100, 5, u"a");
    s.File(101, 5, u"b");
    s.feeder.Stop();
    EXPECT_EQ(2, s.feeder.Result(1));
    s.feeder.Finish();
    EXPECT_EQ(handOver ? 2u : 0u, s.manager.files.size());
    EXPECT_EQ(s.made, s.released);  // kept back or not, every payload is freed
  }
  // A stop that leaves the scan's own result standing, a failure as well as success.
  CGraphFeeder f({100, GFS::kAnswerIgnored, true, GFS::kResultAsIs});
  f.Stop();
  EXPECT_EQ(0, f.Result(0));
  EXPECT_EQ(-1, f.Result(-1));
}

TEST(GraphFeeder, PayloadsAreFreedByDiscardRestartAndDestruction) {
  int released = 0;
  {
    RecordingManager m;
    CGraphFeeder f(kEveryThree);
    ASSERT_TRUE(f.Start(&m, Scanner::OnFile, nullptr, Scanner::OnRelease, nullptr));
    f.SetRoots(5, -1);
    f.Graph()->AddNamedNode(1, 5, u"x", new Counted(&released), nullptr);
    f.Stop();
    // A new scan frees what the last one left and starts unstopped with nothing pending.
    ASSERT_TRUE(f.Start(&m, Scanner::OnFile, nullptr, Scanner::OnRelease, nullptr));
    EXPECT_EQ(1, released);
    EXPECT_FALSE(f.Stopped());
    EXPECT_EQ(0, f.FlushIfDue());
    f.SetRoots(5, -1);
    f.Graph()->AddNamedNode(2, 5, u"y", new Counted(&released), nullptr);
    f.Discard();
    EXPECT_EQ(2, released);
    EXPECT_EQ(nullptr, f.Graph());
    f.Finish();  // no graph: nothing to do
    ASSERT_TRUE(f.Start(&m, Scanner::OnFile, nullptr, Scanner::OnRelease, nullptr));
    f.SetRoots(5, -1);
    f.Graph()->AddNamedNode(3, 5, u"z", new Counted(&released), nullptr);
    EXPECT_TRUE(m.files.empty());
  }  // left behind by a fault: the destructor frees it
  EXPECT_EQ(3, released);
}

TEST(GraphFeeder, AFileForNoResultsTreeIsFreedAndEndsTheWalk) {
  CGraphFeeder f(kEveryThree);
  int released = 0;
  ASSERT_TRUE(f.Start(nullptr, Scanner::OnFile, nullptr, Scanner::OnRelease, nullptr));
  EXPECT_EQ(-1, f.Add(u"/Volume", new Counted(&released)));
  EXPECT_EQ(1, released);
  EXPECT_EQ(0, f.Add(u"/Volume", nullptr));
  Counted kept(&released);
  EXPECT_EQ(-1, f.AddClone(u"/Volume", &kept));  // no copy is made for nobody
  EXPECT_EQ(0, f.AddClone(u"/Volume", nullptr));
}

TEST(GraphFeeder, TheFinalHandOverCanUseItsOwnCallback) {
  struct Two {
    int flushCalls = 0, finalCalls = 0, released = 0;
    RecordingManager manager;
    CGraphFeeder feeder{kEveryThree};
  } t;
  auto flushFn = [](const char16_t* folder, const char16_t*, void* payload, void* user, int) {
    Two* t = static_cast<Two*>(user);
    ++t->flushCalls;
    return t->feeder.AddClone(folder, payload);
  };
  auto finalFn = [](const char16_t* folder, const char16_t*, void* payload, void* user, int) {
    Two* t = static_cast<Two*>(user);
    ++t->finalCalls;
    return t->feeder.AddClone(folder, payload);
  };
  ASSERT_TRUE(t.feeder.Start(&t.manager, flushFn, finalFn, Scanner::OnRelease, &t));
  t.feeder.SetRoots(2, 1);
  for (int i = 0; i < 5; ++i) {
    std::u16string name = u"h" + std::u16string(1, char16_t(u'0' + i));
    Counted* c = new Counted(&t.released);
    c->SetName(name.c_str());
    c->SetSize(1);
    t.feeder.Graph()->AddNamedNode(20 + i, 2, name.c_str(), c, nullptr);
    t.feeder.Note();
  }
  t.feeder.Finish();
  EXPECT_EQ(4, t.flushCalls);
  EXPECT_EQ(1, t.finalCalls);
  EXPECT_EQ(5u, t.manager.files.size());
  EXPECT_EQ(5, t.released);
}
