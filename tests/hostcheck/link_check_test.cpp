// ReceiveWebPageAndCheckAll against a real web server on loopback: which links are
// fetched, the log lines of each checked link, and the state and status files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "hostcheck/page_check.h"
#include "loopback_servers.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace hostcheck {
namespace {

const char kIndex[] =
    "<html><body>\n"
    "<a href=\"good.htm\">good</a>\n"
    "<A HREF=\"/Sub/Two.htm\">two</A>\n"
    "<a href=\"missing.htm\">missing</a>\n"
    "<a href=\"#top\">top</a> <a href=\"mailto:x@y.test\">mail</a>\n"
    "<a href=\"javascript:show()\">script</a>\n"
    "<a href=\"http://127.0.0.2/far.htm\">elsewhere</a>\n"
    "</body></html>\n";

const char kFailure[] = "HTTP Web LinkFailed Error: ";
const char kSuccess[] = "HTTP Web Link OK ";

struct Site {
  testsupport::TempDir web;
  testsupport::TempDir data;
  Site() {
    testsupport::WriteFile(web / "index.htm", kIndex);
    testsupport::WriteFile(web / "good.htm", "<p>good</p>");
    testsupport::WriteFile(web / "sub/two.htm", "<p>two</p>");
  }
};

struct Outcome {
  int32_t result;
  std::string plainLog;
  std::string dispLog;
};

const std::string kName = "Web One";

Outcome CheckAll(Site& site, int port, const char* path, int32_t logMode, char* state, char* status,
                 const std::string& statusFile) {
  std::string logDir = site.data / "Log";
  std::string key = common::HexKey(kName);
  LinkCheckOutput out;
  out.logDir = logDir;
  out.accountName = key;
  out.failureMessage = kFailure;
  out.successMessage = kSuccess;
  out.logMode = logMode;
  out.stateFile = site.data / "httpPara.dat";
  out.stateImage = state;
  out.stateLength = 20;
  out.statusFile = statusFile;
  out.statusImage = status;
  out.statusLength = 84;
  int32_t w[5] = {};
  ProgressWords words(&w[0], &w[1], &w[2], &w[3], &w[4]);
  std::string pageFile = site.data / "page.htm";
  Outcome o;
  o.result = CheckPageAndLinks("127.0.0.1", port, path, pageFile.c_str(), 3000, words, out);
  platform::SystemTime now = platform::LocalNow();
  o.plainLog = testsupport::ReadFile(common::FullLogPath(site.data.path(), now));
  o.dispLog = testsupport::ReadFile(common::DisplayLogPath(site.data.path(), now));
  return o;
}

// The lines of a log, each reduced to its code and what follows the time stamp.
std::vector<std::string> Lines(const std::string& log) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    // "%05ld %04d/%02d/%02d  %02d:%02d%s  " is 6 + 10 + 2 + 7 + 2 characters.
    lines.push_back(line.size() > 27 ? line.substr(0, 6) + line.substr(27) : line);
    at = end + 2;
  }
  return lines;
}

std::string Field(const std::string& name) {
  std::string field = name;
  field.resize(65, ' ');
  return field;
}

TEST(LinkCheck, FailingLinksAreLoggedAndRecorded) {
  Site site;
  hostchecktest::WebServer server(site.web.path());
  if (!server.running()) GTEST_SKIP() << "python3 -m http.server did not start";
  const std::string key = common::HexKey(kName);
  std::string statusFile = site.data / ("HTTPPageData/" + key);
  char stored[84] = {};
  stored[0] = 1;  // enabled, as the console keeps it
  stored[1] = 2;
  testsupport::WriteFile(statusFile, std::string(stored, sizeof stored));
  char state[20];
  std::memset(state, 0x5A, sizeof state);
  char status[84];
  std::memset(status, 0x33, sizeof status);

  Outcome o = CheckAll(site, server.port(), "/index.htm", 1, state, status, statusFile);
  EXPECT_EQ(o.result, -902) << "the last failing link's code";

  const std::string missing = std::string(kFailure) +
                              "\"404 File not found\" Domain/IP: \"127.0.0.1\" Page: "
                              "\"/missing.htm\"";
  const std::string far = std::string(kFailure) + "CONNECT Domain/IP: 127.0.0.2";
  EXPECT_EQ(Lines(o.dispLog), (std::vector<std::string>{"00404 " + Field(key) + " " + missing,
                                                        "-0902 " + Field(key) + " " + far}));
  EXPECT_EQ(Lines(o.plainLog), (std::vector<std::string>{"00404 " + Field(kName) + " " + missing,
                                                         "-0902 " + Field(kName) + " " + far}));

  EXPECT_EQ(testsupport::ReadFile(site.data / "httpPara.dat"), std::string(20, 0x5A));
  std::string record = testsupport::ReadFile(statusFile);
  ASSERT_EQ(record.size(), 84u);
  EXPECT_EQ(record.substr(0, 4), std::string("\x01\x02\0\0", 4)) << "first word kept";
  EXPECT_EQ(record.substr(4), std::string(80, 0x33));
  EXPECT_EQ(std::string(status, 4), std::string("\x01\x02\0\0", 4));
  EXPECT_TRUE(platform::ListFiles(site.data / "Log/Temp").empty()) << "temporary files removed";
}

