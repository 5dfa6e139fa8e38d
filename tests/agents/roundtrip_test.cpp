// RoundTripSentry from its own bin folder against aiosmtpd delivering into Maildirs that a
// private dovecot serves over POP3, all on loopback: the launch per account, the two
// stages and their lines, the state files, the Down/Up alerts, and the console's view.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "agents/roundtrip/launcher.h"
#include "agents/roundtrip/param_file.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "console/account_form.h"
#include "console/scheduler.h"
#include "console/status_cells.h"
#include "log_lines.h"
#include "mail_servers.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/lock.h"
#include "secure_pop3.h"
#include "support/cert_authority.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using mailtest::Dovecot;
using mailtest::MaildirSmtp;
using testkit::ProgramDir;

constexpr const char* kPassword = "Pop-Test-3xK";

using testkit::AccountLines;
using testkit::ExpectLogLine;
using testkit::LogLines;
using testkit::WordAt;

void ExpectStateFile(const ProgramDir& pd, int n, uint32_t down) {
  const std::string state = pd.Read("emailPara.dat" + std::to_string(n));
  ASSERT_EQ(state.size(), 24u) << n;
  EXPECT_EQ(WordAt(state, 0), 0u);
  EXPECT_EQ(WordAt(state, 4), 0u);
  EXPECT_EQ(WordAt(state, 20), down);
}

std::vector<std::string> ParamFiles(const ProgramDir& pd) {
  std::vector<std::string> out;
  for (const std::string& name : platform::ListFiles(pd / "temp"))
    if (name.rfind("EML", 0) == 0) out.push_back(name);
  return out;
}

// Every account run of a launch has ended once its parameter file is gone.
bool WaitForRuns(const ProgramDir& pd, int seconds = 120) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ParamFiles(pd).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int LaunchEmail(ProgramDir& pd, long n = 1) {
  const int rc = pd.RunAgent("RoundTripSentry", n);
  EXPECT_TRUE(WaitForRuns(pd)) << "the account runs did not end";
  return rc;
}

// Runs the account `name` of `pd` as a launch would, from a parameter file, to its end.
void RunOneAccount(const ProgramDir& pd, const std::string& name, int stateNumber) {
  const std::string key = common::HexKey(name);
  roundtrip::Params p;
  p.fullRun = true;
  p.accountPath = common::AccountPath(pd.dir(), key);
  p.statusPath = common::StatusPath(pd.dir(), StatusFolder::kEmail, key);
  p.accountFile = key;
  p.logDir = pd / "Log";
  p.baseDir = pd.dir();
  p.statePath = pd / ("emailPara.dat" + std::to_string(stateNumber));
  p.mailboxDir = pd / "Mailbox";
  p.mailLogDir = pd / "RelayKitLog";
  const std::vector<char> bytes = roundtrip::EncodeParams(p);
  const std::string param = pd / ("temp/EMLone-" + key);
  testsupport::WriteFile(param, std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(testkit::RunProgram(pd.bin() + "/RoundTripSentry", {param}), 0);
}

// The account lines of `name` in today's log.
std::vector<std::string> LinesOf(const ProgramDir& pd, const std::string& name) {
  std::vector<std::string> out;
  for (const std::string& line : AccountLines(pd.TodayLog()))
    if (line.find(" " + name + " ") != std::string::npos) out.push_back(line);
  return out;
}

// Waits until today's log holds `text` `count` times.
bool WaitForLog(const ProgramDir& pd, const std::string& text, int count, int seconds = 60) {
  for (int i = 0; i < seconds * 10; ++i) {
    const std::string log = pd.TodayLog();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    if (n >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

common::AccountFile MailAccount(const std::string& name, int smtpPort, int popPort,
                                const std::string& user, const std::string& password,
                                int waitSeconds = 60) {
  common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
  common::AccountRecord& r = a.record;
  r.type = common::kEmail;
  r.isEmail = 1;
  common::SetField(r.popServer, "127.0.0.1");
  r.smtpPort = static_cast<uint32_t>(smtpPort);
  r.popPort = static_cast<uint32_t>(popPort);
  r.smtpPortTimeout = 5;
  r.popPortTimeout = 5;
  r.sendReceiveTimeout = static_cast<uint16_t>(waitSeconds);
  common::SetField(r.testRecipient, user + "@test.local");
  common::SetField(r.popUser, user);
  common::SetField(r.popPassword, password);
  r.mailToGlobal = 1;
  r.useGlobalMailTemplates = 1;
  return a;
}

void Rewrite(const ProgramDir& pd, const common::AccountFile& account) {
  common::WriteAccount(common::AccountPath(pd.dir(), common::FieldText(account.record.key)),
                       account);
}

// The test message's sender, and alert mails to a stand-in mail server on port 25 of
// `address` (nullptr when that port cannot be had).
std::unique_ptr<testkit::LineServer> Alerts(const ProgramDir& pd, const std::string& address) {
  common::AlertFile alert;
  common::SetField(alert.settings.fromAddress, "monitor@test.local");
  alert.toAddresses = "ops@test.local";
  alert.downSubject = "%S %C down";
  alert.downBody = "%S (%I): %E";
  alert.upSubject = "%S %C up";
  alert.upBody = "%S is back";
  std::unique_ptr<testkit::LineServer> server;
  if (!address.empty()) {
    server = std::make_unique<testkit::LineServer>("220 ready\r\n", false, address, 25);
    if (!server->ok()) server.reset();
    if (server) common::SetField(alert.settings.primaryServer, address);
  }
  common::WriteAlert(pd.dir(), alert);
  return server;
}

std::string JobSubject(const std::string& job) {
  const uint32_t offset = WordAt(job, 64), length = WordAt(job, 68);
  return length > 0 && offset + length <= job.size() ? job.substr(offset, length - 1) : "<bad>";
}

class RoundTripTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pop_.ok()) GTEST_SKIP() << pop_.skipReason();
    ASSERT_TRUE(smtp_.ok()) << "aiosmtpd (python3-aiosmtpd) did not start";
    testkit::SetLogging(pd_, common::kGroupEmail, true, true);
    ::setenv("VARN_ROUNDTRIP_TEST_PAUSE_MS", "1000", 1);
  }

  Dovecot pop_{{{"alice", kPassword}, {"bob", kPassword}, {"carol", kPassword}}};
  MaildirSmtp smtp_{pop_};
  ProgramDir pd_;
};

TEST_F(RoundTripTest, SentFoundAndDeleted) {
  Alerts(pd_, "");
  // Someone else's mail in the mailbox is kept, in the mailbox folder.
  pop_.Deliver("alice", "Message-ID: <foreign@h>\r\nSubject: not ours\r\n\r\nhello\r\n");
  testkit::AddAccount(pd_, MailAccount("mail1", smtp_.port(), pop_.port(), "alice", kPassword),
                      StatusFolder::kEmail);
  ASSERT_EQ(LaunchEmail(pd_), 0);

  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 2u) << pd_.TodayLog();
  ExpectLogLine(lines[0], "00001", "mail1", "Mail Send OK Domain/IP: 127.0.0.1");
  ExpectLogLine(lines[1], "00001", "mail1",
                "Mail Receive OK Passed Time: #sec Domain/IP: 127.0.0.1");
  EXPECT_EQ(pd_.TodayLog().find(kPassword), std::string::npos);
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kEmail, "mail1");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.checking, 0);
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  ExpectStateFile(pd_, 0, 0);
  EXPECT_EQ(pop_.MessageCount("alice"), 0) << "fetched messages are deleted on the server";
  EXPECT_EQ(platform::ListFiles(pd_ / "Mailbox"), std::vector<std::string>{"foreignh.eml"});
  EXPECT_TRUE(platform::ListDirs(pd_ / "Mailbox").empty()) << "the account's folder is removed";
  EXPECT_FALSE(platform::PathExists(pd_ / "temp/emailscan.err"));
}

