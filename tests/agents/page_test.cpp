// PageSentry against a web server on loopback whose answers the test sets per page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

// Answers GET /<name> with the status found in <root>/<name>.status (404 without one) and
// notes every request path in <root>/hits.
constexpr const char* kPageServer = R"(
import http.server, os, sys
root = sys.argv[1]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        name = self.path.strip('/') or 'index'
        try:
            code = int(open(os.path.join(root, name + '.status')).read())
        except Exception:
            code = 404
        with open(os.path.join(root, 'hits'), 'a') as f:
            f.write(self.path + '\n')
        body = b'<html><body>page</body></html>'
        self.send_response(code)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
print(server.server_address[1])
server.serve_forever()
)";

class PageSentryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MakeDirs(site_.path());
    server_ = std::make_unique<testkit::PythonServer>(kPageServer,
                                                      std::vector<std::string>{site_.path()});
    if (!server_->ok()) GTEST_SKIP() << "python3 web server not available";
  }

  void SetStatus(const std::string& page, int status) {
    testsupport::WriteFile(site_ / (page + ".status"), std::to_string(status));
  }
  std::vector<std::string> Hits() {
    std::vector<std::string> out;
    std::string all = testsupport::ReadFile(site_ / "hits");
    size_t start = 0;
    for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
      out.push_back(all.substr(start, end - start));
    }
    return out;
  }
  void AddPage(const std::string& name, const std::string& path) {
    common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
    a.record.type = common::kHttpPage;
    a.record.isHttpPage = 1;
    common::SetField(a.record.pagePath, path);
    a.record.httpPort = static_cast<uint32_t>(server_->port());
    a.record.httpTimeout = 5;
    a.record.mailToGlobal = 1;
    a.record.onlineToAccount = 1;
    a.netSendAddresses = "PC7";
    a.downOnline = "%S %C: %E";
    a.upOnline = "%S %C up";
    testkit::AddAccount(pd_, a, StatusFolder::kHttpPage);
  }
  // Page files ("VNK...") left in the program's temp folder.
  std::vector<std::string> PageFiles() {
    std::vector<std::string> out;
    for (const std::string& name : platform::ListFiles(pd_ / "temp")) {
      if (name.rfind("VNK", 0) == 0) out.push_back(name);
    }
    return out;
  }
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::string log = pd_.TodayLog();
    size_t start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(log.substr(start, end - start));
    }
    return lines;
  }

  ProgramDir pd_;
  testsupport::TempDir site_;
  std::unique_ptr<testkit::PythonServer> server_;
};

TEST_F(PageSentryTest, NotFoundTwiceIsDownAtTheSecondRunThenUp) {
  testkit::SetLogging(pd_, common::kGroupHttp, true, true);
  AddPage("shop", "/missing");
  const std::string detail = "\"404 Not Found\" Domain/IP: \"127.0.0.1\" Page: \"/missing\"";

  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  // One run asks twice, 500 ms apart.
  EXPECT_EQ(Hits(), (std::vector<std::string>{"/missing", "/missing"}));
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "shop");
  EXPECT_EQ(s.failCount, 1);
  EXPECT_EQ(s.errorDetected[0], '\0');
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 6), "-0404 ");
  EXPECT_EQ(lines[0].substr(92), " HTTP Web Failed Error: " + detail);
  std::vector<std::string> firstPages = PageFiles();
  ASSERT_EQ(firstPages.size(), 1u);  // the failed page is kept, its retry text is not
  EXPECT_FALSE(platform::PathExists(pd_ / ("temp/" + firstPages[0] + ".err")));
  EXPECT_EQ(pd_.Read("temp/httpscan.err"), pd_ / ("AllData/" + common::HexKey("shop")) + "," +
                                               pd_ / ("HTTPPageData/" + common::HexKey("shop")) +
                                               "," + common::HexKey("shop") + "\r\n");

  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "shop");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(std::strlen(s.errorDetected), 14u);
  std::vector<std::string> pages = PageFiles();
  ASSERT_EQ(pages.size(), 1u);  // only the newest failed page stays
  EXPECT_NE(pages[0], firstPages[0]);
  std::vector<ProgramDir::Call> lan = pd_.WaitForCalls("LanBellCmd", 1);
  ASSERT_EQ(lan.size(), 1u);
  EXPECT_EQ(lan[0].file,
            "PC7\r\nKT.Varnock2\r\nshop HTTP: HTTP Web Failed Error:  " + detail + "\r\n");
  std::string state = pd_.Read("httpPara.dat");
  ASSERT_EQ(state.size(), 20u);
  EXPECT_EQ(state[16], 1);
  EXPECT_EQ(state[0], 0);

  SetStatus("missing", 200);
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "shop");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.errorDetected[0], '\0');
  lines = LogLines();
  // No mail server is set up: each alert's mail leaves a line saying it was not sent.
  std::vector<std::string> notSent;
  std::erase_if(lines, [&](const std::string& l) {
    if (l.rfind("10013 ", 0) != 0) return false;
    notSent.push_back(l);
    return true;
  });
  ASSERT_EQ(notSent.size(), 2u);
  EXPECT_EQ(notSent[0].substr(27, 31), "[Down Mail Not Sent: HTTP Page]");
  EXPECT_EQ(notSent[1].substr(92), " no mail server is set up: shop");
  // Account line, then the Up alert's record.
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3].substr(0, 6), "00200 ");
  EXPECT_EQ(lines[3].substr(92), " HTTP Web OK Domain/IP: 127.0.0.1");
  EXPECT_EQ(lines[4].substr(92), " PC7");
  EXPECT_EQ(lines[4].substr(27, 30), "[Up Message Send: HTTP Page]  ");
  EXPECT_EQ(PageFiles().size(), 1u);  // the success's page file is gone
  lan = pd_.WaitForCalls("LanBellCmd", 2);
  ASSERT_EQ(lan.size(), 2u);
  EXPECT_EQ(pd_.Read("httpPara.dat").substr(16, 4), std::string(4, '\0'));
  // No mail server is configured: no mail at all, no mail record.
  EXPECT_TRUE(pd_.Calls("VarnPost").empty());
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("10012 ", 0) == 0; }),
            2);
}

