// POP3_RetrieveAllSecure against a dovecot that requires STLS (and speaks TLS from the first
// byte on a second port), with certificates from a test authority, and against scripted
// servers that refuse or break the upgrade. Every call goes through a relay that records
// what the client sent: the password never crosses the wire in the clear.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "InboxPull.h"
#include "mail_servers.h"
#include "platform/files.h"
#include "secure_pop3.h"
#include "support/capture_relay.h"
#include "support/cert_authority.h"
#include "support/temp_dir.h"

namespace {

using mailtest::ReadCommand;
using mailtest::ScriptedPop3;
using mailtest::SecureDovecot;
using mailtest::Send;

constexpr const char* kUser = "carol";
constexpr const char* kPassword = "Tls-Pop-9qZ";

enum Cert { kValid, kWrongHost, kExpired, kSelfSigned, kEndsSoon };
enum Mode { kPlain = 0, kStls = 1, kImplicit = 2 };

std::string Message(const std::string& id) {
  return "From: a@test.local\r\nTo: carol@test.local\r\nSubject: s\r\nMessage-ID: <" + id +
         ">\r\n\r\nbody\r\n";
}

// The error text of the last call made with Secure().
std::string gReason;

int32_t Secure(const std::string& host, int port, const std::string& dir, int mode, int verify,
               const std::string& caFile, int certDays, const std::string& log,
               int32_t timeoutMs = 5000) {
  char text[1024] = "untouched";
  const int32_t result =
      POP3_RetrieveAllSecure(host.c_str(), kUser, kPassword, dir.c_str(), ".eml", 1, 2, log.c_str(),
                             port, timeoutMs, mode, verify, caFile.c_str(), certDays, text);
  gReason = text;
  return result;
}

class SecurePop3Test : public testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new testsupport::CertAuthority(); }
  static void TearDownTestSuite() {
    servers_.clear();
    delete ca_;
    ca_ = nullptr;
  }
  void SetUp() override {
    if (!ca_->ok()) GTEST_SKIP() << ca_->skipReason();
  }

  // One server per certificate, started on first use and kept for the suite.
  static SecureDovecot& ServerWith(Cert cert) {
    std::unique_ptr<SecureDovecot>& server = servers_[cert];
    if (!server) {
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
      const testsupport::IssuedCert issued = ca_->Issue("server" + std::to_string(cert), spec);
      server = std::make_unique<SecureDovecot>(std::vector<mailtest::MailUser>{{kUser, kPassword}},
                                               issued.certFile, issued.keyFile);
    }
    return *server;
  }

  static testsupport::CertAuthority* ca_;
  static std::map<Cert, std::unique_ptr<SecureDovecot>> servers_;
  testsupport::TempDir dir_;
};

testsupport::CertAuthority* SecurePop3Test::ca_ = nullptr;
std::map<Cert, std::unique_ptr<SecureDovecot>> SecurePop3Test::servers_;

struct Case {
  const char* name;
  Cert cert;
  Mode mode;
  const char* host;
  int verify;
  bool withCaFile;
  int certDays;
  int32_t result;       // 1: the one message delivered is stored
  const char* logText;  // a level-1 entry the log must hold ("" for none)
};

