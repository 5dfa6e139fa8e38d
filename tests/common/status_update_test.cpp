#include "common/status_update.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "common/file_ops.h"
#include "support/temp_dir.h"

using namespace common;
using testsupport::TempDir;

TEST(StatusUpdate, ConcurrentReadModifyWritesLoseNothing) {
  TempDir dir;
  const std::string key = "616263";
  ASSERT_TRUE(UpdateCheckStatus(dir.path(), StatusFolder::kPing, key, [](CheckStatus& s, bool) {
    s = NewCheckStatus(platform::LocalNow());
    return true;
  }));
  constexpr int kProcs = 4, kRounds = 150;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < kRounds; ++i) {
        UpdateCheckStatus(dir.path(), StatusFolder::kPing, key, [](CheckStatus& s, bool exists) {
          if (!exists) return false;
          ++s.downSeconds;
          // The same count at the record's other end: a read of half a write shows two.
          SetField(s.lastFailure, std::to_string(s.downSeconds));
          return true;
        });
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  // Readers meanwhile always see a whole record, never parts of two writes.
  int reads = 0;
  for (int i = 0; i < 3000; ++i) {
    CheckStatus s{};
    ASSERT_EQ(ReadStatusRecord(StatusPath(dir.path(), StatusFolder::kPing, key), &s, sizeof s), 1);
    EXPECT_EQ(s.enabled, 1u);
    const std::string counted = FieldText(s.lastFailure);
    if (!counted.empty()) {
      EXPECT_EQ(counted, std::to_string(s.downSeconds));
    }
    ++reads;
  }
  EXPECT_EQ(reads, 3000);
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  CheckStatus s{};
  ASSERT_EQ(ReadFixedFile(StatusPath(dir.path(), StatusFolder::kPing, key), &s, sizeof s), 1);
  EXPECT_EQ(s.downSeconds, static_cast<uint32_t>(kProcs * kRounds));
}

TEST(StatusUpdate, DeclinedChangesAndMissingRecordsWriteNothing) {
  TempDir dir;
  bool sawExists = true;
  EXPECT_FALSE(UpdateCustomStatus(dir.path(), "k", [&](CustomStatus&, bool exists) {
    sawExists = exists;
    return false;
  }));
  EXPECT_FALSE(sawExists);
  EXPECT_EQ(FileExists(StatusPath(dir.path(), StatusFolder::kCustom, "k")), 0);
  EXPECT_FALSE(RemoveStatusRecord(dir.path(), StatusFolder::kCustom, "k"));
}

// A holder killed in the middle of a change (before its write) blocks nobody and leaves the
// record as it was: the next change and every reader find it whole.
TEST(StatusUpdate, KilledHolderLeavesTheRecordWholeAndTheLockFree) {
  TempDir dir;
  const std::string key = "6b696c6c";
  const std::string path = StatusPath(dir.path(), StatusFolder::kHttpPort, key);
  ASSERT_TRUE(UpdateCheckStatus(dir.path(), StatusFolder::kHttpPort, key, [](CheckStatus& s, bool) {
    s = NewCheckStatus(platform::LocalNow());
    s.downSeconds = 7;
    return true;
  }));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    UpdateCheckStatus(dir.path(), StatusFolder::kHttpPort, key, [&](CheckStatus& s, bool) {
      s.downSeconds = 99;
      (void)!::write(ready[1], "x", 1);
      ::pause();  // killed here, holding the lock
      return true;
    });
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  CheckStatus s{};
  ASSERT_EQ(ReadStatusRecord(path, &s, sizeof s), 1);
  EXPECT_EQ(s.downSeconds, 7u);
  EXPECT_TRUE(UpdateCheckStatus(dir.path(), StatusFolder::kHttpPort, key, [](CheckStatus& r, bool) {
    ++r.downSeconds;
    return true;
  }));
  ASSERT_EQ(ReadStatusRecord(path, &s, sizeof s), 1);
  EXPECT_EQ(s.downSeconds, 8u);
  EXPECT_EQ(FileSizeOf(path), static_cast<int64_t>(sizeof s));
  ::close(ready[0]);
  ::close(ready[1]);
}
