// What one check row shows, computed from its status record: the lamp, the two time cells,
// the Duration cell, the service name, and the keys of the sort index stores.
#pragma once

#include <cstdint>
#include <string>

#include "common/records.h"
#include "platform/clock.h"

namespace console {

enum class Lamp { kGreen = 0, kYellow = 1, kRed = 2, kWhite = 3 };

// Whether no check of this record has started yet: its last-check text holds 12 characters
// or fewer (empty in a new record and after a first-run reset), the same rule that leaves
// the Last Check cell empty and sorts the row last.
bool NeverChecked(const common::CheckStatus& status);

// Yellow when the consecutive-failure count is exactly 1, else red when an error time is
// set, else white while the account was never checked (green would claim a result nobody
// has seen yet), else green.
Lamp LampOf(const common::CheckStatus& status);

// State order of the status sort: 0 down (error time longer than 10 characters), 1 first
// failure, 2 up.
int StateOrder(const common::CheckStatus& status);

// "hh:mmam" / "hh:mmpm" from a 14-digit time stamp (hours 12-23 print as 0-11 with "pm");
// empty when the text holds 12 characters or fewer.
std::string TimeCell(const std::string& stamp);

// Down and monitored seconds of a row. `consoleStart` stands in for a statistics start
// whose year is 0.
struct DurationFigures {
  int64_t down = 0;
  int64_t total = 0;
};
DurationFigures DurationOf(const common::CheckStatus& status, const platform::SystemTime& now,
                           const platform::SystemTime& consoleStart);

// " %02ld:%02ld:%02ld/%02ld:%02ld:%02ld %02ld.%04ld%%", or "" when total < 1.
std::string DurationCell(const DurationFigures& figures);

// Service cell (with its leading blank) and service sort name, from the data directory.
std::string ServiceCell(const std::string& dataDir);
std::string ServiceSortName(const std::string& dataDir);

// The sort value of the Last Check / Error Detected stores: "%08ld%06ld" of 99999999 -
// date and 999999 - time, or all nines for a stamp of 12 characters or fewer.
std::string ReversedStampKey(const std::string& stamp);

// A fixed text field of a status record, up to its zero byte.
std::string StampText(const char* field, size_t size);

}  // namespace console
