#include "console/account_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_csv.h"
#include "console/api.h"
#include "console/console_app.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

const char kJapaneseName[] = "\x83\x54\x81\x5b\x83\x6f";  // a server name in Shift-JIS

common::AccountFile MakeAccount(const std::string& dir, const std::string& name, int type,
                                const std::string& host) {
  common::AccountFile a;
  common::AccountRecord& r = a.record;
  common::SetField(r.key, common::HexKey(name));
  common::SetField(r.host, host);
  r.httpPort = 80;
  r.ftpPort = 21;
  r.smtpPort = 25;
  r.popPort = 110;
  common::SetField(r.localTestFile, common::InDir(dir, common::kTemp, "FTP_test.text"));
  r.type = static_cast<uint8_t>(type);
  r.enabled = 1;
  switch (type) {
    case common::kServer:
      r.pingOn = r.httpPortOn = r.smtpPortOn = 1;
      r.customOn = 1;
      common::SetField(r.customNames[0], "ssh");
      r.customPorts[0] = 22;
      common::SetField(r.customNames[2], "web, \"alt\"");
      r.customPorts[2] = 8080;
      break;
    case common::kHttpPage:
      r.isHttpPage = 1;
      r.checkLinks = 1;
      r.httpTimeout = 120;
      common::SetField(r.pagePath, "/index.html?a=1,b=\"2\"");
      break;
    case common::kFtpTransfer:
      r.isFtpTransfer = 1;
      common::SetField(r.remoteDir, "/upload");
      common::SetField(r.ftpUser, "ftp\"user");
      common::SetField(r.ftpPassword, "pa,ss");
      break;
    case common::kEmail:
      r.isEmail = 1;
      r.sendReceiveTimeout = 240;
      common::SetField(r.popServer, "127.0.0.2");
      common::SetField(r.testRecipient, "test@localhost");
      r.smtpAuth = 1;
      common::SetField(r.smtpUser, "smtp");
      common::SetField(r.smtpPassword, "\"secret\"");
      common::SetField(r.popUser, "pop");
      common::SetField(r.popPassword, "p\r\nw");
      break;
  }
  a.downSubject = "\"Down\": %S, %I";
  a.upSubject = "Up %S";
  a.downBody = "Server Down\r\nServer: %S, \"%I\"\r\n\r\n" + std::string(kJapaneseName) + "\r\n";
  a.upBody = "\"Up\"";
  a.downOnline = "";
  a.upOnline = "up,\r\nagain";
  r.useGlobalMailTemplates = 0;
  r.mailToGlobal = 1;
  r.mailToAccount = 1;
  a.mailAddresses = "a@localhost\r\nb@localhost";
  r.useGlobalOnlineTemplates = 1;
  r.onlineToAccount = 1;
  a.netSendAddresses = "admin";
  return a;
}

void AddAccount(const std::string& dir, const common::AccountFile& a) {
  ASSERT_TRUE(common::WriteAccount(common::AccountPath(dir, common::FieldText(a.record.key)), a));
  common::RegisterAccountChecks(dir, a.record);
}

// The list index lines, sorted (the store keeps them in lower case).
std::vector<std::string> IndexLines(const std::string& dir) {
  std::vector<std::string> lines;
  const std::string store = common::ListViewDir(dir);
  const int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[400] = {};
    if (GetRecordWithOffset(store.c_str(), buf, i)) lines.emplace_back(buf);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

void ImportAll(const std::string& dir, std::string text, AccountImport* job) {
  std::string errorKey;
  ASSERT_TRUE(job->Start(std::move(text), &errorKey)) << errorKey;
  while (job->Step(dir, platform::LocalNow())) {
  }
}

TEST(AccountTransfer, ExportThenImportGivesTheSameRecordsByteForByte) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  const std::vector<std::pair<std::string, int>> accounts = {
      {"server, \"one\"", common::kServer},
      {"page", common::kHttpPage},
      {kJapaneseName, common::kFtpTransfer},
      {std::string(kJapaneseName) + " mail", common::kEmail},
  };
  std::map<std::string, std::string> before;
  for (const auto& [name, type] : accounts) {
    AddAccount(dir.path(), MakeAccount(dir.path(), name, type, "127.0.0.1"));
    before[common::HexKey(name)] = testsupport::ReadFile(dir / ("AllData/" + common::HexKey(name)));
  }
  const std::vector<std::string> rowsBefore = IndexLines(dir.path());
  ASSERT_EQ(rowsBefore.size(), 8u);  // server: ping, 2 ports, 2 services; one per other type

  testsupport::TempDir elsewhere;
  const std::string file = elsewhere / "new/folder/export.csv";
  ExportResult out = ExportAccounts(dir.path(), file, false);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.accounts, 4);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string csv = testsupport::ReadFile(file);
  EXPECT_EQ(SplitCsvLines(csv).size(), 4u);
  EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n");

  for (const auto& [key, bytes] : before) common::RemoveAccount(dir.path(), key);
  ASSERT_TRUE(IndexLines(dir.path()).empty());
  AccountImport job;
  ImportAll(dir.path(), csv, &job);
  EXPECT_EQ(job.done(), 4u);
  EXPECT_EQ(job.rejected(), 0u);
  for (const auto& [key, bytes] : before) {
    EXPECT_EQ(testsupport::ReadFile(dir / ("AllData/" + key)), bytes) << key;
  }
  EXPECT_EQ(IndexLines(dir.path()), rowsBefore);
}

