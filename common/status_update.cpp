#include "common/status_update.h"

#include "common/file_ops.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace common {
namespace {

template <typename Record>
bool Update(const std::string& programDir, StatusFolder folder, const std::string& key,
            const std::function<bool(Record&, bool)>& change) {
  platform::FileLock lock;
  if (!lock.Acquire(StatusLockPath(programDir, folder))) return false;
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
  lock.Acquire(StatusLockPath(programDir, folder));
  return platform::RemoveFile(StatusPath(programDir, folder, key));
}

CheckStatus NewCheckStatus(const platform::SystemTime& now) {
  CheckStatus s{};
  s.enabled = 1;
  s.statsStart = now;
  return s;
}

}  // namespace common
