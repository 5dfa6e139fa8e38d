// Replacing a whole store in one pass gives the files of adding the keys one by one, and a
// reader during the replacement sees the old keys or the new ones.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
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

std::string Packed(const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& k : keys) out.append(k.c_str(), k.size() + 1);
  return out;
}

// The change log without its TIME lines, which depend on the second it was written in.
std::string LogWithoutTimes(const std::string& dir) {
  std::string all;
  std::vector<std::string> names = platform::ListFiles(dir + "/log");
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) all += testsupport::ReadFile(dir + "/log/" + n);
  std::string out;
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find("\r\n", at);
    end = end == std::string::npos ? all.size() : end + 2;
    if (all.compare(at, 5, "TIME=") != 0) out.append(all, at, end - at);
    at = end;
  }
  return out;
}

std::vector<std::string> Shuffled(std::vector<std::string> keys, unsigned seed) {
  std::mt19937 rng(seed);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

std::vector<std::string> RandomKeys(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) {
    std::string k;
    const int length = 1 + static_cast<int>(rng() % 40);
    for (int c = 0; c < length; ++c) k += static_cast<char>(' ' + rng() % 95);
    keys.push_back(k);
  }
  return keys;
}

TEST(VarnIndexBulkLoad, GivesTheFilesOfAddingOneByOne) {
  std::vector<std::string> sjis;  // katakana whose trail bytes look like capitals, and kanji
  for (int i = 0; i < 2500; ++i) {
    char k[32];
    std::snprintf(k, sizeof k, "\x83%c\x8a\xbf%04d\x81\x40Srv", 0x41 + i % 20, (i * 37) % 2500);
    sjis.push_back(k);
  }
  std::vector<std::string> messy = {"  Alpha  ", "ALPHA", "",      "   ",  "\x81\x40\x81\x40",
                                    "beta",      "Beta ", "gamma", "beta", std::string(200, 'z')};
  std::vector<std::string> descending = NumberedKeys("host-", 0, 7000);
  std::reverse(descending.begin(), descending.end());
  struct Case {
    const char* what;
    std::vector<std::string> keys;
    bool blockFirstSplitName = false;  // a folder already holds the first split's name
  } cases[] = {
      {"empty", {}},
      {"one key", {"Only"}},
      {"2001 keys in order: one split", NumberedKeys("a", 0, 2001)},
      {"7000 of one prefix in order", NumberedKeys("same-prefix-", 0, 7000)},
      {"7000 of one prefix shuffled", Shuffled(NumberedKeys("same-prefix-", 0, 7000), 7)},
      {"7000 descending", descending},
      {"Shift-JIS names", Shuffled(sjis, 3)},
      {"repeats and blanks", messy},
      {"10,000 random", RandomKeys(10000, 11)},
      {"split name taken by a folder", NumberedKeys("a", 0, 2001), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir one, bulk;
    if (c.blockFirstSplitName) {
      ASSERT_TRUE(platform::MakeDirs(one / "a1000_000.key"));
      ASSERT_TRUE(platform::MakeDirs(bulk / "a1000_000.key"));
    }
    for (const std::string& k : c.keys) AddDelDat(1, one.path().c_str(), k.c_str());
    // The bulk store starts with keys of its own, in files of other names, that must go.
    varnindex_test::WriteKeyFile(bulk / "kdt.key", NumberedKeys("old-", 0, 1500));
    varnindex_test::WriteKeyFile(bulk / "zz_000.key", NumberedKeys("zz", 0, 10));
    const std::string packed = Packed(c.keys);
    ASSERT_EQ(
        1, ReplaceAllDat(bulk.path().c_str(), packed.data(), static_cast<int32_t>(c.keys.size())));
    const std::vector<std::string> names = KeyFileNames(one.path());
    ASSERT_EQ(names, KeyFileNames(bulk.path()));
    for (const std::string& n : names) {
      EXPECT_TRUE(testsupport::ReadFile(one / n) == testsupport::ReadFile(bulk / n)) << n;
    }
    EXPECT_EQ(LogWithoutTimes(one.path()), LogWithoutTimes(bulk.path()));
    EXPECT_EQ(HowManyRecordInDB(one.path().c_str()), HowManyRecordInDB(bulk.path().c_str()));
    const std::vector<std::string> all = ReadAll(bulk.path());
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  }
}

TEST(VarnIndexBulkLoad, RefusesWhatItCannotUse) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "kept"));
  EXPECT_EQ(-2, ReplaceAllDat("  ", "a\0", 1));
  EXPECT_EQ(-2, ReplaceAllDat(dir.c_str(), "a\0", -1));
  EXPECT_EQ(-2, ReplaceAllDat(dir.c_str(), nullptr, 1));
  EXPECT_EQ(std::vector<std::string>{"kept"}, ReadAll(dir));
  EXPECT_EQ(1, ReplaceAllDat(dir.c_str(), nullptr, 0));  // nothing: an empty store
  EXPECT_EQ(0, HowManyRecordInDB(dir.c_str()));
  EXPECT_TRUE(KeyFileNames(dir).empty());
}

