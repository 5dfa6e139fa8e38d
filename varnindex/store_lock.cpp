#include "varnindex/store_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"

namespace varnindex {

// The exclusive side of one store in this process: its threads take turns on `changing`,
// and the turn's holder takes the flock on a descriptor of "kdt.loc" kept open from change
// to change (an open and a close cost more than the rest of a small change).
struct ChangeSide {
  ~ChangeSide() {
    if (fd >= 0) ::close(fd);
  }
  std::timed_mutex changing;
  int fd = -1;
};

namespace {

constexpr const char* kLockFileName = "kdt.loc";
// Short polls: under contention each hand-over costs about one poll.
constexpr auto kPoll = std::chrono::microseconds(200);
// The byte, far past the file's content, whose shared locks mark waiting changes.
constexpr off_t kWaitingByte = 4096;

bool SetWaitingMark(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kWaitingByte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when another open of the lock file has marked itself as a waiting change.
bool OthersWaiting(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kWaitingByte;
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

bool TryFlock(int fd, int how) {
  int rc;
  do {
    rc = ::flock(fd, how | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

std::mutex gSidesMutex;
using Sides = std::map<std::string, std::shared_ptr<ChangeSide>>;
Sides* gSides = new Sides();
Sides* gParentSides = nullptr;  // left as it was in a child: see ForgetSidesInChild
constexpr size_t kMaxSides = 64;

// A child made by fork() shares the parent's open lock files, and a flock taken through a
// shared one would shut neither out: the child opens its own. What the parent's threads
// held stays with the parent (their mutexes may be locked in the child's copy).
void LockSidesBeforeFork() {
  gSidesMutex.lock();
}
void UnlockSidesAfterFork() {
  gSidesMutex.unlock();
}
void ForgetSidesInChild() {
  for (auto& entry : *gSides) {
    if (entry.second->fd >= 0) ::close(entry.second->fd);
    entry.second->fd = -1;
  }
  gParentSides = gSides;
  gSides = new Sides();
  gSidesMutex.unlock();
}

std::shared_ptr<ChangeSide> SideOf(const std::string& dir) {
  static const int registered =
      pthread_atfork(LockSidesBeforeFork, UnlockSidesAfterFork, ForgetSidesInChild);
  (void)registered;
  std::lock_guard<std::mutex> guard(gSidesMutex);
  auto it = gSides->find(dir);
  if (it != gSides->end()) return it->second;
  if (gSides->size() >= kMaxSides) {
    // Sides nobody holds now are let go; their descriptors close with them.
    for (auto i = gSides->begin(); i != gSides->end();) {
      i = i->second.use_count() == 1 ? gSides->erase(i) : std::next(i);
    }
  }
  return gSides->emplace(dir, std::make_shared<ChangeSide>()).first->second;
}

int OpenLockFile(const std::string& dir) {
  const std::string path = platform::JoinPath(dir, kLockFileName);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT && platform::MakeDirs(dir)) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  return fd;
}

}  // namespace

bool StoreLock::TakeExclusive(const std::string& dir, int budgetMs) {
  Release();
  const int64_t deadline = platform::MonotonicMs() + budgetMs;
  std::shared_ptr<ChangeSide> side = SideOf(dir);
  if (!side->changing.try_lock_for(std::chrono::milliseconds(budgetMs))) return false;
  std::unique_lock<std::timed_mutex> turn(side->changing, std::adopt_lock);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (side->fd < 0) side->fd = OpenLockFile(dir);
    if (side->fd < 0) return false;
    bool waiting = false;
    for (;;) {
      if (TryFlock(side->fd, LOCK_EX)) {
        if (waiting || !OthersWaiting(side->fd)) break;
        ::flock(side->fd, LOCK_UN);  // someone has waited longer: let them go first
      }
      if (platform::MonotonicMs() >= deadline) {
        if (waiting) SetWaitingMark(side->fd, F_UNLCK);
        return false;
      }
      if (!waiting) waiting = SetWaitingMark(side->fd, F_RDLCK);
      std::this_thread::sleep_for(kPoll);
    }
    if (waiting) SetWaitingMark(side->fd, F_UNLCK);
    // A lock file deleted since the last change (or the folder with it) locks nobody out:
    // open the one at the path and take that.
    struct stat st {};
    if (::fstat(side->fd, &st) == 0 && st.st_nlink > 0) {
      if (st.st_size > 4 && ::ftruncate(side->fd, 0) != 0) {
        // Stray bytes after the value; the flock is what serialises.
      }
      fd_ = side->fd;
      side_ = std::move(side);
      turn_ = std::move(turn);
      held_ = true;
      exclusive_ = true;
      const uint8_t one[4] = {1, 0, 0, 0};
      if (::pwrite(fd_, one, sizeof one, 0) != sizeof one) {
        // The content is a courtesy to onlookers; the flock is what serialises.
      }
      return true;
    }
    ::close(side->fd);  // drops the flock
    side->fd = -1;
  }
  return false;
}

bool StoreLock::TakeShared(const std::string& dir, int budgetMs) {
  Release();
  const std::string path = platform::JoinPath(dir, kLockFileName);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0 && errno == ENOENT && platform::IsDirectory(dir)) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd_ < 0) return false;
  const int64_t deadline = platform::MonotonicMs() + budgetMs;
  for (;;) {
    if (!OthersWaiting(fd_) && TryFlock(fd_, LOCK_SH)) break;
    if (platform::MonotonicMs() >= deadline) {
      Release();
      return false;
    }
    std::this_thread::sleep_for(kPoll);
  }
  held_ = true;
  exclusive_ = false;
  return true;
}

void StoreLock::Release() {
  if (fd_ < 0) return;
  if (held_ && exclusive_ && ::ftruncate(fd_, 0) != 0) {
    // An onlooker may still read 1; the lock is free all the same.
  }
  if (side_) {
    ::flock(fd_, LOCK_UN);  // the descriptor stays open for the next change
    turn_.unlock();
    side_.reset();
  } else {
    ::close(fd_);  // drops the flock and any waiting mark
  }
  held_ = false;
  exclusive_ = false;
  fd_ = -1;
}

}  // namespace varnindex
