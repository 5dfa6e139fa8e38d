// The alert mail sender end to end (a job file, the test SMTP server, the mail log) and
// its command line, settings and log pieces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>

#include "mail/encoders.h"
#include "mail/job_file.h"
#include "mail/sender.h"
#include "mail_test_support.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using mailtest::PySmtpServer;

// '9' stands for a digit, 'A' for a letter, '+' for a sign; other characters for themselves.
bool HasShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool ok = shape[i] == '9'   ? std::isdigit(c) != 0
                    : shape[i] == 'A' ? std::isalpha(c) != 0
                    : shape[i] == '+' ? (c == '+' || c == '-')
                                      : c == static_cast<unsigned char>(shape[i]);
    if (!ok) return false;
  }
  return true;
}

std::string Sjis(const char* utf8) {
  return *platform::Utf8ToCp932(utf8);
}
std::string VarnPost() {
  return std::string(VARN_BIN_DIR) + "/VarnPost";
}

// A folder with the sender's settings, temporary and log folders.
struct Site {
  testsupport::TempDir dir;
  std::string etc = dir / "etc";
  std::string log = dir / "RelayKitLog";
  std::string tmp = dir / "tmp";
  Site(const std::string& settings = "") {
    platform::MakeDirs(tmp);
    platform::MakeDirs(dir / "Log/Disp");  // the monitor's program directory
    testsupport::WriteFile(etc + "/RELAYKIT3.INI", "[PROGRAM]\n" + settings);
  }
  std::map<std::string, std::string> Env(int pauseMs = 20, int boundMs = 10000) const {
    return {{"VARNPOST_ETC_DIR", etc},
            {"VARNPOST_TEST_PAUSE_MS", std::to_string(pauseMs)},
            {"VARNPOST_TEST_BOUND_MS", std::to_string(boundMs)},
            {"TMPDIR", tmp}};
  }
  std::string WriteJob(const mail::MailJob& job, const std::string& name = "CON1.tmp") const {
    const std::string path = dir / name;
    EXPECT_TRUE(mail::WriteMailJob(path, job));
    return path;
  }
  // Every log file's content, by file name.
  std::map<std::string, std::string> Logs() const {
    std::map<std::string, std::string> out;
    for (const std::string& f : platform::ListFiles(log))
      out[f] = testsupport::ReadFile(log + "/" + f);
    return out;
  }
};

// The monitor's daily log file of today.
std::string DailyLogName() {
  const platform::SystemTime t = platform::LocalNow();
  char name[16];
  std::snprintf(name, sizeof name, "%04d%02d%02d.log", t.year, t.month, t.day);
  return name;
}

std::string TodayLogName() {
  const platform::SystemTime t = platform::LocalNow();
  return mail::MailLogPath("d", t).substr(2);
}

mail::MailJob AlertJob(int port, const std::string& logDir, int level) {
  mail::MailJob job;
  job.smtpHost = "127.0.0.1";
  job.smtpPort = port;
  job.to = "ops@x.test, Boss <boss@x.test>";
  job.from = "KT.Varnock <alert@x.test>";
  job.subject = Sjis("サーバ停止: web1");
  job.body = Sjis("web1 is down (Ping DOWN TIMEOUT)\r\n停止を検出しました。\r\n.dot line");
  job.logDestination = mail::LogDestinationText(logDir, level, "KT.Varnock");
  return job;
}

// Headers of a received message, unfolded, in order; `body` gets the rest.
std::vector<std::pair<std::string, std::string>> Headers(const std::string& message,
                                                         std::string* body) {
  const size_t end = message.find("\r\n\r\n");
  *body = message.substr(end + 4);
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos < end) {
    size_t eol = message.find("\r\n", pos);
    std::string line = message.substr(pos, eol - pos);
    pos = eol + 2;
    if ((line[0] == ' ' || line[0] == '\t') && !out.empty()) {
      out.back().second += "\n" + line;
    } else {
      const size_t colon = line.find(": ");
      out.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
  }
  return out;
}

