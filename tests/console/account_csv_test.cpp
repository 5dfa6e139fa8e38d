#include "console/account_csv.h"

#include <gtest/gtest.h>

#include "common/account_key.h"
#include "common/file_ops.h"

namespace console {
namespace {

TEST(AccountCsv, LineBytesQuoteOnlyWhatNeedsIt) {
  common::AccountFile a;
  common::AccountRecord& r = a.record;
  common::SetField(r.key, common::HexKey("Web, \"main\""));
  common::SetField(r.host, "127.0.0.1");
  r.pingOn = 1;
  r.httpPortOn = 1;
  r.smtpPortOn = 1;
  r.customOn = 1;
  common::SetField(r.customNames[0], "ssh");
  r.customPorts[0] = 22;
  common::SetField(r.customNames[1], "alt");
  r.customPorts[1] = 8080;
  a.downSubject = "Down %S";
  a.upSubject = "Up, %S";
  a.downBody = "Line1\r\nLine2";
  a.upBody = "\"quoted\"";
  a.upOnline = "x";
  r.useGlobalMailTemplates = 1;
  r.mailToGlobal = 1;
  r.useGlobalOnlineTemplates = 1;
  r.onlineToGlobal = 1;
  r.enabled = 1;
  r.type = common::kServer;
  const std::string expected =
      "\"Web, \"\"main\"\"\",127.0.0.1,,,"                          // 1-4
      "1,1,0,0,0,0,0,,,,"                                           // 5-14
      "1,0,0,0,,0,,,,,"                                             // 15-24
      "1,ssh,22,alt,8080,,0,,0,,0,"                                 // 25-35
      "Down %S,\"Up, %S\",\"Line1\nLine2\",\"\"\"quoted\"\"\",,x,"  // 36-41
      "1,1,0,,1,1,0,,1,0";                                          // 42-51
  EXPECT_EQ(AccountCsvLine(a), expected);
  EXPECT_EQ(SplitCsvFields(expected).size(), static_cast<size_t>(kCsvFields));
}

TEST(AccountCsv, SplitsLinesOutsideQuotesOnly) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a,b\r\nc,d\r\n", {"a,b", "c,d"}},
      {"last line without end", {"last line without end"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"\"one\r\nfield\",x\r\ny", {"\"one\r\nfield\",x", "y"}},
      {"\"a \"\"q\"\" b\"\nz", {"\"a \"\"q\"\" b\"", "z"}},
      // The byte after a Shift-JIS lead byte belongs to the character; a line feed never
      // does, so a lone lead byte before one does not join two lines.
      {"\x81\nx\ny", {"\x81", "x", "y"}},
      {"a\x81\r\nb\x82\n\"c\x83\n\"\n", {"a\x81", "b\x82", "\"c\x83\n\""}},
      {"\x81\x0a\x81\x0d\n", {"\x81", "\x81"}},
      {"\x83\x54\x81\x5b,1\r\n", {"\x83\x54\x81\x5b,1"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (std::string_view line : SplitCsvLines(c.text)) got.emplace_back(line);
    EXPECT_EQ(got, c.lines) << c.text;
  }
}

TEST(AccountCsv, SplitsFieldsWithQuotingRules) {
  const struct {
    std::string line;
    std::vector<std::string> fields;
  } cases[] = {
      {"", {""}},
      {"a,,b,", {"a", "", "b", ""}},
      {"\"a,b\",c", {"a,b", "c"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      // Line breaks inside quotes come back with the console's CR LF.
      {"\"l1\nl2\",x", {"l1\r\nl2", "x"}},
      {"\"l1\r\nl2\"", {"l1\r\nl2"}},
      // Text after the closing quote is kept.
      {"\"ab\"cd,e", {"abcd", "e"}},
      {"\"unclosed,x", {"unclosed,x"}},
      {"\x83\x54\x81\x5b,1", {"\x83\x54\x81\x5b", "1"}},
      // A lead byte takes the quote after it: the field runs on.
      {"\"a\x81\",b\",c", {"a\x81\",b", "c"}},
      // Not a line feed: inside quotes it still becomes CR LF.
      {"\"a\x81\nb\",c", {"a\x81\r\nb", "c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCsvFields(c.line), c.fields) << c.line;
}

std::vector<std::string> Fields(std::initializer_list<std::pair<int, std::string>> changes) {
  std::vector<std::string> f(kCsvFields, "0");
  for (int text : {1,  2,  3,  4,  12, 13, 14, 19, 21, 22, 23, 24, 26,
                   28, 30, 32, 34, 36, 37, 38, 39, 40, 41, 45, 49}) {
    f[text - 1] = "";
  }
  f[0] = "n";
  f[1] = "127.0.0.1";
  f[2] = "pop.example.org";
  f[4] = "1";  // a ping, so a server line checks something
  f[49] = "1";
  for (const auto& [no, value] : changes) {
    if (f.size() < static_cast<size_t>(no)) f.resize(common::kCsvFieldsWithOptions, "");
    f[no - 1] = value;
  }
  return f;
}

TEST(AccountCsv, RejectionsComeInTheirOrder) {
  const struct {
    std::vector<std::string> fields;
    std::string reason;
  } cases[] = {
      {Fields({}), ""},
      {Fields({{1, ""}, {2, ""}}), "Server name is blank:"},
      {Fields({{2, ""}, {44, "1"}}), "Server IP is blank:"},
      {Fields({{44, "1"}, {48, "1"}}), "Additional Email address is blank:"},
      {Fields({{44, "1"}, {45, "a@b"}, {48, "1"}}), "Additional Destination is blank:"},
      {Fields({{11, "1"}, {51, "2"}}), "FTP User is blank:"},
      {Fields({{51, "2"}}), "FTP User is blank:"},
      {Fields({{11, "1"}, {51, "2"}, {13, "u"}}), ""},
      {Fields({{18, "1"}, {51, "3"}}), "Test Email address is blank:"},
      {Fields({{18, "1"}, {51, "3"}, {19, "t@x"}}), "POP User ID is blank:"},
      {Fields({{18, "1"}, {51, "3"}, {19, "t@x"}, {23, "pu"}}), "POP User Password is blank:"},
      {Fields({{18, "1"}, {51, "3"}, {19, "t@x"}, {23, "pu"}, {24, "pp"}}), ""},
      {Fields({{18, "1"}, {51, "3"}, {19, "t@x"}, {23, "pu"}, {24, "pp"}, {20, "1"}}),
       "SMTP User ID is blank:"},
      {Fields({{18, "1"}, {51, "3"}, {19, "t@x"}, {23, "pu"}, {24, "pp"}, {20, "1"}, {21, "s"}}),
       "SMTP User Password is blank:"},
      {Fields({{25, "1"}, {26, "ssh"}, {27, "0"}}), "Custom Port Number is blank:"},
      {Fields({{25, "1"}, {30, "ssh"}, {31, "22"}, {32, "web"}}), "Custom Port Number is blank:"},
      {Fields({{25, "1"}}), "Service Name is blank:"},
      {Fields({{25, "1"}, {34, "last"}, {35, "9"}}), ""},
      {Fields({{26, "ssh"}}), ""},  // custom ports off: the slots are not looked at
      {Fields({{51, "4"}}), "Account type is not valid:"},
      {Fields({{51, "-1"}}), "Account type is not valid:"},
      {{"only a name"}, "Server IP is blank:"},
      // A NUL in any field, even one that reads as blank or as a number, before every test.
      {Fields({{2, std::string(1, '\0')}}), "Field holds a NUL byte:"},
      {Fields({{1, ""}, {24, std::string("p\0w", 3)}}), "Field holds a NUL byte:"},
      {Fields({{50, std::string("1\0", 2)}}), "Field holds a NUL byte:"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& f : c.fields) line += f + ",";
    EXPECT_EQ(CsvRejection(c.fields), c.reason) << line;
  }
}

// After the described tests, the rules the dialogs apply, with reasons of their own; numbers
// out of range are refused instead of wrapping into the record.
TEST(AccountCsv, BadValuesAreRejectedAfterTheDescribedTests) {
  const std::string email[] = {"3", "t@x", "pu", "pp"};
  auto mail = [&](std::initializer_list<std::pair<int, std::string>> more) {
    std::vector<std::string> f =
        Fields({{18, "1"}, {51, email[0]}, {19, email[1]}, {23, email[2]}, {24, email[3]}});
    for (const auto& [no, value] : more) f[no - 1] = value;
    return f;
  };
  const struct {
    std::vector<std::string> fields;
    std::string reason;
  } cases[] = {
      {Fields({{1, ""}, {2, "999.1.1.1"}}), "Server name is blank:"},
      {Fields({{1, "  "}}), "Server name is only blanks:"},
      {Fields({{2, "999.1.1.1"}}), "Server IP is incorrect:"},
      {Fields({{2, "not a host!!"}}), "Server IP is incorrect:"},
      {Fields({{2, "127.0.0.1\r\nX: y"}}), "Server IP is incorrect:"},
      {Fields({{2, "127.0.0.1:65536"}}), "Server IP port is out of range:"},
      {Fields({{51, "1"}, {8, "1"}, {4, "/x HTTP/1.1\r\nX-Injected: yes"}}),
       "Page path is incorrect:"},
      {mail({{3, ""}}), "POP server is blank:"},
      {mail({{3, "pop server"}}), "POP server is incorrect:"},
      {Fields({{11, "1"}, {51, "2"}, {13, "u"}, {12, "/in\nDELE x"}}),
       "Destination directory is incorrect:"},
      {Fields({{44, "1"}, {45, "Ops\rBcc: s@x.org <o@x.org>"}}),
       "Additional Email address is incorrect:"},
      {Fields({{5, "0"}}), "No check is selected:"},
      {Fields({{5, "0"}, {26, "ssh"}, {27, "22"}}), "No check is selected:"},  // custom off
      {Fields({{27, "-1"}}), "Custom Port Number is out of range:"},
      {Fields({{25, "1"}, {26, "ssh"}, {27, "70000"}}), "Custom Port Number is out of range:"},
      {Fields({{25, "1"}, {26, "ssh"}, {27, "4294967318"}}), "Custom Port Number is out of range:"},
      {Fields({{7, "-5"}}), "Time out is out of range:"},
      {Fields({{7, "40000"}}), "Time out is out of range:"},
      {mail({{17, "65536"}}), "Time out is out of range:"},
      {Fields({{5, "257"}}), "A flag or the type is out of range:"},
      {Fields({{50, "-1"}}), "A flag or the type is out of range:"},
      {Fields({{43, "yes"}}), "A flag or the type is out of range:"},
      // The options after the record's columns: a later good value does not hide a bad one.
      {Fields({{53, "ssl"}, {58, "implicit"}}), "TLS mode is not starttls or implicit:"},
      {Fields({{55, "0"}}), "Port is out of range:"},
      {Fields({{52, "2"}}), "A flag or the type is out of range:"},
      {Fields({{59, std::string(65, 'a')}}), "Parent account does not exist:"},
      {Fields({{59, "gw\r\nX"}}), "Parent account does not exist:"},
      // Accepted: the largest values, host:port, names with digits.
      {Fields({{2, "ftp01.example.org:2121"}, {25, "1"}, {26, "ssh"}, {27, "65535"}}), ""},
      {Fields({{5, "0"}, {15, "1"}, {7, "32767"}}), ""},
      {mail({{17, "65535"}, {3, "localhost"}}), ""},
      {Fields({{52, "1"}, {53, "IMPLICIT"}, {55, " 8443"}, {57, "3650"}}), ""},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& f : c.fields) line += f + ",";
    EXPECT_EQ(CsvRejection(c.fields), c.reason) << line;
  }
}

TEST(AccountCsv, RecordFromFieldsSetsFixedPartsAndCutsLongTexts) {
  std::vector<std::string> f = Fields({{2, std::string(100, 'h')},
                                       {7, "120"},
                                       {5, " 1"},
                                       {27, "70000"},
                                       {13, std::string(63, 'u') + "\x83\x54"},
                                       {36, std::string(40000, 's')},
                                       {51, "0"}});
  common::AccountFile a = AccountFromCsv(f, "/pd");
  const common::AccountRecord& r = a.record;
  EXPECT_EQ(common::FieldText(r.key), "6e");
  EXPECT_EQ(common::FieldText(r.host), std::string(64, 'h'));
  EXPECT_EQ(r.httpTimeout, 120);
  EXPECT_EQ(r.pingOn, 1);
  EXPECT_EQ(r.customPorts[0], 70000u);
  // 63 bytes and a double-byte character do not fit 64: the character goes whole.
  EXPECT_EQ(common::FieldText(r.ftpUser), std::string(63, 'u'));
  EXPECT_EQ(a.downSubject.size(), 32u * 1024);
  EXPECT_EQ(r.httpPort, 80u);
  EXPECT_EQ(r.ftpPort, 21u);
  EXPECT_EQ(r.smtpPort, 25u);
  EXPECT_EQ(r.popPort, 110u);
  EXPECT_EQ(common::FieldText(r.localTestFile), "/pd/temp/FTP_test.text");
}

// The key of an imported name decodes back to the name the Edit dialog shows and saves, so
// saving it unchanged or importing its export again finds the same account.
TEST(AccountCsv, ImportedNameKeepsItsKeyThroughEditAndExport) {
  std::string kanji17;
  for (int i = 0; i < 17; ++i) kanji17 += "\x8a\xbf";
  const struct {
    std::string name;
    std::string shown;
  } cases[] = {
      {"\xb1\xb2\xb3", "\xb1\xb2\xb3"},  // half-width katakana
      {"\xb6\xc5\x31\xb3", "\xb6\xc5\x31\xb3"},
      {kanji17, kanji17.substr(0, 30)},  // 34 bytes: cut after 15 characters, not 15.5
      {std::string(30, 'n') + "\x83\x65", std::string(30, 'n')},
      {std::string(28, 'n') + "\xb1\x83\x65", std::string(28, 'n') + "\xb1\x83\x65"},
      {std::string(29, 'n') + "\xb1\x83\x65", std::string(29, 'n') + "\xb1"},
      {std::string(40, 'n'), std::string(31, 'n')},
  };
  for (const auto& c : cases) {
    const std::string key =
        common::FieldText(AccountFromCsv(Fields({{1, c.name}}), "/p").record.key);
    EXPECT_EQ(common::DecodeKey(key), c.shown) << key;
    EXPECT_EQ(common::HexKey(common::DecodeKey(key)), key);
  }
}

TEST(AccountCsv, SpreadsheetUtf8WithByteOrderMarkBecomesCp932) {
  std::string text = "\xEF\xBB\xBF\"\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\",\"1\"\r\n";
  ASSERT_TRUE(CsvTextToCp932(&text));
  EXPECT_EQ(text, "\"\x83\x54\x81\x5b\x83\x6f\",\"1\"\r\n");
  std::string plain = "\x83\x54,1\r\n";  // no mark: CP932 as exported
  ASSERT_TRUE(CsvTextToCp932(&plain));
  EXPECT_EQ(plain, "\x83\x54,1\r\n");
  std::string emoji = "\xEF\xBB\xBFname \xF0\x9F\x98\x80,1\r\n";
  EXPECT_FALSE(CsvTextToCp932(&emoji));
}

}  // namespace
}  // namespace console
