// The console's copies of its settings: the PROGRAM keys of Varnock.ini it keeps, and the
// four Setting files with the console's start-up defaults.
#pragma once

#include <array>
#include <string>

#include "common/mail_transport.h"
#include "common/record_texts.h"
#include "common/records.h"

namespace console {

struct WindowKeys {
  std::string language;  // "0" English, "1" Japanese
  int left = 0, top = 0, right = 0, bottom = 0;
  std::array<int, 9> columns{};  // LASTLIST0-LASTLIST8
};

// "1" for a Japanese locale (LC_ALL, LC_MESSAGES or LANG starting with "ja"), else "0".
std::string LanguageFromLocale();

// Reads LANGUAGE (first character; the locale's choice when empty), the window rectangle
// and the column edges.
WindowKeys ReadWindowKeys(const std::string& programDir);
// Writes LANGUAGE, LASTLEFT, LASTTOP, LASTRIGHT, LASTBOTTOM and LASTLIST0-LASTLIST8.
bool WriteWindowKeys(const std::string& programDir, const WindowKeys& keys);

struct SettingCopies {
  common::AlertFile alert;
  common::AlertAuth auth{};
  common::ScanSettings scan{};
  common::ScanSchedule schedule{};
  bool mailConfigured = false;
  // Port and security of the two alert mail servers (Varnock.ini, common/mail_transport.h).
  common::AlertMailTransport mailTransport;
};

// The console's defaults for an unreadable Scan.dat: intervals 0, every log flag 1, 5 days.
common::ScanSettings DefaultScanSettings();

SettingCopies ReadSettingCopies(const std::string& programDir);

// Writes the alert mail servers' ports and security choices; keys that keep their defaults
// and are not in Varnock.ini yet stay out of it.
bool WriteMailTransport(const std::string& programDir, const common::AlertMailTransport& transport);

}  // namespace console
