#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(Files, AtomicWriteReplacesContentAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "deep/folder/record.dat";
  ASSERT_TRUE(platform::WriteFileAtomic(path, std::string("first content")));
  ASSERT_TRUE(platform::WriteFileAtomic(path, std::string("2nd")));
  EXPECT_EQ(ReadFile(path), "2nd");
  // Nothing else is left in the folder, not even hidden work files.
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir / "deep/folder")) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(Files, NewFilesGetTheirModeWhateverTheUmaskAndExistingFilesKeepTheirs) {
  TempDir dir;
  mode_t old = ::umask(0);
  ASSERT_TRUE(platform::WriteFileAtomic(dir / "secret", std::string("pw"), 0600));
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::chmod((dir / "secret").c_str(), 0640), 0);
  ASSERT_TRUE(platform::WriteFileAtomic(dir / "secret", std::string("pw2"), 0600));
  ASSERT_EQ(::stat((dir / "secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Files, PrivateFoldersAreMadeAndTightenedButLinksAreNotFollowed) {
  testsupport::TempDir dir;
  const mode_t old = ::umask(0);
  EXPECT_TRUE(platform::MakePrivateDir(dir / "new/inner"));
  ::umask(old);
  auto modeOf = [](const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 07777u;
  };
  EXPECT_EQ(modeOf(dir / "new/inner"), 0700u);
  ASSERT_TRUE(platform::MakeDirs(dir / "wide", 0755));
  ::chmod((dir / "wide").c_str(), 0775);
  EXPECT_TRUE(platform::MakePrivateDir(dir / "wide"));
  EXPECT_EQ(modeOf(dir / "wide"), 0700u);
  // A link to a shared folder is refused and the folder keeps its mode.
  ASSERT_TRUE(platform::MakeDirs(dir / "shared", 0755));
  ::chmod((dir / "shared").c_str(), 0755);
  ASSERT_EQ(::symlink((dir / "shared").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(platform::MakePrivateDir(dir / "link"));
  EXPECT_EQ(modeOf(dir / "shared"), 0755u);
}

TEST(Files, ListingsPassOverDotNamesAndSeparateFilesFromFolders) {
  TempDir dir;
  WriteFile(dir / "a", "");
  WriteFile(dir / ".a.XXXX", "");
  WriteFile(dir / "sub/b", "");
  WriteFile(dir / ".hidden/c", "");
  auto files = platform::ListFiles(dir.path());
  auto dirs = platform::ListDirs(dir.path());
  EXPECT_EQ(files, std::vector<std::string>{"a"});
  EXPECT_EQ(dirs, std::vector<std::string>{"sub"});
  EXPECT_TRUE(platform::ListFiles(dir / "missing").empty());
}

TEST(Files, AppendsFromManyProcessesNeverInterleave) {
  TempDir dir;
  const std::string path = dir / "Log/day.log";
  constexpr int kProcs = 4, kLines = 300;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      std::string line(120, static_cast<char>('a' + p));
      line += "\r\n";
      for (int i = 0; i < kLines; ++i) platform::AppendToFile(path, line);
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  std::istringstream in(ReadFile(path));
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_EQ(line.size(), 121u);
    EXPECT_EQ(std::count(line.begin(), line.end(), line[0]), 120);
    ++count;
  }
  EXPECT_EQ(count, kProcs * kLines);
}

// Handles kept open by several threads (an agent's workers) and plain appends of another
// process: every line whole; a file deleted meanwhile is made again for the next line.
TEST(Files, KeptAppendHandlesNeverInterleaveAndFollowADeletedFile) {
  TempDir dir;
  const std::string path = dir / "Log/day.log";
  constexpr int kThreads = 4, kLines = 300;
  pid_t child = ::fork();
  if (child == 0) {
    std::string line(120, 'z');
    for (int i = 0; i < kLines; ++i) platform::AppendToFile(path, line + "\r\n");
    ::_exit(0);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      platform::AppendHandle handle(path);
      std::string line(120, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) EXPECT_TRUE(handle.Append(line + "\r\n"));
    });
  }
  for (std::thread& t : threads) t.join();
  ::waitpid(child, nullptr, 0);
  std::istringstream in(ReadFile(path));
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_EQ(line.size(), 121u);
    EXPECT_EQ(std::count(line.begin(), line.end(), line[0]), 120);
    ++count;
  }
  EXPECT_EQ(count, (kThreads + 1) * kLines);

  platform::AppendHandle handle(path);
  ASSERT_TRUE(handle.Append("one\r\n"));
  std::filesystem::remove_all(dir / "Log");
  ASSERT_TRUE(handle.Append("two\r\n"));
  EXPECT_EQ(ReadFile(path), "two\r\n");
}

TEST(Files, TemporaryFilesAreUniqueAndPrivate) {
  TempDir dir;
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    std::string path = platform::MakeTempFile(dir.path(), "VNK");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.rfind(dir / "VNK", 0), 0u);
    EXPECT_EQ(path.substr(path.size() - 4), ".tmp");
    names.insert(path);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(names.size(), 20u);
}

TEST(Files, WholeFileReadsRespectTheirLimit) {
  TempDir dir;
  WriteFile(dir / "f", std::string(100, 'x'));
  EXPECT_EQ(platform::ReadWholeFile(dir / "f", 100)->size(), 100u);
  EXPECT_FALSE(platform::ReadWholeFile(dir / "f", 99).has_value());
  EXPECT_FALSE(platform::ReadWholeFile(dir / "none").has_value());
  EXPECT_EQ(platform::FileSize(dir / "none"), -1);
}
