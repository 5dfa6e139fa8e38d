#include "inboxpull/pop3_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
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
    if (fd_ < 0 || !WaitFor(POLLIN)) return fd_ < 0 ? ReadStatus::kClosed : ReadStatus::kTimeout;
    char block[kReadBlock];
    const ssize_t n = ::recv(fd_, block, sizeof block, 0);
    if (n > 0) {
      buffer_.append(block, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    lastError_ = n == 0 ? 0 : errno;
    return ReadStatus::kClosed;
  }
}

}  // namespace inboxpull
