// Adding, changing and removing accounts on disk. Every change runs under the account
// store's lock, in an order that never leaves a list row without its record: a record is
// written before its checks are registered, and rows go before their record.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "common/record_texts.h"
#include "console/account_form.h"
#include "platform/lock.h"

namespace console {

// The lock every change of the account set takes ("<dir>/temp/locks/AccountStore").
std::string AccountStoreLockPath(const std::string& programDir);
// Takes that lock with the process's lock wait (common::SetStatusLockWait): the console
// gives up after its bound like it does for a status folder, and the page's action then
// answers the busy refusal (Act). False only then: nothing may be changed.
bool LockAccountStore(platform::FileLock& lock, const std::string& programDir);

// The largest account record the console reads whole (its texts are bounded far below).
constexpr size_t kMaxRecordBytes = 16u << 20;
// The state an edit starts from: a hash of the bytes of the account's record, "" when it
// has none. The page gets it with the record and hands it back with the save or the
// delete, which are refused when it no longer matches.
std::string AccountRevision(const std::string& programDir, const std::string& key);

// Removes every list index line of `key`, found by reading the store: for a record that
// cannot be read, whose domain and custom services are unknown.
void RemoveIndexLinesOf(const std::string& programDir, const std::string& key);

struct SaveOutcome {
  FormError error;  // the refusal, or empty when written
  std::string key;  // the key of the account written
  bool written = false;
};

// "Add" (originalKey empty) or "Save" of the edit dialog for `originalKey`. Runs the checks
// in order (the texts, the edited record still there and, when `revision` is given, as it
// was loaded ("msgChangedMeanwhile"), the existence test, then ValidateAccountForm) and
// writes nothing when one fails. A rename onto another existing account is refused like an
// add. Writes the record, registers its checks (one AccountChange), LASTSETTINGUPDATE and
// the log entries 10007, or 10009 (the old account, when its name or domain changed) and
// 10008.
SaveOutcome SaveAccount(const std::string& programDir, const nlohmann::json& body,
                        const common::AlertFile& alert, const std::string& originalKey,
                        const std::string& revision = "");

// Removes the account of `key` completely, with the log entry 10009 and LASTSETTINGUPDATE.
// False when nothing was removed; `why` then holds the message, if any: the account is gone
// or, when `revision` is given, changed since ("msgChangedMeanwhile").
bool DeleteAccount(const std::string& programDir, const std::string& key,
                   const std::string& revision = "", FormError* why = nullptr);

}  // namespace console
