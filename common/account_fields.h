// The one description of an account: every value an account holds, where the record keeps
// it, its column in the CSV export and import, and the control of the account dialogs that
// shows it (JSON key, byte limit, label key, the types whose dialog has it). The dialogs'
// form (AccountForm) is described here too; its member initializers are what a new
// account's dialog shows. The dialog's JSON, the CSV and --setup all read and write accounts
// through this table, so a new option is one row here (plus the form member and the record
// or AccountOptions member it fills, whose initializer is its default).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/record_texts.h"

namespace common {

// What every account holds whatever was typed: the ports the agents use and the local file
// of the FTP round trip (in the program directory's temp folder).
constexpr uint32_t kHttpPort = 80;
constexpr uint32_t kFtpPort = 21;
constexpr uint32_t kSmtpPort = 25;
constexpr uint32_t kPopPort = 110;
constexpr const char* kFtpTestFileName = "FTP_test.text";

// A record of `type` with those fixed values and the type's own flag set; all else zero.
AccountFile NewAccount(int type, const std::string& programDir);

// The longest multi-line text (addresses, templates) an account stores.
constexpr size_t kMaxLongText = 32 * 1024;
// The HTTP Page Check's "Page URL" field (host and path in one) and the digits of a port.
constexpr size_t kPageUrlLimit = 255;
constexpr size_t kPortDigits = 5;

// Cuts CP932 text to at most `limit` bytes without splitting a double-byte character.
std::string CutCp932(std::string text, size_t limit);

struct CustomRow {
  std::string name;         // CP932, at most 64 bytes
  long port = 0;            // as the five-digit field reads it
  bool portInRange = true;  // false: the field held more than digits of a port 0-65535
};
using CustomRows = std::array<CustomRow, 5>;

// Every control of the four account dialogs, as CP932 texts and flags. Controls that the
// type's dialog does not have read as empty or off.
struct AccountForm {
  int type = kServer;
  std::string name, domain, popServer;
  std::string httpTimeout = "120", emailTimeout = "240";
  bool ping = true, http = false, ftp = false, smtp = false, pop = false, custom = false;
  CustomRows rows;
  bool checkLinks = false;
  std::string ftpUser, remoteDir, testRecipient, smtpUser, popUser;
  // Passwords: nothing means "keep the stored one".
  std::optional<std::string> ftpPassword, smtpPassword, popPassword;
  bool smtpAuth = false;
  bool useDefaultMessage = true, useDefaultOnline = true;
  // The account's own templates; nothing means "not edited in this dialog".
  std::optional<std::array<std::string, 4>> mailTemplates;  // down subj, up subj, down, up
  std::optional<std::array<std::string, 2>> onlineTemplates;
  bool defaultEmail = true, additionalEmails = false;
  std::string additionalEmailsText;
  bool defaultDest = true, additionalDest = false;
  std::string additionalDestText;
  bool enabled = true;
  // The side file's options (account_options.h); an empty port means its default.
  bool secure = false, verify = true;
  std::string tlsMode = "starttls", port, popPort, certDays = "14";
  std::string popTlsMode;  // "": the POP3 side as tlsMode
  // The server name of the account this one is behind; empty for none.
  std::string parent;
};

// The values of an account in the CSV column order: a field's CSV column is its position
// plus one.
enum class Field : int {
  kName,
  kHost,
  kPopServer,
  kPagePath,
  kPingOn,
  kHttpPortOn,
  kHttpTimeout,
  kIsHttpPage,
  kCheckLinks,
  kFtpPortOn,
  kIsFtpTransfer,
  kRemoteDir,
  kFtpUser,
  kFtpPassword,
  kSmtpPortOn,
  kPopPortOn,
  kEmailTimeout,
  kIsEmail,
  kTestRecipient,
  kSmtpAuth,
  kSmtpUser,
  kSmtpPassword,
  kPopUser,
  kPopPassword,
  kCustomOn,
  kCustomName1,
  kCustomPort1,
  kCustomName2,
  kCustomPort2,
  kCustomName3,
  kCustomPort3,
  kCustomName4,
  kCustomPort4,
  kCustomName5,
  kCustomPort5,
  kDownSubject,
  kUpSubject,
  kDownBody,
  kUpBody,
  kDownOnline,
  kUpOnline,
  kUseGlobalMail,
  kMailToGlobal,
  kMailToAccount,
  kMailAddresses,
  kUseGlobalOnline,
  kOnlineToGlobal,
  kOnlineToAccount,
  kNetSendAddresses,
  kEnabled,
  kType,
  // The side file's options: appended to a CSV line only for an account that has one.
  kSecure,
  kTlsMode,
  kPort,
  kPopPort,
  kVerify,
  kCertDays,
  kPopTlsMode,
  kParent,
  kCount
};
constexpr Field CustomNameField(int slot) {
  return static_cast<Field>(static_cast<int>(Field::kCustomName1) + 2 * slot);
}
constexpr Field CustomPortField(int slot) {
  return static_cast<Field>(static_cast<int>(Field::kCustomPort1) + 2 * slot);
}

// How the dialogs show a value. kNone: not as a control of its own (the type and its flags,
// the custom rows, the templates: the dialogs hand these in by compound keys).
enum class Control : uint8_t { kNone, kText, kPassword, kDigits, kFlag };

constexpr uint8_t TypeBit(int type) {
  return static_cast<uint8_t>(1u << type);
}
constexpr uint8_t kAllTypes = 0x0F;

struct AccountField {
  Field id;
  // The record's side. A text is read and written as CP932 and cut at a character boundary
  // to `limit` bytes; a number is cast to the width the record keeps (`max` its largest).
  bool number = false;
  size_t limit = 0;
  unsigned long max = 0;
  std::string (*text)(const AccountFile&) = nullptr;
  void (*setText)(AccountFile&, const std::string&) = nullptr;
  long (*value)(const AccountFile&) = nullptr;
  void (*setValue)(AccountFile&, long) = nullptr;
  // The dialogs' side: the JSON key, the form member, the label key of the control (for the
  // message about a text that cannot be stored), and the types whose dialog shows it. A
  // digits control keeps `limit` digits; a flag shown as `onlyOne` is on only when it is 1.
  Control control = Control::kNone;
  const char* jsonKey = nullptr;
  const char* labelKey = nullptr;
  uint8_t types = kAllTypes;
  std::string AccountForm::*formText = nullptr;
  bool AccountForm::*formFlag = nullptr;
  std::optional<std::string> AccountForm::*formPassword = nullptr;
  bool onlyOne = false;
  // Kept in the account's side file (AccountFile::options) instead of the record; a CSV
  // line without the column, or with it empty, leaves the default.
  bool sideFile = false;
  // The side file's side: the value's key in AccountOptions/<key>.ini, a number's smallest
  // value, the value an account has when its file does not set it (the ports follow SECURE
  // and TLSMODE, the POP3 side's mode follows TLSMODE), the texts a text option takes and
  // what the log says of any other, and the types whose file holds it.
  const char* iniKey = nullptr;
  long low = 0;
  long (*defaultValue)(const AccountFile&) = nullptr;
  std::string (*defaultText)(const AccountFile&) = nullptr;
  bool (*takes)(const std::string&) = nullptr;
  const char* refusal = nullptr;
  uint8_t fileTypes = kAllTypes;

