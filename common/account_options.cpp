#include "common/account_options.h"

#include <array>
#include <bitset>

#include "common/account_fields.h"
#include "common/layout.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace common {
namespace {

// A key that could leave the folder ("", "..", a "/") names no side file.
bool UsableKey(const std::string& key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos;
}

// The rows of the side file that an account of the type keeps there, in the table's order.
template <typename Visit>
void ForEachOption(uint8_t accountType, Visit visit) {
  for (const AccountField& field : AccountFields()) {
    const bool typeKeepsIt = field.fileTypes == kAllTypes ||
                             (accountType < 8 && (field.fileTypes & TypeBit(accountType)) != 0);
    if (field.sideFile && typeKeepsIt) visit(field);
  }
}

// What the log says of a value the option does not take; a value holding a control byte
// is not repeated.
std::string Problem(const AccountField& field, const std::string& text,
                    const std::string& refusal) {
  bool printable = true;
  for (unsigned char c : text) printable = printable && c >= 0x20 && c != 0x7f;
  return std::string(field.iniKey) + (printable ? "=" + text : "") + refusal;
}

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
  AccountFile account;
  account.record.type = accountType;
  account.options = read.options;
  // Texts and the numbers the file sets first; then the numbers it leaves out (or sets to
  // something else) take their defaults in the table's order, as a port's default follows
  // SECURE and the modes.
  std::array<std::string, static_cast<size_t>(Field::kCount)> texts, problems;
  std::bitset<static_cast<size_t>(Field::kCount)> taken;
  ForEachOption(accountType, [&](const AccountField& field) {
    const size_t at = static_cast<size_t>(field.id);
    texts[at] = platform::IniGetString(path, kAccountOptionsSection, field.iniKey, "");
    if (texts[at].empty()) return;
    if (!OptionTextFits(field, texts[at])) {
      if (!field.number) problems[at] = Problem(field, texts[at], field.refusal);
      return;
    }
    taken.set(at);
    field.number ? field.setValue(account, std::stol(texts[at]))
                 : field.setText(account, texts[at]);
  });
  ForEachOption(accountType, [&](const AccountField& field) {
    const size_t at = static_cast<size_t>(field.id);
    if (!field.number || taken.test(at)) return;
    const long fallback = field.defaultValue(account);
    field.setValue(account, fallback);
    if (texts[at].empty()) return;
    problems[at] =
        Problem(field, texts[at],
                " is out of range " + std::to_string(field.low) + "-" + std::to_string(field.max) +
                    ", " + std::to_string(fallback) + " used");
  });
  read.options = account.options;
  for (std::string& problem : problems) {
    if (!problem.empty()) read.problems.push_back(std::move(problem));
  }
  return read;
}

namespace {

// The lines of the options that differ from their defaults, in the table's order.
std::string DifferingLines(const AccountOptions& options, uint8_t accountType) {
  AccountFile account;
  account.record.type = accountType;
  account.options = options;
  std::string lines;
  ForEachOption(accountType, [&](const AccountField& field) {
    std::string value;
    if (field.number) {
      const long number = field.value(account);
      if (number != field.defaultValue(account)) value = std::to_string(number);
    } else {
      value = field.text(account);
      if (value == field.defaultText(account)) value.clear();
    }
    if (!value.empty()) lines += std::string(field.iniKey) + "=" + value + "\n";
  });
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
