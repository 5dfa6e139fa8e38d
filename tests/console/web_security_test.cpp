#include "console/web_security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"

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
  EXPECT_TRUE(OriginAllowed("https://127.0.0.2:1", "127.0.0.2:1", true));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.2:1", "127.0.0.2:1", true));
  EXPECT_TRUE(FetchSiteAllowed(""));
  EXPECT_TRUE(FetchSiteAllowed("same-origin"));
  EXPECT_FALSE(FetchSiteAllowed("cross-site"));
  EXPECT_FALSE(FetchSiteAllowed("same-site"));
}

TEST(WebSecurity, OnlyLoopbackAddressesCountAsLoopback) {
  for (const char* yes : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1"}) {
    EXPECT_TRUE(IsLoopbackAddress(yes)) << yes;
  }
  for (const char* no : {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "localhost", "",
                         "::ffff:127.0.0.1", "127.0.0.1 ", "fe80::1"}) {
    EXPECT_FALSE(IsLoopbackAddress(no)) << no;
  }
}

TEST(WebSecurity, PageJsonIsBoundedInDepth) {
  const auto nested = [](int depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_FALSE(ParsePageJson(nested(kJsonDepthLimit, '[', ']')).is_discarded());
  EXPECT_TRUE(ParsePageJson(nested(kJsonDepthLimit + 1, '[', ']')).is_discarded());
  // A million levels, closed or not, are refused without parsing them.
  EXPECT_TRUE(ParsePageJson(std::string(1000000, '[')).is_discarded());
  EXPECT_TRUE(ParsePageJson(nested(1000000, '[', ']')).is_discarded());
  std::string objects;
  for (int i = 0; i <= kJsonDepthLimit; ++i) objects += "{\"a\":";
  objects += "1" + std::string(kJsonDepthLimit + 1, '}');
  EXPECT_TRUE(ParsePageJson(objects).is_discarded());
  // Brackets inside strings, escaped quotes included, are text, not nesting.
  const std::string text = "{\"action\":\"x\",\"s\":\"\\\"" + std::string(100, '[') + "\"}";
  const nlohmann::json parsed = ParsePageJson(text);
  ASSERT_FALSE(parsed.is_discarded());
  EXPECT_EQ(parsed["s"].get<std::string>().size(), 101u);
  EXPECT_TRUE(ParsePageJson("{\"action\":").is_discarded());
  EXPECT_TRUE(ParsePageJson("").is_discarded());
}

// The kept token survives a restart only when its file is sound and private: anything that
// may have been read or planted by someone else gives a new token, stored 0600.
TEST(WebSecurity, KeptTokenIsReusedOnlyFromAPrivateSoundFile) {
  const std::string good = "0123456789abcdef0123456789abcdef";
  struct Case {
    const char* what;
    std::string content;  // empty: no file
    mode_t mode;
    bool symlink;
    bool renew;
    bool reused;
  } cases[] = {
      {"no file yet", "", 0600, false, false, false},
      {"sound file", good + "\n", 0600, false, false, true},
      {"sound file without a line end", good, 0600, false, false, true},
      {"--new-token", good + "\n", 0600, false, true, false},
      {"readable by others", good + "\n", 0644, false, false, false},
      {"upper-case digits", "0123456789ABCDEF0123456789ABCDEF\n", 0600, false, false, false},
      {"too short", good.substr(1) + "\n", 0600, false, false, false},
      {"two tokens", good + good + "\n", 0600, false, false, false},
      {"a symbolic link to a token", good + "\n", 0600, true, false, false},
  };
  for (const Case& c : cases) {
    testsupport::TempDir dir;
    const std::string path = dir / "console.token";
    if (!c.content.empty()) {
      const std::string target = c.symlink ? dir / "elsewhere" : path;
      testsupport::WriteFile(target, c.content);
      ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
      if (c.symlink) {
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
      }
    }
    bool kept = false;
    const std::string token = KeptAccessToken(path, c.renew, &kept);
    EXPECT_TRUE(kept) << c.what;
    EXPECT_EQ(token == good, c.reused) << c.what;
    EXPECT_EQ(token.size(), 32u) << c.what;
    // A reused file stays as it was; a new token is stored for the next start.
    EXPECT_EQ(testsupport::ReadFile(path), c.reused ? c.content : token + "\n") << c.what;
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << c.what;
    bool again = false;
    EXPECT_EQ(KeptAccessToken(path, false, &again), token) << c.what;
    // The file a link pointed at is left alone.
    if (c.symlink) {
      EXPECT_EQ(testsupport::ReadFile(dir / "elsewhere"), c.content) << c.what;
    }
  }
  // A folder that cannot hold the file still gives a token, and says it was not kept.
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "Setting", "a file, not a folder");
  bool kept = true;
  EXPECT_EQ(KeptAccessToken(dir / "Setting/console.token", false, &kept).size(), 32u);
  EXPECT_FALSE(kept);
}

}  // namespace
}  // namespace console
