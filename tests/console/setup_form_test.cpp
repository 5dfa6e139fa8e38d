// "Setup" on the console side: its checks in order (English and Japanese), the files it
// writes, the Wave folder clean-up, the global template scratch files, and wave uploads.
#include "console/setup_form.h"

#include <gtest/gtest.h>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/setup_command.h"
#include "console/ui_text.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/temp_dir.h"

using namespace console;
using nlohmann::json;
using testsupport::TempDir;

namespace {

json Valid() {
  return {{"primaryServer", "mail.example.org"},
          {"from", "varnock@example.org"},
          {"to", "ops@example.org\nlead@example.org"},
          {"groups",
           {{"PING", {{"interval", 5}, {"logOn", true}, {"logAll", false}}},
            {"PORT", {{"interval", 35}, {"logOn", false}, {"logAll", true}}}}},
          {"keepDays", 0}};
}

// The alert mail keys Varnock.ini holds, as "KEY=value" joined by ";".
std::string MailKeys(const std::string& dir) {
  std::string out;
  for (const char* key :
       {"MAILSECURITY", "MAILPORT", "ALTMAILSECURITY", "ALTMAILPORT", "MAILVERIFY", "TLSCAFILE"}) {
    const std::string v = platform::IniGetString(common::IniPath(dir), "PROGRAM", key, "\x01");
    if (v != "\x01") out += (out.empty() ? "" : ";") + std::string(key) + "=" + v;
  }
  return out;
}

const char kPem[] = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

std::string WaveBody() {
  std::string b = "RIFF";
  b += std::string(4, '\0');
  b += "WAVEfmt ";
  b += std::string(20, '\0');
  return b;
}

}  // namespace

TEST(SetupFormTest, ChecksRunInOrderWithTheirMessagesInBothLanguages) {
  struct Case {
    json change;  // applied to a valid form
    const char* key;
    const char* english;
  };
  const Case cases[] = {
      {{{"primaryServer", ""}, {"from", ""}},
       "msgPrimaryBlank",
       "Primary SMTP is blank. Please enter SMTP."},
      {{{"from", ""}, {"to", ""}},
       "msgFromBlank",
       "From Address is blank. Please enter From Address."},
      {{{"to", ""}, {"primaryServer", "nodot"}},
       "msgToBlank",
       "To Address is blank. Please enter To Address."},
      {{{"primaryServer", "nodot"}, {"primaryAuth", true}},
       "msgPrimaryBad",
       "Primary SMTP is incorrect. Please enter correct SMTP."},
      {{{"primaryAuth", true}}, "msgPrimaryUserBlank", "Primary SMTP User ID is blank."},
      {{{"primaryAuth", true}, {"primaryUser", "u"}},
       "msgPrimaryPasswordBlank",
       "Primary SMTP User Password is blank."},
      {{{"alternateServer", "alt"}},
       "msgAlternateBad",
       "Alternate SMTP is incorrect. Please enter correct SMTP."},
      {{{"alternateAuth", true}}, "msgAlternateUserBlank", "Alternate SMTP User ID is blank."},
      {{{"alternateServer", "alt.example.org"}, {"alternateAuth", true}, {"alternateUser", "u"}},
       "msgAlternatePasswordBlank",
       "Alternate SMTP User Password is blank."},
      {{{"alternateAuth", true}, {"alternateUser", "u"}, {"alternatePassword", "p"}},
       "msgAlternateBlank",
       "Alternate SMTP is blank."},
      {{{"from", "a@@example.org"}},
       "msgFromBad",
       "From Address is incorrect. Please enter correct From Address."},
      {{{"to", "ops@example.org\nx@y@example.org"}},
       "msgToBad",
       "To Address is incorrect. Please enter correct To Address."},
      {{{"soundAlarm", true}, {"playWave", true}}, "msgSoundBlank", "Sound File is blank"},
      {{{"soundAlarm", false}, {"playWave", true}}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change.dump());
    TempDir dir;
    SettingCopies copies;
    json form = Valid();
    form.update(c.change);
    EXPECT_EQ(SaveSetup(dir.path(), form, &copies).key, c.key);
    if (*c.key == '\0') continue;
    EXPECT_FALSE(platform::PathExists(common::AlertPath(dir.path()))) << "nothing written";
    EXPECT_FALSE(platform::PathExists(common::ScanSettingsPath(dir.path())));
    EXPECT_EQ(MessageText("0", c.key), c.english);
    EXPECT_NE(MessageText("1", c.key), c.english);
    EXPECT_NE(MessageText("1", c.key), c.key);
  }
}

