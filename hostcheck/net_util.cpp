#include "hostcheck/net_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"

namespace hostcheck {

int32_t EffectiveTimeout(int32_t timeoutMs) {
  return timeoutMs > 0 ? timeoutMs : 10000;
}

int64_t OverallDeadlineMs(int32_t timeoutMs) {
  constexpr int64_t kCapMs = 5 * 60 * 1000;
  int64_t budget = int64_t{10} * (timeoutMs > 0 ? timeoutMs : 0);
  return budget < kCapMs ? budget : kCapMs;
}

bool IsDottedText(const char* host) {
  for (const char* p = host; *p; ++p) {
    if ((*p < '0' || *p > '9') && *p != '.') return false;
  }
  return true;
}

std::optional<in_addr> ConvertDotted(const char* host) {
  in_addr address{};
  if (host[0] == '\0' || ::inet_aton(host, &address) == 0) return std::nullopt;
  return address;
}

std::optional<in_addr> ResolveHost(const char* host) {
  if (IsDottedText(host)) return ConvertDotted(host);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) {
    return std::nullopt;
  }
  in_addr address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr;
  ::freeaddrinfo(answer);
  return address;
}

SocketHandle::~SocketHandle() {
  if (fd_ >= 0) ::close(fd_);
}

void SocketHandle::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int WaitFor(int fd, short events, int timeoutMs) {
  int64_t deadline = platform::MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    pollfd p{fd, events, 0};
    int64_t left = deadline - platform::MonotonicMs();
    int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void SleepUntil(int64_t untilMs) {
  for (;;) {
    int64_t left = untilMs - platform::MonotonicMs();
    if (left <= 0) return;
    ::poll(nullptr, 0, static_cast<int>(left));
  }
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool ConnectWithin(int fd, in_addr address, uint16_t port, int32_t timeoutMs) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr = address;
  bool connected = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    connected = true;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    // A host that never answers would otherwise hold the caller for the kernel's SYN
    // retries (minutes); the operation's own time-out bounds it instead.
    if (WaitFor(fd, POLLOUT, timeoutMs) > 0) {
      int error = 0;
      socklen_t length = sizeof error;
      // A reset that arrives right after the handshake means the connection was made; the
      // caller then reads the close, as with a peer that resets a moment later.
      connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                  (error == 0 || error == ECONNRESET || error == EPIPE);
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return connected;
}

}  // namespace hostcheck
