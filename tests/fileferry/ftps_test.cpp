// The secure forms against vsftpd with AUTH TLS and with TLS from the first byte, with
// certificates from a test authority, and against servers that refuse or break the upgrade.
// The control connection goes through a relay that records what the client sent: the user
// name and password never cross the wire in the clear.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FileFerry.h"
#include "ftp_servers.h"
#include "ftps_servers.h"
#include "platform/files.h"
#include "support/capture_relay.h"
#include "support/cert_authority.h"
#include "support/temp_dir.h"

namespace {

using ftptest::FtpsMode;
using ftptest::kPassword;
using ftptest::kUser;
using testsupport::ReadFile;
using testsupport::WriteFile;

enum Cert { kValid, kWrongHost, kExpired, kSelfSigned, kEndsSoon };
enum Mode { kPlain = 0, kExplicit = 1, kImplicit = 2 };

struct ErrorText {
  char text[1024] = "";
};

testsupport::CertSpec SpecFor(Cert cert) {
  testsupport::CertSpec spec;
  if (cert == kWrongHost) {
    spec.dnsNames = {"wrong.example"};
    spec.addresses = {};
  }
  if (cert == kExpired) {
    spec.startDays = -30;
    spec.endDays = -1;
  }
  if (cert == kEndsSoon) spec.endDays = 5;
  spec.selfSigned = cert == kSelfSigned;
  return spec;
}

struct Case {
  const char* name;
  Cert cert;
  Mode mode;
  const char* host;
  int verify;
  bool withCaFile;
  int certDays;
  int32_t result;         // of the upload; 1: the download and delete follow
  const char* errorText;  // part of the upload's error text ("" none checked)
};

TEST(Ftps, VerdictsForEachCertificateAndMode) {
  testsupport::CertAuthority ca;
  if (!ca.ok()) GTEST_SKIP() << ca.skipReason();
  const Case cases[] = {
      {"explicit, trusted, by address", kValid, kExplicit, "127.0.0.1", 1, true, 0, 1, ""},
      {"implicit, trusted", kValid, kImplicit, "127.0.0.1", 1, true, 0, 1, ""},
      {"explicit, by host name (SNI)", kValid, kExplicit, "localhost", 1, true, 14, 1, ""},
      {"test authority not given", kValid, kExplicit, "127.0.0.1", 1, false, 0, -941, ""},
      {"wrong host name", kWrongHost, kExplicit, "127.0.0.1", 1, true, 0, -943, "127.0.0.1"},
      {"wrong host name, implicit", kWrongHost, kImplicit, "localhost", 1, true, 0, -943,
       "localhost"},
      {"wrong host name, not verified", kWrongHost, kImplicit, "127.0.0.1", 0, false, 0, 1, ""},
      {"expired", kExpired, kImplicit, "127.0.0.1", 1, true, 0, -942, "expired"},
      {"self-signed", kSelfSigned, kExplicit, "127.0.0.1", 1, true, 0, -941, "self-signed"},
      {"self-signed, not verified", kSelfSigned, kExplicit, "127.0.0.1", 0, true, 0, 1, ""},
      {"ends within the warning days", kEndsSoon, kExplicit, "127.0.0.1", 1, true, 14, -944,
       " days left)"},
      {"ends after the warning days", kEndsSoon, kImplicit, "127.0.0.1", 1, true, 3, 1, ""},
  };
  testsupport::TempDir local;
  const std::string content = "This is a FTP test file used by the TLS tests";
  WriteFile(local / "up.txt", content);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::IssuedCert cert =
        ca.Issue("c" + std::to_string(&c - cases), SpecFor(c.cert));
    ASSERT_FALSE(cert.certFile.empty());
    ftptest::Vsftpd server(
        ftptest::FtpsOptions(c.mode == kImplicit ? FtpsMode::kImplicit : FtpsMode::kExplicit,
                             cert.certFile, cert.keyFile));
    if (!server.ok()) GTEST_SKIP() << server.skipReason();
    testsupport::CaptureRelay relay(server.port());
    const std::string host = std::string(c.host) + ":" + std::to_string(relay.port());
    const char* caFile = c.withCaFile ? ca.caFile().c_str() : nullptr;

    ErrorText up;
    EXPECT_EQ(
        SendFileToHostSecure(host.c_str(), kUser, kPassword, (local / "up.txt").c_str(),
                             "FTP_test.text", 5000, up.text, c.mode, c.verify, caFile, c.certDays),
        c.result)
        << up.text << server.Log();
    if (c.result == 1) {
      EXPECT_EQ(ReadFile(server.root() + "/FTP_test.text"), content);
      ErrorText down, del;
      const std::string back = local / ("back" + std::to_string(&c - cases));
      EXPECT_EQ(
          ReceiveFileFromHostSecure(host.c_str(), kUser, kPassword, "FTP_test.text", back.c_str(),
                                    5000, down.text, c.mode, c.verify, caFile, c.certDays),
          1)
          << down.text;
      EXPECT_EQ(ReadFile(back), content);
      EXPECT_EQ(DeleteFileFromHostSecure(host.c_str(), kUser, kPassword, "FTP_test.text", 5000,
                                         del.text, c.mode, c.verify, caFile, c.certDays),
                1)
          << del.text;
      EXPECT_FALSE(platform::PathExists(server.root() + "/FTP_test.text"));
    } else {
      EXPECT_NE(up.text[0], '\0');
      EXPECT_NE(std::string(up.text).find(c.errorText), std::string::npos) << up.text;
      EXPECT_FALSE(platform::PathExists(server.root() + "/FTP_test.text"));
      if (c.result != -944) {
        // The server never heard a sign-in: the client gave up during the handshake.
        EXPECT_EQ(server.Log().find("\"USER"), std::string::npos) << server.Log();
      }
    }
    const std::string wire = relay.sent();
    EXPECT_EQ(wire.find(kPassword), std::string::npos) << "password in the clear";
    EXPECT_EQ(wire.find(kUser), std::string::npos) << "user name in the clear";
    if (c.mode == kExplicit) {
      EXPECT_EQ(wire.compare(0, 10, "AUTH TLS\r\n"), 0) << wire.substr(0, 40);
    }
  }
}

