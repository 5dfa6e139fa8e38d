#include "common/maintenance.h"

#include "common/layout.h"
#include "platform/files.h"

namespace common {
namespace {

bool Digits(std::string_view text, size_t count, int64_t* out) {
  if (text.size() != count) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool ValidStamp(int64_t s) {
  const int64_t minute = s % 100, hour = s / 100 % 100, day = s / 10000 % 100,
                month = s / 1000000 % 100, year = s / 100000000;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59) return false;
  if (day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

bool ValidMinuteText(std::string_view text, int* minutes) {
  int64_t v = 0;
  if (!Digits(text, 4, &v) || v / 100 > 23 || v % 100 > 59) return false;
  *minutes = static_cast<int>(v / 100 * 60 + v % 100);
  return true;
}

bool ValidKey(std::string_view key) {
  if (key == "*") return true;
  if (key.size() < 2 || key.size() > 62 || key.size() % 2 != 0) return false;
  for (char c : key)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size() && words.size() < 6) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

int64_t StampOf(const platform::SystemTime& t) {
  return ((((static_cast<int64_t>(t.year) * 100 + t.month) * 100 + t.day) * 100 + t.hour) * 100) +
         t.minute;
}

std::string Four(int minutes) {
  char out[16];
  std::snprintf(out, sizeof out, "%02d%02d", minutes / 60, minutes % 60);
  return out;
}

}  // namespace

std::string MaintenancePath(const std::string& dir) {
  return InDir(dir, kSetting, kMaintenanceFile);
}

std::optional<MaintenanceWindow> ParseMaintenanceLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> w = Words(line);
  if (w.size() < 2 || !ValidKey(w[1])) return std::nullopt;
  MaintenanceWindow m;
  m.key = std::string(w[1]);
  if (w[0] == "once") {
    if (w.size() != 4 || !Digits(w[2], 12, &m.from) || !Digits(w[3], 12, &m.to) ||
        !ValidStamp(m.from) || !ValidStamp(m.to) || m.to <= m.from)
      return std::nullopt;
    return m;
  }
  if (w[0] == "weekly") {
    int64_t day = 0;
    m.weekly = true;
    if (w.size() != 5 || !Digits(w[2], 1, &day) || day > 6 ||
        !ValidMinuteText(w[3], &m.fromMinute) || !ValidMinuteText(w[4], &m.toMinute) ||
        m.fromMinute == m.toMinute)
      return std::nullopt;
    m.day = static_cast<int>(day);
    return m;
  }
  return std::nullopt;
}

std::string MaintenanceLine(const MaintenanceWindow& m) {
  if (m.weekly) {
    return "weekly " + m.key + " " + std::to_string(m.day) + " " + Four(m.fromMinute) + " " +
           Four(m.toMinute);
  }
  return "once " + m.key + " " + std::to_string(m.from) + " " + std::to_string(m.to);
}

std::vector<MaintenanceWindow> ReadMaintenance(const std::string& dir,
                                               std::vector<std::string>* bad) {
  std::vector<MaintenanceWindow> out;
  std::optional<std::string> text = platform::ReadWholeFile(MaintenancePath(dir), 1u << 20);
  if (!text) return out;
  size_t at = 0;
  while (at < text->size() && out.size() < kMaxMaintenanceWindows) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) end = text->size();
    const std::string_view line(text->data() + at, end - at);
    if (!line.empty() && line != "\r") {
      if (auto m = ParseMaintenanceLine(line)) {
        out.push_back(std::move(*m));
      } else if (bad) {
        bad->emplace_back(line.substr(0, 200));
      }
    }
    at = end + 1;
  }
  return out;
}

bool InMaintenance(const std::vector<MaintenanceWindow>& windows, const std::string& key,
                   const platform::SystemTime& at) {
  const int64_t now = StampOf(at);
  const int minute = at.hour * 60 + at.minute;
  const int day = at.dayOfWeek;
  for (const MaintenanceWindow& m : windows) {
    if (m.key != "*" && m.key != key) continue;
    if (!m.weekly) {
      if (now >= m.from && now < m.to) return true;
      continue;
    }
    if (m.fromMinute < m.toMinute) {
      if (day == m.day && minute >= m.fromMinute && minute < m.toMinute) return true;
    } else if ((day == m.day && minute >= m.fromMinute) ||
               (day == (m.day + 1) % 7 && minute < m.toMinute)) {
      return true;
    }
  }
  return false;
}

bool AnyMaintenanceAhead(const std::vector<MaintenanceWindow>& windows,
                         const platform::SystemTime& at) {
  const int64_t now = StampOf(at);
  for (const MaintenanceWindow& m : windows)
    if (m.weekly || m.to > now) return true;
  return false;
}

bool WriteMaintenance(const std::string& dir, const std::vector<MaintenanceWindow>& windows) {
  if (windows.empty()) {
    const std::string path = MaintenancePath(dir);
    return !platform::PathExists(path) || platform::RemoveFile(path);
  }
  std::string text;
  for (const MaintenanceWindow& m : windows) text += MaintenanceLine(m) + "\n";
  return platform::WriteFileAtomic(MaintenancePath(dir), text, 0644);
}

}  // namespace common
