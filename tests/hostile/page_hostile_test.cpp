// Attacks on the page check: a page whose links trickle their answers, and CR LF in a page
// address or a link that would inject headers or a second request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <future>
#include <mutex>
#include <regex>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "hostcheck/page_check.h"
#include "hostcheck/web_post.h"
#include "log_lines.h"
#include "loopback_servers.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "testkit.h"

namespace {

using hostcheck::CheckPage;
using hostcheck::CheckPageAndLinks;
using hostcheck::LinkCheckOutput;
using hostcheck::ProgressWords;
using hostchecktest::ReadRequestHead;
using hostchecktest::ScriptedServer;
using hostchecktest::SendAll;

const std::string kName = "Hostile Page";
const char kFailure[] = "HTTP Web LinkFailed Error: ";

std::string Answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

LinkCheckOutput FailuresOnly(const testsupport::TempDir& dir) {
  LinkCheckOutput out;
  out.logDir = dir / "Log";
  out.accountName = common::HexKey(kName);
  out.failureMessage = kFailure;
  out.logMode = 1;
  return out;
}

// The plain log's lines, each as its code and the text after the name field.
std::vector<std::string> LogTexts(const testsupport::TempDir& dir) {
  std::vector<std::string> out;
  for (const std::string& line : testkit::LogLines(
           testsupport::ReadFile(common::FullLogPath(dir.path(), platform::LocalNow())))) {
    out.push_back(line.size() > 93 ? line.substr(0, 6) + line.substr(93) : line);
  }
  return out;
}

// Serves `page` for "/p" and trickles every other answer: the head, then one body byte
// every 300 ms, so each wait of a 1 s time-out is met and only a deadline ends the fetch.
// `release` makes every connection close at once (the test's way out when a check hangs).
struct TricklingSite {
  std::string page;
  std::atomic<bool> release{false};
  ScriptedServer server{[this](int fd, const std::atomic<bool>& stopping) {
                          std::string head = ReadRequestHead(fd, 2000);
                          if (release) return;
                          if (head.rfind("GET /p ", 0) == 0) return SendAll(fd, Answer(page));
                          SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
                          int64_t until = platform::MonotonicMs() + 120000;
                          while (!stopping && !release && platform::MonotonicMs() < until) {
                            if (::send(fd, "x", 1, MSG_NOSIGNAL) <= 0) return;
                            ::usleep(300 * 1000);
                          }
                        },
                        ScriptedServer::Serving::kSideBySide};
};

std::string ThousandLinks() {
  std::string body;
  for (size_t i = 0; i < hostcheck::kMaxLinksPerRun; ++i) {
    body += "<a href=\"/t" + std::to_string(i) + "\">t</a>\n";
  }
  return body;
}

// 1,000 links that all trickle: the whole check ends by its overall deadline (10 s at a 1 s
// time-out), the links still being fetched then fail with -906, and the rest are named once.
TEST(PageHostile, LinkCheckOfTricklingLinksEndsByOneDeadline) {
  TricklingSite site;
  site.page = ThousandLinks();
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  int64_t start = platform::MonotonicMs();
  auto check = std::async(std::launch::async, [&] {
    ProgressWords words(nullptr, nullptr, nullptr, nullptr, nullptr);
    return CheckPageAndLinks("127.0.0.1", site.server.port(), "/p", page.c_str(), 1000, words,
                             FailuresOnly(dir));
  });
  bool ended = check.wait_for(std::chrono::seconds(40)) == std::future_status::ready;
  int64_t took = platform::MonotonicMs() - start;
  site.release = true;  // lets a hanging check run out quickly
  EXPECT_TRUE(ended) << "the link check is still running after 40 s";
  EXPECT_EQ(check.get(), -906);
  if (!ended) return;
  EXPECT_GE(took, 9000);
  std::printf("1,000 trickling links: the check ended after %.1f s\n", took / 1000.0);

  std::vector<std::string> lines = LogTexts(dir);
  ASSERT_GE(lines.size(), 2u);
  const std::string timedOut = std::string("-0906 ") + kFailure + "TIMEOUT Domain/IP: 127.0.0.1";
  size_t failed = lines.size() - 1;
  EXPECT_LE(failed, 2 * hostcheck::kLinkFetchesAtOnce) << "only the links being fetched failed";
  for (size_t i = 0; i < failed; ++i) EXPECT_EQ(lines[i], timedOut);
  EXPECT_EQ(lines.back(), "-0906 HTTP Web LinkCheck Stopped: out of time, " +
                              std::to_string(1000 - failed) +
                              " of 1000 links in page were not checked");
  EXPECT_TRUE(platform::ListFiles(dir / "Log/Temp").empty()) << "temporary files removed";
}

// The same page through PageSentry: the run ends by the account's deadline, so the group's
// next launch, 20 s after the first, runs instead of being skipped.
TEST(PageHostile, GroupsNextLaunchIsNotSkipped) {
  TricklingSite site;
  site.page = ThousandLinks();
  testkit::ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupHttp, true, false);
  common::AccountFile a = testkit::ServerAccount("links", "127.0.0.1");
  a.record.type = common::kHttpPage;
  a.record.isHttpPage = 1;
  a.record.checkLinks = 1;
  common::SetField(a.record.pagePath, "/p");
  a.record.httpPort = static_cast<uint32_t>(site.server.port());
  a.record.httpTimeout = 1;
  testkit::AddAccount(pd, a, common::StatusFolder::kHttpPage);

