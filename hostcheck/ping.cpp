#include "hostcheck/ping.h"

#include <time.h>
// (errqueue.h needs struct timespec declared first)
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/icmp_echo.h"
#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

constexpr int kRetryPauseMs = 10;

// The ICMP socket of one call: raw where the process may open one, else the unprivileged
// datagram socket. The datagram socket hands over replies without the IP header, lets
// the kernel set the identifier, and reports ICMP errors through its error queue.
struct IcmpSocket {
  int fd = -1;
  bool raw = false;
  ~IcmpSocket() {
    if (fd >= 0) ::close(fd);
  }
};

bool OpenIcmpSocket(IcmpSocket& s) {
  s.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (s.fd >= 0) {
    s.raw = true;
    // A raw socket sees every ICMP message the host receives, among them our own request
    // when the target is this machine. Echo requests are never answers: keep them out.
    icmp_filter filter{};
    filter.data = 1u << ICMP_ECHO;
    ::setsockopt(s.fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return true;
  }
  s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (s.fd < 0) return false;
  s.raw = false;
  int on = 1;
  ::setsockopt(s.fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  return true;
}

// The datagram socket's identifier is its local "port". Asking for the process's own
// identifier keeps the request the same on the wire as from a raw socket; when another
// socket holds it, the kernel picks one.
void BindIdentifier(int fd, uint16_t identifier) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = identifier;  // stored as the request stores it: in memory order
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
}

uint16_t BoundIdentifier(int fd, uint16_t fallback) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return fallback;
  return local.sin_port;
}

// True when the error queue held an ICMP error (destination unreachable and the like):
// on the raw socket that message would have been read as a datagram that is no reply.
bool TakeQueuedIcmpError(int fd) {
  bool icmpError = false;
  for (;;) {
    uint8_t data[kIcmpBufferSize];
    char control[512];
    iovec iov{data, sizeof data};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return icmpError;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
        auto* error = reinterpret_cast<sock_extended_err*>(CMSG_DATA(c));
        if (error->ee_origin == SO_EE_ORIGIN_ICMP) icmpError = true;
      }
    }
  }
}

enum class ReadOutcome { kDatagram, kIcmpError, kNothing };

ReadOutcome ReadOnce(const IcmpSocket& s, uint8_t* buffer, size_t* size) {
  for (;;) {
    ssize_t n = ::recv(s.fd, buffer, kIcmpBufferSize, MSG_DONTWAIT);
    if (n >= 0) {
      *size = static_cast<size_t>(n);
      return ReadOutcome::kDatagram;
    }
    if (errno == EINTR) continue;
    // Any read error counts as an empty socket, except that the datagram socket reports
    // an ICMP error for our request here.
    if (!s.raw && TakeQueuedIcmpError(s.fd)) return ReadOutcome::kIcmpError;
    return ReadOutcome::kNothing;
  }
}

