#include "hostcheck/tls_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <new>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// One client context per trust file, made at its first use and kept while the library is
// loaded: the system's store is read once, not per page (a run checks a thousand accounts).
// Contexts are shared by the threads of the link check; OpenSSL allows that once they are
// set up. They are freed when the program ends or the library is unloaded.
class ContextCache {
 public:
  ~ContextCache() {
    for (auto& entry : contexts_) SSL_CTX_free(entry.second);
  }
  SSL_CTX* For(const std::string& caFile) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = contexts_.find(caFile);
    if (found != contexts_.end()) return found->second;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_default_verify_paths(ctx);
    if (!caFile.empty()) (void)SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    ERR_clear_error();
    // Many servers end the answer by closing without a TLS close alert: that is its end.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The chain is verified in every handshake and judged afterwards, so each failure gets
    // its own code instead of one aborted handshake.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    contexts_.emplace(caFile, ctx);
    return ctx;
  }

 private:
  std::mutex lock_;
  std::map<std::string, SSL_CTX*> contexts_;
};

SSL_CTX* ContextFor(const std::string& caFile) {
  static ContextCache cache;
  return cache.For(caFile);
}

// The socket under TLS, read and written as the plain fetch does: without waiting, and
// never raising SIGPIPE in the calling program when the server has gone.
int FdOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::send(FdOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
  return -1;
}

int SocketRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(FdOf(bio), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(bio);
  return -1;
}

long SocketControl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;
  if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
  return 0;
}

struct SocketMethodHolder {
  BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "check socket");
  SocketMethodHolder() {
    if (method == nullptr) return;
    BIO_meth_set_write(method, SocketWrite);
    BIO_meth_set_read(method, SocketRead);
    BIO_meth_set_ctrl(method, SocketControl);
  }
  ~SocketMethodHolder() {
    if (method) BIO_meth_free(method);
  }
};

BIO_METHOD* SocketMethod() {
  static SocketMethodHolder holder;
  return holder.method;
}

int Bounded(int64_t waitMs, int64_t deadlineMs) {
  int64_t left = deadlineMs - platform::MonotonicMs();
  if (left < waitMs) waitMs = left;
  return waitMs > 0 ? static_cast<int>(waitMs) : 0;
}

int32_t VerifyCode(long verifyResult) {
  switch (verifyResult) {
    case X509_V_OK:
      return 0;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return kTlsExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kTlsHostMismatch;
    default:
      return kTlsUntrusted;
  }
}

}  // namespace

