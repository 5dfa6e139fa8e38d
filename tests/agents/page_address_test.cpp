// How the page agent reads a page account's host and path (a URL or not) together with its
// side file: host, path, port and TLS of the fetch.
#include "agents/page/page_address.h"

#include <gtest/gtest.h>

#include "common/records.h"

namespace pagesentry {
namespace {

TEST(PageAddress, RecordFieldsAndSideFile) {
  struct Case {
    const char* name;
    std::string host, path;
    const char* sideFile;  // the side file's options; nullptr for none
    std::string target;    // "host path port secure"
  };
  const Case cases[] = {
      {"plain page keeps everything", "www.example.test", "/a.htm", nullptr,
       "www.example.test /a.htm 8080 0"},
      {"a colon in a plain host is left alone", "h:81", "/", nullptr, "h:81 / 8080 0"},
      {"https split at the first slash", "https:", "//h.test/dir/p.htm", nullptr,
       "h.test /dir/p.htm 443 1"},
      {"https with a port", "HTTPS:", "//h.test:8443/p", nullptr, "h.test /p 8443 1"},
      {"https without a path", "https:", "//h.test:8443", nullptr, "h.test / 8443 1"},
      {"http with a port", "http:", "//h.test:8081/p", nullptr, "h.test /p 8081 0"},
      {"http without a port keeps the record's", "http:", "//h.test/p", nullptr,
       "h.test /p 8080 0"},
      {"the URL in the host field", "https://h.test:9443", "/q", nullptr, "h.test /q 9443 1"},
      {"a port out of range stays in the host", "https:", "//h.test:70000/p", nullptr,
       "h.test:70000 /p 443 1"},
      {"SECURE=1 on a plain host takes 443", "h.test", "/p", "1 443", "h.test /p 443 1"},
      {"SECURE=1 with its own port", "h.test", "/p", "1 8443", "h.test /p 8443 1"},
      {"a plain side file with a port", "h.test", "/p", "0 8000", "h.test /p 8000 0"},
      {"a plain side file without a port keeps the record's", "h.test", "/p", "0 80",
       "h.test /p 8080 0"},
      {"the URL's port before the side file's", "https:", "//h.test:7443/p", "1 8443",
       "h.test /p 7443 1"},
      {"an https URL on a plain side file", "https:", "//h.test/p", "0 80", "h.test /p 443 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    common::AccountOptionsRead read;
    read.options = common::DefaultAccountOptions(common::kHttpPage);
    if (c.sideFile) {
      read.fileFound = true;
      read.options.secure = c.sideFile[0] == '1';
      read.options.port = std::atoi(c.sideFile + 2);
    }
    PageTarget t = ResolvePageTarget(ParsePageAddress(c.host, c.path), read, 8080);
    EXPECT_EQ(t.host + " " + t.path + " " + std::to_string(t.port) + " " + (t.secure ? "1" : "0"),
              c.target);
  }
}

}  // namespace
}  // namespace pagesentry
