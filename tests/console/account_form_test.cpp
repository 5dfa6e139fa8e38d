// The account dialogs' console side: every check in its order with its message in both
// languages, the text rules, the record bytes of each type, and the edit paths on disk.
#include "console/account_form.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_editing.h"
#include "console/api.h"
#include "console/console_app.h"
#include "console/form_values.h"
#include "console/ui_text.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

using namespace console;
using nlohmann::json;
using testsupport::TempDir;

namespace {

json ServerForm(const std::string& name, const std::string& domain) {
  return {{"type", 0}, {"name", name}, {"domain", domain}, {"ping", true}};
}

json EmailForm() {
  return {{"type", 3},
          {"name", "mail"},
          {"domain", "smtp.example.org"},
          {"popServer", "pop.example.org"},
          {"testRecipient", "rt@example.org"},
          {"popUser", "rt"},
          {"popPassword", "pw"}};
}

std::string Check(const json& body, const common::AccountFile* stored = nullptr) {
  AccountForm form;
  FormError e = ParseAccountForm(body, &form);
  if (!e.ok()) return e.key;
  return ValidateAccountForm(form, stored).key;
}

std::vector<std::string> IndexLines(const std::string& dir) {
  std::vector<std::string> lines;
  const std::string store = common::ListViewDir(dir);
  int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[200];
    if (GetRecordWithOffset(store.c_str(), buf, i)) lines.emplace_back(buf);
  }
  return lines;
}

std::string DisplayLogText(const std::string& dir) {
  std::string all;
  for (const std::string& f : platform::ListFiles(dir + "/Log/Disp")) {
    all += testsupport::ReadFile(dir + "/Log/Disp/" + f);
  }
  return all;
}

}  // namespace

