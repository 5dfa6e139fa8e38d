// Servers that misbehave on purpose: every call still ends with a failure, within a few
// time-outs and without holding more than a little memory, whatever the server sends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FileFerry.h"
#include "ftp_servers.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using ftptest::ScriptedServer;
using ftptest::SendText;

constexpr int32_t kTimeoutMs = 2000;

enum class Op { kUpload, kDownload, kDelete };

struct HostileCase {
  const char* name;
  ScriptedServer::Session session;
  Op op;
  int32_t expected;
};

// Sends `chunk` again and again until the client goes or the server stops.
void Flood(int fd, const ScriptedServer& server, const std::string& chunk) {
  while (!server.stopping() && SendText(fd, chunk)) {
  }
}

// One line of a megabyte, sent in pieces from a small buffer.
void MegabyteLine(int fd, const std::string& head, bool end) {
  SendText(fd, head);
  const std::string piece(16384, 'x');
  for (int i = 0; i < 64; ++i) {
    if (!SendText(fd, piece)) return;
  }
  if (end) SendText(fd, "\r\n");
}

// After the sign-in, every command gets `reply` (and the session then waits).
ScriptedServer::Session AfterSignIn(std::function<void(int, const ScriptedServer&)> then) {
  return [then](int fd, const ScriptedServer& server) {
    if (ftptest::GreetAndSignIn(fd, server)) then(fd, server);
  };
}

ScriptedServer::Session Transfer(ftptest::TransferStep step,
                                 const std::string& sizeReply = "213 100000") {
  return AfterSignIn([step, sizeReply](int fd, const ScriptedServer& server) {
    ftptest::ServeAfterSignIn(fd, server, step, sizeReply);
  });
}

// The transfer steps.
void HalfDownloadThenHangUp(int control, int data, const std::string&, const ScriptedServer&) {
  SendText(control, "150 sending 100000 bytes\r\n");
  SendText(data, std::string(50000, 'd'));
  ::shutdown(data, SHUT_RDWR);
  ::shutdown(control, SHUT_RDWR);
}

