// The change log: one entry per change, byte for byte, in today's first file with room.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

std::string LogName(const platform::SystemTime& t, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "log/%04d%02d%02d%03d.txt", t.year, t.month, t.day, n);
  return name;
}

std::string Entry(const char* marker, const platform::SystemTime& t, const std::string& key) {
  char time[48];
  std::snprintf(time, sizeof time, "TIME=%d:%d:%d\r\n", t.hour, t.minute, t.second);
  return std::string("\r\n") + marker + "\r\n" + time + "Data=" + key + "\r\n";
}

TEST(VarnIndexChangeLog, EveryChangeAppendsItsEntry) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  struct Step {
    int32_t type;
    const char* key;
    int32_t result;
    const char* marker;
    const char* logged;
  } steps[] = {
      {1, "  Alpha ", 1, "[ADD]", "alpha"},
      {1, "ALPHA", 1, "[ADD]", "alpha"},
      {2, "beta", -4, "[ERROR_DEL]", "beta"},
      {2, "Alpha", 1, "[DEL]", "alpha"},
  };
  // Time stamps are to the second: try again when a second boundary passes mid-way.
  for (int attempt = 0; attempt < 5; ++attempt) {
    platform::RemoveFile(store / LogName(platform::LocalNow(), 1));
    const platform::SystemTime before = platform::LocalNow();
    std::string expected;
    for (const Step& s : steps) {
      ASSERT_EQ(s.result, AddDelDat(s.type, dir.c_str(), s.key)) << s.key;
      expected += Entry(s.marker, before, s.logged);
    }
    const platform::SystemTime after = platform::LocalNow();
    if (before.second != after.second || before.minute != after.minute) continue;
    EXPECT_EQ(expected, testsupport::ReadFile(store / LogName(before, 1)));
    return;
  }
  FAIL() << "the clock never stood still for a second";
}

TEST(VarnIndexChangeLog, AFullFileMovesTheLogToTheNextNumber) {
  testsupport::TempDir store;
  const platform::SystemTime now = platform::LocalNow();
  testsupport::WriteFile(store / LogName(now, 1), std::string(500000, 'x'));
  testsupport::WriteFile(store / LogName(now, 2), std::string(499999, 'x'));
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "k"));
  EXPECT_EQ(500000, platform::FileSize(store / LogName(now, 1)));
  const std::string second = testsupport::ReadFile(store / LogName(now, 2));
  ASSERT_GT(second.size(), 499999u);
  EXPECT_EQ(499999u, second.find("\r\n[ADD]\r\nTIME=", 499999));
}

// Files 001 to 999 full: the change goes to the thousandth file; with that one full too it
// goes nowhere (there is no 1001st) and the change itself still succeeds.
TEST(VarnIndexChangeLog, TheThousandthFileIsTheLast) {
  testsupport::TempDir store;
  const platform::SystemTime now = platform::LocalNow();
  platform::MakeDirs(store / "log");
  for (int n = 1; n <= 999; ++n) {  // sparse files: full by size, no disk space taken
    testsupport::WriteFile(store / LogName(now, n), "");
    ASSERT_EQ(0, truncate((store / LogName(now, n)).c_str(), 500000)) << n;
  }
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "k1"));
  const std::string last = store / LogName(now, 1000);
  const std::string entry = testsupport::ReadFile(last);
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "k2"));  // fills nothing beyond 1000
  ASSERT_EQ(0, truncate(last.c_str(), 500000));
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "k3"));
  if (LogName(platform::LocalNow(), 1) != LogName(now, 1)) GTEST_SKIP() << "the day changed";
  EXPECT_EQ(0u, entry.find("\r\n[ADD]\r\nTIME=")) << "no entry in the thousandth file";
  EXPECT_EQ(500000, platform::FileSize(last));
  EXPECT_FALSE(platform::PathExists(store / LogName(now, 1001)));
  EXPECT_EQ(999u, platform::ListFiles(store / "log").size() - 1);
}

}  // namespace
