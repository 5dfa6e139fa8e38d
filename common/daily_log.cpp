#include "common/daily_log.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "common/account_key.h"
#include "common/layout.h"
#include "platform/files.h"

namespace common {
namespace {

constexpr size_t kNameField = 65;
constexpr int kAppendTries = 32;
constexpr int kAppendPauseMs = 100;

std::string DayFile(const std::string& folder, const platform::SystemTime& day) {
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d.log", day.year % 10000, day.month % 100,
                day.day % 100);
  return platform::JoinPath(folder, name);
}

// The log files kept open: a handful at most (two per day; a run that passes midnight
// opens two more), so the oldest is closed when a fifth comes.
constexpr size_t kKeptLogs = 4;
std::atomic<bool> keepLogsOpen{false};
std::mutex keptMutex;
std::vector<std::unique_ptr<platform::AppendHandle>> keptLogs;

bool AppendKept(const std::string& path, const std::string& line) {
  std::lock_guard<std::mutex> hold(keptMutex);
  platform::AppendHandle* handle = nullptr;
  for (auto& kept : keptLogs) {
    if (kept->path() == path) handle = kept.get();
  }
  if (handle == nullptr) {
    if (keptLogs.size() >= kKeptLogs) keptLogs.erase(keptLogs.begin());
    keptLogs.push_back(std::make_unique<platform::AppendHandle>(path));
    handle = keptLogs.back().get();
  }
  return handle->Append(line);
}

bool AppendWithRetry(const std::string& path, const std::string& line) {
  for (int attempt = 0; attempt < kAppendTries; ++attempt) {
    if (keepLogsOpen ? AppendKept(path, line) : platform::AppendToFile(path, line)) return true;
    platform::SleepMs(kAppendPauseMs);
  }
  return false;
}

// A log line is one line: a line break inside a field (a stored recipient list, a text a
// server sent) becomes one blank, CR LF as a pair.
std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    out += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return out;
}

}  // namespace

std::string FormatLogLine(long code, const platform::SystemTime& time, std::string_view name,
                          std::string_view text) {
  int hour = time.hour % 24;
  const char* half = hour >= 12 ? "pm" : "am";
  if (hour >= 12) hour -= 12;
  char head[64];
  std::snprintf(head, sizeof head, "%05ld %04d/%02d/%02d  %02d:%02d%s  ", code, time.year % 10000,
                time.month % 100, time.day % 100, hour, time.minute % 100, half);
  std::string line = head;
  std::string field = OneLine(name.substr(0, kNameField));
  field.resize(kNameField, ' ');
  line += field;
  line += ' ';
  line += OneLine(text);
  line += "\r\n";
  return line;
}

std::string FullLogPath(const std::string& programDir, const platform::SystemTime& day) {
  return DayFile(platform::JoinPath(programDir, kLog), day);
}

std::string DisplayLogPath(const std::string& programDir, const platform::SystemTime& day) {
  return DayFile(platform::JoinPath(platform::JoinPath(programDir, kLog), kDisplayLog), day);
}

bool AppendDailyLog(const std::string& programDir, long code, const platform::SystemTime& time,
                    std::string_view plainName, std::string_view keyName, std::string_view text) {
  bool full =
      AppendWithRetry(FullLogPath(programDir, time), FormatLogLine(code, time, plainName, text));
  bool disp =
      AppendWithRetry(DisplayLogPath(programDir, time), FormatLogLine(code, time, keyName, text));
  return full && disp;
}

void KeepDailyLogsOpen() {
  keepLogsOpen = true;
}

bool AppendEventLog(const std::string& programDir, long code, const platform::SystemTime& time,
                    std::string_view title, std::string_view text) {
  return AppendDailyLog(programDir, code, time, title, HexKey(title), text);
}

bool AppendDailyLogInFolder(const std::string& logDir, long code, const platform::SystemTime& time,
                            std::string_view plainName, std::string_view keyName,
                            std::string_view text) {
  bool disp = AppendWithRetry(DayFile(platform::JoinPath(logDir, kDisplayLog), time),
                              FormatLogLine(code, time, keyName, text));
  bool full = AppendWithRetry(DayFile(logDir, time), FormatLogLine(code, time, plainName, text));
  return disp && full;
}

}  // namespace common
