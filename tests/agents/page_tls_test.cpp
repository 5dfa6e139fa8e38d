// PageSentry with secure pages: accounts whose side file says SECURE=1 or whose URL says
// https, against nginx with certificates of a test authority (trusted through TLSCAFILE),
// beside a plain account that still gets exactly the lines it always got.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "log_lines.h"
#include "loopback_servers.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testkit.h"
#include "tls_servers.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

constexpr int64_t kDay = 86400;

class SecurePageSentry : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ca_.ok()) GTEST_SKIP() << "openssl not available";
    const int64_t now = tlstest::Now();
    const std::string local = "DNS:localhost,IP:127.0.0.1";
    expiredEnd_ = now - 2 * kDay;
    soonEnd_ = now + 5 * kDay;
    tlstest::CertFiles valid = ca_.Issue("valid", local, now - kDay, now + 60 * kDay);
    tlstest::CertFiles expired = ca_.Issue("expired", local, now - 30 * kDay, expiredEnd_);
    tlstest::CertFiles soon = ca_.Issue("soon", local, now - kDay, soonEnd_);
    testsupport::WriteFile(web_ / "index.htm", "<p>page</p>");
    nginx_ = std::make_unique<tlstest::NginxTls>(
        web_.path(),
        std::vector<tlstest::TlsSite>{{0, "", valid}, {0, "", expired}, {0, "", soon}});
    if (!nginx_->running()) GTEST_SKIP() << "nginx not available";
    plain_ = std::make_unique<hostchecktest::WebServer>(web_.path());
    if (!plain_->running()) GTEST_SKIP() << "python3 -m http.server not available";
    platform::IniSetString(common::IniPath(pd_.dir()), "PROGRAM", "TLSCAFILE", ca_.caFile());
    testkit::SetLogging(pd_, common::kGroupHttp, true, true);
  }

  // A page account; `options` (when given) is written as its side file.
  void AddPage(const std::string& name, const std::string& host, const std::string& path, int port,
               const char* options = nullptr, bool checkLinks = false) {
    common::AccountFile a = testkit::ServerAccount(name, host);
    a.record.type = common::kHttpPage;
    a.record.isHttpPage = 1;
    common::SetField(a.record.pagePath, path);
    a.record.httpPort = static_cast<uint32_t>(port);
    a.record.httpTimeout = 3;
    a.record.checkLinks = checkLinks ? 1 : 0;
    testkit::AddAccount(pd_, a, StatusFolder::kHttpPage);
    if (options) {
      testsupport::WriteFile(common::AccountOptionsPath(pd_.dir(), common::HexKey(name)),
                             std::string("[ACCOUNT]\n") + options);
    }
  }

  // The day's log lines by the name in their name field.
  std::map<std::string, std::vector<std::string>> LinesByName() {
    std::map<std::string, std::vector<std::string>> byName;
    for (const std::string& line : testkit::LogLines(pd_.TodayLog())) {
      std::string name = line.substr(27, 65);
      name.erase(name.find_last_not_of(' ') + 1);
      byName[name].push_back(line);
    }
    return byName;
  }

  tlstest::TestCa ca_;
  testsupport::TempDir web_;
  std::unique_ptr<tlstest::NginxTls> nginx_;
  std::unique_ptr<hostchecktest::WebServer> plain_;
  ProgramDir pd_;
  int64_t expiredEnd_ = 0, soonEnd_ = 0;
};