TEST_F(SecurePop3Test, VerdictsForEachCertificateAndMode) {
  const Case cases[] = {
      {"STLS, trusted, by address", kValid, kStls, "127.0.0.1", 1, true, 0, 1, ""},
      {"implicit, trusted", kValid, kImplicit, "127.0.0.1", 1, true, 0, 1, ""},
      {"STLS, by host name (SNI)", kValid, kStls, "localhost", 1, true, 0, 1, ""},
      {"ends in 30 days, warned at 14", kValid, kImplicit, "127.0.0.1", 1, true, 14, 1, ""},
      {"test authority not given", kValid, kStls, "127.0.0.1", 1, false, 0, -941,
       "Certificate not trusted: "},
      {"wrong host name", kWrongHost, kStls, "127.0.0.1", 1, true, 0, -943,
       "Certificate does not match host 127.0.0.1: "},
      {"wrong host name, implicit", kWrongHost, kImplicit, "localhost", 1, true, 0, -943,
       "Certificate does not match host localhost: "},
      {"wrong host name, not verified", kWrongHost, kImplicit, "127.0.0.1", 0, false, 0, 1, ""},
      {"expired", kExpired, kImplicit, "127.0.0.1", 1, true, 0, -942,
       "Certificate expired: certificate has expired"},
      {"expired, not verified but warned", kExpired, kStls, "127.0.0.1", 0, false, 14, -942,
       "Certificate expired: the certificate ended on "},
      {"self-signed", kSelfSigned, kStls, "127.0.0.1", 1, true, 0, -941,
       "Certificate not trusted: "},
      {"self-signed, not verified", kSelfSigned, kImplicit, "127.0.0.1", 0, true, 0, 1, ""},
      {"ends within the warning days", kEndsSoon, kStls, "127.0.0.1", 1, true, 14, -944,
       " days left)"},
      {"ends after the warning days", kEndsSoon, kImplicit, "127.0.0.1", 1, true, 3, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SecureDovecot& server = ServerWith(c.cert);
    if (!server.ok()) GTEST_SKIP() << server.skipReason();
    server.Deliver(kUser, Message(std::string("m") + std::to_string(&c - cases)));
    testsupport::CaptureRelay relay(c.mode == kStls ? server.stlsPort() : server.implicitPort());
    const std::string box = dir_ / (std::string("box") + std::to_string(&c - cases));
    const std::string log = box + ".log";

    EXPECT_EQ(Secure(c.host, relay.port(), box, c.mode, c.verify, c.withCaFile ? ca_->caFile() : "",
                     c.certDays, log),
              c.result);
    const std::string logText = testsupport::ReadFile(log);
    if (*c.logText != '\0') {
      EXPECT_NE(logText.find(c.logText), std::string::npos) << logText;
      // The caller gets the same words.
      EXPECT_NE(gReason.find(c.logText), std::string::npos) << gReason;
    } else {
      EXPECT_EQ(gReason, "untouched");
    }
    if (c.result == 1) {
      EXPECT_EQ(platform::ListFiles(box).size(), 1u);
      EXPECT_NE(logText.find("TLS established: TLSv1."), std::string::npos) << logText;
    } else {
      EXPECT_EQ(logText.find("USER "), std::string::npos) << "no sign-in after a failed upgrade";
      // Left for the next case's call to collect.
      EXPECT_EQ(server.MessageCount(kUser), 1);
    }
    const std::string wire = relay.sent();
    EXPECT_EQ(wire.find(kPassword), std::string::npos) << "password in the clear";
    EXPECT_EQ(wire.find("USER"), std::string::npos) << "user name in the clear";
    if (c.mode == kStls) {
      EXPECT_EQ(wire.compare(0, 6, "STLS\r\n"), 0) << wire.substr(0, 40);
    }
    if (c.result != 1) {
      // Empties the mailbox for the next case.
      Secure(c.host, c.mode == kStls ? server.stlsPort() : server.implicitPort(), dir_ / "drain",
             c.mode, 0, "", 0, "");
    }
  }
}

// What a scripted server got from the client, command by command.
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

// Greets, answers STLS with `answer` and then records every line the client sends.
ScriptedPop3::Session StlsAnswer(std::shared_ptr<Heard> heard, std::string answer) {
  return [heard, answer](int fd, const ScriptedPop3& s) {
    {
      std::lock_guard<std::mutex> lock(heard->mutex);
      ++heard->connections;
    }
    if (!Send(fd, "+OK scripted\r\n")) return;
    const std::string first = ReadCommand(fd, s);
    heard->Add(first);
    if (first != "STLS") return;
    if (!answer.empty() && !Send(fd, answer)) return;
    for (std::string line; !(line = ReadCommand(fd, s)).empty();) {
      heard->Add(line);
      if (line.rfind("USER", 0) == 0) Send(fd, "+OK\r\n");
    }
  };
}

struct BrokenCase {
  const char* name;
  Mode mode;
  std::string answer;  // the reply to STLS ("" none); for implicit the greeting sent at once
  int32_t timeoutMs;
  int32_t result;
  const char* logText;
};

TEST(SecurePop3Broken, UpgradeFailuresSendNoCredentials) {
  const BrokenCase cases[] = {
      {"STLS refused", kStls, "-ERR not here\r\n", 3000, -945, "Server refused STLS"},
      {"STLS answered by a close", kStls, "", 3000, -945, "Server refused STLS: no answer"},
      {"garbage instead of a ServerHello", kStls, "+OK go ahead\r\nthis is not TLS at all\r\n",
       3000, -940, "TLS handshake failed: "},
      {"clear text behind +OK", kStls, "+OK go ahead\r\n+OK injected\r\n", 3000, -940,
       "unencrypted data after the STLS reply"},
      {"handshake never answered", kStls, "+OK go ahead\r\n", 1000, -940,
       "TLS handshake failed: no answer in time"},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto heard = std::make_shared<Heard>();
    std::unique_ptr<ScriptedPop3> server;
    if (c.answer.empty()) {
      server = std::make_unique<ScriptedPop3>([heard](int fd, const ScriptedPop3& s) {
        Send(fd, "+OK scripted\r\n");
        heard->Add(ReadCommand(fd, s));
      });
    } else {
      server = std::make_unique<ScriptedPop3>(StlsAnswer(heard, c.answer));
    }
    testsupport::TempDir dir;
    const std::string log = dir / "pop.log";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Secure("127.0.0.1", server->port(), dir / "box", c.mode, 1, "", 0, log, c.timeoutMs),
              c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(testsupport::ReadFile(log).find(c.logText), std::string::npos)
        << testsupport::ReadFile(log);
    EXPECT_NE(gReason.find(c.logText), std::string::npos) << gReason;
    server.reset();  // the sessions have ended: everything the client sent is recorded
    EXPECT_TRUE(heard->Holds("STLS"));
    EXPECT_FALSE(heard->Holds("USER"));
    EXPECT_FALSE(heard->Holds("PASS"));
  }
}

TEST(SecurePop3Broken, ImplicitTlsAgainstAPlainServerFails) {
  auto heard = std::make_shared<Heard>();
  ScriptedPop3 server([heard](int fd, const ScriptedPop3& s) {
    Send(fd, "+OK plain POP3 here\r\n");
    for (std::string line; !(line = ReadCommand(fd, s)).empty();) heard->Add(line);
  });
  testsupport::TempDir dir;
  EXPECT_EQ(Secure("127.0.0.1", server.port(), dir / "box", kImplicit, 1, "", 0, dir / "l"), -940);
  EXPECT_NE(testsupport::ReadFile(dir / "l").find("TLS handshake failed: "), std::string::npos);
}

TEST(SecurePop3Broken, UnknownModeSendsNothing) {
  auto heard = std::make_shared<Heard>();
  ScriptedPop3 server(StlsAnswer(heard, "+OK\r\n"));
  testsupport::TempDir dir;
  for (int mode : {-1, 3, 1000}) {
    EXPECT_EQ(Secure("127.0.0.1", server.port(), dir / "box", mode, 1, "", 0, ""), -1) << mode;
  }
  EXPECT_EQ(heard->connections, 0);
}

// Mode 0 is the described call: the same bytes on the wire, the same result.
TEST(SecurePop3Plain, ModeZeroSpeaksAsTheDescribedCall) {
  mailtest::Dovecot pop{{{kUser, kPassword}}};
  if (!pop.ok()) GTEST_SKIP() << pop.skipReason();
  testsupport::TempDir dir;
  std::string wire[2];
  int32_t result[2];
  for (int i = 0; i < 2; ++i) {
    pop.Deliver(kUser, Message("same"));
    testsupport::CaptureRelay relay(pop.port());
    const std::string box = dir / ("box" + std::to_string(i));
    result[i] = i == 0
                    ? POP3_RetrieveAllWithPort("127.0.0.1", kUser, kPassword, box.c_str(), ".eml",
                                               1, 0, "", relay.port(), 5000)
                    : POP3_RetrieveAllSecure("127.0.0.1", kUser, kPassword, box.c_str(), ".eml", 1,
                                             0, "", relay.port(), 5000, 0, 1, nullptr, 14, nullptr);
    wire[i] = relay.sent();
  }
  EXPECT_EQ(result[0], 1);
  EXPECT_EQ(result[1], 1);
  EXPECT_EQ(wire[0], wire[1]);
  EXPECT_EQ(wire[0].compare(0, 5, "USER "), 0);
}

}  // namespace