// Names whose keys once decoded short: importing their export finds each account again.
TEST(AccountTransfer, ImportOfTheExportKeepsOneAccountPerName) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  std::string kanji17;
  for (int i = 0; i < 17; ++i) kanji17 += "\x8a\xbf";
  AccountImport job;
  ImportAll(dir.path(), kanji17 + ",127.0.0.1,,,1\r\n", &job);  // keyed on 15 characters
  AddAccount(dir.path(), MakeAccount(dir.path(), "\xb6\xc5\x31\xb3", common::kServer, "127.0.0.1"));
  AddAccount(dir.path(), MakeAccount(dir.path(), "\xb1\xb2\xb3", common::kHttpPage, "127.0.0.1"));
  auto files = [&dir] {
    std::vector<std::string> names = platform::ListFiles(dir / "AllData");
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> before = files();
  ASSERT_EQ(before.size(), 3u);
  ASSERT_TRUE(ExportAccounts(dir.path(), dir / "export.csv", false).ok);
  ImportAll(dir.path(), testsupport::ReadFile(dir / "export.csv"), &job);
  EXPECT_EQ(job.rejected(), 0u);
  EXPECT_EQ(files(), before);
}

// A lone lead byte before a line feed keeps the next line; a NUL in a field is reported.
TEST(AccountTransfer, ByteLevelFaultsLoseNoLineSilently) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  const std::string nul = std::string("nul,") + '\0' + ",,,1";
  AccountImport job;
  // The lead byte ends field 12, the remote directory.
  const std::string lead = "lead,127.0.0.1,,,1,0,0,0,0,0,0,dir\x81";
  ImportAll(dir.path(), lead + "\nnext,127.0.0.2,,,1\n" + nul + "\n", &job);
  EXPECT_EQ(job.total(), 3u);
  EXPECT_EQ(job.rejected(), 1u);
  EXPECT_TRUE(platform::IsRegularFile(dir / ("AllData/" + common::HexKey("lead"))));
  EXPECT_TRUE(platform::IsRegularFile(dir / ("AllData/" + common::HexKey("next"))));
  EXPECT_FALSE(platform::PathExists(dir / ("AllData/" + common::HexKey("nul"))));
  std::string report;
  for (const std::string& f : platform::ListFiles(dir / "uploadlog")) {
    report += testsupport::ReadFile(dir / ("uploadlog/" + f));
  }
  EXPECT_NE(report.find(" Field holds a NUL byte:" + nul), std::string::npos);
}