TEST_F(PageSentryTest, ServerErrorCountsAsUpButIsLoggedNegated) {
  testkit::SetLogging(pd_, common::kGroupHttp, true, false);  // failures only
  SetStatus("broken", 500);
  AddPage("api", "/broken");
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  EXPECT_EQ(Hits().size(), 1u);  // a success is not asked again
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "api");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(std::strlen(s.lastCheck), 14u);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 6), "-0500 ");
  EXPECT_EQ(lines[0].substr(92), " HTTP Web OK");
  EXPECT_TRUE(PageFiles().empty());
  EXPECT_FALSE(platform::PathExists(pd_ / "temp/httpscan.err"));
}

// A page address with line ends would inject headers and a second request: it is never
// sent, and the check fails with the send code, logged as such.
TEST_F(PageSentryTest, AddressWithLineEndsIsNeverSent) {
  testkit::SetLogging(pd_, common::kGroupHttp, true, false);
  AddPage("inject", "/ok/x HTTP/1.1\r\nX-Injected: yes\r\nHost: evil\r\n\r\nGET /second");
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  EXPECT_TRUE(Hits().empty());
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "inject").failCount, 1);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 6), "-0904 ");
  EXPECT_EQ(lines[0].substr(92), " HTTP Web Failed Error: SEND_DATA Domain/IP: 127.0.0.1");
}

TEST_F(PageSentryTest, EmptyPathAsksForTheRoot) {
  SetStatus("index", 200);
  AddPage("home", "");
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  EXPECT_EQ(Hits(), (std::vector<std::string>{"/"}));
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "home").failCount, 0);
  EXPECT_EQ(LogLines().size(), 0u);  // logging is off
}

// The standard library's static file server: serves the files of a folder, 404 for the rest.
constexpr const char* kFileServer = R"(
import http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=sys.argv[1], **kwargs)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
print(server.server_address[1])
server.serve_forever()
)";

class PageLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MakeDirs(site_.path());
    testsupport::WriteFile(site_ / "index.html",
                           "<html><body>\n"
                           "<a href=\"/good.html\">good</a>\n"
                           "<A HREF=\"missing.html\">broken</A>\n"
                           "<a href=\"http://127.0.0.1/other.html\">absolute</a>\n"
                           "<a href=\"mailto:ops@example.com\">mail</a>\n"
                           "<a href=\"#top\">top</a>\n"
                           "<a href=\"javascript:go()\">script</a>\n"
                           "</body></html>\n");
    testsupport::WriteFile(site_ / "good.html", "<html>good</html>");
    testsupport::WriteFile(site_ / "other.html", "<html>other</html>");
    server_ = std::make_unique<testkit::PythonServer>(kFileServer,
                                                      std::vector<std::string>{site_.path()});
    if (!server_->ok()) GTEST_SKIP() << "python3 web server not available";

    common::AccountFile a = testkit::ServerAccount("links", "127.0.0.1");
    a.record.type = common::kHttpPage;
    a.record.isHttpPage = 1;
    a.record.checkLinks = 1;
    common::SetField(a.record.pagePath, "/index.html");
    a.record.httpPort = static_cast<uint32_t>(server_->port());
    a.record.httpTimeout = 5;
    a.record.onlineToAccount = 1;
    a.netSendAddresses = "PC7";
    a.downOnline = "%S %C: %E";
    a.upOnline = "%S %C up";
    testkit::AddAccount(pd_, a, StatusFolder::kHttpPage);
  }

  // The plain log's lines from `from` on, as "code|name|text" (the name field's padding
  // checked and cut).
  std::vector<std::string> LogTexts(size_t from = 0) {
    std::vector<std::string> out;
    std::string log = pd_.TodayLog();
    size_t start = 0;
    for (size_t end, i = 0; (end = log.find("\r\n", start)) != std::string::npos;
         start = end + 2, ++i) {
      std::string line = log.substr(start, end - start);
      if (i < from) continue;
      EXPECT_EQ(line.size() >= 93 ? line[92] : '?', ' ');
      std::string name = line.substr(27, 65);
      EXPECT_EQ(name.size(), 65u);
      name.erase(name.find_last_not_of(' ') + 1);
      out.push_back(line.substr(0, 5) + "|" + name + "|" + line.substr(93));
    }
    return out;
  }

  ProgramDir pd_;
  testsupport::TempDir site_;
  std::unique_ptr<testkit::PythonServer> server_;
};

TEST_F(PageLinksTest, EveryLinkIsLoggedAndABrokenOneTakesTheAccountDown) {
  const std::string broken =
      "00404|links|HTTP Web LinkFailed Error: \"404 File not found\" Domain/IP: \"127.0.0.1\" "
      "Page: "
      "\"/missing.html\"";
  testkit::SetLogging(pd_, common::kGroupHttp, true, true);
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  // The page, then each fetched link in page order; no account line of the agent's own.
  auto ok = [](const std::string& path) {
    return "00200|links|HTTP Web Link OK \"200 OK\" Domain/IP: \"127.0.0.1\" Page: \"" + path +
           "\"";
  };
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{ok("/index.html"), ok("/good.html"), broken,
                                                  ok("/other.html")}));
  common::CheckStatus s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "links");
  EXPECT_EQ(s.failCount, 1);  // one failed run counts once
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.checking, 0);
  EXPECT_EQ(std::strlen(s.lastFailure), 14u);
  EXPECT_EQ(pd_.Read("temp/httpscan.err"), pd_ / ("AllData/" + common::HexKey("links")) + "," +
                                               pd_ / ("HTTPPageData/" + common::HexKey("links")) +
                                               "," + common::HexKey("links") + "\r\n");
  EXPECT_TRUE(pd_.Calls("LanBellCmd").empty());

  // Failures only: the passing page and links write nothing; the second failed run raises
  // the Down alert.
  testkit::SetLogging(pd_, common::kGroupHttp, true, false);
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  std::vector<std::string> second = LogTexts(4);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], broken);
  EXPECT_EQ(second[1], "10012|[Down Message Sent: HTTP Page]|PC7");
  s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "links");
  EXPECT_EQ(s.failCount, 2);
  EXPECT_EQ(std::strlen(s.errorDetected), 14u);
  std::vector<ProgramDir::Call> lan = pd_.WaitForCalls("LanBellCmd", 1);
  ASSERT_EQ(lan.size(), 1u);
  EXPECT_EQ(lan[0].file,
            "PC7\r\nKT.Varnock2\r\nlinks HTTP: HTTP Web LinkFailed Error:  some url "
            "links in page were failed (refer log file)\r\n");
  std::string state = pd_.Read("httpPara.dat");
  ASSERT_EQ(state.size(), 20u);
  EXPECT_EQ(state[0], 0);
  EXPECT_EQ(state[16], 1);

  // Mended: a third failure raises nothing more; then the link is fixed and the account is Up.
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "links").failCount, 3);
  testsupport::WriteFile(site_ / "missing.html", "<html>back</html>");
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  s = testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "links");
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.lastFailure[0], '\0');
  EXPECT_GE(s.downSeconds, 0u);
  lan = pd_.WaitForCalls("LanBellCmd", 2);
  ASSERT_EQ(lan.size(), 2u);
  EXPECT_FALSE(platform::PathExists(pd_ / "temp/httpscan.err"));
  EXPECT_EQ(pd_.Read("httpPara.dat").substr(16, 4), std::string(4, '\0'));
}