// One row per test of the dialog, in the order it runs: each form passes every earlier test
// and fails exactly this one.
TEST(AccountFormTest, ChecksRunInOrderWithTheirMessagesInBothLanguages) {
  struct Case {
    json form;
    const char* key;
    const char* english;
  };
  json dbcs = ServerForm("", "");
  dbcs["domain"] = "ホスト";
  json dbcsPop = EmailForm();
  dbcsPop["name"] = "";
  dbcsPop["popServer"] = "ぽっぷ";
  json addBlank = ServerForm("a", "h");
  addBlank["additionalEmails"] = true;
  json addBad = addBlank;
  addBad["additionalEmailsText"] = "a@@b.org";
  json destBlank = ServerForm("a", "h");
  destBlank["additionalDest"] = true;
  json ftp = {{"type", 2}, {"name", "f"}, {"domain", "ftp.example.org"}};
  json recipient = EmailForm();
  recipient.erase("testRecipient");
  json popUser = EmailForm();
  popUser.erase("popUser");
  json popPassword = EmailForm();
  popPassword["popPassword"] = "";
  json smtpUser = EmailForm();
  smtpUser["smtpAuth"] = true;
  json smtpPassword = smtpUser;
  smtpPassword["smtpUser"] = "u";
  json customPort = ServerForm("a", "h");
  customPort["custom"] = true;
  customPort["customRows"] = {{{"name", "ssh"}, {"port", ""}}};
  json customName = ServerForm("a", "h");
  customName["custom"] = true;
  json dupPort = ServerForm("a", "h");
  dupPort["customRows"] = {
      {{"name", "a"}, {"port", "22"}}, {}, {}, {}, {{"name", "b"}, {"port", "22"}}};
  const Case cases[] = {
      {dbcs, "msgDomainDbcs", "Double-byte characters cannot be used for Domain/IP address."},
      {dbcsPop, "msgDomainDbcs", "Double-byte characters cannot be used for Domain/IP address."},
      {ServerForm("", "h"), "msgNameBlank", "Server Name is blank. Please enter Server Name."},
      {ServerForm("a", ""), "msgDomainBlank", "Domain/IP is blank. Please enter Server IP."},
      {addBlank, "msgAddEmailBlank",
       "Additional Email address is blank. Please enter Additional Email Address."},
      {addBad, "msgAddEmailBad",
       "Additional Email address is incorrect. Please enter correct Additional Email Address."},
      {destBlank, "msgAddDestBlank",
       "Additional Destinations is blank. Please enter Additional Destinations."},
      {ftp, "msgFtpUserBlank", "FTP User is blank. Please enter FTP User."},
      {recipient, "msgRecipientBlank",
       "Test Email recipient address is blank. Please enter Test Email recipient Address."},
      {popUser, "msgPopUserBlank", "POP User ID is blank. Please enter POP User ID."},
      {popPassword, "msgPopPasswordBlank",
       "POP User Password is blank. Please enter POP User Password."},
      {smtpUser, "msgSmtpUserBlank", "SMTP User ID is blank. Please enter SMTP User ID."},
      {smtpPassword, "msgSmtpPasswordBlank",
       "SMTP User Password is blank. Please enter SMTP User Password."},
      {customPort, "msgCustomPortBlank",
       "Custom Port Number is blank. Please enter Custom Port Number."},
      {customName, "msgCustomNameBlank",
       "Custom Port Service Name is blank. Please enter Custom Port Service Name."},
      {dupPort, "msgPortDup", "Port number is duplicated. Please check again."},
      {ServerForm("a", "h"), "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form.dump());
    EXPECT_EQ(Check(c.form), c.key);
    if (*c.key == '\0') continue;
    EXPECT_EQ(MessageText("0", c.key), c.english);
    const std::string japanese = MessageText("1", c.key);
    EXPECT_NE(japanese, c.key);
    EXPECT_NE(japanese, c.english);
  }
}

// Input the described tests let through, refused after them with messages of their own: one
// row per rule in the order they run, each form passing every earlier test.
TEST(AccountFormTest, BadInputIsRefusedAfterTheDescribedChecks) {
  struct Case {
    json form;
    const char* key;
  };
  auto server = [](json change) {
    json f = ServerForm("a", "h");
    f.update(change);
    return f;
  };
  auto page = [](const char* url, const char* timeout) {
    return json{{"type", 1}, {"name", "pg"}, {"domain", url}, {"httpTimeout", timeout}};
  };
  auto mail = [](json change) {
    json f = EmailForm();
    f.update(change);
    return f;
  };
  json ftp = {{"type", 2}, {"name", "f"}, {"domain", "ftp.example.org"}, {"ftpUser", "u"}};
  json ftpDir = ftp;
  ftpDir["remoteDir"] = "/in\r\nDELE x";
  json rows70000 = server(
      {{"custom", true},
       {"customRows", {{{"name", "ssh"}, {"port", "22"}}, {{"name", "web"}, {"port", "70000"}}}}});
  json rows65536 = server({{"custom", true}, {"customRows", {{{"name", "web"}, {"port", 65536}}}}});
  json rowsCut =
      server({{"custom", true}, {"customRows", {{{"name", "web"}, {"port", "123456"}}}}});
  const Case cases[] = {
      // The described tests still come first.
      {ServerForm("", "999.1.1.1"), "msgNameBlank"},
      {server({{"ping", false}, {"additionalEmails", true}}), "msgAddEmailBlank"},
      {server({{"name", "   "}}), "msgNameOnlyBlanks"},
      {server({{"name", "\xE3\x80\x80 "}}), "msgNameOnlyBlanks"},  // a double-byte blank too
      {server({{"domain", "999.1.1.1"}}), "msgDomainBad"},
      {server({{"domain", "not a host!!"}}), "msgDomainBad"},
      {server({{"domain", "10.0.0.1\r\nX-Injected: yes"}}), "msgDomainBad"},
      {server({{"domain", "ftp.example.org:70000"}}), "msgDomainPortBad"},
      {server({{"domain", "[::1]:65536"}}), "msgDomainPortBad"},
      {page("127.0.0.1/ok/x HTTP/1.1\r\nX-Injected: yes\r\nHost: evil\r\n\r\nGET /second", "120"),
       "msgPageUrlBad"},
      {page("www.example.org/a\tb", "120"), "msgPageUrlBad"},
      {mail({{"popServer", ""}}), "msgPopServerBlank"},
      {mail({{"popServer", "pop..example.org"}}), "msgPopServerBad"},
      {mail({{"popServer", "pop.example.org\n"}}), "msgPopServerBad"},
      {ftpDir, "msgDestDirBad"},
      {server({{"additionalEmails", true},
               {"additionalEmailsText", "Ops\rBcc: spy@example.org <ops@example.org>"}}),
       "msgAddEmailBad"},
      {server({{"ping", false}}), "msgNoCheck"},
      {rows70000, "msgCustomPortRange"},
      {rows65536, "msgCustomPortRange"},
      {rowsCut, "msgCustomPortRange"},
      {page("www.example.org", "-5"), "msgHttpTimeoutRange"},
      {page("www.example.org", "40000"), "msgHttpTimeoutRange"},
      {page("www.example.org", "99999"), "msgHttpTimeoutRange"},
      {mail({{"emailTimeout", "-240"}}), "msgEmailTimeoutRange"},
      {mail({{"emailTimeout", "65536"}}), "msgEmailTimeoutRange"},
      {server({{"type", 4294967296}}), "msgBadRequest"},
      {server({{"type", -4294967296}}), "msgBadRequest"},
      // Still accepted: names with digits, localhost, host:port, IPv6, the largest values.
      {server({{"domain", "localhost"}}), ""},
      {server({{"domain", "web01.example-2.org"}}), ""},
      {server({{"domain", "ftp.example.org:2121"}}), ""},
      {server({{"domain", "[::1]:65535"}}), ""},
      {server({{"domain", "255.255.255.255"}}), ""},
      {server({{"ping", false}, {"smtp", true}}), ""},
      {server({{"custom", true}, {"customRows", {{{"name", "web"}, {"port", 65535}}}}}), ""},
      {page("127.0.0.1/ok/x?a=1", "32767"), ""},
      {page("www.example.org", ""), ""},
      {mail({{"emailTimeout", "65535"}}), ""},
      {ftp, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form.dump());
    EXPECT_EQ(Check(c.form), c.key);
    if (*c.key == '\0') continue;
    const std::string english = MessageText("0", c.key);
    const std::string japanese = MessageText("1", c.key);
    EXPECT_NE(english, c.key);
    EXPECT_NE(japanese, c.key);
    EXPECT_NE(japanese, english);
  }
}

TEST(AccountEditingTest, RefusedInputWritesNothing) {
  TempDir dir;
  json form = ServerForm("alpha", "999.1.1.1");
  SaveOutcome out = SaveAccount(dir.path(), form, {}, "");
  EXPECT_EQ(out.error.key, "msgDomainBad");
  EXPECT_FALSE(out.written);
  EXPECT_TRUE(platform::ListFiles(dir.path() + "/AllData").empty());
  EXPECT_TRUE(IndexLines(dir.path()).empty());
}

TEST(AccountFormTest, CustomSubDialogRefusesPortsOutOfRange) {
  const std::pair<json, const char*> cases[] = {
      {json::array({{{"name", "web"}, {"port", "70000"}}}), "msgCustomPortRange"},
      {json::array({{{"name", "web"}, {"port", "65536"}}}), "msgCustomPortRange"},
      {json::array({{{"name", "web"}, {"port", 4294967318}}}), "msgCustomPortRange"},
      {json::array({{{"name", "web"}, {"port", -1}}}), "msgPortZero"},  // reads as no port
      {json::array({{{"name", "web"}, {"port", "22"}}, {}, {{"name", ""}, {"port", "x1"}}}),
       "msgCustomPortRange"},
      {json::array({{{"name", "web"}, {"port", "65535"}}, {{"name", "ssh"}, {"port", 22}}}), ""},
  };
  for (const auto& [rows, key] : cases) {
    FormError e;
    CustomRows parsed = ParseCustomRows(rows, &e);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(ValidateCustomRows(parsed).key, key) << rows.dump();
  }
}

TEST(FormRulesTest, AccountHostRule) {
  const std::pair<const char*, HostVerdict> cases[] = {
      {"localhost", HostVerdict::kValid},
      {"h", HostVerdict::kValid},
      {"127.0.0.1", HostVerdict::kValid},
      {"0.0.0.0", HostVerdict::kValid},
      {"web01.example-2.org", HostVerdict::kValid},
      {"my_host.lan", HostVerdict::kValid},
      {"example.org.", HostVerdict::kValid},
      {"1.2.3.4.example.org", HostVerdict::kValid},
      {"::1", HostVerdict::kValid},
      {"fe80::1", HostVerdict::kValid},
      {"[::1]", HostVerdict::kValid},
      {"[::1]:2121", HostVerdict::kValid},
      {"127.0.0.1:1", HostVerdict::kValid},
      {"ftp.example.org:65535", HostVerdict::kValid},
      {"999.1.1.1", HostVerdict::kBadHost},
      {"256.0.0.1", HostVerdict::kBadHost},
      {"1.2.3", HostVerdict::kBadHost},
      {"1.2.3.4.5", HostVerdict::kBadHost},
      {"12345", HostVerdict::kBadHost},
      {"not a host!!", HostVerdict::kBadHost},
      {"-web.example.org", HostVerdict::kBadHost},
      {"web-.example.org", HostVerdict::kBadHost},
      {"web..example.org", HostVerdict::kBadHost},
      {".example.org", HostVerdict::kBadHost},
      {"", HostVerdict::kBadHost},
      {"\x83\x7a\x83\x58\x83\x67", HostVerdict::kBadHost},
      {"a\r\nb", HostVerdict::kBadHost},
      {"a\x7f", HostVerdict::kBadHost},
      {"[::1", HostVerdict::kBadHost},
      {"[example.org]:21", HostVerdict::kBadHost},
      {"1:2:3:x::", HostVerdict::kBadHost},
      {"host:70000", HostVerdict::kBadPort},
      {"host:65536", HostVerdict::kBadPort},
      {"host:0", HostVerdict::kBadPort},
      {"host:", HostVerdict::kBadPort},
      {"host:-1", HostVerdict::kBadPort},
      {"host:+21", HostVerdict::kBadPort},
      {"[::1]:99999", HostVerdict::kBadPort},
  };
  for (const auto& [host, verdict] : cases) EXPECT_EQ(CheckHost(host), verdict) << host;
}

TEST(FormRulesTest, CheckedNumbersAreRefusedOutOfRangeNeverWrapped) {
  struct Case {
    CheckedNumber got;
    CheckedNumber::Status status;
    long long value;
  };
  const Case cases[] = {
      {NumberIn(json(4294967296), 0, INT32_MAX), CheckedNumber::kRefused, 0},
      {NumberIn(json(18446744073709551615u), 0, INT64_MAX), CheckedNumber::kRefused, 0},
      {NumberIn(json(-1), 0, 65535), CheckedNumber::kRefused, 0},
      {NumberIn(json(65535), 0, 65535), CheckedNumber::kValid, 65535},
      {NumberIn(json(-7), -10, 10), CheckedNumber::kValid, -7},
      {NumberIn(json(5.0), 0, 10), CheckedNumber::kRefused, 0},
      {NumberIn(json("5"), 0, 10), CheckedNumber::kRefused, 0},
      {NumberIn(json(true), 0, 10), CheckedNumber::kRefused, 0},
      {NumberIn(json(), 0, 10), CheckedNumber::kAbsent, 0},
      {NumberAt(json{{"a", 1}}, "b", 0, 10), CheckedNumber::kAbsent, 0},
      {DecimalIn(" 22 ", 0, 65535), CheckedNumber::kValid, 22},
      {DecimalIn("-1", 0, 65535), CheckedNumber::kRefused, 0},
      {DecimalIn("-1", -5, 5), CheckedNumber::kValid, -1},
      {DecimalIn("4294967295", 0, 65535), CheckedNumber::kRefused, 0},
      {DecimalIn("99999999999999999999", 0, INT64_MAX), CheckedNumber::kRefused, 0},
      {DecimalIn("1e3", 0, 65535), CheckedNumber::kRefused, 0},
      {DecimalIn("12 3", 0, 65535), CheckedNumber::kRefused, 0},
      {DecimalIn("-", 0, 65535), CheckedNumber::kRefused, 0},
      {DecimalIn("", 0, 65535), CheckedNumber::kAbsent, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].got.status, cases[i].status) << "case " << i;
    EXPECT_EQ(cases[i].got.value, cases[i].value) << "case " << i;
  }
  const std::pair<const char*, bool> lists[] = {
      {"a@example.org\r\nb@example.org", true},
      {"a@example.org\nb@example.org\t", true},
      {"a\rb@example.org", false},
      {"a@example.org\r", false},
      {"a@example.org\x01", false},
      {"a@example.org\x7f", false},
  };
  for (const auto& [text, ok] : lists) EXPECT_EQ(ListControlsValid(text), ok) << text;
  EXPECT_TRUE(OnlyBlanks(" \t\x81\x40"));
  EXPECT_FALSE(OnlyBlanks(" a "));
  EXPECT_FALSE(OnlyBlanks(""));
}

