// Alerts held behind a parent account and grouped into digests: the real agents queue them,
// AlertDesk sends them through the real mail sender to an SMTP server on loopback.
#include "agents/framework/alert_desk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <thread>

#include "agents/framework/alert_queue.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "log_lines.h"
#include "mail_test_support.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A program directory whose alerts reach a real SMTP server through the real mail sender,
// with port accounts of the HTTP port and SMTP port groups that a test opens and closes.
class Scene {
 public:
  explicit Scene(bool realMail = true) {
    pd_.AddProgram("AlertDesk");
    common::AlertFile alert;
    common::SetField(alert.settings.primaryServer, "127.0.0.1");
    common::SetField(alert.settings.fromAddress, "monitor@x.example");
    alert.toAddresses = "ops@x.example";
    alert.netSendAddresses = "PC1";
    alert.downSubject = "%S %C down";
    alert.downBody = "%S (%I) is down: %E";
    alert.upSubject = "%S %C up";
    alert.upBody = "%S (%I) is up";
    alert.downOnline = "LAN %S down";
    alert.upOnline = "LAN %S up";
    common::WriteAlert(pd_.dir(), alert);
    if (realMail) {
      smtp_ = std::make_unique<mailtest::PySmtpServer>(mailbox_.path());
      if (!smtp_->ok()) return;
      platform::RemoveFile(platform::JoinPath(pd_.bin(), "VarnPost"));
      pd_.AddProgram("VarnPost");
      Ini("MAILPORT", std::to_string(smtp_->port()));
    } else {
      stand_ = std::make_unique<testkit::LineServer>("220 ready\r\n", false);
      Ini("MAILPORT", std::to_string(stand_->port()));
    }
  }
  bool ok() const { return !smtp_ || smtp_->ok(); }
  ProgramDir& pd() { return pd_; }

  void Ini(const std::string& key, const std::string& value) {
    platform::IniSetString(common::IniPath(pd_.dir()), common::kIniSection, key, value);
  }

  // A port account of the HTTP port group (`smtpGroup`: of the SMTP port group) whose port
  // is closed, mail and LAN alerts on, behind `parent` when named.
  void Add(const std::string& name, const std::string& parent = "", bool smtpGroup = false) {
    common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
    a.record.mailToGlobal = 1;
    a.record.onlineToGlobal = 1;
    a.record.useGlobalMailTemplates = 1;
    a.record.useGlobalOnlineTemplates = 1;
    if (smtpGroup) {
      a.record.smtpPortOn = 1;
      a.record.smtpPortTimeout = 1;
    } else {
      a.record.httpPortOn = 1;
      a.record.httpTimeout = 1;
    }
    accounts_[name] = {a, smtpGroup};
    SetOpen(name, false);
    testkit::AddAccount(pd_, a, smtpGroup ? StatusFolder::kSmtpPort : StatusFolder::kHttpPort);
    if (!parent.empty()) {
      common::AccountOptions options = common::DefaultAccountOptions(common::kServer);
      options.parent = parent;
      ASSERT_TRUE(
          common::WriteAccountOptions(pd_.dir(), common::HexKey(name), common::kServer, options));
    }
  }

  void SetOpen(const std::string& name, bool open) {
    auto& [a, smtpGroup] = accounts_.at(name);
    const uint32_t port =
        static_cast<uint32_t>(open ? (smtpGroup ? smtpUp_.port() : webUp_.port()) : closed_);
    (smtpGroup ? a.record.smtpPort : a.record.httpPort) = port;
    common::WriteAccount(common::AccountPath(pd_.dir(), common::HexKey(name)), a);
  }

  // One run of each group's agent, both at once.
  void RunBoth() {
    std::thread smtp([this] { EXPECT_EQ(pd_.RunAgent("MailOutSentry"), 0); });
    EXPECT_EQ(pd_.RunAgent("WebPortSentry"), 0);
    smtp.join();
  }
  void RunWeb() { ASSERT_EQ(pd_.RunAgent("WebPortSentry"), 0); }

  std::string Mail(int n, int waitMs = 90000) { return smtp_->Message(n, waitMs); }
  // No message `n` arrives within a few seconds (the desk sends within a second of a pass).
  bool NoMail(int n) { return smtp_->Message(n, 3000).empty(); }
  std::string Log() { return pd_.TodayLog(); }

 private:
  ProgramDir pd_;
  testsupport::TempDir mailbox_;
  std::unique_ptr<mailtest::PySmtpServer> smtp_;
  std::unique_ptr<testkit::LineServer> stand_;
  testkit::LineServer webUp_{"HTTP/1.0 200 OK\r\n\r\n", true};
  testkit::LineServer smtpUp_{"220 ready\r\n", false};
  int closed_ = testkit::ClosedPort();
  std::map<std::string, std::pair<common::AccountFile, bool>> accounts_;
};

