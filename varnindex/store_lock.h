// The lock that serialises changes to a store and keeps readers out while one runs.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace varnindex {

struct ChangeSide;

// An advisory lock (flock) on "kdt.loc" in the store folder: exclusive for a change,
// shared for a read. The file holds the 32-bit value 1 while a change runs and is empty
// otherwise; the lock itself dies with its holder, so a process that crashed never blocks
// anyone.
//
// A change keeps its descriptor of "kdt.loc" open for the next change of the same store in
// this process; the process's threads take turns before they take the flock.
//
// Waiting is fair: a change that has been waiting marks itself (a shared byte-range lock
// on the same file), and a change or read that comes fresh lets it go first, so neither a
// process adding in a tight loop nor a stream of reads can starve another change.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock() { Release(); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the exclusive lock of the store in `dir` (creating the folder when missing),
  // waiting at most `budgetMs` (by default ten waits of 100 ms). False when it could not.
  bool TakeExclusive(const std::string& dir, int budgetMs = 1000);

  // Takes the shared lock for reading, waiting at most `budgetMs`. False when the folder is
  // missing or a change holds the lock all that time (a hung writer): the caller may then
  // read without it.
  bool TakeShared(const std::string& dir, int budgetMs = 1000);

  void Release();
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  std::shared_ptr<ChangeSide> side_;  // an exclusive lock's kept descriptor
  std::unique_lock<std::timed_mutex> turn_;
  bool held_ = false;
  bool exclusive_ = false;
};

}  // namespace varnindex
