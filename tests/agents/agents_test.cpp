// The agent programs run from a bin folder of the test's own against servers on loopback;
// the tests check the files they leave, byte by byte where the layout is fixed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/mail_job.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "log_lines.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

using testkit::LogLines;
using testkit::WordAt;

// A log line of today: code, the date, a 12-hour time, the 65-character name field, the text.
void ExpectLine(const std::string& line, const std::string& code, const std::string& name,
                const std::string& text) {
  testkit::ExpectLogLine(line, code, name, text);
  platform::SystemTime now = platform::LocalNow();
  char date[32];
  std::snprintf(date, sizeof date, "%04d/%02d/%02d", now.year, now.month, now.day);
  EXPECT_EQ(line.substr(6, 10), date) << line;
}

std::vector<std::string> LinesWith(const std::string& log, const std::string& part) {
  std::vector<std::string> out;
  for (const std::string& line : LogLines(log)) {
    if (line.find(part) != std::string::npos) out.push_back(line);
  }
  return out;
}

// The texts of a mail job file, in their order.
std::vector<std::string> JobTexts(const std::string& job) {
  std::vector<std::string> texts;
  for (size_t slot = 8; slot <= 88;) {
    uint32_t offset = WordAt(job, slot), length = WordAt(job, slot + 4);
    texts.push_back(length > 0 && offset + length <= job.size() ? job.substr(offset, length - 1)
                                                                : "<bad>");
    slot += (slot == 8 || slot == 20) ? 12 : 8;
  }
  return texts;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

// A port agent account that sends everything to everyone.
common::AccountFile AlertingAccount(const std::string& name) {
  common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
  a.record.mailToGlobal = 1;
  a.record.mailToAccount = 1;
  a.record.onlineToGlobal = 1;
  a.record.onlineToAccount = 1;
  a.mailAddresses = "own@x.example";
  a.netSendAddresses = "PC9";
  a.downSubject = "%S %C down";
  a.upSubject = "%S %C up";
  a.downBody = "%S (%I) is down: %E at %T";
  a.upBody = "%S (%I) is up [%E] at %T";
  a.downOnline = "LAN %S down %E";
  a.upOnline = "LAN %S up";
  return a;
}

// Alert settings with a mail server on `server` (port 25), authentication on.
void WriteAlertSettings(const ProgramDir& pd, const std::string& server) {
  common::AlertFile alert;
  common::SetField(alert.settings.primaryServer, server);
  common::SetField(alert.settings.fromAddress, "monitor@x.example");
  alert.toAddresses = "ops1@x.example\r\nops2@x.example\r\n";
  alert.netSendAddresses = "PC1,PC2";
  common::WriteAlert(pd.dir(), alert);
  common::AlertAuth auth{};
  auth.primaryAuth = 1;
  common::SetField(auth.primaryUser, "alice");
  common::SetField(auth.primaryPassword, "s3cret");
  common::WriteAlertAuth(pd.dir(), auth);
}

// A mail server stand-in on port 25 of a loopback address of this test's own, so that tests
// running side by side never share it.
std::unique_ptr<testkit::LineServer> MailServer(const std::string& address) {
  auto server = std::make_unique<testkit::LineServer>("220 ready\r\n", false, address, 25);
  if (!server->ok()) return nullptr;
  return server;
}

void SetPort(ProgramDir& pd, common::AccountFile& account, int port) {
  account.record.httpPort = static_cast<uint32_t>(port);
  common::WriteAccount(common::AccountPath(pd.dir(), common::FieldText(account.record.key)),
                       account);
}

TEST(WebPortSentry, UpFailingDownUpWithOneAlertEach) {
  ProgramDir pd;
  auto mail = MailServer("127.0.77.1");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.77.1:25 (needs root)";
  testkit::LineServer web("HTTP/1.0 404 Not Found\r\n\r\n", true);
  WriteAlertSettings(pd, "127.0.77.1");
  testkit::SetLogging(pd, common::kGroupHttp, true, true);
  common::AccountFile account = AlertingAccount("web1");
  account.record.httpPortOn = 1;
  account.record.httpTimeout = 2;
  testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
  const std::string key = common::HexKey("web1");
  const int closed = testkit::ClosedPort();

  // Run 1: the port is closed. Failing: logged, counted, nothing raised.
  SetPort(pd, account, closed);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kHttpPort, "web1");
  EXPECT_EQ(s.failCount, 1);
  EXPECT_EQ(std::strlen(s.lastFailure), 14u);
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.checking, 0);
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  std::string state = pd.Read("portHTTPPara.dat");
  ASSERT_EQ(state.size(), 20u);
  EXPECT_EQ(WordAt(state, 0), 0u);
  EXPECT_EQ(WordAt(state, 16), 0u);
  EXPECT_EQ(pd.Read("temp/httpportscan.err"),
            pd / ("AllData/" + key) + "," + pd / ("HTTPData/" + key) + "," + key + "\r\n");
  std::vector<std::string> lines = LogLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], "-0902", "web1", "HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1");
  std::vector<std::string> disp = LogLines(pd.TodayLog(true));
  ASSERT_EQ(disp.size(), 1u);
  ExpectLine(disp[0], "-0902", key, "HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1");

  // Run 2: still closed. Down: the alert goes out once.
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  s = testkit::ReadStatus(pd, StatusFolder::kHttpPort, "web1");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(std::strlen(s.errorDetected), 14u);
  state = pd.Read("portHTTPPara.dat");
  EXPECT_EQ(WordAt(state, 0), 0u);
  EXPECT_EQ(WordAt(state, 16), 1u);
  std::vector<ProgramDir::Call> mails = pd.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  const ProgramDir::Call down = mails[0];
  // "VarnPost <job file> <user> <password>" with the two sign-in places left empty.
  ASSERT_EQ(down.args.size(), 3u);
  EXPECT_EQ(down.args[1], "");
  EXPECT_EQ(down.args[2], "");
  EXPECT_EQ(down.stdinData, "alice\ns3cret\n");
  for (const std::string& arg : down.args) EXPECT_EQ(arg.find("s3cret"), std::string::npos);
  EXPECT_EQ(ModeOf(down.args[0]), 0600u);
  EXPECT_EQ(platform::DirName(down.args[0]), platform::DirName(pd.dir()) + "/alerts");
  EXPECT_EQ(down.args[0].substr(down.args[0].rfind('/') + 1, 3), "CON");
  const std::string job = down.file;
  EXPECT_EQ(WordAt(job, 0), 128u);
  EXPECT_EQ(WordAt(job, 4), 1u);
  EXPECT_EQ(WordAt(job, 16), 25u);
  EXPECT_EQ(WordAt(job, 28), 110u);
  EXPECT_EQ(WordAt(job, 8), 96u);
  const std::string checked(s.lastCheck);
  const std::string shown = checked.substr(0, 4) + "/" + checked.substr(4, 2) + "/" +
                            checked.substr(6, 2) + " " + checked.substr(8, 2) + ":" +
                            checked.substr(10, 2) + ":" + checked.substr(12, 2);
  std::vector<std::string> expected = {
      "127.0.77.1",
      "dummy",
      "ops1@x.example,ops2@x.example,own@x.example",
      "",
      "monitor@x.example",
      "",
      "web1 HTTP down",
      "web1 (127.0.0.1) is down: HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1 at " + shown,
      "",
      pd.dir() + "/RelayKitLog,1,KT.Varnock"};
  EXPECT_EQ(JobTexts(job), expected);
  size_t total = 96;
  for (const std::string& t : expected) total += t.size() + 1;
  EXPECT_EQ(job.size(), total);

  std::vector<ProgramDir::Call> lan = pd.WaitForCalls("LanBellCmd", 3);
  ASSERT_EQ(lan.size(), 3u);
  std::vector<std::string> lanFiles;
  for (const ProgramDir::Call& call : lan) {
    ASSERT_EQ(call.args.size(), 1u);
    EXPECT_EQ(ModeOf(call.args[0]), 0600u);
    EXPECT_EQ(call.stdinData, "");
    lanFiles.push_back(call.file);
  }
  std::sort(lanFiles.begin(), lanFiles.end());
  const std::string text = "LAN web1 down HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1";
  EXPECT_EQ(lanFiles, (std::vector<std::string>{"PC1\r\nKT.Varnock2\r\n" + text + "\r\n",
                                                "PC2\r\nKT.Varnock2\r\n" + text + "\r\n",
                                                "PC9\r\nKT.Varnock2\r\n" + text + "\r\n"}));
  std::string log = pd.TodayLog();
  std::vector<std::string> records = LinesWith(log, "10012 ");
  ASSERT_EQ(records.size(), 3u);
  ExpectLine(records[0], "10012", "[Down Mail Sent: HTTP Port]",
             "ops1@x.example,ops2@x.example,own@x.example");
  ExpectLine(records[1], "10012", "[Down Message Sent: HTTP Port]", "PC1,PC2");
  ExpectLine(records[2], "10012", "[Down Message Sent: HTTP Port]", "PC9");
  std::vector<std::string> dispRecords = LinesWith(pd.TodayLog(true), "10012 ");
  ASSERT_EQ(dispRecords.size(), 3u);
  ExpectLine(dispRecords[0], "10012", common::HexKey("[Down Mail Sent: HTTP Port]"),
             "ops1@x.example,ops2@x.example,own@x.example");

  // Run 3: still closed. Down stays Down; no second alert; down time accumulates.
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  s = testkit::ReadStatus(pd, StatusFolder::kHttpPort, "web1");
  EXPECT_EQ(s.failCount, 3);

  // Run 4: the port answers (any first line counts, a 404 too). Up, with one Up alert.
  SetPort(pd, account, web.port());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  s = testkit::ReadStatus(pd, StatusFolder::kHttpPort, "web1");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.lastFailure[0], '\0');
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.enabled, 1u);
  state = pd.Read("portHTTPPara.dat");
  EXPECT_EQ(WordAt(state, 16), 0u);
  EXPECT_FALSE(platform::PathExists(pd / "temp/httpportscan.err"));
  mails = pd.WaitForCalls("VarnPost", 2);
  ASSERT_EQ(mails.size(), 2u);
  const ProgramDir::Call up = mails[0].file == job ? mails[1] : mails[0];
  std::vector<std::string> upTexts = JobTexts(up.file);
  EXPECT_EQ(upTexts[6], "web1 HTTP up");
  EXPECT_EQ(upTexts[7].substr(0, 36), "web1 (127.0.0.1) is up [] at " + shown.substr(0, 7));
  lan = pd.WaitForCalls("LanBellCmd", 6);
  EXPECT_EQ(lan.size(), 6u);
  log = pd.TodayLog();
  records = LinesWith(log, "10012 ");
  ASSERT_EQ(records.size(), 6u);
  ExpectLine(records[3], "10012", "[Up Mail Send: HTTP Port]",
             "ops1@x.example,ops2@x.example,own@x.example");
  ExpectLine(records[4], "10012", "[Up Message Send: HTTP Port]", "PC1,PC2");
  std::vector<std::string> ok = LinesWith(log, "HTTP Port 80 OK");
  ASSERT_EQ(ok.size(), 1u);
  ExpectLine(ok[0], "00001", "web1", "HTTP Port 80 OK Domain/IP: 127.0.0.1");
  // Exactly one Down and one Up alert over the four runs.
  ::usleep(300000);
  EXPECT_EQ(pd.Calls("VarnPost").size(), 2u);
  EXPECT_EQ(pd.Calls("LanBellCmd").size(), 6u);
}

