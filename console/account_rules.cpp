#include "console/account_rules.h"

#include "console/form_rules.h"

namespace console {
namespace {

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
    {[](const AccountFacts& f) { return !f.flagsInRange; }, "msgBadRequest",
     "A flag or the type is out of range:"},
    // Saved, listed in Edit/Delete, yet never shown in the list nor checked.
    {[](const AccountFacts& f) { return !f.checksSomething; }, "msgNoCheck",
     "No check is selected:"},
    {[](const AccountFacts& f) { return !f.customPortsInRange; }, "msgCustomPortRange",
     "Custom Port Number is out of range:"},
    {[](const AccountFacts& f) { return !f.httpTimeoutInRange; }, "msgHttpTimeoutRange",
     "Time out is out of range:"},
    {[](const AccountFacts& f) { return !f.emailTimeoutInRange; }, "msgEmailTimeoutRange",
     "Time out is out of range:"},
};

}  // namespace

const AccountRule* FirstFailedRule(const AccountFacts& facts) {
  for (const AccountRule& rule : kRules) {
    if (rule.refuses(facts)) return &rule;
  }
  return nullptr;
}

AccountFacts CsvFacts(const std::vector<std::string>& fields) {
  auto text = [&fields](int no) -> std::string {
    return no >= 1 && static_cast<size_t>(no) <= fields.size() ? fields[no - 1] : "";
  };
  auto inRange = [&text](int no, long long max) { return !DecimalIn(text(no), 0, max).refused(); };
  auto on = [&text](int no) { return DecimalIn(text(no), 0, 255).Or(0) != 0; };
  AccountFacts a;
  a.type = static_cast<int>(DecimalIn(text(51), 0, common::kEmail).Or(common::kServer));
  // A server-type line whose flags name another kind of check is checked as that kind.
  if (a.type == common::kServer) {
    a.type = on(18) ? common::kEmail : on(11) ? common::kFtpTransfer : common::kServer;
  }
  a.name = text(1);
  a.host = text(2);
  a.popServer = text(3);
  a.pagePath = text(4);
  a.remoteDir = text(12);
  if (on(44)) a.additionalEmails = text(45);
  a.checksSomething = a.type != common::kServer;
  for (int no : {5, 6, 8, 10, 15, 16, 25}) a.checksSomething = a.checksSomething || on(no);
  for (int no = 27; no <= 35; no += 2) {
    a.customPortsInRange = a.customPortsInRange && inRange(no, kMaxPort);
  }
  a.httpTimeoutInRange = inRange(7, kMaxHttpTimeout);
  a.emailTimeoutInRange = inRange(17, kMaxEmailTimeout);
  for (int no : {5, 6, 8, 9, 10, 11, 15, 16, 18, 20, 25, 42, 43, 44, 46, 47, 48, 50, 51}) {
    a.flagsInRange = a.flagsInRange && inRange(no, 255);
  }
  return a;
}

std::string CsvRuleRejection(const std::vector<std::string>& fields) {
  const AccountRule* rule = FirstFailedRule(CsvFacts(fields));
  return rule ? rule->csvReason : "";
}

}  // namespace console
