#include "common/accounts.h"

#include <gtest/gtest.h>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

using namespace common;
using testsupport::TempDir;

namespace {

std::vector<std::string> IndexLines(const std::string& dir) {
  std::vector<std::string> lines;
  const std::string store = ListViewDir(dir);
  int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[150];
    if (GetRecordWithOffset(store.c_str(), buf, i)) lines.emplace_back(buf);
  }
  return lines;
}

AccountRecord ServerAccount(const std::string& name, const std::string& host) {
  AccountRecord r{};
  SetField(r.key, HexKey(name));
  SetField(r.host, host);
  r.type = kServer;
  r.enabled = 1;
  r.pingOn = 1;
  r.smtpPortOn = 1;
  r.customOn = 1;
  SetField(r.customNames[0], "Alt HTTP");
  r.customPorts[0] = 8080;
  SetField(r.customNames[2], "Unused");  // a name without a port gets no row
  return r;
}

}  // namespace

TEST(Registration, ChecksGetStatusFilesAndIndexLinesCustomPortsIncluded) {
  TempDir dir;
  AccountRecord r = ServerAccount("Web", "127.0.0.1");
  AccountFile file;
  file.record = r;
  ASSERT_TRUE(WriteAccount(AccountPath(dir.path(), "576562"), file));

  RegisterAccountChecks(dir.path(), r);
  CheckCounts counts = CountChecks(dir.path());
  EXPECT_EQ(counts.ping, 1);
  EXPECT_EQ(counts.port, 2);  // SMTP port + the custom file
  EXPECT_EQ(counts.httpPage + counts.ftpTransfer + counts.email, 0);
  EXPECT_EQ(FileSizeOf(dir / "PINGData/576562"), 84);
  EXPECT_EQ(FileSizeOf(dir / "CustData/576562"), 748);
  EXPECT_EQ(FileExists(dir / "HTTPData/576562"), 0);

  CustomStatus custom{};
  ASSERT_EQ(ReadFixedFile(dir / "CustData/576562", &custom, sizeof custom), 1);
  EXPECT_EQ(FieldText(custom.names[0]), "Alt HTTP");
  EXPECT_EQ(FieldText(custom.names[2]), "Unused");
  for (const CheckStatus& slot : custom.slots) {
    EXPECT_EQ(slot.enabled, 1u);
    EXPECT_NE(slot.statsStart.year, 0);
  }
  // The store lowercases its keys.
  EXPECT_EQ(IndexLines(dir.path()),
            (std::vector<std::string>{"576562\t\tpingdata\t\t127.0.0.1",
                                      "576562\t\tsmtpdata\t\t127.0.0.1",
                                      "576562(alt http)\t\tcustdata\t\t127.0.0.1"}));

  // Re-registering keeps existing status files as they are.
  UpdateCheckStatus(dir.path(), StatusFolder::kPing, "576562", [](CheckStatus& s, bool) {
    s.failCount = 1;
    return true;
  });
  r.smtpPortOn = 0;
  r.customPorts[0] = 0;
  RegisterAccountChecks(dir.path(), r);
  CheckStatus ping{};
  ASSERT_EQ(ReadFixedFile(dir / "PINGData/576562", &ping, sizeof ping), 1);
  EXPECT_EQ(ping.failCount, 1);
  EXPECT_EQ(FileExists(dir / "SMTPData/576562"), 0);
  EXPECT_EQ(IndexLines(dir.path()), (std::vector<std::string>{"576562\t\tpingdata\t\t127.0.0.1"}));
}

TEST(Registration, RemovingAnAccountLeavesNothingBehind) {
  TempDir dir;
  AccountFile file;
  file.record = ServerAccount("Mail", "mail.example.org");
  const std::string key = FieldText(file.record.key);
  ASSERT_TRUE(WriteAccount(AccountPath(dir.path(), key), file));
  RegisterAccountChecks(dir.path(), file.record);
  ASSERT_EQ(IndexLines(dir.path()).size(), 3u);
  EXPECT_EQ(CountAccounts(dir.path()), 1);

  EXPECT_TRUE(RemoveAccount(dir.path(), key));
  EXPECT_TRUE(IndexLines(dir.path()).empty());
  EXPECT_EQ(CountAccounts(dir.path()), 0);
  CheckCounts c = CountChecks(dir.path());
  EXPECT_EQ(c.ping + c.port + c.httpPage + c.ftpTransfer + c.email, 0);
}

TEST(Registration, SettingUpdateStampHasTwelveDigits) {
  TempDir dir;
  ASSERT_TRUE(TouchSettingUpdate(dir.path()));
  const std::string ini = testsupport::ReadFile(dir / "Varnock.ini");
  ASSERT_EQ(ini.rfind("[PROGRAM]\nLASTSETTINGUPDATE=", 0), 0u);
  EXPECT_EQ(ini.size(), std::string("[PROGRAM]\nLASTSETTINGUPDATE=\n").size() + 12);
}