// After the described tests: line breaks and control bytes in From and To (they become mail
// header lines) and list positions the lists do not have. Nothing is written.
TEST(SetupFormTest, HeaderBreaksAndPositionsOutOfRangeAreRefused) {
  const std::pair<json, const char*> cases[] = {
      {{{"from", "varnock@example.org\r\nb@example.org"}}, "msgFromBad"},
      {{{"from", "Varnock\r <varnock@example.org>"}}, "msgFromBad"},
      {{{"to", "Ops\rBcc: spy@example.org <ops@example.org>"}}, "msgToBad"},
      {{{"to", "ops@example.org\x01"}}, "msgToBad"},
      {{{"keepDays", 4294967296}}, "msgBadRequest"},
      {{{"keepDays", 36}}, "msgBadRequest"},
      {{{"groups", {{"HTTP", {{"interval", -1}}}}}}, "msgBadRequest"},
      {{{"groups", {{"PING", {{"interval", 4294967301}}}}}}, "msgBadRequest"},
      // To keeps its lines; the primary server field already refuses any control byte.
      {{{"to", "ops@example.org\r\nlead@example.org\r\n"}}, ""},
      {{{"primaryServer", "mail.example.org\r\n"}}, "msgPrimaryBad"},
  };
  for (const auto& [change, key] : cases) {
    SCOPED_TRACE(change.dump());
    TempDir dir;
    SettingCopies copies;
    json form = Valid();
    form.update(change);
    EXPECT_EQ(SaveSetup(dir.path(), form, &copies).key, key);
    if (*key == '\0') continue;
    EXPECT_FALSE(platform::PathExists(common::AlertPath(dir.path()))) << "nothing written";
    EXPECT_FALSE(platform::PathExists(common::ScanSettingsPath(dir.path())));
  }
}