// What a scripted server got from the client, line by line.
struct Heard {
  std::mutex mutex;
  std::vector<std::string> lines;
  int connections = 0;
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  }
  bool Holds(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& l : lines)
      if (l.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
};

// Greets, answers "AUTH ..." with `answer` (nothing when empty) and records every line.
ftptest::ScriptedServer::Session AuthAnswer(std::shared_ptr<Heard> heard, std::string answer) {
  return [heard, answer](int fd, const ftptest::ScriptedServer& s) {
    {
      std::lock_guard<std::mutex> lock(heard->mutex);
      ++heard->connections;
    }
    if (!ftptest::SendText(fd, "220 scripted\r\n")) return;
    for (std::string line; !(line = ftptest::ReadCommand(fd, s, 5000)).empty();) {
      heard->Add(line);
      if (line.rfind("AUTH ", 0) == 0) {
        if (!answer.empty()) ftptest::SendText(fd, answer);
        if (answer.rfind("234", 0) == 0) {
          ftptest::WaitForClose(fd, s);  // a handshake that never comes back
          return;
        }
      } else {
        ftptest::SendText(fd, "530 sign in first\r\n");
      }
    }
  };
}

struct BrokenCase {
  const char* name;
  std::string answer;
  int32_t timeoutMs;
  int32_t result;
};