std::string DecodeJisWord(const std::string& word) {
  const std::string prefix = "=?iso-2022-jp?B?";
  EXPECT_EQ(word.compare(0, prefix.size(), prefix), 0) << word;
  const std::string jis = mailtest::Base64Decode(word.substr(prefix.size(), word.size() - 18));
  EXPECT_EQ(jis.compare(0, 3, "\x1B$B"), 0);
  EXPECT_NE(jis.find("\x1B(J"), std::string::npos);
  return platform::ConvertText(jis, "ISO-2022-JP", "CP932").value_or("<undecodable>");
}

std::string WithoutCr(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

TEST(VarnPost, DeliversAnAlertMailWithLoginAndLogsIt) {
  Site site;
  testsupport::TempDir store;
  PySmtpServer server(store.path(), "alice", "s3cret");
  ASSERT_TRUE(server.ok());
  const mail::MailJob job = AlertJob(server.port(), site.log, 2);
  const std::string jobPath = site.WriteJob(job);
  const auto run = mailtest::RunProgram(VarnPost(), {jobPath}, "alice\ns3cret\n", site.Env());
  EXPECT_EQ(run.exitCode, 0);
  const std::string message = server.Message(1);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(server.Envelope(1),
            (std::vector<std::string>{"alert@x.test", "ops@x.test,boss@x.test", "alice"}));

  std::string body;
  const auto headers = Headers(message, &body);
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Date", "From", "X-Mailer", "MIME-Version", "To", "Subject",
                                      "Message-ID", "Content-Type", "Content-Transfer-Encoding"}));
  std::map<std::string, std::string> h(headers.begin(), headers.end());
  EXPECT_TRUE(HasShape(h["Date"], "AAA, 99 AAA 9999 99:99:99  +9999")) << h["Date"];
  EXPECT_EQ(h["From"], "KT.Varnock <alert@x.test>");
  EXPECT_EQ(h["X-Mailer"], "KT.Varnock");
  EXPECT_EQ(h["MIME-Version"], "1.0");
  EXPECT_EQ(h["To"], "ops@x.test,\n\t Boss <boss@x.test>");
  EXPECT_EQ(DecodeJisWord(h["Subject"]), job.subject);
  const std::string& id = h["Message-ID"];
  EXPECT_TRUE(id.size() > 32 && HasShape(id.substr(0, 21), "<99999999999999999.0.") &&
              id.substr(id.size() - 11) == "@127.0.0.1>")
      << id;
  EXPECT_EQ(h["Content-Type"], "text/plain; charset=iso-2022-jp");
  EXPECT_EQ(h["Content-Transfer-Encoding"], "7bit");
  ASSERT_GE(body.size(), 2u);
  const std::string jisBody = WithoutCr(body.substr(0, body.size() - 2));
  EXPECT_EQ(platform::ConvertText(jisBody, "ISO-2022-JP", "CP932").value_or(""),
            WithoutCr(job.body));

  const auto logs = site.Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs.begin()->first, TodayLogName());
  const std::string entry = logs.begin()->second;
  EXPECT_TRUE(HasShape(entry.substr(0, 49), "9999/99/99 99:99:99    Succeeded to send a mail ["))
      << entry;
  EXPECT_NE(entry.find("Succeeded to send a mail [From:alert@x.test, To:" + job.to + ", Title:" +
                       job.subject + ", SMTP:127.0.0.1 Error:RESULT_SUCCESS]\r\nDescription:" +
                       WithoutCr(job.body) + "\r\n\r\n"),
            std::string::npos);
  EXPECT_FALSE(platform::PathExists(jobPath));
  EXPECT_TRUE(platform::ListFiles(site.tmp).empty());  // the composed file is gone
}