// --setup applies the account rules of the dialogs and range-checks its numbers; a refused
// account is named in the error and not written.
// The port and security of each mail server, certificate checking and the CA file: tested
// after the described tests, in this order; a refused form writes nothing.
TEST(SetupFormTest, MailTransportIsCheckedAfterTheDescribedTests) {
  TempDir files;
  const std::string pem = files.path() + "/ca.pem";
  const std::string notPem = files.path() + "/ca.txt";
  testsupport::WriteFile(pem, kPem);
  testsupport::WriteFile(notPem, "hello");
  const std::pair<json, const char*> cases[] = {
      {{{"primaryServer", ""}, {"primarySecurity", "startls"}}, "msgPrimaryBlank"},
      {{{"to", "x@y@example.org"}, {"primaryPort", "0"}}, "msgToBad"},
      {{{"primarySecurity", "startls"}, {"primaryPort", "0"}}, "msgPrimarySecurityBad"},
      {{{"primarySecurity", ""}}, "msgPrimarySecurityBad"},
      {{{"primarySecurity", "STARTTLS"}}, "msgPrimarySecurityBad"},
      {{{"primarySecurity", 1}}, "msgPrimarySecurityBad"},
      {{{"primaryPort", "0"}, {"alternateSecurity", "ssl"}}, "msgPrimaryPortBad"},
      {{{"primaryPort", "65536"}}, "msgPrimaryPortBad"},
      {{{"primaryPort", "+25"}}, "msgPrimaryPortBad"},
      {{{"primaryPort", "5 87"}}, "msgPrimaryPortBad"},
      {{{"primaryPort", "000587"}}, "msgPrimaryPortBad"},
      {{{"primaryPort", 70000}}, "msgPrimaryPortBad"},
      {{{"primaryPort", true}}, "msgPrimaryPortBad"},
      {{{"alternateSecurity", "ssl"}, {"alternatePort", "x"}}, "msgAlternateSecurityBad"},
      {{{"alternatePort", "x"}, {"caFile", "ca.pem"}}, "msgAlternatePortBad"},
      {{{"caFile", "ca.pem"}}, "msgCaFileBad"},
      {{{"caFile", files.path() + "/missing.pem"}}, "msgCaFileBad"},
      {{{"caFile", notPem}}, "msgCaFileBad"},
      {{{"caFile", files.path()}}, "msgCaFileBad"},
      {{{"caFile", 5}}, "msgCaFileBad"},
      // A line break would add keys to Varnock.ini, checked or not.
      {{{"caFile", pem + "\nMAILSECURITY=none"}, {"mailVerify", false}}, "msgCaFileBad"},
      {{{"caFile", files.path() + "/missing.pem"}, {"mailVerify", false}}, ""},
      {{{"caFile", pem}, {"primaryPort", " 587 "}, {"alternatePort", 2525}}, ""},
  };
  for (const auto& [change, key] : cases) {
    SCOPED_TRACE(change.dump());
    TempDir dir;
    SettingCopies copies;
    json form = Valid();
    form.update(change);
    EXPECT_EQ(SaveSetup(dir.path(), form, &copies).key, key);
    if (*key == '\0') continue;
    EXPECT_FALSE(platform::PathExists(common::IniPath(dir.path()))) << "nothing written";
    EXPECT_FALSE(platform::PathExists(common::AlertPath(dir.path())));
    EXPECT_NE(MessageText("1", key), MessageText("0", key));
  }
  EXPECT_EQ(MessageText("0", "msgPrimaryPortBad"),
            "Primary SMTP port is incorrect. Please enter a port from 1 to 65535.");
}

// Only what differs from the defaults reaches Varnock.ini: a setup that keeps them, or a
// request without these keys, writes no key at all. The port follows the security choice.
TEST(SetupFormTest, MailTransportWritesOnlyWhatDiffersFromTheDefaults) {
  TempDir files;
  const std::string pem = files.path() + "/ca.pem";
  testsupport::WriteFile(pem, kPem);
  const json pageDefaults = {{"primarySecurity", "none"},   {"primaryPort", "25"},
                             {"alternateSecurity", "none"}, {"alternatePort", "25"},
                             {"mailVerify", true},          {"caFile", ""}};
  const std::pair<json, std::string> cases[] = {
      {json::object(), ""},
      {pageDefaults, ""},
      {{{"primarySecurity", "starttls"}, {"primaryPort", "587"}},
       "MAILSECURITY=starttls;MAILPORT=587"},
      {{{"alternateSecurity", "tls"}, {"alternatePort", ""}}, "ALTMAILSECURITY=tls"},
      // Without a port the default port follows the choice.
      {{{"alternateSecurity", "tls"}, {"alternatePort", nullptr}}, "ALTMAILSECURITY=tls"},
      {{{"primarySecurity", "tls"}, {"primaryPort", "25"}}, "MAILSECURITY=tls;MAILPORT=25"},
      {{{"primaryPort", "465"}}, "MAILPORT=465"},
      {{{"mailVerify", false}, {"caFile", pem}}, "MAILVERIFY=0;TLSCAFILE=" + pem},
  };
  for (const auto& [change, keys] : cases) {
    SCOPED_TRACE(change.dump());
    TempDir dir;
    SettingCopies copies = ReadSettingCopies(dir.path());
    json form = Valid();
    form.update(pageDefaults);
    form.update(change);
    if (change.empty()) form = Valid();
    if (form.contains("alternatePort") && form["alternatePort"].is_null())
      form.erase("alternatePort");
    ASSERT_TRUE(SaveSetup(dir.path(), form, &copies).ok());
    EXPECT_EQ(MailKeys(dir.path()), keys);
    if (keys.empty()) {
      EXPECT_FALSE(platform::PathExists(common::IniPath(dir.path())));
    }
    // The dialog shows what was stored.
    const common::AlertMailTransport stored = common::ReadAlertMailTransport(dir.path());
    json shown = SetupJson(dir.path(), copies);
    EXPECT_EQ(shown["primaryPort"], stored.primary.port);
    EXPECT_EQ(shown["alternateSecurity"], common::MailSecurityName(stored.alternate.security));
    EXPECT_EQ(shown["mailVerify"], stored.verify);
  }
}