TEST(WebPortSentry, FailingOnceThenUpRaisesNothing) {
  ProgramDir pd;
  testkit::LineServer web("HTTP/1.0 200 OK\r\n\r\n", true);
  WriteAlertSettings(pd, "127.0.0.1");
  common::AccountFile account = AlertingAccount("flaky");
  account.record.httpPortOn = 1;
  account.record.httpTimeout = 2;
  testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
  SetPort(pd, account, testkit::ClosedPort());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  SetPort(pd, account, web.port());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kHttpPort, "flaky");
  EXPECT_EQ(s.failCount, 0);
  ::usleep(300000);
  EXPECT_TRUE(pd.Calls("VarnPost").empty());
  EXPECT_TRUE(pd.Calls("LanBellCmd").empty());
  // Logging is off (no Scan.dat): not a single account line.
  EXPECT_EQ(pd.TodayLog(), "");
}

TEST(MailServerTest, UnreachableServerDropsTheMailButNotTheLanMessages) {
  ProgramDir pd;
  WriteAlertSettings(pd, "127.0.0.1");  // nothing listens on 127.0.0.1:25 in this test
  {
    testkit::LineServer probe("x\r\n", false, "127.0.0.1", 25);
    if (!probe.ok()) GTEST_SKIP() << "127.0.0.1:25 is in use or needs root here";
  }
  common::AccountFile account = AlertingAccount("dropped");
  account.record.httpPortOn = 1;
  account.record.httpTimeout = 1;
  testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
  SetPort(pd, account, testkit::ClosedPort());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  EXPECT_EQ(pd.WaitForCalls("LanBellCmd", 3).size(), 3u);
  EXPECT_TRUE(pd.Calls("VarnPost").empty());
  EXPECT_TRUE(LinesWith(pd.TodayLog(), "Mail Sent").empty());
  EXPECT_EQ(LinesWith(pd.TodayLog(), "[Down Message Sent: HTTP Port]").size(), 2u);
  // The dropped mail is not silent: one line in each log names the account.
  std::vector<std::string> dropped = LinesWith(pd.TodayLog(), "[Down Mail Not Sent: HTTP Port]");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].substr(0, 5), "10013");
  EXPECT_NE(dropped[0].find("no mail server answered: dropped"), std::string::npos);
  EXPECT_EQ(LinesWith(pd.TodayLog(true), "no mail server answered: dropped").size(), 1u);
  // The alert counts as raised all the same.
  EXPECT_EQ(std::strlen(testkit::ReadStatus(pd, StatusFolder::kHttpPort, "dropped").errorDetected),
            14u);
}