// Failures of the send stage end the run; the receive stage is not tried.
TEST_F(RoundTripTest, SendFailures) {
  Alerts(pd_, "");
  mailtest::SmtpOptions login;
  login.user = "sender";
  login.password = "right";
  MaildirSmtp authSmtp(pop_, login);
  ASSERT_TRUE(authSmtp.ok());
  struct Case {
    const char* name;
    int smtpPort;
    const char* smtpPassword;
    const char* code;
    const char* text;
  };
  const Case cases[] = {
      {"nobody listens", mailtest::FreePort(), "", "-0902",
       "Mail Send Failed Error: CONNECT Domain/IP: 127.0.0.1"},
      {"wrong login", authSmtp.port(), "wrong", "-0911",
       "SMTP Auth Failed Error: SMTP_AUTHFAILED Domain/IP: 127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramDir pd;
    Alerts(pd, "");
    testkit::SetLogging(pd, common::kGroupEmail, true, true);
    common::AccountFile a = MailAccount("mail2", c.smtpPort, pop_.port(), "bob", kPassword);
    common::SetField(a.record.smtpUser, "sender");
    common::SetField(a.record.smtpPassword, c.smtpPassword);
    testkit::AddAccount(pd, a, StatusFolder::kEmail);
    ASSERT_EQ(LaunchEmail(pd), 0);
    std::vector<std::string> lines = AccountLines(pd.TodayLog());
    ASSERT_EQ(lines.size(), 1u) << pd.TodayLog();
    ExpectLogLine(lines[0], c.code, "mail2", c.text);
    EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kEmail, "mail2").failCount, 1);
    const std::string key = common::HexKey("mail2");
    EXPECT_EQ(pd.Read("temp/emailscan.err"),
              pd / ("AllData/" + key) + "," + pd / ("EmailData/" + key) + "," + key + "\r\n");
  }
}

