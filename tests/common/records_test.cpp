#include <gtest/gtest.h>

#include <cstring>

#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "support/temp_dir.h"

using namespace common;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

}  // namespace

TEST(AccountRecordFile, TextsFollowTheFixedPartInOrderAndOffsetsPointAtThem) {
  TempDir dir;
  AccountFile a;
  SetField(a.record.key, "414243");
  SetField(a.record.host, "127.0.0.1");
  a.record.type = kServer;
  a.record.enabled = 1;
  a.record.customPorts[4] = 8080;
  a.downSubject = "down %S";
  a.upSubject = "up";
  a.downBody = "";
  a.upBody = "b";
  a.downOnline = "D";
  a.upOnline = "U";
  a.mailAddresses = "x@y";
  a.netSendAddresses = "root";
  ASSERT_TRUE(WriteAccount(AccountPath(dir.path(), "414243"), a));
  const std::string bytes = ReadFile(dir / "AllData/414243");
  const std::string texts("down %S\0up\0\0b\0D\0U\0x@y\0root\0", 27);
  ASSERT_EQ(bytes.size(), 1808 + texts.size());
  EXPECT_EQ(bytes.substr(1808), texts);
  EXPECT_EQ(bytes.substr(0, 7), std::string("414243\0", 7));
  EXPECT_EQ(bytes.substr(65, 10), std::string("127.0.0.1\0", 10));
  EXPECT_EQ(U32At(bytes, 1744 + 16), 8080u);
  const uint32_t expected[] = {1808, 1816, 1819, 1820, 1822, 1824, 1826};
  const size_t fields[] = {1764, 1768, 1772, 1776, 1780, 1784, 1792};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(U32At(bytes, fields[i]), expected[i]) << fields[i];
  EXPECT_EQ(U32At(bytes, 1800), 1830u);
  EXPECT_EQ(bytes[1804], 1);

  bool whole = false;
  AccountFile back = ReadAccount(AccountPath(dir.path(), "414243"), &whole);
  EXPECT_TRUE(whole);
  EXPECT_EQ(back.downSubject, "down %S");
  EXPECT_EQ(back.netSendAddresses, "root");
  EXPECT_EQ(FieldText(back.record.host), "127.0.0.1");
}

TEST(AccountRecordFile, ShortOrDamagedRecordsReadSafely) {
  TempDir dir;
  bool whole = true;
  // Shorter than the fixed part: read as all zero, so the account is disabled.
  WriteFile(dir / "AllData/k", std::string(1000, '\x01'));
  AccountFile a = ReadAccount(dir / "AllData/k", &whole);
  EXPECT_FALSE(whole);
  EXPECT_EQ(a.record.enabled, 0);
  EXPECT_EQ(a.record.key[0], '\0');
  // Offsets past the end and texts without a final zero byte never read out of bounds.
  AccountRecord r{};
  r.enabled = 1;
  r.downSubjectOffset = 0xFFFFFFF0u;
  r.upSubjectOffset = 1808;
  std::string bytes(reinterpret_cast<const char*>(&r), sizeof r);
  bytes += "unterminated";
  WriteFile(dir / "AllData/k", bytes);
  a = ReadAccount(dir / "AllData/k", &whole);
  EXPECT_TRUE(whole);
  EXPECT_EQ(a.downSubject, "");
  EXPECT_EQ(a.upSubject, "unterminated");
  EXPECT_FALSE(ReadAccount(dir / "AllData/none", &whole).record.enabled);
  EXPECT_FALSE(whole);
}

TEST(FixedFiles, ExactCountOrZeroFilled) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  char buf[10];
  EXPECT_EQ(ReadFixedFile(dir / "f", buf, 4), 1);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(ReadFixedFile(dir / "f", buf, sizeof buf), 1);
  char big[11];
  std::memset(big, 'x', sizeof big);
  EXPECT_EQ(ReadFixedFile(dir / "f", big, sizeof big), 0);
  EXPECT_EQ(std::string(big, sizeof big), std::string(11, '\0'));
  std::memset(big, 'x', sizeof big);
  EXPECT_EQ(ReadFixedFile(dir / "missing", big, sizeof big), 0);
  EXPECT_EQ(big[0], '\0');
  EXPECT_EQ(FileSizeOf(dir / "missing"), 0);
  EXPECT_EQ(FileExists(dir / "f"), 1);
  EXPECT_EQ(WriteWholeFile(dir / "new/dir/g", "abc", 3), 1);
  EXPECT_EQ(ReadFile(dir / "new/dir/g"), "abc");
}