// A mail sender or LAN sender that cannot be started leaves a line saying so, and the job
// file it would have owned is not left behind.
TEST(MailServerTest, SenderThatCannotStartIsLogged) {
  ProgramDir pd;
  auto mail = MailServer("127.0.77.4");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.77.4:25 (needs root)";
  WriteAlertSettings(pd, "127.0.77.4");
  platform::RemoveFile(platform::JoinPath(pd.bin(), "VarnPost"));
  platform::RemoveFile(platform::JoinPath(pd.bin(), "LanBellCmd"));
  common::AccountFile account = AlertingAccount("nosender");
  account.record.httpPortOn = 1;
  account.record.httpTimeout = 1;
  testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
  SetPort(pd, account, testkit::ClosedPort());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  const std::string log = pd.TodayLog();
  EXPECT_EQ(LinesWith(log, "the mail sender could not be started: nosender").size(), 1u) << log;
  EXPECT_TRUE(LinesWith(log, "[Down Mail Sent").empty());
  // One line per LAN recipient: PC1 and PC2 of the general list, PC9 of the account's.
  EXPECT_EQ(LinesWith(log, "[Down Message Not Sent: HTTP Port]").size(), 3u) << log;
  std::vector<std::string> left;
  for (const std::string& name : platform::ListFiles(platform::DirName(pd.dir()) + "/alerts")) {
    if (name[0] != '.') left.push_back(name);
  }
  EXPECT_TRUE(left.empty()) << left[0];
}

