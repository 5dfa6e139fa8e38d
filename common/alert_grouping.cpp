#include "common/alert_grouping.h"

#include "common/layout.h"
#include "platform/ini.h"

namespace common {
namespace {

constexpr const char* kAbsent = "\x01";

long Setting(const std::string& ini, const char* key, long low, long high, long fallback) {
  const long value = platform::IniGetInt(ini, kIniSection, key, fallback);
  return value < low || value > high ? fallback : value;
}

bool SetKey(const std::string& ini, const char* key, int value, int defaultValue) {
  if (value == defaultValue && platform::IniGetString(ini, kIniSection, key, kAbsent) == kAbsent)
    return true;
  return platform::IniSetString(ini, kIniSection, key, std::to_string(value));
}

}  // namespace

AlertGrouping ReadAlertGrouping(const std::string& dir) {
  const std::string ini = IniPath(dir);
  AlertGrouping g;
  g.groupCount = static_cast<int>(Setting(ini, "ALERTGROUPCOUNT", 1, kMaxGroupCount, 0));
  g.groupSeconds = static_cast<int>(Setting(ini, "ALERTGROUPSECONDS", 1, kMaxGroupSeconds, 60));
  g.flapChanges = static_cast<int>(Setting(ini, "FLAPCHANGES", 1, kMaxFlapChanges, 0));
  g.flapMinutes = static_cast<int>(Setting(ini, "FLAPMINUTES", 1, kMaxFlapMinutes, 30));
  return g;
}

bool WriteAlertGrouping(const std::string& dir, const AlertGrouping& g) {
  const std::string ini = IniPath(dir);
  bool ok = SetKey(ini, "ALERTGROUPCOUNT", g.groupCount, 0);
  ok = SetKey(ini, "ALERTGROUPSECONDS", g.groupSeconds, 60) && ok;
  ok = SetKey(ini, "FLAPCHANGES", g.flapChanges, 0) && ok;
  return SetKey(ini, "FLAPMINUTES", g.flapMinutes, 30) && ok;
}

}  // namespace common
