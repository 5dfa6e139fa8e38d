// POP3 servers that misbehave on purpose: each call ends within its bounds, with a failure
// result, bounded memory, and no file that looks like a whole message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "InboxPull.h"
#include "mail_servers.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using mailtest::ReadCommand;
using mailtest::ScriptedPop3;
using mailtest::Send;

// Serves a login, STAT with one message, no UIDL and TOP, then hands RETR 1 to `retr`.
ScriptedPop3::Session RetrServer(std::function<void(int, const ScriptedPop3&)> retr) {
  return [retr](int fd, const ScriptedPop3& s) {
    if (!mailtest::GreetAndLogIn(fd, s)) return;
    for (std::string c; !(c = ReadCommand(fd, s)).empty();) {
      if (c == "STAT") {
        Send(fd, "+OK 1 100\r\n");
      } else if (c.rfind("UIDL", 0) == 0) {
        Send(fd, "-ERR\r\n");
      } else if (c == "TOP 1 0") {
        Send(fd, "+OK\r\nMessage-ID: <hostile@h>\r\n\r\n.\r\n");
      } else if (c == "RETR 1") {
        retr(fd, s);
        return;
      } else {
        Send(fd, "+OK\r\n");
      }
    }
  };
}

void Endless(int fd, const ScriptedPop3& s, const std::string& head, const std::string& line) {
  if (!Send(fd, head)) return;
  std::string block;
  while (block.size() < 64 * 1024) block += line;
  while (!s.stopping() && Send(fd, block)) {
  }
}

void Silence(int fd, const ScriptedPop3& s) {
  (void)fd;
  while (!s.stopping()) ::usleep(20000);
}

struct Case {
  const char* name;
  ScriptedPop3::Session session;
  int32_t timeoutMs;
  int32_t result;
  double maxSeconds;  // generous: the machine is shared
};

TEST(InboxPullHostile, EachCallEndsBoundedWithoutPartialFiles) {
  const Case cases[] = {
      {"endless UIDL listing",
       [](int fd, const ScriptedPop3& s) {
         if (!mailtest::GreetAndLogIn(fd, s)) return;
         for (std::string c; !(c = ReadCommand(fd, s)).empty();) {
           if (c == "STAT") Send(fd, "+OK 1 100\r\n");
           if (c == "UIDL 1") Send(fd, "+OK 1 x\r\n");
           if (c == "UIDL") return Endless(fd, s, "+OK\r\n", "1 same-uid-again-and-again\r\n");
         }
       },
       2000, -16, 15},
      {"endless message", RetrServer([](int fd, const ScriptedPop3& s) {
         Endless(fd, s, "+OK\r\n", "a line of a message that never ends\r\n");
       }),
       2000, -16, 20},
      {"1 MB line without a line end", RetrServer([](int fd, const ScriptedPop3& s) {
         Send(fd, "+OK\r\n" + std::string(1 << 20, 'x'));
         Silence(fd, s);
       }),
       2000, -16, 5},
      {"closed in the middle of a message", RetrServer([](int fd, const ScriptedPop3&) {
         Send(fd, "+OK\r\nMessage-ID: <hostile@h>\r\nSubject: half\r\n\r\nthe first half");
       }),
       2000, -16, 5},
      {"silent in the middle of a message", RetrServer([](int fd, const ScriptedPop3& s) {
         Send(fd, "+OK\r\nSubject: half\r\n");
         Silence(fd, s);
       }),
       1000, -16, 5},
      {"a byte at a time, forever", RetrServer([](int fd, const ScriptedPop3& s) {
         Send(fd, "+OK\r\n");
         while (!s.stopping() && Send(fd, "x\r\n")) ::usleep(100000);
       }),
       // Every wait is met; the whole call's bound (ten waits) ends it.
       500, -16, 15},
      {"silent after the greeting",
       [](int fd, const ScriptedPop3& s) {
         Send(fd, "+OK hello\r\n");
         Silence(fd, s);
       },
       1000, -16, 5},
      {"no greeting at all", [](int fd, const ScriptedPop3& s) { Silence(fd, s); }, 1000, -1, 5},
      {"greeting that is no +OK", [](int fd, const ScriptedPop3&) { Send(fd, "-ERR go away\r\n"); },
       1000, -1, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPop3 server(c.session);
    testsupport::TempDir dir;
    mailtest::ResetPeakMemory();
    const long before = mailtest::PeakMemoryKb();
    const auto start = std::chrono::steady_clock::now();
    const int32_t result =
        POP3_RetrieveAllWithPort("127.0.0.1", "u", "p", dir.path().c_str(), ".eml", 1, 1,
                                 (dir / "pop.log").c_str(), server.port(), c.timeoutMs);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result, c.result);
    EXPECT_LT(seconds, c.maxSeconds);
    // A message is held at most once in memory, never a whole answer.
    EXPECT_LT(mailtest::PeakMemoryKb() - before, 96 * 1024);
    // Only the log is left: no message file, no hidden part of one.
    EXPECT_EQ(platform::ListFiles(dir.path()), std::vector<std::string>{"pop.log"});
    const std::string log = testsupport::ReadFile(dir / "pop.log");
    EXPECT_FALSE(log.empty());
  }
}

