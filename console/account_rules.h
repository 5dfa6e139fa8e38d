// The checks that every way an account comes in shares: the account dialogs, the CSV import
// and --setup. Each way runs its own fixed checks first and then these, in the order of the
// table, so one rule lives in one row: what it refuses, the dialog's message key and the
// import report's reason.
#pragma once

#include <bitset>
#include <string>
#include <vector>

#include "common/account_fields.h"
#include "common/record_texts.h"

namespace console {

// The largest time-outs the checks read: the page check reads its time-out as a signed
// 16-bit number of seconds, the mail round trip its waiting time as an unsigned one.
constexpr long long kMaxHttpTimeout = 32767;
constexpr long long kMaxEmailTimeout = 65535;
constexpr long long kMaxPort = 65535;

// What the rules look at, whoever hands the account in (texts as CP932).
struct AccountFacts {
  int type = common::kServer;
  std::string name;
  std::string host;      // "Domain or IP"; for an HTTP Page Check only its host part
  std::string pagePath;  // HTTP Page Check
  std::string popServer;
  std::string remoteDir;         // FTP Transfer
  std::string additionalEmails;  // only when sending to additional addresses
  bool checksSomething = true;   // false: a server account with no check ticked
  bool customPortsInRange = true;
  bool httpTimeoutInRange = true;
  bool emailTimeoutInRange = true;
  bool flagsInRange = true;  // only a file hands in flags as numbers
  // The side file's options handed in with a value their row does not take.
  std::bitset<static_cast<size_t>(common::Field::kCount)> outOfRange;
  bool OutOfRange(common::Field id) const { return outOfRange.test(static_cast<size_t>(id)); }
  // The record as it would be stored (without passwords kept from an edited account), for
  // rules on a value that every way in hands over as it is.
  common::AccountFile account;
};

struct AccountRule {
  bool (*refuses)(const AccountFacts&);
  const char* messageKey;
  const char* csvReason;
};

// The first rule the account fails, or nothing when it passes them all.
const AccountRule* FirstFailedRule(const AccountFacts& facts);

// The parent an account names, checked against the stored accounts: nothing when it names
// none, or another stored account from which the chain of parents never leads back to
// `name`; else the rule it fails (its message key and report reason). `mustExist` false
// lets a parent that is not stored (yet) pass, as an import whose later line adds it.
const AccountRule* ParentRule(const std::string& programDir, const std::string& name,
                              const std::string& parent, bool mustExist = true);

// The facts of an import line's fields (the export's field order) and the report reason of
// the first rule they fail, or "" when they pass.
AccountFacts CsvFacts(const std::vector<std::string>& fields);
std::string CsvRuleRejection(const std::vector<std::string>& fields);

}  // namespace console