TEST(VarnPost, EmptySubjectIsNoneAndLevelOneKeepsSuccessesOut) {
  Site site;
  testsupport::TempDir store;
  PySmtpServer server(store.path());
  ASSERT_TRUE(server.ok());
  for (int level : {1, 2}) {
    mail::MailJob job = AlertJob(server.port(), site.log, level);
    job.charset = 0;
    job.subject = "";
    job.body = "Server DOWN";
    const auto run = mailtest::RunProgram(VarnPost(), {site.WriteJob(job)}, "", site.Env());
    EXPECT_EQ(run.exitCode, 0);
    std::string body;
    const auto headers = Headers(server.Message(level), &body);
    std::map<std::string, std::string> h(headers.begin(), headers.end());
    EXPECT_EQ(h["Subject"], "None");
    EXPECT_EQ(h["Content-Type"], "text/plain; charset=us-ascii");
    EXPECT_EQ(body, "Server DOWN\r\n");
    EXPECT_EQ(server.Envelope(level).at(2), "");  // no login without user name and password
    const auto logs = site.Logs();
    if (level == 1) {
      EXPECT_TRUE(logs.empty());
    } else {
      ASSERT_EQ(logs.size(), 1u);
      EXPECT_NE(logs.begin()->second.find("Title:None, SMTP:127.0.0.1 Error:RESULT_SUCCESS]"),
                std::string::npos);
    }
  }
}

TEST(VarnPost, AttachmentsArriveIntactAndAreDeletedAfterSending) {
  Site site;
  testsupport::TempDir store;
  PySmtpServer server(store.path());
  ASSERT_TRUE(server.ok());
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary.push_back(static_cast<char>((i * 131) ^ (i >> 3)));
  for (int flag : {1, mail::kKeepAttachments}) {
    SCOPED_TRACE(flag);
    testsupport::TempDir files;
    testsupport::WriteFile(files / "graph.gif", "GIF89a" + binary);
    testsupport::WriteFile(files / "dump.bin", binary);
    mail::MailJob job = AlertJob(server.port(), site.log, 1);
    job.charset = 0;
    job.deleteAfterSending = flag;
    job.subject = "caf\xE9 down";
    job.body = "caf\xE9\nsecond line";
    job.attachments = files / "graph.gif" + "," + files / "dump.bin";
    EXPECT_EQ(mailtest::RunProgram(VarnPost(), {site.WriteJob(job)}, "", site.Env()).exitCode, 0);
    const std::string message = server.Message(flag == 1 ? 1 : 2);
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.find("Subject: =?iso-8859-1?Q?caf=E9=20down?=\r\n"), std::string::npos);
    EXPECT_NE(message.find("Content-Type: text/plain; charset=iso-8859-1\r\n"
                           "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                           "caf=E9=0Asecond line\r\n"),
              std::string::npos);
    for (const auto& [name, content] :
         {std::pair<std::string, std::string>{"graph.gif", "GIF89a" + binary},
          std::pair<std::string, std::string>{"dump.bin", binary}}) {
      const std::string marker = "filename=\"" + name + "\"\r\n\r\n";
      const size_t at = message.find(marker);
      ASSERT_NE(at, std::string::npos) << name;
      const size_t start = at + marker.size();
      const size_t end = message.find("\r\n--", start);
      EXPECT_EQ(mailtest::Base64Decode(message.substr(start, end - start)), content) << name;
    }
    EXPECT_NE(message.find("\r\n--=_ Boundary "), std::string::npos);
    EXPECT_EQ(platform::PathExists(files / "dump.bin"), flag == mail::kKeepAttachments);
  }
}