TEST(FixedFiles, CountFilesSkipsTheStartMarkerAndWritesInFlight) {
  TempDir dir;
  WriteFile(dir / "PINGData/first.dat", "1");
  WriteFile(dir / "PINGData/616263", "");
  WriteFile(dir / "PINGData/.616263.aBcDeF", "");
  WriteFile(dir / "PINGData/sub/x", "");
  EXPECT_EQ(CountFiles(dir / "PINGData"), 1);
  EXPECT_EQ(CountFiles(dir / "none"), 0);
}

TEST(SettingsFiles, MissingOrShortFilesReadAsEmpty) {
  TempDir dir;
  bool ok = true;
  WriteFile(dir / "Setting/Scan.dat", std::string(21, '\x05'));
  ScanSettings s = ReadScanSettings(dir.path(), &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(s.intervals[0], 0);
  EXPECT_EQ(s.logOn[0], 0);

  AlertFile alert = ReadAlert(dir.path());
  EXPECT_FALSE(MailConfigured(alert.settings));
  EXPECT_EQ(alert.toAddresses, "");

  AlertAuth auth{};
  auth.primaryAuth = 0;
  SetField(auth.primaryUser, "u1");
  SetField(auth.primaryPassword, "p1");
  auth.alternateAuth = 1;
  SetField(auth.alternateUser, "u2");
  SetField(auth.alternatePassword, "p2");
  ASSERT_TRUE(WriteAlertAuth(dir.path(), auth));
  EXPECT_EQ(FileSizeOf(dir / "Setting/Alert2.dat"), 164);
  AlertAuth back = ReadAlertAuth(dir.path());
  EXPECT_EQ(FieldText(back.primaryUser), "");
  EXPECT_EQ(FieldText(back.primaryPassword), "");
  EXPECT_EQ(FieldText(back.alternateUser), "u2");
  EXPECT_EQ(FieldText(back.alternatePassword), "p2");
}

TEST(SettingsFiles, AlertTextsStartAt1008InTheirOrder) {
  TempDir dir;
  AlertFile a;
  SetField(a.settings.primaryServer, "127.0.0.1");
  a.toAddresses = "ops@example.org";
  a.upOnline = "up!";
  ASSERT_TRUE(WriteAlert(dir.path(), a));
  const std::string bytes = ReadFile(dir / "Setting/Alert.dat");
  EXPECT_EQ(U32At(bytes, 456), 1008u);
  EXPECT_EQ(bytes.substr(1008), std::string("ops@example.org\0\0\0\0\0\0\0up!\0", 26));
  EXPECT_EQ(U32At(bytes, 484), 1008u + 22);
  AlertFile back = ReadAlert(dir.path());
  EXPECT_TRUE(MailConfigured(back.settings));
  EXPECT_EQ(back.upOnline, "up!");
}

TEST(ScratchBlocks, LayoutAndDamagedImages) {
  std::vector<char> image = EncodeTextBlocks({"ab", ""});
  const std::string bytes(image.begin(), image.end());
  EXPECT_EQ(bytes, std::string("\x10\0\0\0\x03\0\0\0ab\0\x01\0\0\0\0", 16));
  EXPECT_EQ(DecodeTextBlocks(image), (std::vector<std::string>{"ab", ""}));
  image[0] = 0x40;  // total no longer matches
  EXPECT_TRUE(DecodeTextBlocks(image).empty());
  std::vector<char> cut = EncodeTextBlocks({"abc"});
  cut[4] = 0x7f;  // block longer than the image
  EXPECT_TRUE(DecodeTextBlocks(cut).empty());
}

TEST(Layout, OneSpellingPerStatusFolder) {
  EXPECT_EQ(CanonicalFolderName("pingdata"), "PINGData");
  EXPECT_EQ(CanonicalFolderName("HttpPageData"), "HTTPPageData");
  EXPECT_EQ(CanonicalFolderName("FtpSendRecData"), "FTPSendRecData");
  EXPECT_EQ(CanonicalFolderName("Log"), "");
  EXPECT_EQ(EmailStatePath("/p", 3), "/p/emailPara.dat3");
}
