#include "console/account_rules.h"

#include "common/account_fields.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/layout.h"
#include "console/account_csv.h"
#include "console/form_values.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace console {
namespace {

using common::Field;

bool Email(const AccountFacts& f) {
  return f.type == common::kEmail;
}

constexpr AccountRule kRules[] = {
    {[](const AccountFacts& f) { return OnlyBlanks(f.name); }, "msgNameOnlyBlanks",
     "Server name is only blanks:"},
    {[](const AccountFacts& f) { return CheckHost(f.host) == HostVerdict::kBadHost; },
     "msgDomainBad", "Server IP is incorrect:"},
    {[](const AccountFacts& f) { return CheckHost(f.host) == HostVerdict::kBadPort; },
     "msgDomainPortBad", "Server IP port is out of range:"},
    // The path goes into the request line: a line break there would add headers of its own.
    {[](const AccountFacts& f) { return HasControlByte(f.pagePath); }, "msgPageUrlBad",
     "Page path is incorrect:"},
    {[](const AccountFacts& f) { return Email(f) && f.popServer.empty(); }, "msgPopServerBlank",
     "POP server is blank:"},
    {[](const AccountFacts& f) {
       return Email(f) && CheckHost(f.popServer) != HostVerdict::kValid;
     },
     "msgPopServerBad", "POP server is incorrect:"},
    {[](const AccountFacts& f) { return HasControlByte(f.remoteDir); }, "msgDestDirBad",
     "Destination directory is incorrect:"},
    {[](const AccountFacts& f) { return !ListControlsValid(f.additionalEmails); }, "msgAddEmailBad",
     "Additional Email address is incorrect:"},
    // A flag a file holds must fit its byte, or it would decide the checks below wrapped.
    {[](const AccountFacts& f) {
       return !f.flagsInRange || f.OutOfRange(Field::kSecure) || f.OutOfRange(Field::kVerify);
     },
     "msgBadRequest", "A flag or the type is out of range:"},
    // Saved, listed in Edit/Delete, yet never shown in the list nor checked.
    {[](const AccountFacts& f) { return !f.checksSomething; }, "msgNoCheck",
     "No check is selected:"},
    {[](const AccountFacts& f) { return !f.customPortsInRange; }, "msgCustomPortRange",
     "Custom Port Number is out of range:"},
    {[](const AccountFacts& f) { return !f.httpTimeoutInRange; }, "msgHttpTimeoutRange",
     "Time out is out of range:"},
    {[](const AccountFacts& f) { return !f.emailTimeoutInRange; }, "msgEmailTimeoutRange",
     "Time out is out of range:"},
    {[](const AccountFacts& f) {
       return f.OutOfRange(Field::kTlsMode) || f.OutOfRange(Field::kPopTlsMode);
     },
     "msgTlsModeBad", "TLS mode is not starttls or implicit:"},
    {[](const AccountFacts& f) {
       return f.OutOfRange(Field::kPort) || f.OutOfRange(Field::kPopPort);
     },
     "msgPortRange", "Port is out of range:"},
    {[](const AccountFacts& f) { return f.OutOfRange(Field::kCertDays); }, "msgCertDaysRange",
     "Certificate days are out of range:"},
    // A name no server can have is no parent, whatever is stored.
    {[](const AccountFacts& f) { return f.OutOfRange(Field::kParent); }, "msgParentUnknown",
     "Parent account does not exist:"},
};

constexpr AccountRule kParentUnknown = {[](const AccountFacts&) { return true; },
                                        "msgParentUnknown", "Parent account does not exist:"};
constexpr AccountRule kParentCycle = {[](const AccountFacts&) { return true; }, "msgParentCycle",
                                      "Parent account is behind this one:"};

// Parents followed at most this far; a longer chain is refused as if it came back.
constexpr int kMaxParentChain = 64;

}  // namespace

const AccountRule* ParentRule(const std::string& dir, const std::string& name,
                              const std::string& parent, bool mustExist) {
  if (parent.empty()) return nullptr;
  const std::string own = common::HexKey(name);
  std::string next = parent;
  for (int step = 0; step < kMaxParentChain && !next.empty(); ++step) {
    const std::string key = common::HexKey(next);
    if (key == own) return &kParentCycle;
    if (!platform::IsRegularFile(common::AccountPath(dir, key))) {
      return step == 0 && mustExist ? &kParentUnknown : nullptr;
    }
    next =
        platform::IniGetString(common::AccountOptionsPath(dir, key), common::kAccountOptionsSection,
                               common::FieldOf(Field::kParent).iniKey, "");
  }
  return next.empty() ? nullptr : &kParentCycle;
}

const AccountRule* FirstFailedRule(const AccountFacts& facts) {
  for (const AccountRule& rule : kRules) {
    if (rule.refuses(facts)) return &rule;
  }
  return nullptr;
}

AccountFacts CsvFacts(const std::vector<std::string>& fields) {
  auto text = [&fields](Field id) { return common::CsvValue(fields, id); };
  auto inRange = [&text](Field id, long long max) {
    return !DecimalIn(text(id), 0, max).refused();
  };
  auto on = [&text](Field id) { return DecimalIn(text(id), 0, 255).Or(0) != 0; };
  AccountFacts a;
  a.account = AccountFromCsv(fields, "");
  a.type = static_cast<int>(DecimalIn(text(Field::kType), 0, common::kEmail).Or(common::kServer));
  // A server-type line whose flags name another kind of check is checked as that kind.
  if (a.type == common::kServer) {
    a.type = on(Field::kIsEmail)         ? common::kEmail
             : on(Field::kIsFtpTransfer) ? common::kFtpTransfer
                                         : common::kServer;
  }
  a.name = text(Field::kName);
  a.host = text(Field::kHost);
  a.popServer = text(Field::kPopServer);
  a.pagePath = text(Field::kPagePath);
  a.remoteDir = text(Field::kRemoteDir);
  if (on(Field::kMailToAccount)) a.additionalEmails = text(Field::kMailAddresses);
  a.checksSomething = a.type != common::kServer;
  for (Field id : {Field::kPingOn, Field::kHttpPortOn, Field::kIsHttpPage, Field::kFtpPortOn,
                   Field::kSmtpPortOn, Field::kPopPortOn, Field::kCustomOn}) {
    a.checksSomething = a.checksSomething || on(id);
  }
  for (int slot = 0; slot < 5; ++slot) {
    a.customPortsInRange = a.customPortsInRange && inRange(common::CustomPortField(slot), kMaxPort);
  }
  a.httpTimeoutInRange = inRange(Field::kHttpTimeout, kMaxHttpTimeout);
  a.emailTimeoutInRange = inRange(Field::kEmailTimeout, kMaxEmailTimeout);
  // The side file's options, where the line has them (empty: the default). CSV numbers
  // may carry blanks and a sign, as the record's numbers may.
  for (const common::AccountField& field : common::AccountFields()) {
    const std::string& value = text(field.id);
    if (!field.sideFile || value.empty()) continue;
    const bool fits =
        field.number ? !DecimalIn(value, field.low, static_cast<long long>(field.max)).refused()
                     : common::OptionTextFits(field, value);
    a.outOfRange.set(static_cast<size_t>(field.id), !fits);
  }
  // Every flag and the type are one byte in the record.
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.number && field.max == 255) {
      a.flagsInRange = a.flagsInRange && inRange(field.id, 255);
    }
  }
  return a;
}

std::string CsvRuleRejection(const std::vector<std::string>& fields) {
  const AccountRule* rule = FirstFailedRule(CsvFacts(fields));
  return rule ? rule->csvReason : "";
}

}  // namespace console
