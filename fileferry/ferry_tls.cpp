#include "fileferry/ferry_tls.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fileferry {
namespace {

// OpenSSL's chain check results that libcurl hands on (x509_vfy.h). libcurl checks the host
// name itself once the chain has passed, and a name that does not match leaves the result
// at 1 ("not yet verified"), or 0 when the chain was not checked.
constexpr long kNotYetVerified = 1;
constexpr long kCertHasExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;

}  // namespace

TlsFailure ClassifyTls(int curlCode, long verifyResult) {
  switch (curlCode) {
    case CURLE_USE_SSL_FAILED:
      return TlsFailure::kRefused;
    case CURLE_PEER_FAILED_VERIFICATION:
      if (verifyResult == kCertHasExpired) return TlsFailure::kExpired;
      if (verifyResult == 0 || verifyResult == kNotYetVerified ||
          verifyResult == kHostnameMismatch || verifyResult == kIpAddressMismatch)
        return TlsFailure::kHostMismatch;
      return TlsFailure::kUntrusted;
    case CURLE_SSL_CACERT_BADFILE:
      return TlsFailure::kUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return TlsFailure::kHandshake;
    default:
      return TlsFailure::kNone;
  }
}

std::optional<int64_t> ParseCertTime(const std::string& text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  char zone[4] = {};
  if (std::sscanf(text.c_str(), "%3s %d %d:%d:%d %d %3s", month, &day, &hour, &minute, &second,
                  &year, zone) != 7 ||
      std::strcmp(zone, "GMT") != 0)
    return std::nullopt;
  int m = -1;
  for (int i = 0; i < 12; ++i) {
    if (std::strcmp(month, kMonths[i]) == 0) m = i;
  }
  if (m < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1950 ||
      year > 9999 || hour < 0 || minute < 0 || second < 0)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = m;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<int64_t>(::timegm(&tm));
}

int64_t DaysLeft(int64_t nowUnix, int64_t endUnix) {
  const int64_t seconds = endUnix - nowUnix;
  return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

std::string ExpiresSoonText(int64_t endUnix, int64_t daysLeft) {
  const std::time_t end = static_cast<std::time_t>(endUnix);
  std::tm tm{};
  ::gmtime_r(&end, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S GMT", &tm);
  return std::string("the certificate expires on ") + date + " (" + std::to_string(daysLeft) +
         (daysLeft == 1 ? " day" : " days") + " left)";
}

}  // namespace fileferry
