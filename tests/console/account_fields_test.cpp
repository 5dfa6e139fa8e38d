// The account's one description: every field of every type survives the dialog's JSON and
// the CSV both ways, and one bad account gets the same first message from the dialog, the
// import and --setup.
#include "common/account_fields.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/account_key.h"
#include "common/layout.h"
#include "console/account_csv.h"
#include "console/account_form.h"
#include "console/account_rules.h"
#include "console/api.h"
#include "console/setup_command.h"
#include "console/text_convert.h"
#include "console/ui_text.h"
#include "support/temp_dir.h"

using namespace console;
using common::AccountField;
using common::Control;
using common::Field;
using nlohmann::json;

namespace {

// An account of `type` with a value of its own in every field the table describes.
common::AccountFile Filled(int type) {
  common::AccountFile a = common::NewAccount(type, "/prog");
  for (const AccountField& f : common::AccountFields()) {
    if (f.id == Field::kType || f.id == Field::kIsHttpPage || f.id == Field::kIsFtpTransfer ||
        f.id == Field::kIsEmail) {
      continue;  // the type's own
    }
    const int column = static_cast<int>(f.csvColumn());
    if (f.number) {
      // Flags on, time-outs and ports distinct.
      f.setValue(a, f.max == 255 ? 1 : 1000 + column);
    } else if (f.id == Field::kPagePath) {
      f.setText(a, type == common::kHttpPage ? "/p\x93\xfa" : "");
    } else {
      // A double-byte character, and quotes and a comma for the CSV to keep.
      f.setText(a, "v" + std::to_string(column) + "\x93\xfa,\"q\"");
    }
  }
  return a;
}

std::vector<char> Bytes(const common::AccountFile& a) {
  return common::EncodeAccount(a);
}

TEST(AccountFieldsTest, EveryFieldOfEveryTypeRoundTripsThroughJsonAndCsv) {
  for (int type : {common::kServer, common::kHttpPage, common::kFtpTransfer, common::kEmail}) {
    SCOPED_TRACE("type " + std::to_string(type));
    const common::AccountFile a = Filled(type);

    // CSV: every column back as it was.
    const std::string line = AccountCsvLine(a);
    const std::vector<std::string> fields = SplitCsvFields(line);
    ASSERT_EQ(fields.size(), static_cast<size_t>(common::kCsvFields)) << line;
    const common::AccountFile fromCsv = AccountFromCsv(fields, "/prog");
    for (const AccountField& f : common::AccountFields()) {
      SCOPED_TRACE("column " + std::to_string(f.csvColumn()));
      if (f.number) {
        EXPECT_EQ(f.value(fromCsv), f.value(a));
      } else {
        EXPECT_EQ(f.text(fromCsv), f.text(a));
      }
    }
    EXPECT_EQ(Bytes(fromCsv), Bytes(a));

    // JSON: the edit dialog's form, saved as it is (passwords typed again, as the page
    // never receives them), gives the same record; what the type's dialog lacks reads empty.
    json form = AccountFormJson(a);
    for (const AccountField& f : common::AccountFields()) {
      if (f.control == Control::kPassword) form[f.jsonKey] = ToUtf8(f.text(a));
    }
    AccountForm parsed;
    ASSERT_TRUE(ParseAccountForm(form, &parsed).ok()) << form.dump();
    const common::AccountFile fromJson = BuildAccount(parsed, "/prog", {}, nullptr);
    common::AccountFile expected = a;
    for (const AccountField& f : common::AccountFields()) {
      const bool kept = f.control == Control::kNone || f.shownFor(type);
      if (!kept && f.number) f.setValue(expected, 0);
      if (!kept && !f.number) f.setText(expected, "");
    }
    if (type != common::kServer) {
      for (int slot = 0; slot < 5; ++slot) {
        common::FieldOf(common::CustomNameField(slot)).setText(expected, "");
        common::FieldOf(common::CustomPortField(slot)).setValue(expected, 0);
      }
    }
    for (const AccountField& f : common::AccountFields()) {
      SCOPED_TRACE("column " + std::to_string(f.csvColumn()));
      if (f.number) {
        EXPECT_EQ(f.value(fromJson), f.value(expected));
      } else {
        EXPECT_EQ(f.text(fromJson), f.text(expected));
      }
    }
    EXPECT_EQ(Bytes(fromJson), Bytes(expected));

    // The page gets the byte limits of exactly the controls its dialog shows.
    const json limits = form["limits"];
    for (const AccountField& f : common::AccountFields()) {
      if (f.control == Control::kNone || f.control == Control::kFlag) continue;
      EXPECT_EQ(limits.contains(f.jsonKey), f.shownFor(type)) << f.jsonKey;
    }
    EXPECT_EQ(limits["name"], common::kKeySourceBytes);
    EXPECT_EQ(limits["domain"], type == common::kHttpPage ? 255 : 64);
    EXPECT_EQ(limits.contains("customName"), type == common::kServer);
  }
}

TEST(AccountFieldsTest, OneBadAccountGetsTheSameFirstMessageEveryWayIn) {
  const json server = {{"type", 0}, {"name", "acct"}, {"domain", "127.0.0.1"}, {"ping", true}};
  const json page = {{"type", 1}, {"name", "acct"}, {"domain", "127.0.0.1/index.html"}};
  const json ftp = {{"type", 2}, {"name", "acct"}, {"domain", "127.0.0.1"}, {"ftpUser", "u"}};
  const json email = {{"type", 3},
                      {"name", "acct"},
                      {"domain", "127.0.0.1"},
                      {"popServer", "pop.example.org"},
                      {"testRecipient", "t@example.org"},
                      {"popUser", "u"},
                      {"popPassword", "p"}};
  const struct {
    json base;
    json change;
    const char* key;
  } cases[] = {
      {server, {{"name", "   "}}, "msgNameOnlyBlanks"},
      {server, {{"domain", "999.1.1.1"}}, "msgDomainBad"},
      {server, {{"domain", "127.0.0.1:70000"}}, "msgDomainPortBad"},
      {page, {{"domain", "127.0.0.1/a\x01z"}}, "msgPageUrlBad"},
      {email, {{"popServer", "bad host!!"}}, "msgPopServerBad"},
      {ftp, {{"remoteDir", "in\x01out"}}, "msgDestDirBad"},
      {server,
       {{"additionalEmails", true}, {"additionalEmailsText", "a@example.org\x01"}},
       "msgAddEmailBad"},
      {server, {{"ping", false}}, "msgNoCheck"},
      {page, {{"httpTimeout", "40000"}}, "msgHttpTimeoutRange"},
  };
  for (const auto& c : cases) {
    json account = c.base;
    account.update(c.change);
    SCOPED_TRACE(account.dump());

    AccountForm form;
    ASSERT_TRUE(ParseAccountForm(account, &form).ok());
    EXPECT_EQ(ValidateAccountForm(form, nullptr).key, c.key);

    const std::vector<std::string> fields =
        SplitCsvFields(AccountCsvLine(BuildAccount(form, "/prog", {}, nullptr)));
    const AccountRule* rule = FirstFailedRule(CsvFacts(fields));
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->messageKey, std::string(c.key));
    EXPECT_EQ(CsvRejection(fields), rule->csvReason);

    testsupport::TempDir dir;
    EXPECT_EQ(ApplySetup(dir.path(), {{"accounts", json::array({account})}}),
              account["name"].get<std::string>() + ": " + MessageText("0", c.key));
  }
}