// Sends the request, retrying up to `retries` times 10 ms apart. The wait is a poll for
// writability, so a socket that frees up is used at once; a failure that is not about
// buffer space sleeps the rest of its 10 ms, keeping the budget.
//
// The request goes out with no flags: on this system "do not route" would refuse every host
// behind a gateway, which only answers checks on the local link.
ssize_t SendRequest(int fd, const uint8_t* message, size_t length, const sockaddr_in& to,
                    int retries) {
  auto attempt = [&]() -> ssize_t {
    for (;;) {
      ssize_t n =
          ::sendto(fd, message, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (n >= 0 || errno != EINTR) return n;
    }
  };
  ssize_t sent = attempt();
  for (int i = 0; sent < 0 && i < retries; ++i) {
    int64_t slotEnd = platform::MonotonicMs() + kRetryPauseMs;
    WaitFor(fd, POLLOUT, kRetryPauseMs);
    sent = attempt();
    if (sent < 0) SleepUntil(slotEnd);
  }
  return sent;
}

// Reads until a datagram that is an answer of some kind arrives, `retries` waits of 10 ms
// each have passed, or the echo's deadline has. Each wait polls, so a reply that is there
// is taken at once.
int32_t ReceiveReply(const IcmpSocket& s, uint8_t* buffer, uint16_t identifier, int retries,
                     int64_t deadline) {
  int waits = 0;
  int64_t slotEnd = platform::MonotonicMs();
  for (;;) {
    if (platform::MonotonicMs() >= deadline) return kTimeout;
    size_t size = 0;
    ReadOutcome outcome = ReadOnce(s, buffer, &size);
    if (outcome == ReadOutcome::kIcmpError) return kNotEchoReply;
    if (outcome == ReadOutcome::kDatagram) {
      ReplyVerdict verdict = ReadEchoReply(buffer, size, s.raw, identifier, platform::TickCount());
      switch (verdict.kind) {
        case ReplyKind::kOwnReply:
          return verdict.roundTripMs;
        case ReplyKind::kForeignReply:
          return kSomebodyElseSocket;
        case ReplyKind::kNotReply:
          return kNotEchoReply;
        case ReplyKind::kTooShort:
          return kTooFewBytesReceived;
        case ReplyKind::kEchoRequest:
          continue;  // not an answer at all; look again within the same wait
      }
    }
    // Nothing to read: wait out the current 10 ms slot, or less when data arrive.
    if (platform::MonotonicMs() >= slotEnd) {
      if (waits >= retries) return kTimeout;
      ++waits;
      slotEnd = platform::MonotonicMs() + kRetryPauseMs;
    }
    int64_t left = slotEnd - platform::MonotonicMs();
    WaitFor(s.fd, POLLIN, left > 0 ? static_cast<int>(left) : 0);
  }
}

}  // namespace

int32_t PingHost(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                 int32_t pauseMs) {
  timeoutMs = EffectiveTimeout(timeoutMs);
  if (count < 1) count = 1;
  if (pauseMs < 0) pauseMs = 0;

  IcmpSocket s;
  if (!OpenIcmpSocket(s)) return kOpenSocket;

  std::optional<in_addr> address = ResolveHost(host);
  if (!address) address = ConvertDotted(host);
  if (!address) return kInitSocket;

  std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[kIcmpBufferSize]());
  std::unique_ptr<uint8_t[]> reply(new (std::nothrow) uint8_t[kIcmpBufferSize]());
  if (!request || !reply) return kNotEnoughMemory;

  SetNonBlocking(s.fd, true);
  uint16_t identifier = static_cast<uint16_t>(::getpid() & 0xFFFF);
  if (!s.raw) BindIdentifier(s.fd, identifier);
  size_t length = PrepareEchoRequest(request.get(), EchoDataSize(dataSize), identifier);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = *address;

  const int retries = timeoutMs / kRetryPauseMs + 1;
  uint16_t sequence = 0;
  int64_t total = 0;
  int32_t counted = 0;
  // Replies for other processes (or a flood of echo requests) never end the wait for our
  // own; each counted echo still has an overall deadline.
  int64_t echoDeadline = platform::MonotonicMs() + OverallDeadlineMs(timeoutMs) + pauseMs;
  for (;;) {
    StampEchoRequest(request.get(), length, sequence++, platform::TickCount());
    ssize_t sent = SendRequest(s.fd, request.get(), length, to, retries);
    if (sent < 0) return kTimeout;
    if (static_cast<size_t>(sent) < length) return kTooFewBytesSent;
    // The datagram socket's replies carry the identifier the kernel gave the socket.
    uint16_t expected = s.raw ? identifier : BoundIdentifier(s.fd, identifier);

    int32_t result = ReceiveReply(s, reply.get(), expected, retries, echoDeadline);
    if (result == kSomebodyElseSocket) {
      if (platform::MonotonicMs() >= echoDeadline) return kTimeout;
      platform::SleepMs(pauseMs);
      continue;
    }
    if (result < 0) return result;
    total += result;
    if (++counted == count) break;
    platform::SleepMs(pauseMs);
    echoDeadline = platform::MonotonicMs() + OverallDeadlineMs(timeoutMs) + pauseMs;
  }
  return static_cast<int32_t>(total / count);
}

}  // namespace hostcheck
