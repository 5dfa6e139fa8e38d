#include "common/status_update.h"

#include <atomic>
#include <cstring>

#include "common/file_ops.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace common {
namespace {

std::atomic<int> lockWaitMs{-1};
// Give-ups of this thread's lock waits so far; watches compare it with their start.
thread_local uint64_t lockTimeOuts = 0;

bool LockFolder(platform::FileLock& lock, const std::string& programDir, StatusFolder folder) {
  return AcquireWithinLockWait(lock, StatusLockPath(programDir, folder), false);
}

// The lock file of the status folder that holds `statusPath`; "" when it is none.
std::string LockPathOf(const std::string& statusPath) {
  const std::string folder = platform::DirName(statusPath);
  const std::string name = CanonicalFolderName(
      folder.substr(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1));
  for (size_t i = 0; i < kStatusFolderNames.size(); ++i) {
    if (name == kStatusFolderNames[i]) {
      return StatusLockPath(platform::DirName(folder), static_cast<StatusFolder>(i));
    }
  }
  return "";
}

template <typename Record>
bool Update(const std::string& programDir, StatusFolder folder, const std::string& key,
            const std::function<bool(Record&, bool)>& change) {
  platform::FileLock lock;
  if (!LockFolder(lock, programDir, folder)) return false;
  const std::string path = StatusPath(programDir, folder, key);
  Record record{};
  bool exists = ReadFixedFile(path, &record, sizeof record) == 1;
  if (!change(record, exists)) return false;
  if (exists) return platform::WriteAt(path, 0, &record, sizeof record);
  return WriteWholeFile(path, &record, sizeof record) == 1;
}

}  // namespace

bool UpdateCheckStatus(const std::string& programDir, StatusFolder folder, const std::string& key,
                       const std::function<bool(CheckStatus&, bool)>& change) {
  return Update<CheckStatus>(programDir, folder, key, change);
}

bool UpdateCustomStatus(const std::string& programDir, const std::string& key,
                        const std::function<bool(CustomStatus&, bool)>& change) {
  return Update<CustomStatus>(programDir, StatusFolder::kCustom, key, change);
}

int ReadStatusRecord(const std::string& statusPath, void* buffer, size_t size) {
  const std::string lockPath = LockPathOf(statusPath);
  platform::FileLock lock;
  if (!lockPath.empty() && !AcquireWithinLockWait(lock, lockPath, true)) {
    std::memset(buffer, 0, size);
    return 0;
  }
  return ReadFixedFile(statusPath, buffer, size);
}

StatusFoldersShared::StatusFoldersShared(const std::string& programDir) {
  for (size_t i = 0; i < locks_.size(); ++i) {
    AcquireWithinLockWait(locks_[i], StatusLockPath(programDir, static_cast<StatusFolder>(i)),
                          true);
  }
}

bool StatusFoldersShared::held(StatusFolder folder) const {
  const auto i = static_cast<size_t>(folder);
  return i < locks_.size() && locks_[i].held();
}

bool RemoveStatusRecord(const std::string& programDir, StatusFolder folder,
                        const std::string& key) {
  platform::FileLock lock;
  if (!LockFolder(lock, programDir, folder)) return false;
  return platform::RemoveFile(StatusPath(programDir, folder, key));
}

bool AcquireWithinLockWait(platform::FileLock& lock, const std::string& path, bool shared) {
  const int wait = lockWaitMs.load();
  if (wait < 0) return shared ? lock.AcquireShared(path) : lock.Acquire(path);
  bool timedOut = false;
  if (lock.AcquireWithin(path, wait, &timedOut, shared)) return true;
  if (timedOut) ++lockTimeOuts;
  return false;
}

void SetStatusLockWait(int ms) {
  lockWaitMs = ms;
}
LockWaitWatch::LockWaitWatch() : timeOutsAtStart_(lockTimeOuts) {}

bool LockWaitWatch::TimedOut() const {
  return lockTimeOuts != timeOutsAtStart_;
}

CheckStatus NewCheckStatus(const platform::SystemTime& now) {
  CheckStatus s{};
  s.enabled = 1;
  s.statsStart = now;
  return s;
}

}  // namespace common