TEST(MailServerTest, AlternateServerCarriesItsOwnSignIn) {
  ProgramDir pd;
  auto mail = MailServer("127.0.77.2");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.77.2:25 (needs root)";
  common::AlertFile alert;
  common::SetField(alert.settings.primaryServer, "127.0.77.3");  // nothing listens there
  common::SetField(alert.settings.alternateServer, "127.0.77.2");
  alert.toAddresses = "ops@x.example";
  common::WriteAlert(pd.dir(), alert);
  common::AlertAuth auth{};
  auth.primaryAuth = 1;
  common::SetField(auth.primaryUser, "first");
  common::SetField(auth.primaryPassword, "pw1");
  auth.alternateAuth = 0;  // no authentication: its texts are blanked
  common::SetField(auth.alternateUser, "second");
  common::SetField(auth.alternatePassword, "pw2");
  common::WriteAlertAuth(pd.dir(), auth);
  common::AccountFile account = testkit::ServerAccount("alt", "127.0.0.1");
  account.record.httpPortOn = 1;
  account.record.mailToGlobal = 1;
  account.record.useGlobalMailTemplates = 1;
  testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
  SetPort(pd, account, testkit::ClosedPort());
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  std::vector<ProgramDir::Call> mails = pd.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(JobTexts(mails[0].file)[0], "127.0.77.2");
  EXPECT_EQ(JobTexts(mails[0].file)[6], "");  // empty general template
  EXPECT_EQ(mails[0].stdinData, "\n\n");
  EXPECT_EQ(mails[0].args, (std::vector<std::string>{mails[0].args[0], "", ""}));
}

