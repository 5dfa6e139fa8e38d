#include "common/status_update.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
          return true;
        });
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  // Lock-free readers meanwhile always see a whole record.
  for (int i = 0; i < 300; ++i) {
    CheckStatus s{};
    if (ReadFixedFile(StatusPath(dir.path(), StatusFolder::kPing, key), &s, sizeof s)) {
      EXPECT_EQ(s.enabled, 1u);
    }
  }
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