bool NoAgent(const std::string&, const std::vector<std::string>&) {
  return true;
}

// Numbers of the page outside their range refuse the action instead of wrapping onto row 0,
// type 0 or the first list position.
TEST(AccountApiTest, NumbersOutOfRangeRefuseTheAction) {
  TempDir dir;
  ConsoleApp app(dir.path(), "/none", NoAgent);
  app.StartUp();
  bool quit = false;
  json saved = Act(app, "account-save", {{"form", ServerForm("alpha", "127.0.0.1")}}, &quit);
  ASSERT_TRUE(saved["ok"].get<bool>()) << saved.dump();
  ASSERT_TRUE(RowsJson(app, 0, 1)["rows"][0]["enabled"].get<bool>());

  json bigType = ServerForm("beta", "127.0.0.2");
  bigType["type"] = 4294967296;
  const json refused[] = {
      {{"action", "toggle"}, {"row", 4294967296}},
      {{"action", "toggle"}, {"row", -4294967296}},
      {{"action", "open"}, {"row", 4294967296}},
      {{"action", "account-new"}, {"type", 4294967296}},
      {{"action", "accounts-list"}, {"first", 4294967296}},
      {{"action", "sort"}, {"column", 4294967298}},
      {{"action", "account-save"}, {"form", bigType}},
  };
  for (const json& body : refused) {
    json answer = Act(app, body["action"].get<std::string>(), body, &quit);
    EXPECT_FALSE(answer["ok"].get<bool>()) << body.dump();
  }
  EXPECT_TRUE(RowsJson(app, 0, 1)["rows"][0]["enabled"].get<bool>()) << "row 0 untouched";
  EXPECT_FALSE(platform::IsRegularFile(dir.path() + "/AllData/" + common::HexKey("beta")));
  EXPECT_TRUE(Act(app, "toggle", {{"row", 0}}, &quit)["ok"].get<bool>());
  EXPECT_FALSE(RowsJson(app, 0, 1)["rows"][0]["enabled"].get<bool>());
}

