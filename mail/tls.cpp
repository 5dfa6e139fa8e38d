#include "mail/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace mail {
namespace {

constexpr size_t kMaxHostName = 253;

// A socket BIO that sends with MSG_NOSIGNAL: a peer that resets the connection while a
// record goes out must not end the process with SIGPIPE.
int SocketOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool Transient(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = send(SocketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && Transient(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = recv(SocketOf(bio), buffer, static_cast<size_t>(size), 0);
  if (n < 0 && Transient(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mail socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  return method;
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string LastError(const char* fallback) {
  const unsigned long e = ERR_peek_last_error();
  if (e == 0) return fallback;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

}  // namespace

uint16_t SmtpPortFor(const SmtpOptions& options, uint16_t plainPort) {
  if (options.port != 0) return options.port;
  return options.secure && options.implicit ? kImplicitSmtpPort : plainPort;
}

const char* TlsFailureText(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::kNone:
      return "";
    case TlsFailure::kHandshake:
      return "TLS handshake failed";
    case TlsFailure::kUntrusted:
      return "certificate not trusted";
    case TlsFailure::kExpired:
      return "certificate expired or not yet valid";
    case TlsFailure::kHostMismatch:
      return "certificate host name mismatch";
    case TlsFailure::kRefused:
      return "server refused STARTTLS";
    case TlsFailure::kCaFile:
      return "TLS CA file could not be read";
    case TlsFailure::kSetup:
      return "TLS could not be set up";
    case TlsFailure::kExpiresSoon:
      return "certificate expires within the warning days";
  }
  return "TLS failed";
}

TlsSession::~TlsSession() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees the BIO too
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

void TlsSession::Fail(TlsFailure failure, const std::string& detail) {
  failure_ = failure;
  detail_ = detail;
  broken_ = true;
}

TlsFailure TlsSession::Begin(int fd, const std::string& host, const TlsOptions& options) {
  ERR_clear_error();
  certDays_ = options.certDays;
  if (host.empty() || host.size() > kMaxHostName || SocketMethod() == nullptr) {
    Fail(TlsFailure::kSetup, "no host name to check");
    return failure_;
  }
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) {
    Fail(TlsFailure::kSetup, LastError("no TLS context"));
    return failure_;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (options.verify) {
    SSL_CTX_set_default_verify_paths(ctx_);
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(ctx_, options.caFile.c_str(), nullptr) != 1) {
      Fail(TlsFailure::kCaFile, options.caFile + ": " + LastError("unreadable"));
      return failure_;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  BIO* bio = ssl_ != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    Fail(TlsFailure::kSetup, LastError("no TLS session"));
    return failure_;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_connect_state(ssl_);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const bool address = IsAddress(host);
  // Servers choose their certificate by the name; an address is never sent as one.
  if (!address && SSL_set_tlsext_host_name(ssl_, host.c_str()) != 1) {
    Fail(TlsFailure::kSetup, LastError("server name not accepted"));
    return failure_;
  }
  if (options.verify) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int ok = address ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                           : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    if (ok != 1) {
      Fail(TlsFailure::kSetup, "host name cannot be checked: " + host);
      return failure_;
    }
  }
  return TlsFailure::kNone;
}

TlsSession::Step TlsSession::Handshake() {
  if (ssl_ == nullptr || broken_) return kFailed;
  if (established_) return kDone;
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_connect(ssl_);
  if (rc == 1) {
    if (!EndsLate()) return kFailed;
    established_ = true;
    return kDone;
  }
  const int error = SSL_get_error(ssl_, rc);
  if (error == SSL_ERROR_WANT_READ) return kWantRead;
  if (error == SSL_ERROR_WANT_WRITE) return kWantWrite;
  const long verdict = SSL_get_verify_result(ssl_);
  if (verdict != X509_V_OK) {
    const std::string why = X509_verify_cert_error_string(verdict);
    switch (verdict) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        Fail(TlsFailure::kExpired, why);
        break;
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        Fail(TlsFailure::kHostMismatch, why);
        break;
      default:
        Fail(TlsFailure::kUntrusted, why);
        break;
    }
    return kFailed;
  }
  const int sysError = errno;
  Fail(TlsFailure::kHandshake,
       error == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0
           ? (sysError != 0 ? std::string("socket error ") + std::to_string(sysError)
                            : std::string("connection closed during the handshake"))
           : LastError("handshake refused"));
  return kFailed;
}

bool TlsSession::EndsLate() {
  if (certDays_ <= 0) return true;
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (cert == nullptr) return true;
  std::tm end{};
  const bool known = ASN1_TIME_to_tm(X509_get0_notAfter(cert), &end) == 1;
  X509_free(cert);
  if (!known) return true;
  // Whole days left, a day begun counted as gone; an ended certificate has negative days.
  const int64_t seconds = static_cast<int64_t>(::timegm(&end)) - std::time(nullptr);
  const int64_t left = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  if (left >= certDays_) return true;
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S GMT", &end);
  if (left < 0) {
    // Only without verification, which refuses an ended certificate itself.
    Fail(TlsFailure::kExpired, std::string("the certificate ended on ") + date);
  } else {
    Fail(TlsFailure::kExpiresSoon, std::string("the certificate expires on ") + date + " (" +
                                       std::to_string(left) + (left == 1 ? " day" : " days") +
                                       " left)");
  }
  return false;
}

long TlsSession::Read(char* buffer, size_t size, bool* wantWrite) {
  *wantWrite = false;
  if (!established_ || broken_) return -2;
  ERR_clear_error();
  const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (n > 0) return n;
  const int error = SSL_get_error(ssl_, n);
  if (error == SSL_ERROR_WANT_READ) return -1;
  if (error == SSL_ERROR_WANT_WRITE) {
    *wantWrite = true;
    return -1;
  }
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  broken_ = true;
  // A peer that closes the connection without its closing alert (many do after QUIT) has
  // closed it all the same.
  if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return errno == 0 ? 0 : -2;
  if (error == SSL_ERROR_SSL &&
      ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
    return 0;
  return -2;
}

long TlsSession::Write(const char* data, size_t size, bool* wantRead) {
  *wantRead = false;
  if (!established_ || broken_) return -2;
  ERR_clear_error();
  const int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (n > 0) return n;
  const int error = SSL_get_error(ssl_, n);
  if (error == SSL_ERROR_WANT_WRITE) return -1;
  if (error == SSL_ERROR_WANT_READ) {
    *wantRead = true;
    return -1;
  }
  broken_ = true;
  return -2;
}

bool TlsSession::Pending() const {
  return ssl_ != nullptr && established_ && !broken_ && SSL_pending(ssl_) > 0;
}

void TlsSession::Shutdown() {
  if (ssl_ == nullptr || !established_ || broken_) return;
  broken_ = true;  // once
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace mail