TEST(LinkCheck, LogModes) {
  Site site;
  hostchecktest::WebServer server(site.web.path());
  if (!server.running()) GTEST_SKIP() << "python3 -m http.server did not start";
  char state[20] = {};
  char status[84] = {};
  {
    Outcome o = CheckAll(site, server.port(), "/index.htm", 0, state, status, "");
    EXPECT_EQ(o.result, -902);
    EXPECT_EQ(o.plainLog, "");
    EXPECT_FALSE(platform::PathExists(site.data / "httpPara.dat")) << "mode 0 records nothing";
  }
  {
    Outcome o = CheckAll(site, server.port(), "/index.htm", 2, state, status, "");
    std::vector<std::string> lines = Lines(o.plainLog);
    ASSERT_EQ(lines.size(), 5u) << o.plainLog;
    auto ok = [&](const std::string& page) {
      return "00200 " + Field(kName) + " " + kSuccess +
             "\"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"" + page + "\"";
    };
    EXPECT_EQ(lines[0], ok("/index.htm"));
    EXPECT_EQ(lines[1], ok("/good.htm"));
    EXPECT_EQ(lines[2], ok("/sub/two.htm"));
    EXPECT_EQ(lines[3].substr(0, 6), "00404 ");
    EXPECT_EQ(lines[4].substr(0, 6), "-0902 ");
  }
  {
    // A page whose links all pass.
    testsupport::WriteFile(site.web / "clean.htm", "<a href=\"good.htm\">g</a><a href=\"#x\">");
    Outcome before = CheckAll(site, server.port(), "/clean.htm", 1, state, status, "");
    EXPECT_EQ(before.result, 1);
  }
}

TEST(LinkCheck, FailingPageStopsBeforeTheLinks) {
  Site site;
  hostchecktest::WebServer server(site.web.path());
  if (!server.running()) GTEST_SKIP() << "python3 -m http.server did not start";
  char state[20] = {1, 2, 3};
  char status[84] = {};
  Outcome o = CheckAll(site, server.port(), "/nothere.htm", 1, state, status, "");
  EXPECT_EQ(o.result, 404);
  std::vector<std::string> lines = Lines(o.plainLog);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "00404 " + Field(kName) + " " + kFailure +
                          "\"404 File not found\" Domain/IP: \"127.0.0.1\" Page: \"/nothere.htm\"");
  EXPECT_EQ(testsupport::ReadFile(site.data / "httpPara.dat"), std::string(state, 20));

  // An empty page passes its own check but has no links to read.
  testsupport::WriteFile(site.web / "empty.htm", "");
  EXPECT_EQ(CheckAll(site, server.port(), "/empty.htm", 0, state, status, "").result, -1);
}

// Answers the page request with `page` (written by `writePage`), every other request with a
// short page, and notes each requested path.
struct RecordingSite {
  std::mutex lock;
  std::vector<std::string> paths;
  std::function<void(int fd)> writePage;
  hostchecktest::ScriptedServer server{[this](int fd, const std::atomic<bool>&) {
    std::string head = hostchecktest::ReadRequestHead(fd);
    std::string path = head.substr(4, head.find(' ', 4) - 4);
    {
      std::lock_guard<std::mutex> hold(lock);
      paths.push_back(path);
    }
    if (path == "/p") return writePage(fd);
    hostchecktest::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  }};
  std::vector<std::string> Paths() {
    std::lock_guard<std::mutex> hold(lock);
    return paths;
  }
};