// The Edit/Delete list and the account count follow each save, rename and delete of the
// page's dialogs without the folder being listed again, and agree with it afterwards.
TEST(AccountApiTest, TheEditListFollowsSavesRenamesAndDeletes) {
  TempDir dir;
  ConsoleApp app(dir.path(), "/none", NoAgent);
  app.StartUp();
  bool quit = false;
  auto keys = [&] {
    std::vector<std::string> out;
    const json answer = Act(app, "accounts-list", {{"first", 0}, {"count", 50}}, &quit);
    for (const json& row : answer["rows"]) out.push_back(row["key"]);
    return out;
  };

  for (const char* name : {"delta", "alpha", "charlie"})
    ASSERT_TRUE(Act(app, "account-save", {{"form", ServerForm(name, "127.0.0.1")}}, &quit)["ok"]);
  const std::string a = common::HexKey("alpha"), c = common::HexKey("charlie"),
                    d = common::HexKey("delta"), b = common::HexKey("bravo");
  EXPECT_EQ(keys(), (std::vector<std::string>{a, c, d}));
  EXPECT_EQ(app.accountCount(), 3);
  // A rename: the old key goes, the new one takes its place in order.
  auto revisionOf = [&](int row) {
    return Act(app, "accounts-list", {{"first", row}, {"count", 1}}, &quit)["rows"][0]["revision"];
  };
  json renamed = Act(
      app, "account-save",
      {{"form", ServerForm("bravo", "127.0.0.1")}, {"originalKey", d}, {"revision", revisionOf(2)}},
      &quit);
  ASSERT_TRUE(renamed["ok"]) << renamed.dump();
  EXPECT_EQ(keys(), (std::vector<std::string>{a, b, c}));
  // A refused save changes nothing.
  EXPECT_FALSE(Act(app, "account-save", {{"form", ServerForm("alpha", "127.0.0.1")}}, &quit)["ok"]);
  EXPECT_EQ(app.accountCount(), 3);
  json gone = Act(app, "account-delete", {{"key", a}, {"revision", revisionOf(0)}}, &quit);
  EXPECT_EQ(gone["total"], 2);
  EXPECT_EQ(keys(), (std::vector<std::string>{b, c}));
  EXPECT_EQ(app.accountCount(), 2);
  // Listing the folder afresh gives the same.
  Act(app, "accounts-list", {{"first", 0}, {"count", 50}, {"refresh", true}}, &quit);
  EXPECT_EQ(keys(), (std::vector<std::string>{b, c}));
}

