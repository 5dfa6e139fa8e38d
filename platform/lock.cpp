#include "platform/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/files.h"

namespace platform {

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool FileLock::Open(const std::string& path, bool wait, bool shared) {
  Release();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ENOENT && MakeDirs(DirName(path))) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::flock(fd, (shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool FileLock::Acquire(const std::string& path) {
  return Open(path, true);
}
bool FileLock::TryAcquire(const std::string& path) {
  return Open(path, false);
}
bool FileLock::AcquireShared(const std::string& path) {
  return Open(path, true, true);
}

bool FileLock::AcquireWithin(const std::string& path, int timeoutMs, bool* timedOut, bool shared) {
  if (timedOut != nullptr) *timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    if (Open(path, false, shared)) return true;
    if (errno != EWOULDBLOCK) return false;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (timedOut != nullptr) *timedOut = true;
  return false;
}

void FileLock::Release() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
}

std::string NamedLockPath(const std::string& programDir, const std::string& name) {
  return JoinPath(JoinPath(JoinPath(programDir, "temp"), "locks"), name);
}

}  // namespace platform
