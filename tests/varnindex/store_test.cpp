// Adding, deleting, counting and reading keys by position.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "store_helpers.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

using varnindex_test::NumberedKeys;
using varnindex_test::ReadAll;
using varnindex_test::WriteKeyFile;

TEST(VarnIndexStore, KeysAreNormalisedBeforeUse) {
  const std::string longKey(200, 'x');
  struct Case {
    const char* what;
    std::string added;
    std::string stored;
  } cases[] = {
      {"blanks trimmed, capitals lowered", "  Alpha  ", "alpha"},
      {"inner blanks kept", " a B c ", "a b c"},
      {"Shift-JIS pair whose trail byte is a capital stays", "\x83\x41Z\x83\x5A",
       "\x83\x41z\x83\x5A"},
      {"full-width blank inside a key stays", "\x81\x40x", "\x81\x40x"},
      {"cut to 149 bytes", longKey, std::string(149, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir store;
    EXPECT_EQ(1, AddDelDat(1, store.path().c_str(), c.added.c_str()));
    EXPECT_EQ(std::vector<std::string>{c.stored}, ReadAll(store.path()));
  }
}

TEST(VarnIndexStore, AddingAnEqualKeyChangesNothing) {
  testsupport::TempDir store;
  ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), "  Alpha  "));
  const std::string before = testsupport::ReadFile(store / "kdt.key");
  EXPECT_EQ(1, AddDelDat(1, store.path().c_str(), "ALPHA"));
  EXPECT_EQ(1, HowManyRecordInDB(store.path().c_str()));
  EXPECT_EQ(before, testsupport::ReadFile(store / "kdt.key"));
  ASSERT_EQ(150u, before.size());
  EXPECT_EQ(std::string("alpha") + std::string(145, '\0'), before);
}

TEST(VarnIndexStore, ResultCodes) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  const std::string missing = store / "nothing";
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "present"));
  struct Case {
    const char* what;
    int32_t type;
    const char* dir;
    const char* key;
    int32_t expected;
  } cases[] = {
      {"only full-width blanks", 1, dir.c_str(), "\x81\x40\x81\x40", -2},
      {"blanks of both widths", 2, dir.c_str(), " \x81\x40 ", -2},
      {"empty key", 1, dir.c_str(), "", -2},
      {"null key", 1, dir.c_str(), nullptr, -2},
      {"empty folder", 1, "", "key", -2},
      {"null folder", 2, nullptr, "key", -2},
      {"unknown type", 3, dir.c_str(), "key", -6},
      {"type zero", 0, dir.c_str(), "key", -6},
      {"delete of a missing key", 2, dir.c_str(), "absent", -4},
      {"delete of a present key, other case", 2, dir.c_str(), " PRESENT", 1},
      {"delete it again", 2, dir.c_str(), "present", -4},
      {"delete from a missing folder", 2, missing.c_str(), "key", -4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, AddDelDat(c.type, c.dir, c.key));
  }
  EXPECT_EQ(0, HowManyRecordInDB(dir.c_str()));
}

TEST(VarnIndexStore, ReadingPastTheEndEmptiesTheBuffer) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  char out[150];
  std::fill(std::begin(out), std::end(out), 'z');
  EXPECT_EQ(0, GetRecordWithOffset(dir.c_str(), out, 0));
  EXPECT_EQ('\0', out[0]);
  EXPECT_EQ(0, HowManyRecordInDB((store / "missing").c_str()));
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "one"));
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "two"));
  const int32_t count = HowManyRecordInDB(dir.c_str());
  ASSERT_EQ(2, count);
  std::fill(std::begin(out), std::end(out), 'z');
  EXPECT_EQ(0, GetRecordWithOffset(dir.c_str(), out, count));
  EXPECT_EQ('\0', out[0]);
  EXPECT_EQ(0, GetRecordWithOffset(dir.c_str(), out, -1));
  EXPECT_EQ(1, GetRecordWithOffset(dir.c_str(), out, count - 1));
  EXPECT_STREQ("two", out);
  EXPECT_EQ(0, GetRecordWithOffset(dir.c_str(), nullptr, 0));
}

