// The lock that serialises changes to a store between processes and threads.
#pragma once

#include <string>

namespace varnindex {

// An advisory lock (flock) on "kdt.loc" in the store folder. The file holds the 32-bit
// value 1 while a change runs and is empty otherwise; the lock itself dies with its
// holder, so a process that crashed never blocks anyone.
//
// Waiting is fair: a caller that has been waiting marks itself (a shared byte-range lock
// on the same file), and a caller that comes fresh lets it go first, so a process adding
// in a tight loop cannot starve another one.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock() { Release(); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock of the store in `dir` (creating the folder when missing), waiting at
  // most `budgetMs` (by default ten waits of 100 ms). False when it could not be taken.
  bool Take(const std::string& dir, int budgetMs = 1000);
  void Release();

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace varnindex
