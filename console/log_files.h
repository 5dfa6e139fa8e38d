// The console's own log lines, the change test of today's display log, and the removal of
// old daily logs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace console {

// Appends a console event to both daily logs (readable title in the full log, its hex key
// in the display log).
bool WriteLogLine(const std::string& programDir, long code, std::string_view title,
                  std::string_view message);
// An event about an account: its readable name and its key.
bool WriteAccountLogLine(const std::string& programDir, long code, std::string_view name,
                         std::string_view key, std::string_view message);

// The directory entry of a file as the change test compares it.
struct FileEntry {
  bool exists = false;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileEntry&) const = default;
};
FileEntry EntryOf(const std::string& path);

// The date (YYYYMMDD) `days` calendar days before `today`, stepping back at most 25 days
// at a time and borrowing whole months (31, 30, 28 or 29 days; a year divisible by 4 is a
// leap year).
long LogCutoffDate(int year, int month, int day, int days);

// The retention that a stored day count stands for: a value of the 36-value list (1-5,
// then 10 to 160 in steps of 5) as it is, anything else (0 included) as 5, the value the
// Setup dialog shows for it.
int EffectiveLogDays(int stored);

// Deletes the plain files of the Log folder (not its subfolders, not names starting with
// ".") whose names start with an eight-digit date on or before the cutoff of
// EffectiveLogDays(days); today's log is never among them. Returns the number deleted.
int DeleteOldLogs(const std::string& logFolder, const platform::SystemTime& today, int days);

}  // namespace console