// A message over the size bound is skipped with a log line; the one after it is stored.
TEST(InboxPullHostile, OversizedMessageIsSkippedAndSaidInTheLog) {
  ScriptedPop3 server([](int fd, const ScriptedPop3& s) {
    if (!mailtest::GreetAndLogIn(fd, s)) return;
    std::string big = "+OK\r\n";
    const std::string line(998, 'b');
    while (big.size() < (17u << 20)) big += line + "\r\n";
    big += ".\r\n";
    for (std::string c; !(c = ReadCommand(fd, s)).empty();) {
      if (c == "STAT")
        Send(fd, "+OK 2 100\r\n");
      else if (c.rfind("UIDL", 0) == 0)
        Send(fd, "-ERR\r\n");
      else if (c == "TOP 1 0")
        Send(fd, "+OK\r\nMessage-ID: <big@h>\r\n\r\n.\r\n");
      else if (c == "TOP 2 0")
        Send(fd, "+OK\r\nMessage-ID: <small@h>\r\n\r\n.\r\n");
      else if (c == "RETR 1")
        Send(fd, big);
      else if (c == "RETR 2")
        Send(fd, "+OK\r\nMessage-ID: <small@h>\r\n\r\nsmall\r\n.\r\n");
      else if (c == "QUIT")
        return (void)Send(fd, "+OK\r\n");
      else
        Send(fd, "+OK\r\n");
    }
  });
  testsupport::TempDir dir;
  EXPECT_EQ(POP3_RetrieveAllWithPort("127.0.0.1", "u", "p", dir.path().c_str(), ".eml", 1, 1,
                                     (dir / "pop.log").c_str(), server.port(), 5000),
            1);
  EXPECT_EQ(platform::ListFiles(dir.path()).size(), 2u);
  EXPECT_TRUE(platform::PathExists(dir / "smallh.eml"));
  const std::string log = testsupport::ReadFile(dir / "pop.log");
  EXPECT_NE(log.find("Message 1: larger than 16777216 bytes, not stored"), std::string::npos)
      << log;
}