TEST(VarnIndexStore, PositionsFollowKeyOrderInRandomAdds) {
  testsupport::TempDir store;
  const std::string dir = store.path() + "/made/on/demand";
  std::vector<std::string> keys = NumberedKeys("k", 0, 300);
  keys.push_back("k");          // a proper prefix sorts first
  keys.push_back("k\xe0\x9f");  // high bytes sort above ASCII
  keys.push_back(std::string("k0150") + '\x7f');
  std::vector<std::string> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const std::string& k : shuffled) ASSERT_EQ(1, AddDelDat(1, dir.c_str(), k.c_str())) << k;
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return (unsigned char)x < (unsigned char)y;
    });
  });
  EXPECT_EQ(keys, ReadAll(dir));
  EXPECT_EQ(static_cast<int32_t>(keys.size()), HowManyRecordInDB(dir.c_str()));
}

TEST(VarnIndexStore, PositionsRunAcrossFilesInKeyOrderWhateverTheirNames) {
  testsupport::TempDir store;
  // "aaa..." sorts before "kdt.key" by name but holds the upper keys; "zzz..." holds the
  // lowest keys. Positions must follow the keys, not the names.
  WriteKeyFile(store / "kdt.key", NumberedKeys("m", 0, 3));
  WriteKeyFile(store / "aaa_000.key", NumberedKeys("t", 0, 2));
  WriteKeyFile(store / "zzz_000.key", NumberedKeys("c", 0, 2));
  WriteKeyFile(store / "empty_000.key", {});
  testsupport::WriteFile(store / "notes.txt", std::string(150, 'a'));
  testsupport::WriteFile(store / ".kdt.key.AbCdEf", std::string(150, 'b'));  // a write in flight
  const std::vector<std::string> expected = {"c0000", "c0001", "m0000", "m0001",
                                             "m0002", "t0000", "t0001"};
  EXPECT_EQ(7, HowManyRecordInDB(store.path().c_str()));
  EXPECT_EQ(expected, ReadAll(store.path()));
  // New keys land in the file whose range takes them, keeping the order.
  for (const char* k : {"a", "d", "n", "zz"}) ASSERT_EQ(1, AddDelDat(1, store.path().c_str(), k));
  const std::vector<std::string> after = {"a",     "c0000", "c0001", "d",     "m0000", "m0001",
                                          "m0002", "n",     "t0000", "t0001", "zz"};
  EXPECT_EQ(after, ReadAll(store.path()));
  EXPECT_EQ(4, varnindex_test::SlotCount(store / "zzz_000.key"));
  EXPECT_EQ(3, varnindex_test::SlotCount(store / "aaa_000.key"));
}

TEST(VarnIndexStore, ALockLeftByADeadProcessDoesNotBlock) {
  testsupport::TempDir store;
  testsupport::WriteFile(store / "kdt.loc", std::string("\x01\x00\x00\x00", 4));
  const int64_t start = platform::MonotonicMs();
  EXPECT_EQ(1, AddDelDat(1, store.path().c_str(), "key"));
  EXPECT_LT(platform::MonotonicMs() - start, 900);
  EXPECT_EQ(1, HowManyRecordInDB(store.path().c_str()));
  EXPECT_EQ("", testsupport::ReadFile(store / "kdt.loc"));  // 1 only while a change runs
}

TEST(VarnIndexStore, ChangesByAnotherProcessAreSeenAtOnce) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  WriteKeyFile(store / "kdt.key", {"b"});
  WriteKeyFile(store / "m_000.key", {"m"});
  std::vector<std::string> expected = {"b", "m"};
  for (int round = 0; round < 20; ++round) {
    // Read (and so cache) the store, then let a child add a key within the same instant:
    // the key file changes in place, the folder does not.
    ASSERT_EQ(expected, ReadAll(dir));
    char key[8];
    std::snprintf(key, sizeof key, "c%02d", round);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(AddDelDat(1, dir.c_str(), key) == 1 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_EQ(0, status);
    expected.insert(expected.end() - 1, key);
    EXPECT_EQ(static_cast<int32_t>(expected.size()), HowManyRecordInDB(dir.c_str()));
  }
  EXPECT_EQ(expected, ReadAll(dir));
}

}  // namespace
