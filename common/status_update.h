// Read-modify-write of status records. Agents and the console both change these files, so
// every change holds the folder's stable lock file (exclusively) from before the read until
// after the write: a change made by another process in between is never lost. An existing
// record is rewritten in place, which costs a fraction of a new file and a rename, so every
// reader takes the same lock shared (ReadStatusRecord) and never sees half a write.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "common/layout.h"
#include "common/records.h"
#include "platform/lock.h"

namespace common {

// Locks the folder, reads the record (zeroed when missing or short; `exists` tells), calls
// `change`, and writes the record back when `change` returns true: in place over a record
// that was read whole, else as a new file (temporary file and rename). Returns true when
// the record was written.
bool UpdateCheckStatus(const std::string& programDir, StatusFolder folder, const std::string& key,
                       const std::function<bool(CheckStatus& status, bool exists)>& change);
bool UpdateCustomStatus(const std::string& programDir, const std::string& key,
                        const std::function<bool(CustomStatus& status, bool exists)>& change);

// Reads a status record (`statusPath` inside a status folder of a program directory) under
// its folder's shared lock: 1 when `size` bytes were read, else 0 with the buffer zeroed,
// as ReadFixedFile. A file outside the status folders is read without a lock.
int ReadStatusRecord(const std::string& statusPath, void* buffer, size_t size);

// The shared locks of every status folder at once, for a pass that reads many records:
// while it lives no record is being changed, so each can be read with ReadFixedFile instead
// of taking its folder's lock again. Taken in the folders' fixed order, each with the wait
// SetStatusLockWait set; a folder whose lock was not had is not held(), and its records are
// read with ReadStatusRecord. Hold it briefly: every change of a status record waits for it.
class StatusFoldersShared {
 public:
  explicit StatusFoldersShared(const std::string& programDir);
  bool held(StatusFolder folder) const;

 private:
  std::array<platform::FileLock, kStatusFolderNames.size()> locks_;
};

// Deletes a status record under the folder's lock.
bool RemoveStatusRecord(const std::string& programDir, StatusFolder folder, const std::string& key);

// How long this process waits for a status folder's lock: forever (negative, the default;
// agents wait as long as it takes) or at most `ms` milliseconds (the console, whose callers
// are waiting for an answer). A change that timed out writes nothing and returns false.
void SetStatusLockWait(int ms);
// Takes the lock file `path` (exclusive, or shared) with the wait SetStatusLockWait set: the
// console's other locks wait and give up as the status locks do, and a give-up is noted for
// the LockWaitWatch objects of this thread, so the caller answers "busy". False when the
// lock is not held.
bool AcquireWithinLockWait(platform::FileLock& lock, const std::string& path, bool shared = false);

// Watches the locks this thread takes from its construction on: TimedOut() tells whether
// any of them (a status folder's, or one taken with AcquireWithinLockWait) gave up, however
// deep in the calls it was taken. A change made of many locked steps, or an action made of
// many changes, holds one watch to know whether every part of it was written.
class LockWaitWatch {
 public:
  LockWaitWatch();
  bool TimedOut() const;

 private:
  uint64_t timeOutsAtStart_;
};

// A fresh status block: enabled, the statistics start at `now`, all else zero.
CheckStatus NewCheckStatus(const platform::SystemTime& now);

}  // namespace common
