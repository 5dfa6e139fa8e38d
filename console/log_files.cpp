#include "console/log_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/daily_log.h"
#include "platform/files.h"

namespace console {

bool WriteLogLine(const std::string& programDir, long code, std::string_view title,
                  std::string_view message) {
  return common::AppendEventLog(programDir, code, platform::LocalNow(), title, message);
}

bool WriteAccountLogLine(const std::string& programDir, long code, std::string_view name,
                         std::string_view key, std::string_view message) {
  return common::AppendDailyLog(programDir, code, platform::LocalNow(), name, key, message);
}

FileEntry EntryOf(const std::string& path) {
  struct stat st {};
  FileEntry e;
  if (::stat(path.c_str(), &st) != 0) return e;
  e.exists = true;
  e.size = st.st_size;
  e.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return e;
}

namespace {

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && year % 4 == 0) return 29;
  return kDays[(month - 1) % 12];
}

}  // namespace

long LogCutoffDate(int year, int month, int day, int days) {
  int remaining = days < 0 ? 0 : days;
  while (remaining > 0) {
    int step = remaining > 25 ? 25 : remaining;
    day -= step;
    remaining -= step;
    while (day < 1) {
      if (--month < 1) {
        month = 12;
        --year;
      }
      day += DaysInMonth(year, month);
    }
  }
  return static_cast<long>(year) * 10000 + month * 100 + day;
}

int EffectiveLogDays(int stored) {
  if (stored >= 1 && stored <= 5) return stored;
  if (stored >= 10 && stored <= 160 && stored % 5 == 0) return stored;
  return 5;
}

int DeleteOldLogs(const std::string& logFolder, const platform::SystemTime& today, int days) {
  const long todayDate = static_cast<long>(today.year) * 10000 + today.month * 100 + today.day;
  const long cutoff = std::min(
      LogCutoffDate(today.year, today.month, today.day, EffectiveLogDays(days)), todayDate - 1);
  int deleted = 0;
  for (const std::string& name : platform::ListFiles(logFolder)) {
    if (name.size() < 8 || name[0] == '.') continue;
    bool dated = true;
    for (int i = 0; i < 8; ++i) dated = dated && std::isdigit(static_cast<unsigned char>(name[i]));
    // Only dated files are logs; anything else the administrator put there stays.
    if (!dated) continue;
    if (std::atol(name.substr(0, 8).c_str()) <= cutoff &&
        platform::RemoveFile(platform::JoinPath(logFolder, name))) {
      ++deleted;
    }
  }
  return deleted;
}

}  // namespace console
