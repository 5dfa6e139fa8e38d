// The account's one description: every field of every type survives the dialog's JSON and
// the CSV both ways, and one bad account gets the same first message from the dialog, the
// import and --setup.
#include "common/account_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_change.h"
#include "console/account_csv.h"
#include "console/account_editing.h"
#include "console/account_form.h"
#include "console/account_rules.h"
#include "console/account_transfer.h"
#include "console/api.h"
#include "console/setup_command.h"
#include "console/text_convert.h"
#include "console/ui_text.h"
#include "platform/files.h"
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
      // Flags on, time-outs and ports distinct; a server account's only option is its parent.
      if (f.sideFile && type == common::kServer) continue;
      f.setValue(a, f.max == 255 || f.max == 1 ? 1 : std::min<long>(f.max, 1000 + column));
    } else if (f.id == Field::kTlsMode) {
      f.setText(a, type == common::kServer ? "starttls" : "implicit");
    } else if (f.id == Field::kPagePath) {
      f.setText(a, type == common::kHttpPage ? "/p\x93\xfa" : "");
    } else {
      // A double-byte character, and quotes and a comma for the CSV to keep.
      f.setText(a, "v" + std::to_string(column) + "\x93\xfa,\"q\"");
    }
  }
  common::SettlePorts(a);
  return a;
}

// The side file's options of an account, in the table's order.
std::vector<std::string> Options(const common::AccountFile& a) {
  std::vector<std::string> out;
  for (const AccountField& f : common::AccountFields()) {
    if (f.sideFile) out.push_back(f.number ? std::to_string(f.value(a)) : f.text(a));
  }
  return out;
}

std::vector<char> Bytes(const common::AccountFile& a) {
  return common::EncodeAccount(a);
}

