// The page agent's file routines: the retry text beside a page file, the one kept failed
// page per account, and nothing at all for an empty page file path.
#include "agents/page/page_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PageFiles, RetryTextAndTheNewestFailedPage) {
  testsupport::TempDir tmp;
  const std::string first = tmp / "VNKaaaaaa.tmp", second = tmp / "VNKbbbbbb.tmp";
  testsupport::WriteFile(first, "page 1");
  testsupport::WriteFile(first + ".err", "\"404 Not Found\" Domain/IP: \"h\", ");
  EXPECT_EQ(pagesentry::TakePageRetryText(first), "\"404 Not Found\" Domain/IP: \"h\"");
  EXPECT_FALSE(platform::PathExists(first + ".err"));
  EXPECT_EQ(pagesentry::TakePageRetryText(first), "");  // none left
  testsupport::WriteFile(first + ".err", std::string(1500, 'x'));
  EXPECT_EQ(pagesentry::TakePageRetryText(first), std::string(999, 'x'));

  pagesentry::KeepFailedPage(tmp.path(), "6b", first);
  testsupport::WriteFile(second, "page 2");
  pagesentry::KeepFailedPage(tmp.path(), "6b", second);
  EXPECT_FALSE(platform::PathExists(first));
  EXPECT_TRUE(platform::PathExists(second));
  testsupport::WriteFile(second + ".err", "x");
  pagesentry::DropPage(second);
  EXPECT_FALSE(platform::PathExists(second));
  EXPECT_FALSE(platform::PathExists(second + ".err"));
}

// A spare handed to the next check must not hold the page or retry text of the last one:
// that check may fail before it writes either, and would report them as its own.
TEST(PageFiles, SparesComeBackEmptyAndGoWithTheRun) {
  testsupport::TempDir tmp;
  const std::string temp = tmp / "temp";
  {
    pagesentry::SparePages spares;
    const std::string first = spares.Take(temp);  // the folder is made
    const std::string second = spares.Take(temp);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(platform::DirName(first), temp);
    EXPECT_NE(first, second);
    testsupport::WriteFile(first, std::string(5000, 'p'));
    testsupport::WriteFile(first + ".err", "\"200 OK\" Domain/IP: \"h\" Page: \"/\"");
    spares.Give(first);
    EXPECT_EQ(testsupport::ReadFile(first), "");
    EXPECT_EQ(pagesentry::TakePageRetryText(first), "");
    EXPECT_EQ(spares.Take(temp), first);

    ASSERT_TRUE(platform::RemoveFile(second));  // gone meanwhile: never handed out again
    spares.Give(second);
    const std::string third = spares.Take(temp);
    EXPECT_NE(third, second);
    EXPECT_TRUE(platform::PathExists(third));
    spares.Give(first);
    spares.Give(third);
    EXPECT_EQ(Entries(temp).size(), 2u);
  }
  EXPECT_TRUE(Entries(temp).empty());
}

TEST(PageFiles, WithoutAPageFileNothingInTheCurrentFolderIsTouched) {
  testsupport::TempDir cwd;
  testsupport::WriteFile(cwd / ".err", "someone else's");
  testsupport::WriteFile(cwd / "VNKabcdef.tmp", "someone else's");
  testsupport::WriteFile(cwd / ".failedpage.6b", "VNKabcdef.tmp");
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
  const std::string detail = pagesentry::TakePageRetryText("");
  pagesentry::KeepFailedPage(platform::DirName(""), "6b", "");
  pagesentry::KeepFailedPage(platform::DirName(""), "7c", "");
  pagesentry::DropPage("");
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_EQ(detail, "");
  EXPECT_EQ(Entries(cwd.path()),
            (std::vector<std::string>{".err", ".failedpage.6b", "VNKabcdef.tmp"}));
  EXPECT_EQ(testsupport::ReadFile(cwd / ".err"), "someone else's");
}

}  // namespace