// A server that knows the mechanism only in upper case (aiosmtpd as it comes) takes the
// login.
TEST_F(RoundTripTest, SendsThroughALogin) {
  Alerts(pd_, "");
  mailtest::SmtpOptions login;
  login.user = "sender";
  login.password = "right";
  MaildirSmtp authSmtp(pop_, login);
  ASSERT_TRUE(authSmtp.ok());
  common::AccountFile a = MailAccount("signed", authSmtp.port(), pop_.port(), "bob", kPassword);
  common::SetField(a.record.smtpUser, "sender");
  common::SetField(a.record.smtpPassword, "right");
  testkit::AddAccount(pd_, a, StatusFolder::kEmail);
  ASSERT_EQ(LaunchEmail(pd_), 0);
  const std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 2u) << pd_.TodayLog();
  ExpectLogLine(lines[0], "00001", "signed", "Mail Send OK Domain/IP: 127.0.0.1");
  EXPECT_NE(lines[1].find("Mail Receive OK"), std::string::npos) << lines[1];
}

TEST_F(RoundTripTest, WrongPopPassword) {
  Alerts(pd_, "");
  testkit::AddAccount(pd_, MailAccount("mail3", smtp_.port(), pop_.port(), "carol", "nope"),
                      StatusFolder::kEmail);
  ASSERT_EQ(LaunchEmail(pd_), 0);
  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 2u) << pd_.TodayLog();
  ExpectLogLine(lines[1], "-0017", "mail3",
                "POP Auth Failed Error: POP3_AUTHFAILED Domain/IP: 127.0.0.1");
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "mail3").failCount, 1);
  ExpectStateFile(pd_, 0, 0);
}

// A refused POP3 login fails the receive although another account, polling the same
// mailbox meanwhile, fetched this run's test message and kept it in the mailbox folder:
// only the account's own fetch can find its message.
TEST_F(RoundTripTest, RefusedLoginIsNotPassedByAnotherAccountsCopy) {
  Alerts(pd_, "");
  pd_.AddProgram("RoundTripSentry");
  // A POP3 server that refuses the password after a while, so that the other account's
  // polls have fetched the message by then.
  mailtest::ScriptedPop3 refusing([](int fd, const mailtest::ScriptedPop3& s) {
    mailtest::Send(fd, "+OK ready\r\n");
    if (mailtest::ReadCommand(fd, s).rfind("USER ", 0) != 0 || !mailtest::Send(fd, "+OK\r\n"))
      return;
    if (mailtest::ReadCommand(fd, s).rfind("PASS ", 0) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    mailtest::Send(fd, "-ERR [AUTH] Authentication failed.\r\n");
  });
  mailtest::SmtpOptions drop;
  drop.drop = true;
  MaildirSmtp dropping(pop_, drop);
  ASSERT_TRUE(dropping.ok());
  // "poller" polls alice's mailbox for its whole waiting time; its own message never comes.
  testkit::AddAccount(pd_,
                      MailAccount("poller", dropping.port(), pop_.port(), "alice", kPassword, 25),
                      StatusFolder::kEmail);
  common::AccountFile broken = MailAccount("broken", smtp_.port(), refusing.port(), "alice", "x");
  testkit::AddAccount(pd_, broken, StatusFolder::kEmail);
  std::thread poller([&] { RunOneAccount(pd_, "poller", 0); });
  ASSERT_TRUE(WaitForLog(pd_, "Mail Send OK", 1));
  RunOneAccount(pd_, "broken", 1);
  poller.join();

  const std::vector<std::string> lines = LinesOf(pd_, "broken");
  ASSERT_EQ(lines.size(), 2u) << pd_.TodayLog();
  ExpectLogLine(lines[1], "-0017", "broken",
                "POP Auth Failed Error: POP3_AUTHFAILED Domain/IP: 127.0.0.1");
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "broken").failCount, 1);
  // The copy the poller fetched is kept, not taken as the broken account's success.
  int kept = 0;
  for (const std::string& name : platform::ListFiles(pd_ / "Mailbox"))
    kept += pd_.Read("Mailbox/" + name).find("KT.Varnock POP Checking ID: ") != std::string::npos;
  EXPECT_EQ(kept, 1) << pd_.TodayLog();
}

