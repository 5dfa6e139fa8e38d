// XferSentry with FTPS accounts (side file SECURE=1) against vsftpd requiring AUTH TLS, with
// certificates of a test authority trusted through TLSCAFILE, beside a plain account that
// still gets exactly the lines it always got.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>

#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "ftp_servers.h"
#include "ftps_servers.h"
#include "log_lines.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/capture_relay.h"
#include "support/cert_authority.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

std::string UtcDateIn(int days) {
  const std::time_t at = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
  std::tm tm{};
  ::gmtime_r(&at, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

void AddFtp(const ProgramDir& pd, const std::string& name, const std::string& host,
            const std::string& options) {
  common::AccountFile a = testkit::ServerAccount(name, host);
  a.record.type = common::kFtpTransfer;
  a.record.isFtpTransfer = 1;
  a.record.ftpPortTimeout = 5;
  common::SetField(a.record.ftpUser, ftptest::kUser);
  common::SetField(a.record.ftpPassword, ftptest::kPassword);
  testkit::AddAccount(pd, a, StatusFolder::kFtpTransfer);
  if (!options.empty()) {
    testsupport::WriteFile(common::AccountOptionsPath(pd.dir(), common::HexKey(name)),
                           "[ACCOUNT]\n" + options);
  }
}

std::map<std::string, std::vector<std::string>> LinesByName(const ProgramDir& pd) {
  std::map<std::string, std::vector<std::string>> byName;
  for (const std::string& line : testkit::LogLines(pd.TodayLog())) {
    std::string name = line.substr(27, 65);
    name.erase(name.find_last_not_of(' ') + 1);
    byName[name].push_back(line);
  }
  return byName;
}

TEST(SecureXferSentry, VerdictsTextsAndThePlainAccountBeside) {
  testsupport::CertAuthority ca;
  if (!ca.ok()) GTEST_SKIP() << ca.skipReason();
  testsupport::CertSpec wrongHost;
  wrongHost.dnsNames = {"wrong.example"};
  wrongHost.addresses = {};
  testsupport::CertSpec endsSoon;
  endsSoon.endDays = 5;
  const std::string soonDate = UtcDateIn(5);
  const testsupport::IssuedCert valid = ca.Issue("valid");
  const testsupport::IssuedCert wrong = ca.Issue("wrong", wrongHost);
  const testsupport::IssuedCert soon = ca.Issue("soon", endsSoon);
  ASSERT_FALSE(valid.certFile.empty() || wrong.certFile.empty() || soon.certFile.empty());
  using ftptest::FtpsMode;
  ftptest::Vsftpd good(ftptest::FtpsOptions(FtpsMode::kExplicit, valid.certFile, valid.keyFile));
  if (!good.ok()) GTEST_SKIP() << good.skipReason();
  ftptest::Vsftpd misnamed(
      ftptest::FtpsOptions(FtpsMode::kExplicit, wrong.certFile, wrong.keyFile));
  ftptest::Vsftpd ending(ftptest::FtpsOptions(FtpsMode::kImplicit, soon.certFile, soon.keyFile));
  ftptest::Vsftpd plain(ftptest::VsftpdOptions{false, 0666, true});
  ASSERT_TRUE(misnamed.ok() && ending.ok() && plain.ok());
  // The secure account's control connection goes through a relay that records the clear text.
  testsupport::CaptureRelay relay(good.port());

  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupFtp, true, true);
  platform::IniSetString(common::IniPath(pd.dir()), "PROGRAM", "TLSCAFILE", ca.caFile());
  const auto port = [](int p) { return "PORT=" + std::to_string(p) + "\n"; };
  AddFtp(pd, "ftps ok", "127.0.0.1", "SECURE=1\n" + port(relay.port()));
  AddFtp(pd, "wrong host", "127.0.0.1", "SECURE=1\nCERTDAYS=4000\n" + port(misnamed.port()));
  AddFtp(pd, "not verified", "127.0.0.1", "SECURE=1\nVERIFY=0\n" + port(misnamed.port()));
  AddFtp(pd, "ends soon", "127.0.0.1", "SECURE=1\nTLSMODE=implicit\n" + port(ending.port()));
  AddFtp(pd, "plain", plain.server(), "");

  ASSERT_EQ(pd.RunAgent("XferSentry"), 0);
  auto lines = LinesByName(pd);
  const std::string tail = " Passed Time: #sec Domain/IP: ";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> lines;  // code, text
    int failCount;
  };
  const Case cases[] = {
      {"ftps ok",
       {{"00001", "FTP Upload OK" + tail + "127.0.0.1"},
        {"00001", "FTP Download OK" + tail + "127.0.0.1"},
        {"00001", "FTP Delete OK" + tail + "127.0.0.1"}},
       0},
      {"wrong host",
       {{"-0923", "FTP Upload Failed Error: TLS_CERT_HOSTNAME Domain/IP: 127.0.0.1"}},
       1},
      {"not verified",
       {{"00001", "FTP Upload OK" + tail + "127.0.0.1"},
        {"00001", "FTP Download OK" + tail + "127.0.0.1"},
        {"00001", "FTP Delete OK" + tail + "127.0.0.1"}},
       0},
      {"plain",
       {{"00001", "FTP Upload OK" + tail + plain.server()},
        {"00001", "FTP Download OK" + tail + plain.server()},
        {"00001", "FTP Delete OK" + tail + plain.server()}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(lines[c.name].size(), c.lines.size()) << pd.TodayLog();
    for (size_t i = 0; i < c.lines.size(); ++i)
      testkit::ExpectLogLine(lines[c.name][i], c.lines[i].first, c.name, c.lines[i].second);
    EXPECT_EQ(testkit::ReadStatus(pd, StatusFolder::kFtpTransfer, c.name).failCount, c.failCount);
  }
  // The certificate that ends within the warning days names its end and the days left.
  ASSERT_EQ(lines["ends soon"].size(), 1u) << pd.TodayLog();
  const std::string& soonLine = lines["ends soon"][0];
  EXPECT_EQ(soonLine.substr(0, 6), "-0924 ");
  const std::string expect =
      "FTP Upload Failed Error: TLS_CERT_EXPIRES_SOON Domain/IP: 127.0.0.1 (certificate valid "
      "until " +
      soonDate + ", ";
  EXPECT_EQ(soonLine.substr(93, expect.size()), expect) << soonLine;
  EXPECT_EQ(soonLine.substr(soonLine.size() - 11), " days left)") << soonLine;

  // The secure account asked for TLS first and never signed in in the clear.
  const std::string wire = relay.sent();
  EXPECT_EQ(wire.compare(0, 10, "AUTH TLS\r\n"), 0) << wire.substr(0, 40);
  EXPECT_EQ(wire.find(ftptest::kPassword), std::string::npos);
  // The plain account still spoke plain FTP, with active data connections.
  EXPECT_NE(plain.Log().find("\"EPRT"), std::string::npos) << plain.Log();
  // The value out of range is named in an event line; its default was used.
  const std::vector<std::string>& events = lines["[Account Options]"];
  ASSERT_EQ(events.size(), 1u) << pd.TodayLog();
  EXPECT_EQ(events[0].substr(0, 6), "10014 ");
  EXPECT_EQ(events[0].substr(92), " wrong host: CERTDAYS=4000 is out of range 0-3650, 14 used");
}

}  // namespace
