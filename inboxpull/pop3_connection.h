// The POP3 client's connection: a TCP socket whose every wait is bounded twice, by the wait
// of one step and by the deadline of the whole call, and a line reader with a length cap.
// The connection can be switched to TLS (right after the connect, or after STLS); from then
// on every byte in either direction goes through it, under the same bounds.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace inboxpull {

enum class ReadStatus {
  kLine,     // a whole line (without its CR LF)
  kTimeout,  // the step's wait or the call's deadline ran out
  kClosed,   // the server closed or broke the connection
  kTooLong,  // a line over the cap
};

enum class ConnectStatus { kConnected, kNoSocket, kFailed };

// How a TLS handshake ended.
enum class TlsStatus {
  kEstablished,
  kHandshakeFailed,  // no TLS session came about (time-out, alert, not TLS at all)
  kUntrusted,        // the chain does not lead to a trusted authority
  kExpired,          // the certificate (or one of its chain) is past its end date
  kHostMismatch,     // the certificate is not for the host name (or address) connected to
  kExpiresSoon,      // valid, but it ends within the warning days
};

struct TlsSettings {
  bool verify = true;  // the chain against the trust store, and the host name
  std::string caFile;  // trusted besides the system's store (PEM); empty: none
  int certDays = 0;    // kExpiresSoon when fewer days are left; 0: not checked
};

struct TlsOutcome {
  TlsStatus status = TlsStatus::kHandshakeFailed;
  // What went wrong, in words (the library's reason, the verification error, or the end
  // date and days left for kExpiresSoon); for kEstablished the protocol and cipher.
  std::string detail;
};

// The days left before `notAfterUnix` at `nowUnix`, rounded down (negative when past).
int64_t DaysLeft(int64_t nowUnix, int64_t notAfterUnix);

class Pop3Connection {
 public:
  // `waitMs` bounds each wait; `deadlineMs` (monotonic) ends every wait of the call.
  Pop3Connection(int64_t waitMs, int64_t deadlineMs, size_t lineCap);
  ~Pop3Connection();
  Pop3Connection(const Pop3Connection&) = delete;
  Pop3Connection& operator=(const Pop3Connection&) = delete;

  // Resolves `host` (name or address, IPv4 or IPv6) and connects to the first address
  // that answers. `error` receives the last error number.
  ConnectStatus Connect(const std::string& host, int port, int* error);

  // Runs a TLS handshake on the connected socket for `host` (SNI, and the name or address
  // the certificate must match when verifying). Bytes already received unencrypted stay
  // unread; callers check hasBufferedInput() first.
  TlsOutcome StartTls(const std::string& host, const TlsSettings& settings);
  bool hasBufferedInput() const { return !buffer_.empty(); }
  bool secure() const { return ssl_ != nullptr; }

  // Sends `text` and CR LF whole, or fails.
  bool SendLine(const std::string& text);

  // The next line; a line ended by LF alone counts too.
  ReadStatus ReadLine(std::string* line);

  void Close();
  int lastError() const { return lastError_; }

 private:
  // Waits until the socket is readable (or writable); false on time-out, setting lastError_.
  bool WaitFor(short events);
  int64_t WaitBudget() const;

  // One read of at most `size` bytes: > 0 bytes read, 0 closed, -1 error, -2 time-out.
  ssize_t Receive(char* data, size_t size);
  TlsOutcome CheckExpiry(const TlsSettings& settings);

  int fd_ = -1;
  ::ssl_ctx_st* ctx_ = nullptr;
  ::ssl_st* ssl_ = nullptr;
  int64_t waitMs_;
  int64_t deadlineMs_;
  size_t lineCap_;
  std::string buffer_;  // received bytes not yet handed out
  int lastError_ = 0;
};

}  // namespace inboxpull
