// Server texts, remote paths and the endings of libcurl's results.
#include "fileferry/ferry_target.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <climits>

#include "fileferry/ferry_call.h"

namespace {

using fileferry::Ending;

TEST(ParseServer, HostsPortsAndAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"ftp.example.com", true, "ftp.example.com", 21},
      {"10.1.2.3:2121", true, "10.1.2.3", 2121},
      {"::1", true, "::1", 21},
      {"[::1]:990", true, "::1", 990},
      {"[fe80::1]", true, "fe80::1", 21},
      {"host:65535", true, "host", 65535},
      {"", false, "", 0},
      {":21", false, "", 0},
      {"host:", false, "", 0},
      {"host:0", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:21x", false, "", 0},
      {"user@host", false, "", 0},
      {"host/path", false, "", 0},
      {"host name", false, "", 0},
      {"[::1", false, "", 0},
      {"[::1]x", false, "", 0},
      {"[host]:21", false, "", 0},
      {"a:b:c", false, "", 0},
  };
  for (const Case& c : cases) {
    auto e = fileferry::ParseServer(c.text);
    ASSERT_EQ(e.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(e->host, c.host) << c.text;
    EXPECT_EQ(e->port, c.port) << c.text;
  }
  EXPECT_EQ(fileferry::ServerAddress({"::1", 21}), "ftp://[::1]:21/");
  EXPECT_EQ(fileferry::ServerAddress({"10.0.0.1", 2121}), "ftp://10.0.0.1:2121/");
}

TEST(EncodeRemotePath, EveryByteReachesTheServerUnchanged) {
  struct Case {
    std::string path;
    bool ok;
    const char* encoded;
  } cases[] = {
      {"FTP_test.text", true, "FTP_test.text"},
      {"dir/sub/file.txt", true, "dir/sub/file.txt"},
      {"/abs/file", true, "%2Fabs/file"},
      {"a b%c#d?e;f", true, "a%20b%25c%23d%3Fe%3Bf"},
      {"\x83\x65\x83\x58\x83\x67.txt", true, "%83e%83X%83g.txt"},
      {"", false, ""},
      {"dir/", false, ""},
      {"x\r\nDELE y", false, ""},
      {"tab\there", false, ""},
      {std::string("nul\0x", 5), false, ""},
      {"del\x7f", false, ""},
  };
  for (const Case& c : cases) {
    auto e = fileferry::EncodeRemotePath(c.path);
    ASSERT_EQ(e.has_value(), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(*e, c.encoded) << c.path;
    }
  }
}

TEST(Classify, SignInDecidesBetweenConnectionAndOperation) {
  struct Case {
    CURLcode code;
    bool signedIn, localFailure, stalled;
    Ending ending;
  } cases[] = {
      {CURLE_OK, true, false, false, Ending::kDone},
      {CURLE_COULDNT_CONNECT, false, false, false, Ending::kBeforeSignIn},
      {CURLE_LOGIN_DENIED, false, false, false, Ending::kBeforeSignIn},
      {CURLE_OPERATION_TIMEDOUT, false, false, false, Ending::kBeforeSignIn},
      {CURLE_ABORTED_BY_CALLBACK, false, false, true, Ending::kBeforeSignIn},
      // The server's no to the operation itself.
      {CURLE_UPLOAD_FAILED, true, false, false, Ending::kRefused},
      {CURLE_REMOTE_FILE_NOT_FOUND, true, false, false, Ending::kRefused},
      {CURLE_REMOTE_ACCESS_DENIED, true, false, false, Ending::kRefused},
      {CURLE_QUOTE_ERROR, true, false, false, Ending::kRefused},
      {CURLE_REMOTE_DISK_FULL, true, false, false, Ending::kRefused},
      // Local files.
      {CURLE_READ_ERROR, true, true, false, Ending::kRefused},
      {CURLE_WRITE_ERROR, true, true, false, Ending::kRefused},
      // The machinery after the sign-in.
      {CURLE_WRITE_ERROR, true, false, false, Ending::kAfterSignIn},  // the download cap
      {CURLE_OPERATION_TIMEDOUT, true, false, false, Ending::kAfterSignIn},
      {CURLE_ABORTED_BY_CALLBACK, true, false, true, Ending::kAfterSignIn},
      {CURLE_PARTIAL_FILE, true, false, false, Ending::kAfterSignIn},
      {CURLE_RECV_ERROR, true, false, false, Ending::kAfterSignIn},
      {CURLE_FTP_ACCEPT_TIMEOUT, true, false, false, Ending::kAfterSignIn},
      {CURLE_WEIRD_SERVER_REPLY, true, false, false, Ending::kAfterSignIn},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fileferry::Classify(c.code, c.signedIn, c.localFailure, c.stalled), c.ending)
        << curl_easy_strerror(c.code);
  }
}

// Ten time-outs for the whole call, never more than 5 minutes; no time-out means the default.
TEST(OverallDeadline, TenTimeOutsAtMostFiveMinutes) {
  const struct {
    int32_t timeoutMs;
    int64_t deadlineMs;
  } cases[] = {{500, 5000}, {29999, 299990}, {30000, 300000},    {120000, 300000},
               {0, 300000}, {-5, 300000},    {INT32_MAX, 300000}};
  for (const auto& c : cases) {
    EXPECT_EQ(fileferry::OverallDeadlineMs(c.timeoutMs), c.deadlineMs) << c.timeoutMs;
  }
}

}  // namespace
