#include "console/status_cells.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/elapsed.h"

namespace console {

std::string StampText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

bool NeverChecked(const common::CheckStatus& s) {
  return StampText(s.lastCheck, sizeof s.lastCheck).size() <= 12;
}

Lamp LampOf(const common::CheckStatus& s) {
  if (s.failCount == 1) return Lamp::kYellow;
  if (s.errorDetected[0] != '\0') return Lamp::kRed;
  if (NeverChecked(s)) return Lamp::kWhite;
  return Lamp::kGreen;
}

int StateOrder(const common::CheckStatus& s) {
  if (StampText(s.errorDetected, sizeof s.errorDetected).size() > 10) return 0;
  if (s.failCount == 1) return 1;
  return 2;
}

std::string TimeCell(const std::string& stamp) {
  if (stamp.size() <= 12) return "";
  int hour = std::atoi(stamp.substr(8, 2).c_str());
  std::string minute = stamp.substr(10, 2);
  char out[32];
  if (hour < 12) {
    std::snprintf(out, sizeof out, "%02d:%sam", hour, minute.c_str());
  } else {
    std::snprintf(out, sizeof out, "%02d:%spm", hour - 12, minute.c_str());
  }
  return out;
}

DurationFigures DurationOf(const common::CheckStatus& s, const platform::SystemTime& now,
                           const platform::SystemTime& consoleStart) {
  platform::SystemTime start;
  std::memcpy(&start, &s.statsStart, sizeof start);
  if (start.year == 0) start = consoleStart;
  DurationFigures f;
  f.total = common::ElapsedSeconds(now, start);
  f.down = s.downSeconds;
  std::string lastFail = StampText(s.lastFailure, sizeof s.lastFailure);
  if (auto t = common::ParseTimeStamp(lastFail)) f.down += common::ElapsedSeconds(now, *t);
  return f;
}

std::string DurationCell(const DurationFigures& f) {
  if (f.total < 1) return "";
  const long down = static_cast<long>(f.down);
  const long total = static_cast<long>(f.total);
  // Down time beyond the monitored time (a record from before a clock change) shows an
  // availability of 0, never a negative one.
  const long up = total > down ? total - down : 0;
  long whole = up * 100 / total;
  long fraction = (up * 100 % total) * 10000 / total;
  char out[96];
  std::snprintf(out, sizeof out, " %02ld:%02ld:%02ld/%02ld:%02ld:%02ld %02ld.%04ld%%", down / 3600,
                down / 60 % 60, down % 60, total / 3600, total / 60 % 60, total % 60, whole,
                fraction);
  return out;
}

namespace {

// The shown name and the sort name share the rules; the cell carries a leading blank.
const char* ServiceName(const std::string& dir, bool forSort) {
  char first =
      dir.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(dir[0])));
  auto at = [&](size_t i) {
    return i < dir.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(dir[i])))
                          : '\0';
  };
  switch (first) {
    case 'C':
      return "CUSTOM";
    case 'E':
      return "Email Send/Receive";
    case 'F':
      return (dir.size() >= 5 && at(3) == 'P') ? "FTP" : "FTP Transfer";
    case 'H':
      return (dir.size() >= 6 && at(4) == 'P') ? "HTTP Page Check" : "HTTP";
    case 'P':
      return (dir.size() >= 3 && at(1) == 'I') ? "PING" : "POP";
    case 'S':
      return "SMTP";
    default:
      return forSort ? "CUSTOM" : "";
  }
}

}  // namespace

std::string ServiceCell(const std::string& dir) {
  std::string name = ServiceName(dir, false);
  return name.empty() ? "" : " " + name;
}

std::string ServiceSortName(const std::string& dir) {
  return ServiceName(dir, true);
}

std::string ReversedStampKey(const std::string& stamp) {
  if (stamp.size() <= 12) return "99999999999999";
  long date = std::atol(stamp.substr(0, 8).c_str());
  long time = std::atol(stamp.substr(8, 6).c_str());
  char out[64];
  std::snprintf(out, sizeof out, "%08ld%06ld", 99999999 - date, 999999 - time);
  return out;
}

}  // namespace console