std::string CertificateEndDate(int64_t notAfterUnix) {
  time_t t = static_cast<time_t>(notAfterUnix);
  struct tm parts {};
  if (::gmtime_r(&t, &parts) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

int64_t CertificateDaysLeft(int64_t secondsLeft) {
  if (secondsLeft <= 0) return 0;
  return (secondsLeft + kSecondsPerDay - 1) / kSecondsPerDay;
}

struct TlsChannel::State {
  SSL* ssl = nullptr;
  ~State() {
    if (ssl) SSL_free(ssl);
  }
};

TlsChannel::TlsChannel(int fd) : fd_(fd), state_(std::make_unique<State>()) {}

TlsChannel::~TlsChannel() = default;

int32_t TlsChannel::Open(const std::string& host, const TlsSettings& settings, int32_t timeoutMs,
                         int64_t deadlineMs, std::string* failureText) {
  // Only the TLS codes have a text of their own; the others keep the table's as always.
  auto fail = [&](int32_t code) {
    if (failureText && code <= kTlsHandshake && code >= kTlsExpiresSoon) {
      *failureText = FormatErrorText(code, host);
    }
    return code;
  };
  SSL_CTX* ctx = ContextFor(settings.caFile);
  if (ctx == nullptr) return fail(kNotEnoughMemory);
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) return fail(kNotEnoughMemory);
  state_->ssl = ssl;
  BIO* bio = SocketMethod() ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) return fail(kNotEnoughMemory);
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd_)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);
  const bool address = IsDottedText(host.c_str());
  // A server name is sent as SNI; an address is not (SNI carries names only).
  if (!address) SSL_set_tlsext_host_name(ssl, host.c_str());
  if (settings.verify) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (address) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
  }
  for (;;) {
    ERR_clear_error();
    int done = SSL_connect(ssl);
    if (done == 1) break;
    int error = SSL_get_error(ssl, done);
    short events = error == SSL_ERROR_WANT_READ    ? POLLIN
                   : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                   : 0;
    if (events == 0) {
      ERR_clear_error();
      return fail(kTlsHandshake);
    }
    int seen = WaitFor(fd_, events, Bounded(timeoutMs, deadlineMs));
    if (seen == 0) return fail(kTimeout);
    if (seen < 0) return fail(kTlsHandshake);
  }

  X509* leaf = SSL_get1_peer_certificate(ssl);
  if (leaf == nullptr) return fail(kTlsUntrusted);
  int64_t notAfter = 0;
  struct tm end {};
  const bool endKnown = ASN1_TIME_to_tm(X509_get0_notAfter(leaf), &end) == 1;
  if (endKnown) notAfter = static_cast<int64_t>(::timegm(&end));
  X509_free(leaf);
  const int64_t secondsLeft = notAfter - static_cast<int64_t>(::time(nullptr));
  auto endFail = [&](int32_t code) {
    if (failureText) {
      *failureText = CertificateEndText(code, host, CertificateEndDate(notAfter),
                                        CertificateDaysLeft(secondsLeft));
    }
    return code;
  };
  if (settings.verify) {
    const long verifyResult = SSL_get_verify_result(ssl);
    // A certificate not valid yet counts as an ended one, without an end date to name.
    if (verifyResult == X509_V_ERR_CERT_NOT_YET_VALID) return fail(kTlsExpired);
    int32_t code = VerifyCode(verifyResult);
    if (code == kTlsExpired) return endFail(code);
    if (code != 0) return fail(code);
  }
  if (settings.certDays > 0 && endKnown) {
    if (secondsLeft <= 0) return endFail(kTlsExpired);
    if (secondsLeft <= int64_t{settings.certDays} * kSecondsPerDay) return endFail(kTlsExpiresSoon);
  }
  return 0;
}

long TlsChannel::Receive(char* buffer, size_t size) {
  ERR_clear_error();
  size_t got = 0;
  if (SSL_read_ex(state_->ssl, buffer, size, &got) == 1) {
    wanted_ = 0;
    return static_cast<long>(got);
  }
  switch (SSL_get_error(state_->ssl, 0)) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
      wanted_ = POLLIN;
      return kAgain;
    case SSL_ERROR_WANT_WRITE:
      wanted_ = POLLOUT;
      return kAgain;
    default:
      ERR_clear_error();
      return kFailed;
  }
}

long TlsChannel::Send(const char* data, size_t size) {
  ERR_clear_error();
  size_t sent = 0;
  if (SSL_write_ex(state_->ssl, data, size, &sent) == 1) {
    wanted_ = 0;
    return static_cast<long>(sent);
  }
  switch (SSL_get_error(state_->ssl, 0)) {
    case SSL_ERROR_WANT_READ:
      wanted_ = POLLIN;
      return kAgain;
    case SSL_ERROR_WANT_WRITE:
      wanted_ = POLLOUT;
      return kAgain;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      return errno == ECONNRESET || errno == EPIPE ? kReset : kFailed;
    default:
      ERR_clear_error();
      return kFailed;
  }
}

int TlsChannel::WaitReceive(int timeoutMs) {
  // Bytes OpenSSL already holds are ready whatever the socket says.
  if (wanted_ != POLLOUT && SSL_has_pending(state_->ssl)) return POLLIN;
  return WaitFor(fd_, wanted_ ? wanted_ : POLLIN, timeoutMs);
}

int TlsChannel::WaitSend(int timeoutMs) {
  return WaitFor(fd_, wanted_ ? wanted_ : POLLOUT, timeoutMs);
}

}  // namespace hostcheck
