// Fetching pages from servers that behave and misbehave: results, page files, progress
// words and the request on the wire.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "hostcheck/net_util.h"
#include "hostcheck/page_check.h"
#include "hostcheck/page_status.h"
#include "loopback_servers.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace hostcheck {
namespace {

using hostchecktest::ReadRequestHead;
using hostchecktest::ScriptedServer;
using hostchecktest::SendAll;
using hostchecktest::WaitForPeerClose;

// Answers every request with `response`, then closes.
ScriptedServer::Handler Answer(std::string response) {
  return [response](int fd, const std::atomic<bool>&) {
    ReadRequestHead(fd);
    SendAll(fd, response);
  };
}

int32_t Fetch(int port, const std::string& pageFile, int32_t timeoutMs = 3000,
              const char* path = "/p.htm") {
  ProgressWords none(nullptr, nullptr, nullptr, nullptr, nullptr);
  return CheckPage("127.0.0.1", port, path, pageFile.c_str(), timeoutMs, none);
}

TEST(PageFetch, ResultsAndPageFiles) {
  struct Case {
    const char* name;
    ScriptedServer::Handler server;
    int32_t result;
    std::string page;       // the page file afterwards
    std::string errorFile;  // the page error file afterwards
  };
  const std::string bigHead =
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'h') + "\r\n\r\nbody";
  // The page of an earlier fetch, longer than most answers here: a new page replaces it
  // whole, a failed transfer leaves it.
  const std::string earlier(700, 'o');
  const std::string notFoundEntry = "\"404 Not Found\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\"";
  const Case cases[] = {
      {"page with length", Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), 200,
       "hello", "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"not found with reason text",
       Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!"), 404, "not here!",
       notFoundEntry},
      {"error number in a 200 body",
       Answer("HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\n<h1>Error 500</h1>\r\n\r\n"), -500,
       "<h1>Error 500</h1>\r\n\r\n",
       "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""
       "\"500</h1>\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"no length, body in two blocks far apart",
       [](int fd, const std::atomic<bool>&) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfirst part;");
         ::usleep(900 * 1000);
         SendAll(fd, "second part");
       },
       200, "first part;", "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"no length, head and body written apart but close together",
       [](int fd, const std::atomic<bool>&) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
         ::usleep(20 * 1000);
         SendAll(fd, "body");
       },
       200, "body", "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      // Within the first 500 ms every write counts, whatever the framing.
      {"no length, body in two writes within 500 ms",
       [](int fd, const std::atomic<bool>& stopping) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfirst part;");
         ::usleep(100 * 1000);
         SendAll(fd, "second part");
         WaitForPeerClose(fd, stopping);
       },
       200, "first part;second part", "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"chunked body in two writes within 500 ms",
       [](int fd, const std::atomic<bool>& stopping) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nfirst;\r\n");
         ::usleep(100 * 1000);
         SendAll(fd, "6\r\nsecond\r\n0\r\n\r\n");
         WaitForPeerClose(fd, stopping);
       },
       200, "6\r\nfirst;\r\n6\r\nsecond\r\n0\r\n\r\n",
       "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      // A body of one or two bytes completes its length on a kept-alive connection (such a
      // short first block is not written to the page file).
      {"two-byte body, connection kept",
       [](int fd, const std::atomic<bool>& stopping) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
         WaitForPeerClose(fd, stopping);
       },
       200, "", "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      // A length past the counter's range stays at its top; the close ends the body.
      {"length beyond any count",
       Answer("HTTP/1.1 200 OK\r\nContent-Length: 9999999999999999999\r\n\r\nhello"), 200, "hello",
       "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"length, body in many blocks",
       [](int fd, const std::atomic<bool>& stopping) {
         ReadRequestHead(fd);
         SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n");
         for (int i = 0; i < 10; ++i) {
           ::usleep(20 * 1000);
           SendAll(fd, std::string(1000, static_cast<char>('a' + i)));
         }
         WaitForPeerClose(fd, stopping);
       },
       200,
       [] {
         std::string s;
         for (int i = 0; i < 10; ++i) s += std::string(1000, static_cast<char>('a' + i));
         return s;
       }(),
       "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"status line without a line end", Answer("HTTP/1.1 200"), 200, "HTTP/1.1 200", ""},
      {"zero byte in the answer",
       Answer(std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab\0cd", 43)), 200,
       std::string("ab\0cd", 5), "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      {"zero byte in the status line", Answer(std::string("HTTP/1.1 2\0 404 x\r\n\r\n", 21)), 2, "",
       ""},
      // Without the head's end in the first block, that block counts as body.
      {"a 1 MB header line", Answer(bigHead), 200, bigHead.substr(0, 4096),
       "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"/p.htm\""},
      // A close before any byte of an answer is a failed receive, as a reset is.
      {"reads the request and closes", Answer(""), -906, earlier, "left"},
      // Closing with the request unread resets the connection: the receive fails.
      {"closes with the request unread",
       [](int fd, const std::atomic<bool>&) {
         pollfd p{fd, POLLIN, 0};
         ::poll(&p, 1, 5000);
       },
       -906, earlier, "left"},
      {"silent", [](int fd, const std::atomic<bool>& s) { WaitForPeerClose(fd, s); }, -906, earlier,
       "left"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    std::string page = dir / "page.htm";
    testsupport::WriteFile(page, earlier);
    testsupport::WriteFile(PageErrorFilePath(page), "left");
    ScriptedServer server(c.server);
    int64_t start = platform::MonotonicMs();
    EXPECT_EQ(Fetch(server.port(), page, 1000), c.result);
    EXPECT_LT(platform::MonotonicMs() - start, 5000);
    std::string stored = testsupport::ReadFile(page);
    EXPECT_EQ(stored.size(), c.page.size());
    EXPECT_TRUE(stored == c.page) << stored.substr(0, 200);
    EXPECT_EQ(testsupport::ReadFile(PageErrorFilePath(page)), c.errorFile);
  }
}

// A server that accepts and drops the connection fails the fetch the same way every time,
// whether its close reaches the client as a reset or as an orderly end.
TEST(PageFetch, DroppedConnectionIsAFailedReceiveEveryTime) {
  struct Case {
    const char* name;
    ScriptedServer::Handler server;
  };
  const Case cases[] = {
      {"closes at once", [](int, const std::atomic<bool>&) {}},
      {"reads the request and closes",
       [](int fd, const std::atomic<bool>&) { ReadRequestHead(fd); }},
      {"resets at once",
       [](int fd, const std::atomic<bool>&) {
         linger hard{1, 0};
         ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       }},
      {"resets after the request",
       [](int fd, const std::atomic<bool>&) {
         ReadRequestHead(fd);
         linger hard{1, 0};
         ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    std::string page = dir / "page.htm";
    ScriptedServer server(c.server);
    for (int run = 0; run < 10; ++run) {
      SCOPED_TRACE(run);
      int64_t start = platform::MonotonicMs();
      EXPECT_EQ(Fetch(server.port(), page, 2000), -906);
      EXPECT_LT(platform::MonotonicMs() - start, 1500) << "a dropped connection does not heal";
    }
  }
}

TEST(PageFetch, LargeAndEndlessAnswersStayBounded) {
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  const size_t fifty = size_t{50} << 20;
  {
    ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
      ReadRequestHead(fd);
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(fifty) + "\r\n\r\n");
      std::string chunk(1 << 16, 'p');
      for (size_t sent = 0; sent < fifty && !stopping; sent += chunk.size()) SendAll(fd, chunk);
    });
    EXPECT_EQ(Fetch(server.port(), page), 200);
    EXPECT_EQ(platform::FileSize(page), static_cast<int64_t>(fifty));
  }
  {
    ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
      ReadRequestHead(fd);
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n");
      std::string chunk(1 << 16, 'e');
      while (!stopping && ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
      }
    });
    EXPECT_EQ(Fetch(server.port(), page), -906) << "an endless answer is a failed receive";
    EXPECT_LE(platform::FileSize(page), kResponseCap);
  }
}