LinkCheckOutput FailuresOnly(testsupport::TempDir& dir) {
  LinkCheckOutput out;
  out.logDir = dir / "Log";
  out.accountName = common::HexKey(kName);
  out.failureMessage = kFailure;
  out.logMode = 1;
  return out;
}

// A close-delimited page written in two parts within the first 500 ms is read whole: both
// of its links are checked.
TEST(LinkCheck, PageInTwoWritesHasAllItsLinksChecked) {
  RecordingSite site;
  site.writePage = [](int fd) {
    hostchecktest::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n<a href=\"/one.htm\">one</a>\n");
    ::usleep(100 * 1000);
    hostchecktest::SendAll(fd, "<a href=\"/two.htm\">two</a>\n");
  };
  testsupport::TempDir dir;
  ProgressWords words(nullptr, nullptr, nullptr, nullptr, nullptr);
  std::string page = dir / "page.htm";
  EXPECT_EQ(CheckPageAndLinks("127.0.0.1", site.server.port(), "/p", page.c_str(), 2000, words,
                              FailuresOnly(dir)),
            1);
  // The links are fetched side by side: their order on the wire is not the page's.
  std::vector<std::string> paths = site.Paths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"/one.htm", "/p", "/two.htm"}));
}

// A run follows at most 1000 links and says so in the log, whatever the log mode.
TEST(LinkCheck, RunStopsAfterAThousandLinks) {
  RecordingSite site;
  site.writePage = [](int fd) {
    std::string body;
    for (size_t i = 0; i <= kMaxLinksPerRun; ++i) {
      body += "<a href=\"/l" + std::to_string(i) + "\">x</a>\n";
    }
    hostchecktest::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\n\r\n" + body);
  };
  for (int32_t logMode : {0, 1}) {
    SCOPED_TRACE(logMode);
    testsupport::TempDir dir;
    LinkCheckOutput out = FailuresOnly(dir);
    out.logMode = logMode;
    ProgressWords words(nullptr, nullptr, nullptr, nullptr, nullptr);
    std::string page = dir / "page.htm";
    size_t before = site.Paths().size();
    EXPECT_EQ(
        CheckPageAndLinks("127.0.0.1", site.server.port(), "/p", page.c_str(), 2000, words, out),
        1);
    std::vector<std::string> paths = site.Paths();
    ASSERT_EQ(paths.size() - before, 1 + kMaxLinksPerRun);
    EXPECT_NE(std::find(paths.begin() + before, paths.end(), "/l999"), paths.end());
    EXPECT_EQ(std::find(paths.begin() + before, paths.end(), "/l1000"), paths.end());
    std::vector<std::string> lines =
        Lines(testsupport::ReadFile(common::FullLogPath(dir.path(), platform::LocalNow())));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "00001 " + Field(kName) +
                         " HTTP Web LinkCheck Stopped: only the first 1000 links in page were "
                         "checked"}));
  }
}

// A server's text reaches the log with its control bytes escaped: one line per check.
TEST(LinkCheck, ServerTextIsEscapedInLogLines) {
  hostchecktest::ScriptedServer server([](int fd, const std::atomic<bool>&) {
    hostchecktest::ReadRequestHead(fd);
    hostchecktest::SendAll(fd, "HTTP/1.1 404 Not\x1b[2JFound\x07\r\nContent-Length: 0\r\n\r\n");
  });
  testsupport::TempDir dir;
  LinkCheckOutput out;
  out.logDir = dir / "Log";
  out.accountName = common::HexKey(kName);
  out.failureMessage = kFailure;
  out.logMode = 1;
  ProgressWords words(nullptr, nullptr, nullptr, nullptr, nullptr);
  std::string page = dir / "page.htm";
  EXPECT_EQ(CheckPageAndLinks("127.0.0.1", server.port(), "/p", page.c_str(), 2000, words, out),
            404);
  std::vector<std::string> lines =
      Lines(testsupport::ReadFile(common::FullLogPath(dir.path(), platform::LocalNow())));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "00404 " + Field(kName) + " " + kFailure +
                          "\"404 Not^[[2JFound^G\" Domain/IP: \"127.0.0.1\" Page: \"/p\"");
}

}  // namespace
}  // namespace hostcheck
