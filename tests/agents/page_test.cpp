// PageSentry against a web server on loopback whose answers the test sets per page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/account_key.h"
#include "common/file_ops.h"
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

TEST_F(PageSentryTest, EmptyPathAsksForTheRoot) {
  SetStatus("index", 200);
  AddPage("home", "");
  ASSERT_EQ(pd_.RunAgent("PageSentry"), 0);
  EXPECT_EQ(Hits(), (std::vector<std::string>{"/"}));
  EXPECT_EQ(testkit::ReadStatus(pd_, StatusFolder::kHttpPage, "home").failCount, 0);
  EXPECT_EQ(LogLines().size(), 0u);  // logging is off
}

}  // namespace
