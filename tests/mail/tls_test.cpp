// The mail engine over TLS: STARTTLS and implicit TLS against a real server with a test CA
// made here, every way a secure connection fails, what went over the wire in the clear, the
// job file's TLS block and the alert mail sender end to end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "mail/encoders.h"
#include "mail/event_loop.h"
#include "mail/job_file.h"
#include "mail/one_mail.h"
#include "mail/sender.h"
#include "mail/smtp.h"
#include "mail_test_support.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/announced_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

using mail::OneMailOutcome;
using mail::TlsFailure;

// A CA and three server certificates, made once with the openssl command line: "good" for
// 127.0.0.1 and localhost, "wrong" for another name only, "expired" for the right names
// but out of date.
struct TestCa {
  testsupport::TempDir dir;
  bool ok = true;
  std::string ca = dir / "ca.pem";
  std::string Cert(const std::string& name) const { return dir / (name + ".pem"); }
  std::string Key(const std::string& name) const { return dir / (name + ".key"); }

  bool Run(const std::vector<std::string>& args) {
    const auto r = mailtest::RunProgram("/usr/bin/openssl", args, "", {}, 30000);
    return r.exitCode == 0;
  }
  void Issue(const std::string& name, const std::string& san, const std::string& days) {
    testsupport::WriteFile(dir / (name + ".ext"), "subjectAltName=" + san + "\n");
    ok = ok &&
         Run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
              "-keyout", Key(name), "-out", dir / (name + ".csr"), "-subj", "/CN=" + name}) &&
         Run({"x509", "-req", "-in", dir / (name + ".csr"), "-CA", ca, "-CAkey", dir / "ca.key",
              "-CAcreateserial", "-out", Cert(name), "-days", days, "-extfile",
              dir / (name + ".ext")});
  }
  TestCa() {
    ok = Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
              "-keyout", dir / "ca.key", "-out", ca, "-days", "2", "-subj", "/CN=Varnock Test CA"});
    Issue("good", "IP:127.0.0.1,DNS:localhost", "2");
    Issue("wrong", "DNS:wrong.test", "2");
    Issue("expired", "IP:127.0.0.1,DNS:localhost", "-1");
  }
};

const TestCa& Ca() {
  static TestCa* ca = new TestCa();
  return *ca;
}