TEST(RetryFile, RecheckRunConsumesTheListAndChecksOnlyFailingAccounts) {
  ProgramDir pd;
  testkit::LineServer pop("+OK ready\r\n", false);
  common::AccountFile bad = testkit::ServerAccount("bad", "127.0.0.1");
  bad.record.popPortOn = 1;
  bad.record.popPortTimeout = 2;
  bad.record.popPort = static_cast<uint32_t>(testkit::ClosedPort());
  testkit::AddAccount(pd, bad, StatusFolder::kPopPort);
  common::AccountFile good = testkit::ServerAccount("good", "127.0.0.1");
  good.record.popPortOn = 1;
  good.record.popPort = static_cast<uint32_t>(pop.port());
  testkit::AddAccount(pd, good, StatusFolder::kPopPort);

  ASSERT_EQ(pd.RunAgent("MailInSentry", 1), 0);
  const std::string badKey = common::HexKey("bad");
  const std::string line =
      pd / ("AllData/" + badKey) + "," + pd / ("POPData/" + badKey) + "," + badKey + "\r\n";
  EXPECT_EQ(pd.Read("temp/popportscan.err"), line);
  const std::string goodChecked = testkit::ReadStatus(pd, StatusFolder::kPopPort, "good").lastCheck;

  // Still failing: the re-check run takes the list and writes a new one.
  ASSERT_EQ(pd.RunAgent("MailInSentry", 0), 0);
  EXPECT_EQ(pd.Read("temp/popportscan.err"), line);
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kPopPort, "bad").failCount, 2);

  // Mended: the re-check run finds it up and leaves no list; "good" was not checked again.
  bad.record.popPort = static_cast<uint32_t>(pop.port());
  common::WriteAccount(common::AccountPath(pd.dir(), badKey), bad);
  ::sleep(1);
  ASSERT_EQ(pd.RunAgent("MailInSentry", 0), 0);
  EXPECT_FALSE(platform::PathExists(pd / "temp/popportscan.err"));
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kPopPort, "bad").failCount, 0);
  EXPECT_EQ(std::string(testkit::ReadStatus(pd, StatusFolder::kPopPort, "good").lastCheck),
            goodChecked);
  // Nothing of the taken lists is left in temp.
  for (const auto& entry : std::filesystem::directory_iterator(pd / "temp")) {
    EXPECT_TRUE(entry.is_directory()) << entry.path();
  }
}

TEST(FirstRun, ResetsEveryStatusRecordItMeets) {
  ProgramDir pd;
  testkit::LineServer smtp("220 ready\r\n", false);
  const platform::SystemTime before = platform::LocalNow();
  struct Account {
    const char* name;
    uint32_t active;
  } accounts[] = {{"on", 1}, {"off", 0}};
  for (const Account& a : accounts) {
    common::AccountFile account = AlertingAccount(a.name);
    account.record.smtpPortOn = 1;
    account.record.smtpPort = static_cast<uint32_t>(smtp.port());
    testkit::AddAccount(pd, account, StatusFolder::kSmtpPort);
    common::UpdateCheckStatus(pd.dir(), StatusFolder::kSmtpPort, common::HexKey(a.name),
                              [&](common::CheckStatus& s, bool) {
                                s.enabled = a.active;
                                s.failCount = 5;
                                s.downSeconds = 99;
                                common::SetField(s.lastFailure, "20260101000000");
                                common::SetField(s.errorDetected, "20260101000000");
                                s.statsStart.year = 2001;
                                return true;
                              });
  }
  testsupport::WriteFile(pd / "SMTPData/first.dat", "1");
  ASSERT_EQ(pd.RunAgent("MailOutSentry"), 0);
  EXPECT_FALSE(platform::PathExists(pd / "SMTPData/first.dat"));
  for (const Account& a : accounts) {
    common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kSmtpPort, a.name);
    EXPECT_EQ(s.enabled, a.active) << a.name;
    EXPECT_EQ(s.failCount, 0) << a.name;
    EXPECT_EQ(s.downSeconds, 0u) << a.name;
    EXPECT_EQ(s.errorDetected[0], '\0') << a.name;
    EXPECT_EQ(s.lastFailure[0], '\0') << a.name;
    EXPECT_EQ(s.statsStart.year, before.year) << a.name;
    EXPECT_EQ(s.statsStart.day, before.day) << a.name;
    // Only the active account was checked.
    EXPECT_EQ(std::strlen(s.lastCheck), a.active ? 14u : 0u) << a.name;
  }
  // The reset outage raises no Up alert.
  ::usleep(300000);
  EXPECT_TRUE(pd.Calls("VarnPost").empty());
  EXPECT_TRUE(pd.Calls("LanBellCmd").empty());
}

