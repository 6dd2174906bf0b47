// The one test every damage row runs (rows: tests/support/damagematrix.h and the files that
// instantiate it).
#include <gtest/gtest.h>

#include "damagematrix.h"

namespace testutil {

TEST_P(DamageMatrix, GivesBackWhatIsPinned) {
  const DamageRow& row = GetParam();
  DamageTally t = RunDamageRow(row);
  if (!t.skipped.empty()) {
    GTEST_SKIP() << t.skipped;
  }
  if (row.scanResult != DamageRow::kAnyResult) {
    EXPECT_EQ(t.scanResult, row.scanResult);
  }
  EXPECT_TRUE(t.unchanged) << "the scan wrote to the image";
  for (const std::string& p : t.wrong) ADD_FAILURE() << "wrong bytes: " << p;
  std::string missed;
  for (size_t i = 0; i < t.notExact.size() && i < 40; ++i) missed += "\n  " + t.notExact[i];
  for (size_t i = 0; i < t.moved.size() && i < 40; ++i) missed += "\n  found elsewhere: " + t.moved[i];
  EXPECT_EQ(t.exact, row.allExact ? t.manifestFiles : row.exact) << t.files << " files, " << t.noData << " without data, " << t.elsewhere
                                << " exact elsewhere; not exact at their paths:" << missed;
  if (row.elsewhere >= 0) {
    EXPECT_EQ(t.elsewhere, row.elsewhere);
  }
  if (row.listed >= 0) {
    EXPECT_EQ(t.files, row.listed) << "files found in all";
  }
  if (row.overwritten >= 0) {
    EXPECT_EQ(t.overwritten, row.overwritten)
        << "files without data whose clusters other files hold, of " << t.noData << " without data";
  }
}

}  // namespace testutil

namespace {

using testutil::DamageRow;

// The intact volumes of the shared fixtures: what every damage row is measured against.
DamageRow Intact(const char* name, const char* image, int kind, int exact) {
  DamageRow r;
  r.name = name;
  r.image = std::string(image) + ".img";
  r.manifest = image;
  r.kind = kind;
  r.exact = exact;
  return r;
}

const DamageRow kIntactRows[] = {
    Intact("fat16_deleted", "fat16", 1, 13),     Intact("fat16_volume", "fat16", 0x100, 47),
    Intact("fat32_deleted", "fat32", 1, 15),     Intact("fat32_volume", "fat32", 0x100, 48),
    Intact("exfat_deleted", "exfat", 1, 11),     Intact("exfat_volume", "exfat", 0x100, 159),
    Intact("ntfs_deleted", "ntfs", 1, 166),      Intact("ntfs_volume", "ntfs", 0x100, 2140),
    Intact("hfsplus_volume", "hfsplus", 0x100, 302),
};

}  // namespace

namespace testutil {
INSTANTIATE_TEST_SUITE_P(Intact, DamageMatrix, ::testing::ValuesIn(kIntactRows), DamageRowName);
}  // namespace testutil
