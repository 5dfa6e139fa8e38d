#include "common/status_update.h"

#include <atomic>

#include "common/file_ops.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace common {
namespace {

std::atomic<int> lockWaitMs{-1};
thread_local bool lockTimedOut = false;

bool LockFolder(platform::FileLock& lock, const std::string& programDir, StatusFolder folder) {
  const int wait = lockWaitMs.load();
  if (wait < 0) return lock.Acquire(StatusLockPath(programDir, folder));
  bool timedOut = false;
  if (lock.AcquireWithin(StatusLockPath(programDir, folder), wait, &timedOut)) return true;
  if (timedOut) lockTimedOut = true;
  return false;
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

bool RemoveStatusRecord(const std::string& programDir, StatusFolder folder,
                        const std::string& key) {
  platform::FileLock lock;
  if (!LockFolder(lock, programDir, folder)) return false;
  return platform::RemoveFile(StatusPath(programDir, folder, key));
}

void SetStatusLockWait(int ms) {
  lockWaitMs = ms;
}
bool StatusLockTimedOut() {
  return lockTimedOut;
}
void ResetStatusLockTimedOut() {
  lockTimedOut = false;
}

CheckStatus NewCheckStatus(const platform::SystemTime& now) {
  CheckStatus s{};
  s.enabled = 1;
  s.statsStart = now;
  return s;
}

}  // namespace common