namespace {

// A TLS server of Python's ssl module on 127.0.0.1 for one connection: it greets after the
// handshake, reads one line and then resets the connection without an answer.
class ResettingTlsServer {
 public:
  ResettingTlsServer(const std::string& certFile, const std::string& keyFile) {
    static const char kScript[] =
        "import socket, ssl, struct, sys\n"
        "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
        "ctx.load_cert_chain(sys.argv[1], sys.argv[2])\n"
        "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(1)\n"
        "print(s.getsockname()[1], flush=True)\n"
        "s.settimeout(20)\n"
        "c, _ = s.accept(); c.settimeout(20)\n"
        "t = ctx.wrap_socket(c, server_side=True)\n"
        "t.sendall(b'+OK tls\\r\\n')\n"
        "line = b''\n"
        "while not line.endswith(b'\\n'): line += t.recv(1)\n"
        "t.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))\n"
        "t.close()\n";
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execl("/usr/bin/python3", "python3", "-c", kScript, certFile.c_str(), keyFile.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
  }
  ~ResettingTlsServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A server that drops the connection mid-dialogue ends the call with a result; the write of
// the close notify to the dead socket does not raise SIGPIPE in the calling program.
TEST(SecurePop3Broken, ResetAfterUserEndsTheCallNotTheProgram) {
  testsupport::CertAuthority ca;
  if (!ca.ok()) GTEST_SKIP() << ca.skipReason();
  const testsupport::IssuedCert cert = ca.Issue("reset");
  ResettingTlsServer server(cert.certFile, cert.keyFile);
  if (server.port() <= 0) GTEST_SKIP() << "python3 is not available";
  ::signal(SIGPIPE, SIG_DFL);
  testsupport::TempDir dir;
  EXPECT_EQ(
      Secure("127.0.0.1", server.port(), dir / "box", kImplicit, 1, ca.caFile(), 0, dir / "l"), -16)
      << testsupport::ReadFile(dir / "l");
}

}  // namespace