TEST_F(SecurePageSentry, VerdictsTextsAndThePlainAccountBeside) {
  const int valid = nginx_->port(0), expired = nginx_->port(1), soon = nginx_->port(2);
  const std::string v = std::to_string(valid);
  AddPage("secure ok", "localhost", "/index.htm", 80, ("SECURE=1\nPORT=" + v + "\n").c_str());
  AddPage("url form", "https:", "//localhost:" + v + "/index.htm", 80);
  AddPage("expired", "https:", "//localhost:" + std::to_string(expired) + "/index.htm", 80);
  AddPage("ends soon", "localhost", "/index.htm", 80,
          ("SECURE=1\nPORT=" + std::to_string(soon) + "\n").c_str());
  AddPage("ends soon, warned late", "localhost", "/index.htm", 80,
          ("SECURE=1\nCERTDAYS=3\nPORT=" + std::to_string(soon) + "\n").c_str());
  AddPage("by address", "127.0.0.1", "/index.htm", 80, ("SECURE=1\nPORT=" + v + "\n").c_str());
  AddPage("bad option", "localhost", "/index.htm", 80,
          ("SECURE=1\nVERIFY=2\nPORT=" + v + "\n").c_str());
  AddPage("plain", "127.0.0.1", "/index.htm", plain_->port());

  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  auto lines = LinesByName();
  struct Case {
    const char* name;
    std::string code;
    std::string text;
    int failCount;
  };
  const Case cases[] = {
      {"secure ok", "00200", "HTTP Web OK Domain/IP: localhost", 0},
      {"url form", "00200", "HTTP Web OK Domain/IP: localhost", 0},
      {"expired", "-0922",
       "HTTP Web Failed Error: TLS_CERT_EXPIRED Domain/IP: localhost (certificate ended " +
           tlstest::UtcDate(expiredEnd_) + ")",
       1},
      {"ends soon", "-0924",
       "HTTP Web Failed Error: TLS_CERT_EXPIRES_SOON Domain/IP: localhost (certificate valid "
       "until " +
           tlstest::UtcDate(soonEnd_) + ", 5 days left)",
       1},
      {"ends soon, warned late", "00200", "HTTP Web OK Domain/IP: localhost", 0},
      {"by address", "00200", "HTTP Web OK Domain/IP: 127.0.0.1", 0},
      {"bad option", "00200", "HTTP Web OK Domain/IP: localhost", 0},
      {"plain", "00200", "HTTP Web OK Domain/IP: 127.0.0.1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(lines[c.name].size(), 1u);
    testkit::ExpectLogLine(lines[c.name][0], c.code, c.name, c.text);
    EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, c.name).failCount, c.failCount);
  }
  // The value out of range is named in an event line; its default (verify) was used.
  const std::vector<std::string>& events = lines["[Account Options]"];
  ASSERT_EQ(events.size(), 1u) << pd_.TodayLog();
  EXPECT_EQ(events[0].substr(0, 6), "10014 ");
  EXPECT_EQ(events[0].substr(92), " bad option: VERIFY=2 is out of range 0-1, 1 used");
}

// All-links mode on a secure page: a link to a secure page with an ended certificate fails
// with its own text and takes the account down; the relative link is checked over TLS.
TEST_F(SecurePageSentry, LinksOfASecurePage) {
  testsupport::WriteFile(web_ / "links.htm",
                         "<a href=\"index.htm\">here</a>\n<a href=\"https://localhost:" +
                             std::to_string(nginx_->port(1)) + "/index.htm\">ended</a>\n");
  AddPage("links", "localhost", "/links.htm", 80,
          ("SECURE=1\nPORT=" + std::to_string(nginx_->port(0)) + "\n").c_str(), true);
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  auto lines = LinesByName()["links"];
  ASSERT_EQ(lines.size(), 3u) << pd_.TodayLog();
  const std::string ok = "HTTP Web Link OK \"200 OK\" Domain/IP: \"localhost\" Page: \"";
  testkit::ExpectLogLine(lines[0], "00200", "links", ok + "/links.htm\"");
  testkit::ExpectLogLine(lines[1], "00200", "links", ok + "/index.htm\"");
  testkit::ExpectLogLine(lines[2], "-0922", "links",
                         "HTTP Web LinkFailed Error: TLS_CERT_EXPIRED Domain/IP: localhost "
                         "(certificate ended " +
                             tlstest::UtcDate(expiredEnd_) + ")");
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "links").failCount, 1);
}

// A plain account without a side file gets exactly the bytes of a suite that knows no
// secure pages: the same log line, status record and state file as before.
TEST_F(SecurePageSentry, PlainAccountUnchangedByAnEmptySetup) {
  AddPage("plain", "127.0.0.1", "/index.htm", plain_->port());
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  std::vector<std::string> all = testkit::LogLines(pd_.TodayLog());
  ASSERT_EQ(all.size(), 1u);
  testkit::ExpectLogLine(all[0], "00200", "plain", "HTTP Web OK Domain/IP: 127.0.0.1");
  EXPECT_FALSE(platform::PathExists(pd_ / "AccountOptions")) << "reading makes no file";
}

}  // namespace
