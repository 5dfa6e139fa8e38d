#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Waits (generously) until a file has the expected content.
bool WaitForContent(const std::string& path, const std::string& want) {
  for (int i = 0; i < 500; ++i) {
    if (ReadFile(path) == want) return true;
    platform::SleepMs(10);
  }
  return false;
}

}  // namespace

TEST(Process, StartsDetachedWithArgumentsAndStandardInput) {
  TempDir dir;
  const std::string out = dir / "out";
  ASSERT_TRUE(platform::SpawnDetached(
      "/bin/sh",
      {"-c",
       "printf '%s|%s|' \"$0\" \"$1\" > \"$2.part\"; cat >> \"$2.part\"; mv \"$2.part\" \"$2\"",
       "a b", "", out},
      std::string("user\npassword\n")));
  EXPECT_TRUE(WaitForContent(out, "a b||user\npassword\n"));
}

TEST(Process, WithoutInputTheProgramReadsEndOfFile) {
  TempDir dir;
  const std::string out = dir / "out";
  ASSERT_TRUE(platform::SpawnDetached(
      "/bin/sh",
      {"-c", "cat > \"$0.part\"; echo done >> \"$0.part\"; mv \"$0.part\" \"$0\"", out}));
  EXPECT_TRUE(WaitForContent(out, "done\n"));
}

TEST(Process, AMissingProgramIsReportedAndLeavesNoChild) {
  EXPECT_FALSE(platform::SpawnDetached("/nonexistent/program", {}));
  // The intermediate child has been reaped: there is nothing left to wait for.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(Process, ArgumentsJoinWithSingleBlanks) {
  char a0[] = "EchoSentry", a1[] = "/home/x/Program", a2[] = "Files", a3[] = "1";
  char* argv[] = {a0, a1, a2, a3};
  EXPECT_EQ(platform::JoinArguments(4, argv), "/home/x/Program Files 1");
  EXPECT_EQ(platform::JoinArguments(1, argv), "");
}