TEST(Records, InactiveDisabledAndOrphanedAccounts) {
  ProgramDir pd;
  testkit::LineServer ftp("220 ftp\r\n", true);
  auto add = [&](const char* name, uint8_t enabled, uint8_t on) {
    common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
    a.record.enabled = enabled;
    a.record.ftpPortOn = on;
    a.record.ftpPort = static_cast<uint32_t>(ftp.port());
    testkit::AddAccount(pd, a, StatusFolder::kFtpPort);
  };
  add("checked", 1, 1);
  add("disabled", 2, 1);
  add("switchedoff", 1, 0);
  add("inactive", 1, 1);
  common::UpdateCheckStatus(pd.dir(), StatusFolder::kFtpPort, common::HexKey("inactive"),
                            [](common::CheckStatus& s, bool) {
                              s.enabled = 0;
                              return true;
                            });
  // A status record whose account is gone.
  common::CheckStatus orphan = common::NewCheckStatus(platform::LocalNow());
  common::WriteWholeFile(pd / ("FTPPortData/" + common::HexKey("gone")), &orphan, sizeof orphan);
  const std::string inactiveBefore = pd.Read("FTPPortData/" + common::HexKey("inactive"));

  ASSERT_EQ(pd.RunAgent("FilePortSentry"), 0);
  EXPECT_EQ(ftp.accepted(), 1);
  EXPECT_EQ(std::strlen(testkit::ReadStatus(pd, StatusFolder::kFtpPort, "checked").lastCheck), 14u);
  for (const char* skipped : {"disabled", "switchedoff"}) {
    EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kFtpPort, skipped).lastCheck[0], '\0');
  }
  EXPECT_EQ(pd.Read("FTPPortData/" + common::HexKey("inactive")), inactiveBefore);
  EXPECT_FALSE(platform::PathExists(pd / ("FTPPortData/" + common::HexKey("gone"))));
}

TEST(Logging, SwitchesOfTheAgentsGroup) {
  struct Case {
    bool on, all, fail;
    bool written;
  } cases[] = {
      {false, false, false, false}, {false, true, true, false}, {true, false, false, false},
      {true, false, true, true},    {true, true, false, true},  {true, true, true, true},
  };
  testkit::LineServer smtp("220 ready\r\n", false);
  const int closed = testkit::ClosedPort();
  for (const Case& c : cases) {
    ProgramDir pd;
    testkit::SetLogging(pd, common::kGroupEmail, c.on, c.all);
    testkit::SetLogging(pd, common::kGroupPing, true, true);  // another group's switches
    common::AccountFile a = testkit::ServerAccount("mx", "127.0.0.1");
    a.record.smtpPortOn = 1;
    a.record.smtpPortTimeout = 2;
    a.record.smtpPort = static_cast<uint32_t>(c.fail ? closed : smtp.port());
    testkit::AddAccount(pd, a, StatusFolder::kSmtpPort);
    ASSERT_EQ(pd.RunAgent("MailOutSentry"), 0);
    std::vector<std::string> lines = LogLines(pd.TodayLog());
    ASSERT_EQ(lines.size(), c.written ? 1u : 0u) << c.on << c.all << c.fail;
    if (!c.written) continue;
    if (c.fail) {
      ExpectLine(lines[0], "-0902", "mx", "SMTP Port 25 DOWN Error: CONNECT Domain/IP: 127.0.0.1");
    } else {
      ExpectLine(lines[0], "00001", "mx", "SMTP Port 25 OK Domain/IP: 127.0.0.1");
    }
  }
}