TEST(VarnPost, FailedAttemptsAreLoggedRetriedAndGivenUp) {
  struct Case {
    int retryCount;
    bool silentServer;
    int entries;
  } cases[] = {{1, false, 1}, {2, false, 2}, {1, true, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.retryCount << (c.silentServer ? " silent" : " refused"));
    Site site("RETRYCOUNT=" + std::to_string(c.retryCount) + "\n");
    std::unique_ptr<mailtest::FakeSmtpServer> silent;
    int port = mailtest::UnusedPort();
    if (c.silentServer) {
      silent = std::make_unique<mailtest::FakeSmtpServer>(
          std::vector<std::string>{"220 mx", "<silent>"});
      port = silent->port();
    }
    const mail::MailJob job = AlertJob(port, site.log, 1);
    const std::string jobPath = site.WriteJob(job);
    const int pauseMs = 40;
    const auto run = mailtest::RunProgram(VarnPost(), {jobPath}, "", site.Env(pauseMs, 500), 60000);
    EXPECT_EQ(run.exitCode, 0);
    // Every failed attempt, the last one included, is followed by ten pauses.
    EXPECT_GE(run.seconds, c.entries * 10 * pauseMs / 1000.0);
    const auto logs = site.Logs();
    ASSERT_EQ(logs.size(), 1u);
    const std::string& log = logs.begin()->second;
    const std::string failed = "    Failed to send a mail [From:alert@x.test, To:" + job.to;
    size_t count = 0;
    for (size_t at = 0; (at = log.find(failed, at)) != std::string::npos; at += failed.size())
      ++count;
    EXPECT_EQ(count, static_cast<size_t>(c.entries));
    EXPECT_NE(log.find("SMTP:127.0.0.1 Error:RESULT_FAILURE]\r\nDescription:"), std::string::npos);
    EXPECT_FALSE(platform::PathExists(jobPath));
    // The monitor's activity log says that the alert mail was given up, once.
    const std::string daily = testsupport::ReadFile(site.dir / ("Log/" + DailyLogName()));
    EXPECT_EQ(daily.rfind("10013 ", 0), 0u) << daily;
    EXPECT_NE(daily.find("[Mail Not Sent]"), std::string::npos);
    EXPECT_NE(daily.find("given up after " + std::to_string(c.entries) + " failed attempts: To " +
                         job.to),
              std::string::npos)
        << daily;
    EXPECT_EQ(daily.find("\r\n"), daily.size() - 2);
    platform::RemoveFile(site.dir / ("Log/" + DailyLogName()));
  }
}

TEST(VarnPost, BadInvocationsEndQuietly) {
  Site site;
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {}, "", site.Env()).exitCode, 0);
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {site.dir / "missing"}, "", site.Env()).exitCode, 0);
  // A short job file is left where it is.
  testsupport::WriteFile(site.dir / "short.tmp", std::string(50, '\0'));
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {site.dir / "short.tmp"}, "", site.Env()).exitCode, 0);
  EXPECT_TRUE(platform::PathExists(site.dir / "short.tmp"));
  // A path with a blank cannot be passed: the first token names no file.
  mail::MailJob job = AlertJob(mailtest::UnusedPort(), site.log, 2);
  platform::MakeDirs(site.dir / "with space");
  const std::string spaced = site.WriteJob(job, "with space/CON2.tmp");
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {spaced}, "", site.Env()).exitCode, 0);
  EXPECT_TRUE(platform::PathExists(spaced));
  EXPECT_TRUE(site.Logs().empty());
  // No recipient: nothing sent, nothing logged, the job file is done with.
  job.to = " , ";
  const std::string nobody = site.WriteJob(job, "CON3.tmp");
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {nobody}, "", site.Env()).exitCode, 0);
  EXPECT_FALSE(platform::PathExists(nobody));
  EXPECT_TRUE(site.Logs().empty());
}

// No recipient: nothing is composed, so the attachments were never taken in and stay.
TEST(VarnPost, AttachmentsStayWhenNoMessageWasComposed) {
  Site site;
  testsupport::TempDir files;
  testsupport::WriteFile(files / "graph.gif", "GIF89a");
  mail::MailJob job = AlertJob(mailtest::UnusedPort(), site.log, 2);
  job.to = " , ";
  job.attachments = files / "graph.gif";
  const std::string jobPath = site.WriteJob(job);
  EXPECT_EQ(mailtest::RunProgram(VarnPost(), {jobPath}, "", site.Env()).exitCode, 0);
  EXPECT_FALSE(platform::PathExists(jobPath));
  EXPECT_TRUE(platform::PathExists(files / "graph.gif"));
}