// The message never comes back: the waiting time runs out (Failing), the next run is the
// second failure in a row (Down, one Down mail), and a working server brings it Up.
TEST_F(RoundTripTest, NeverArrivesThenDownThenUp) {
  auto mail = Alerts(pd_, "127.0.79.11");
  if (!mail) GTEST_SKIP() << "cannot listen on 127.0.79.11:25";
  mailtest::SmtpOptions drop;
  drop.drop = true;
  MaildirSmtp dropping(pop_, drop);
  ASSERT_TRUE(dropping.ok());
  common::AccountFile account =
      MailAccount("mail4", dropping.port(), pop_.port(), "alice", kPassword, 12);
  testkit::AddAccount(pd_, account, StatusFolder::kEmail);
  const std::string notReceived =
      "Mail Receive Failed Error: Not Received from SMTP   Passed Time: #secTIMEOUT Domain/IP: "
      "127.0.0.1";

  ASSERT_EQ(LaunchEmail(pd_), 0);
  std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 2u) << pd_.TodayLog();
  ExpectLogLine(lines[1], "-0906", "mail4", notReceived);
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kEmail, "mail4");
  EXPECT_EQ(s.failCount, 1);
  EXPECT_EQ(s.errorDetected[0], '\0');
  ExpectStateFile(pd_, 0, 0);
  EXPECT_TRUE(pd_.Calls("VarnPost").empty());

  ASSERT_EQ(LaunchEmail(pd_), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kEmail, "mail4");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(std::strlen(s.errorDetected), 14u);
  ExpectStateFile(pd_, 0, 1);
  std::vector<ProgramDir::Call> mails = pd_.WaitForCalls("VarnPost", 1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(JobSubject(mails[0].file), "mail4 POP Receive down");

  account.record.smtpPort = static_cast<uint32_t>(smtp_.port());
  Rewrite(pd_, account);
  ASSERT_EQ(LaunchEmail(pd_), 0);
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "mail4").failCount, 0);
  ExpectStateFile(pd_, 0, 0);
  mails = pd_.WaitForCalls("VarnPost", 2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(pd_.Calls("VarnPost").size(), 2u) << "one Down and one Up mail";
  int ups = 0;
  for (const ProgramDir::Call& call : mails) ups += JobSubject(call.file) == "mail4 POP Receive up";
  EXPECT_EQ(ups, 1);
}

