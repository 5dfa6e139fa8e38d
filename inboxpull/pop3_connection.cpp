#include "inboxpull/pop3_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace inboxpull {
namespace {

constexpr size_t kReadBlock = 4096;

}  // namespace

Pop3Connection::Pop3Connection(int64_t waitMs, int64_t deadlineMs, size_t lineCap)
    : waitMs_(waitMs), deadlineMs_(deadlineMs), lineCap_(lineCap) {}

Pop3Connection::~Pop3Connection() {
  Close();
}

void Pop3Connection::Close() {
  if (ssl_ != nullptr) {
    // One try at a close notify on a session that stands; a server that does not take it is
    // not waited for.
    if (fd_ >= 0 && SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  ERR_clear_error();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int64_t DaysLeft(int64_t nowUnix, int64_t notAfterUnix) {
  const int64_t seconds = notAfterUnix - nowUnix;
  return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

namespace {

// The library's reasons queued for this thread, as one line (the queue is emptied).
std::string TlsErrors() {
  std::string text;
  while (const unsigned long e = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(e, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

// The socket under the TLS session, written with MSG_NOSIGNAL like the plain connection: a
// server that closes while the client writes must not raise SIGPIPE in the host program.
int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                           static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int SocketRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                           static_cast<size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long SocketControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pop3 socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, &SocketWrite);
      BIO_meth_set_read(m, &SocketRead);
      BIO_meth_set_ctrl(m, &SocketControl);
      BIO_meth_set_create(m, &SocketCreate);
    }
    return m;
  }();
  return method;
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

TlsOutcome VerifyFailure(long result) {
  TlsOutcome out;
  out.detail = X509_verify_cert_error_string(result);
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      out.status = TlsStatus::kExpired;
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      out.status = TlsStatus::kHostMismatch;
      break;
    default:
      out.status = TlsStatus::kUntrusted;
      break;
  }
  return out;
}

}  // namespace

TlsOutcome Pop3Connection::StartTls(const std::string& host, const TlsSettings& settings) {
  TlsOutcome failed;
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) {
    failed.detail = "cannot set up TLS: " + TlsErrors();
    return failed;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (settings.verify) {
    SSL_CTX_set_default_verify_paths(ctx_);
    // A CA file that cannot be read leaves the system's store alone: a certificate that
    // only it would vouch for is then not trusted, which is what the result says.
    if (!settings.caFile.empty())
      SSL_CTX_load_verify_locations(ctx_, settings.caFile.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  }
  ERR_clear_error();
  ssl_ = SSL_new(ctx_);
  BIO* bio = ssl_ != nullptr && SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    failed.detail = "cannot set up TLS: " + TlsErrors();
    return failed;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd_)));
  SSL_set_bio(ssl_, bio, bio);
  const bool address = IsAddress(host);
  if (!address) SSL_set_tlsext_host_name(ssl_, host.c_str());
  if (settings.verify) {
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (address) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
    } else {
      SSL_set1_host(ssl_, host.c_str());
    }
  }
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_connect(ssl_);
    if (r == 1) break;
    const int error = SSL_get_error(ssl_, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) continue;
      failed.detail = "no answer in time";
      return failed;
    }
    const long verified = SSL_get_verify_result(ssl_);
    if (settings.verify && verified != X509_V_OK) return VerifyFailure(verified);
    const std::string reasons = TlsErrors();
    failed.detail = !reasons.empty()                           ? reasons
                    : error == SSL_ERROR_SYSCALL && errno != 0 ? std::strerror(errno)
                                                               : "connection closed";
    return failed;
  }
  TlsOutcome expiry = CheckExpiry(settings);
  if (expiry.status != TlsStatus::kEstablished) return expiry;
  TlsOutcome out;
  out.status = TlsStatus::kEstablished;
  out.detail = std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
  return out;
}

