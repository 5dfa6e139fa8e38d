// The web message post: its answer file and the debug log at each level.
#include "hostcheck/web_post.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "loopback_servers.h"
#include "support/temp_dir.h"

namespace hostcheck {
namespace {

using hostchecktest::ReadRequestHead;
using hostchecktest::ScriptedServer;
using hostchecktest::SendAll;

ScriptedServer::Handler AnswerOk() {
  return [](int fd, const std::atomic<bool>&) {
    ReadRequestHead(fd);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nreceived");
  };
}

// The log with its time stamps and process id replaced by fixed marks.
std::string Normalised(const std::string& log) {
  std::string pid = std::to_string(::getpid());
  std::string out = std::regex_replace(
      log, std::regex("\\d+/\\d+/\\d+ \\d+:\\d+:\\d+ " + pid + "\t"), "<when>\t");
  out = std::regex_replace(
      out, std::regex("  DATE:\t\\d+/\\d+/\\d+\r\n  TIME:\t\\d+:\\d+:\\d+\r\n"), "  DATE/TIME\r\n");
  return std::regex_replace(out, std::regex("PROCESS ID:\t" + pid), "PROCESS ID:\t<pid>");
}

std::string Header(int level) {
  std::string stars(40, '*');
  return stars + "\r\n  DATE/TIME\r\n  PROCESS ID:\t<pid>\r\n  LOG LEVEL:\t" +
         std::to_string(level) + "\r\n" + stars + "\r\n";
}

TEST(WebPost, LogLevels) {
  ScriptedServer server(AnswerOk());
  int refused = hostchecktest::UnusedPort();
  const std::string request =
      "GET /msg?text=hello HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\n"
      "User-Agent: Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)\r\nHost: 127.0.0.1\r\n"
      "Connection: Keep-Alive\r\n\r\n";
  const std::string fullLog =
      Header(2) + "<when>\tStart to send message.\r\n<when>\t" + request +
      "\r\n<when>\tChecking Winsock Version...\r\n<when>\tOpening socket...\r\n"
      "<when>\tConnecting to host (address:127.0.0.1, port:" +
      std::to_string(server.port()) +
      ")\r\n<when>\tSending data to host...\r\n<when>\tReceiving data from host...\r\n"
      "<when>\tClose Socket.\r\n<when>\tLeave SendMessageToWeb module\r\n";
  struct Case {
    const char* name;
    int port;
    int32_t level;
    int32_t result;
    std::string log;
    std::string answer;
  };
  ScriptedServer dropping([](int fd, const std::atomic<bool>&) { ReadRequestHead(fd); });
  const Case cases[] = {
      {"level 0", server.port(), 0, 0, "", "received"},
      {"level 1, closed before an answer", dropping.port(), 1, -906,
       Header(1) + "<when>\tERROR!!\tUnable to receive data from host.\r\n\r\n", "old"},
      {"level 1, success", server.port(), 1, 0, "", "received"},
      {"level 1, refused", refused, 1, -902,
       Header(1) + "<when>\tERROR!!\tUnable to connect to host.\r\n\r\n", "old"},
      {"level 2, success", server.port(), 2, 0, fullLog, "received"},
      {"level 3 is as level 2", server.port(), 3, 0,
       std::regex_replace(fullLog, std::regex("LOG LEVEL:\t2"), "LOG LEVEL:\t3"), "received"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    std::string log = dir / "post.log";
    std::string answer = dir / "answer.txt";
    testsupport::WriteFile(answer, "old");
    EXPECT_EQ(PostMessageToWebOnPort("127.0.0.1", "/msg?text=hello", answer.c_str(), log.c_str(),
                                     c.level, c.port),
              c.result);
    EXPECT_TRUE(::access(log.c_str(), F_OK) == 0) << "the log file is created";
    EXPECT_EQ(Normalised(testsupport::ReadFile(log)), c.log);
    EXPECT_EQ(testsupport::ReadFile(answer), c.answer);
  }
}

TEST(WebPost, EachCallWritesItsHeaderAndAppends) {
  ScriptedServer server(AnswerOk());
  testsupport::TempDir dir;
  std::string log = dir / "post.log";
  std::string answer = dir / "answer.txt";
  int refused = hostchecktest::UnusedPort();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(PostMessageToWebOnPort("127.0.0.1", "/m", answer.c_str(), log.c_str(), 1, refused),
              -902);
  }
  const std::string one = Header(1) + "<when>\tERROR!!\tUnable to connect to host.\r\n\r\n";
  EXPECT_EQ(Normalised(testsupport::ReadFile(log)), one + one);
}

TEST(WebPost, ArgumentAndLogFileFailures) {
  testsupport::TempDir dir;
  std::string log = dir / "post.log";
  std::string answer = dir / "answer.txt";
  EXPECT_EQ(PostMessageToWeb("", "/m", answer.c_str(), log.c_str(), 2), -2);
  EXPECT_EQ(PostMessageToWeb("127.0.0.1", "", answer.c_str(), log.c_str(), 2), -2);
  EXPECT_EQ(PostMessageToWeb("127.0.0.1", "/m", "", log.c_str(), 2), -2);
  EXPECT_EQ(PostMessageToWeb("127.0.0.1", "/m", answer.c_str(), "", 2), -2);
  EXPECT_EQ(PostMessageToWeb("127.0.0.1", "/m", answer.c_str(), nullptr, 2), -2);
  std::string unopenable = dir / "no/such/folder/post.log";
  EXPECT_EQ(PostMessageToWeb("127.0.0.1", "/m", answer.c_str(), unopenable.c_str(), 2), -661);
}

}  // namespace
}  // namespace hostcheck
