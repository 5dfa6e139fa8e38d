#include "support/scripted_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

struct Heard {
  std::string bytes;
  long ms = 0;  // from connecting until the server closed
};

// Connects, sends `text`, and reads until the server closes (at most 5 s).
Heard Talk(int port, const std::string& text) {
  Heard heard;
  const Clock::time_point start = Clock::now();
  const int fd = ConnectLoopback(port);
  if (fd < 0) return heard;
  SendAll(fd, text);
  Connection server(fd, nullptr);
  heard.bytes = server.ReadUntil({}, 1 << 16, 5000);
  heard.ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  ::close(fd);
  return heard;
}

TEST(ScriptedServer, StepsAsTheClientSeesThem) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string clientSends, clientHears;
    long atLeastMs;
  } cases[] = {
      {"greeting, then the expected line",
       {Say("220 hi\r\n"), Expect("QUIT"), Say("221 bye\r\n")},
       "QUIT\r\n",
       "220 hi\r\n221 bye\r\n",
       0},
      {"a line that is not the expected one ends the script",
       {Say("+OK\r\n"), Expect("USER "), Say("+OK\r\n")},
       "PASS x\r\n",
       "+OK\r\n",
       0},
      {"silent until the deadline", {Silent(300), Say("late\r\n")}, "hello", "late\r\n", 300},
      {"close ends the script", {Say("bye\r\n"), Close(), Say("never\r\n")}, "", "bye\r\n", 0},
      {"trickle", {Trickle("abc", 20)}, "", "abc", 40},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.steps);
    ASSERT_TRUE(server.ok()) << c.name;
    const Heard heard = Talk(server.port(), c.clientSends);
    EXPECT_EQ(heard.bytes, c.clientHears) << c.name;
    EXPECT_GE(heard.ms, c.atLeastMs) << c.name;
    EXPECT_LT(heard.ms, 4000) << c.name;
    server.Stop();
    EXPECT_EQ(server.received(), c.clientSends) << c.name << ": every byte read is recorded";
    EXPECT_EQ(server.connections(), 1) << c.name;
  }
}

// A line longer than the cap is cut there and the rest of it dropped; the next line is
// whole, whether reads are buffered or take one byte at a time.
TEST(ScriptedServer, LinesAreCappedAndEndsAreHonoured) {
  struct Case {
    bool buffered;
    std::string end;
    std::string sent, echoed;
  } cases[] = {
      {false, "\n", "0123456789ABCDEF\r\nNEXT\r\n", "[01234567][NEXT]"},
      {true, "\n", "0123456789ABCDEF\r\nNEXT\r\n", "[01234567][NEXT]"},
      {true, "\n", "bare\nlf\n", "[bare][lf]"},
      {true, "\r\n", "a\nb\r\n.\r\n", "[a\nb][.]"},
      {false, "\r\n", "01234567\r\n\r\n", "[01234567][]"},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.bufferedReads = c.buffered;
    LineRead how;
    how.maxLength = 8;
    how.end = c.end;
    ScriptedServer server(
        [how](Connection& connection) {
          std::string all, line;
          for (int i = 0; i < 2 && connection.ReadLine(&line, how); ++i) all += "[" + line + "]";
          connection.Send(all);
        },
        options);
    EXPECT_EQ(Talk(server.port(), c.sent).bytes, c.echoed) << c.sent;
  }
}

// Stopping ends sessions that wait on a client which says nothing, and at once.
TEST(ScriptedServer, StopEndsWaitingSessions) {
  ScriptedServer server({Silent()});
  const int fd = ConnectLoopback(server.port());
  ASSERT_GE(fd, 0);
  while (server.connections() == 0) ::usleep(1000);
  const Clock::time_point start = Clock::now();
  server.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  ::close(fd);
}

}  // namespace
}  // namespace testsupport