  size_t csvColumn() const { return static_cast<size_t>(id) + 1; }
  bool shownFor(int type) const { return type >= 0 && type < 8 && (types & TypeBit(type)) != 0; }
};

// The rows in CSV column order, one per Field.
std::span<const AccountField> AccountFields();
const AccountField& FieldOf(Field id);
// The number of CSV columns every line has (the record's values); the side file's options
// follow them on the lines of accounts that have one.
constexpr int kCsvFields = static_cast<int>(Field::kSecure);
constexpr int kCsvFieldsWithOptions = static_cast<int>(Field::kCount);

// The TLSMODE spelling ("starttls", "implicit", read in any case); false for any other
// text. POPTLSMODE's text is "" when the POP3 side follows TLSMODE.
const char* TlsModeName(TlsMode mode);
bool ParseTlsMode(const std::string& text, TlsMode* mode);
// Replaces the ports left 0 with the defaults of the account's type and security.
void SettlePorts(AccountFile& account);
// True when the account's options differ from the defaults (it has, or gets, a side file).
bool HasOwnOptions(const AccountFile& account);
// True when `text` is a value the side-file option `field` takes as it stands: a number of
// digits only in [low, max], or a text its row takes; "" is a number's default.
bool OptionTextFits(const AccountField& field, const std::string& text);

// The text of a field in an import line's fields, empty when the line is shorter.
const std::string& CsvValue(const std::vector<std::string>& fields, Field id);

}  // namespace common
