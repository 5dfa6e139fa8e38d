// Adding, changing and removing accounts on disk. Every change runs under the account
// store's lock, in an order that never leaves a list row without its record: a record is
// written before its checks are registered, and rows go before their record.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "common/record_texts.h"
#include "console/account_form.h"

namespace console {

// The lock every change of the account set takes ("<dir>/temp/locks/AccountStore").
std::string AccountStoreLockPath(const std::string& programDir);

// Removes every list index line of `key`, found by reading the store: for a record that
// cannot be read, whose domain and custom services are unknown.
void RemoveIndexLinesOf(const std::string& programDir, const std::string& key);

struct SaveOutcome {
  FormError error;  // the refusal, or empty when written
  std::string key;  // the key of the account written
  bool written = false;
};

// "Add" (originalKey empty) or "Save" of the edit dialog for `originalKey`. Runs the checks
// in order (the texts, the existence test, then ValidateAccountForm) and writes nothing when
// one fails. A rename onto another existing account is refused like an add. Writes the
// record, registers its checks, LASTSETTINGUPDATE and the log entries 10007, or 10009 (the
// old account, when its name or domain changed) and 10008.
SaveOutcome SaveAccount(const std::string& programDir, const nlohmann::json& body,
                        const common::AlertFile& alert, const std::string& originalKey);

// Removes the account of `key` completely, with the log entry 10009 and LASTSETTINGUPDATE.
bool DeleteAccount(const std::string& programDir, const std::string& key);

}  // namespace console
