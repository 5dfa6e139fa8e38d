// Maintenance windows: times in which the checks still run and are logged but no alert is
// sent. Kept in "<program dir>/Setting/Maintenance.txt", one window per line:
//
//   once   <account> <from YYYYMMDDhhmm> <to YYYYMMDDhhmm>
//   weekly <account> <day 0-6, 0 is Sunday> <from hhmm> <to hhmm>
//
// <account> is the account key (the hex of its server name, so any name fits) or "*" for
// every account; times are local. A weekly window whose end is not after its start runs
// past midnight into the next day. The ends are not part of the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace common {

inline constexpr const char* kMaintenanceFile = "Maintenance.txt";
// Windows read from the file at most; a file holds at most this many lines.
inline constexpr size_t kMaxMaintenanceWindows = 1000;

struct MaintenanceWindow {
  bool weekly = false;
  std::string key;                   // "*" for every account
  int64_t from = 0, to = 0;          // once: YYYYMMDDhhmm as a number
  int day = 0;                       // weekly
  int fromMinute = 0, toMinute = 0;  // weekly: minutes of the day
};

std::string MaintenancePath(const std::string& programDir);

// Nothing for a line that is not a window of the layout above (an unknown word, a date
// that does not exist, an end not after the start of a one-off window, a key that is
// neither "*" nor 2 to 62 hex digits).
std::optional<MaintenanceWindow> ParseMaintenanceLine(std::string_view line);
std::string MaintenanceLine(const MaintenanceWindow& window);

// The windows of the file; lines that are no window are named in `bad`.
std::vector<MaintenanceWindow> ReadMaintenance(const std::string& programDir,
                                               std::vector<std::string>* bad = nullptr);

// True when `key` is in one of the windows at local time `at`.
bool InMaintenance(const std::vector<MaintenanceWindow>& windows, const std::string& key,
                   const platform::SystemTime& at);

// True while a window can still matter: a weekly one, or a one-off that has not ended by `at`.
bool AnyMaintenanceAhead(const std::vector<MaintenanceWindow>& windows,
                         const platform::SystemTime& at);

// Stores the windows (the file replaced at once); an empty list removes the file.
bool WriteMaintenance(const std::string& programDir, const std::vector<MaintenanceWindow>& windows);

}  // namespace common
