// The alert mail's TLS settings (Varnock.ini), the server choice with ports and security,
// the connect probe for TLS from the first byte, and the round trip's codes and texts for
// a connection that was to be secure and is not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "agents/framework/account_tls.h"
#include "agents/framework/alert_dispatch.h"
#include "agents/framework/error_text.h"
#include "agents/roundtrip/round_trip.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/mail_transport.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

using common::MailSecurity;

TEST(AlertMailTransport, ReadFromVarnockIni) {
  struct Case {
    const char* ini;  // lines of [PROGRAM]
    uint16_t port, altPort;
    MailSecurity security, altSecurity;
    bool primaryProblem, alternateProblem;
    bool verify;
  } cases[] = {
      {"", 25, 25, MailSecurity::kNone, MailSecurity::kNone, false, false, true},
      {"MAILSECURITY=starttls\nMAILPORT=587\n", 587, 25, MailSecurity::kStartTls,
       MailSecurity::kNone, false, false, true},
      {"MAILSECURITY=TLS\nALTMAILSECURITY=StartTLS\nALTMAILPORT=2525\nMAILVERIFY=0\n", 465, 2525,
       MailSecurity::kTls, MailSecurity::kStartTls, false, false, false},
      {"MAILSECURITY=2\nALTMAILSECURITY=1\n", 465, 25, MailSecurity::kTls, MailSecurity::kStartTls,
       false, false, true},
      // A value that cannot be used makes its server unusable; never plain by mistake.
      {"MAILSECURITY=startls\n", 25, 25, MailSecurity::kNone, MailSecurity::kNone, true, false,
       true},
      {"MAILPORT=0\nALTMAILPORT=70000\n", 25, 25, MailSecurity::kNone, MailSecurity::kNone, true,
       true, true},
      {"MAILPORT=25x\n", 25, 25, MailSecurity::kNone, MailSecurity::kNone, true, false, true},
  };
  for (const Case& c : cases) {
    testsupport::TempDir dir;
    testsupport::WriteFile(common::IniPath(dir.path()), std::string("[PROGRAM]\n") + c.ini);
    const common::AlertMailTransport t = common::ReadAlertMailTransport(dir.path());
    EXPECT_EQ(t.primary.port, c.port) << c.ini;
    EXPECT_EQ(t.alternate.port, c.altPort) << c.ini;
    EXPECT_EQ(t.primary.security, c.security) << c.ini;
    EXPECT_EQ(t.alternate.security, c.altSecurity) << c.ini;
    EXPECT_EQ(!t.primary.problem.empty(), c.primaryProblem) << c.ini << t.primary.problem;
    EXPECT_EQ(!t.alternate.problem.empty(), c.alternateProblem) << c.ini;
    EXPECT_EQ(t.verify, c.verify) << c.ini;
  }
}

TEST(AlertMailTransport, WriteKeepsADefaultSetupAsItWas) {
  testsupport::TempDir dir;
  const std::string ini = common::IniPath(dir.path());
  testsupport::WriteFile(ini, "[PROGRAM]\nLANGUAGE=0\n");
  ASSERT_TRUE(common::WriteAlertMailTransport(dir.path(), {}));
  EXPECT_EQ(testsupport::ReadFile(ini), "[PROGRAM]\nLANGUAGE=0\n");

  common::AlertMailTransport t;
  t.primary = {587, MailSecurity::kStartTls, ""};
  t.alternate = {465, MailSecurity::kTls, ""};
  t.verify = false;
  t.caFile = "/etc/varnock/relay-ca.pem";
  ASSERT_TRUE(common::WriteAlertMailTransport(dir.path(), t));
  const common::AlertMailTransport back = common::ReadAlertMailTransport(dir.path());
  EXPECT_EQ(back.primary.port, 587);
  EXPECT_EQ(back.primary.security, MailSecurity::kStartTls);
  EXPECT_EQ(back.alternate.port, 465);
  EXPECT_EQ(back.alternate.security, MailSecurity::kTls);
  EXPECT_FALSE(back.verify);
  EXPECT_EQ(back.caFile, t.caFile);
  EXPECT_EQ(platform::IniGetString(ini, "PROGRAM", "MAILSECURITY", ""), "starttls");

  // Back to the defaults: the keys now present are set to them, and read as before.
  ASSERT_TRUE(common::WriteAlertMailTransport(dir.path(), {}));
  const common::AlertMailTransport reset = common::ReadAlertMailTransport(dir.path());
  EXPECT_EQ(reset.primary.port, 25);
  EXPECT_EQ(reset.primary.security, MailSecurity::kNone);
  EXPECT_EQ(reset.alternate.port, 25);
  EXPECT_TRUE(reset.verify);
  EXPECT_EQ(reset.caFile, "");
}

