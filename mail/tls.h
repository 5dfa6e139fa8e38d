// TLS for the mail engine's connections: the options a dialogue is given, the ways a secure
// connection can fail, and the client session a SocketStream runs over its socket.
#pragma once

#include <cstdint>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace mail {

// How one SMTP dialogue secures its connection. The default is the plain dialogue.
struct TlsOptions {
  bool secure = false;    // TLS at all
  bool implicit = false;  // TLS from the first byte; else STARTTLS after EHLO
  bool verify = true;     // the certificate chain and the host name are checked
  std::string caFile;     // PEM certificates trusted besides the system's store ("": none)
  // A certificate that ends within this many days fails the handshake (0: no such check).
  int32_t certDays = 0;
};

// TlsOptions with the server's port, as a caller that knows the account fills them in.
struct SmtpOptions : TlsOptions {
  uint16_t port = 0;  // 0: the plain port the caller names, 465 for implicit TLS
};

// The port a dialogue with `options` goes to.
uint16_t SmtpPortFor(const SmtpOptions& options, uint16_t plainPort);

constexpr uint16_t kImplicitSmtpPort = 465;

// Why a connection that was to be secure is not.
enum class TlsFailure : int {
  kNone = 0,
  kHandshake = 1,     // the handshake failed (no TLS on the port, garbage, a broken peer)
  kUntrusted = 2,     // the certificate chain does not lead to a trusted authority
  kExpired = 3,       // the certificate has expired or is not valid yet
  kHostMismatch = 4,  // the certificate is not made out to the host that was asked for
  kRefused = 5,       // the server refused STARTTLS (or does not offer it)
  kCaFile = 6,        // the extra CA file could not be read
  kSetup = 7,         // no TLS session could be made
  kExpiresSoon = 8,   // the certificate ends within the warning days (TlsOptions::certDays)
};

// "TLS handshake failed", "certificate not trusted", ...: the words of the mail log.
const char* TlsFailureText(TlsFailure failure);

// One client session over a connected non-blocking socket. The handshake is driven by
// Handshake() whenever the socket is readable or writable; data then go through Read and
// Write. Writes never raise SIGPIPE.
class TlsSession {
 public:
  TlsSession() = default;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;
  ~TlsSession();

  // Prepares the session for `host` (the server name sent and, with verify, checked: a
  // dotted address is checked as an address and sent as no name). kNone or why not.
  TlsFailure Begin(int fd, const std::string& host, const TlsOptions& options);

  enum Step { kDone, kWantRead, kWantWrite, kFailed };
  // Goes on with the handshake. After kFailed, failure() and detail() say why.
  Step Handshake();

  // The count (> 0); 0 when the peer closed; -1 (would block; `wantWrite` says for what);
  // or -2 for a broken session.
  long Read(char* buffer, size_t size, bool* wantWrite);
  long Write(const char* data, size_t size, bool* wantRead);
  // Whether decrypted data wait inside the session (the socket shows nothing for them).
  bool Pending() const;
  // Sends the closing alert once when the session is sound; never waits.
  void Shutdown();

  bool established() const { return established_; }
  TlsFailure failure() const { return failure_; }
  const std::string& detail() const { return detail_; }

 private:
  void Fail(TlsFailure failure, const std::string& detail);
  // After the handshake: false (and failed) when the certificate ends within certDays_.
  bool EndsLate();
  SSL_CTX* ctx_ = nullptr;
  int32_t certDays_ = 0;
  SSL* ssl_ = nullptr;
  bool established_ = false;
  bool broken_ = false;
  TlsFailure failure_ = TlsFailure::kNone;
  std::string detail_;
};

}  // namespace mail
