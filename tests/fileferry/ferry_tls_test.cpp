// How libcurl's TLS results read, and the certificate end dates it lists.
#include "fileferry/ferry_tls.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "fileferry/ferry_target.h"

namespace {

using fileferry::TlsFailure;

TEST(ClassifyTls, EachResultHasItsFailure) {
  const struct {
    int code;
    long verify;
    TlsFailure failure;
  } cases[] = {
      {CURLE_USE_SSL_FAILED, 0, TlsFailure::kRefused},
      {CURLE_SSL_CONNECT_ERROR, 0, TlsFailure::kHandshake},
      {CURLE_PEER_FAILED_VERIFICATION, 10, TlsFailure::kExpired},
      {CURLE_PEER_FAILED_VERIFICATION, 1, TlsFailure::kHostMismatch},
      {CURLE_PEER_FAILED_VERIFICATION, 62, TlsFailure::kHostMismatch},
      {CURLE_PEER_FAILED_VERIFICATION, 18, TlsFailure::kUntrusted},  // self-signed
      {CURLE_PEER_FAILED_VERIFICATION, 20, TlsFailure::kUntrusted},  // no local issuer
      {CURLE_SSL_CACERT_BADFILE, 0, TlsFailure::kUntrusted},
      {CURLE_LOGIN_DENIED, 0, TlsFailure::kNone},
      {CURLE_OPERATION_TIMEDOUT, 0, TlsFailure::kNone},
      {CURLE_OK, 0, TlsFailure::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fileferry::ClassifyTls(c.code, c.verify), c.failure) << c.code << "/" << c.verify;
  }
}

TEST(ParseCertTime, ReadsTheListedFormOnly) {
  const std::optional<int64_t> end = fileferry::ParseCertTime("Dec 15 07:19:53 2026 GMT");
  ASSERT_TRUE(end.has_value());
  const std::optional<int64_t> dayLater = fileferry::ParseCertTime("Dec 16 07:19:53 2026 GMT");
  ASSERT_TRUE(dayLater.has_value());
  EXPECT_EQ(*dayLater - *end, 86400);
  EXPECT_EQ(*fileferry::ParseCertTime("Jan  1 00:00:00 1970 GMT"), 0);
  for (const char* bad : {"", "Dez 15 07:19:53 2026 GMT", "Dec 15 07:19:53 2026 CET",
                          "Dec 32 07:19:53 2026 GMT", "Dec 15 25:19:53 2026 GMT", "2026-12-15"}) {
    EXPECT_FALSE(fileferry::ParseCertTime(bad).has_value()) << bad;
  }
}

TEST(DaysLeft, RoundsDownAndCountsPastDaysAsNegative) {
  const int64_t now = 1000000000;
  EXPECT_EQ(fileferry::DaysLeft(now, now + 5 * 86400), 5);
  EXPECT_EQ(fileferry::DaysLeft(now, now + 5 * 86400 - 1), 4);
  EXPECT_EQ(fileferry::DaysLeft(now, now), 0);
  EXPECT_EQ(fileferry::DaysLeft(now, now - 1), -1);
  EXPECT_EQ(fileferry::ExpiresSoonText(86400, 1),
            "the certificate expires on 1970-01-02 00:00:00 GMT (1 day left)");
}

TEST(ParseServer, ImplicitTlsTakesPort990OnlyWhenNoneIsNamed) {
  EXPECT_FALSE(fileferry::ParseServer("host")->portGiven);
  EXPECT_TRUE(fileferry::ParseServer("host:21")->portGiven);
  EXPECT_TRUE(fileferry::ParseServer("[::1]:2121")->portGiven);
  EXPECT_FALSE(fileferry::ParseServer("::1")->portGiven);
  EXPECT_EQ(fileferry::ServerAddress({"::1", 990}, true), "ftps://[::1]:990/");
}

}  // namespace