TEST(FtpsBroken, UpgradeFailuresSendNoCredentials) {
  const BrokenCase cases[] = {
      {"AUTH TLS refused", "504 not here\r\n", 3000, -945},
      {"garbage instead of a ServerHello", "234 go ahead\r\nthis is not TLS at all\r\n", 3000,
       -940},
      {"handshake never answered", "234 go ahead\r\n", 1000, -940},
  };
  testsupport::TempDir local;
  WriteFile(local / "up.txt", "x");
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto heard = std::make_shared<Heard>();
    auto server = std::make_unique<ftptest::ScriptedServer>(AuthAnswer(heard, c.answer));
    ErrorText error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        SendFileToHostSecure(server->server().c_str(), kUser, kPassword, (local / "up.txt").c_str(),
                             "FTP_test.text", c.timeoutMs, error.text, kExplicit, 1, nullptr, 0),
        c.result)
        << error.text;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_NE(error.text[0], '\0');
    server.reset();
    EXPECT_TRUE(heard->Holds("AUTH TLS"));
    EXPECT_FALSE(heard->Holds("USER"));
    EXPECT_FALSE(heard->Holds("PASS"));
  }
}

TEST(FtpsBroken, PlainVsftpdRefusesAuthTls) {
  ftptest::VsftpdOptions options;
  options.logProtocol = true;
  ftptest::Vsftpd server(options);
  if (!server.ok()) GTEST_SKIP() << server.skipReason();
  ErrorText error;
  EXPECT_EQ(DeleteFileFromHostSecure(server.server().c_str(), kUser, kPassword, "x", 5000,
                                     error.text, kExplicit, 1, nullptr, 0),
            -945);
  EXPECT_NE(server.Log().find("AUTH TLS"), std::string::npos) << server.Log();
  EXPECT_EQ(server.Log().find("\"USER"), std::string::npos) << server.Log();
}

TEST(FtpsBroken, ImplicitTlsAgainstAPlainServerFails) {
  auto heard = std::make_shared<Heard>();
  ftptest::ScriptedServer server(AuthAnswer(heard, ""));
  ErrorText error;
  EXPECT_EQ(DeleteFileFromHostSecure(server.server().c_str(), kUser, kPassword, "x", 3000,
                                     error.text, kImplicit, 1, nullptr, 0),
            -940);
  EXPECT_NE(error.text[0], '\0');
}

TEST(FtpsBroken, UnknownModeConnectsNowhere) {
  auto heard = std::make_shared<Heard>();
  ftptest::ScriptedServer server(AuthAnswer(heard, "234 go ahead\r\n"));
  for (int mode : {-1, 3, 99}) {
    ErrorText error;
    EXPECT_EQ(DeleteFileFromHostSecure(server.server().c_str(), kUser, kPassword, "x", 3000,
                                       error.text, mode, 1, nullptr, 0),
              -912);
    EXPECT_STREQ(error.text, "Unknown TLS mode");
  }
  EXPECT_EQ(heard->connections, 0);
}

// Mode 0 is the described call: the same commands on the wire, the same result.
TEST(FtpsPlain, ModeZeroSpeaksAsTheDescribedCall) {
  ftptest::Vsftpd server;
  if (!server.ok()) GTEST_SKIP() << server.skipReason();
  // Passive, so no address of the client's own (which differs per call) is on the wire.
  ::setenv("VARN_FTP_PASSIVE", "1", 1);
  testsupport::TempDir local;
  WriteFile(local / "up.txt", "plain");
  std::string wire[2];
  for (int i = 0; i < 2; ++i) {
    testsupport::CaptureRelay relay(server.port());
    const std::string host = "127.0.0.1:" + std::to_string(relay.port());
    ErrorText error;
    const int32_t result =
        i == 0 ? SendFileToHost(host.c_str(), kUser, kPassword, (local / "up.txt").c_str(),
                                "FTP_test.text", 5000, error.text)
               : SendFileToHostSecure(host.c_str(), kUser, kPassword, (local / "up.txt").c_str(),
                                      "FTP_test.text", 5000, error.text, 0, 1, nullptr, 14);
    EXPECT_EQ(result, 1) << error.text;
    wire[i] = relay.sent();
  }
  ::unsetenv("VARN_FTP_PASSIVE");
  EXPECT_EQ(wire[0], wire[1]);
  EXPECT_NE(wire[0].find("USER "), std::string::npos);
}

}  // namespace
