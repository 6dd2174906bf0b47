// Result filters: inclusive bounds and whole local days, also across a daylight-saving change.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "filemanager/fileinfo.h"
#include "common/timeconv.h"
#include "scanoperate/filter_res.h"

namespace {

struct TzScope {
  std::string old;
  bool had;
  explicit TzScope(const char* tz) {
    const char* o = getenv("TZ");
    had = o != nullptr;
    if (o) old = o;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzScope() {
    if (had) setenv("TZ", old.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
};

CFileInfo* File(const char16_t* name, int64_t size, int64_t create, int64_t modify, uint32_t validity) {
  auto* f = new CFileInfo();
  f->SetName(name);
  f->SetSize(size);
  f->SetTimes(uint64_t(create), uint64_t(modify));
  f->SetValidity(validity);
  return f;
}

}  // namespace

TEST(Filters, CriteriaAreInclusiveAndConjunctive) {
  CSDK2Filter f;
  CFileInfo* a = File(u"report.doc", 100, 0, 0, 50);
  CFileInfo* b = File(u"photo.jpg", 101, 0, 0, 49);
  EXPECT_TRUE(f.Match(a));  // no criteria: everything
  f.AddName(u"");
  EXPECT_TRUE(f.Match(b));
  f.AddSize(100, 100);
  EXPECT_TRUE(f.Match(a));
  EXPECT_FALSE(f.Match(b));
  f.Clear();
  f.AddValidity(50);
  EXPECT_TRUE(f.Match(a));
  EXPECT_FALSE(f.Match(b));
  f.Clear();
  f.AddName(u"port");
  f.AddFileType(3);
  f.AddStatus(1);
  EXPECT_TRUE(f.Match(a));
  EXPECT_FALSE(f.Match(b));
  f.Clear();
  f.AddName(u"PORT");  // case-sensitive
  EXPECT_FALSE(f.Match(a));
  a->Release();
  b->Release();
}

TEST(Filters, DateRangesCoverWholeLocalDays) {
  for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    TzScope scope(tz);
    SCOPED_TRACE(tz);
    // The day the clocks go forward in the second zone has only 23 hours.
    int64_t dayStart = MakeLocalTime(2024, 3, 31, 0, 0, 0);
    int64_t dayEnd = MakeLocalTime(2024, 3, 31, 23, 59, 59);
    ASSERT_GT(dayEnd, dayStart);
    CSDK2Filter f;
    f.AddCreateTime(2024, 3, 31, 2024, 3, 31);
    CFileInfo* in1 = File(u"a", 1, dayStart, 0, 100);
    CFileInfo* in2 = File(u"b", 1, dayEnd, 0, 100);
    CFileInfo* before = File(u"c", 1, dayStart - 1, 0, 100);
    CFileInfo* after = File(u"d", 1, dayEnd + 1, 0, 100);
    CFileInfo* undated = File(u"e", 1, -1, -1, 100);
    EXPECT_TRUE(f.Match(in1));
    EXPECT_TRUE(f.Match(in2));
    EXPECT_FALSE(f.Match(before));
    EXPECT_FALSE(f.Match(after));
    EXPECT_FALSE(f.Match(undated));  // -1 is before every day, not after
    CSDK2Filter m;
    m.AddModifyTime(2024, 3, 1, 2024, 3, 31);
    EXPECT_FALSE(m.Match(in1));  // modify time 0 is 1970
    for (auto* p : {in1, in2, before, after, undated}) p->Release();
  }
}
