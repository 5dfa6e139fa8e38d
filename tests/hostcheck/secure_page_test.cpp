// Secure pages against real TLS servers on loopback (nginx with certificates of a test
// authority, and scripted servers that break the handshake): each verdict and its log text,
// and the links of a secure page, each over TLS or plain as its address says.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <mutex>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "hostcheck/ResultCodes.h"
#include "hostcheck/page_check.h"
#include "loopback_servers.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "tls_servers.h"

namespace hostcheck {
namespace {

using hostchecktest::ReadRequestHead;
using hostchecktest::ScriptedServer;
using hostchecktest::SendAll;
using hostchecktest::WaitForPeerClose;

constexpr int64_t kDay = 86400;
const char kPage[] = "<p>secure page</p>";

// The sites every test here uses, made once: certificates take a while to make.
enum Site { kValid, kValidDefault, kWrongHost, kExpired, kSelfSigned, kEndsIn5Days, kSiteCount };

struct Servers {
  tlstest::TestCa ca;
  testsupport::TempDir web;
  std::unique_ptr<tlstest::NginxTls> nginx;
  int64_t expiredEnd = 0, soonEnd = 0;

  Servers() {
    if (!ca.ok()) return;
    const int64_t now = tlstest::Now();
    const std::string local = "DNS:localhost,IP:127.0.0.1";
    expiredEnd = now - kDay;
    soonEnd = now + 5 * kDay;
    tlstest::CertFiles valid = ca.Issue("valid", local, now - kDay, now + 30 * kDay);
    tlstest::CertFiles other = ca.Issue("other", "DNS:other.test", now - kDay, now + 30 * kDay);
    tlstest::CertFiles expired = ca.Issue("expired", local, now - 30 * kDay, expiredEnd);
    tlstest::CertFiles self = ca.Issue("self", local, now, now, true);
    tlstest::CertFiles soon = ca.Issue("soon", local, now - kDay, soonEnd);
    for (const auto* c : {&valid, &other, &expired, &self, &soon}) {
      if (c->cert.empty()) return;
    }
    testsupport::WriteFile(web / "index.htm", kPage);
    // kValid answers SNI "localhost"; the same port's default server (a handshake without
    // SNI) shows the certificate of another host.
    nginx = std::make_unique<tlstest::NginxTls>(
        web.path(), std::vector<tlstest::TlsSite>{{0, "localhost", valid},
                                                  {-1, "", other},
                                                  {0, "", other},
                                                  {0, "", expired},
                                                  {0, "", self},
                                                  {0, "", soon}});
  }
  bool ok() const { return nginx && nginx->running(); }
  int port(Site s) const { return nginx->port(s); }
};

// Stopped (and its folders removed) when the test program ends.
Servers& Shared() {
  static Servers servers;
  return servers;
}

class SecurePage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Shared().ok()) GTEST_SKIP() << "nginx or openssl not available";
  }
};

struct Fetched {
  int32_t code;
  std::string text;
  std::string page;
};

Fetched Fetch(const std::string& host, int port, const TlsSettings& tls, int32_t timeoutMs = 3000) {
  testsupport::TempDir dir;
  const std::string pageFile = dir / "page.htm";
  ProgressWords none(nullptr, nullptr, nullptr, nullptr, nullptr);
  Fetched f;
  f.code = CheckPage(host.c_str(), port, "/index.htm", pageFile.c_str(), timeoutMs, none,
                     kNoCallerDeadline, &tls, &f.text);
  f.page = testsupport::ReadFile(pageFile);
  return f;
}

TlsSettings Settings(bool verify, int32_t certDays, bool withCa = true) {
  TlsSettings s;
  s.verify = verify;
  s.certDays = certDays;
  if (withCa) s.caFile = Shared().ca.caFile();
  return s;
}

TEST_F(SecurePage, CertificateVerdictsAndTexts) {
  const std::string ended = tlstest::UtcDate(Shared().expiredEnd);
  const std::string soon = tlstest::UtcDate(Shared().soonEnd);
  struct Case {
    const char* name;
    std::string host;
    Site site;
    TlsSettings tls;
    int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {"valid, SNI picks its certificate", "localhost", kValid, Settings(true, 14), 200, ""},
      {"an address sends no SNI: the default certificate names another host", "127.0.0.1", kValid,
       Settings(true, 14), kTlsHostMismatch, "TLS_CERT_HOSTNAME Domain/IP: 127.0.0.1"},
      {"wrong host", "localhost", kWrongHost, Settings(true, 14), kTlsHostMismatch,
       "TLS_CERT_HOSTNAME Domain/IP: localhost"},
      {"wrong host, not verified", "localhost", kWrongHost, Settings(false, 14), 200, ""},
      {"the test authority not trusted", "localhost", kValid, Settings(true, 14, false),
       kTlsUntrusted, "TLS_CERT_UNTRUSTED Domain/IP: localhost"},
      {"self-signed", "localhost", kSelfSigned, Settings(true, 14), kTlsUntrusted,
       "TLS_CERT_UNTRUSTED Domain/IP: localhost"},
      {"self-signed, not verified", "localhost", kSelfSigned, Settings(false, 14), 200, ""},
      {"expired", "localhost", kExpired, Settings(true, 14), kTlsExpired,
       "TLS_CERT_EXPIRED Domain/IP: localhost (certificate ended " + ended + ")"},
      {"expired, not verified: the expiry check still sees it", "localhost", kExpired,
       Settings(false, 14), kTlsExpired,
       "TLS_CERT_EXPIRED Domain/IP: localhost (certificate ended " + ended + ")"},
      {"expired, neither verified nor checked", "localhost", kExpired, Settings(false, 0), 200, ""},
      {"ends in 5 days, warned at 14", "localhost", kEndsIn5Days, Settings(true, 14),
       kTlsExpiresSoon,
       "TLS_CERT_EXPIRES_SOON Domain/IP: localhost (certificate valid until " + soon +
           ", 5 days left)"},
      {"ends in 5 days, warned at 5", "localhost", kEndsIn5Days, Settings(true, 5), kTlsExpiresSoon,
       "TLS_CERT_EXPIRES_SOON Domain/IP: localhost (certificate valid until " + soon +
           ", 5 days left)"},
      {"ends in 5 days, warned at 4", "localhost", kEndsIn5Days, Settings(true, 4), 200, ""},
      {"ends in 5 days, no expiry check", "localhost", kEndsIn5Days, Settings(true, 0), 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fetched f = Fetch(c.host, Shared().port(c.site), c.tls);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.text, c.text);
    EXPECT_EQ(f.page, c.code == 200 ? kPage : "") << "a failed handshake writes no page";
  }
}

