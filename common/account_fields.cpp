#include "common/account_fields.h"

#include <strings.h>

#include <limits>
#include <type_traits>

#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "platform/codepage.h"

namespace common {
namespace {

// Accessors of one member each, made once per member.
template <auto M>
std::string RecordText(const AccountFile& a) {
  return FieldText(a.record.*M);
}
template <auto M>
void SetRecordText(AccountFile& a, const std::string& text) {
  auto& field = a.record.*M;
  SetField(field, CutCp932(text, sizeof field - 1));
}
template <auto M>
long RecordValue(const AccountFile& a) {
  return static_cast<long>(a.record.*M);
}
template <auto M>
void SetRecordValue(AccountFile& a, long value) {
  a.record.*M = static_cast<std::remove_reference_t<decltype(a.record.*M)>>(value);
}
template <auto M>
std::string FileText(const AccountFile& a) {
  return a.*M;
}
template <auto M>
void SetFileText(AccountFile& a, const std::string& text) {
  a.*M = CutCp932(text, kMaxLongText);
}
template <int S>
std::string CustomName(const AccountFile& a) {
  return FieldText(a.record.customNames[S]);
}
template <int S>
void SetCustomName(AccountFile& a, const std::string& text) {
  SetField(a.record.customNames[S], CutCp932(text, sizeof a.record.customNames[S] - 1));
}
template <int S>
long CustomPort(const AccountFile& a) {
  return static_cast<long>(a.record.customPorts[S]);
}
template <int S>
void SetCustomPort(AccountFile& a, long value) {
  a.record.customPorts[S] = static_cast<uint32_t>(value);
}

// The side file's options.
template <auto M>
long OptionFlag(const AccountFile& a) {
  return a.options.*M ? 1 : 0;
}
template <auto M>
void SetOptionFlag(AccountFile& a, long value) {
  a.options.*M = value != 0;
}
template <auto M>
long OptionNumber(const AccountFile& a) {
  return a.options.*M;
}
template <auto M>
void SetOptionNumber(AccountFile& a, long value) {
  a.options.*M = static_cast<int32_t>(value);
}
std::string TlsModeText(const AccountFile& a) {
  return TlsModeName(a.options.tlsMode);
}
void SetTlsModeText(AccountFile& a, const std::string& text) {
  ParseTlsMode(text, &a.options.tlsMode);
}
std::string PopTlsModeText(const AccountFile& a) {
  return a.options.popTlsMode ? TlsModeName(*a.options.popTlsMode) : "";
}
void SetPopTlsModeText(AccountFile& a, const std::string& text) {
  TlsMode mode;
  if (ParseTlsMode(text, &mode)) {
    a.options.popTlsMode = mode;
  } else {
    a.options.popTlsMode.reset();
  }
}

std::string ParentText(const AccountFile& a) {
  return a.options.parent;
}
void SetParentText(AccountFile& a, const std::string& text) {
  a.options.parent = text;
}

// The defaults of the side file's options: a member's initializer, or what the account's
// other options give.
template <auto M>
long DefaultNumber(const AccountFile&) {
  return static_cast<long>(AccountOptions{}.*M);
}
long DefaultPort(const AccountFile& a) {
  return DefaultAccountPort(a.record.type, a.options.secure, a.options.tlsMode);
}
long DefaultPopPortOf(const AccountFile& a) {
  return DefaultPopPort(a.options.secure, PopTlsMode(a.options));
}
std::string DefaultTlsModeText(const AccountFile&) {
  return TlsModeName(AccountOptions{}.tlsMode);
}
// The POP3 side's mode follows TLSMODE unless it differs.
std::string DefaultPopTlsModeText(const AccountFile& a) {
  return TlsModeName(a.options.tlsMode);
}
std::string NoText(const AccountFile&) {
  return "";
}
bool TakesTlsMode(const std::string& text) {
  TlsMode mode;
  return ParseTlsMode(text, &mode);
}
bool TakesPopTlsMode(const std::string& text) {
  return text.empty() || TakesTlsMode(text);
}
// A parent that is too long or holds a control byte names no account.
bool TakesParent(const std::string& text) {
  if (text.size() > kMaxParentBytes) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// The key holds the hex of the name's first bytes, cut where a character ends: a key ending
// in half a character would decode to a shorter name, and saving that name renames the
// account.
std::string KeyName(const AccountFile& a) {
  return DecodeKey(FieldText(a.record.key));
}
void SetKeyName(AccountFile& a, const std::string& name) {
  SetField(a.record.key, HexKey(CutCp932(name, kKeySourceBytes)));
}

template <auto M>
constexpr AccountField Text(Field id) {
  AccountField f{id};
  f.limit = sizeof(static_cast<AccountRecord*>(nullptr)->*M) - 1;
  f.text = &RecordText<M>;
  f.setText = &SetRecordText<M>;
  return f;
}
template <auto M>
constexpr AccountField LongText(Field id) {
  AccountField f{id};
  f.limit = kMaxLongText;
  f.text = &FileText<M>;
  f.setText = &SetFileText<M>;
  return f;
}
template <auto M>
constexpr AccountField Number(Field id) {
  using T = std::remove_reference_t<decltype(static_cast<AccountRecord*>(nullptr)->*M)>;
  AccountField f{id};
  f.number = true;
  f.max = std::numeric_limits<T>::max();
  f.value = &RecordValue<M>;
  f.setValue = &SetRecordValue<M>;
  return f;
}
template <int S>
constexpr AccountField CustomNameRow() {
  AccountField f{CustomNameField(S)};
  f.limit = sizeof(AccountRecord::customNames[S]) - 1;
  f.text = &CustomName<S>;
  f.setText = &SetCustomName<S>;
  return f;
}
template <int S>
constexpr AccountField CustomPortRow() {
  AccountField f{CustomPortField(S)};
  f.number = true;
  f.max = std::numeric_limits<uint32_t>::max();
  f.value = &CustomPort<S>;
  f.setValue = &SetCustomPort<S>;
  return f;
}

// The dialogs' control of a value.
constexpr AccountField Shown(AccountField f, const char* key, const char* label, uint8_t types,
                             std::string AccountForm::*member) {
  f.control = Control::kText;
  f.jsonKey = key;
  f.labelKey = label;
  f.types = types;
  f.formText = member;
  return f;
}
constexpr AccountField Shown(AccountField f, const char* key, const char* label, uint8_t types,
                             std::optional<std::string> AccountForm::*member) {
  f.control = Control::kPassword;
  f.jsonKey = key;
  f.labelKey = label;
  f.types = types;
  f.formPassword = member;
  return f;
}
constexpr AccountField Shown(AccountField f, const char* key, uint8_t types,
                             bool AccountForm::*member) {
  f.control = Control::kFlag;
  f.jsonKey = key;
  f.types = types;
  f.formFlag = member;
  return f;
}
constexpr AccountField Digits(AccountField f, const char* key, const char* label, uint8_t types,
                              std::string AccountForm::*member, size_t digits) {
  f = Shown(f, key, label, types, member);
  f.control = Control::kDigits;
  f.limit = digits;
  return f;
}
constexpr AccountField OnlyOne(AccountField f) {
  f.onlyOne = true;
  return f;
}

// A row of the side file: its key, and the default of a value the file does not set.
constexpr AccountField InFile(AccountField f, const char* iniKey,
                              long (*defaultValue)(const AccountFile&)) {
  f.sideFile = true;
  f.iniKey = iniKey;
  f.defaultValue = defaultValue;
  return f;
}
constexpr AccountField InFile(AccountField f, const char* iniKey,
                              std::string (*defaultText)(const AccountFile&),
                              bool (*takes)(const std::string&), const char* refusal) {
  f.sideFile = true;
  f.iniKey = iniKey;
  f.defaultText = defaultText;
  f.takes = takes;
  f.refusal = refusal;
  return f;
}

template <auto M>
constexpr AccountField OptionFlagRow(Field id, const char* iniKey, const char* key, uint8_t types,
                                     bool AccountForm::*member) {
  AccountField f{id};
  f.number = true;
  f.max = 1;
  f.value = &OptionFlag<M>;
  f.setValue = &SetOptionFlag<M>;
  return Shown(InFile(f, iniKey, &DefaultNumber<M>), key, types, member);
}
template <auto M>
constexpr AccountField OptionDigitsRow(Field id, const char* iniKey, const char* key,
                                       const char* label, uint8_t types,
                                       std::string AccountForm::*member, long low,
                                       unsigned long max, size_t digits,
                                       long (*defaultValue)(const AccountFile&) = nullptr) {
  AccountField f{id};
  f.number = true;
  f.low = low;
  f.max = max;
  f.value = &OptionNumber<M>;
  f.setValue = &SetOptionNumber<M>;
  f = InFile(f, iniKey, defaultValue ? defaultValue : &DefaultNumber<M>);
  return Digits(f, key, label, types, member, digits);
}
constexpr AccountField TlsModeRow(uint8_t types) {
  AccountField f{Field::kTlsMode};
  f.limit = 8;
  f.text = &TlsModeText;
  f.setText = &SetTlsModeText;
  f = InFile(f, "TLSMODE", &DefaultTlsModeText, &TakesTlsMode,
             " is neither starttls nor implicit, starttls used");
  return Shown(f, "tlsMode", "lblAcctTlsMode", types, &AccountForm::tlsMode);
}

constexpr AccountField PopTlsModeRow(uint8_t types) {
  AccountField f{Field::kPopTlsMode};
  f.limit = 8;
  f.text = &PopTlsModeText;
  f.setText = &SetPopTlsModeText;
  f = InFile(f, "POPTLSMODE", &DefaultPopTlsModeText, &TakesPopTlsMode,
             " is neither starttls nor implicit, TLSMODE used");
  f.fileTypes = types;
  return Shown(f, "popTlsMode", "lblAcctPopTlsMode", types, &AccountForm::popTlsMode);
}

// A server name, cut as the name field cuts it.
constexpr AccountField ParentRow() {
  AccountField f{Field::kParent};
  f.limit = kKeySourceBytes;
  f.text = &ParentText;
  f.setText = &SetParentText;
  f = InFile(f, "PARENT", &NoText, &TakesParent, " is not a server name, no parent used");
  return Shown(f, "parent", "lblAcctParent", kAllTypes, &AccountForm::parent);
}

constexpr AccountField KeyRow() {
  AccountField f{Field::kName};
  f.limit = kKeySourceBytes;
  f.text = &KeyName;
  f.setText = &SetKeyName;
  return Shown(f, "name", "lblServerName", kAllTypes, &AccountForm::name);
}

constexpr uint8_t kServerOnly = TypeBit(kServer);
constexpr uint8_t kPageOnly = TypeBit(kHttpPage);
constexpr uint8_t kFtpOnly = TypeBit(kFtpTransfer);
constexpr uint8_t kEmailOnly = TypeBit(kEmail);

constexpr uint8_t kSecureTypes = kPageOnly | kFtpOnly | kEmailOnly;
constexpr uint8_t kTlsModeTypes = kFtpOnly | kEmailOnly;

using R = AccountRecord;
using F = AccountForm;
using O = AccountOptions;

constexpr AccountField kFields[] = {
    KeyRow(),
    // For an HTTP Page Check the field holds host and path (kPageUrlLimit bytes in all).
    Shown(Text<&R::host>(Field::kHost), "domain", "lblDomain", kAllTypes, &F::domain),
    Shown(Text<&R::popServer>(Field::kPopServer), "popServer", "lblPopServer", kEmailOnly,
          &F::popServer),
    Text<&R::pagePath>(Field::kPagePath),
    Shown(Number<&R::pingOn>(Field::kPingOn), "ping", kServerOnly, &F::ping),
    Shown(Number<&R::httpPortOn>(Field::kHttpPortOn), "http", kServerOnly, &F::http),
    Digits(Number<&R::httpTimeout>(Field::kHttpTimeout), "httpTimeout", "lblTimeOut", kPageOnly,
           &F::httpTimeout, 5),
    Number<&R::isHttpPage>(Field::kIsHttpPage),
    Shown(Number<&R::checkLinks>(Field::kCheckLinks), "checkLinks", kPageOnly, &F::checkLinks),
    Shown(Number<&R::ftpPortOn>(Field::kFtpPortOn), "ftp", kServerOnly, &F::ftp),
    Number<&R::isFtpTransfer>(Field::kIsFtpTransfer),
    Shown(Text<&R::remoteDir>(Field::kRemoteDir), "remoteDir", "lblDestDir", kFtpOnly,
          &F::remoteDir),
    Shown(Text<&R::ftpUser>(Field::kFtpUser), "ftpUser", "lblFtpAccount", kFtpOnly, &F::ftpUser),
    Shown(Text<&R::ftpPassword>(Field::kFtpPassword), "ftpPassword", "lblFtpPassword", kFtpOnly,
          &F::ftpPassword),
    Shown(Number<&R::smtpPortOn>(Field::kSmtpPortOn), "smtp", kServerOnly, &F::smtp),
    Shown(Number<&R::popPortOn>(Field::kPopPortOn), "pop", kServerOnly, &F::pop),
    Digits(Number<&R::sendReceiveTimeout>(Field::kEmailTimeout), "emailTimeout", "lblTimeOut",
           kEmailOnly, &F::emailTimeout, 5),
    Number<&R::isEmail>(Field::kIsEmail),
    Shown(Text<&R::testRecipient>(Field::kTestRecipient), "testRecipient", "lblSendTestTo",
          kEmailOnly, &F::testRecipient),
    Shown(Number<&R::smtpAuth>(Field::kSmtpAuth), "smtpAuth", kEmailOnly, &F::smtpAuth),
    Shown(Text<&R::smtpUser>(Field::kSmtpUser), "smtpUser", "lblSmtpId", kEmailOnly, &F::smtpUser),
    Shown(Text<&R::smtpPassword>(Field::kSmtpPassword), "smtpPassword", "lblSmtpPassword",
          kEmailOnly, &F::smtpPassword),
    Shown(Text<&R::popUser>(Field::kPopUser), "popUser", "lblPopId", kEmailOnly, &F::popUser),
    Shown(Text<&R::popPassword>(Field::kPopPassword), "popPassword", "lblPopPassword", kEmailOnly,
          &F::popPassword),
    Shown(Number<&R::customOn>(Field::kCustomOn), "custom", kServerOnly, &F::custom),
    // The dialogs hand the five services in as "customRows".
    CustomNameRow<0>(),
    CustomPortRow<0>(),
    CustomNameRow<1>(),
    CustomPortRow<1>(),
    CustomNameRow<2>(),
    CustomPortRow<2>(),
    CustomNameRow<3>(),
    CustomPortRow<3>(),
    CustomNameRow<4>(),
    CustomPortRow<4>(),
    // The dialogs hand these in as "mailTemplates" and "onlineTemplates".
    LongText<&AccountFile::downSubject>(Field::kDownSubject),
    LongText<&AccountFile::upSubject>(Field::kUpSubject),
    LongText<&AccountFile::downBody>(Field::kDownBody),
    LongText<&AccountFile::upBody>(Field::kUpBody),
    LongText<&AccountFile::downOnline>(Field::kDownOnline),
    LongText<&AccountFile::upOnline>(Field::kUpOnline),
    Shown(Number<&R::useGlobalMailTemplates>(Field::kUseGlobalMail), "useDefaultMessage", kAllTypes,
          &F::useDefaultMessage),
    Shown(Number<&R::mailToGlobal>(Field::kMailToGlobal), "defaultEmail", kAllTypes,
          &F::defaultEmail),
    Shown(Number<&R::mailToAccount>(Field::kMailToAccount), "additionalEmails", kAllTypes,
          &F::additionalEmails),
    Shown(LongText<&AccountFile::mailAddresses>(Field::kMailAddresses), "additionalEmailsText",
          "lblAdditionalEmails", kAllTypes, &F::additionalEmailsText),
    Shown(Number<&R::useGlobalOnlineTemplates>(Field::kUseGlobalOnline), "useDefaultOnline",
          kAllTypes, &F::useDefaultOnline),
    Shown(Number<&R::onlineToGlobal>(Field::kOnlineToGlobal), "defaultDest", kAllTypes,
          &F::defaultDest),
    Shown(Number<&R::onlineToAccount>(Field::kOnlineToAccount), "additionalDest", kAllTypes,
          &F::additionalDest),
    Shown(LongText<&AccountFile::netSendAddresses>(Field::kNetSendAddresses), "additionalDestText",
          "lblAdditionalDest", kAllTypes, &F::additionalDestText),
    // Agents check an account only when this is 1.
    OnlyOne(Shown(Number<&R::enabled>(Field::kEnabled), "enabled", kAllTypes, &F::enabled)),
    Number<&R::type>(Field::kType),
    OptionFlagRow<&O::secure>(Field::kSecure, "SECURE", "secure", kSecureTypes, &F::secure),
    TlsModeRow(kTlsModeTypes),
    OptionDigitsRow<&O::port>(Field::kPort, "PORT", "port", "lblAcctPort", kSecureTypes, &F::port,
                              1, 65535, kPortDigits, &DefaultPort),
    OptionDigitsRow<&O::popPort>(Field::kPopPort, "POPPORT", "popPort", "lblPopPort", kEmailOnly,
                                 &F::popPort, 1, 65535, kPortDigits, &DefaultPopPortOf),
    OptionFlagRow<&O::verify>(Field::kVerify, "VERIFY", "verify", kSecureTypes, &F::verify),
    OptionDigitsRow<&O::certDays>(Field::kCertDays, "CERTDAYS", "certDays", "lblAcctCertDays",
                                  kSecureTypes, &F::certDays, 0, 3650, 4),
    PopTlsModeRow(kEmailOnly),
    ParentRow(),
};

constexpr bool InColumnOrder() {
  int i = 0;
  for (const AccountField& f : kFields) {
    if (static_cast<int>(f.id) != i++) return false;
  }
  return i == static_cast<int>(Field::kCount);
}
static_assert(InColumnOrder(), "one row per Field, in the order of the enumeration");

}  // namespace

std::string CutCp932(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t at = 0;
  while (at < limit) {
    size_t len = platform::IsSjisLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
    if (at + len > limit) break;
    at += len;
  }
  text.resize(at);
  return text;
}

AccountFile NewAccount(int type, const std::string& programDir) {
  AccountFile a;
  AccountRecord& r = a.record;
  r.type = static_cast<uint8_t>(type);
  r.isHttpPage = type == kHttpPage;
  r.isFtpTransfer = type == kFtpTransfer;
  r.isEmail = type == kEmail;
  r.httpPort = kHttpPort;
  r.ftpPort = kFtpPort;
  r.smtpPort = kSmtpPort;
  r.popPort = kPopPort;
  SetField(r.localTestFile, InDir(programDir, kTemp, kFtpTestFileName));
  return a;
}

const char* TlsModeName(TlsMode mode) {
  return mode == TlsMode::kImplicit ? "implicit" : "starttls";
}

bool ParseTlsMode(const std::string& text, TlsMode* mode) {
  if (strcasecmp(text.c_str(), "starttls") == 0) {
    *mode = TlsMode::kStartTls;
  } else if (strcasecmp(text.c_str(), "implicit") == 0) {
    *mode = TlsMode::kImplicit;
  } else {
    return false;
  }
  return true;
}

void SettlePorts(AccountFile& a) {
  AccountOptions& o = a.options;
  if (o.port == 0) o.port = DefaultAccountPort(a.record.type, o.secure, o.tlsMode);
  if (o.popPort == 0) o.popPort = DefaultPopPort(o.secure, PopTlsMode(o));
}

bool HasOwnOptions(const AccountFile& a) {
  AccountFile settled = a;
  SettlePorts(settled);
  return !AllDefault(settled.options, a.record.type);
}

bool OptionTextFits(const AccountField& field, const std::string& text) {
  if (!field.number) return field.takes == nullptr || field.takes(text);
  if (text.empty()) return true;
  if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long value = std::stol(text);
  return value >= field.low && value <= static_cast<long>(field.max);
}

std::span<const AccountField> AccountFields() {
  return kFields;
}

const AccountField& FieldOf(Field id) {
  return kFields[static_cast<int>(id)];
}

const std::string& CsvValue(const std::vector<std::string>& fields, Field id) {
  static const std::string kEmpty;
  const size_t i = static_cast<size_t>(id);
  return i < fields.size() ? fields[i] : kEmpty;
}

}  // namespace common