void ReadSomeUploadThenHangUp(int control, int data, const std::string&, const ScriptedServer&) {
  SendText(control, "150 go ahead\r\n");
  char buffer[4096];
  for (size_t got = 0; got < 65536;) {
    ssize_t n = ::recv(data, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::shutdown(data, SHUT_RDWR);
  ::shutdown(control, SHUT_RDWR);
}

std::vector<HostileCase> AllCases() {
  std::vector<HostileCase> cases;
  auto silent = [](int fd, const ScriptedServer& s) { ftptest::WaitForClose(fd, s); };
  cases.push_back({"SilentServer", silent, Op::kUpload, -912});
  cases.push_back({"EndlessGreetingLine",
                   [](int fd, const ScriptedServer& s) {
                     MegabyteLine(fd, "220 ", false);
                     ftptest::WaitForClose(fd, s);
                   },
                   Op::kDownload, -912});
  cases.push_back({"EndlessMultiLineGreeting",
                   [](int fd, const ScriptedServer& s) { Flood(fd, s, "220-and more\r\n"); },
                   Op::kUpload, -912});
  cases.push_back(
      {"GarbageGreeting",
       [](int fd, const ScriptedServer& s) { Flood(fd, s, "hello, this is no reply code\r\n"); },
       Op::kDelete, -912});
  cases.push_back({"UnknownGreetingCode",
                   [](int fd, const ScriptedServer& s) {
                     SendText(fd, "999 what\r\n");
                     ftptest::WaitForClose(fd, s);
                   },
                   Op::kDelete, -912});
  cases.push_back({"TrickledGreeting",
                   [](int fd, const ScriptedServer& s) {
                     SendText(fd, "220");
                     while (!s.stopping() && SendText(fd, "-")) ::usleep(100000);
                   },
                   Op::kUpload, -912});
  for (Op op : {Op::kUpload, Op::kDownload, Op::kDelete}) {
    const int32_t after = op == Op::kUpload ? -904 : op == Op::kDownload ? -905 : -64;
    cases.push_back({"StallAfterSignIn", AfterSignIn(silent), op, after});
    cases.push_back({"MegabyteReplyLineAfterSignIn",
                     AfterSignIn([](int fd, const ScriptedServer& s) {
                       while (!ftptest::ReadCommand(fd, s).empty()) {
                         MegabyteLine(fd, "257 ", true);
                       }
                     }),
                     op, after});
    cases.push_back({"EndlessReplyAfterSignIn", AfterSignIn([](int fd, const ScriptedServer& s) {
                       ftptest::ReadCommand(fd, s);
                       Flood(fd, s, "257-still going\r\n");
                     }),
                     op, after});
  }
  cases.push_back(
      {"HangUpHalfwayThroughDownload", Transfer(&HalfDownloadThenHangUp), Op::kDownload, -905});
  cases.push_back(
      {"HangUpHalfwayThroughUpload", Transfer(&ReadSomeUploadThenHangUp), Op::kUpload, -904});
  cases.push_back({"NoDataOnTheDataConnection",
                   Transfer([](int control, int, const std::string&, const ScriptedServer& s) {
                     SendText(control, "150 here it comes\r\n");
                     ftptest::WaitForClose(control, s);
                   }),
                   Op::kDownload, -905});
  cases.push_back({"NoFinalReplyAfterDownload",
                   Transfer([](int control, int data, const std::string&, const ScriptedServer& s) {
                     SendText(control, "150 here it comes\r\n");
                     SendText(data, std::string(100000, 'd'));  // all that SIZE promised
                     ::shutdown(data, SHUT_RDWR);
                     ftptest::WaitForClose(control, s);
                   }),
                   Op::kDownload, -905});
  // No size announced and no end: the download stops at its cap instead of filling the disk.
  cases.push_back({"EndlessDownload",
                   Transfer(
                       [](int control, int data, const std::string&, const ScriptedServer& s) {
                         SendText(control, "150 here it comes\r\n");
                         Flood(data, s, std::string(65536, 'e'));
                       },
                       "502 SIZE not implemented"),
                   Op::kDownload, -905});
  cases.push_back({"NoFinalReplyAfterUpload",
                   Transfer([](int control, int data, const std::string&, const ScriptedServer& s) {
                     SendText(control, "150 send it\r\n");
                     ftptest::WaitForClose(data, s);
                     ftptest::WaitForClose(control, s);
                   }),
                   Op::kUpload, -904});
  return cases;
}

class HostileServer : public testing::TestWithParam<int> {};

TEST_P(HostileServer, EndsWithAFailureInTimeAndBoundedMemory) {
  const HostileCase c = AllCases()[GetParam()];
  testsupport::TempDir local;
  // Large enough that the upload is still running when the server hangs up.
  testsupport::WriteFile(local / "source", std::string(8 << 20, 'u'));
  ScriptedServer server(c.session);
  ASSERT_GT(server.port(), 0);
  const std::string host = server.server();
  char error[1024] = {};

  ftptest::ResetPeakMemory();
  const long before = ftptest::PeakMemoryKb();
  const auto start = std::chrono::steady_clock::now();
  int32_t result = 0;
  switch (c.op) {
    case Op::kUpload:
      result = SendFileToHost(host.c_str(), "u", "p", (local / "source").c_str(), "FTP_test.text",
                              kTimeoutMs, error);
      break;
    case Op::kDownload:
      result = ReceiveFileFromHost(host.c_str(), "u", "p", "FTP_test.text",
                                   (local / "target").c_str(), kTimeoutMs, error);
      break;
    case Op::kDelete:
      result = DeleteFileFromHost(host.c_str(), "u", "p", "FTP_test.text", kTimeoutMs, error);
      break;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  const long grew = ftptest::PeakMemoryKb() - before;

  EXPECT_EQ(result, c.expected) << c.name << ": " << error;
  EXPECT_GT(std::strlen(error), 0u) << c.name;
  EXPECT_LT(took, std::chrono::milliseconds(2 * kTimeoutMs + 2000))
      << c.name << " took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
      << " ms";
  EXPECT_LT(grew, 32 * 1024) << c.name << ": peak memory grew by " << grew << " kB";
  EXPECT_FALSE(platform::PathExists(local / "target")) << "a failed download leaves no file";
}

std::string CaseName(const testing::TestParamInfo<int>& info) {
  const HostileCase c = AllCases()[info.param];
  const char* op = c.op == Op::kUpload ? "Upload" : c.op == Op::kDownload ? "Download" : "Delete";
  return std::string(c.name) + op;
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileServer,
                         testing::Range(0, static_cast<int>(AllCases().size())), CaseName);

// Servers whose SIZE answer is no help: the download still brings the whole file.
TEST(ScriptedServer, DownloadDoesNotDependOnTheSizeAnswer) {
  const std::string content = "This is a FTP test file used by KT.Varnock 2.0";
  for (const char* sizeReply : {"550 Could not get file size.", "502 SIZE not implemented", "213 5",
                                "213 1000000000000000"}) {
    ftptest::OneFileServer server(sizeReply);
    testsupport::TempDir local;
    testsupport::WriteFile(local / "source", content);
    const std::string host = server.server();
    char error[1024] = {};
    ASSERT_EQ(SendFileToHost(host.c_str(), "u", "p", (local / "source").c_str(), "FTP_test.text",
                             kTimeoutMs, error),
              1)
        << sizeReply << ": " << error;
    EXPECT_EQ(ReceiveFileFromHost(host.c_str(), "u", "p", "FTP_test.text", (local / "back").c_str(),
                                  kTimeoutMs, error),
              1)
        << sizeReply << ": " << error;
    EXPECT_EQ(testsupport::ReadFile(local / "back"), content) << sizeReply;
    EXPECT_EQ(DeleteFileFromHost(host.c_str(), "u", "p", "FTP_test.text", kTimeoutMs, error), 1)
        << sizeReply << ": " << error;
    EXPECT_FALSE(server.holdsFile()) << sizeReply;
  }
}

// A download trickled 2 bytes a second answers every wait in time; the call still ends at
// its overall deadline (10 time-outs) with -906.
TEST(ScriptedServer, TrickledDownloadEndsAtTheOverallDeadline) {
  constexpr int32_t kShortTimeoutMs = 500;
  constexpr auto kDeadline = std::chrono::milliseconds(10 * kShortTimeoutMs);
  // Long enough that only the deadline can end the call first.
  ftptest::OneFileServer server("213 1000000000000000", ftptest::TrickleDownload(40000));
  testsupport::TempDir local;
  const std::string host = server.server();
  char error[1024] = {};
  const auto start = std::chrono::steady_clock::now();
  const int32_t result = ReceiveFileFromHost(host.c_str(), "u", "p", "FTP_test.text",
                                             (local / "target").c_str(), kShortTimeoutMs, error);
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf(
      "trickled download ended after %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_EQ(result, -906) << error;
  EXPECT_NE(std::string(error).find("deadline"), std::string::npos) << error;
  EXPECT_GE(took, kDeadline - std::chrono::milliseconds(100));
  EXPECT_LT(took, kDeadline + std::chrono::seconds(4));
  EXPECT_FALSE(platform::PathExists(local / "target")) << "a failed download leaves no file";
}

}  // namespace