TEST(AccountFormTest, StoredPasswordCountsAsPresentUntilClearedOnPurpose) {
  common::AccountFile stored;
  common::SetField(stored.record.popPassword, "kept");
  json untouched = EmailForm();
  untouched.erase("popPassword");
  EXPECT_EQ(Check(untouched, &stored), "");
  EXPECT_EQ(Check(untouched, nullptr), "msgPopPasswordBlank");
  json cleared = EmailForm();
  cleared["popPassword"] = "";
  EXPECT_EQ(Check(cleared, &stored), "msgPopPasswordBlank");
  AccountForm form;
  ASSERT_TRUE(ParseAccountForm(untouched, &form).ok());
  common::AccountFile built = BuildAccount(form, "/p", {}, &stored);
  EXPECT_EQ(common::FieldText(built.record.popPassword), "kept");
}

TEST(AccountFormTest, TextThatCp932CannotHoldIsRefusedWithItsLabel) {
  AccountForm form;
  FormError e = ParseAccountForm(ServerForm("caf\xC3\xA9 \xF0\x9F\x98\x80", "h"), &form);
  EXPECT_EQ(e.key, "msgNotCp932");
  EXPECT_EQ(e.arg, "lblServerName");
  EXPECT_TRUE(ParseAccountForm(ServerForm("日本語サーバー", "h"), &form).ok());
  EXPECT_EQ(form.name, "\x93\xfa\x96\x7b\x8c\xea\x83\x54\x81\x5b\x83\x6f\x81\x5b");
}

TEST(AccountFormTest, CustomSubDialogChecks) {
  struct Case {
    std::vector<std::pair<std::string, long>> rows;
    const char* key;
  };
  const Case cases[] = {
      {{{"ssh", 0}}, "msgPortZero"},
      {{{"", 22}}, "msgServiceBlank"},
      {{{"web", 80}, {"web", 81}}, "msgServiceDup"},
      {{{"a", 22}, {}, {}, {}, {"b", 22}}, "msgPortDup"},
      {{{"Web", 80}, {"web", 81}}, ""},  // names compare case-sensitively
      {{}, ""},
  };
  for (const Case& c : cases) {
    CustomRows rows;
    for (size_t i = 0; i < c.rows.size(); ++i) rows[i] = {c.rows[i].first, c.rows[i].second};
    EXPECT_EQ(ValidateCustomRows(rows).key, c.key);
  }
  EXPECT_EQ(MessageText("0", "msgPortZero"), "Port is 0. Please enter Port.");
  EXPECT_EQ(MessageText("1", "msgPortZero"), "ポートが0です。ポートを入力してください。");
}