// A key typed by hand that cannot be used stays as it is until the dialog chooses anew: the
// dialog shows no security choice, and "OK" without one is refused rather than send the
// password in the clear.
TEST(SetupFormTest, AnUnreadableSecurityKeyIsNeitherShownNorOverwritten) {
  TempDir dir;
  const std::string d = dir.path();
  testsupport::WriteFile(common::IniPath(d), "[PROGRAM]\nMAILSECURITY=startls\nMAILPORT=587\n");
  SettingCopies copies = ReadSettingCopies(d);
  json shown = SetupJson(d, copies);
  EXPECT_EQ(shown["primarySecurity"], "");
  EXPECT_EQ(shown["alternateSecurity"], "none");
  json form = Valid();
  ASSERT_TRUE(SaveSetup(d, form, &copies).ok());  // a request that leaves the keys out
  form.update({{"alternateSecurity", "tls"}, {"primaryPort", "587"}});
  ASSERT_TRUE(SaveSetup(d, form, &copies).ok());
  EXPECT_EQ(MailKeys(d), "MAILSECURITY=startls;MAILPORT=587;ALTMAILSECURITY=tls");
  form.update({{"primarySecurity", ""}});
  EXPECT_EQ(SaveSetup(d, form, &copies).key, "msgPrimarySecurityBad");
  form.update({{"primarySecurity", "starttls"}});
  ASSERT_TRUE(SaveSetup(d, form, &copies).ok());
  EXPECT_EQ(MailKeys(d), "MAILSECURITY=starttls;MAILPORT=587;ALTMAILSECURITY=tls");
  // Back to the defaults: keys already in the file hold them.
  form.update({{"primarySecurity", "none"}, {"primaryPort", ""}, {"alternateSecurity", "none"}});
  ASSERT_TRUE(SaveSetup(d, form, &copies).ok());
  EXPECT_EQ(MailKeys(d), "MAILSECURITY=none;MAILPORT=25;ALTMAILSECURITY=none");
  EXPECT_EQ(copies.mailTransport.primary.problem, "");
}

