#include "console/status_cells.h"

#include <gtest/gtest.h>

#include <cstring>

namespace console {
namespace {

platform::SystemTime At(int y, int mo, int d, int h, int mi, int s) {
  platform::SystemTime t{};
  t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
  return t;
}

TEST(DurationCell, FormatsDownTotalAndTruncatedAvailability) {
  struct Case {
    int64_t down, total;
    const char* shown;
  } cases[] = {
      {300, 7200, " 00:05:00/02:00:00 95.8333%"},
      {0, 1, " 00:00:00/00:00:01 100.0000%"},
      {0, 0, ""},
      {1, 3, " 00:00:01/00:00:03 66.6666%"},  // truncated, not rounded
      {7200, 7200, " 02:00:00/02:00:00 00.0000%"},
      {3661, 90061, " 01:01:01/25:01:01 95.9349%"},
      {30, 3, " 00:00:30/00:00:03 00.0000%"},  // never a negative availability
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DurationCell({c.down, c.total}), c.shown) << c.down << "/" << c.total;
  }
}

TEST(DurationCell, AddsTheRunningOutageAndUsesConsoleStartForAnEmptyRecord) {
  common::CheckStatus s{};
  s.downSeconds = 60;
  std::strcpy(s.lastFailure, "20261207235900");
  s.statsStart = At(2026, 12, 7, 23, 0, 0);
  DurationFigures f = DurationOf(s, At(2026, 12, 8, 0, 1, 0), At(2026, 12, 8, 0, 0, 0));
  EXPECT_EQ(f.total, 3660);
  EXPECT_EQ(f.down, 60 + 120);
  s.statsStart = {};
  s.lastFailure[0] = '\0';
  f = DurationOf(s, At(2026, 12, 8, 0, 1, 0), At(2026, 12, 8, 0, 0, 0));
  EXPECT_EQ(f.total, 60);
  EXPECT_EQ(f.down, 60);
}

TEST(TimeCell, TwelveHourClockWithNoonAsZero) {
  EXPECT_EQ(TimeCell("20261208000500"), "00:05am");
  EXPECT_EQ(TimeCell("20261208115900"), "11:59am");
  EXPECT_EQ(TimeCell("20261208120500"), "00:05pm");
  EXPECT_EQ(TimeCell("20261208233000"), "11:30pm");
  EXPECT_EQ(TimeCell("202612081230"), "");  // 12 characters: never scanned
  EXPECT_EQ(TimeCell(""), "");
}

TEST(Lamp, YellowForOneFailureRedForAnErrorElseGreen) {
  common::CheckStatus s{};
  std::strcpy(s.lastCheck, "20261208101000");
  EXPECT_EQ(LampOf(s), Lamp::kGreen);
  EXPECT_EQ(StateOrder(s), 2);
  s.failCount = 1;
  EXPECT_EQ(LampOf(s), Lamp::kYellow);
  EXPECT_EQ(StateOrder(s), 1);
  s.failCount = 2;
  std::strcpy(s.errorDetected, "20261208101010");
  EXPECT_EQ(LampOf(s), Lamp::kRed);
  EXPECT_EQ(StateOrder(s), 0);
  s.failCount = 1;  // a first failure wins over a stale error text
  EXPECT_EQ(LampOf(s), Lamp::kYellow);
  s.failCount = 0;
  s.errorDetected[0] = '\0';
  EXPECT_EQ(LampOf(s), Lamp::kGreen);
}

TEST(Lamp, WhiteUntilTheFirstCheckOfTheRecord) {
  struct Case {
    const char* lastCheck;
    int failCount;
    const char* errorDetected;
    Lamp lamp;
  } cases[] = {
      {"", 0, "", Lamp::kWhite},                // a record the console just made
      {"202612081010", 0, "", Lamp::kWhite},    // 12 characters: never scanned
      {"2026120810100", 0, "", Lamp::kGreen},   // 13 characters: a check started
      {"20261208101000", 0, "", Lamp::kGreen},  // checked and up
      {"", 1, "", Lamp::kYellow},               // a result wins over the missing time
      {"", 2, "20261208101010", Lamp::kRed},
  };
  for (const Case& c : cases) {
    common::CheckStatus s{};
    s.enabled = 1;
    std::strcpy(s.lastCheck, c.lastCheck);
    s.failCount = static_cast<int8_t>(c.failCount);
    std::strcpy(s.errorDetected, c.errorDetected);
    EXPECT_EQ(LampOf(s), c.lamp) << "'" << c.lastCheck << "' " << c.failCount;
    EXPECT_EQ(NeverChecked(s), std::strlen(c.lastCheck) <= 12) << c.lastCheck;
  }
}

TEST(ServiceNames, FromTheFirstLettersOfTheDataDirectory) {
  struct Case {
    const char* dir;
    const char* cell;
    const char* sort;
  } cases[] = {
      {"PINGData", " PING", "PING"},
      {"POPData", " POP", "POP"},
      {"HTTPData", " HTTP", "HTTP"},
      {"HTTPPageData", " HTTP Page Check", "HTTP Page Check"},
      {"FTPPortData", " FTP", "FTP"},
      {"FTPSendRecData", " FTP Transfer", "FTP Transfer"},
      {"SMTPData", " SMTP", "SMTP"},
      {"EmailData", " Email Send/Receive", "Email Send/Receive"},
      {"CustData", " CUSTOM", "CUSTOM"},
      {"pingdata", " PING", "PING"},
      {"httppagedata", " HTTP Page Check", "HTTP Page Check"},
      {"Xyz", "", "CUSTOM"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ServiceCell(c.dir), c.cell) << c.dir;
    EXPECT_EQ(ServiceSortName(c.dir), c.sort) << c.dir;
  }
}

TEST(SortKeys, NewestFirstAndNeverScannedLast) {
  EXPECT_EQ(ReversedStampKey("20261208101530"), std::string("79738791898469"));
  EXPECT_EQ(ReversedStampKey(""), "99999999999999");
  EXPECT_EQ(ReversedStampKey("202612081015"), "99999999999999");
  // Later stamps give smaller keys, and every scanned key sorts before the never-scanned one.
  EXPECT_LT(ReversedStampKey("20261208101531"), ReversedStampKey("20261208101530"));
  EXPECT_LT(ReversedStampKey("20261209000000"), ReversedStampKey("20261208235959"));
  EXPECT_LT(ReversedStampKey("19000101000000"), ReversedStampKey(""));
}

}  // namespace
}  // namespace console
