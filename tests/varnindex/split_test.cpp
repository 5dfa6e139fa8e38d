// A full key file is split in two before the next insertion into it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store_helpers.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

using varnindex_test::KeyFileNames;
using varnindex_test::NumberedKeys;
using varnindex_test::ReadAll;
using varnindex_test::SlotCount;
using varnindex_test::WriteKeyFile;

TEST(VarnIndexSplit, TheInsertionAfterTheTwoThousandthSplitsTheFile) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  std::vector<std::string> keys = NumberedKeys("key-00", 0, 2000);
  // 1999 keys written directly, the 2000th through the library: no split yet.
  WriteKeyFile(store / "kdt.key", std::vector<std::string>(keys.begin(), keys.end() - 1));
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), keys.back().c_str()));
  EXPECT_EQ(std::vector<std::string>{"kdt.key"}, KeyFileNames(dir));
  EXPECT_EQ(2000, SlotCount(store / "kdt.key"));

  // The next insertion splits: the upper half ("key-001000" on) moves to a new file.
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "key-00"));  // below all: stays in the lower half
  EXPECT_EQ((std::vector<std::string>{"kdt.key", "key-00_1000000.key"}), KeyFileNames(dir));
  EXPECT_EQ(1001, SlotCount(store / "kdt.key"));
  EXPECT_EQ(1000, SlotCount(store / "key-00_1000000.key"));
  keys.insert(keys.begin(), "key-00");
  EXPECT_EQ(keys, ReadAll(dir));
  EXPECT_EQ(2001, HowManyRecordInDB(dir.c_str()));

  // A key above every other goes to the upper file, which holds the top of the range.
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "key-009999"));
  EXPECT_EQ(1001, SlotCount(store / "key-00_1000000.key"));
  keys.push_back("key-009999");
  EXPECT_EQ(keys, ReadAll(dir));
}

TEST(VarnIndexSplit, NewFileNamesComeFromTheFirstKeyOfTheMovedHalf) {
  struct Case {
    const char* what;
    std::string prefix;  // keys are prefix + 0000..1999; the upper half starts at 1000
    std::string newKey;  // added to trigger the split
    std::string newFile;
    long lowerSlots;
  } cases[] = {
      {"short key: six bytes at most, nothing after the _", "", "5", "1000_000.key", 1000},
      {"seven bytes: nothing after the _", "abc", "abc1500x", "abc100_000.key", 1000},
      {"eight bytes: the next two", "abcd", "abcd1500x", "abcd10_00000.key", 1000},
      {"long key: the next four", "list-entry-", "list-entry-1999x", "list-e_ntry000.key", 1000},
      {"a leading dot would hide the file", ".x", ".x0000a", "_x1000_000.key", 1001},
      {"a slash cannot be in a name", "a/b", "a/b0", "a/b100_000.key", 1001},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (char& ch : c.newFile) {
      if (ch == '/') ch = '_';
    }
    testsupport::TempDir store;
    WriteKeyFile(store / "kdt.key", NumberedKeys(c.prefix, 0, 2000));
    ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), c.newKey.c_str()));
    std::vector<std::string> names = {c.newFile, "kdt.key"};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, KeyFileNames(store.path()));
    EXPECT_EQ(c.lowerSlots, SlotCount(store / "kdt.key"));
    EXPECT_EQ(2001, HowManyRecordInDB(store.path().c_str()));
    std::vector<std::string> all = ReadAll(store.path());
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  }
}

TEST(VarnIndexSplit, TakenNamesAreSkippedAndAllTakenMeansNoSplit) {
  testsupport::TempDir store;
  WriteKeyFile(store / "kdt.key", NumberedKeys("n", 0, 2000));
  WriteKeyFile(store / "n1000_000.key", {});
  WriteKeyFile(store / "n1000_001.key", {});
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "n1234x"));
  EXPECT_EQ(1001, SlotCount(store / "n1000_002.key"));
  EXPECT_EQ(1000, SlotCount(store / "kdt.key"));

  // With all thousand names taken the split cannot be made: the key goes into the full file.
  testsupport::TempDir full;
  WriteKeyFile(full / "kdt.key", NumberedKeys("n", 0, 2000));
  for (int i = 0; i < 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "n1000_%03d.key", i);
    WriteKeyFile(full / name, {});
  }
  ASSERT_EQ(1, AddDelDat(1, full.path().c_str(), "n1234x"));
  EXPECT_EQ(2001, SlotCount(full / "kdt.key"));
  EXPECT_EQ(2001, HowManyRecordInDB(full.path().c_str()));
}

}  // namespace