// A second start for an account whose run is going on writes one "[Skipped]" line and
// deletes its own parameter file; a parameter file without the account texts is deleted
// without a line.
TEST(RoundTripSentryGuard, SecondStartIsSkipped) {
  ProgramDir pd;
  pd.AddProgram("RoundTripSentry");
  const std::string key = common::HexKey("busy");
  platform::FileLock held;
  ASSERT_TRUE(held.TryAcquire(platform::NamedLockPath(pd.dir(), "RoundTripSentryOne" + key)));
  roundtrip::Params p;
  p.accountPath = pd / ("AllData/" + key);
  p.statusPath = pd / ("EmailData/" + key);
  p.accountFile = key;
  p.baseDir = pd.dir();
  p.statePath = pd / "emailPara.dat0";
  const std::vector<char> bytes = roundtrip::EncodeParams(p);
  const std::string param = pd / "temp/EMLguard.tmp";
  testsupport::WriteFile(param, std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(testkit::RunProgram(pd.bin() + "/RoundTripSentry", {param}), 0);
  EXPECT_FALSE(platform::PathExists(param));
  const std::vector<std::string> lines = LogLines(pd.TodayLog());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[Skipped]"), std::string::npos);
  EXPECT_EQ(lines[0].substr(92), " Email Scan Process Skipped: " + key);
  EXPECT_FALSE(platform::PathExists(pd / "emailPara.dat0"));

  testsupport::WriteFile(param, std::string(bytes.begin(), bytes.begin() + 300));
  ASSERT_EQ(testkit::RunProgram(pd.bin() + "/RoundTripSentry", {param}), 0);
  EXPECT_FALSE(platform::PathExists(param));
  EXPECT_EQ(LogLines(pd.TodayLog()).size(), 1u);
}

TEST(RoundTripParamFile, FieldsAtTheirOffsets) {
  roundtrip::Params p;
  p.firstRun = true;
  p.fullRun = false;
  p.accountPath = "/d/AllData/6b";
  p.statusPath = "/d/EmailData/6b";
  p.accountFile = "6b";
  p.logDir = "/d/Log";
  p.baseDir = "/d";
  p.statePath = "/d/emailPara.dat3";
  p.mailboxDir = "/d/Mailbox";
  p.mailLogDir = "/d/RelayKitLog";
  const std::vector<char> b = roundtrip::EncodeParams(p);
  ASSERT_EQ(b.size(), 2502u);
  const std::string image(b.begin(), b.end());
  EXPECT_EQ(WordAt(image, 0), 0u);
  EXPECT_EQ(WordAt(image, 4), 1u);
  EXPECT_EQ(WordAt(image, 8), 0u);
  const struct {
    size_t offset;
    const char* text;
  } fields[] = {{12, "/d/AllData/6b"}, {272, "/d/EmailData/6b"},
                {532, "6b"},           {682, "/d/Log"},
                {942, "/d"},           {1202, "/d/emailPara.dat3"},
                {1722, "/d/Mailbox"},  {2242, "/d/RelayKitLog"}};
  for (const auto& f : fields) EXPECT_STREQ(image.c_str() + f.offset, f.text) << f.offset;
  // A short file: the fields not read whole are empty.
  const roundtrip::Params cut = roundtrip::DecodeParams(b.data(), 700);
  EXPECT_TRUE(cut.firstRun);
  EXPECT_EQ(cut.accountFile, "6b");
  EXPECT_EQ(cut.logDir, "");
  EXPECT_EQ(cut.baseDir, "");
  // A text that fills its field is cut, never run into the next one.
  p.accountFile = std::string(400, 'k');
  const std::vector<char> full = roundtrip::EncodeParams(p);
  EXPECT_EQ(roundtrip::DecodeParams(full.data(), full.size()).accountFile, std::string(149, 'k'));
}

// The console's EMAIL group: one launch, one run per account, every parameter file gone,
// the numbered state files read by the console's poll, every lamp green.
TEST_F(RoundTripTest, OneLaunchThreeAccounts) {
  Alerts(pd_, "");
  pd_.AddProgram("RoundTripSentry");
  for (const char* user : {"alice", "bob", "carol"}) {
    testkit::AddAccount(
        pd_, MailAccount(std::string("box-") + user, smtp_.port(), pop_.port(), user, kPassword),
        StatusFolder::kEmail);
  }
  console::Scheduler scheduler(
      pd_.dir(), pd_.bin(), [&](const std::string& program, const std::vector<std::string>& args) {
        return testkit::RunProgram(program, args) == 0;
      });
  scheduler.schedule().groupOn[common::kGroupEmail] = 1;
  ASSERT_EQ(scheduler.LaunchGroup(common::kGroupEmail, 1), 1);
  ASSERT_TRUE(WaitForRuns(pd_));
  EXPECT_TRUE(ParamFiles(pd_).empty());
  const std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  EXPECT_EQ(lines.size(), 6u) << pd_.TodayLog();
  int received = 0;
  for (const std::string& line : lines)
    received += line.find("Mail Receive OK") != std::string::npos;
  EXPECT_EQ(received, 3);
  for (int n = 0; n < 3; ++n) ExpectStateFile(pd_, n, 0);
  for (const char* user : {"alice", "bob", "carol"}) {
    const common::CheckStatus s =
        testkit::ReadStatus(pd_, StatusFolder::kEmail, std::string("box-") + user);
    EXPECT_EQ(s.failCount, 0) << user;
    EXPECT_EQ(std::strlen(s.lastCheck), 14u) << user;
    EXPECT_EQ(console::LampOf(s), console::Lamp::kGreen) << user;
  }
  scheduler.ReadScanStates(common::CountFiles(pd_ / "EmailData"));
  EXPECT_FALSE(scheduler.Flags(common::kGroupEmail).busy);
  EXPECT_FALSE(scheduler.Flags(common::kGroupEmail).down);
}

// A re-check run (n = 0) takes the retry file and runs only the accounts listed there; an
// account whose round trip is switched off sends nothing and writes nothing.
TEST_F(RoundTripTest, RecheckRunTakesOnlyTheListedAccounts) {
  Alerts(pd_, "");
  testkit::AddAccount(pd_, MailAccount("good", smtp_.port(), pop_.port(), "alice", kPassword),
                      StatusFolder::kEmail);
  testkit::AddAccount(pd_, MailAccount("bad", smtp_.port(), pop_.port(), "bob", "wrong"),
                      StatusFolder::kEmail);
  common::AccountFile off = MailAccount("off", smtp_.port(), pop_.port(), "carol", kPassword);
  off.record.isEmail = 0;
  testkit::AddAccount(pd_, off, StatusFolder::kEmail);

  ASSERT_EQ(LaunchEmail(pd_, 1), 0);
  EXPECT_EQ(AccountLines(pd_.TodayLog()).size(), 4u) << pd_.TodayLog();
  const std::string key = common::HexKey("bad");
  EXPECT_EQ(pd_.Read("temp/emailscan.err"),
            pd_ / ("AllData/" + key) + "," + pd_ / ("EmailData/" + key) + "," + key + "\r\n");
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "off").lastCheck[0], '\0');

  ASSERT_EQ(LaunchEmail(pd_, 0), 0);
  const std::vector<std::string> lines = AccountLines(pd_.TodayLog());
  ASSERT_EQ(lines.size(), 6u) << pd_.TodayLog();
  EXPECT_NE(lines[4].find("bad "), std::string::npos) << lines[4];
  EXPECT_NE(lines[5].find("POP Auth Failed Error"), std::string::npos) << lines[5];
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "bad").failCount, 2);
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kEmail, "good").failCount, 0);
  // Its own failure listed it again for the next re-check.
  EXPECT_TRUE(platform::PathExists(pd_ / "temp/emailscan.err"));
}

// Two accounts on one POP3 mailbox are launched together: their round trips take turns
// on the mailbox, so neither fetches (and deletes) the other's test message, and each
// finds its own.
TEST_F(RoundTripTest, TwoAccountsOnOneMailbox) {
  Alerts(pd_, "");
  for (const char* name : {"shared-1", "shared-2"}) {
    testkit::AddAccount(pd_, MailAccount(name, smtp_.port(), pop_.port(), "bob", kPassword),
                        StatusFolder::kEmail);
  }
  ASSERT_EQ(LaunchEmail(pd_), 0);
  int received = 0;
  for (const std::string& line : AccountLines(pd_.TodayLog()))
    received += line.find("Mail Receive OK") != std::string::npos;
  EXPECT_EQ(received, 2) << pd_.TodayLog();
  EXPECT_TRUE(platform::ListFiles(pd_ / "Mailbox").empty()) << "no test message of the other";
  EXPECT_TRUE(platform::ListDirs(pd_ / "Mailbox").empty());
}