std::string ChildName(int i) {
  return "c" + std::string(i < 10 ? "0" : "") + std::to_string(i);
}

TEST(AlertDesk, ParentAndTwentyChildrenDownTogetherGiveOneDownAndOneUp) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  scene.Add("router");
  for (int i = 1; i <= 20; ++i) scene.Add(ChildName(i), "router");
  scene.RunWeb();
  scene.RunWeb();

  const std::string down = scene.Mail(1);
  ASSERT_NE(down.find("router HTTP down"), std::string::npos) << down;
  EXPECT_NE(down.find("Down behind it (20):"), std::string::npos) << down;
  for (int i = 1; i <= 20; ++i)
    EXPECT_NE(down.find("  " + ChildName(i) + " (127.0.0.1)"), std::string::npos) << i;
  EXPECT_TRUE(scene.NoMail(2));
  EXPECT_EQ(Count(scene.Log(), "[Down Alert Held: router is down]"), 20u);

  scene.SetOpen("router", true);
  for (int i = 1; i <= 20; ++i) scene.SetOpen(ChildName(i), true);
  scene.RunWeb();
  const std::string up = scene.Mail(2);
  EXPECT_NE(up.find("router HTTP up"), std::string::npos) << up;
  EXPECT_TRUE(scene.NoMail(3));
  EXPECT_EQ(Count(scene.Log(), "recovered behind its parent; neither alert is sent"), 20u);
}

TEST(AlertDesk, ChildrenStillDownWhenTheParentIsBackGetTheirDownThen) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  scene.Add("gw");
  scene.Add("k1", "gw");
  scene.Add("k2", "gw");
  scene.RunWeb();
  scene.RunWeb();
  EXPECT_NE(scene.Mail(1).find("gw HTTP down"), std::string::npos);
  EXPECT_TRUE(scene.NoMail(2));

  scene.SetOpen("gw", true);
  scene.RunWeb();
  std::vector<std::string> mails = {scene.Mail(2), scene.Mail(3), scene.Mail(4)};
  EXPECT_TRUE(scene.NoMail(5));
  auto has = [&](const std::string& subject) {
    return std::count_if(mails.begin(), mails.end(), [&](const std::string& m) {
      return m.find(subject) != std::string::npos;
    });
  };
  EXPECT_EQ(has("gw HTTP up"), 1);
  EXPECT_EQ(has("k1 HTTP down"), 1);
  EXPECT_EQ(has("k2 HTTP down"), 1);
}

TEST(AlertDesk, AChildFailingAloneAlertsAsAnyAccount) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  scene.Add("core");
  scene.SetOpen("core", true);
  scene.Add("leaf", "core");
  scene.RunWeb();
  scene.RunWeb();
  const std::string down = scene.Mail(1);
  EXPECT_NE(down.find("leaf HTTP down"), std::string::npos) << down;
  EXPECT_NE(down.find("leaf (127.0.0.1) is down: HTTP Port"), std::string::npos) << down;
  EXPECT_EQ(down.find("behind"), std::string::npos) << down;
  EXPECT_TRUE(scene.NoMail(2));
  EXPECT_EQ(scene.Log().find("Alert Held"), std::string::npos);
}

TEST(AlertDesk, ThirtyAlertsOfTwoGroupsAtOnceGoOutAsOneDigest) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  scene.Ini("ALERTGROUPCOUNT", "5");
  scene.Ini("ALERTGROUPSECONDS", "4");
  for (int i = 1; i <= 15; ++i) {
    scene.Add("w" + std::to_string(i));
    scene.Add("m" + std::to_string(i), "", true);
  }
  scene.RunBoth();
  scene.RunBoth();

  const std::string digest = scene.Mail(1);
  EXPECT_NE(digest.find("KT.Varnock: 30 alerts (30 Down, 0 Up)"), std::string::npos) << digest;
  for (int i = 1; i <= 15; ++i) {
    for (const std::string& name : {"w" + std::to_string(i), "m" + std::to_string(i)})
      EXPECT_EQ(Count(digest, "Down | " + name + " | 127.0.0.1 | "), 1u) << name << digest;
  }
  EXPECT_TRUE(scene.NoMail(2));
  const std::string log = scene.Log();
  EXPECT_EQ(Count(log, "Alert Grouped: "), 30u);
  EXPECT_EQ(Count(log, "[Digest Mail Sent: 30 alerts]"), 1u);
  // One LAN message to the one general recipient.
  std::vector<ProgramDir::Call> lan = scene.pd().WaitForCalls("LanBellCmd", 1);
  ASSERT_EQ(lan.size(), 1u);
  EXPECT_EQ(lan[0].file.rfind("PC1\r\nKT.Varnock2\r\nKT.Varnock: 30 alerts", 0), 0u) << lan[0].file;
  EXPECT_EQ(Count(lan[0].file, "Down | "), 30u);
  EXPECT_EQ(scene.pd().Calls("LanBellCmd").size(), 1u);
}

