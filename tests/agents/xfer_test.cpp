// XferSentry from its own bin folder against a real vsftpd on loopback: the three stages
// and their lines, the state words, the files it leaves, and the Down/Up alerts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "console/setup_command.h"
#include "console/scheduler.h"
#include "ftp_servers.h"
#include "log_lines.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

constexpr const char* kTestText = "This is a FTP test file used by KT.Varnock 2.0";

using testkit::AccountLines;
using testkit::ExpectLogLine;
using testkit::LogLines;
using testkit::WordAt;

// ftpPara.dat after a run: 28 bytes, the three busy words clear, the down word as given.
void ExpectStateFile(const ProgramDir& pd, uint32_t down) {
  const std::string state = pd.Read("ftpPara.dat");
  ASSERT_EQ(state.size(), 28u);
  EXPECT_EQ(WordAt(state, 0), 0u);
  EXPECT_EQ(WordAt(state, 4), 0u);
  EXPECT_EQ(WordAt(state, 8), 0u);
  EXPECT_EQ(WordAt(state, 24), down);
}

common::AccountFile FtpAccount(const std::string& name, const std::string& host,
                               const std::string& password) {
  common::AccountFile a = testkit::ServerAccount(name, host);
  a.record.type = common::kFtpTransfer;
  a.record.isFtpTransfer = 1;
  a.record.ftpPortTimeout = 5;
  common::SetField(a.record.ftpUser, ftptest::kUser);
  common::SetField(a.record.ftpPassword, password);
  a.record.mailToGlobal = 1;
  a.record.useGlobalMailTemplates = 1;
  return a;
}

void Rewrite(const ProgramDir& pd, const common::AccountFile& account) {
  common::WriteAccount(common::AccountPath(pd.dir(), common::FieldText(account.record.key)),
                       account);
}

// Mail alerts to a stand-in mail server on port 25 of `address`.
std::unique_ptr<testkit::LineServer> AlertsTo(const ProgramDir& pd, const std::string& address) {
  auto server = std::make_unique<testkit::LineServer>("220 ready\r\n", false, address, 25);
  if (!server->ok()) return nullptr;
  common::AlertFile alert;
  common::SetField(alert.settings.primaryServer, address);
  common::SetField(alert.settings.fromAddress, "monitor@x.example");
  alert.toAddresses = "ops@x.example";
  alert.downSubject = "%S %C down";
  alert.downBody = "%S (%I): %E";
  alert.upSubject = "%S %C up";
  alert.upBody = "%S is back [%E]";
  common::WriteAlert(pd.dir(), alert);
  return server;
}

// The body text of a mail job file (the eighth of its texts).
std::string JobBody(const std::string& job) {
  const uint32_t offset = WordAt(job, 72), length = WordAt(job, 76);
  return length > 0 && offset + length <= job.size() ? job.substr(offset, length - 1) : "<bad>";
}

std::string JobSubject(const std::string& job) {
  const uint32_t offset = WordAt(job, 64), length = WordAt(job, 68);
  return length > 0 && offset + length <= job.size() ? job.substr(offset, length - 1) : "<bad>";
}

class XferSentryTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!ftp_.ok()) GTEST_SKIP() << ftp_.skipReason();
    testkit::SetLogging(pd_, common::kGroupFtp, true, true);
  }

  ftptest::Vsftpd ftp_{ftptest::VsftpdOptions{false, 0666, true}};
  ProgramDir pd_;
};

TEST_F(XferSentryTest, RoundTripWritesThreeTimedLines) {
  const std::string host = ftp_.server();
  testkit::AddAccount(pd_, FtpAccount("ftp1", host, ftptest::kPassword),
                      StatusFolder::kFtpTransfer);
  testsupport::WriteFile(pd_ / "samplerc.dat", "an old download, deleted first");

  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 3u) << pd_.TodayLog();
  const std::string tail = " Passed Time: #sec Domain/IP: " + host;
  ExpectLogLine(lines[0], "00001", "ftp1", "FTP Upload OK" + tail);
  ExpectLogLine(lines[1], "00001", "ftp1", "FTP Download OK" + tail);
  ExpectLogLine(lines[2], "00001", "ftp1", "FTP Delete OK" + tail);
  std::vector<std::string> disp = AccountLines(pd_.TodayLog(true));
  ASSERT_EQ(disp.size(), 3u);
  ExpectLogLine(disp[2], "00001", common::HexKey("ftp1"), "FTP Delete OK" + tail);

  // The test file went up whole, came back whole, and is gone from the server.
  const std::string serverLog = ftp_.Log();
  EXPECT_NE(serverLog.find("OK UPLOAD"), std::string::npos) << serverLog;
  EXPECT_NE(serverLog.find("FTP_test.text\", 46 bytes"), std::string::npos) << serverLog;
  EXPECT_NE(serverLog.find("OK DELETE"), std::string::npos) << serverLog;
  EXPECT_FALSE(platform::PathExists(ftp_.root() + "/FTP_test.text"));
  EXPECT_EQ(pd_.Read("temp/FTP_test.text"), kTestText);
  EXPECT_EQ(pd_.Read("samplerc.dat"), kTestText);
  // The password is never part of a log line.
  EXPECT_EQ(pd_.TodayLog().find(ftptest::kPassword), std::string::npos);

  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp1");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.checking, 0);
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  ExpectStateFile(pd_, 0);
  EXPECT_FALSE(platform::PathExists(pd_ / "temp/ftpscan.err"));
  // Active data connections unless the settings say otherwise.
  EXPECT_NE(serverLog.find("\"EPRT"), std::string::npos);
  EXPECT_EQ(serverLog.find("\"EPSV"), std::string::npos);
}