struct FakeNet {
  static inline std::map<std::string, int32_t> greeting, listening;
  static inline std::vector<std::string> asked;
  static int32_t Ping(const char*, int32_t, int32_t, int32_t, int32_t) { return 1; }
  static int32_t Greeting(const char* h, int32_t port, int32_t) {
    asked.push_back("greeting " + std::string(h) + ":" + std::to_string(port));
    auto it = greeting.find(std::string(h) + ":" + std::to_string(port));
    return it == greeting.end() ? -902 : it->second;
  }
  static int32_t Listening(const char* h, int32_t port, int32_t) {
    asked.push_back("connect " + std::string(h) + ":" + std::to_string(port));
    auto it = listening.find(std::string(h) + ":" + std::to_string(port));
    return it == listening.end() ? -902 : it->second;
  }
};

TEST(AlertMailTransport, ServerChoiceProbesTheConfiguredPort) {
  common::AlertSettings settings{};
  common::SetField(settings.primaryServer, "p");
  common::SetField(settings.alternateServer, "a");
  common::AlertAuth auth{};
  common::SetField(auth.primaryUser, "pu");
  common::SetField(auth.alternateUser, "au");
  const agents::MailServerProbes probes{&FakeNet::Ping, &FakeNet::Greeting, &FakeNet::Listening};
  struct Case {
    const char* name;
    common::MailServerTransport primary, alternate;
    std::map<std::string, int32_t> greeting, listening;
    const char* chosen;
    uint16_t port;
    MailSecurity security;
    std::vector<std::string> asked;
  } cases[] = {
      {"defaults: port 25 as before",
       {},
       {},
       {{"p:25", 1}},
       {},
       "p",
       25,
       MailSecurity::kNone,
       {"greeting p:25"}},
      {"STARTTLS on 587 is greeted in the clear",
       {587, MailSecurity::kStartTls, ""},
       {},
       {{"p:587", 1}},
       {},
       "p",
       587,
       MailSecurity::kStartTls,
       {"greeting p:587"}},
      {"TLS from the first byte: a connection is enough",
       {465, MailSecurity::kTls, ""},
       {},
       {},
       {{"p:465", 1}},
       "p",
       465,
       MailSecurity::kTls,
       {"connect p:465"}},
      {"a primary with unusable settings is passed over",
       {25, MailSecurity::kNone, "MAILSECURITY=x"},
       {2525, MailSecurity::kStartTls, ""},
       {{"p:25", 1}, {"a:2525", 1}},
       {},
       "a",
       2525,
       MailSecurity::kStartTls,
       {"greeting a:2525"}},
      {"neither answers",
       {465, MailSecurity::kTls, ""},
       {},
       {},
       {},
       "",
       0,
       MailSecurity::kNone,
       {"connect p:465", "greeting a:25"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNet::greeting = c.greeting;
    FakeNet::listening = c.listening;
    FakeNet::asked.clear();
    common::AlertMailTransport transport;
    transport.primary = c.primary;
    transport.alternate = c.alternate;
    const std::optional<agents::MailServerChoice> got =
        agents::ChooseMailServer(settings, auth, probes, transport);
    EXPECT_EQ(FakeNet::asked, c.asked);
    ASSERT_EQ(got.has_value(), c.chosen[0] != '\0');
    if (!got) continue;
    EXPECT_EQ(got->server, c.chosen);
    EXPECT_EQ(got->user, std::string(c.chosen) + "u");
    EXPECT_EQ(got->port, c.port);
    EXPECT_EQ(got->security, c.security);
  }
}

TEST(AlertMailTransport, ConnectProbe) {
  int open = 0;
  const int listener = testsupport::ListenLoopback(&open, 4);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(agents::ConnectProbe("127.0.0.1", open, 2000), 1);
  EXPECT_EQ(agents::ConnectProbe("localhost", open, 2000), 1);
  close(listener);
  EXPECT_EQ(agents::ConnectProbe("127.0.0.1", open, 2000), -902);
  EXPECT_EQ(agents::ConnectProbe("127.0.0.1", 0, 2000), -902);
  EXPECT_EQ(agents::ConnectProbe("no-such-host.invalid", 25, 2000), -901);
}

TEST(RoundTripSecureSend, CodesAndTexts) {
  struct Case {
    mail::TlsFailure tls;
    int32_t code;
    const char* text;
  } cases[] = {
      {mail::TlsFailure::kHandshake, -920, "TLS_HANDSHAKE Domain/IP: mx"},
      {mail::TlsFailure::kCaFile, -920, "TLS_HANDSHAKE Domain/IP: mx"},
      {mail::TlsFailure::kUntrusted, -921, "TLS_CERT_UNTRUSTED Domain/IP: mx"},
      {mail::TlsFailure::kExpired, -922, "TLS_CERT_EXPIRED Domain/IP: mx"},
      {mail::TlsFailure::kHostMismatch, -923, "TLS_CERT_HOSTNAME Domain/IP: mx"},
      {mail::TlsFailure::kRefused, -925, "TLS_REFUSED Domain/IP: mx"},
      {mail::TlsFailure::kExpiresSoon, -924, "TLS_CERT_EXPIRES_SOON Domain/IP: mx"},
  };
  for (const Case& c : cases) {
    mail::OneMailResult r;
    r.outcome = mail::OneMailOutcome::kNotSecure;
    r.tls = c.tls;
    EXPECT_EQ(roundtrip::SendCode(r), c.code) << c.text;
    EXPECT_EQ(agents::ErrorText(c.code, "mx", true), c.text);
  }
  // The send's detail gives a certificate ending soon its date and days left in the log.
  EXPECT_EQ(
      agents::SecureErrorText(-924, "mx", true,
                              "the certificate expires on 2031-05-06 07:08:09 GMT (3 days "
                              "left)"),
      "TLS_CERT_EXPIRES_SOON Domain/IP: mx (certificate valid until 2031-05-06, 3 days left)");
  // The plain outcomes keep their codes.
  mail::OneMailResult plain;
  plain.outcome = mail::OneMailOutcome::kLoginRefused;
  EXPECT_EQ(roundtrip::SendCode(plain), -911);
  plain.outcome = mail::OneMailOutcome::kRefused;
  EXPECT_EQ(roundtrip::SendCode(plain), -904);
}

// The round trip's SMTP side from the account's side file.
TEST(RoundTripSecureSend, OptionsFromTheSideFile) {
  struct Case {
    const char* file;  // [ACCOUNT] lines; nullptr: no side file
    bool secure, implicit, verify;
    uint16_t port;
    bool caFile;
  } cases[] = {
      {nullptr, false, false, true, 0, false},
      {"SECURE=1\n", true, false, true, 0, true},
      {"SECURE=1\nTLSMODE=implicit\n", true, true, true, 0, true},
      {"SECURE=1\nTLSMODE=implicit\nPORT=465\n", true, true, true, 0, true},
      {"SECURE=1\nPORT=587\nVERIFY=0\n", true, false, false, 587, true},
      // A plain account keeps the plain dialogue; only a port of its own changes.
      {"PORT=2525\n", false, false, true, 2525, false},
      {"PORT=25\nPOPPORT=1110\n", false, false, true, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "(none)");
    testsupport::TempDir dir;
    testsupport::WriteFile(common::IniPath(dir.path()), "[PROGRAM]\nTLSCAFILE=/etc/ca.pem\n");
    const std::string key = common::HexKey("mail1");
    if (c.file) {
      platform::MakeDirs(dir / "AccountOptions");
      testsupport::WriteFile(common::AccountOptionsPath(dir.path(), key),
                             std::string("[ACCOUNT]\n") + c.file);
    }
    const mail::SmtpOptions o = roundtrip::AccountSmtpOptions(dir.path(), key);
    EXPECT_EQ(o.secure, c.secure);
    EXPECT_EQ(o.implicit, c.implicit);
    EXPECT_EQ(o.verify, c.verify);
    EXPECT_EQ(o.port, c.port);
    EXPECT_EQ(o.caFile, c.caFile ? "/etc/ca.pem" : "");
    EXPECT_EQ(o.certDays, c.secure ? 14 : 0) << "the warning days of a secure account";
  }
}

}  // namespace
