#include "console/maintenance_dialog.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "common/account_key.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "console/text_convert.h"
#include "console/ui_text.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {
namespace {

using nlohmann::json;

// Longest account name or time text taken from the page.
constexpr size_t kMaxField = 200;

std::string Field(const json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return "";
  std::string text = it->get<std::string>();
  return text.size() <= kMaxField ? text : "";
}

bool Digits(const std::string& s, size_t at, size_t count) {
  if (at + count > s.size()) return false;
  for (size_t i = at; i < at + count; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// "hh:mm" -> "hhmm".
std::optional<std::string> TimeOfDay(const std::string& s) {
  if (s.size() != 5 || !Digits(s, 0, 2) || s[2] != ':' || !Digits(s, 3, 2)) return std::nullopt;
  return s.substr(0, 2) + s.substr(3, 2);
}

// "YYYY-MM-DDThh:mm" (or with a blank for the T) -> "YYYYMMDDhhmm".
std::optional<std::string> DateTime(const std::string& s) {
  if (s.size() != 16 || !Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' ||
      !Digits(s, 8, 2) || (s[10] != 'T' && s[10] != ' '))
    return std::nullopt;
  auto time = TimeOfDay(s.substr(11));
  if (!time) return std::nullopt;
  return s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2) + *time;
}

std::string ShowDateTime(int64_t stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld",
                static_cast<long long>(stamp / 100000000),
                static_cast<long long>(stamp / 1000000 % 100),
                static_cast<long long>(stamp / 10000 % 100),
                static_cast<long long>(stamp / 100 % 100), static_cast<long long>(stamp % 100));
  return text;
}

std::string ShowTimeOfDay(int minute) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 24, minute % 60);
  return text;
}

json Refused(const std::string& language, const std::string& key, const std::string& arg = "") {
  return {{"ok", false}, {"key", key}, {"message", MessageText(language, key, arg)}};
}

}  // namespace

json MaintenanceWindows(const std::string& dir, const std::string&) {
  const platform::SystemTime now = platform::LocalNow();
  json windows = json::array();
  for (const common::MaintenanceWindow& m : common::ReadMaintenance(dir)) {
    const bool all = m.key == "*";
    json w{{"line", common::MaintenanceLine(m)},
           {"kind", m.weekly ? "weekly" : "once"},
           {"all", all},
           {"account", all ? "" : ToUtf8(common::DecodeKey(m.key))}};
    if (m.weekly) {
      w["day"] = m.day;
      w["from"] = ShowTimeOfDay(m.fromMinute);
      w["to"] = ShowTimeOfDay(m.toMinute);
    } else {
      w["from"] = ShowDateTime(m.from);
      w["to"] = ShowDateTime(m.to);
    }
    const bool open = common::InMaintenance({m}, m.key, now);
    w["state"] = open ? "now" : common::AnyMaintenanceAhead({m}, now) ? "ahead" : "ended";
    windows.push_back(std::move(w));
  }
  return {{"ok", true}, {"windows", windows}};
}

json AddMaintenanceWindow(const std::string& dir, const std::string& language, const json& body) {
  const bool all = body.value("all", false) == true;
  std::string key = "*";
  if (!all) {
    const std::string name = Field(body, "account");
    auto cp932 = platform::Utf8ToCp932(name);
    if (name.empty() || !cp932) return Refused(language, "msgMaintNoAccount");
    key = common::HexKey(*cp932);
    if (!platform::IsRegularFile(common::AccountPath(dir, key)))
      return Refused(language, "msgMaintNoAccount");
  }
  const std::string kind = Field(body, "kind");
  std::string line;
  if (kind == "once") {
    auto from = DateTime(Field(body, "from")), to = DateTime(Field(body, "to"));
    if (!from || !to) return Refused(language, "msgMaintBadTime");
    if (*to <= *from) return Refused(language, "msgMaintEndFirst");
    line = "once " + key + " " + *from + " " + *to;
  } else if (kind == "weekly") {
    auto day = body.find("day");
    int d = day != body.end() && day->is_number_integer() ? day->get<int>() : -1;
    auto from = TimeOfDay(Field(body, "from")), to = TimeOfDay(Field(body, "to"));
    // An end before the start runs past midnight into the next day.
    if (d < 0 || d > 6 || !from || !to) return Refused(language, "msgMaintBadTime");
    if (*from == *to) return Refused(language, "msgMaintSameTime");
    line = "weekly " + key + " " + std::to_string(d) + " " + *from + " " + *to;
  } else {
    return Refused(language, "msgMaintBadTime");
  }
  std::optional<common::MaintenanceWindow> window = common::ParseMaintenanceLine(line);
  // A date that does not exist (the 31st of April) or an hour past 23.
  if (!window) return Refused(language, "msgMaintBadTime");
  std::vector<common::MaintenanceWindow> windows = common::ReadMaintenance(dir);
  if (windows.size() >= common::kMaxMaintenanceWindows)
    return Refused(language, "msgMaintTooMany", std::to_string(windows.size()));
  windows.push_back(*window);
  if (!common::WriteMaintenance(dir, windows)) {
    std::fprintf(stderr, "KTVarnock: cannot write %s\n", common::MaintenancePath(dir).c_str());
    return Refused(language, "msgMaintNotWritten", common::MaintenancePath(dir));
  }
  return MaintenanceWindows(dir, language);
}

json RemoveMaintenanceWindow(const std::string& dir, const std::string& language,
                             const json& body) {
  const std::string line = Field(body, "line");
  std::vector<std::string> bad;
  std::vector<common::MaintenanceWindow> windows = common::ReadMaintenance(dir, &bad);
  for (auto it = windows.begin(); it != windows.end(); ++it) {
    if (common::MaintenanceLine(*it) != line) continue;
    windows.erase(it);
    if (!common::WriteMaintenance(dir, windows)) {
      std::fprintf(stderr, "KTVarnock: cannot write %s\n", common::MaintenancePath(dir).c_str());
      return Refused(language, "msgMaintNotWritten", common::MaintenancePath(dir));
    }
    return MaintenanceWindows(dir, language);
  }
  // Gone already (removed elsewhere): the list as it is now.
  return MaintenanceWindows(dir, language);
}

}  // namespace console