// An Email Send/Receive account as the console's dialog makes it (SMTP on 25, POP3 on 110)
// turns green against the local servers, and red with one Down mail once the POP3 server
// is stopped.
TEST(RoundTripFromTheConsole, DialogAccountGreenThenRed) {
  const std::string address = "127.0.79.21";
  auto pop = std::make_unique<Dovecot>(std::vector<mailtest::MailUser>{{"watch", kPassword}},
                                       address, 110);
  if (!pop->ok()) GTEST_SKIP() << pop->skipReason();
  mailtest::SmtpOptions options;
  options.address = address;
  options.port = 25;
  MaildirSmtp smtp(*pop, options);
  if (!smtp.ok()) GTEST_SKIP() << "cannot listen on " << address << ":25";
  ProgramDir pd;
  pd.AddProgram("RoundTripSentry");
  auto alerts = Alerts(pd, "127.0.79.22");
  if (!alerts) GTEST_SKIP() << "cannot listen on 127.0.79.22:25";
  testkit::SetLogging(pd, common::kGroupEmail, true, true);

  console::AccountForm form;
  form.type = common::kEmail;
  form.name = "mail service";
  form.domain = address;
  form.popServer = address;
  form.ping = false;
  form.testRecipient = "watch@test.local";
  form.popUser = "watch";
  form.popPassword = kPassword;
  form.emailTimeout = "60";
  ASSERT_EQ(console::ValidateAccountForm(form, nullptr).key, "");
  const common::AccountFile account =
      console::BuildAccount(form, pd.dir(), common::ReadAlert(pd.dir()), nullptr);
  const std::string key = common::FieldText(account.record.key);
  ASSERT_TRUE(common::WriteAccount(common::AccountPath(pd.dir(), key), account));
  common::RegisterAccountChecks(pd.dir(), account.record);
  ASSERT_TRUE(platform::IsRegularFile(pd / ("EmailData/" + key)));

  console::Scheduler scheduler(
      pd.dir(), pd.bin(), [&](const std::string& program, const std::vector<std::string>& args) {
        return testkit::RunProgram(program, args) == 0;
      });
  scheduler.schedule().groupOn[common::kGroupEmail] = 1;
  ASSERT_EQ(scheduler.LaunchGroup(common::kGroupEmail, 1), 1);
  ASSERT_TRUE(WaitForRuns(pd));
  common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kEmail, "mail service");
  EXPECT_EQ(s.failCount, 0) << pd.TodayLog();
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  EXPECT_EQ(console::LampOf(s), console::Lamp::kGreen);
  scheduler.ReadScanStates(1);
  EXPECT_FALSE(scheduler.Flags(common::kGroupEmail).down);

  pop->Stop();
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(scheduler.LaunchGroup(common::kGroupEmail, 1), 1);
    ASSERT_TRUE(WaitForRuns(pd));
  }
  s = testkit::ReadStatus(pd, StatusFolder::kEmail, "mail service");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(console::LampOf(s), console::Lamp::kRed);
  scheduler.ReadScanStates(1);
  EXPECT_TRUE(scheduler.Flags(common::kGroupEmail).down);
  const std::vector<std::string> lines = AccountLines(pd.TodayLog());
  ASSERT_FALSE(lines.empty());
  ExpectLogLine(lines.back(), "-0902", "mail service",
                "Mail Receive Failed Error: CONNECT Domain/IP: " + address);
  EXPECT_EQ(pd.WaitForCalls("VarnPost", 1).size(), 1u);
  EXPECT_EQ(pd.Calls("VarnPost").size(), 1u) << "one Down mail";
}

// One account whose message never comes holds back nobody but itself: while its run waits,
// the next launch checks the healthy account again and skips only the slow one, naming it.
TEST_F(RoundTripTest, ASlowAccountHoldsBackOnlyItself) {
  Alerts(pd_, "");
  mailtest::SmtpOptions drop;
  drop.drop = true;
  MaildirSmtp dropping(pop_, drop);
  ASSERT_TRUE(dropping.ok());
  testkit::AddAccount(pd_, MailAccount("slow", dropping.port(), pop_.port(), "bob", kPassword, 40),
                      StatusFolder::kEmail);
  testkit::AddAccount(pd_, MailAccount("healthy", smtp_.port(), pop_.port(), "alice", kPassword),
                      StatusFolder::kEmail);
  std::thread first([&] { EXPECT_EQ(pd_.RunAgent("RoundTripSentry", 1), 0); });
  ASSERT_TRUE(WaitForLog(pd_, "Mail Receive OK", 1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pd_.RunAgent("RoundTripSentry", 1), 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::vector<std::string> healthy = LinesOf(pd_, "healthy");
  const std::vector<std::string> slowSoFar = LinesOf(pd_, "slow");
  first.join();
  ASSERT_EQ(healthy.size(), 4u) << pd_.TodayLog();
  EXPECT_NE(healthy[3].find("Mail Receive OK"), std::string::npos) << healthy[3];
  EXPECT_EQ(slowSoFar.size(), 1u) << "the slow run was still waiting: " << pd_.TodayLog();
  EXPECT_LT(seconds, 25.0) << "the second launch waited for the slow account";
  RecordProperty("second_launch_ms", static_cast<int>(seconds * 1000));
  const std::vector<std::string> lines = LogLines(pd_.TodayLog());
  const std::string skipped = " Email Scan Process Skipped: " + common::HexKey("slow");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) {
                            return l.find("[Skipped]") != std::string::npos &&
                                   l.substr(92) == skipped;
                          }),
            1)
      << pd_.TodayLog();
  ExpectLogLine(LinesOf(pd_, "slow").back(), "-0906", "slow",
                "Mail Receive Failed Error: Not Received from SMTP   Passed Time: #secTIMEOUT "
                "Domain/IP: 127.0.0.1");
}

