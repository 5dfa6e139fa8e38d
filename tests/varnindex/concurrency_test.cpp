// Changes from several processes: serialised by the lock, nothing lost, a held lock gives -7.
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "store_helpers.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

using varnindex_test::ReadAll;

// Adds "<tag>-0000" ... in a scrambled order; the number of adds that failed.
int AddMany(const std::string& dir, const std::string& tag, int count) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    char key[64];
    std::snprintf(key, sizeof key, "%04d-%s", (i * 7919) % count, tag.c_str());
    if (AddDelDat(1, dir.c_str(), key) != 1) ++failures;
  }
  return failures;
}

TEST(VarnIndexConcurrency, TwoProcessesAddingAtOnceLoseNoKey) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  // 1800 keys to start with, 800 more from two processes: the first file splits on the way.
  constexpr int kEach = 400;
  constexpr int kSeeded = 1800;
  varnindex_test::WriteKeyFile(store / "kdt.key", varnindex_test::NumberedKeys("seed-", 0, kSeeded));
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
  EXPECT_EQ(2 * kEach + kSeeded, HowManyRecordInDB(dir.c_str()));
  ASSERT_EQ(2u * kEach + kSeeded, all.size());
  EXPECT_GE(varnindex_test::KeyFileNames(dir).size(), 2u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
  EXPECT_EQ("0000-child", all.front());
  EXPECT_EQ("0399-parent", all[2 * kEach - 1]);
  EXPECT_EQ("seed-1799", all.back());
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
  close(release[1]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  close(ready[0]);
  EXPECT_GE(waited, 900);     // about ten waits of 100 ms
  EXPECT_LT(waited, 10000);
  EXPECT_EQ(std::vector<std::string>{"kept"}, ReadAll(dir));
  // The holder has gone: the lock is free again at once.
  EXPECT_EQ(1, AddDelDat(1, dir.c_str(), "new"));
  EXPECT_EQ((std::vector<std::string>{"kept", "new"}), ReadAll(dir));
}

}  // namespace