TEST(FormRulesTest, AddressListRule) {
  const std::pair<const char*, bool> cases[] = {
      {"a@example.org, b@example.org", true},
      {"Ops Team <ops@example.org>", true},
      {"a@example.org\r\nb@example.org", true},
      {"a@example.org,", true},
      {"ops@example.org (night shift)", true},
      {"a@example.org\nx", true},  // a last item under 3 characters is ignored
      {"a..b@example.org", false},
      {"a@b@example.org", false},
      {"a@example.org.", false},
      {"@example.org", false},
      {"a@example.org\nb@@example.org", false},
      {"a_-b@example.org", false},
      {"a b@example.org", false},
      {"ab", true},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(AddressListValid(text), valid) << text;
}

TEST(FormRulesTest, HostNameRule) {
  const std::pair<const char*, bool> cases[] = {
      {"mail.example.org", true},   {"mail_1.example-2.org", true},
      {"mailhost", false},          {".example.org", false},
      {"mail..example.org", false}, {"mail.-x.org", false},
      {"mail example.org", false},  {"", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(HostNameValid(text), valid) << text;
}

TEST(FormRulesTest, PageUrlSplitAndLists) {
  struct Case {
    const char* url;
    const char* host;
    const char* path;
  };
  const Case cases[] = {
      {"www.example.org", "www.example.org", "/"},
      {"www.example.org/a/b.html", "www.example.org", "/a/b.html"},
      {"www.example.org\\a/b", "www.example.org", "/a/b"},
      {"www.example.org/", "www.example.org", "/"},
  };
  for (const Case& c : cases) {
    PageUrl u = SplitPageUrl(c.url);
    EXPECT_EQ(u.host, c.host);
    EXPECT_EQ(u.path, c.path);
  }
  EXPECT_EQ(SplitPageUrl(std::string(300, 'h')).host.size(), 64u);
  EXPECT_EQ(SplitPageUrl("h/" + std::string(300, 'p')).path.size(), 255u);
  EXPECT_EQ(ListValue(0), 1);
  EXPECT_EQ(ListValue(4), 5);
  EXPECT_EQ(ListValue(5), 10);
  EXPECT_EQ(ListValue(35), 160);
  EXPECT_EQ(ListPosition(160), 35);
  EXPECT_EQ(ListPosition(7), 4);
  EXPECT_EQ(DecimalOf("80x"), 80);
  EXPECT_EQ(DecimalOf("x80"), 0);
  EXPECT_EQ(DecimalOf("1234567"), 12345);
}

// The bytes of each type's record, field by field.
TEST(AccountFormTest, RecordBytesOfEachType) {
  common::AlertFile global;
  global.downSubject = "G down";
  global.upOnline = "G up online";
  struct Case {
    json form;
    std::function<void(const common::AccountFile&)> check;
  };
  json server = ServerForm("Web", "10.0.0.1");
  server.update({{"http", true},
                 {"pop", true},
                 {"custom", true},
                 {"customRows", {{{"name", "ssh"}, {"port", "22"}}}},
                 {"enabled", false},
                 {"additionalEmails", true},
                 {"additionalEmailsText", "x@example.org"}});
  json page = {{"type", 1},
               {"name", "pg"},
               {"domain", "www.example.org\\docs"},
               {"httpTimeout", "32767"},
               {"checkLinks", true},
               {"ping", true}};
  json ftp = {{"type", 2},
              {"name", "f"},
              {"domain", "ftp.example.org"},
              {"ftpUser", "up"},
              {"ftpPassword", "secret"},
              {"remoteDir", "/in"},
              {"useDefaultMessage", false},
              {"mailTemplates", {"d", "u", "db", "ub"}}};
  json mail = EmailForm();
  mail.update(
      {{"smtpAuth", true}, {"smtpUser", "su"}, {"smtpPassword", "sp"}, {"emailTimeout", "300"}});
  const Case cases[] = {
      {server,
       [](const common::AccountFile& a) {
         const common::AccountRecord& r = a.record;
         EXPECT_EQ(common::FieldText(r.key), "576562");
         EXPECT_EQ(common::FieldText(r.host), "10.0.0.1");
         EXPECT_EQ(r.pingOn, 1);
         EXPECT_EQ(r.httpPortOn, 1);
         EXPECT_EQ(r.ftpPortOn, 0);
         EXPECT_EQ(r.popPortOn, 1);
         EXPECT_EQ(r.httpTimeout, 0);
         EXPECT_EQ(r.customOn, 1);
         EXPECT_EQ(common::FieldText(r.customNames[0]), "ssh");
         EXPECT_EQ(r.customPorts[0], 22u);
         EXPECT_EQ(r.enabled, 0);
         EXPECT_EQ(r.type, 0);
         EXPECT_EQ(r.mailToAccount, 1);
         EXPECT_EQ(a.mailAddresses, "x@example.org");
         EXPECT_EQ(a.downSubject, "G down");
         EXPECT_EQ(a.upOnline, "G up online");
       }},
      {page,
       [](const common::AccountFile& a) {
         const common::AccountRecord& r = a.record;
         EXPECT_EQ(common::FieldText(r.host), "www.example.org");
         EXPECT_EQ(common::FieldText(r.pagePath), "/docs");
         EXPECT_EQ(r.httpTimeout, 32767);
         EXPECT_EQ(r.isHttpPage, 1);
         EXPECT_EQ(r.checkLinks, 1);
         EXPECT_EQ(r.pingOn, 0);  // the page dialog has no ping box
         EXPECT_EQ(r.type, 1);
       }},
      {ftp,
       [](const common::AccountFile& a) {
         const common::AccountRecord& r = a.record;
         EXPECT_EQ(r.isFtpTransfer, 1);
         EXPECT_EQ(common::FieldText(r.ftpUser), "up");
         EXPECT_EQ(common::FieldText(r.ftpPassword), "secret");
         EXPECT_EQ(common::FieldText(r.remoteDir), "/in");
         EXPECT_EQ(r.useGlobalMailTemplates, 0);
         EXPECT_EQ(a.downSubject, "d");
         EXPECT_EQ(a.upBody, "ub");
         EXPECT_EQ(r.type, 2);
       }},
      {mail,
       [](const common::AccountFile& a) {
         const common::AccountRecord& r = a.record;
         EXPECT_EQ(common::FieldText(r.popServer), "pop.example.org");
         EXPECT_EQ(r.sendReceiveTimeout, 300);
         EXPECT_EQ(r.isEmail, 1);
         EXPECT_EQ(r.smtpAuth, 1);
         EXPECT_EQ(common::FieldText(r.smtpUser), "su");
         EXPECT_EQ(common::FieldText(r.smtpPassword), "sp");
         EXPECT_EQ(common::FieldText(r.popPassword), "pw");
         EXPECT_EQ(r.type, 3);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form.dump());
    AccountForm form;
    ASSERT_TRUE(ParseAccountForm(c.form, &form).ok());
    ASSERT_EQ(ValidateAccountForm(form, nullptr).key, "");
    common::AccountFile a = BuildAccount(form, "/prog", global, nullptr);
    // Fixed for every type.
    EXPECT_EQ(a.record.httpPort, 80u);
    EXPECT_EQ(a.record.ftpPort, 21u);
    EXPECT_EQ(a.record.smtpPort, 25u);
    EXPECT_EQ(a.record.popPort, 110u);
    EXPECT_EQ(a.record.pingTimeout, 0);
    EXPECT_EQ(common::FieldText(a.record.localTestFile), "/prog/temp/FTP_test.text");
    c.check(a);
    // The image: fixed part, then the eight texts in their order at their offsets.
    std::vector<char> image = common::EncodeAccount(a);
    uint32_t offset = 0;
    std::memcpy(&offset, image.data() + 1764, 4);
    EXPECT_EQ(offset, 1808u);
    EXPECT_EQ(std::string(image.data() + offset), a.downSubject);
    std::memcpy(&offset, image.data() + 1800, 4);
    EXPECT_EQ(std::string(image.data() + offset), a.netSendAddresses);
    EXPECT_EQ(image.size(), offset + a.netSendAddresses.size() + 1);
  }
}

TEST(AccountEditingTest, AddRefusesAnExistingNameEvenWithEveryOtherFieldEmpty) {
  TempDir dir;
  ASSERT_TRUE(SaveAccount(dir.path(), ServerForm("alpha", "127.0.0.1"), {}, "").written);
  SaveOutcome again = SaveAccount(dir.path(), {{"type", 0}, {"name", "alpha"}}, {}, "");
  EXPECT_EQ(again.error.key, "msgExists");
  EXPECT_EQ(MessageText("0", "msgExists"), "Specified Server Name already exists.");
  // An empty name is blank, not "existing" (AllData itself is no account).
  EXPECT_EQ(SaveAccount(dir.path(), {{"type", 0}, {"name", ""}}, {}, "").error.key, "msgNameBlank");
}

TEST(AccountEditingTest, EditPathsKeepOrRenewStatusFilesAndLogThem) {
  TempDir dir;
  const std::string d = dir.path();
  const std::string key = common::HexKey("alpha");
  ASSERT_TRUE(SaveAccount(d, ServerForm("alpha", "127.0.0.1"), {}, "").written);
  const std::string status = d + "/PINGData/" + key;
  // Mark the status file so a rewrite shows.
  std::string marked = testsupport::ReadFile(status);
  marked[43] = 1;
  testsupport::WriteFile(status, marked);

  // Same name and domain, no custom ports: the status file stays.
  json same = ServerForm("alpha", "127.0.0.1");
  same["http"] = true;
  ASSERT_TRUE(SaveAccount(d, same, {}, key).written);
  EXPECT_EQ(testsupport::ReadFile(status)[43], 1);
  EXPECT_TRUE(platform::IsRegularFile(d + "/HTTPData/" + key));
  EXPECT_EQ(DisplayLogText(d).find("10009"), std::string::npos);

  // Same name and domain with custom ports: everything starts over.
  json custom = same;
  custom["custom"] = true;
  custom["customRows"] = {{{"name", "ssh"}, {"port", "22"}}};
  ASSERT_TRUE(SaveAccount(d, custom, {}, key).written);
  EXPECT_EQ(testsupport::ReadFile(status)[43], 0);
  EXPECT_EQ(DisplayLogText(d).find("10009"), std::string::npos);

  // Custom ports switched off again: their row goes.
  ASSERT_TRUE(SaveAccount(d, same, {}, key).written);
  for (const std::string& line : IndexLines(d)) EXPECT_EQ(line.find("CustData"), std::string::npos);

  // Domain changed: the old rows go, the new ones carry the new domain; 10009 then 10008.
  ASSERT_TRUE(SaveAccount(d, ServerForm("alpha", "127.0.0.9"), {}, key).written);
  std::vector<std::string> lines = IndexLines(d);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], key + "\t\tpingdata\t\t127.0.0.9");  // the store folds case
  EXPECT_NE(DisplayLogText(d).find("10009"), std::string::npos);

  // Renamed: the new account exists completely, the old one is gone.
  ASSERT_TRUE(SaveAccount(d, ServerForm("beta", "127.0.0.9"), {}, key).written);
  const std::string beta = common::HexKey("beta");
  EXPECT_FALSE(platform::PathExists(d + "/AllData/" + key));
  EXPECT_FALSE(platform::PathExists(status));
  EXPECT_TRUE(platform::IsRegularFile(d + "/AllData/" + beta));
  EXPECT_TRUE(platform::IsRegularFile(d + "/PINGData/" + beta));
  lines = IndexLines(d);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, beta.size()), beta);
  const std::string log = DisplayLogText(d);
  EXPECT_NE(log.find("10008"), std::string::npos);
  EXPECT_GT(log.rfind("10008"), log.rfind("10009"));
}