// A server that misbehaves on purpose: "hostile" answers with a status line full of
// terminal control bytes, "trickle" sends a long body one byte every 500 ms.
constexpr const char* kRawServer = R"(
import socketserver, sys, time
mode = sys.argv[1]
class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        data = b''
        while b'\r\n\r\n' not in data:
            more = self.request.recv(4096)
            if not more:
                return
            data += more
        if mode == 'hostile':
            self.request.sendall(b'HTTP/1.1 404 \x1b[2J\x1b]0;pwned\x07\r\nContent-Length: 0\r\n\r\n')
            return
        self.request.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n')
        try:
            for _ in range(600):
                time.sleep(0.5)
                self.request.sendall(b'x')
        except OSError:
            pass
class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
server = Server(('127.0.0.1', 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)";

common::AccountFile PageAccount(const std::string& name, int port, int timeoutSeconds) {
  common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
  a.record.type = common::kHttpPage;
  a.record.isHttpPage = 1;
  common::SetField(a.record.pagePath, "/x");
  a.record.httpPort = static_cast<uint32_t>(port);
  a.record.httpTimeout = static_cast<uint32_t>(timeoutSeconds);
  return a;
}

// Whatever a server sends reaches both daily logs (and so the activity pane) with its
// control bytes escaped.
TEST(PageSentryHostile, ServerControlBytesAreEscapedInTheLogs) {
  testkit::PythonServer server(kRawServer, {"hostile"});
  if (!server.ok()) GTEST_SKIP() << "python3 not available";
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupHttp, true, true);
  testkit::AddAccount(pd, PageAccount("evil", server.port(), 5), StatusFolder::kHttpPage);
  ASSERT_EQ(pd.RunAgent("PageSentry"), 0);
  for (bool display : {false, true}) {
    SCOPED_TRACE(display);
    std::string log = pd.TodayLog(display);
    EXPECT_NE(log.find(" HTTP Web Failed Error: \"404 ^[[2J^[]0;pwned^G\" Domain/IP: "
                       "\"127.0.0.1\" Page: \"/x\"\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find_first_of(std::string("\x1b\x07", 2)), std::string::npos);
  }
}

// A body trickled one byte every 500 ms answers every 1 s wait in time. The fetch ends at
// its overall deadline (10 s, twice: the failed page is asked again), and the next account
// of the run is still checked.
TEST(PageSentryHostile, TricklingServerCostsOneAccountItsDeadline) {
  testkit::PythonServer slow(kRawServer, {"trickle"});
  testsupport::TempDir site;
  testsupport::WriteFile(site / "x", "<html>fine</html>");
  testkit::PythonServer fine(kFileServer, {site.path()});
  if (!slow.ok() || !fine.ok()) GTEST_SKIP() << "python3 not available";
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupHttp, true, false);
  testkit::AddAccount(pd, PageAccount("slow", slow.port(), 1), StatusFolder::kHttpPage);
  testkit::AddAccount(pd, PageAccount("fine", fine.port(), 1), StatusFolder::kHttpPage);
  int64_t start = platform::MonotonicMs();
  ASSERT_EQ(pd.RunAgent("PageSentry"), 0);
  int64_t took = platform::MonotonicMs() - start;
  EXPECT_GE(took, 19000);
  EXPECT_LT(took, 60000);
  common::CheckStatus s = testkit::ReadStatus(pd, StatusFolder::kHttpPage, "slow");
  EXPECT_EQ(s.failCount, 1);
  common::CheckStatus f = testkit::ReadStatus(pd, StatusFolder::kHttpPage, "fine");
  EXPECT_EQ(f.failCount, 0);
  EXPECT_EQ(std::strlen(f.lastCheck), 14u) << "the next account was checked";
  std::string log = pd.TodayLog();
  EXPECT_EQ(log.substr(0, 6), "-0906 ") << log;
}

}  // namespace