TEST(AccountTransfer, RejectedLinesGoToTheReportAndTheOthersAreImported) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  const std::string good =
      "good,127.0.0.1,,,1,0,0,0,0,0,0,,,,0,0,0,0,,0,,,,,0,,0,,0,,0,,0,,0,"
      ",,,,,,1,1,0,,1,1,0,,1,0";
  const std::string noPassword =
      "mail,127.0.0.1,127.0.0.1,,0,0,0,0,0,0,0,,,,0,0,240,1,t@localhost,1,user,,pop,pw,0,,0,,0,"
      ",0,,0,,0,,,,,,,1,1,0,,1,1,0,,1,3";
  const std::string noName = ",127.0.0.1";
  platform::SystemTime now{};
  now.year = 2026, now.month = 3, now.day = 4, now.hour = 9, now.minute = 5, now.second = 7;
  EXPECT_EQ(ImportCsvLine(dir.path(), noPassword, now), "SMTP User Password is blank:");
  EXPECT_EQ(ImportCsvLine(dir.path(), good, now), "");
  EXPECT_EQ(ImportCsvLine(dir.path(), noName, now), "Server name is blank:");
  EXPECT_EQ(ImportReportPath(dir.path(), now), dir / "uploadlog/20260304.log");
  EXPECT_EQ(testsupport::ReadFile(dir / "uploadlog/20260304.log"),
            "\r\n09:05:07 SMTP User Password is blank:" + noPassword +
                "\r\n09:05:07 Server name is blank:" + noName);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "uploadlog/20260304.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // rejected lines carry passwords
  EXPECT_TRUE(platform::IsRegularFile(dir / ("AllData/" + common::HexKey("good"))));
  EXPECT_FALSE(platform::PathExists(dir / ("AllData/" + common::HexKey("mail"))));
}

TEST(AccountTransfer, ALineForAnExistingKeyReplacesTheAccountAndItsRows) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  const std::string key = common::HexKey("srv");
  common::AccountFile old = MakeAccount(dir.path(), "srv", common::kServer, "127.0.0.1");
  AddAccount(dir.path(), old);
  testsupport::WriteFile(dir / ("PINGData/" + key), std::string(84, '\x07'));  // kept statistics
  platform::SystemTime now = platform::LocalNow();

  // Same domain: other custom services; the ping row and its status file stay.
  const std::string sameDomain =
      "srv,127.0.0.1,,,1,0,0,0,0,0,0,,,,0,0,0,0,,0,,,,,1,smtp,25,,0,,0,"
      ",0,,0,,,,,,,1,1,0,,1,1,0,,1,0";
  ASSERT_EQ(ImportCsvLine(dir.path(), sameDomain, now), "");
  EXPECT_EQ(IndexLines(dir.path()),
            (std::vector<std::string>{key + "\t\tpingdata\t\t127.0.0.1",
                                      key + "(smtp)\t\tcustdata\t\t127.0.0.1"}));
  EXPECT_EQ(testsupport::ReadFile(dir / ("PINGData/" + key)), std::string(84, '\x07'));

  // Another domain: no row of the old one is left.
  std::string moved = sameDomain;
  moved.replace(moved.find("127.0.0.1"), 9, "127.0.0.9");
  ASSERT_EQ(ImportCsvLine(dir.path(), moved, now), "");
  EXPECT_EQ(IndexLines(dir.path()),
            (std::vector<std::string>{key + "\t\tpingdata\t\t127.0.0.9",
                                      key + "(smtp)\t\tcustdata\t\t127.0.0.9"}));
  bool whole = false;
  common::AccountFile now9 = common::ReadAccount(dir / ("AllData/" + key), &whole);
  EXPECT_TRUE(whole);
  EXPECT_EQ(common::FieldText(now9.record.host), "127.0.0.9");
}

TEST(AccountTransfer, AnUnpacedImportOfANewAccountRemovesNothingAndGivesTheSameRows) {
  // Ping and one custom service on, the other checks off; then ping off.
  const std::string on =
      "srv,127.0.0.1,,,1,0,0,0,0,0,0,,,,0,0,0,0,,0,,,,,1,smtp,25,,0,,0,"
      ",0,,0,,,,,,,1,1,0,,1,1,0,,1,0";
  std::string pingOff = on;
  pingOff.replace(pingOff.find(",1,0,0,0"), 8, ",0,0,0,0");
  const std::string key = common::HexKey("srv");
  for (const bool unpaced : {false, true}) {
    SCOPED_TRACE(unpaced ? "unpaced" : "paced");
    testsupport::TempDir dir;
    platform::MakeDirs(dir / "ListView");
    const platform::SystemTime now = platform::LocalNow();
    ASSERT_EQ(ImportCsvLine(dir.path(), on, now, nullptr, unpaced), "");
    EXPECT_EQ(IndexLines(dir.path()),
              (std::vector<std::string>{key + "\t\tpingdata\t\t127.0.0.1",
                                        key + "(smtp)\t\tcustdata\t\t127.0.0.1"}));
    EXPECT_TRUE(platform::IsRegularFile(dir / ("PINGData/" + key)));
    EXPECT_FALSE(platform::PathExists(dir / ("HTTPData/" + key)));
    std::string log;
    for (const std::string& name : platform::ListFiles(dir / "ListView/log")) {
      log += testsupport::ReadFile(dir / ("ListView/log/" + name));
    }
    // The described import tries to delete the row of every check that is off.
    EXPECT_EQ(log.find("[ERROR_DEL]") == std::string::npos, unpaced) << log;
    // An account that exists loses what is switched off either way.
    ASSERT_EQ(ImportCsvLine(dir.path(), pingOff, now, nullptr, unpaced), "");
    EXPECT_EQ(IndexLines(dir.path()),
              (std::vector<std::string>{key + "(smtp)\t\tcustdata\t\t127.0.0.1"}));
    EXPECT_FALSE(platform::PathExists(dir / ("PINGData/" + key)));
  }
}

