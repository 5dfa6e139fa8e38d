#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzzpeer {
namespace {

constexpr int kWaitMs = 5000;

bool WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, kWaitMs) > 0;
}

void ReadHead(int fd) {
  std::string head;
  char buffer[1024];
  while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos &&
         head.find("\n\n") == std::string::npos) {
    if (!WaitFor(fd, POLLIN)) return;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
  }
}

void SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    if (!WaitFor(fd, POLLOUT)) return;
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return;  // the client gave up early, as it may
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void Drain(int fd) {
  char buffer[4096];
  while (WaitFor(fd, POLLIN)) {
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

}  // namespace

LoopbackPeer::LoopbackPeer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    std::perror("loopback peer");
    std::abort();
  }
  port_ = ntohs(a.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
  Join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void LoopbackPeer::Serve(const uint8_t* data, size_t size, bool awaitHead) {
  Join();
  thread_ = std::thread([this, data, size, awaitHead] {
    if (!WaitFor(listenFd_, POLLIN)) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (awaitHead) ReadHead(fd);
    SendAll(fd, data, size);
    ::shutdown(fd, SHUT_WR);
    Drain(fd);
    ::close(fd);
  });
}

void LoopbackPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace fuzzpeer