TEST(Guard, SecondRunWithTheSameNumberIsSkipped) {
  ProgramDir pd;
  testkit::LineServer web("HTTP/1.0 200 OK\r\n\r\n", true);
  common::AccountFile a = testkit::ServerAccount("held", "127.0.0.1");
  a.record.httpPortOn = 1;
  a.record.httpPort = static_cast<uint32_t>(web.port());
  testkit::AddAccount(pd, a, StatusFolder::kHttpPort);
  platform::FileLock held;
  ASSERT_TRUE(held.TryAcquire(platform::NamedLockPath(pd.dir(), "WebPortSentry7")));
  ASSERT_EQ(pd.RunAgent("WebPortSentry", 7), 0);
  std::vector<std::string> lines = LogLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], "10003", "[Skipped]", "HTTP Port Scan Process Skipped.");
  std::vector<std::string> disp = LogLines(pd.TodayLog(true));
  ASSERT_EQ(disp.size(), 1u);
  ExpectLine(disp[0], "10003", common::HexKey("[Skipped]"), "HTTP Port Scan Process Skipped.");
  EXPECT_FALSE(platform::PathExists(pd / "portHTTPPara.dat"));
  EXPECT_EQ(web.accepted(), 0);
  // Another number is another guard.
  ASSERT_EQ(pd.RunAgent("WebPortSentry", 8), 0);
  EXPECT_EQ(web.accepted(), 1);
  EXPECT_EQ(pd.Read("portHTTPPara.dat"), std::string(20, '\0'));
}

TEST(EchoSentry, PingsLoopback) {
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupPing, true, true);
  common::AccountFile a = testkit::ServerAccount("lo", "127.0.0.1");
  a.record.pingOn = 1;
  a.record.pingTimeout = 0;  // taken as one second
  testkit::AddAccount(pd, a, StatusFolder::kPing);
  ASSERT_EQ(pd.RunAgent("EchoSentry"), 0);
  std::vector<std::string> lines = LogLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 1u);
  if (lines[0].find("Ping OK") == std::string::npos) {
    GTEST_SKIP() << "no ICMP socket here: " << lines[0];
  }
  const size_t at = lines[0].find("time=") + 5;
  const std::string ms = lines[0].substr(at, lines[0].find("ms", at) - at);
  char code[8];
  std::snprintf(code, sizeof code, "%05ld", std::stol(ms));
  ExpectLine(lines[0], code, "lo", "Ping OK time=" + ms + "ms Domain/IP: 127.0.0.1");
  EXPECT_EQ(pd.Read("pingPara.dat"), std::string(8, '\0'));
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kPing, "lo").failCount, 0);
}