TEST(AccountTransfer, SpreadsheetFileIsImported) {
  testsupport::TempDir dir;
  platform::MakeDirs(dir / "ListView");
  // Every field quoted, CR LF line ends, UTF-8 with its byte-order mark.
  std::string line = "\"\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\",\"127.0.0.1\"";
  for (int i = 3; i <= 51; ++i) line += i == 5 || i == 50 ? ",\"1\"" : i <= 4 ? ",\"\"" : ",\"0\"";
  AccountImport job;
  ImportAll(dir.path(), "\xEF\xBB\xBF" + line + "\r\n", &job);
  EXPECT_EQ(job.rejected(), 0u);
  bool whole = false;
  common::AccountFile a =
      common::ReadAccount(dir / ("AllData/" + common::HexKey(kJapaneseName)), &whole);
  ASSERT_TRUE(whole);
  EXPECT_EQ(a.record.pingOn, 1);
  EXPECT_EQ(a.record.enabled, 1);

  std::string errorKey;
  EXPECT_FALSE(job.Start("\xEF\xBB\xBFx \xF0\x9F\x98\x80,127.0.0.1\r\n", &errorKey));
  EXPECT_EQ(errorKey, "msgImportNotCp932");
  // A file of bare line ends is bounded by its line count, not by memory or time.
  EXPECT_FALSE(job.Start(std::string(kMaxImportLines + 1, '\n'), &errorKey));
  EXPECT_EQ(errorKey, "msgImportTooManyLines");
  ASSERT_TRUE(job.Start(std::string(kMaxImportLines, '\n'), &errorKey));
  EXPECT_EQ(job.total(), kMaxImportLines);
  EXPECT_FALSE(job.Start("a,b\r\n" + std::string(kMaxImportLineBytes + 1, 'x'), &errorKey));
  EXPECT_EQ(errorKey, "msgImportLineTooLong");
  ASSERT_TRUE(job.Start(std::string(kMaxImportLineBytes, 'x') + "\r\n", &errorKey));
}

TEST(AccountTransfer, ExportReplacesOnlyARegularFile) {
  testsupport::TempDir dir;
  testsupport::TempDir out;
  platform::MakeDirs(dir / "AllData");
  testsupport::WriteFile(out / "target", "keep");
  ASSERT_EQ(::symlink((out / "target").c_str(), (out / "link.csv").c_str()), 0);
  ASSERT_EQ(::symlink((out / "nothing").c_str(), (out / "dangling.csv").c_str()), 0);
  ASSERT_EQ(::mkfifo((out / "fifo.csv").c_str(), 0600), 0);
  ASSERT_EQ(::link((out / "target").c_str(), (out / "hardlink.csv").c_str()), 0);
  platform::MakeDirs(out / "folder.csv");
  for (const char* refused :
       {"link.csv", "dangling.csv", "fifo.csv", "hardlink.csv", "folder.csv"}) {
    for (bool replace : {false, true}) {
      ExportResult r = ExportAccounts(dir.path(), out / refused, replace);
      EXPECT_FALSE(r.ok) << refused;
      EXPECT_FALSE(r.exists) << refused;
      EXPECT_FALSE(r.error.empty()) << refused;
    }
  }
  EXPECT_EQ(testsupport::ReadFile(out / "target"), "keep");
  EXPECT_FALSE(platform::PathExists(out / "nothing"));

  // An existing file is replaced only when asked, and by a new file: the old one (still
  // open here) keeps its mode and its content.
  testsupport::WriteFile(out / "old.csv", "old content that is longer");
  ::chmod((out / "old.csv").c_str(), 0644);
  ExportResult asked = ExportAccounts(dir.path(), out / "old.csv", false);
  EXPECT_FALSE(asked.ok);
  EXPECT_TRUE(asked.exists);
  EXPECT_EQ(testsupport::ReadFile(out / "old.csv"), "old content that is longer");
  const int old = ::open((out / "old.csv").c_str(), O_RDONLY);
  ASSERT_GE(old, 0);
  ExportResult r = ExportAccounts(dir.path(), out / "old.csv", true);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(testsupport::ReadFile(out / "old.csv"), "");  // no accounts: an empty list
  struct stat st {};
  ASSERT_EQ(::stat((out / "old.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::fstat(old, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  char was[8] = {};
  EXPECT_EQ(::pread(old, was, 3, 0), 3);
  EXPECT_STREQ(was, "old");
  ::close(old);
  std::vector<std::string> names = platform::ListFiles(out.path());
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.rfind(".export-", 0) == 0; }),
            0)
      << "no temporary file is left";
}

