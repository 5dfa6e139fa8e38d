#include "console/log_files.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace console {
namespace {

TEST(LogCutoff, StepsBackAcrossMonthsYearsAndLeapDays) {
  struct Case {
    int y, m, d, days;
    long cutoff;
  } cases[] = {
      {2026, 12, 8, 5, 20261203},  {2026, 12, 8, 0, 20261208},
      {2026, 12, 3, 5, 20261128},                              // November has 30 days
      {2026, 3, 10, 25, 20260213}, {2026, 3, 1, 1, 20260228},  // 2026 is no leap year
      {2024, 3, 1, 1, 20240229},                               // 2024 is
      {2100, 3, 1, 1, 21000229},                               // every fourth year counts as leap
      {2027, 1, 5, 10, 20261226},                              // across the year end
      {2026, 12, 8, 60, 20261009}, {2026, 12, 8, 160, 20260701},
      {2026, 5, 31, 31, 20260430},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogCutoffDate(c.y, c.m, c.d, c.days), c.cutoff)
        << c.y << "-" << c.m << "-" << c.d << " minus " << c.days;
  }
}

TEST(DeleteOldLogs, DeletesDatedFilesOnOrBeforeTheCutoffOnly) {
  testsupport::TempDir dir;
  for (const char* name : {"20261203.log", "20261130.log", "20261204.log", "20261208.log",
                           ".20261101.log", "notes.txt", "Disp/20261101.log"}) {
    testsupport::WriteFile(dir / name, "x");
  }
  platform::SystemTime today{};
  today.year = 2026, today.month = 12, today.day = 8;
  EXPECT_EQ(DeleteOldLogs(dir.path(), today, 5), 2);
  EXPECT_FALSE(platform::PathExists(dir / "20261203.log"));  // exactly five days ago
  EXPECT_FALSE(platform::PathExists(dir / "20261130.log"));
  EXPECT_TRUE(platform::PathExists(dir / "20261204.log"));
  EXPECT_TRUE(platform::PathExists(dir / "20261208.log"));
  EXPECT_TRUE(platform::PathExists(dir / ".20261101.log"));
  EXPECT_TRUE(platform::PathExists(dir / "notes.txt"));
  EXPECT_TRUE(platform::PathExists(dir / "Disp/20261101.log"));  // subfolders are not entered
}

// A stored day count outside the list (0 among them: Scan.dat can hold it) keeps five days
// as the Setup dialog shows; today's log always stays.
TEST(DeleteOldLogs, UnlistedRetentionKeepsFiveDaysAndTodaysLog) {
  const struct {
    int stored, effective;
  } cases[] = {{0, 5}, {-3, 5}, {7, 5}, {161, 5}, {200, 5}, {1, 1}, {5, 5}, {10, 10}, {160, 160}};
  for (const auto& c : cases) EXPECT_EQ(EffectiveLogDays(c.stored), c.effective) << c.stored;
  for (int stored : {0, 7, 65535}) {
    testsupport::TempDir dir;
    for (const char* name : {"20261208.log", "20261207.log", "20261203.log", "20261202.log"}) {
      testsupport::WriteFile(dir / name, "x");
    }
    platform::SystemTime today{};
    today.year = 2026, today.month = 12, today.day = 8;
    EXPECT_EQ(DeleteOldLogs(dir.path(), today, stored), 2) << stored;
    EXPECT_TRUE(platform::PathExists(dir / "20261208.log")) << stored;
    EXPECT_TRUE(platform::PathExists(dir / "20261207.log")) << stored;
    EXPECT_FALSE(platform::PathExists(dir / "20261203.log")) << stored;
  }
}

}  // namespace
}  // namespace console