TEST_F(XferSentryTest, PassiveWhenTheSettingsFileSaysSo) {
  testkit::AddAccount(pd_, FtpAccount("ftp1", ftp_.server(), ftptest::kPassword),
                      StatusFolder::kFtpTransfer);
  platform::IniSetString(common::IniPath(pd_.dir()), "PROGRAM", "FTPPASSIVE", "1");
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  EXPECT_EQ(AccountLines(pd_.TodayLog()).size(), 3u) << pd_.TodayLog();
  const std::string serverLog = ftp_.Log();
  EXPECT_NE(serverLog.find("\"EPSV"), std::string::npos) << serverLog;
  EXPECT_EQ(serverLog.find("\"EPRT"), std::string::npos);
}

TEST_F(XferSentryTest, UpFailingDownUpWithOneDownAlert) {
  auto mail = AlertsTo(pd_, "127.0.78.1");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.78.1:25";
  const std::string host = ftp_.server();
  common::AccountFile account = FtpAccount("ftp2", host, "wrong-password");
  testkit::AddAccount(pd_, account, StatusFolder::kFtpTransfer);
  const std::string key = common::HexKey("ftp2");
  const std::string loginFailed = "FTP Login Failed Error: FTP_AUTHFAILED Domain/IP: " + host;

  // Run 1: Failing. One line for the upload stage, nothing raised.
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 1u) << pd_.TodayLog();
  ExpectLogLine(lines[0], "-0912", "ftp2", loginFailed);
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp2");
  EXPECT_EQ(s.failCount, 1);
  EXPECT_EQ(s.errorDetected[0], '\0');
  ExpectStateFile(pd_, 0);
  EXPECT_EQ(pd_.Read("temp/ftpscan.err"),
            pd_ / ("AllData/" + key) + "," + pd_ / ("FTPSendRecData/" + key) + "," + key + "\r\n");

  // Run 2: Down, with one alert.
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp2");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(std::strlen(s.errorDetected), 14u);
  ExpectStateFile(pd_, 1);
  std::vector<ProgramDir::Call> mails = pd_.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(JobSubject(mails[0].file), "ftp2 FTP Transfer down");
  EXPECT_EQ(JobBody(mails[0].file), "ftp2 (" + host + "): " + loginFailed);
  EXPECT_EQ(LogLines(pd_.TodayLog()).back().substr(27, 65).find("[Down Mail Sent: FTP Send/Rec]"),
            0u);

  // Run 3: still down; no second alert.
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp2").failCount, 3);
  ExpectStateFile(pd_, 1);

  // Run 4: the right password. Three lines, Up alert, failure state cleared.
  common::SetField(account.record.ftpPassword, ftptest::kPassword);
  Rewrite(pd_, account);
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp2");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.lastFailure[0], '\0');
  ExpectStateFile(pd_, 0);
  mails = pd_.WaitForCalls("VarnPost", 2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(pd_.Calls("VarnPost").size(), 2u) << "exactly one Down and one Up alert";
  int ups = 0;
  for (const ProgramDir::Call& call : mails) ups += JobSubject(call.file) == "ftp2 FTP Transfer up";
  EXPECT_EQ(ups, 1);
  lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 6u);
  ExpectLogLine(lines[5], "00001", "ftp2", "FTP Delete OK Passed Time: #sec Domain/IP: " + host);
}