TEST(AccountTransfer, ExportStaysOutOfTheProgramDirectoryAndOffLinks) {
  testsupport::TempDir dir;
  testsupport::TempDir out;
  platform::MakeDirs(dir / "AllData");
  testsupport::WriteFile(dir / "Setting/Alert.dat", "alert");
  testsupport::WriteFile(dir / ("AllData/" + common::HexKey("kilo")), "record");
  platform::MakeDirs(out / "real");
  ASSERT_EQ(::symlink((out / "real").c_str(), (out / "linked").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (out / "program").c_str()), 0);
  struct Case {
    std::string path;
    bool replace;
    const char* error;  // part of the reason
  };
  const std::string base = out.path().substr(out.path().rfind('/') + 1);
  const Case refused[] = {
      {dir / "Setting/Alert.dat", true, "inside the program directory"},
      {dir / ("AllData/" + common::HexKey("kilo")), true, "inside the program directory"},
      {dir / "Setting/new.csv", false, "inside the program directory"},
      {dir / "made/here/list.csv", false, "inside the program directory"},
      {dir / "list.csv", false, "inside the program directory"},
      {out / ("../" + base + "/program/export.csv"), true, "symbolic link"},
      {out / "linked/list.csv", false, "symbolic link"},
      {out / "linked/deeper/list.csv", false, "symbolic link"},
      {out / "program/export.csv", true, "symbolic link"},
      {"relative.csv", false, "not absolute"},
      {out / "real/", false, "folder"},
  };
  for (const Case& c : refused) {
    ExportResult r = ExportAccounts(dir.path(), c.path, c.replace);
    EXPECT_FALSE(r.ok) << c.path;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << c.path << ": " << r.error;
  }
  EXPECT_EQ(testsupport::ReadFile(dir / "Setting/Alert.dat"), "alert");
  EXPECT_EQ(testsupport::ReadFile(dir / ("AllData/" + common::HexKey("kilo"))), "record");
  EXPECT_FALSE(platform::PathExists(dir / "made"));
  EXPECT_FALSE(platform::PathExists(dir / "export.csv"));
  EXPECT_TRUE(platform::ListFiles(out / "real").empty());
  EXPECT_TRUE(platform::ListDirs(out / "real").empty());

  // The program directory's own export.csv, also when the path takes a detour.
  ExportResult own = ExportAccounts(dir.path(), dir / "Setting/../export.csv", false);
  EXPECT_TRUE(own.ok) << own.error;
  EXPECT_TRUE(ExportAccounts(dir.path(), dir / "export.csv", false).exists);
  EXPECT_TRUE(ExportAccounts(dir.path(), dir / "export.csv", true).ok);
}

bool NoAgent(const std::string&, const std::vector<std::string>&) {
  return true;
}

