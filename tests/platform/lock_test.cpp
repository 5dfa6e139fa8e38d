#include "platform/lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

using testsupport::TempDir;

namespace {

// Starts a child that takes the lock and then waits to be killed; returns once it holds it.
pid_t HoldLockInChild(const std::string& path) {
  int ready[2];
  EXPECT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    platform::FileLock lock;
    if (!lock.Acquire(path)) ::_exit(1);
    (void)!::write(ready[1], "x", 1);
    for (;;) ::pause();
  }
  char c;
  EXPECT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  return pid;
}

}  // namespace

TEST(FileLock, HeldByAnotherProcessUntilItDiesEvenByACrash) {
  TempDir dir;
  const std::string path = platform::NamedLockPath(dir.path(), "EchoSentry1");
  EXPECT_EQ(path, dir / "temp/locks/EchoSentry1");
  pid_t holder = HoldLockInChild(path);
  platform::FileLock lock;
  EXPECT_FALSE(lock.TryAcquire(path));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(lock.TryAcquire(path));
  EXPECT_TRUE(lock.held());
  lock.Release();
  EXPECT_FALSE(lock.held());
}

TEST(FileLock, MovedLockStaysHeldOnce) {
  TempDir dir;
  platform::FileLock a;
  ASSERT_TRUE(a.Acquire(dir / "l"));
  platform::FileLock b = std::move(a);
  EXPECT_FALSE(a.held());
  EXPECT_TRUE(b.held());
  platform::FileLock other;
  EXPECT_FALSE(other.TryAcquire(dir / "l"));  // a second open file description is refused
}

TEST(FileLock, BoundedWaitGivesUpOrTakesTheLockWhenFreed) {
  TempDir dir;
  const std::string path = dir / "held";
  pid_t holder = HoldLockInChild(path);
  platform::FileLock lock;
  bool timedOut = false;
  EXPECT_FALSE(lock.AcquireWithin(path, 100, &timedOut));
  EXPECT_TRUE(timedOut);
  EXPECT_FALSE(lock.held());
  // Freed while waiting: taken within the bound.
  std::thread killer([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(holder, SIGKILL);
  });
  EXPECT_TRUE(lock.AcquireWithin(path, 30000, &timedOut));
  EXPECT_FALSE(timedOut);
  killer.join();
  ::waitpid(holder, nullptr, 0);
  // A lock file that cannot be made is a failure, not a time-out.
  platform::FileLock other;
  EXPECT_FALSE(other.AcquireWithin("/proc/none/lock", 100, &timedOut));
  EXPECT_FALSE(timedOut);
}
