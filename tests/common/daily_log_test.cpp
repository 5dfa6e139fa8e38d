#include "common/daily_log.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/temp_dir.h"

using common::FormatLogLine;
using platform::SystemTime;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

SystemTime At(int hour, int minute) {
  SystemTime t{};
  t.year = 2026;
  t.month = 3;
  t.day = 9;
  t.hour = static_cast<uint16_t>(hour);
  t.minute = static_cast<uint16_t>(minute);
  return t;
}

std::string Padded(const std::string& name) {
  return name + std::string(65 - name.size(), ' ');
}

}  // namespace

TEST(LogLine, TwelveHourClockAndColumns) {
  struct Case {
    int hour, minute;
    const char* clock;
  } cases[] = {{0, 7, "00:07am"},   {12, 7, "00:07pm"},  {11, 59, "11:59am"},
               {23, 59, "11:59pm"}, {12, 30, "00:30pm"}, {13, 0, "01:00pm"}};
  for (const Case& c : cases) {
    std::string line = FormatLogLine(10001, At(c.hour, c.minute), "[Program Started]", "");
    EXPECT_EQ(line, std::string("10001 2026/03/09  ") + c.clock + "  " +
                        Padded("[Program Started]") + " \r\n");
    EXPECT_EQ(line.substr(18, 7), c.clock);
    EXPECT_EQ(line[92], ' ');
  }
}

TEST(LogLine, CodesAndNameFieldWidth) {
  EXPECT_EQ(FormatLogLine(-906, At(9, 5), "h", "x").substr(0, 6), "-0906 ");
  EXPECT_EQ(FormatLogLine(3, At(9, 5), "h", "x").substr(0, 6), "00003 ");
  EXPECT_EQ(FormatLogLine(123456, At(9, 5), "h", "x").substr(0, 7), "123456 ");
  const std::string longName(80, 'n');
  std::string line = FormatLogLine(1, At(9, 5), longName, "text");
  EXPECT_EQ(line.substr(27, 65), std::string(65, 'n'));
  EXPECT_EQ(line.substr(92), " text\r\n");
}

// A stored list with line breaks ("PC1,PC2\r\nPC3") never splits a log line.
TEST(LogLine, LineBreaksInsideFieldsBecomeBlanks) {
  platform::SystemTime t{};
  t.year = 2026, t.month = 3, t.day = 9, t.hour = 14, t.minute = 2;
  const std::string line =
      FormatLogLine(10012, t, "[Down Message Sent:\nPING]", "PC1,PC2\r\nPC3\nPC4\rPC5\r\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.find('\r'), line.size() - 2);
  EXPECT_EQ(line.substr(27, 26), "[Down Message Sent: PING] ");
  EXPECT_EQ(line.substr(93), "PC1,PC2 PC3 PC4 PC5 \r\n");
}

TEST(LogLine, BothFilesGetTheLineWithTheirNameForm) {
  TempDir dir;
  SystemTime t = At(14, 2);
  ASSERT_TRUE(common::AppendEventLog(dir.path(), 10007, t, "[Account Created]", "srv"));
  ASSERT_TRUE(common::AppendDailyLog(dir.path(), 12, t, "srv", "737276", " Domain/IP: h"));
  EXPECT_EQ(ReadFile(dir / "Log/20260309.log"),
            "10007 2026/03/09  02:02pm  " + Padded("[Account Created]") + " srv\r\n" +
                "00012 2026/03/09  02:02pm  " + Padded("srv") + "  Domain/IP: h\r\n");
  EXPECT_EQ(ReadFile(dir / "Log/Disp/20260309.log"),
            "10007 2026/03/09  02:02pm  " + Padded("5b4163636f756e7420437265617465645d") +
                " srv\r\n" + "00012 2026/03/09  02:02pm  " + Padded("737276") +
                "  Domain/IP: h\r\n");
}

// An agent keeps its logs open for the run: the lines are the same, and a log that the
// console erases in between is started afresh rather than written into the deleted file.
TEST(LogLine, LogsKeptOpenFollowAnErasedFile) {
  TempDir dir;
  common::KeepDailyLogsOpen();
  SystemTime t = At(9, 30);
  ASSERT_TRUE(common::AppendDailyLog(dir.path(), 1, t, "srv", "737276", "first"));
  ASSERT_EQ(std::remove((dir / "Log/20260309.log").c_str()), 0);
  ASSERT_TRUE(common::AppendDailyLog(dir.path(), 2, t, "srv", "737276", "second"));
  EXPECT_EQ(ReadFile(dir / "Log/20260309.log"),
            "00002 2026/03/09  09:30am  " + Padded("srv") + " second\r\n");
  EXPECT_EQ(ReadFile(dir / "Log/Disp/20260309.log"),
            "00001 2026/03/09  09:30am  " + Padded("737276") + " first\r\n" +
                "00002 2026/03/09  09:30am  " + Padded("737276") + " second\r\n");
}
