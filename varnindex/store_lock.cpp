#include "varnindex/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"

namespace varnindex {
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

}  // namespace

bool StoreLock::TakeExclusive(const std::string& dir, int budgetMs) {
  Release();
  const std::string path = platform::JoinPath(dir, kLockFileName);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0 && errno == ENOENT && platform::MakeDirs(dir)) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd_ < 0) return false;
  const int64_t deadline = platform::MonotonicMs() + budgetMs;
  bool waiting = false;
  for (;;) {
    if (TryFlock(fd_, LOCK_EX)) {
      if (waiting || !OthersWaiting(fd_)) break;
      ::flock(fd_, LOCK_UN);  // someone has waited longer: let them go first
    }
    if (platform::MonotonicMs() >= deadline) {
      Release();
      return false;
    }
    if (!waiting) waiting = SetWaitingMark(fd_, F_RDLCK);
    std::this_thread::sleep_for(kPoll);
  }
  if (waiting) SetWaitingMark(fd_, F_UNLCK);
  held_ = true;
  exclusive_ = true;
  const uint8_t one[4] = {1, 0, 0, 0};
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, one, sizeof one, 0) != sizeof one) {
    // The content is a courtesy to onlookers; the flock is what serialises.
  }
  return true;
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
  held_ = false;
  exclusive_ = false;
  ::close(fd_);  // drops the flock and any waiting mark
  fd_ = -1;
}

}  // namespace varnindex