TEST(AlertDesk, AFlappingAccountGetsOneNoticeThenSilenceThenOneStableNotice) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  scene.Ini("FLAPCHANGES", "3");
  scene.Ini("FLAPMINUTES", "30");
  scene.Add("flappy");
  // Down at the second failure, Up at the first success: two changes every three runs.
  int changes = 0;
  for (int cycle = 0; cycle < 4; ++cycle) {
    scene.SetOpen("flappy", false);
    scene.RunWeb();
    scene.RunWeb();
    scene.SetOpen("flappy", true);
    scene.RunWeb();
    changes += 2;
    if (changes == 2) {
      EXPECT_NE(scene.Mail(1).find("flappy HTTP down"), std::string::npos);
      EXPECT_NE(scene.Mail(2).find("flappy HTTP up"), std::string::npos);
    }
  }
  // The third change still goes out; the fourth is the one too many.
  EXPECT_NE(scene.Mail(3).find("flappy HTTP down"), std::string::npos);
  const std::string notice = scene.Mail(4);
  EXPECT_NE(notice.find("KT.Varnock: flappy is flapping"), std::string::npos) << notice;
  EXPECT_NE(notice.find("more than 3 state changes within 30 minutes"), std::string::npos);
  EXPECT_TRUE(scene.NoMail(5));
  EXPECT_EQ(Count(scene.Log(), "Alert Held: flapping]"), 5u);

  // Its changes are rewritten as half an hour old: it has been stable for the window.
  const std::string flapDir = agents::AlertQueueDir(scene.pd().dir()) + "/flap";
  std::vector<std::string> records = platform::ListFiles(flapDir);
  ASSERT_EQ(records.size(), 1u);
  const std::string path = flapDir + "/" + records[0];
  std::string record = testsupport::ReadFile(path);
  const size_t flag = record.find('\n') + 1, list = record.find('\n', flag) + 1;
  const std::string old = std::to_string(agents::WallSeconds() - 31 * 60);
  record = record.substr(0, list) + old + record.substr(record.find('\n', list));
  ASSERT_TRUE(platform::WriteFileAtomic(path, record));
  const std::string stable = scene.Mail(5);
  EXPECT_NE(stable.find("KT.Varnock: flappy is stable, Up"), std::string::npos) << stable;
  EXPECT_TRUE(scene.NoMail(6));
  EXPECT_TRUE(platform::ListFiles(flapDir).empty());
}

// A local "YYYYMMDDhhmm" `minutes` from now.
std::string MinuteStamp(int minutes) {
  std::time_t t = std::time(nullptr) + minutes * 60;
  std::tm tm{};
  localtime_r(&t, &tm);
  char out[16];
  std::strftime(out, sizeof out, "%Y%m%d%H%M", &tm);
  return out;
}

TEST(AlertDesk, InAMaintenanceWindowChecksAreLoggedAndNoAlertIsSent) {
  Scene scene;
  if (!scene.ok()) GTEST_SKIP() << "no python3 with aiosmtpd";
  testkit::SetLogging(scene.pd(), common::kGroupHttp, true, true);
  scene.Add("patched");
  scene.Add("other");
  ASSERT_TRUE(platform::WriteFileAtomic(
      scene.pd() / "Setting/Maintenance.txt",
      "once " + common::HexKey("patched") + " " + MinuteStamp(-5) + " " + MinuteStamp(60) + "\n"));
  scene.RunWeb();
  scene.RunWeb();
  // Only the account outside the window alerts.
  const std::string mail = scene.Mail(1);
  EXPECT_NE(mail.find("other HTTP down"), std::string::npos) << mail;
  EXPECT_TRUE(scene.NoMail(2));
  const std::string log = scene.Log();
  EXPECT_EQ(Count(log, "[Down Alert Held: maintenance]"), 1u);
  for (const std::string& line : testkit::LogLines(log)) {
    if (line.find("patched") != std::string::npos && line.find("DOWN") != std::string::npos)
      return;  // its failed checks are in the log all the same
  }
  ADD_FAILURE() << "no logged check of the account in maintenance:\n" << log;
}

