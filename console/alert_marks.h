// What a row says about its alerts beside its lamp: that the account is in a maintenance
// window, that it is down behind its parent (its alerts are held), or that the check flaps
// (its alerts are quieted). Read from
// the account's options file, the parent's status records and the alert desk's records.
#pragma once

#include <string>

#include "common/records.h"

namespace console {

struct AlertMark {
  enum Kind { kNone, kBehindParent, kFlapping, kMaintenance } kind = kNone;
  std::string parent;  // kBehindParent: the parent's server name (CP932)
};

// The mark of the row of `key` in the status folder `folder` (its one spelling), custom
// slot `slot` (-1 for other rows), whose record is `status`.
AlertMark AlertMarkOf(const std::string& programDir, const std::string& key,
                      const std::string& folder, int slot, const common::CheckStatus& status);

}  // namespace console
