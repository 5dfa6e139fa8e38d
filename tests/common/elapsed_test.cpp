#include "common/elapsed.h"

#include <gtest/gtest.h>

using common::ElapsedSeconds;
using common::ParseTimeStamp;

TEST(ElapsedSeconds, TrueCalendarDifferenceEitherWayRound) {
  struct Case {
    const char* from;
    const char* to;
    int64_t seconds;
  } cases[] = {
      {"20260131235800", "20260201000300", 300},        // month end
      {"20261231235959", "20270101000001", 2},          // year end
      {"20240228120000", "20240301120000", 2 * 86400},  // leap year
      {"20250228120000", "20250301120000", 86400},
      {"21000228000000", "21000301000000", 86400},  // 2100 is not a leap year
      {"20260309101010", "20260309101010", 0},
      {"20260401000000", "20260331000000", 86400},  // earlier second argument
  };
  for (const Case& c : cases) {
    auto a = ParseTimeStamp(c.from), b = ParseTimeStamp(c.to);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ElapsedSeconds(*b, *a), c.seconds) << c.from << " " << c.to;
    EXPECT_EQ(ElapsedSeconds(*a, *b), c.seconds);
  }
}

TEST(ElapsedSeconds, OnlyFourteenDigitStampsParse) {
  EXPECT_FALSE(ParseTimeStamp(""));
  EXPECT_FALSE(ParseTimeStamp("2026030910101"));
  EXPECT_FALSE(ParseTimeStamp("2026x309101010"));
  EXPECT_FALSE(ParseTimeStamp("20261309101010"));
  auto t = ParseTimeStamp("20260309235901");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->hour, 23);
  EXPECT_EQ(t->second, 1);
  EXPECT_EQ(common::NowStamp().size(), 14u);
}