TEST(SetupFileTest, RefusesWhatTheDialogsRefuse) {
  auto account = [](json change) {
    json a = {{"name", "acct"}, {"host", "127.0.0.1"}, {"ping", true}};
    a.update(change);
    return json{{"accounts", json::array({a})}};
  };
  const std::pair<json, const char*> cases[] = {
      {account({{"ping", false}}), "No check is selected."},
      {account({{"name", "   "}}), "Server Name holds only blanks."},
      {account({{"host", "999.1.1.1"}}), "Domain/IP is incorrect."},
      {account({{"host", "not a host!!"}}), "Domain/IP is incorrect."},
      {account({{"host", "127.0.0.1\r\nX: y"}}), "Domain/IP is incorrect."},
      {account({{"host", "127.0.0.1:70000"}, {"type", "ftp"}}), "is out of range"},
      {account({{"custom", json::array({json::array({"web", 70000})})}}), "custom port"},
      {account({{"custom", json::array({json::array({"web", -1})})}}), "custom port"},
      {account({{"ping", 4294967297}}), "ping: a whole number from 0 to 255"},
      {account({{"type", "ftp"}, {"ftpUser", "u"}, {"timeout", -30}}), "timeout:"},
      {{{"interval", 4294967297}}, "interval: a whole number from 0 to 65535"},
      {{{"mailServer", "127.0.0.1\r\nRCPT TO:<x@y>"}}, "mailServer:"},
      {{{"to", "a@example.org\rBcc: b@example.org"}}, "to:"},
  };
  for (const auto& [setup, error] : cases) {
    SCOPED_TRACE(setup.dump());
    TempDir dir;
    const std::string got = ApplySetup(dir.path(), setup);
    EXPECT_NE(got.find(error), std::string::npos) << got;
    EXPECT_FALSE(platform::PathExists(common::AccountPath(dir.path(), common::HexKey("acct"))));
  }
  // What the demo and the tests hand in still works.
  TempDir dir;
  EXPECT_EQ(ApplySetup(dir.path(), DemoSetup(8650, 8651)), "");
  EXPECT_EQ(ApplySetup(dir.path(), account({{"host", "127.0.0.1:2121"},
                                            {"type", "ftp"},
                                            {"ftpUser", "u"},
                                            {"timeout", 30}})),
            "");
  EXPECT_EQ(ApplySetup(dir.path(), account({{"host", "localhost"}, {"ping", 1}})), "");
}

TEST(SetupFormTest, OkWritesTheThreeFilesAndKeepsOnlyTheChosenWave) {
  TempDir dir;
  const std::string d = dir.path();
  testsupport::WriteFile(d + "/Wave/old.wav", "x");
  testsupport::WriteFile(d + "/Wave/alarm.wav", WaveBody());
  SettingCopies copies;
  SetupJson(d, copies);  // seeds the scratch files with the defaults
  json form = Valid();
  form.update({{"primaryAuth", true},
               {"primaryUser", "alerts"},
               {"primaryPassword", "pw1"},
               {"soundAlarm", true},
               {"playWave", true},
               {"waveFile", "alarm.wav"},
               {"netSend", "ops"}});
  ASSERT_TRUE(SaveSetup(d, form, &copies).ok());
  EXPECT_EQ(platform::ListFiles(d + "/Wave"), std::vector<std::string>{"alarm.wav"});

  common::AlertFile alert = common::ReadAlert(d);
  EXPECT_EQ(common::FieldText(alert.settings.primaryServer), "mail.example.org");
  EXPECT_EQ(common::FieldText(alert.settings.fromAddress), "varnock@example.org");
  EXPECT_EQ(common::FieldText(alert.settings.waveFile), "alarm.wav");
  EXPECT_EQ(alert.settings.soundAlarm, 1);
  EXPECT_EQ(alert.settings.playWave, 1);
  EXPECT_EQ(alert.settings.toOffset, 1008u);
  EXPECT_EQ(alert.toAddresses, "ops@example.org\nlead@example.org");
  EXPECT_EQ(alert.netSendAddresses, "ops");
  EXPECT_EQ(alert.downSubject, "Server Down: %S");
  EXPECT_EQ(alert.upOnline, "Server Up, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T");
  EXPECT_TRUE(copies.mailConfigured);

  common::ScanSettings scan = common::ReadScanSettings(d);
  EXPECT_EQ(scan.intervals[common::kGroupPing], 10);   // position 5
  EXPECT_EQ(scan.intervals[common::kGroupPort], 160);  // position 35
  EXPECT_EQ(scan.logOn[0], 1);
  EXPECT_EQ(scan.logAll[0], 0);
  EXPECT_EQ(scan.logOn[4], 0);  // the PORT box is the custom port family
  EXPECT_EQ(scan.keepLogDays, 1);

  common::AlertAuth auth = common::ReadAlertAuth(d);
  EXPECT_EQ(common::FieldText(auth.primaryPassword), "pw1");
  EXPECT_EQ(platform::FileSize(common::AlertAuthPath(d)), 164);

  // Untouched password fields keep the stored password; SetupJson never shows it.
  json again = Valid();
  again.update({{"primaryAuth", true}, {"primaryUser", "alerts"}});
  ASSERT_TRUE(SaveSetup(d, again, &copies).ok());
  EXPECT_EQ(common::FieldText(common::ReadAlertAuth(d).primaryPassword), "pw1");
  json shown = SetupJson(d, copies);
  EXPECT_EQ(shown.dump().find("pw1"), std::string::npos);
  EXPECT_TRUE(shown["primaryPasswordStored"].get<bool>());
}

