// The LAN message notifier: the message file's reading rules, and delivery to a terminal of
// a logged-in user (a pseudo terminal of the test's own, entered in a login record file of
// its own that VARN_UTMP names).
#include "LanBell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstring>

#include "message_file.h"
#include "messenger.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "testkit.h"

namespace {

TEST(MessageFile, ReadingRules) {
  struct Case {
    std::string content;
    bool sends;
    const char* recipient;
    const char* sender;
    const char* message;
  } cases[] = {
      {"PC01\r\nMonitor\r\nServer down\r\n", true, "PC01", "Monitor", "Server down"},
      {"PC01\r\nMonitor\r\nServer down", true, "PC01", "Monitor", "Server down"},
      {"PC01\nMonitor\nServer down\nsecond line\n", true, "PC01", "Monitor", "Server down"},
      {"PC01\r\nMonitor\r\n", true, "PC01", "Monitor", ""},
      {"PC01\r\nMonitor\r\nab\rXcd\r\n", true, "PC01", "Monitor", "ab"},
      // The byte after a CR is skipped whatever it is.
      {"PC01\rXMonitor\r\nhi\r\n", true, "PC01", "Monitor", "hi"},
      {"PC01\r\n", false, "", "", ""},
      {"just one line", false, "", "", ""},
      {"", false, "", "", ""},
      {std::string("PC\0x\r\nMon\r\nmsg\0tail\r\n", 21), true, "PC", "Mon", "msg"},
  };
  for (const Case& c : cases) {
    std::optional<lanbell::LanMessage> got = lanbell::ParseMessageFile(c.content);
    ASSERT_EQ(got.has_value(), c.sends) << c.content;
    if (!got) continue;
    EXPECT_EQ(got->recipient, c.recipient) << c.content;
    EXPECT_EQ(got->sender, c.sender) << c.content;
    EXPECT_EQ(got->message, c.message) << c.content;
  }
}

TEST(Messenger, TerminalTextEscapesControlBytes) {
  EXPECT_EQ(lanbell::TerminalText("bob", "KT.Varnock2", "web1 down\x1b[2J\x07"),
            "\r\nMessage from KT.Varnock2 to bob:\r\n\r\nweb1 down^[[2J^G\r\n");
}

// A pseudo terminal logged in as `user` in a login record file of the test's own.
class LoggedInUser {
 public:
  LoggedInUser(const testsupport::TempDir& dir, const std::string& user) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* slave = ::ptsname(master_);
    if (!slave || std::strncmp(slave, "/dev/", 5) != 0) return;
    slave_ = slave;
    // Keep the slave open so the terminal stays up while the test reads the master.
    slaveFd_ = ::open(slave, O_RDWR | O_NOCTTY);
    ::chmod(slave, 0620);  // messages allowed ("mesg y")
    utmpx entry{};
    entry.ut_type = USER_PROCESS;
    entry.ut_pid = ::getpid();
    std::strncpy(entry.ut_line, slave + 5, sizeof entry.ut_line - 1);
    std::strncpy(entry.ut_user, user.c_str(), sizeof entry.ut_user - 1);
    utmp_ = dir / "utmp";
    std::string record(reinterpret_cast<const char*>(&entry), sizeof entry);
    testsupport::WriteFile(utmp_, record);
    ::setenv("VARN_UTMP", utmp_.c_str(), 1);
  }
  ~LoggedInUser() {
    ::unsetenv("VARN_UTMP");
    if (slaveFd_ >= 0) ::close(slaveFd_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return slaveFd_ >= 0; }
  void RefuseMessages() { ::chmod(slave_.c_str(), 0600); }
  // What reached the terminal within a few seconds.
  std::string Received() {
    std::string out;
    char buf[512];
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, out.empty() ? 3000 : 200) > 0) {
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int master_ = -1;
  int slaveFd_ = -1;
  std::string slave_, utmp_;
};

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

TEST(LanBellCmd, DeliversToTheLoggedInUserAndDeletesTheFile) {
  testsupport::TempDir dir;
  LoggedInUser user(dir, "opsuser");
  if (!user.ok()) GTEST_SKIP() << "no pseudo terminals here";
  // A path with a blank: the whole rest of the command line is the path.
  const std::string file = dir / "CON a1.tmp";
  testsupport::WriteFile(file, "opsuser\r\nKT.Varnock2\r\nweb1 is down\r\n");
  ASSERT_EQ(testkit::RunProgram(platform::JoinPath(VARN_BIN_DIR, "LanBellCmd"), {file}), 0);
  EXPECT_FALSE(platform::PathExists(file));
  // The first try goes to a computer named opsuser, which does not exist; the second
  // through this computer reaches the user.
  std::string got = user.Received();
  EXPECT_NE(got.find("Message from KT.Varnock2 to opsuser:"), std::string::npos) << got;
  EXPECT_NE(got.find("web1 is down"), std::string::npos) << got;
}

TEST(LanBellCmd, FilesThatSendNothingAreDeletedToo) {
  testsupport::TempDir dir;
  LoggedInUser user(dir, "opsuser");
  if (!user.ok()) GTEST_SKIP() << "no pseudo terminals here";
  struct Case {
    const char* name;
    const char* content;
  } cases[] = {
      {"one-line", "opsuser only\r\n"},
      {"unknown", "nobody-here\r\nKT.Varnock2\r\nhello\r\n"},
  };
  for (const Case& c : cases) {
    const std::string file = dir / c.name;
    testsupport::WriteFile(file, c.content);
    ASSERT_EQ(testkit::RunProgram(platform::JoinPath(VARN_BIN_DIR, "LanBellCmd"), {file}), 0);
    EXPECT_FALSE(platform::PathExists(file)) << c.name;
  }
  EXPECT_EQ(user.Received(), "");
  // A file that is not there: still exit code 0.
  EXPECT_EQ(testkit::RunProgram(platform::JoinPath(VARN_BIN_DIR, "LanBellCmd"), {dir / "missing"}),
            0);
}

TEST(LanBellLibrary, StatusCodesAndTheLocalRetry) {
  testsupport::TempDir dir;
  const std::string host = HostName();
  if (host.empty()) GTEST_SKIP() << "no host name";
  LoggedInUser user(dir, host);
  if (!user.ok()) GTEST_SKIP() << "no pseudo terminals here";
  // A name that is this computer's and a logged-in user's: delivered on the first try.
  EXPECT_EQ(LanBell(host.c_str(), "Monitor", "disk full"), 0);
  EXPECT_NE(user.Received().find("disk full"), std::string::npos);
  // No computer of that name: not retried through this computer.
  EXPECT_EQ(LanBell("no-such-computer", "Monitor", "x"), lanbell::kBadNetPath);
  EXPECT_EQ(LanBell(nullptr, "Monitor", "x"), lanbell::kInvalidParameter);
  // Refused messages: access denied, also on the retry through this computer.
  user.RefuseMessages();
  EXPECT_EQ(LanBell(host.c_str(), "Monitor", "x"), lanbell::kAccessDenied);
}

}  // namespace
