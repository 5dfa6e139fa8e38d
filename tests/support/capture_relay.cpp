#include "support/capture_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {
namespace {

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

CaptureRelay::CaptureRelay(int targetPort) : targetPort_(targetPort) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return;
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) joins_.emplace_back([this, client] { Join(client); });
    }
  });
}

CaptureRelay::~CaptureRelay() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : joins_) t.join();
  if (fd_ >= 0) ::close(fd_);
}

void CaptureRelay::Join(int client) {
  const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(targetPort_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(target, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    pollfd p[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
    char block[4096];
    while (!stop_) {
      const int n = ::poll(p, 2, 100);
      if (n < 0) break;
      if (n == 0) continue;
      if (p[0].revents != 0) {
        const ssize_t got = ::recv(client, block, sizeof block, 0);
        if (got <= 0) break;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          sent_.append(block, static_cast<size_t>(got));
        }
        if (!SendAll(target, block, static_cast<size_t>(got))) break;
      }
      if (p[1].revents != 0) {
        const ssize_t got = ::recv(target, block, sizeof block, 0);
        if (got <= 0 || !SendAll(client, block, static_cast<size_t>(got))) break;
      }
    }
  }
  ::close(target);
  ::close(client);
}

std::string CaptureRelay::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

}  // namespace testsupport