// tests/mail/tls_smtp_server.py in one of its modes.
class TlsServer {
 public:
  TlsServer(const std::string& mode, const std::string& cert, const std::string& user = "",
            const std::string& password = "") {
    std::vector<std::string> args = {
        "/usr/bin/python3",
        std::string(VARN_SOURCE_DIR) + "/tests/mail/tls_smtp_server.py",
        "--dir",
        store_.path(),
        "--mode",
        mode};
    if (!cert.empty())
      args.insert(args.end(), {"--cert", Ca().Cert(cert), "--key", Ca().Key(cert)});
    if (!user.empty()) args.insert(args.end(), {"--user", user, "--password", password});
    // aiosmtpd reports each refused handshake on its standard error.
    server_ = std::make_unique<testsupport::AnnouncedServer>(args, store_ / "server.log");
  }
  int port() const { return server_ ? server_->port() : 0; }
  bool Delivered() const { return platform::PathExists(store_ / "1.eml"); }
  std::string Login() const {
    std::istringstream in(testsupport::ReadFile(store_ / "1.env"));
    std::string line;
    for (int i = 0; i < 3 && std::getline(in, line); ++i) {
    }
    return line;
  }
  // What the client sent, line by line: "plain ..." or "tls ...".
  std::vector<std::string> Received() const {
    std::vector<std::string> out;
    std::istringstream in(testsupport::ReadFile(store_ / "received.txt"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  testsupport::TempDir store_;
  std::unique_ptr<testsupport::AnnouncedServer> server_;
};

mail::MailJob TestJob(const std::string& host, int port) {
  mail::MailJob job;
  job.charset = 0;
  job.smtpHost = host;
  job.smtpPort = port;
  job.to = "ops@x.test";
  job.from = "alert@x.test";
  job.subject = "secure test";
  job.body = "over TLS";
  return job;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(SecureSmtp, RealServers) {
  ASSERT_TRUE(Ca().ok) << "the test CA could not be made";
  const std::string user = "alice", password = "s3cret";
  struct Case {
    const char* name;
    const char* mode;  // of the server
    const char* cert;
    bool login;
    bool implicit;
    bool verify;
    const char* caFile;  // "ca": the test CA, "": none, else that path
    const char* host;
    OneMailOutcome outcome;
    TlsFailure tls;
    int certDays = 0;
  } cases[] = {
      {"STARTTLS with a login", "starttls", "good", true, false, true, "ca", "127.0.0.1",
       OneMailOutcome::kSent, TlsFailure::kNone},
      {"STARTTLS without a login: the envelope over the session", "starttls", "good", false, false,
       true, "ca", "127.0.0.1", OneMailOutcome::kSent, TlsFailure::kNone},
      {"implicit TLS with a login", "implicit", "good", true, true, true, "ca", "127.0.0.1",
       OneMailOutcome::kSent, TlsFailure::kNone},
      {"implicit TLS to a name: SNI and the name checked", "implicit", "good", true, true, true,
       "ca", "localhost", OneMailOutcome::kSent, TlsFailure::kNone},
      {"no CA for the chain: not trusted", "starttls", "good", true, false, true, "", "127.0.0.1",
       OneMailOutcome::kNotSecure, TlsFailure::kUntrusted},
      {"verification off takes the unknown chain", "starttls", "good", true, false, false, "",
       "127.0.0.1", OneMailOutcome::kSent, TlsFailure::kNone},
      {"server without STARTTLS: refused, no login in the clear", "refuse", "", true, false, true,
       "ca", "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kRefused},
      {"certificate for another name, asked by address", "starttls", "wrong", true, false, true,
       "ca", "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kHostMismatch},
      {"certificate for another name, asked by name", "implicit", "wrong", true, true, true, "ca",
       "localhost", OneMailOutcome::kNotSecure, TlsFailure::kHostMismatch},
      {"expired certificate", "starttls", "expired", true, false, true, "ca", "127.0.0.1",
       OneMailOutcome::kNotSecure, TlsFailure::kExpired},
      {"implicit TLS to a plain server: the handshake fails", "refuse", "", true, true, true, "ca",
       "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kHandshake},
      {"CA file missing", "starttls", "good", true, false, true, "/nonexistent/ca.pem", "127.0.0.1",
       OneMailOutcome::kNotSecure, TlsFailure::kCaFile},
      // The certificate has a day and some hours left.
      {"ending within the warning days: no login", "starttls", "good", true, false, true, "ca",
       "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kExpiresSoon, 14},
      {"ending within the warning days, implicit", "implicit", "good", true, true, false, "",
       "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kExpiresSoon, 2},
      {"ending after the warning days", "starttls", "good", true, false, true, "ca", "127.0.0.1",
       OneMailOutcome::kSent, TlsFailure::kNone, 1},
      {"ended, not verified, with warning days", "starttls", "expired", true, false, false, "",
       "127.0.0.1", OneMailOutcome::kNotSecure, TlsFailure::kExpired, 1},
  };
  const std::string user64 = mail::Base64Encode(user);
  const std::string password64 = mail::Base64Encode(password);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsServer server(c.mode, c.cert, user, password);
    ASSERT_GT(server.port(), 0);
    testsupport::TempDir temp;
    mail::SmtpOptions options;
    options.secure = true;
    options.implicit = c.implicit;
    options.verify = c.verify;
    options.caFile = std::string(c.caFile) == "ca" ? Ca().ca : c.caFile;
    options.port = static_cast<uint16_t>(server.port());
    options.certDays = c.certDays;
    const mail::OneMailResult r =
        mail::SendOneMail(TestJob(c.host, 1), c.login ? user : "", c.login ? password : "",
                          temp.path(), 10000, options);
    EXPECT_EQ(r.outcome, c.outcome) << r.tlsDetail;
    EXPECT_EQ(r.tls, c.tls) << r.tlsDetail;
    EXPECT_EQ(server.Delivered(), c.outcome == OneMailOutcome::kSent);
    if (c.outcome == OneMailOutcome::kSent) {
      EXPECT_EQ(server.Login(), c.login ? user : "");
    }

    // Nothing but the greeting and the upgrade itself ever went in the clear.
    bool loggedIn = false;
    for (const std::string& line : server.Received()) {
      if (StartsWith(line, "tls AUTH LOGIN")) loggedIn = true;
      if (!StartsWith(line, "plain ")) continue;
      EXPECT_EQ(line.find(password64), std::string::npos) << line;
      EXPECT_EQ(line.find(user64), std::string::npos) << line;
      if (std::string(c.mode) != "refuse" || !c.implicit) {
        EXPECT_TRUE(StartsWith(line, "plain EHLO ") || line == "plain STARTTLS" ||
                    line == "plain QUIT")
            << line;
      }
    }
    EXPECT_EQ(loggedIn, c.login && c.outcome == OneMailOutcome::kSent);
  }
}

// Servers that misbehave on purpose around STARTTLS, through the dialogue itself.
TEST(SecureSmtp, ScriptedUpgradeFailures) {
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    int64_t boundMs;
    TlsFailure tls;
    bool timedOut;
    std::vector<std::string> lines;  // what the client sent, without the EHLO argument
  } cases[] = {
      {"STARTTLS answered 454",
       {"220 mx ready", "250 mx", "454 TLS not available", "221 bye"},
       10000,
       TlsFailure::kRefused,
       false,
       {"EHLO", "STARTTLS", "QUIT"}},
      {"EHLO refused: no STARTTLS either",
       {"220 mx ready", "500 what", "221 bye"},
       10000,
       TlsFailure::kRefused,
       false,
       {"EHLO", "QUIT"}},
      {"220 to STARTTLS, then no handshake answer",
       {"220 mx ESMTP", "250 mx", "220 go", "<silent>"},
       300,
       TlsFailure::kNone,
       true,
       {"EHLO", "STARTTLS"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mailtest::FakeSmtpServer server(c.replies);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "msg.txt", "Subject: t\r\n\r\nhello\r\n");
    struct Owner : mail::CWinsockEventCallback {
      int result = -1;
      void OnEvent(unsigned message, uintptr_t, intptr_t lParam) override {
        if (message != mail::kMsgUser) return;
        result = static_cast<int>(lParam);
        mail::EventLoop::Instance().Quit();
      }
    } owner;
    mail::CSMTP smtp(&owner, mail::kMsgUser, "alice", "s3cret");
    smtp.SetBoundMs(c.boundMs);
    mail::TlsOptions tls;
    tls.secure = true;
    smtp.SetTls(tls);
    ASSERT_TRUE(smtp.Start("127.0.0.1", static_cast<uint16_t>(server.port()), dir / "msg.txt",
                           "s@x.test", {"r@y.test"}));
    mail::EventLoop::Instance().Run();
    EXPECT_EQ(owner.result, mail::kResultFailure);
    EXPECT_EQ(smtp.tlsFailure(), c.tls) << smtp.tlsDetail();
    EXPECT_EQ(smtp.timedOut(), c.timedOut);
    std::vector<std::string> sent;
    for (const std::string& line : server.Lines()) {
      if (line.compare(0, 1, "\x16") == 0) break;  // the handshake's first record
      sent.push_back(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(sent, c.lines);
  }
}

// Servers that break the handshake, upgraded after STARTTLS or spoken to in TLS from the
// first byte: a close, garbage instead of a ServerHello, or silence. Each fails as not
// secure within the dialogue's bound, and nothing but EHLO and STARTTLS went in the clear.
TEST(SecureSmtp, BrokenHandshakes) {
  using testsupport::Close;
  using testsupport::Expect;
  using testsupport::Say;
  using testsupport::Silent;
  const std::string garbage = std::string(600, '\x7f') + "no server hello here\r\n";
  const std::vector<testsupport::Step> upgrade = {Say("220 mx ESMTP\r\n"), Expect("EHLO"),
                                                  Say("250 mx\r\n"), Expect("STARTTLS"),
                                                  Say("220 go\r\n")};
  const auto after = [&](std::vector<testsupport::Step> rest) {
    std::vector<testsupport::Step> steps = upgrade;
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
  };
  struct Case {
    const char* name;
    bool implicit;
    std::vector<testsupport::Step> steps;
    OneMailOutcome outcome;
    TlsFailure tls;
    const char* clear;  // what the server heard before the handshake began
  } cases[] = {
      {"STARTTLS, then a close", false, after({Close()}), OneMailOutcome::kNotSecure,
       TlsFailure::kHandshake, "STARTTLS\r\n"},
      {"STARTTLS, then garbage", false, after({Say(garbage), Silent()}), OneMailOutcome::kNotSecure,
       TlsFailure::kHandshake, "STARTTLS\r\n"},
      {"STARTTLS, then silence", false, after({Silent()}), OneMailOutcome::kTimedOut,
       TlsFailure::kNone, "STARTTLS\r\n"},
      {"implicit TLS answered with garbage",
       true,
       {Say(garbage), Silent()},
       OneMailOutcome::kNotSecure,
       TlsFailure::kHandshake,
       ""},
      {"implicit TLS never answered",
       true,
       {Silent()},
       OneMailOutcome::kTimedOut,
       TlsFailure::kNone,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::ServerOptions once;
    once.maxConnections = 1;
    testsupport::ScriptedServer server(c.steps, once);
    ASSERT_TRUE(server.ok());
    testsupport::TempDir temp;
    mail::SmtpOptions options;
    options.secure = true;
    options.implicit = c.implicit;
    options.port = static_cast<uint16_t>(server.port());
    const int64_t start = platform::MonotonicMs();
    const mail::OneMailResult r =
        mail::SendOneMail(TestJob("127.0.0.1", 1), "alice", "s3cret", temp.path(), 1500, options);
    EXPECT_LT(platform::MonotonicMs() - start, 10000);
    server.Stop();
    EXPECT_EQ(r.outcome, c.outcome) << r.tlsDetail;
    EXPECT_EQ(r.tls, c.tls) << r.tlsDetail;
    std::string heard = server.received();
    if (!c.implicit) heard = heard.substr(heard.find('\n') + 1);  // past the EHLO
    EXPECT_EQ(heard.substr(0, heard.find('\x16')), c.clear);
  }
}

TEST(SecureSmtp, PortsForTheOptions) {
  struct Case {
    bool secure, implicit;
    uint16_t port, plain, expected;
  } cases[] = {
      {false, false, 0, 25, 25},    {true, false, 0, 25, 25},     {true, true, 0, 25, 465},
      {true, true, 2465, 25, 2465}, {false, true, 0, 2525, 2525}, {true, false, 587, 25, 587},
  };
  for (const Case& c : cases) {
    mail::SmtpOptions o;
    o.secure = c.secure;
    o.implicit = c.implicit;
    o.port = c.port;
    EXPECT_EQ(mail::SmtpPortFor(o, c.plain), c.expected) << c.secure << c.implicit << c.port;
  }
}

// The job file's TLS block: only a secure job has it, the described texts read the same
// with it, and a damaged block cannot make a secure job plain.
TEST(SecureSmtp, JobFileTlsBlock) {
  mail::MailJob plain = TestJob("mx.test", 25);
  plain.logDestination = "/srv/v/RelayKitLog,1,KT.Varnock";
  const std::string plainBytes = mail::EncodeMailJob(plain);
  EXPECT_EQ(plainBytes.find("VarnPostTLS1"), std::string::npos);
  EXPECT_EQ(plainBytes.back(), '\0');
  EXPECT_FALSE(mail::DecodeMailJob(plainBytes)->tls.secure);

  struct Case {
    bool implicit, verify;
    std::string caFile, storedCaFile;
  } cases[] = {
      {false, true, "", ""},
      {true, false, "/etc/ssl/own.pem", "/etc/ssl/own.pem"},
      {false, true, "/a\nMODE=implicit", "/a"},  // a line end cannot add a line
  };
  for (const Case& c : cases) {
    mail::MailJob job = plain;
    job.tls.secure = true;
    job.tls.implicit = c.implicit;
    job.tls.verify = c.verify;
    job.tls.caFile = c.caFile;
    const std::string bytes = mail::EncodeMailJob(job);
    // The described part is the plain job's, byte for byte; the block follows it.
    EXPECT_EQ(bytes.substr(0, plainBytes.size()), plainBytes);
    const std::optional<mail::MailJob> back = mail::DecodeMailJob(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->smtpHost, "mx.test");
    EXPECT_EQ(back->logDestination, plain.logDestination);
    EXPECT_TRUE(back->tls.secure);
    EXPECT_EQ(back->tls.implicit, c.implicit);
    EXPECT_EQ(back->tls.verify, c.verify);
    EXPECT_EQ(back->tls.caFile, c.storedCaFile);
  }
  const std::pair<std::string, bool> damaged[] = {
      {"VarnPostTLS1\n", true},                       // no lines at all: STARTTLS, verified
      {"VarnPostTLS1\nMODE=tls\nVERIFY=no\n", true},  // unknown words: the safe reading
      {"VarnPostTLS1", false},                        // cut inside the magic: no block
      {"garbage", false},
  };
  for (const auto& [tail, secure] : damaged) {
    const std::optional<mail::MailJob> back = mail::DecodeMailJob(plainBytes + tail);
    ASSERT_TRUE(back) << tail;
    EXPECT_EQ(back->tls.secure, secure) << tail;
    if (secure) {
      EXPECT_FALSE(back->tls.implicit);
      EXPECT_TRUE(back->tls.verify);
    }
  }
}

std::string VarnPost() {
  return std::string(VARN_BIN_DIR) + "/VarnPost";
}

TEST(SecureSmtp, AlertSenderOverTls) {
  ASSERT_TRUE(Ca().ok);
  struct Case {
    const char* name;
    const char* mode;
    bool implicit;
    bool delivered;
    const char* logged;  // the end of the mail log entry's first line
  } cases[] = {
      {"STARTTLS relay with AUTH", "starttls", false, true, "Error:RESULT_SUCCESS]"},
      {"implicit TLS relay", "implicit", true, true, "Error:RESULT_SUCCESS]"},
      {"relay without STARTTLS", "refuse", false, false,
       "Error:RESULT_FAILURE (server refused STARTTLS)]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsServer server(c.mode, std::string(c.mode) == "refuse" ? "" : "good", "alice", "s3cret");
    ASSERT_GT(server.port(), 0);
    testsupport::TempDir site;
    platform::MakeDirs(site / "tmp");
    platform::MakeDirs(site / "Log/Disp");
    testsupport::WriteFile(site / "etc/RELAYKIT3.INI", "[PROGRAM]\nRETRYCOUNT=1\n");
    mail::MailJob job = TestJob("127.0.0.1", server.port());
    job.logDestination = mail::LogDestinationText(site / "RelayKitLog", 2, "KT.Varnock");
    job.tls.secure = true;
    job.tls.implicit = c.implicit;
    job.tls.caFile = Ca().ca;
    ASSERT_TRUE(mail::WriteMailJob(site / "CON1.tmp", job));
    const auto run = mailtest::RunProgram(VarnPost(), {site / "CON1.tmp"}, "alice\ns3cret\n",
                                          {{"VARNPOST_ETC_DIR", site / "etc"},
                                           {"VARNPOST_TEST_PAUSE_MS", "10"},
                                           {"VARNPOST_TEST_BOUND_MS", "10000"},
                                           {"TMPDIR", site / "tmp"}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(server.Delivered(), c.delivered);
    std::string log;
    for (const std::string& f : platform::ListFiles(site / "RelayKitLog"))
      log += testsupport::ReadFile(site / ("RelayKitLog/" + f));
    const std::string first = log.substr(0, log.find("\r\n"));
    EXPECT_TRUE(first.size() >= std::strlen(c.logged) &&
                first.compare(first.size() - std::strlen(c.logged), std::string::npos, c.logged) ==
                    0)
        << first;
    EXPECT_FALSE(platform::PathExists(site / "CON1.tmp"));
    for (const std::string& line : server.Received())
      EXPECT_FALSE(StartsWith(line, "plain AUTH")) << line;
    if (!c.delivered) {
      std::string daily;
      for (const std::string& f : platform::ListFiles(site / "Log"))
        if (f.size() > 4 && f.substr(f.size() - 4) == ".log")
          daily += testsupport::ReadFile(site / ("Log/" + f));
      EXPECT_NE(daily.find("(server refused STARTTLS)"), std::string::npos) << daily;
    }
  }
}

}  // namespace