// The Edit dialog shows the name decoded from the key and saves what it shows: unchanged,
// the account keeps its key, its status file and its history (no 10009 "[Account Removed]").
TEST(AccountEditingTest, SavingAnUnchangedEditKeepsHalfWidthKatakanaNames) {
  for (const char* name : {"\xef\xbd\xb1\xef\xbd\xb2\xef\xbd\xb3",         // "ｱｲｳ", b1b2b3
                           "\xef\xbd\xb6\xef\xbe\x85\x31\xef\xbd\xb3"}) {  // "ｶﾅ1ｳ"
    TempDir dir;
    const std::string d = dir.path();
    SaveOutcome added = SaveAccount(d, ServerForm(name, "127.0.0.1"), {}, "");
    ASSERT_TRUE(added.written);
    bool whole = false;
    json shown = AccountFormJson(common::ReadAccount(d + "/AllData/" + added.key, &whole));
    ASSERT_TRUE(whole);
    EXPECT_EQ(shown["name"], name);
    SaveOutcome saved = SaveAccount(d, shown, {}, added.key);
    ASSERT_TRUE(saved.written);
    EXPECT_EQ(saved.key, added.key);
    EXPECT_EQ(platform::ListFiles(d + "/AllData").size(), 1u);
    EXPECT_EQ(DisplayLogText(d).find("10009"), std::string::npos) << added.key;
  }
}

