// Read-modify-write of status records. Agents and the console both change these files, so
// every change holds the folder's stable lock file from before the read until after the
// write: a change made by another process in between is never lost. Readers take no lock.
#pragma once

#include <functional>
#include <string>

#include "common/layout.h"
#include "common/records.h"

namespace common {

// Locks the folder, reads the record (zeroed when missing or short; `exists` tells), calls
// `change`, and writes the record back (temporary file and rename) when `change` returns
// true. Returns true when the record was written.
bool UpdateCheckStatus(const std::string& programDir, StatusFolder folder, const std::string& key,
                       const std::function<bool(CheckStatus& status, bool exists)>& change);
bool UpdateCustomStatus(const std::string& programDir, const std::string& key,
                        const std::function<bool(CustomStatus& status, bool exists)>& change);

// Deletes a status record under the folder's lock.
bool RemoveStatusRecord(const std::string& programDir, StatusFolder folder, const std::string& key);

// How long this process waits for a status folder's lock: forever (negative, the default;
// agents wait as long as it takes) or at most `ms` milliseconds (the console, whose callers
// are waiting for an answer). A change that timed out writes nothing and returns false.
void SetStatusLockWait(int ms);
// True when a status change of this thread timed out on a lock since the last reset.
bool StatusLockTimedOut();
void ResetStatusLockTimedOut();

// A fresh status block: enabled, the statistics start at `now`, all else zero.
CheckStatus NewCheckStatus(const platform::SystemTime& now);

}  // namespace common