// A refused upload ends the round; a failure at another stage in the next run is the
// second failure in a row.
TEST_F(XferSentryTest, FailuresAtDifferentStagesCountTogether) {
  auto mail = AlertsTo(pd_, "127.0.78.2");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.78.2:25";
  ftptest::Vsftpd readOnly(ftptest::VsftpdOptions{true, 0666, false});
  ftptest::Vsftpd writeOnly(ftptest::VsftpdOptions{false, 0200, false});
  ASSERT_TRUE(readOnly.ok() && writeOnly.ok());
  common::AccountFile account = FtpAccount("ftp3", readOnly.server(), ftptest::kPassword);
  const std::string ownTestFile = pd_ / "mine/test file.txt";
  testsupport::WriteFile(ownTestFile, "a longer text that was there before the check ran");
  common::SetField(account.record.localTestFile, ownTestFile);
  testkit::AddAccount(pd_, account, StatusFolder::kFtpTransfer);
  testsupport::WriteFile(pd_ / "samplerc.dat", "kept");

  // Run 1: the upload is refused; no download, no delete.
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 1u) << pd_.TodayLog();
  ExpectLogLine(lines[0], "-0902", "ftp3",
                "FTP Upload Failed Error: CONNECT Domain/IP: " + readOnly.server());
  EXPECT_EQ(testsupport::ReadFile(ownTestFile), kTestText);
  EXPECT_EQ(pd_.Read("samplerc.dat"), "kept");
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp3").failCount, 1);

  // Run 2: the upload passes, the file cannot be read back.
  account.record.host[0] = '\0';
  common::SetField(account.record.host, writeOnly.server());
  Rewrite(pd_, account);
  ASSERT_EQ(pd_.RunAgent("XferSentry"), 0);
  lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 3u) << pd_.TodayLog();
  ExpectLogLine(lines[1], "00001", "ftp3",
                "FTP Upload OK Passed Time: #sec Domain/IP: " + writeOnly.server());
  const std::string failed = "FTP Download Failed Error: CONNECT Domain/IP: " + writeOnly.server();
  ExpectLogLine(lines[2], "-0902", "ftp3", failed);
  EXPECT_FALSE(platform::PathExists(pd_ / "samplerc.dat")) << "deleted before the download";
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kFtpTransfer, "ftp3").failCount, 2);
  ExpectStateFile(pd_, 1);
  std::vector<ProgramDir::Call> mails = pd_.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(JobBody(mails[0].file), "ftp3 (" + writeOnly.server() + "): " + failed);
}

// An FTP Transfer account as the console writes it is scanned when the scheduler starts the
// FTP group: green against a working server, red once the server is gone.
TEST(XferSentryFromTheConsole, SetupAccountScannedByTheFtpGroup) {
  auto ftp = std::make_unique<ftptest::Vsftpd>();
  if (!ftp->ok()) GTEST_SKIP() << ftp->skipReason();
  ProgramDir pd;
  pd.AddProgram("XferSentry");
  const std::string host = ftp->server();
  const nlohmann::json setup = {
      {"accounts", nlohmann::json::array({{{"name", "files"},
                                           {"host", host},
                                           {"type", "ftp"},
                                           {"ftpUser", ftptest::kUser},
                                           {"ftpPassword", ftptest::kPassword},
                                           {"timeout", 5}}})}};
  ASSERT_EQ(console::ApplySetup(pd.dir(), setup), "");
  testkit::SetLogging(pd, common::kGroupFtp, true, true);
  std::vector<std::string> started;
  console::Scheduler scheduler(
      pd.dir(), pd.bin(), [&](const std::string& program, const std::vector<std::string>& args) {
        started.push_back(program.substr(program.rfind('/') + 1));
        return testkit::RunProgram(program, args) == 0;
      });
  scheduler.schedule().groupOn[common::kGroupFtp] = 1;

  ASSERT_EQ(scheduler.LaunchGroup(common::kGroupFtp, 1), 1);
  EXPECT_EQ(started, std::vector<std::string>{"XferSentry"});
  EXPECT_EQ(AccountLines(pd.TodayLog()).size(), 3u) << pd.TodayLog();
  common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kFtpTransfer, "files");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  scheduler.ReadScanStates(0);
  EXPECT_FALSE(scheduler.Flags(common::kGroupFtp).down);

  ftp.reset();
  ASSERT_EQ(scheduler.LaunchGroup(common::kGroupFtp, 1), 1);
  ASSERT_EQ(scheduler.LaunchGroup(common::kGroupFtp, 1), 1);
  scheduler.ReadScanStates(0);
  EXPECT_TRUE(scheduler.Flags(common::kGroupFtp).down);
  EXPECT_FALSE(scheduler.Flags(common::kGroupFtp).busy);
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kFtpTransfer, "files").failCount, 2);
  std::vector<std::string> lines = AccountLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 5u);
  ExpectLogLine(lines[4], "-0912", "files",
                "FTP Login Failed Error: FTP_AUTHFAILED Domain/IP: " + host);
}

