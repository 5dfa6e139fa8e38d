// Changes from several processes: serialised by the lock, nothing lost, a held lock gives -7.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "store_helpers.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

using varnindex_test::ReadAll;

// Adds "<number>-<tag>" for 0000 ... in a scrambled order; the number of adds that failed.
int AddMany(const std::string& dir, const std::string& tag, int count) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    char key[64];
    std::snprintf(key, sizeof key, "%04d-%s", (i * 7919) % count, tag.c_str());
    if (AddDelDat(1, dir.c_str(), key) != 1) ++failures;
  }
  return failures;
}

// "<number>:<number scrambled>": half of one such key and half of another is never one.
std::string CheckedKey(int n) {
  char key[32];
  std::snprintf(key, sizeof key, "%04d:%08x", n, static_cast<unsigned>(n) * 2654435761u);
  return key;
}

TEST(VarnIndexConcurrency, TwoProcessesAddingAtOnceLoseNoKey) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  // 1800 keys to start with, 800 more from two processes: the first file splits on the way.
  constexpr int kEach = 400;
  constexpr int kSeeded = 1800;
  varnindex_test::WriteKeyFile(store / "kdt.key",
                               varnindex_test::NumberedKeys("seed-", 0, kSeeded));
  // A change before the fork leaves the lock file open in both processes.
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "!before"));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(std::min(AddMany(dir, "child", kEach), 100));
  const int parentFailures = AddMany(dir, "parent", kEach);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "adds that failed in the child";
  EXPECT_EQ(0, parentFailures);
  std::vector<std::string> all = ReadAll(dir);
  EXPECT_EQ(2 * kEach + kSeeded + 1, HowManyRecordInDB(dir.c_str()));
  ASSERT_EQ(2u * kEach + kSeeded + 1, all.size());
  EXPECT_GE(varnindex_test::KeyFileNames(dir).size(), 2u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
  EXPECT_EQ("!before", all.front());
  EXPECT_EQ("0000-child", all[1]);
  EXPECT_EQ("0399-parent", all[2 * kEach]);
  EXPECT_EQ("seed-1799", all.back());
}

TEST(VarnIndexConcurrency, ReadersNeverSeeAHalfDoneChange) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  // Near a split, so the writer also splits a file while the reader reads.
  std::vector<std::string> seeded;
  for (int i = 1000; i < 2900; ++i) seeded.push_back(CheckedKey(i));
  varnindex_test::WriteKeyFile(store / "kdt.key", seeded);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int failures = 0;
    for (int i = 0; i < 300; ++i) {
      if (AddDelDat(1, dir.c_str(), CheckedKey((i * 7919) % 300).c_str()) != 1) ++failures;
    }
    for (int i = 0; i < 300; i += 2) {
      if (AddDelDat(2, dir.c_str(), CheckedKey(i).c_str()) != 1) ++failures;
    }
    _exit(std::min(failures, 100));
  }
  int passes = 0, torn = 0;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    // Positions move under the reader while keys come and go, but every key read is whole.
    for (const std::string& k : ReadAll(dir)) {
      if (k.size() != 13 || k != CheckedKey(std::atoi(k.c_str()))) {
        if (++torn < 5) ADD_FAILURE() << "torn key: " << k;
      }
    }
    ++passes;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(0, torn) << "in " << passes << " passes";
  const std::vector<std::string> all = ReadAll(dir);
  EXPECT_EQ(1900u + 150u, all.size());
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
}

TEST(VarnIndexConcurrency, AHeldLockGivesMinusSevenAndChangesNothing) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "kept"));
  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Holds the lock until the parent closes its end of `release`.
    int fd = open((dir + "/kdt.loc").c_str(), O_RDWR | O_CREAT, 0644);
    const char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    close(release[1]);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  ASSERT_EQ('y', ok);
  const int64_t start = platform::MonotonicMs();
  EXPECT_EQ(-7, AddDelDat(1, dir.c_str(), "new"));
  const int64_t waited = platform::MonotonicMs() - start;
  EXPECT_EQ(-7, AddDelDat(2, dir.c_str(), "kept"));
  // A read waits for the change to end; when it never does, it reads all the same.
  char out[150];
  const int64_t readStart = platform::MonotonicMs();
  EXPECT_EQ(1, GetRecordWithOffset(dir.c_str(), out, 0));
  EXPECT_GE(platform::MonotonicMs() - readStart, 900);
  EXPECT_STREQ("kept", out);
  close(release[1]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  close(ready[0]);
  EXPECT_GE(waited, 900);  // about ten waits of 100 ms
  EXPECT_LT(waited, 10000);
  EXPECT_EQ(std::vector<std::string>{"kept"}, ReadAll(dir));
  // The holder has gone: the lock is free again at once.
  EXPECT_EQ(1, AddDelDat(1, dir.c_str(), "new"));
  EXPECT_EQ((std::vector<std::string>{"kept", "new"}), ReadAll(dir));
}

}  // namespace
