// The account dialogs' form: what the page sends, its validation in the fixed order with
// the fixed messages, the record it makes, and the form the edit dialog shows (which never
// carries a password).
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "common/account_fields.h"
#include "common/record_texts.h"
#include "console/account_rules.h"

namespace console {

// A refused form: the message key of the first failing test ("" when all passed) and the
// text for its "%s".
struct FormError {
  std::string key;
  std::string arg;
  bool ok() const { return key.empty(); }
};

// The form and its custom rows are part of the account's description (account_fields.h).
using common::AccountForm;
using common::CustomRow;
using common::CustomRows;

// Reads the page's form. Fails with "msgNotCp932" (and the control's label key) when a text
// cannot be stored.
FormError ParseAccountForm(const nlohmann::json& body, AccountForm* form);
// The custom rows of the page's "customRows": [{"name", "port"}] (at most five read).
CustomRows ParseCustomRows(const nlohmann::json& rows, FormError* error);

// The custom port sub-dialog's checks on "OK", row by row; then every port must be one.
FormError ValidateCustomRows(const CustomRows& rows);

// The dialog's checks after the existence test, in their order: double-byte domain and POP
// server, blank name, blank domain, additional e-mails (blank, address list), additional
// destinations, FTP user, test recipient, POP user and password, SMTP user and password,
// custom ports (then the sub-dialog's own checks, for a request that skipped it), and then
// the rules every way in for an account shares (account_rules.h). `stored` is the account
// being edited: a password left untouched counts as its stored one.
FormError ValidateAccountForm(const AccountForm& form, const common::AccountFile* stored);
// What the shared rules (account_rules.h) look at in a form.
AccountFacts FormFacts(const AccountForm& form);

// The record the form makes. Templates the dialog did not edit come from `stored` when
// editing, else from the global templates of `alert`; passwords left untouched from `stored`.
common::AccountFile BuildAccount(const AccountForm& form, const std::string& programDir,
                                 const common::AlertFile& alert, const common::AccountFile* stored);

// The form of an existing record for the edit dialog (UTF-8; passwords only as "stored"),
// with the byte limits of its type's controls as "limits" (keyed like the form, the custom
// rows' fields as "customName" and "customPort").
nlohmann::json AccountFormJson(const common::AccountFile& account);
nlohmann::json FormLimits(int type);
// A new form: the defaults, with the global templates for the message editors.
nlohmann::json NewAccountFormJson(int type, const common::AlertFile& alert);

// The Edit/Delete dialog's "Service" column; `secure` is the side file's SECURE.
std::string ServiceSummary(const common::AccountRecord& record, bool secure = false);

}  // namespace console
