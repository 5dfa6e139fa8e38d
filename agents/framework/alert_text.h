// Alert texts: template expansion and the recipient lists of mail and LAN messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace agents {

struct TemplateValues {
  std::string_view storedName;  // the account key as stored; %S is its readable form
  std::string_view host;        // %I
  std::string_view checkType;   // %C
  std::string_view checkTime;   // %T: 14 digits, shown as "YYYY/MM/DD hh:mm:ss"
  std::string_view message;     // %E: empty in Up alerts
};

// Replaces every %S, %I, %C, %T and %E (case matters); any other "%" stays as it is.
std::string ExpandTemplate(std::string_view tmpl, const TemplateValues& values);

// Appends the lines of a list (ended by LF, a CR before the LF dropped), each followed by
// a comma, to `to`.
void AppendListLines(std::string& to, std::string_view list);

// The To text of an alert mail: the general list when `general` is on, then the account's
// own list when `own` is on, separated by a comma; no comma at the very end.
std::string MailRecipients(bool useGeneral, std::string_view general, bool useOwn,
                           std::string_view own);

// The recipients of a LAN message list: pieces cut at every CR, LF and comma; empty pieces
// and pieces of 150 characters or more are left out.
std::vector<std::string> LanRecipients(std::string_view list);

}  // namespace agents
