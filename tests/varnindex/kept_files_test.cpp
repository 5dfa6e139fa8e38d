// What a process keeps open from one change to the next (the lock file, the key files and
// their sampled keys, the log) must never outlive the files themselves: files changed,
// removed or replaced behind its back, a fork, threads and a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "store_helpers.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace {

using varnindex_test::NumberedKeys;
using varnindex_test::ReadAll;

std::vector<std::string> Sorted(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Runs `body` in a child process and gives its exit code.
template <typename F>
int InChild(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(VarnIndexKeptFiles, ChangesBehindTheStoresBackAreTakenUp) {
  struct Case {
    const char* name;
    // Done between two rounds of adds; the keys the store holds afterwards.
    void (*meddle)(const std::string& dir, std::vector<std::string>* keys);
  } cases[] = {
      {"another process adds into the same files",
       [](const std::string& dir, std::vector<std::string>* keys) {
         const std::vector<std::string> more = NumberedKeys("m", 0, 150);
         ASSERT_EQ(0, InChild([&] {
                     for (const std::string& k : more) {
                       if (AddDelDat(1, dir.c_str(), k.c_str()) != 1) return 1;
                     }
                     return AddDelDat(2, dir.c_str(), "k0005") == 1 ? 0 : 1;
                   }));
         keys->insert(keys->end(), more.begin(), more.end());
         keys->erase(std::find(keys->begin(), keys->end(), "k0005"));
       }},
      {"the folder is removed and made again",
       [](const std::string& dir, std::vector<std::string>* keys) {
         std::filesystem::remove_all(dir);
         std::filesystem::create_directory(dir);
         keys->clear();
       }},
      {"the key file is rewritten with other keys",
       [](const std::string& dir, std::vector<std::string>* keys) {
         for (const std::string& name : varnindex_test::KeyFileNames(dir)) {
           platform::RemoveFile(dir + "/" + name);
         }
         *keys = NumberedKeys("w", 0, 70);
         varnindex_test::WriteKeyFile(dir + "/kdt.key", *keys);
       }},
      {"the log is erased",
       [](const std::string& dir, std::vector<std::string>*) {
         std::filesystem::remove_all(dir + "/log");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir store;
    const std::string dir = store.path();
    std::vector<std::string> keys = NumberedKeys("k", 0, 200);
    for (const std::string& k : keys) ASSERT_EQ(1, AddDelDat(1, dir.c_str(), k.c_str()));
    c.meddle(dir, &keys);
    const std::vector<std::string> after = NumberedKeys("p", 0, 100);
    for (const std::string& k : after) ASSERT_EQ(1, AddDelDat(1, dir.c_str(), k.c_str()));
    ASSERT_EQ(1, AddDelDat(2, dir.c_str(), "p0050"));
    keys.insert(keys.end(), after.begin(), after.end());
    keys.erase(std::find(keys.begin(), keys.end(), "p0050"));
    EXPECT_EQ(Sorted(keys), ReadAll(dir));
    // Every change of the second round is in a log file that can be seen.
    const std::string log = testsupport::ReadFile(
        dir + "/log/" +
        std::filesystem::directory_iterator(dir + "/log")->path().filename().string());
    EXPECT_NE(std::string::npos, log.find("Data=p0099\r\n"));
    EXPECT_NE(std::string::npos, log.find("[DEL]\r\nTIME="));
  }
}

TEST(VarnIndexKeptFiles, ALockFileReplacedSinceTheLastChangeIsTheOneTaken) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  ASSERT_EQ(1, AddDelDat(1, dir.c_str(), "first"));
  // Someone deletes the lock file and another process holds the new one: the next change
  // must wait for that process, not lock the deleted file.
  ASSERT_TRUE(platform::RemoveFile(dir + "/kdt.loc"));
  const int fd = open((dir + "/kdt.loc").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, InChild([&] {
              // Another open of the new file, as another process would hold it.
              const int other = open((dir + "/kdt.loc").c_str(), O_RDWR);
              if (other < 0 || flock(other, LOCK_EX) != 0) return 2;
              return AddDelDat(1, dir.c_str(), "blocked") == -7 ? 0 : 1;
            }));
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  EXPECT_EQ(-7, AddDelDat(1, dir.c_str(), "blocked"));
  close(fd);
  EXPECT_EQ(1, AddDelDat(1, dir.c_str(), "second"));
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), ReadAll(dir));
}

TEST(VarnIndexKeptFiles, ThreadsOfOneProcessTakeTurns) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  std::vector<std::string> all;
  std::vector<std::thread> threads;
  int failures[3] = {};
  for (int t = 0; t < 3; ++t) {
    const std::vector<std::string> keys =
        NumberedKeys(std::string(1, static_cast<char>('a' + t)), 0, 700);
    all.insert(all.end(), keys.begin(), keys.end());
    threads.emplace_back([&dir, keys, &failures, t] {
      for (size_t i = 0; i < keys.size(); ++i) {
        const std::string& k = keys[(i * 389) % keys.size()];
        if (AddDelDat(1, dir.c_str(), k.c_str()) != 1) ++failures[t];
        if (i % 7 == 0 && AddDelDat(2, dir.c_str(), k.c_str()) != 1) ++failures[t];
        if (i % 7 == 0 && AddDelDat(1, dir.c_str(), k.c_str()) != 1) ++failures[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures[0] + failures[1] + failures[2]);
  EXPECT_EQ(Sorted(all), ReadAll(dir));  // 2100 keys: the first file split on the way
  EXPECT_GE(varnindex_test::KeyFileNames(dir).size(), 2u);
}

TEST(VarnIndexKeptFiles, AFileThatCannotGrowKeepsItsKeys) {
  testsupport::TempDir store;
  const std::string dir = store.path();
  const std::vector<std::string> keys = NumberedKeys("k", 0, 300);
  for (size_t i = 0; i < keys.size(); i += 2)
    ASSERT_EQ(1, AddDelDat(1, dir.c_str(), keys[i].c_str()));
  const std::string before = testsupport::ReadFile(dir + "/kdt.key");
  // A file size limit stands in for a full disk: the slots in the middle of the file can
  // be written over, the one past its end cannot.
  EXPECT_EQ(
      0, InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(before.size()), static_cast<rlim_t>(before.size())};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        if (AddDelDat(1, dir.c_str(), "k0001") != -8) return 3;  // the second slot of 150
        if (testsupport::ReadFile(dir + "/kdt.key") != before) return 4;
        // A delete needs no room, and the store still takes it.
        if (AddDelDat(2, dir.c_str(), "k0100") != 1) return 5;
        return AddDelDat(1, dir.c_str(), "k0001") == 1 ? 0 : 6;  // one slot of room again
      }));
  std::vector<std::string> expected;
  for (size_t i = 0; i < keys.size(); i += 2) {
    if (keys[i] != "k0100") expected.push_back(keys[i]);
  }
  expected.insert(expected.begin() + 1, "k0001");
  EXPECT_EQ(expected, ReadAll(dir));
  EXPECT_EQ(before.size(), testsupport::ReadFile(dir + "/kdt.key").size());
}

}  // namespace
