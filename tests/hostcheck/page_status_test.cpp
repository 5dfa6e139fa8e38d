// Judging an answer by its first characters, and the page error file entries.
#include "hostcheck/page_status.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace hostcheck {
namespace {

std::string Entry(const std::string& text) {
  return "\"" + text + "\" Domain/IP: \"www.example.test\" Page: \"/dir/p.htm\"";
}

TEST(PageStatus, StatusAndErrorEntries) {
  struct Case {
    const char* name;
    std::string statusText;
    int32_t result;
    std::string errorFile;  // "" when none is left
  };
  const std::string longLine = "HTTP/1.1 200 " + std::string(400, 'x') + "\r\n";
  const Case cases[] = {
      {"not found", "HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\n", 404, Entry("404 Not Found")},
      {"ok", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, Entry("200 OK")},
      {"error number in a 200 answer",
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>Error 500\r\n", -500,
       Entry("200 OK") + Entry("500")},
      {"error without a number", "HTTP/1.1 200 OK\r\n\r\nError\r\n", 0,
       Entry("200 OK") + Entry("")},
      {"spaces before the number", "HTTP/1.1    301 Moved\r\n", 301, Entry("301 Moved")},
      {"status line without a line end", "HTTP/1.1 503 Busy", 503, ""},
      {"line end beyond 300 characters", longLine, 200, ""},
      {"no space at all", "garbage\r\n", 1, ""},
      {"empty answer", "", 1, ""},
      {"no number after the space", "HTTP/1.1 OK\r\n", 0, Entry("OK")},
      {"twenty digits", "HTTP/1.1 99999999999999999999\r\n", 2147483647, ""},
      {"error beyond the 455 evaluated characters",
       "HTTP/1.1 200 OK\r\n" + std::string(440, 'a') + "Error 500\r\n", 200, Entry("200 OK")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    std::string page = dir / "page.htm";
    // Left by an earlier check, and longer than any entry here: none of it may remain.
    testsupport::WriteFile(PageErrorFilePath(page), std::string(600, 'L'));
    EXPECT_EQ(EvaluatePageStatus(c.statusText, page, "www.example.test", "/dir/p.htm"), c.result);
    EXPECT_EQ(testsupport::ReadFile(PageErrorFilePath(page)), c.errorFile);
    EXPECT_EQ(platform::PathExists(PageErrorFilePath(page)), !c.errorFile.empty());
  }
}

TEST(PageStatus, FailedPages) {
  for (int32_t code : {-1, -906, 404, 405}) EXPECT_TRUE(IsFailedPage(code)) << code;
  for (int32_t code : {0, 1, 200, 301, 403, 500}) EXPECT_FALSE(IsFailedPage(code)) << code;
}

}  // namespace
}  // namespace hostcheck