// Below the digest's threshold, or with no parent down, each alert is the mail it would be
// with nothing held or grouped: the same subject, recipients and body.
TEST(AlertDesk, AlertsNotHeldOrGroupedAreTheDescribedMails) {
  auto jobs = [](Scene& scene, const std::string& parent) {
    scene.Add("a1");
    scene.Add("a2", parent);
    scene.RunWeb();
    scene.RunWeb();
    std::vector<std::string> texts;
    for (const ProgramDir::Call& call : scene.pd().WaitForCalls("VarnPost", 2)) {
      std::string job = call.file;
      // The to, subject and body texts of the job (layout in mail/job_file.h).
      for (size_t slot : {32u, 64u, 72u}) {
        const uint32_t offset = testkit::WordAt(job, slot), length = testkit::WordAt(job, slot + 4);
        texts.push_back(length > 0 ? job.substr(offset, length - 1) : "<none>");
      }
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  };
  Scene plain(false);
  const std::vector<std::string> described = jobs(plain, "");
  EXPECT_FALSE(platform::PathExists(agents::AlertQueueDir(plain.pd().dir())));
  Scene grouped(false);
  grouped.Ini("ALERTGROUPCOUNT", "5");
  grouped.Ini("ALERTGROUPSECONDS", "1");
  // A parent that names no account holds nothing.
  EXPECT_EQ(jobs(grouped, "nobody-by-this-name"), described);
  EXPECT_EQ(grouped.pd().Calls("VarnPost").size(), 2u);
  ASSERT_EQ(described.size(), 6u);
  EXPECT_NE(described[0].find("a1 (127.0.0.1) is down: HTTP Port"), std::string::npos);
}

TEST(AlertQueue, RefusesFilesThatAreNotWholeAlerts) {
  agents::QueuedAlert a;
  a.key = common::HexKey("web1");
  a.folder = 1;
  a.slot = 3;
  a.message = "line one\r\nkey=5:x\n";
  a.queuedAt = 1234;
  const std::string good = agents::EncodeQueuedAlert(a);
  std::optional<agents::QueuedAlert> back = agents::DecodeQueuedAlert(good);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->message, a.message);
  EXPECT_EQ(back->slot, 3);
  EXPECT_EQ(back->queuedAt, 1234);

  const std::string magic = "VarnAlert1\n";
  const struct {
    std::string text, why;
  } bad[] = {
      {good.substr(0, good.size() - 1), "last field cut"},
      {"VarnAlert2\n" + good.substr(magic.size()), "other layout"},
      {magic + "kind=2:up\nfolder=1:1\n", "no key"},
      {magic + "kind=2:up\nkey=5:../x\nfolder=1:1\n", "key leaves the folder"},
      {magic + "kind=2:up\nkey=2:ab\nfolder=1:9\n", "no such folder"},
      {magic + "kind=4:sure\nkey=2:ab\nfolder=1:1\n", "no such kind"},
      {magic + "kind=2:up\nkey=2:ab\nfolder=1:1\nmessage=99999999:x\n", "length past the end"},
      {magic + "kind=2:up\nkey=2:ab\nfolder=1:1\nslot=1:7\n", "no such slot"},
      {magic + std::string(70000, 'x'), "too large"},
  };
  for (const auto& c : bad) EXPECT_FALSE(agents::DecodeQueuedAlert(c.text)) << c.why;

  // An unreadable file is moved aside, named in the report, and the others still read.
  testsupport::TempDir dir;
  ASSERT_FALSE(agents::WriteQueuedAlert(dir.path(), a).empty());
  ASSERT_TRUE(platform::WriteFileAtomic(dir / "000-bad.alert", bad[0].text));
  std::vector<std::string> reported;
  EXPECT_EQ(agents::ReadQueuedAlerts(dir.path(), &reported).size(), 1u);
  EXPECT_EQ(reported, std::vector<std::string>{"000-bad.alert"});
  EXPECT_TRUE(platform::PathExists(dir / "000-bad.alert.bad"));
}

TEST(AccountOptions, ParentIsAServerNameOrNone) {
  testsupport::TempDir dir;
  const struct {
    std::string value, parent;
  } cases[] = {
      {"router", "router"},
      {"", ""},
      {std::string(65, 'r'), ""},
      {"a\tb", ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::WriteFileAtomic(common::AccountOptionsPath(dir.path(), "k"),
                                          "[ACCOUNT]\nPARENT=" + c.value + "\n"));
    common::AccountOptionsRead read = common::ReadAccountOptions(dir.path(), "k", common::kServer);
    EXPECT_EQ(read.options.parent, c.parent) << c.value;
    EXPECT_EQ(read.problems.size(), c.value == c.parent ? 0u : 1u) << c.value;
  }
  common::AccountOptions options = common::DefaultAccountOptions(common::kServer);
  options.parent = "gw 1";
  ASSERT_TRUE(common::WriteAccountOptions(dir.path(), "k", common::kServer, options));
  EXPECT_EQ(testsupport::ReadFile(common::AccountOptionsPath(dir.path(), "k")),
            "[ACCOUNT]\nPARENT=gw 1\n");
  EXPECT_EQ(agents::ReadParents(dir.path()), (std::map<std::string, std::string>{{"k", "gw 1"}}));
}

}  // namespace