  int64_t start = platform::MonotonicMs();
  std::atomic<int64_t> firstTook{-1};
  std::thread first([&] {
    pd.RunAgent("PageSentry");
    firstTook = platform::MonotonicMs() - start;
  });
  while (platform::MonotonicMs() - start < 20000) ::usleep(100 * 1000);
  site.release = true;  // from here on every answer is a dropped connection
  pd.RunAgent("PageSentry");
  first.join();
  EXPECT_LT(firstTook.load(), 20000);
  std::printf("PageSentry with 1,000 trickling links: the run ended after %.1f s\n",
              firstTook.load() / 1000.0);
  std::string log = pd.TodayLog();
  EXPECT_EQ(log.find("[Skipped]"), std::string::npos) << log;
  EXPECT_NE(log.find(" links in page were not checked\r\n"), std::string::npos);
}

// Page addresses holding CR, LF or another control byte: nothing reaches the server.
TEST(PageHostile, ControlBytesInAnAddressNeverReachTheServer) {
  std::mutex lock;
  std::string received;
  ScriptedServer server([&](int fd, const std::atomic<bool>&) {
    std::string head = ReadRequestHead(fd, 2000);
    std::string more = ReadRequestHead(fd, 300);
    {
      std::lock_guard<std::mutex> hold(lock);
      received += head + more;
    }
    SendAll(fd, Answer("ok"));
  });
  struct Case {
    const char* name;
    std::string host;
    std::string path;
  };
  const Case cases[] = {
      {"request and second request in the path", "127.0.0.1",
       "/ok/x HTTP/1.1\r\nX-Injected: yes\r\nHost: evil\r\n\r\nGET /second"},
      {"header in the host", "127.0.0.1\r\nX-Injected: yes", "/ok"},
      {"lone line feed", "127.0.0.1", "/ok\nX-Injected: yes"},
      {"lone carriage return", "127.0.0.1", "/ok\rX-Injected: yes"},
      {"tab", "127.0.0.1", "/ok\tx"},
      {"escape", "127.0.0.1", "/ok\x1b[2J"},
      {"delete", "127.0.0.1", "/ok\x7f"},
  };
  testsupport::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string page = dir / "page.htm";
    int32_t w[5] = {7, 7, 7, 7, 7};
    ProgressWords words(&w[0], &w[1], &w[2], &w[3], &w[4]);
    EXPECT_EQ(CheckPage(c.host.c_str(), server.port(), c.path.c_str(), page.c_str(), 1000, words),
              -904);
    EXPECT_EQ(std::vector<int32_t>(w, w + 5), (std::vector<int32_t>{1, 0, 0, 0, 0}));

    std::string log = dir / "post.log";
    std::string answer = dir / "answer.txt";
    EXPECT_EQ(hostcheck::PostMessageToWebOnPort(c.host.c_str(), c.path.c_str(), answer.c_str(),
                                                log.c_str(), 2, server.port()),
              -904);
    std::string written = testsupport::ReadFile(log);
    EXPECT_NE(written.find("\tERROR!!\tRequest refused: the host or path holds a control byte."),
              std::string::npos)
        << written;
    EXPECT_EQ(written.find("X-Injected"), std::string::npos) << "the request is not logged";
  }
  EXPECT_EQ(server.connections(), 0);
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ(received, "");
}

// Links whose href carries CR LF (the value runs to the next double quote, line ends and
// all): each is a failed link, logged; the clean link beside them is still checked.
TEST(PageHostile, ControlBytesInALinkNeverReachTheServer) {
  std::mutex lock;
  std::vector<std::string> requests;
  ScriptedServer server([&](int fd, const std::atomic<bool>&) {
    std::string head = ReadRequestHead(fd, 2000);
    std::string more = ReadRequestHead(fd, 300);
    {
      std::lock_guard<std::mutex> hold(lock);
      requests.push_back(head + more);
    }
    if (head.rfind("GET /p ", 0) == 0) {
      return SendAll(fd, Answer("<a href=\"/ok/x HTTP/1.1\r\nX-Injected: yes\r\nHost: evil\r\n"
                                "\r\nGET /second\">one</a>\n"
                                "<a href=\"/fine\">fine</a>\n"
                                "<a href=\"http://127.0.0.1\r\nX-Injected: yes/y\">two</a>\n"));
    }
    SendAll(fd, Answer("ok"));
  });
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  ProgressWords words(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(CheckPageAndLinks("127.0.0.1", server.port(), "/p", page.c_str(), 2000, words,
                              FailuresOnly(dir)),
            -904);
  {
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(requests.size(), 2u);
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests[0].substr(0, 12), "GET /fine HT");
    EXPECT_EQ(requests[1].substr(0, 9), "GET /p HT");
    for (const std::string& r : requests) {
      EXPECT_EQ(Lower(r).find("injected"), std::string::npos) << r;
      EXPECT_EQ(Lower(r).find("second"), std::string::npos) << r;
    }
  }
  const std::string refused = std::string("-0904 ") + kFailure + "SEND_DATA Domain/IP: ";
  EXPECT_EQ(LogTexts(dir), (std::vector<std::string>{
                               refused + "127.0.0.1",
                               refused + "127.0.0.1^M^Jx-injected: yes",
                           }));
}

}  // namespace