TEST(LogViewer, ShowsAndDeletesOnlyListedNames) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "Varnock.ini", "[PROGRAM]\r\nLANGUAGE=0\r\n");
  ConsoleApp app(dir.path(), "/none", NoAgent);
  app.StartUp();
  testsupport::WriteFile(dir / "Log/20200101.log",
                         "10001 2020/01/01  09:00am  [Program Started]" + std::string(48, ' ') +
                             " \r\n-0906 2020/01/01  09:01am  web server" + std::string(55, ' ') +
                             " Time out\r\n");
  testsupport::WriteFile(dir / "Log/.hidden", "x");
  testsupport::WriteFile(dir / "Log/Disp/20200101.log", "x");
  const std::vector<std::string> names = app.LogNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "20200101.log"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), ".hidden"), names.end());

  for (const char* crafted : {"../Varnock.ini", "Disp", "Disp/20200101.log", ".hidden", "",
                              "/etc/hostname", "20200101.log/", "./20200101.log"}) {
    EXPECT_FALSE(app.ViewLog(crafted)) << crafted;
    EXPECT_FALSE(app.DeleteLog(crafted)) << crafted;
    bool quit = false;
    nlohmann::json answer =
        Act(app, "log-delete", {{"action", "log-delete"}, {"name", crafted}}, &quit);
    EXPECT_FALSE(answer["ok"].get<bool>()) << crafted;
  }
  EXPECT_TRUE(platform::PathExists(dir / "Varnock.ini"));
  EXPECT_TRUE(platform::PathExists(dir / "Log/.hidden"));
  EXPECT_TRUE(platform::PathExists(dir / "Log/Disp/20200101.log"));
  EXPECT_EQ(app.viewedLog(), "");

  ASSERT_TRUE(app.ViewLog("20200101.log"));
  nlohmann::json pane = PaneJson(app, 0, 10);
  ASSERT_EQ(pane["total"], 2);
  EXPECT_EQ(pane["lines"][0]["name"], "web server");  // newest first, readable names
  EXPECT_EQ(pane["lines"][0]["tone"], "failure");
  EXPECT_EQ(pane["lines"][1]["name"], "[Program Started]");
  EXPECT_EQ(StateJson(app)["paneLog"], "20200101.log");

  bool quit = false;
  nlohmann::json answer =
      Act(app, "log-delete", {{"action", "log-delete"}, {"name", "20200101.log"}}, &quit);
  EXPECT_TRUE(answer["ok"].get<bool>());
  EXPECT_FALSE(platform::PathExists(dir / "Log/20200101.log"));
  EXPECT_TRUE(platform::PathExists(dir / "Log/Disp/20200101.log"));
  EXPECT_TRUE(app.RunCommand(kCmdReloadPane, &quit));
  EXPECT_EQ(app.viewedLog(), "");
}

TEST(OptionAndImport, LanguageSwitchesAtOnceAndImportRefreshesTheList) {
  testsupport::TempDir dir;
  ConsoleApp app(dir.path(), "/none", NoAgent);
  app.StartUp();
  bool quit = false;
  EXPECT_FALSE(Act(app, "language", {{"language", "2"}}, &quit)["ok"].get<bool>());
  EXPECT_TRUE(Act(app, "language", {{"language", "1"}}, &quit)["ok"].get<bool>());
  EXPECT_EQ(StateJson(app)["language"], "1");
  EXPECT_NE(testsupport::ReadFile(dir / "Varnock.ini").find("LANGUAGE=1"), std::string::npos);

  const std::string line =
      "a,127.0.0.1,,,1,0,0,0,0,0,0,,,,0,0,0,0,,0,,,,,0,,0,,0,,0,,0,,0,"
      ",,,,,,1,1,0,,1,1,0,,1,0\r\n";
  std::string text = line + ",,\r\n";
  text += line;
  text.replace(text.rfind("a,"), 1, "b");
  nlohmann::json started = Upload(app, "import", "", text);
  ASSERT_TRUE(started["ok"].get<bool>()) << started.dump();
  EXPECT_EQ(started["total"], 3);
  EXPECT_FALSE(Upload(app, "import", "", text)["ok"].get<bool>());  // one at a time
  const uint64_t version = app.listVersion();
  app.SetImportPacing(false);
  app.ImportTick();
  nlohmann::json state = StateJson(app);
  EXPECT_FALSE(state["import"]["running"].get<bool>());
  EXPECT_EQ(state["import"]["last"]["serial"], started["serial"]);
  EXPECT_EQ(state["import"]["last"]["rejected"], 1);
  EXPECT_EQ(state["accounts"], 2);
  EXPECT_EQ(state["rows"], 2);
  EXPECT_GT(app.listVersion(), version);
}

}  // namespace
}  // namespace console