TEST(AnyPortSentry, OnlyTheFailingSlotAlerts) {
  ProgramDir pd;
  auto mail = MailServer("127.0.77.4");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.77.4:25 (needs root)";
  testkit::LineServer ssh("SSH-2.0-test\r\n", true);
  WriteAlertSettings(pd, "127.0.77.4");
  testkit::SetLogging(pd, common::kGroupPort, true, false);
  common::AccountFile a = AlertingAccount("box");
  a.record.onlineToGlobal = a.record.onlineToAccount = 0;
  a.record.customOn = 1;
  a.record.customTimeout = 2;
  common::SetField(a.record.customNames[0], "ssh");
  a.record.customPorts[0] = static_cast<uint32_t>(ssh.port());
  common::SetField(a.record.customNames[2], "rdp");
  const int closed = testkit::ClosedPort();
  a.record.customPorts[2] = static_cast<uint32_t>(closed);
  testkit::AddAccount(pd, a, StatusFolder::kCustom);
  const std::string path = pd / ("CustData/" + common::HexKey("box"));
  std::string before = testsupport::ReadFile(path);
  ASSERT_EQ(before.size(), 748u);

  ASSERT_EQ(pd.RunAgent("AnyPortSentry"), 0);
  ASSERT_EQ(pd.RunAgent("AnyPortSentry"), 0);
  common::CustomStatus s{};
  ASSERT_EQ(common::ReadFixedFile(path, &s, sizeof s), 1);
  EXPECT_EQ(s.slots[0].failCount, 0);
  EXPECT_EQ(std::strlen(s.slots[0].lastCheck), 14u);
  EXPECT_EQ(s.slots[2].failCount, 2);
  EXPECT_EQ(std::strlen(s.slots[2].errorDetected), 14u);
  for (int k : {1, 3, 4}) EXPECT_EQ(s.slots[k].lastCheck[0], '\0') << k;
  EXPECT_EQ(testsupport::ReadFile(path).substr(420), before.substr(420));
  EXPECT_EQ(ssh.accepted(), 2);

  std::vector<ProgramDir::Call> mails = pd.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(JobTexts(mails[0].file)[6], "box rdp down");
  const std::string port = std::to_string(closed);
  std::vector<std::string> lines = LogLines(pd.TodayLog());
  // Failures only: two account lines for the closed slot, one alert record.
  ASSERT_EQ(lines.size(), 3u);
  ExpectLine(lines[0], "-0902", "box",
             "CUSTOM Port " + port + " DOWN Error: CONNECT Domain/IP: 127.0.0.1");
  ExpectLine(lines[2], "10012", "[Down Mail Sent: Custom]",
             "ops1@x.example,ops2@x.example,own@x.example");

  // A re-check run looks at the failing slot only; mended, it raises the Up alert.
  const int sshChecks = ssh.accepted();
  a.record.customPorts[2] = static_cast<uint32_t>(ssh.port());
  common::WriteAccount(common::AccountPath(pd.dir(), common::HexKey("box")), a);
  ASSERT_EQ(pd.RunAgent("AnyPortSentry", 0), 0);
  EXPECT_EQ(ssh.accepted(), sshChecks + 1);
  ASSERT_EQ(common::ReadFixedFile(path, &s, sizeof s), 1);
  EXPECT_EQ(s.slots[2].failCount, 0);
  EXPECT_EQ(pd.WaitForCalls("VarnPost", 2).size(), 2u);
  lines = LogLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 4u);
  ExpectLine(lines[3], "10012", "[Up Mail Sent: Custom]",
             "ops1@x.example,ops2@x.example,own@x.example");
}

TEST(AnyPortSentry, RecheckRunChecksAnAccountOnceWhateverNumberOfPortsFailed) {
  ProgramDir pd;
  common::AccountFile a = testkit::ServerAccount("twin", "127.0.0.1");
  a.record.customOn = 1;
  a.record.customTimeout = 2;
  const int closed = testkit::ClosedPort();
  for (int k : {1, 3}) {
    common::SetField(a.record.customNames[k], k == 1 ? "one" : "three");
    a.record.customPorts[k] = static_cast<uint32_t>(closed);
  }
  testkit::AddAccount(pd, a, StatusFolder::kCustom);
  const std::string key = common::HexKey("twin");
  const std::string line =
      pd / ("AllData/" + key) + "," + pd / ("CustData/" + key) + "," + key + "\r\n";
  const std::string path = pd / ("CustData/" + key);

  ASSERT_EQ(pd.RunAgent("AnyPortSentry", 1), 0);
  // One line per failed port, both naming the account.
  EXPECT_EQ(pd.Read("temp/custportscan.err"), line + line);
  ASSERT_EQ(pd.RunAgent("AnyPortSentry", 0), 0);
  common::CustomStatus s{};
  ASSERT_EQ(common::ReadFixedFile(path, &s, sizeof s), 1);
  for (int k : {1, 3}) {
    EXPECT_EQ(s.slots[k].failCount, 2) << k;  // one failure per run, not one per line
    EXPECT_EQ(std::strlen(s.slots[k].errorDetected), 14u) << k;
  }
  EXPECT_EQ(pd.Read("temp/custportscan.err"), line + line);
}

}  // namespace