// A shut-down during the pause after a failed attempt: the stop is logged as an aborted
// attempt, and the job file and its attachments stay for a later run.
TEST(VarnPost, TerminationIsLoggedAndKeepsTheJob) {
  Site site("RETRYCOUNT=5\n");
  testsupport::TempDir files;
  testsupport::WriteFile(files / "dump.bin", "data");
  mail::MailJob job = AlertJob(mailtest::UnusedPort(), site.log, 1);
  job.attachments = files / "dump.bin";
  const std::string jobPath = site.WriteJob(job);
  auto logText = [&site] {
    const auto logs = site.Logs();
    return logs.empty() ? std::string() : logs.begin()->second;
  };
  // Ten pauses of a minute each: only the signal can end this run in time.
  const auto run = mailtest::RunProgram(VarnPost(), {jobPath}, "", site.Env(60000, 500), 60000,
                                        [&] { return !logText().empty(); });
  EXPECT_EQ(run.exitCode, 0);
  const std::string log = logText();
  const size_t failed = log.find("Error:RESULT_FAILURE]\r\n");
  const size_t aborted =
      log.find("    Failed to send a mail [From:alert@x.test, To:" + job.to +
               ", Title:" + job.subject + ", SMTP:127.0.0.1 Error:RESULT_ABORT]");
  EXPECT_NE(failed, std::string::npos) << log;
  EXPECT_NE(aborted, std::string::npos) << log;
  EXPECT_LT(failed, aborted);
  EXPECT_TRUE(platform::PathExists(jobPath));
  EXPECT_TRUE(platform::PathExists(files / "dump.bin"));
  EXPECT_TRUE(platform::ListFiles(site.tmp).empty());  // no composed message left behind
  const std::string daily = testsupport::ReadFile(site.dir / ("Log/" + DailyLogName()));
  EXPECT_NE(daily.find("[Mail Not Sent]"), std::string::npos) << daily;
  EXPECT_NE(daily.find("stopped before the mail went out; its job file is kept"),
            std::string::npos);
}

TEST(VarnPostParts, MailLogFileIsNumberedByWeekOfMonth) {
  const std::pair<int, const char*> cases[] = {{1, "01"},  {6, "01"},  {7, "02"},  {10, "02"},
                                               {13, "02"}, {14, "03"}, {21, "04"}, {27, "04"},
                                               {28, "05"}, {31, "05"}};
  for (const auto& [day, week] : cases) {
    platform::SystemTime t{2026, 12, 0, static_cast<uint16_t>(day), 9, 5, 30, 0};
    EXPECT_EQ(mail::MailLogPath("/var/log/x", t), std::string("/var/log/x/202612") + week + ".log");
  }
}

TEST(VarnPostParts, LogEntriesAndLevels) {
  platform::SystemTime t{2026, 3, 0, 4, 7, 8, 9, 0};
  EXPECT_EQ(mail::MailLogEntry(t, mail::kResultAbort, "a@x", "b@y", "S", "mx", "line1\nline2"),
            "2026/03/04 07:08:09    Failed to send a mail [From:a@x, To:b@y, Title:S, SMTP:mx "
            "Error:RESULT_ABORT]\r\nDescription:line1\nline2\r\n\r\n");
  EXPECT_NE(
      mail::MailLogEntry(t, mail::kResultFailure, "a", "b", "S", "mx", "")
          .find("Failed to send a mail [From:a, To:b, Title:S, SMTP:mx Error:RESULT_FAILURE]"),
      std::string::npos);
  EXPECT_EQ(mail::MailLogEntry(t, mail::kResultSuccess, "a@x", "b@y\r\nc@z", "Down\nInjected", "mx",
                               "body"),
            "2026/03/04 07:08:09    Succeeded to send a mail [From:a@x, To:b@y  c@z, "
            "Title:Down Injected, SMTP:mx Error:RESULT_SUCCESS]\r\nDescription:body\r\n\r\n");
  const struct {
    long level;
    int result;
    bool writes;
  } levels[] = {{0, 2, false}, {0, 1, false}, {1, 1, false}, {1, 2, true},
                {1, 0, true},  {2, 1, true},  {5, 1, true}};
  for (const auto& l : levels)
    EXPECT_EQ(mail::LogLevelWrites(l.level, l.result), l.writes) << l.level << " " << l.result;
}

