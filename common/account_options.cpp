#include "common/account_options.h"

#include <strings.h>

#include "common/layout.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace common {
namespace {

constexpr int32_t kMaxCertDays = 3650;

// A key that could leave the folder ("", "..", a "/") names no side file.
bool UsableKey(const std::string& key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos;
}

// The whole value as a decimal number in [low, high]; nothing for any other text.
bool ParseNumber(const std::string& text, long low, long high, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

class OptionReader {
 public:
  OptionReader(std::string path, AccountOptionsRead& read) : path_(std::move(path)), read_(read) {}

  // The key's value when present and in range; the default (and a problem) otherwise.
  long Number(const char* key, long low, long high, long fallback) {
    const std::string text = Value(key);
    if (text.empty()) return fallback;
    long value = 0;
    if (ParseNumber(text, low, high, &value)) return value;
    read_.problems.push_back(std::string(key) + "=" + text + " is out of range " +
                             std::to_string(low) + "-" + std::to_string(high) + ", " +
                             std::to_string(fallback) + " used");
    return fallback;
  }

  // A parent name that is too long or holds a control byte names no account: none used.
  std::string Parent() {
    const std::string text = Value("PARENT");
    bool control = false;
    for (unsigned char c : text) control = control || c < 0x20 || c == 0x7f;
    if (text.size() <= kMaxParentBytes && !control) return text;
    read_.problems.push_back("PARENT is not a server name, no parent used");
    return "";
  }

  TlsMode Mode() { return OptionalMode("TLSMODE", "starttls").value_or(TlsMode::kStartTls); }

  // The mode `key` names; nothing when it is missing or names neither mode (a problem,
  // `fallback` saying what is used instead).
  std::optional<TlsMode> OptionalMode(const char* key, const char* fallback) {
    const std::string text = Value(key);
    if (text.empty()) return std::nullopt;
    if (strcasecmp(text.c_str(), "starttls") == 0) return TlsMode::kStartTls;
    if (strcasecmp(text.c_str(), "implicit") == 0) return TlsMode::kImplicit;
    read_.problems.push_back(std::string(key) + "=" + text + " is neither starttls nor implicit, " +
                             fallback + " used");
    return std::nullopt;
  }

 private:
  std::string Value(const char* key) {
    return platform::IniGetString(path_, kAccountOptionsSection, key, "");
  }
  std::string path_;
  AccountOptionsRead& read_;
};

}  // namespace

std::string AccountOptionsPath(const std::string& programDir, const std::string& key) {
  return InDir(programDir, kAccountOptionsDir, key + ".ini");
}

int32_t DefaultAccountPort(uint8_t accountType, bool secure, TlsMode mode) {
  const bool implicit = secure && mode == TlsMode::kImplicit;
  switch (accountType) {
    case kHttpPage:
      return secure ? 443 : 80;
    case kFtpTransfer:
      return implicit ? 990 : 21;
    case kEmail:
      return implicit ? 465 : 25;
    default:
      return 0;
  }
}

int32_t DefaultPopPort(bool secure, TlsMode mode) {
  return secure && mode == TlsMode::kImplicit ? 995 : 110;
}

AccountOptions DefaultAccountOptions(uint8_t accountType) {
  AccountOptions options;
  options.port = DefaultAccountPort(accountType, false, TlsMode::kStartTls);
  options.popPort = DefaultPopPort(false, TlsMode::kStartTls);
  return options;
}

AccountOptionsRead ReadAccountOptions(const std::string& programDir, const std::string& key,
                                      uint8_t accountType) {
  AccountOptionsRead read;
  read.options = DefaultAccountOptions(accountType);
  if (!UsableKey(key)) return read;
  const std::string path = AccountOptionsPath(programDir, key);
  if (!platform::IsRegularFile(path)) return read;
  read.fileFound = true;
  OptionReader reader(path, read);
  AccountOptions& o = read.options;
  o.secure = reader.Number("SECURE", 0, 1, 0) == 1;
  o.tlsMode = reader.Mode();
  if (accountType == kEmail) o.popTlsMode = reader.OptionalMode("POPTLSMODE", "TLSMODE");
  const int32_t port = DefaultAccountPort(accountType, o.secure, o.tlsMode);
  o.port = static_cast<int32_t>(reader.Number("PORT", 1, 65535, port));
  o.popPort = static_cast<int32_t>(
      reader.Number("POPPORT", 1, 65535, DefaultPopPort(o.secure, PopTlsMode(o))));
  o.verify = reader.Number("VERIFY", 0, 1, 1) == 1;
  o.certDays = static_cast<int32_t>(reader.Number("CERTDAYS", 0, kMaxCertDays, 14));
  o.parent = reader.Parent();
  return read;
}

namespace {

// The lines of the options that differ from their defaults, in the table's order.
std::string DifferingLines(const AccountOptions& o, uint8_t accountType) {
  std::string lines;
  auto add = [&lines](const char* key, const std::string& value) {
    lines += std::string(key) + "=" + value + "\n";
  };
  if (o.secure) add("SECURE", "1");
  if (o.tlsMode == TlsMode::kImplicit) add("TLSMODE", "implicit");
  if (accountType == kEmail && PopTlsMode(o) != o.tlsMode) {
    add("POPTLSMODE", PopTlsMode(o) == TlsMode::kImplicit ? "implicit" : "starttls");
  }
  if (o.port != DefaultAccountPort(accountType, o.secure, o.tlsMode)) {
    add("PORT", std::to_string(o.port));
  }
  const int32_t popPort = DefaultPopPort(o.secure, PopTlsMode(o));
  if (o.popPort != popPort) add("POPPORT", std::to_string(o.popPort));
  if (!o.verify) add("VERIFY", "0");
  if (o.certDays != 14) add("CERTDAYS", std::to_string(o.certDays));
  if (!o.parent.empty()) add("PARENT", o.parent);
  return lines;
}

}  // namespace

bool AllDefault(const AccountOptions& options, uint8_t accountType) {
  return DifferingLines(options, accountType).empty();
}

bool WriteAccountOptions(const std::string& programDir, const std::string& key, uint8_t accountType,
                         const AccountOptions& options) {
  if (!UsableKey(key)) return false;
  const std::string lines = DifferingLines(options, accountType);
  if (lines.empty()) return RemoveAccountOptions(programDir, key);
  std::string text = "[";
  text += kAccountOptionsSection;
  text += "]\n";
  text += lines;
  return platform::WriteFileAtomic(AccountOptionsPath(programDir, key), text, 0600);
}

bool RemoveAccountOptions(const std::string& programDir, const std::string& key) {
  if (!UsableKey(key)) return true;
  const std::string path = AccountOptionsPath(programDir, key);
  if (!platform::PathExists(path)) return true;
  return platform::RemoveFile(path) || !platform::PathExists(path);
}

bool RenameAccountOptions(const std::string& programDir, const std::string& fromKey,
                          const std::string& toKey) {
  if (!UsableKey(fromKey) || !UsableKey(toKey)) return false;
  if (fromKey == toKey) return true;
  const std::string from = AccountOptionsPath(programDir, fromKey);
  if (!platform::PathExists(from)) {
    // The new name must not inherit the options of an account deleted under it earlier.
    return RemoveAccountOptions(programDir, toKey);
  }
  return platform::RenamePath(from, AccountOptionsPath(programDir, toKey));
}

std::string ReadTrustFileSetting(const std::string& programDir) {
  std::string path = platform::IniGetString(IniPath(programDir), kIniSection, "TLSCAFILE", "");
  if (!path.empty() && path[0] != '/') path = platform::JoinPath(programDir, path);
  return path;
}

}  // namespace common
