#include "hostcheck/port_check.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

enum class ReadStep { kAgain, kLineSeen, kClosed, kFailed };

// Takes what the socket holds (up to what the cap still allows) and looks for a line feed.
ReadStep ReadSome(int fd, size_t* received) {
  char buffer[512];
  size_t room = kFirstLineCap - *received;
  if (room > sizeof buffer) room = sizeof buffer;
  ssize_t n;
  do {
    n = ::recv(fd, buffer, room, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return ReadStep::kClosed;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStep::kAgain;
    // A reset is a close reported by the peer, like an orderly one.
    if (errno == ECONNRESET || errno == EPIPE) return ReadStep::kClosed;
    return ReadStep::kFailed;
  }
  if (std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) return ReadStep::kLineSeen;
  *received += static_cast<size_t>(n);
  return *received >= kFirstLineCap ? ReadStep::kLineSeen : ReadStep::kAgain;
}

}  // namespace

int32_t CheckPort(const char* host, int32_t port, int32_t timeoutMs, PortProbe probe) {
  const int32_t timeout = EffectiveTimeout(timeoutMs);
  const int64_t start = platform::MonotonicMs();
  SocketHandle socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket.valid()) return kOpenSocket;

  std::optional<in_addr> address = ResolveHost(host);
  if (!address) return probe == PortProbe::kWebRequest ? kConnect : kInitSocket;

  if (!ConnectWithin(socket.get(), *address, static_cast<uint16_t>(port), timeout)) {
    return kConnect;
  }
  if (probe == PortProbe::kWebRequest) {
    ssize_t sent;
    do {
      sent = ::send(socket.get(), kWebProbe, kWebProbeLength, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(kWebProbeLength)) return kSendData;
  }

  // Each wait has the whole time-out, so a greeting trickled byte by byte keeps the check
  // alive as long as every byte comes in time, up to the check's overall deadline.
  const int64_t deadline = start + OverallDeadlineMs(timeout);
  size_t received = 0;
  for (;;) {
    int64_t left = deadline - platform::MonotonicMs();
    if (left <= 0) return kTimeout;
    int events = WaitFor(socket.get(), POLLIN, static_cast<int>(left < timeout ? left : timeout));
    if (events == 0) return kTimeout;
    if (events < 0) return kConnect;
    switch (ReadSome(socket.get(), &received)) {
      case ReadStep::kAgain:
        continue;
      case ReadStep::kLineSeen:
      case ReadStep::kClosed:
        return 1;
      case ReadStep::kFailed:
        return kConnect;
    }
  }
}

}  // namespace hostcheck
