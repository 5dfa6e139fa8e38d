#include "console/settings.h"

#include <cstdlib>
#include <cstring>

#include "common/layout.h"
#include "platform/ini.h"

namespace console {

std::string LanguageFromLocale() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v == nullptr || *v == '\0') continue;
    return std::strncmp(v, "ja", 2) == 0 ? "1" : "0";
  }
  return "0";
}

WindowKeys ReadWindowKeys(const std::string& dir) {
  const std::string ini = common::IniPath(dir);
  const char* s = common::kIniSection;
  WindowKeys k;
  k.language = platform::IniGetString(ini, s, "LANGUAGE", "").substr(0, 1);
  if (k.language != "0" && k.language != "1") k.language = LanguageFromLocale();
  k.left = static_cast<int>(platform::IniGetInt(ini, s, "LASTLEFT", 0));
  k.top = static_cast<int>(platform::IniGetInt(ini, s, "LASTTOP", 0));
  k.right = static_cast<int>(platform::IniGetInt(ini, s, "LASTRIGHT", 0));
  k.bottom = static_cast<int>(platform::IniGetInt(ini, s, "LASTBOTTOM", 0));
  for (int i = 0; i < 9; ++i) {
    k.columns[i] = static_cast<int>(platform::IniGetInt(ini, s, "LASTLIST" + std::to_string(i), 0));
  }
  return k;
}

bool WriteWindowKeys(const std::string& dir, const WindowKeys& k) {
  const std::string ini = common::IniPath(dir);
  const char* s = common::kIniSection;
  bool ok = platform::IniSetString(ini, s, "LANGUAGE", k.language);
  ok = platform::IniSetString(ini, s, "LASTLEFT", std::to_string(k.left)) && ok;
  ok = platform::IniSetString(ini, s, "LASTTOP", std::to_string(k.top)) && ok;
  ok = platform::IniSetString(ini, s, "LASTRIGHT", std::to_string(k.right)) && ok;
  ok = platform::IniSetString(ini, s, "LASTBOTTOM", std::to_string(k.bottom)) && ok;
  for (int i = 0; i < 9; ++i) {
    ok = platform::IniSetString(ini, s, "LASTLIST" + std::to_string(i),
                                std::to_string(k.columns[i])) &&
         ok;
  }
  return ok;
}

common::ScanSettings DefaultScanSettings() {
  common::ScanSettings s{};
  for (auto& f : s.logOn) f = 1;
  for (auto& f : s.logAll) f = 1;
  s.keepLogDays = 5;
  return s;
}

SettingCopies ReadSettingCopies(const std::string& dir) {
  SettingCopies c;
  c.auth = common::ReadAlertAuth(dir);
  c.alert = common::ReadAlert(dir);
  c.mailConfigured = common::MailConfigured(c.alert.settings);
  bool scanOk = false;
  c.scan = common::ReadScanSettings(dir, &scanOk);
  if (!scanOk) c.scan = DefaultScanSettings();
  c.schedule = common::ReadSchedule(dir);
  c.mailTransport = common::ReadAlertMailTransport(dir);
  return c;
}

bool WriteMailTransport(const std::string& dir, const common::AlertMailTransport& transport) {
  return common::WriteAlertMailTransport(dir, transport);
}

}  // namespace console