TEST(VarnPostParts, CommandLineAndLogDestination) {
  const struct {
    std::string text, path, user, password;
  } lines[] = {{"/t/CON1.tmp alice s3cret", "/t/CON1.tmp", "alice", "s3cret"},
               {"/t/CON1.tmp alice pass word", "/t/CON1.tmp", "alice", "pass word"},
               {"/t/CON1.tmp  ", "/t/CON1.tmp", "", ""},
               {"/t/CON1.tmp alice", "/t/CON1.tmp", "", ""},
               {"/t/CON1.tmp", "/t/CON1.tmp", "", ""},
               {"/t/x " + std::string(70, 'u') + " " + std::string(70, 'p'), "/t/x",
                std::string(64, 'u'), std::string(64, 'p')}};
  for (const auto& l : lines) {
    const mail::CommandLine c = mail::ParseCommandLine(l.text);
    EXPECT_EQ(c.jobPath, l.path) << l.text;
    EXPECT_EQ(c.user, l.user) << l.text;
    EXPECT_EQ(c.password, l.password) << l.text;
  }
  const struct {
    std::string text, dir;
    std::optional<long> level;
    std::string mailer;
  } dests[] = {{"/p/RelayKitLog,1,KT.Varnock", "/p/RelayKitLog", 1, "KT.Varnock"},
               {"/p/log,2,a,b", "/p/log", 0, "b"},  // the last comma wins
               {"/p/log,2", "/p/log", std::nullopt, ""},
               {"/p/log", "/p/log", std::nullopt, ""},
               {"", "", std::nullopt, ""}};
  for (const auto& d : dests) {
    const mail::LogDestination p = mail::ParseLogDestination(d.text);
    EXPECT_EQ(p.dir, d.dir) << d.text;
    EXPECT_EQ(p.level, d.level) << d.text;
    EXPECT_EQ(p.mailer, d.mailer) << d.text;
  }
}

TEST(VarnPostParts, LoginFromStandardInput) {
  const struct {
    std::string input, user, password;
  } cases[] = {{"alice\ns3cret\n", "alice", "s3cret"},
               {"alice\r\ns3cret\r\n", "alice", "s3cret"},
               {"alice\n", "alice", ""},
               {"", "", ""},
               {std::string(70, 'u') + "\n" + std::string(70, 'p'), std::string(64, 'u'),
                std::string(64, 'p')}};
  for (const auto& c : cases) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    close(fds[1]);
    std::string user, password;
    mail::ReadLogin(fds[0], &user, &password);
    close(fds[0]);
    EXPECT_EQ(user, c.user);
    EXPECT_EQ(password, c.password);
  }
}

TEST(VarnPostParts, SettingsDefaultsAndOverrides) {
  testsupport::TempDir dir;
  setenv("VARNPOST_ETC_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(mail::SenderSettingsPath(), dir / "RELAYKIT3.INI");
  EXPECT_EQ(mail::SettingMailer(), "RELAYKIT3 1.1");
  EXPECT_EQ(mail::SettingLogLevel(), 1);
  EXPECT_EQ(mail::SettingRetryCount(), 5);
  EXPECT_EQ(mail::SettingTempDir(), "");
  testsupport::WriteFile(dir / "RELAYKIT3.INI",
                         "[PROGRAM]\nMAILER=Mine\nLOGLEVEL=2\nRETRYCOUNT=3\nTEMPDIR=/x/t\n");
  EXPECT_EQ(mail::SettingMailer(), "Mine");
  EXPECT_EQ(mail::SettingLogLevel(), 2);
  EXPECT_EQ(mail::SettingRetryCount(), 3);
  EXPECT_EQ(mail::SettingTempDir(), "/x/t");
  unsetenv("VARNPOST_ETC_DIR");
  EXPECT_EQ(mail::SenderSettingsPath(), "/etc/RELAYKIT3.INI");
  const mail::SenderTiming defaults;
  EXPECT_EQ(defaults.boundMs, 60000);
  EXPECT_EQ(defaults.pauseMs, 30000);
}

}  // namespace
