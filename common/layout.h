// Names of the program directory's folders and files. One spelling per folder: the
// console's (PINGData, not PingData).
#pragma once

#include <array>
#include <string>

#include "platform/files.h"

namespace common {

inline constexpr const char* kIniFile = "Varnock.ini";
inline constexpr const char* kIniSection = "PROGRAM";
inline constexpr const char* kAllData = "AllData";
inline constexpr const char* kSetting = "Setting";
inline constexpr const char* kTemp = "temp";
inline constexpr const char* kLog = "Log";
inline constexpr const char* kListView = "ListView";
inline constexpr const char* kFirstRunMarker = "first.dat";
inline constexpr const char* kDisplayLog = "Disp";  // in Log: the lines the activity pane shows
inline constexpr const char* kWave = "Wave";        // the alarm's sound files
inline constexpr const char* kMailBox = "MailBox";
inline constexpr const char* kMailLog = "RelayKitLog";  // the alert mails' transfer logs

// Status folders, in the order the console creates them.
enum class StatusFolder {
  kPing,
  kHttpPort,
  kHttpPage,
  kFtpPort,
  kFtpTransfer,
  kSmtpPort,
  kPopPort,
  kEmail,
  kCustom
};
inline constexpr std::array<const char*, 9> kStatusFolderNames = {
    "PINGData", "HTTPData", "HTTPPageData", "FTPPortData", "FTPSendRecData",
    "SMTPData", "POPData",  "EmailData",    "CustData"};

inline const char* FolderName(StatusFolder f) {
  return kStatusFolderNames[static_cast<int>(f)];
}

// The one spelling of a status folder named in any case ("pingdata", "PingData"), or ""
// when the name is not a status folder.
std::string CanonicalFolderName(const std::string& anyCase);

inline std::string InDir(const std::string& dir, const std::string& a) {
  return platform::JoinPath(dir, a);
}
inline std::string InDir(const std::string& dir, const std::string& a, const std::string& b) {
  return platform::JoinPath(platform::JoinPath(dir, a), b);
}

inline std::string IniPath(const std::string& dir) {
  return InDir(dir, kIniFile);
}
inline std::string ScanSettingsPath(const std::string& dir) {
  return InDir(dir, kSetting, "Scan.dat");
}
inline std::string SchedulePath(const std::string& dir) {
  return InDir(dir, kSetting, "Schedule.dat");
}
inline std::string AlertPath(const std::string& dir) {
  return InDir(dir, kSetting, "Alert.dat");
}
inline std::string AlertAuthPath(const std::string& dir) {
  return InDir(dir, kSetting, "Alert2.dat");
}
inline std::string AccountPath(const std::string& dir, const std::string& key) {
  return InDir(dir, kAllData, key);
}
inline std::string StatusPath(const std::string& dir, StatusFolder f, const std::string& key) {
  return InDir(dir, FolderName(f), key);
}

// The stable lock file that guards the status records of one folder.
std::string StatusLockPath(const std::string& dir, StatusFolder f);

// The numbered e-mail state files ("emailPara.dat<n>"); the other scan state files are named
// in the agent table (common/scan_groups.h).
std::string EmailStatePath(const std::string& dir, long n);

}  // namespace common