// A body trickled a byte every 50 ms meets each wait of a 300 ms time-out; the fetch still
// ends at its overall deadline of 10 times the time-out.
TEST(PageFetch, TrickledBodyEndsAtTheOverallDeadline) {
  ScriptedServer server([](int fd, const std::atomic<bool>& stopping) {
    ReadRequestHead(fd);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    int64_t until = platform::MonotonicMs() + 20000;
    while (!stopping && platform::MonotonicMs() < until) {
      if (::send(fd, "b", 1, MSG_NOSIGNAL) <= 0) return;
      ::usleep(50 * 1000);
    }
  });
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  int64_t start = platform::MonotonicMs();
  EXPECT_EQ(Fetch(server.port(), page, 300), -906);
  int64_t took = platform::MonotonicMs() - start;
  EXPECT_GE(took, 2900);
  EXPECT_LT(took, 8000);
  EXPECT_EQ(OverallDeadlineMs(300), 3000);
  EXPECT_EQ(OverallDeadlineMs(60000), 300000) << "never more than 5 minutes";
}

TEST(PageFetch, RequestAndProgressWords) {
  std::mutex lock;
  std::vector<std::string> requests;
  ScriptedServer server([&](int fd, const std::atomic<bool>&) {
    std::string head = ReadRequestHead(fd);
    {
      std::lock_guard<std::mutex> hold(lock);
      requests.push_back(head);
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  int32_t w[5] = {7, 7, 7, 7, 7};
  ProgressWords words(&w[0], &w[1], &w[2], &w[3], &w[4]);
  EXPECT_EQ(CheckPage("127.0.0.1", server.port(), "/dir/p.htm?a=1", page.c_str(), 2000, words),
            200);
  EXPECT_EQ(w[0], 2);
  EXPECT_EQ(w[1], 1);
  EXPECT_EQ(w[2], 0);
  EXPECT_EQ(w[3], 0);
  EXPECT_EQ(w[4], 0);
  EXPECT_EQ(CheckPage("127.0.0.1", server.port(), "", page.c_str(), 2000, words), 200);

  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(requests.size(), 2u);
  const char* common =
      " HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\nUser-Agent: Mozilla/4.0 "
      "(compatible; MSIE 5.01; Windows NT 5.0)\r\nHost: 127.0.0.1\r\nConnection: "
      "Keep-Alive\r\n\r\n";
  EXPECT_EQ(requests[0], std::string("GET /dir/p.htm?a=1") + common);
  EXPECT_EQ(requests[1], std::string("GET /") + common) << "an empty path asks for /";
}

TEST(PageFetch, MissingArgumentsAndUnreachableServers) {
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  ProgressWords none(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(CheckPage("", 80, "/", page.c_str(), 1000, none), -1);
  EXPECT_EQ(CheckPage("127.0.0.1", 80, "/", "", 1000, none), -1);
  EXPECT_EQ(CheckPage(nullptr, 80, "/", nullptr, 1000, none), -1);
  EXPECT_EQ(Fetch(hostchecktest::UnusedPort(), page), -902);
}

}  // namespace
}  // namespace hostcheck
