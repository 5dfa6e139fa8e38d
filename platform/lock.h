// Advisory locks (flock) on lock files. A lock is released when its holder ends, even by a
// crash, so a dead process never blocks anyone.
#pragma once

#include <string>

namespace platform {

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits until the exclusive lock on `path` is held (the file and its folders are created
  // when missing). False when the file cannot be opened.
  bool Acquire(const std::string& path);
  // Takes the lock only when nobody holds it.
  bool TryAcquire(const std::string& path);
  // The shared lock: held by any number of readers at once, never while a writer holds the
  // exclusive one. Waits as Acquire does.
  bool AcquireShared(const std::string& path);
  // Tries every few milliseconds for up to `timeoutMs`; false when the lock stayed taken
  // (`timedOut` then set) or the file cannot be opened.
  bool AcquireWithin(const std::string& path, int timeoutMs, bool* timedOut = nullptr,
                     bool shared = false);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  bool Open(const std::string& path, bool wait, bool shared = false);
  int fd_ = -1;
};

// The lock file that stands in for a named mutex: "<program dir>/temp/locks/<name>".
std::string NamedLockPath(const std::string& programDir, const std::string& name);

}  // namespace platform