// Whatever its size over the cap, a message is skipped and the call goes on with the next
// one: kept on the server without the delete flag, deleted with it, and the session ends
// with QUIT so that the deletions take effect. A server that lists no size is read past.
TEST(InboxPullHostile, OversizedMessagesAreSkippedWhateverTheirSize) {
  struct Case {
    const char* name;
    size_t bytes;  // the big message as RETR sends it
    bool listed;   // LIST names its true size
    int32_t deleteAfter;
  } cases[] = {
      {"17 MB, no size listed, delete", 17u << 20, false, 1},
      {"17 MB, listed, delete", 17u << 20, true, 1},
      {"40 MB, listed, delete", 40u << 20, true, 1},
      {"40 MB, listed, kept", 40u << 20, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string big = "+OK\r\n";
    const std::string line(998, 'b');
    while (big.size() < c.bytes) big += line + "\r\n";
    const size_t bigSize = big.size() - 5;
    big += ".\r\n";
    std::mutex mutex;
    std::vector<std::string> seen;
    ScriptedPop3 server([&](int fd, const ScriptedPop3& s) {
      if (!mailtest::GreetAndLogIn(fd, s)) return;
      for (std::string cmd; !(cmd = ReadCommand(fd, s)).empty();) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          seen.push_back(cmd);
        }
        if (cmd == "STAT")
          Send(fd, "+OK 2 100\r\n");
        else if (cmd.rfind("UIDL", 0) == 0)
          Send(fd, "-ERR\r\n");
        else if (cmd == "LIST 1")
          Send(fd, c.listed ? "+OK 1 " + std::to_string(bigSize) + "\r\n" : "-ERR\r\n");
        else if (cmd == "LIST 2")
          Send(fd, "+OK 2 30\r\n");
        else if (cmd == "TOP 1 0")
          Send(fd, "+OK\r\nMessage-ID: <big@h>\r\n\r\n.\r\n");
        else if (cmd == "TOP 2 0")
          Send(fd, "+OK\r\nMessage-ID: <small@h>\r\n\r\n.\r\n");
        else if (cmd == "RETR 1")
          Send(fd, big);
        else if (cmd == "RETR 2")
          Send(fd, "+OK\r\nMessage-ID: <small@h>\r\n\r\nsmall\r\n.\r\n");
        else if (cmd == "QUIT")
          return (void)Send(fd, "+OK\r\n");
        else
          Send(fd, "+OK\r\n");
      }
    });
    testsupport::TempDir dir;
    EXPECT_EQ(
        POP3_RetrieveAllWithPort("127.0.0.1", "u", "p", dir.path().c_str(), ".eml", c.deleteAfter,
                                 1, (dir / "pop.log").c_str(), server.port(), 5000),
        1);
    EXPECT_TRUE(platform::PathExists(dir / "smallh.eml"));
    EXPECT_FALSE(platform::PathExists(dir / "bigh.eml"));
    std::lock_guard<std::mutex> lock(mutex);
    const auto sent = [&](const char* command) {
      return std::count(seen.begin(), seen.end(), command);
    };
    EXPECT_EQ(sent("DELE 1"), c.deleteAfter) << "the big one goes as the delete flag says";
    EXPECT_EQ(sent("DELE 2"), c.deleteAfter);
    EXPECT_EQ(sent("RETR 1"), c.listed ? 0 : 1) << "a listed size over the cap is not fetched";
    EXPECT_EQ(sent("QUIT"), 1);
    EXPECT_NE(testsupport::ReadFile(dir / "pop.log")
                  .find("Message 1: larger than 16777216 bytes, not stored"),
              std::string::npos);
  }
}

// A user name or password with a line break would smuggle in a command: it is not sent.
TEST(InboxPullHostile, LineBreaksInTheLoginAreNotSent) {
  std::string seen;
  ScriptedPop3 server([&seen](int fd, const ScriptedPop3& s) {
    Send(fd, "+OK\r\n");
    for (std::string c; !(c = ReadCommand(fd, s)).empty();) {
      seen += c + "|";
      Send(fd, "+OK\r\n");
    }
  });
  testsupport::TempDir dir;
  EXPECT_EQ(POP3_RetrieveAllWithPort("127.0.0.1", "u\r\nDELE 1", "p", dir.path().c_str(), ".eml", 1,
                                     0, "", server.port(), 2000),
            -16);
  EXPECT_EQ(POP3_RetrieveAllWithPort("127.0.0.1", "u", "p\nDELE 1", dir.path().c_str(), ".eml", 1,
                                     0, "", server.port(), 2000),
            -17);
  EXPECT_EQ(seen.find("DELE"), std::string::npos) << seen;
}

}  // namespace