TEST_F(SecurePage, ServersThatBreakTheHandshake) {
  struct Case {
    const char* name;
    ScriptedServer::Handler server;
    int32_t code;
    std::string text;
    int64_t atMostMs;
  };
  const Case cases[] = {
      {"accepts and never answers the handshake",
       [](int fd, const std::atomic<bool>& stopping) { WaitForPeerClose(fd, stopping); }, kTimeout,
       "", 2500},
      {"answers the hello with garbage",
       [](int fd, const std::atomic<bool>& stopping) {
         char hello[512];
         (void)::recv(fd, hello, sizeof hello, 0);
         SendAll(fd, std::string(600, '\x7f') + "no server hello here");
         WaitForPeerClose(fd, stopping);
       },
       kTlsHandshake, "TLS_HANDSHAKE Domain/IP: localhost", 2500},
      {"a plain web server",
       [](int fd, const std::atomic<bool>&) {
         char hello[512];
         (void)::recv(fd, hello, sizeof hello, 0);
         SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
       },
       kTlsHandshake, "TLS_HANDSHAKE Domain/IP: localhost", 2500},
      {"closes before the hello is answered", [](int, const std::atomic<bool>&) {}, kTlsHandshake,
       "TLS_HANDSHAKE Domain/IP: localhost", 2500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.server);
    const int64_t start = platform::MonotonicMs();
    Fetched f = Fetch("localhost", server.port(), Settings(true, 14), 1000);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.text, c.text);
    EXPECT_LT(platform::MonotonicMs() - start, c.atMostMs);
  }
}

// A secure page's links: relative ones over TLS on its own port, "https://" ones over TLS
// on theirs, "http://" ones plain; each failure logged with its own text.
TEST_F(SecurePage, LinksOfASecurePage) {
  std::mutex lock;
  std::vector<std::string> plainRequests;
  ScriptedServer plain([&](int fd, const std::atomic<bool>&) {
    std::string head = ReadRequestHead(fd);
    {
      std::lock_guard<std::mutex> hold(lock);
      plainRequests.push_back(head.substr(0, head.find("\r\n")));
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nplain");
  });
  testsupport::TempDir web;
  const std::string expiredLink =
      "https://localhost:" + std::to_string(Shared().port(kExpired)) + "/index.htm";
  testsupport::WriteFile(Shared().web / "links.htm",
                         "<a href=\"index.htm\">same site</a>\n"
                         "<a href=\"missing.htm\">missing</a>\n"
                         "<a href=\"" +
                             expiredLink +
                             "\">expired</a>\n"
                             "<a href=\"http://127.0.0.1:" +
                             std::to_string(plain.port()) + "/plain.htm\">plain</a>\n");
  testsupport::TempDir data;
  const std::string name = "Secure Site";
  LinkCheckOutput out;
  out.logDir = data / "Log";
  out.accountName = common::HexKey(name);
  out.failureMessage = "HTTP Web LinkFailed Error: ";
  out.successMessage = "HTTP Web Link OK ";
  out.logMode = 2;
  ProgressWords none(nullptr, nullptr, nullptr, nullptr, nullptr);
  const std::string pageFile = data / "page.htm";
  TlsSettings tls = Settings(true, 14);
  std::string text;
  int32_t result = CheckPageAndLinks("localhost", Shared().port(kValid), "/links.htm",
                                     pageFile.c_str(), 3000, none, out, &tls, &text);
  EXPECT_EQ(result, kTlsExpired) << "the last failing link's code";
  EXPECT_EQ(text, "") << "the page itself passed";
  EXPECT_EQ(plainRequests, std::vector<std::string>{"GET /plain.htm HTTP/1.1"});

  std::string log = testsupport::ReadFile(common::FullLogPath(data.path(), platform::LocalNow()));
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::string line = log.substr(at, end - at);
    lines.push_back(line.substr(0, 6) + line.substr(27 + 65 + 1));
  }
  const std::string okText = " Domain/IP: \"localhost\" Page: \"";
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "00200 HTTP Web Link OK \"200 OK\"" + okText + "/links.htm\"",
                "00200 HTTP Web Link OK \"200 OK\"" + okText + "/index.htm\"",
                "00404 HTTP Web LinkFailed Error: \"404 Not Found\"" + okText + "/missing.htm\"",
                "-0922 HTTP Web LinkFailed Error: TLS_CERT_EXPIRED Domain/IP: localhost "
                "(certificate ended " +
                    tlstest::UtcDate(Shared().expiredEnd) + ")",
                "00200 HTTP Web Link OK \"200 OK\" Domain/IP: \"127.0.0.1\" Page: "
                "\"/plain.htm\""}));
}

}  // namespace
}  // namespace hostcheck