// --setup's older spellings still make the account the dialogs' keys make.
TEST(AccountFieldsTest, SetupReadsTheOlderSpellingsAsTheDialogsKeys) {
  const json older = {
      {"name", "svc"}, {"host", "127.0.0.1"}, {"custom", json::array({json::array({"ssh", 22})})}};
  const json dialog = {{"name", "svc"},
                       {"domain", "127.0.0.1"},
                       {"type", 0},
                       {"custom", true},
                       {"customRows", json::array({{{"name", "ssh"}, {"port", "22"}}})}};
  std::vector<char> made[2];
  int i = 0;
  for (const json& account : {older, dialog}) {
    testsupport::TempDir dir;
    ASSERT_EQ(ApplySetup(dir.path(), {{"accounts", json::array({account})}}), "");
    bool whole = false;
    common::AccountFile a =
        common::ReadAccount(common::AccountPath(dir.path(), common::HexKey("svc")), &whole);
    ASSERT_TRUE(whole);
    std::memset(a.record.localTestFile, 0, sizeof a.record.localTestFile);  // its own folder
    made[i++] = common::EncodeAccount(a);
  }
  EXPECT_EQ(made[0], made[1]);
  // A text that would not fit its field is refused, not cut.
  testsupport::TempDir dir;
  EXPECT_EQ(ApplySetup(dir.path(),
                       {{"accounts", json::array({{{"name", "f"},
                                                   {"domain", "127.0.0.1"},
                                                   {"type", "ftp"},
                                                   {"ftpUser", "u"},
                                                   {"ftpPassword", std::string(16, 'p')}}})}}),
            "ftpPassword holds at most 15 bytes");
}

}  // namespace