// While a run is under way all three busy words read 1, so the console sees the FTP group
// busy through every stage; a server that stalls after the sign-in costs each try one
// time-out.
TEST(XferSentryStall, BusyWhileRunningAndBoundedByTheTimeOut) {
  ftptest::ScriptedServer stall([](int fd, const ftptest::ScriptedServer& server) {
    if (ftptest::GreetAndSignIn(fd, server)) ftptest::WaitForClose(fd, server);
  });
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupFtp, true, false);
  common::AccountFile account = FtpAccount("slow", stall.server(), "p");
  account.record.ftpPortTimeout = 1;
  testkit::AddAccount(pd, account, StatusFolder::kFtpTransfer);

  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::thread agent([&] {
    pd.RunAgent("XferSentry");
    done = true;
  });
  bool sawAllBusy = false;
  while (!done && !sawAllBusy) {
    const std::string state = pd.Read("ftpPara.dat");
    sawAllBusy = WordAt(state, 0) == 1 && WordAt(state, 4) == 1 && WordAt(state, 8) == 1;
    ::usleep(10000);
  }
  agent.join();
  EXPECT_TRUE(sawAllBusy);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ExpectStateFile(pd, 0);
  std::vector<std::string> lines = AccountLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 1u) << pd.TodayLog();
  ExpectLogLine(lines[0], "-0904", "slow",
                "FTP Upload Failed Error: SEND_DATA Domain/IP: " + stall.server());
}

// A server that refuses SIZE sends the file all the same: the round trip passes and takes
// its test file off the server again.
TEST(XferSentryScripted, SizeRefusedStillRoundTrips) {
  ftptest::OneFileServer server("550 Could not get file size.");
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupFtp, true, true);
  testkit::AddAccount(pd, FtpAccount("nosize", server.server(), "p"), StatusFolder::kFtpTransfer);
  ASSERT_EQ(pd.RunAgent("XferSentry"), 0);
  std::vector<std::string> lines = AccountLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 3u) << pd.TodayLog();
  ExpectLogLine(lines[1], "00001", "nosize",
                "FTP Download OK Passed Time: #sec Domain/IP: " + server.server());
  ExpectLogLine(lines[2], "00001", "nosize",
                "FTP Delete OK Passed Time: #sec Domain/IP: " + server.server());
  EXPECT_EQ(pd.Read("samplerc.dat"), kTestText);
  EXPECT_FALSE(server.holdsFile()) << "the test file is deleted on the server";
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kFtpTransfer, "nosize").failCount, 0);
}

// A download trickled 2 bytes a second ends at the stage's overall deadline (10 time-outs)
// with -906 and is not tried again, so the run is over before the group's next launch,
// which is not skipped.
TEST(XferSentryStall, TrickledDownloadEndsAtTheStageDeadline) {
  // Longer than the next launch is away: only the deadline ends the stage in time.
  ftptest::OneFileServer server("213 1000000000000000", ftptest::TrickleDownload(40000));
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupFtp, true, true);
  common::AccountFile account = FtpAccount("trickle", server.server(), "p");
  account.record.ftpPortTimeout = 1;  // a deadline of 10 s per stage
  testkit::AddAccount(pd, account, StatusFolder::kFtpTransfer);

  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration took{};
  std::thread first([&] {
    pd.RunAgent("XferSentry");
    took = std::chrono::steady_clock::now() - start;
    done = true;
  });
  // The next launch, 25 s later at the latest.
  while (!done && std::chrono::steady_clock::now() - start < std::chrono::seconds(25)) {
    ::usleep(100000);
  }
  const bool endedBeforeTheNextLaunch = done;
  ASSERT_EQ(pd.RunAgent("XferSentry"), 0);
  first.join();
  std::printf(
      "trickled run ended after %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

  EXPECT_TRUE(endedBeforeTheNextLaunch);
  EXPECT_LT(took, std::chrono::seconds(18)) << "one try, bounded by the stage's deadline";
  const std::string log = pd.TodayLog();
  EXPECT_EQ(log.find("Skipped"), std::string::npos) << log;
  std::vector<std::string> lines = AccountLines(log);
  ASSERT_EQ(lines.size(), 4u) << log;
  const std::string timedOut = "FTP Download Failed Error: TIMEOUT Domain/IP: " + server.server();
  for (size_t run = 0; run < 2; ++run) {
    ExpectLogLine(lines[2 * run], "00001", "trickle",
                  "FTP Upload OK Passed Time: #sec Domain/IP: " + server.server());
    ExpectLogLine(lines[2 * run + 1], "-0906", "trickle", timedOut);
  }
  EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kFtpTransfer, "trickle").failCount, 2);
  EXPECT_FALSE(platform::PathExists(pd / "samplerc.dat")) << "a failed download leaves no file";
}

}  // namespace
