#include "hostcheck/ping.h"

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

constexpr int kRetryPauseMs = kIcmpRetryPauseMs;

// True when the error queue held an ICMP error (destination unreachable and the like):
// on the raw socket that message would have been read as a datagram that is no reply.
bool TakeQueuedIcmpError(const IcmpSocket& s) {
  bool icmpError = false;
  IcmpSocket::QueuedError error;
  while (s.TakeQueuedError(&error)) {
    if (error.fromIcmp) icmpError = true;
  }
  return icmpError;
}

enum class ReadOutcome { kDatagram, kIcmpError, kNothing };

ReadOutcome ReadOnce(const IcmpSocket& s, uint8_t* buffer, size_t* size) {
  for (;;) {
    ssize_t n = ::recv(s.fd(), buffer, kIcmpBufferSize, MSG_DONTWAIT);
    if (n >= 0) {
      *size = static_cast<size_t>(n);
      return ReadOutcome::kDatagram;
    }
    if (errno == EINTR) continue;
    // Any read error counts as an empty socket, except that the datagram socket reports
    // an ICMP error for our request here.
    if (!s.raw() && TakeQueuedIcmpError(s)) return ReadOutcome::kIcmpError;
    return ReadOutcome::kNothing;
  }
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
      ReplyVerdict verdict =
          ReadEchoReply(buffer, size, s.raw(), identifier, platform::TickCount());
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
    WaitFor(s.fd(), POLLIN, left > 0 ? static_cast<int>(left) : 0);
  }
}

}  // namespace

int32_t PingHost(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                 int32_t pauseMs) {
  timeoutMs = EffectiveTimeout(timeoutMs);
  if (count < 1) count = 1;
  if (pauseMs < 0) pauseMs = 0;

  const uint16_t identifier = static_cast<uint16_t>(::getpid() & 0xFFFF);
  IcmpSocket s;
  if (!s.Open(identifier, false)) return kOpenSocket;

  std::optional<in_addr> address = ResolveHost(host);
  if (!address) address = ConvertDotted(host);
  if (!address) return kInitSocket;

  std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[kIcmpBufferSize]());
  std::unique_ptr<uint8_t[]> reply(new (std::nothrow) uint8_t[kIcmpBufferSize]());
  if (!request || !reply) return kNotEnoughMemory;

  SetNonBlocking(s.fd(), true);
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
    // A failure that is not about buffer space sleeps the rest of its 10 ms, keeping the
    // budget.
    ssize_t sent = s.Send(request.get(), length, to, retries, true);
    if (sent < 0) return kTimeout;
    if (static_cast<size_t>(sent) < length) return kTooFewBytesSent;
    // The datagram socket's replies carry the identifier the kernel gave the socket.
    uint16_t expected = s.Identifier(identifier);

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
