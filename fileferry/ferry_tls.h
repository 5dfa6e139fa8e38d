// FTPS: how a secure call's failures read, and the certificate's end date as libcurl's
// certificate information gives it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fileferry {

enum class Security {
  kNone,      // plain FTP, as the described calls speak it
  kExplicit,  // AUTH TLS on the plain port; the sign-in and every data connection protected
  kImplicit,  // TLS from the first byte (port 990 unless the server text names one)
};

constexpr int kDefaultFtpsPort = 990;

// The TLS failure a libcurl result stands for, if it stands for one.
enum class TlsFailure { kNone, kHandshake, kUntrusted, kExpired, kHostMismatch, kRefused };

// `curlCode` a CURLcode; `verifyResult` CURLINFO_SSL_VERIFYRESULT (the chain check's
// error number, 0 when the chain passed: a verification failure then is the host name).
TlsFailure ClassifyTls(int curlCode, long verifyResult);

// The seconds since 1970 of a certificate time as libcurl lists it ("Dec 15 07:19:53 2026
// GMT"), or nothing.
std::optional<int64_t> ParseCertTime(const std::string& text);

// The days left before `endUnix` at `nowUnix`, rounded down (negative when past).
int64_t DaysLeft(int64_t nowUnix, int64_t endUnix);

// "the certificate expires on 2026-12-15 07:19:53 GMT (5 days left)".
std::string ExpiresSoonText(int64_t endUnix, int64_t daysLeft);

}  // namespace fileferry
