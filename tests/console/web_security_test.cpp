#include "console/web_security.h"

#include <gtest/gtest.h>

namespace console {
namespace {

TEST(WebSecurity, HostMustNameTheListeningAddress) {
  struct Case {
    const char* host;
    bool allowed;
  } cases[] = {
      {"127.0.0.1:8650", true},
      {"localhost:8650", true},
      {"[::1]:8650", true},
      {"127.0.0.1:8651", false},
      {"evil.example:8650", false},
      {"127.0.0.1", false},
      {"", false},
      {"localhost.evil:8650", false},
      {"LOCALHOST:8650", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HostAllowed(c.host, "127.0.0.1", 8650), c.allowed) << c.host;
  EXPECT_TRUE(HostAllowed("192.0.2.1:80", "192.0.2.1", 80));
  EXPECT_FALSE(HostAllowed("localhost:80", "192.0.2.1", 80));
}

TEST(WebSecurity, TokensCookiesOriginsAndFetchSites) {
  std::string a = NewAccessToken(), b = NewAccessToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(SameToken(a, a));
  EXPECT_FALSE(SameToken(a, b));
  EXPECT_FALSE(SameToken("", ""));
  EXPECT_FALSE(SameToken(a, a.substr(1)));
  EXPECT_EQ(CookieValue("x=1; varn_token=abc; y=2", "varn_token"), "abc");
  EXPECT_EQ(CookieValue("xvarn_token=abc", "varn_token"), "");
  EXPECT_EQ(CookieValue("", "varn_token"), "");
  EXPECT_TRUE(OriginAllowed("", "127.0.0.1:1"));
  EXPECT_TRUE(OriginAllowed("http://127.0.0.1:1", "127.0.0.1:1"));
  EXPECT_FALSE(OriginAllowed("http://evil.example", "127.0.0.1:1"));
  EXPECT_FALSE(OriginAllowed("null", "127.0.0.1:1"));
  EXPECT_TRUE(FetchSiteAllowed(""));
  EXPECT_TRUE(FetchSiteAllowed("same-origin"));
  EXPECT_FALSE(FetchSiteAllowed("cross-site"));
  EXPECT_FALSE(FetchSiteAllowed("same-site"));
}

}  // namespace
}  // namespace console
