#include "console/display_log.h"

#include <gtest/gtest.h>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace console {
namespace {

std::string Line(long code, int hour, const std::string& name, const std::string& text) {
  platform::SystemTime t{};
  t.year = 2026, t.month = 12, t.day = 8, t.hour = hour, t.minute = 30;
  return common::FormatLogLine(code, t, common::HexKey(name), text);
}

TEST(PaneLine, CellsAndTones) {
  PaneEntry e = ParsePaneLine(Line(-906, 12, "web-01", "Timed out").substr(0, 0) +
                              std::string(Line(-906, 12, "web-01", "Timed out")).substr(0, 999));
  EXPECT_EQ(e.time, "00:30pm");
  EXPECT_EQ(e.date, "2026/12/08");
  EXPECT_EQ(e.name, "web-01");
  EXPECT_EQ(e.message.substr(0, 9), "Timed out");
  EXPECT_EQ(e.tone, PaneEntry::Tone::kFailure);
  EXPECT_EQ(ParsePaneLine(Line(10007, 1, "[Account Created]", "x")).tone, PaneEntry::Tone::kEvent);
  EXPECT_EQ(ParsePaneLine(Line(12, 1, "web-01", "12ms")).tone, PaneEntry::Tone::kNormal);
  // A name longer than 31 bytes shows only its first 31.
  EXPECT_EQ(ParsePaneLine(Line(12, 1, std::string(40, 'a'), "")).name, std::string(31, 'a'));
}

TEST(DisplayLog, LoadsIncrementallyNewestFirstAndRestartsWhenTheFileShrinks) {
  testsupport::TempDir dir;
  const std::string path = dir / "20261208.log";
  DisplayLog log;
  EXPECT_FALSE(log.Load(path));  // missing: nothing changes
  platform::AppendToFile(path, Line(10001, 9, "[Program Started]", ""));
  platform::AppendToFile(path, Line(12, 9, "web-01", "first"));
  ASSERT_TRUE(log.Load(path));
  EXPECT_EQ(log.LineCount(), 2u);
  platform::AppendToFile(path, Line(13, 9, "web-01", "second"));
  platform::AppendToFile(path, "00014 partial line without end");
  ASSERT_TRUE(log.Load(path));
  EXPECT_EQ(log.LineCount(), 3u);  // the unfinished line waits
  EXPECT_EQ(ParsePaneLine(*log.PaneRow(0, 0)).message.substr(0, 6), "second");
  EXPECT_EQ(ParsePaneLine(*log.PaneRow(1, 0)).message.substr(0, 5), "first");
  EXPECT_FALSE(log.PaneRow(0, 3));
  EXPECT_EQ(log.Line(0).back(), ' ');  // CR LF dropped, the blank before the text kept
  // A shorter file (a new day's file with the same name) loads from its first line.
  ASSERT_TRUE(platform::WriteFileAtomic(path, Line(10001, 0, "[Program Started]", "")));
  ASSERT_TRUE(log.Load(path));
  EXPECT_EQ(log.LineCount(), 1u);
  EXPECT_EQ(ParsePaneLine(*log.PaneRow(0, 0)).name, "[Program Started]");
}

// An empty line in the middle of the file is an empty row; the older lines stay reachable.
TEST(DisplayLog, EmptyLineDoesNotHideOlderLines) {
  testsupport::TempDir dir;
  const std::string path = dir / "log.txt";
  ASSERT_TRUE(platform::WriteFileAtomic(
      path, Line(1, 0, "a", "oldest") + "\r\n" + Line(2, 0, "b", "newest")));
  DisplayLog log;
  ASSERT_TRUE(log.Load(path));
  ASSERT_EQ(log.LineCount(), 3u);
  ASSERT_TRUE(log.PaneRow(0, 1));
  EXPECT_EQ(*log.PaneRow(0, 1), "");
  ASSERT_TRUE(log.PaneRow(0, 2));
  EXPECT_EQ(ParsePaneLine(*log.PaneRow(0, 2)).message.substr(0, 6), "oldest");
  EXPECT_FALSE(log.PaneRow(0, 3));
}

}  // namespace
}  // namespace console