TEST(VarnIndexBulkLoad, BatchReadsCrossFilesAndStopAtTheEnd) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  const std::vector<std::string> keys = NumberedKeys("k", 0, 4500);
  const std::string packed = Packed(keys);
  ASSERT_EQ(1, ReplaceAllDat(dir.c_str(), packed.data(), 4500));
  ASSERT_EQ(4u, KeyFileNames(dir).size());  // 1000, 1000, 1000 and 1500 slots
  struct Case {
    int32_t position, count, copied;
  } cases[] = {{0, 10, 10},  {995, 10, 10}, {1990, 2000, 2000}, {4490, 20, 10},
               {4500, 3, 0}, {-1, 5, 0},    {0, 4500, 4500},    {10, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.position) + "+" + std::to_string(c.count));
    std::vector<char> out(150 * static_cast<size_t>(std::max(c.count, 1)), 'x');
    ASSERT_EQ(c.copied, GetRecordsWithOffset(dir.c_str(), out.data(), c.position, c.count));
    for (int32_t i = 0; i < c.count; ++i) {
      const char* slot = out.data() + 150 * i;
      if (i < c.copied) {
        ASSERT_EQ(keys[c.position + i], slot);
      } else {
        ASSERT_EQ('\0', slot[0]);
      }
    }
  }
  EXPECT_EQ(0, GetRecordsWithOffset(dir.c_str(), nullptr, 0, 4));
}

TEST(VarnIndexBulkLoad, AReaderSeesTheOldKeysOrTheNewNeverAMix) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  const std::vector<std::string> sets[] = {NumberedKeys("old-", 0, 5000),
                                           Shuffled(NumberedKeys("new-", 0, 7000), 5)};
  const std::string packed[] = {Packed(sets[0]), Packed(sets[1])};
  ASSERT_EQ(1, ReplaceAllDat(dir.c_str(), packed[0].data(), 5000));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int failures = 0;
    for (int round = 1; round <= 12; ++round) {
      const int s = round % 2;
      if (ReplaceAllDat(dir.c_str(), packed[s].data(), static_cast<int32_t>(sets[s].size())) != 1)
        ++failures;
    }
    _exit(std::min(failures, 100));
  }
  std::vector<char> out(150 * 7100);
  int passes = 0, mixed = 0, seenNew = 0;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0 || passes == 0) {
    const int32_t n = GetRecordsWithOffset(dir.c_str(), out.data(), 0, 7100);
    const char* first = out.data();
    const bool isNew = std::string(first, 4) == "new-";
    bool whole = n == (isNew ? 7000 : 5000);
    for (int32_t i = 0; whole && i < n; ++i) {
      whole = std::string(out.data() + 150 * i, 4) == (isNew ? "new-" : "old-");
    }
    if (!whole && ++mixed < 3) ADD_FAILURE() << "a mix of " << n << " keys";
    seenNew += isNew;
    ++passes;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(0, mixed) << "in " << passes << " passes";
  EXPECT_EQ(sets[0], ReadAll(dir));  // the last round put the old set back
}

TEST(VarnIndexBulkLoad, SingleChangesAfterABulkWriteKeepEveryFileInOrder) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  std::vector<std::string> model = NumberedKeys("k", 0, 4500);  // files from k0000, k1000, ...
  const std::string packed = Packed(model);
  ASSERT_EQ(1, ReplaceAllDat(dir.c_str(), packed.data(), 4500));
  // First, middle and last slots of the files, and keys that become a file's first key.
  const struct {
    int type;
    const char* key;
  } steps[] = {{2, "k1000"}, {2, "k0999"}, {1, "k0999a"}, {1, "k1"},    {2, "k0000"},
               {2, "k4499"}, {1, "k4499"}, {1, "k2999z"}, {2, "k2000"}, {1, "k20"},
               {2, "k3000"}, {1, "zzz"},   {1, "a"},      {2, "a"},     {2, "k1500"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.type == 1 ? "add " : "delete ") + step.key);
    ASSERT_EQ(1, AddDelDat(step.type, dir.c_str(), step.key));
    auto at = std::lower_bound(model.begin(), model.end(), step.key);
    if (step.type == 1) {
      model.insert(at, step.key);
    } else {
      model.erase(at);
    }
    ASSERT_EQ(model, ReadAll(dir));
    ASSERT_EQ(static_cast<int32_t>(model.size()), HowManyRecordInDB(dir.c_str()));
  }
  EXPECT_EQ(-4, AddDelDat(2, dir.c_str(), "k2000"));
}

}  // namespace
