// One retrieval call: the POP3 dialogue (STLS when asked, USER/PASS, STAT, UIDL when offered, TOP,
// RETR, DELE when asked, QUIT) and its log. The bounds are described in InboxPull.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace inboxpull {

constexpr int32_t kNoConnection = -1;
constexpr int32_t kNoSocket = -5;
constexpr int32_t kRefused = -16;
constexpr int32_t kLoginRefused = -17;
// The secure connection's failures; no user name or password has been sent when they come.
constexpr int32_t kTlsHandshakeFailed = -940;
constexpr int32_t kCertUntrusted = -941;
constexpr int32_t kCertExpired = -942;
constexpr int32_t kCertHostMismatch = -943;
constexpr int32_t kCertExpiresSoon = -944;
constexpr int32_t kTlsRefused = -945;

enum class Security {
  kNone,      // plain POP3, as the described calls speak it
  kStartTls,  // STLS after the greeting, before anything else
  kImplicit,  // TLS from the first byte
};

struct Limits {
  size_t lineBytes = 8 * 1024;
  size_t listingLines = 100000;
  size_t headerBytes = 256 * 1024;
  int64_t messageBytes = 16 << 20;
  int64_t defaultWaitMs = 60000;
  int64_t callMs = 300000;  // the whole call: ten waits, at most this
};

struct Request {
  std::string server;
  std::string user;
  std::string password;
  std::string targetDir;
  std::string extension;
  bool deleteAfter = false;
  int logLevel = 0;
  std::string logFile;
  int port = 110;
  int64_t timeoutMs = 0;
  Security security = Security::kNone;
  bool verify = true;
  std::string caFile;
  int certDays = 0;
  Limits limits;
};

// `tlsReason`, when given, receives the log text of a TLS failure (results -940 to -945).
int32_t Retrieve(const Request& request, std::string* tlsReason = nullptr);

// The text of a log entry: the command as sent ("PASS [xxxxx]" for the password) or the
// server's reply with control bytes written as ^X.
std::string LogCommandText(const std::string& command);
std::string LogReplyText(const std::string& reply);

}  // namespace inboxpull