TlsOutcome Pop3Connection::CheckExpiry(const TlsSettings& settings) {
  TlsOutcome out;
  out.status = TlsStatus::kEstablished;
  if (settings.certDays <= 0) return out;
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (cert == nullptr) return out;
  std::tm end{};
  const bool known = ASN1_TIME_to_tm(X509_get0_notAfter(cert), &end) == 1;
  X509_free(cert);
  if (!known) return out;
  const int64_t left =
      DaysLeft(static_cast<int64_t>(std::time(nullptr)), static_cast<int64_t>(::timegm(&end)));
  if (left >= settings.certDays) return out;
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S GMT", &end);
  if (left < 0) {
    // Only reached without verification, which would have refused it already.
    out.status = TlsStatus::kExpired;
    out.detail = std::string("the certificate ended on ") + date;
  } else {
    out.status = TlsStatus::kExpiresSoon;
    out.detail = std::string("the certificate expires on ") + date + " (" + std::to_string(left) +
                 (left == 1 ? " day" : " days") + " left)";
  }
  return out;
}

int64_t Pop3Connection::WaitBudget() const {
  const int64_t left = deadlineMs_ - platform::MonotonicMs();
  return left < waitMs_ ? left : waitMs_;
}

bool Pop3Connection::WaitFor(short events) {
  for (;;) {
    const int64_t budget = WaitBudget();
    if (budget <= 0) {
      lastError_ = ETIMEDOUT;
      return false;
    }
    pollfd p{fd_, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(budget));
    if (n > 0) return true;
    if (n == 0) {
      lastError_ = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) {
      lastError_ = errno;
      return false;
    }
  }
}

ConnectStatus Pop3Connection::Connect(const std::string& host, int port, int* error) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
    return ConnectStatus::kFailed;
  }
  ConnectStatus status = ConnectStatus::kFailed;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd_ < 0) {
      lastError_ = errno;
      status = ConnectStatus::kNoSocket;
      continue;
    }
    int result = ::connect(fd_, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      if (WaitFor(POLLOUT)) {
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len);
        result = soError == 0 ? 0 : -1;
        lastError_ = soError;
      } else {
        result = -1;
      }
    } else if (result != 0) {
      lastError_ = errno;
    }
    if (result == 0) {
      status = ConnectStatus::kConnected;
      break;
    }
    status = ConnectStatus::kFailed;
    Close();
  }
  ::freeaddrinfo(found);
  *error = lastError_;
  return status;
}

bool Pop3Connection::SendLine(const std::string& text) {
  const std::string data = text + "\r\n";
  size_t sent = 0;
  if (ssl_ != nullptr) {
    while (sent < data.size()) {
      ERR_clear_error();
      const int n = SSL_write(ssl_, data.data() + sent, static_cast<int>(data.size() - sent));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (!WaitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) return false;
        continue;
      }
      lastError_ = errno != 0 ? errno : EPROTO;
      return false;
    }
    return true;
  }
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(POLLOUT)) return false;
      continue;
    }
    lastError_ = errno;
    return false;
  }
  return true;
}

ReadStatus Pop3Connection::ReadLine(std::string* line) {
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      if (end > lineCap_) return ReadStatus::kTooLong;
      size_t length = end;
      if (length > 0 && buffer_[length - 1] == '\r') --length;
      line->assign(buffer_, 0, length);
      buffer_.erase(0, end + 1);
      return ReadStatus::kLine;
    }
    // No line end within the cap: the line can only grow longer.
    if (buffer_.size() > lineCap_) return ReadStatus::kTooLong;
    if (fd_ < 0) return ReadStatus::kClosed;
    char block[kReadBlock];
    const ssize_t n = Receive(block, sizeof block);
    if (n > 0) {
      buffer_.append(block, static_cast<size_t>(n));
      continue;
    }
    return n == -2 ? ReadStatus::kTimeout : ReadStatus::kClosed;
  }
}

ssize_t Pop3Connection::Receive(char* data, size_t size) {
  for (;;) {
    if (ssl_ != nullptr) {
      // Decrypted bytes may wait inside the TLS session with nothing left on the socket,
      // so the read comes first and the wait only when it asks for one.
      ERR_clear_error();
      const int n = SSL_read(ssl_, data, static_cast<int>(size));
      if (n > 0) return n;
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (!WaitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) return -2;
        continue;
      }
      lastError_ = error == SSL_ERROR_ZERO_RETURN ? 0 : (errno != 0 ? errno : EPROTO);
      return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    if (!WaitFor(POLLIN)) return -2;
    const ssize_t n = ::recv(fd_, data, size, 0);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    lastError_ = n == 0 ? 0 : errno;
    return n == 0 ? 0 : -1;
  }
}

}  // namespace inboxpull