TEST(SetupFormTest, FirstSetupShowsDefaultsAndKeepsTheScratchFilesAfterwards) {
  TempDir dir;
  const std::string d = dir.path();
  SettingCopies copies = ReadSettingCopies(d);
  json shown = SetupJson(d, copies);
  EXPECT_EQ(shown["mailTemplates"][0], "Server Down: %S");
  EXPECT_EQ(shown["onlineTemplates"][1],
            "Server Up, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T");
  for (const char* g : {"PING", "PORT", "HTTP", "FTP", "EMAIL"}) {
    EXPECT_TRUE(shown["groups"][g]["logOn"].get<bool>()) << g;
    EXPECT_TRUE(shown["groups"][g]["logAll"].get<bool>()) << g;
  }
  // An edited global template is what "OK" stores, and stays in its file afterwards.
  ASSERT_TRUE(SaveGlobalTemplates(d, "mail", {"D %S", "U %S", "db", "ub"}).ok());
  EXPECT_EQ(SaveGlobalTemplates(d, "mail", {"only", "three", "texts"}).key, "msgBadRequest");
  ASSERT_TRUE(SaveSetup(d, Valid(), &copies).ok());
  EXPECT_EQ(common::ReadAlert(d).downSubject, "D %S");
  EXPECT_EQ(ReadScratch(GlobalMailScratchPath(d))[1], "U %S");
  // A missing scratch file is seeded from the stored templates when Setup opens.
  platform::RemoveFile(GlobalMailScratchPath(d));
  shown = SetupJson(d, copies);
  EXPECT_EQ(shown["mailTemplates"][0], "D %S");
  EXPECT_EQ(shown["keepDays"], 0);
}

TEST(SetupFormTest, WaveUploadsAreBounded) {
  TempDir dir;
  const std::string d = dir.path();
  struct Case {
    std::string name;
    std::string body;
    const char* key;
  };
  const Case cases[] = {
      {"../x.wav", WaveBody(), "msgWaveBadName"},
      {"a/b.wav", WaveBody(), "msgWaveBadName"},
      {"a\\b.wav", WaveBody(), "msgWaveBadName"},
      {".hidden.wav", WaveBody(), "msgWaveBadName"},
      {"", WaveBody(), "msgWaveBadName"},
      {"\xF0\x9F\x94\x94.wav", WaveBody(), "msgWaveBadName"},
      {std::string("x\0y.wav", 7), WaveBody(), "msgWaveBadName"},
      {std::string(244, 'l') + ".wav", WaveBody(), "msgWaveBadName"},  // 248 bytes
      {std::string(255, 'l') + ".wav", WaveBody(), "msgWaveBadName"},  // 259 bytes
      {std::string(243, 'l') + ".wav", WaveBody(), ""},                // 247 bytes
      {"text.wav", "hello, this is not a wave", "msgWaveNotWave"},
      {"big.wav", WaveBody() + std::string(kMaxWaveBytes, '\0'), "msgWaveTooBig"},
      {"ベル.wav", WaveBody(), ""},
  };
  for (const Case& c : cases) {
    std::string stored;
    EXPECT_EQ(StoreWave(d, c.name, c.body, &stored).key, c.key) << c.name;
  }
  EXPECT_EQ(platform::ListFiles(d + "/Wave").size(), 2u);
  EXPECT_EQ(MessageText("0", "msgWaveNotWave"), "The file is not a wave file (RIFF/WAVE).");
}