// The launch keeps at most the bound of account runs going at once, writes each its private
// parameter file, leaves none behind, and starts every account whose own run is not going.
TEST(RoundTripLaunch, BoundedRunsAndBusyAccountsSkipped) {
  ProgramDir pd;
  platform::MakeDirs(pd / "EmailData");
  for (int i = 0; i < 10; ++i) {
    testsupport::WriteFile(pd / ("EmailData/" + common::HexKey("mail" + std::to_string(i))), "");
  }
  struct Case {
    size_t parallel;
  } cases[] = {{1}, {3}, {64}};
  for (const Case& c : cases) {
    std::mutex mutex;
    int inFlight = 0, most = 0;
    std::vector<std::string> states;  // the state file of each run, in the order started
    const auto runner = [&](const std::string& program, const std::vector<std::string>& args) {
      EXPECT_EQ(program, "/bin/RoundTripSentry");
      EXPECT_EQ(args.size(), 1u);
      struct stat st {};
      EXPECT_EQ(::stat(args[0].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file names a mailbox";
      const roundtrip::Params params = roundtrip::ReadParamFile(args[0]);
      {
        std::lock_guard<std::mutex> lock(mutex);
        most = std::max(most, ++inFlight);
        states.push_back(params.statePath.substr(params.statePath.rfind('/') + 1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      std::lock_guard<std::mutex> lock(mutex);
      --inFlight;
      return true;  // a run killed on its way: its parameter file is still there
    };
    EXPECT_EQ(roundtrip::LaunchAccounts(pd.dir(), 1, "/bin/RoundTripSentry", c.parallel, runner),
              10);
    EXPECT_LE(most, static_cast<int>(c.parallel));
    EXPECT_GE(most, std::min(2, static_cast<int>(c.parallel)));
    ASSERT_EQ(states.size(), 10u);
    if (c.parallel == 1) {
      for (int i = 0; i < 10; ++i) EXPECT_EQ(states[i], "emailPara.dat" + std::to_string(i));
    }
    EXPECT_TRUE(ParamFiles(pd).empty()) << "parallel " << c.parallel;
  }

  // While an account's own run goes on, a launch (full or re-check, with an earlier
  // launcher's guard still held) starts all the others and skips that one, naming it.
  const std::string busy = common::HexKey("mail3");
  platform::FileLock previous, running;
  ASSERT_TRUE(previous.TryAcquire(platform::NamedLockPath(pd.dir(), "RoundTripSentry1")));
  ASSERT_TRUE(running.TryAcquire(platform::NamedLockPath(pd.dir(), "RoundTripSentryOne" + busy)));
  std::mutex mutex;
  std::vector<std::string> started;
  const auto recording = [&](const std::string&, const std::vector<std::string>& args) {
    std::lock_guard<std::mutex> lock(mutex);
    started.push_back(roundtrip::ReadParamFile(args[0]).accountFile);
    return true;
  };
  EXPECT_EQ(roundtrip::LaunchAccounts(pd.dir(), 1, "/bin/RoundTripSentry", 4, recording), 9);
  EXPECT_EQ(std::count(started.begin(), started.end(), busy), 0);
  testsupport::WriteFile(
      pd / "temp/emailscan.err",
      pd / ("AllData/" + busy) + "," + pd / ("EmailData/" + busy) + "," + busy + "\r\n");
  EXPECT_EQ(roundtrip::LaunchAccounts(pd.dir(), 0, "/bin/RoundTripSentry", 4, recording), 0);
  int skippedLines = 0;
  for (const std::string& line : LogLines(pd.TodayLog()))
    skippedLines += line.find("[Skipped]") != std::string::npos &&
                    line.substr(92) == " Email Scan Process Skipped: " + busy;
  EXPECT_EQ(skippedLines, 2) << pd.TodayLog();
  running.Release();
  previous.Release();

  // A run that cannot be started leaves no parameter file and a line for its account.
  const auto failing = [](const std::string&, const std::vector<std::string>&) { return false; };
  EXPECT_EQ(roundtrip::LaunchAccounts(pd.dir(), 1, "/bin/RoundTripSentry", 4, failing), 0);
  EXPECT_TRUE(ParamFiles(pd).empty());
  EXPECT_NE(pd.TodayLog().find("Email Scan Process Not Started: " + common::HexKey("mail7")),
            std::string::npos);
}

// Secure accounts (side file SECURE=1): the test message goes through an aiosmtpd that
// requires STARTTLS and comes back from a dovecot that requires STLS, both with a certificate
// of a test authority trusted through TLSCAFILE. A mailbox server that refuses STLS never
// hears the user name or password. A plain account beside them gets the lines it always got.
TEST(SecureRoundTrip, StartTlsBothWaysRefusedStlsAndThePlainAccountBeside) {
  testsupport::CertAuthority ca;
  if (!ca.ok()) GTEST_SKIP() << ca.skipReason();
  const testsupport::IssuedCert cert = ca.Issue("mail");
  ASSERT_FALSE(cert.certFile.empty());
  mailtest::SecureDovecot securePop({{"alice", kPassword}, {"bob", kPassword}}, cert.certFile,
                                    cert.keyFile);
  if (!securePop.ok()) GTEST_SKIP() << securePop.skipReason();
  mailtest::SmtpOptions tls;
  tls.certFile = cert.certFile;
  tls.keyFile = cert.keyFile;
  MaildirSmtp secureSmtp(securePop.mailRoot(), securePop.owner(), tls);
  ASSERT_TRUE(secureSmtp.ok()) << "aiosmtpd with STARTTLS did not start";
  Dovecot plainPop(std::vector<mailtest::MailUser>{{"carol", kPassword}});
  ASSERT_TRUE(plainPop.ok()) << plainPop.skipReason();
  MaildirSmtp plainSmtp(plainPop);
  ASSERT_TRUE(plainSmtp.ok());
  std::mutex heardMutex;
  std::string heard;
  mailtest::ScriptedPop3 refusing([&](int fd, const mailtest::ScriptedPop3& server) {
    mailtest::Send(fd, "+OK ready\r\n");
    for (std::string line; !(line = mailtest::ReadCommand(fd, server)).empty();) {
      {
        std::lock_guard<std::mutex> lock(heardMutex);
        heard += line + "\n";
      }
      mailtest::Send(fd, line == "QUIT" ? "+OK bye\r\n" : "-ERR not here\r\n");
      if (line == "QUIT") return;
    }
  });

  ProgramDir pd;
  Alerts(pd, "");
  testkit::SetLogging(pd, common::kGroupEmail, true, true);
  ::setenv("VARN_ROUNDTRIP_TEST_PAUSE_MS", "1000", 1);
  platform::IniSetString(common::IniPath(pd.dir()), "PROGRAM", "TLSCAFILE", ca.caFile());
  const auto add = [&](const std::string& name, int smtpPort, int popPort, const char* user,
                       const char* options) {
    testkit::AddAccount(pd, MailAccount(name, smtpPort, popPort, user, kPassword, 30),
                        StatusFolder::kEmail);
    if (options[0] != '\0') {
      testsupport::WriteFile(common::AccountOptionsPath(pd.dir(), common::HexKey(name)),
                             std::string("[ACCOUNT]\n") + options);
    }
  };
  add("secure", secureSmtp.port(), securePop.stlsPort(), "alice", "SECURE=1\n");
  add("stls refused", secureSmtp.port(), refusing.port(), "bob", "SECURE=1\n");
  add("plain", plainSmtp.port(), plainPop.port(), "carol", "");
  ASSERT_EQ(LaunchEmail(pd), 0);

  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> lines;  // code, text
    int failCount;
  } cases[] = {
      {"secure",
       {{"00001", "Mail Send OK Domain/IP: 127.0.0.1"},
        {"00001", "Mail Receive OK Passed Time: #sec Domain/IP: 127.0.0.1"}},
       0},
      {"stls refused",
       {{"00001", "Mail Send OK Domain/IP: 127.0.0.1"},
        {"-0925", "Mail Receive Failed Error: TLS_REFUSED Domain/IP: 127.0.0.1"}},
       1},
      {"plain",
       {{"00001", "Mail Send OK Domain/IP: 127.0.0.1"},
        {"00001", "Mail Receive OK Passed Time: #sec Domain/IP: 127.0.0.1"}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> lines = LinesOf(pd, c.name);
    ASSERT_EQ(lines.size(), c.lines.size()) << pd.TodayLog();
    for (size_t i = 0; i < c.lines.size(); ++i)
      ExpectLogLine(lines[i], c.lines[i].first, c.name, c.lines[i].second);
    EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kEmail, c.name).failCount, c.failCount);
  }
  EXPECT_EQ(securePop.MessageCount("alice"), 0) << "the secure fetch deleted its message";
  std::lock_guard<std::mutex> lock(heardMutex);
  EXPECT_NE(heard.find("STLS\n"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("USER"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("PASS"), std::string::npos) << heard;
  EXPECT_EQ(heard.find(kPassword), std::string::npos) << heard;
}

}  // namespace