TEST(AccountEditingTest, RenameOntoAnotherAccountIsRefusedAndLosesNothing) {
  TempDir dir;
  const std::string d = dir.path();
  ASSERT_TRUE(SaveAccount(d, ServerForm("alpha", "10.0.0.1"), {}, "").written);
  ASSERT_TRUE(SaveAccount(d, ServerForm("beta", "10.0.0.2"), {}, "").written);
  const std::string before = testsupport::ReadFile(d + "/AllData/" + common::HexKey("beta"));
  SaveOutcome out = SaveAccount(d, ServerForm("beta", "10.0.0.1"), {}, common::HexKey("alpha"));
  EXPECT_EQ(out.error.key, "msgExists");
  EXPECT_FALSE(out.written);
  EXPECT_EQ(testsupport::ReadFile(d + "/AllData/" + common::HexKey("beta")), before);
  EXPECT_TRUE(platform::IsRegularFile(d + "/AllData/" + common::HexKey("alpha")));
  EXPECT_EQ(IndexLines(d).size(), 2u);
}

TEST(AccountEditingTest, DeleteRemovesRecordStatusAndRowsAndLogs) {
  TempDir dir;
  const std::string d = dir.path();
  json form = ServerForm("gamma", "10.0.0.3");
  form.update({{"custom", true}, {"customRows", {{{"name", "ssh"}, {"port", "22"}}}}});
  ASSERT_TRUE(SaveAccount(d, form, {}, "").written);
  const std::string key = common::HexKey("gamma");
  EXPECT_EQ(IndexLines(d).size(), 2u);
  EXPECT_TRUE(DeleteAccount(d, key));
  EXPECT_TRUE(IndexLines(d).empty());
  EXPECT_FALSE(platform::PathExists(d + "/AllData/" + key));
  EXPECT_FALSE(platform::PathExists(d + "/CustData/" + key));
  EXPECT_NE(DisplayLogText(d).find("10009"), std::string::npos);
  EXPECT_FALSE(DeleteAccount(d, key));
  EXPECT_FALSE(DeleteAccount(d, "../x"));

  // A record too short to read still takes its rows with it, whatever its domain was.
  ASSERT_TRUE(SaveAccount(d, form, {}, "").written);
  testsupport::WriteFile(d + "/AllData/" + key, "short");
  EXPECT_EQ(IndexLines(d).size(), 2u);
  EXPECT_TRUE(DeleteAccount(d, key));
  EXPECT_TRUE(IndexLines(d).empty());
}

TEST(AccountFormTest, EditFormCarriesNoPassword) {
  AccountForm form;
  json body = EmailForm();
  body["smtpAuth"] = true;
  body["smtpUser"] = "u";
  body["smtpPassword"] = "Secret-Canary";
  ASSERT_TRUE(ParseAccountForm(body, &form).ok());
  json shown = AccountFormJson(BuildAccount(form, "/p", {}, nullptr));
  EXPECT_EQ(shown.dump().find("Secret-Canary"), std::string::npos);
  EXPECT_EQ(shown.dump().find("\"pw\""), std::string::npos);
  EXPECT_TRUE(shown["smtpPasswordStored"].get<bool>());
  EXPECT_TRUE(shown["popPasswordStored"].get<bool>());
  EXPECT_FALSE(shown["ftpPasswordStored"].get<bool>());
}