TEST(AccountFieldsTest, EveryFieldOfEveryTypeRoundTripsThroughJsonAndCsv) {
  for (int type : {common::kServer, common::kHttpPage, common::kFtpTransfer, common::kEmail}) {
    SCOPED_TRACE("type " + std::to_string(type));
    const common::AccountFile a = Filled(type);

    // CSV: every column back as it was; every account here has a parent, so the options
    // follow on every line.
    const std::string line = AccountCsvLine(a);
    const std::vector<std::string> fields = SplitCsvFields(line);
    ASSERT_EQ(fields.size(), static_cast<size_t>(common::kCsvFieldsWithOptions)) << line;
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
    EXPECT_EQ(Options(fromCsv), Options(a));

    // The side file: written only when an option differs, read back as it was.
    testsupport::TempDir dir;
    const std::string key = common::FieldText(a.record.key);
    ASSERT_TRUE(common::WriteAccountOptions(dir.path(), key, a.record.type, a.options));
    const common::AccountOptionsRead read =
        common::ReadAccountOptions(dir.path(), key, a.record.type);
    EXPECT_TRUE(read.fileFound);  // every account here has a parent
    EXPECT_TRUE(read.problems.empty());
    common::AccountFile fromFile = a;
    fromFile.options = read.options;
    EXPECT_EQ(Options(fromFile), Options(a));

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
    // Hidden options keep their defaults, the ports those of the SECURE and TLSMODE shown.
    common::AccountOptions defaults;
    for (const AccountField& f : common::AccountFields()) {
      const bool kept = f.control == Control::kNone || f.shownFor(type);
      if (!kept && f.sideFile) {
        common::AccountFile plain;
        plain.options = defaults;
        f.number ? f.setValue(expected, f.value(plain)) : f.setText(expected, f.text(plain));
      } else if (!kept && f.number) {
        f.setValue(expected, 0);
      } else if (!kept && !f.number) {
        f.setText(expected, "");
      }
    }
    common::SettlePorts(expected);
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
    EXPECT_EQ(Options(fromJson), Options(expected));

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
  // The options' values the form cannot carry into a record reach the CSV as typed.
  struct CsvCell {
    Field id = Field::kCount;
    const char* text = "";
  };
  const struct {
    json base;
    json change;
    const char* key;
    CsvCell csv = {};
  } cases[] = {
      {page, {{"port", "0"}}, "msgPortRange", {Field::kPort, "0"}},
      {email, {{"popPort", "70000"}}, "msgPortRange", {Field::kPopPort, "70000"}},
      {ftp,
       {{"secure", true}, {"certDays", "3651"}},
       "msgCertDaysRange",
       {Field::kCertDays, "3651"}},
      {email, {{"tlsMode", "tls"}}, "msgTlsModeBad", {Field::kTlsMode, "tls"}},
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

    std::vector<std::string> fields =
        SplitCsvFields(AccountCsvLine(BuildAccount(form, "/prog", {}, nullptr)));
    if (c.csv.id != Field::kCount) {
      fields.resize(common::kCsvFieldsWithOptions);
      fields[static_cast<size_t>(c.csv.id)] = c.csv.text;
    }
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

// The page URL names https:// and a port; it is stored as an ordinary page with its options,
// and the edit dialog shows the URL again.
TEST(AccountFieldsTest, PageUrlWithSchemeIsAPlainRecordWithOptions) {
  const struct {
    const char* typed;
    const char* host;
    const char* path;
    bool secure;
    int32_t port;
    const char* shown;
  } cases[] = {
      {"www.example.org/a", "www.example.org", "/a", false, 80, "www.example.org/a"},
      {"https://www.example.org/a/b", "www.example.org", "/a/b", true, 443,
       "https://www.example.org/a/b"},
      {"HTTPS://www.example.org:8443", "www.example.org", "/", true, 8443,
       "https://www.example.org:8443/"},
      {"http://127.0.0.1:8080/x?y", "127.0.0.1", "/x?y", false, 8080, "http://127.0.0.1:8080/x?y"},
      {"https://[::1]:9443/", "[::1]", "/", true, 9443, "https://[::1]:9443/"},
      {"https://127.0.0.1:443/", "127.0.0.1", "/", true, 443, "https://127.0.0.1/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    AccountForm form;
    ASSERT_TRUE(ParseAccountForm({{"type", 1}, {"name", "p"}, {"domain", c.typed}}, &form).ok());
    ASSERT_TRUE(ValidateAccountForm(form, nullptr).ok());
    const common::AccountFile a = BuildAccount(form, "/prog", {}, nullptr);
    EXPECT_EQ(common::FieldText(a.record.host), c.host);
    EXPECT_EQ(common::FieldText(a.record.pagePath), c.path);
    EXPECT_EQ(a.options.secure, c.secure);
    EXPECT_EQ(a.options.port, c.port);
    EXPECT_EQ(common::HasOwnOptions(a), c.secure || c.port != 80);
    EXPECT_EQ(AccountFormJson(a)["domain"], c.shown);
    EXPECT_EQ(ServiceSummary(a.record, a.options.secure),
              c.secure ? "HTTPS Page Check" : "HTTP Page Check");
  }
  // A port the URL cannot name is the host check's refusal, as for a plain page.
  AccountForm form;
  ASSERT_TRUE(
      ParseAccountForm({{"type", 1}, {"name", "p"}, {"domain", "https://h:99999/"}}, &form).ok());
  EXPECT_EQ(ValidateAccountForm(form, nullptr).key, "msgDomainPortBad");
}

// Save, rename and delete keep the side file with its account, and a rename cut short
// leaves neither an orphan nor a loss.
TEST(AccountFieldsTest, SideFileFollowsSaveRenameDeleteAndACutShortRename) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  const std::string alpha = common::HexKey("alpha"), beta = common::HexKey("beta");
  auto sideFile = [&d](const std::string& key) {
    return platform::IsRegularFile(common::AccountOptionsPath(d, key));
  };
  const json secure = {{"type", 2},      {"name", "alpha"}, {"domain", "127.0.0.1"},
                       {"ftpUser", "u"}, {"secure", true},  {"tlsMode", "implicit"}};
  ASSERT_TRUE(SaveAccount(d, secure, {}, "").written);
  ASSERT_TRUE(sideFile(alpha));
  EXPECT_EQ(common::ReadAccountOptions(d, alpha, common::kFtpTransfer).options.port, 990);

  json renamed = secure;
  renamed["name"] = "beta";
  renamed["port"] = "2990";
  ASSERT_TRUE(SaveAccount(d, renamed, {}, alpha).written);
  EXPECT_FALSE(sideFile(alpha));
  ASSERT_TRUE(sideFile(beta));
  EXPECT_EQ(common::ReadAccountOptions(d, beta, common::kFtpTransfer).options.port, 2990);

  // Cut short before the new record: undone, the options stay with the old account.
  {
    AccountChange change;
    ASSERT_TRUE(change.Begin(d, ChangeKind::kRename, beta, alpha));
    ASSERT_TRUE(common::WriteAccountOptions(d, alpha, common::kFtpTransfer,
                                            common::ReadAccountOptions(d, beta, 2).options));
  }
  EXPECT_FALSE(sideFile(alpha));
  EXPECT_TRUE(sideFile(beta));

  // Back to the defaults: no side file; options again, then deleted with the account.
  json plain = renamed;
  plain.erase("port");
  plain["secure"] = false;
  plain["tlsMode"] = "starttls";
  ASSERT_TRUE(SaveAccount(d, plain, {}, beta).written);
  EXPECT_FALSE(sideFile(beta));
  ASSERT_TRUE(SaveAccount(d, renamed, {}, beta).written);
  ASSERT_TRUE(sideFile(beta));
  ASSERT_TRUE(DeleteAccount(d, beta));
  EXPECT_FALSE(sideFile(beta));

  // The export appends the options only to the lines of accounts that have them.
  ASSERT_TRUE(SaveAccount(d, plain, {}, "").written);
  json page = {{"type", 1}, {"name", "gamma"}, {"domain", "https://127.0.0.1:8443/"}};
  ASSERT_TRUE(SaveAccount(d, page, {}, "").written);
  const std::string csv = d + "/export.csv";
  const ExportResult exported = ExportAccounts(d, csv, false);
  ASSERT_TRUE(exported.ok) << exported.error;
  const std::string exportedText = testsupport::ReadFile(csv);
  const std::vector<std::string_view> lines = SplitCsvLines(exportedText);
  ASSERT_EQ(lines.size(), 2u);
  std::vector<size_t> widths;
  for (std::string_view line : lines) widths.push_back(SplitCsvFields(line).size());
  std::sort(widths.begin(), widths.end());
  EXPECT_EQ(widths, (std::vector<size_t>{common::kCsvFields, common::kCsvFieldsWithOptions}));
  // The described columns are the record's, as without options; the options follow them.
  const std::string gamma = common::HexKey("gamma");
  bool whole = false;
  const std::string described =
      AccountCsvLine(common::ReadAccount(common::AccountPath(d, gamma), &whole));
  ASSERT_TRUE(whole);
  const std::string_view withOptions =
      SplitCsvFields(lines[0]).size() == common::kCsvFields ? lines[1] : lines[0];
  EXPECT_EQ(withOptions.substr(0, described.size() + 1), described + ",");
  // SECURE to PARENT as stored; an option added later follows them.
  const std::string_view options = withOptions.substr(described.size());
  EXPECT_EQ(options.substr(0, options.find(",", 27)), ",1,starttls,8443,110,1,14,,") << options;
}

}  // namespace
