#include "hostcheck/icmp_echo.h"

#include <time.h>
// (errqueue.h needs struct timespec declared first)
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeEchoRequest = 8;
constexpr size_t kIpHeaderSize = 20;

bool IsIcmpError(uint8_t type) {
  return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

void PutLe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t GetLe16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t GetLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t size) {
  // Words are summed in memory order (little-endian loads); the folded complement stored
  // the same way is the correct checksum on the wire, whatever the byte order.
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < size; i += 2) sum += GetLe16(data + i);
  if (i < size) sum += data[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

int32_t EchoDataSize(int32_t requested) {
  if (requested < kMinEchoData) return kMinEchoData;
  if (requested > kMaxEchoData) return kMaxEchoData;
  return requested;
}

size_t PrepareEchoRequest(uint8_t* buffer, int32_t dataSize, uint16_t identifier) {
  buffer[0] = kTypeEchoRequest;
  buffer[1] = 0;
  PutLe16(buffer + 4, identifier);
  std::memset(buffer + kIcmpHeaderSize, kEchoFill, static_cast<size_t>(dataSize));
  return kIcmpHeaderSize + static_cast<size_t>(dataSize);
}

void StampEchoRequest(uint8_t* buffer, size_t length, uint16_t sequence, uint32_t sendTick) {
  PutLe16(buffer + 2, 0);
  PutLe32(buffer + 8, sendTick);
  PutLe16(buffer + 6, sequence);
  PutLe16(buffer + 2, InternetChecksum(buffer, length));
}

IcmpMessage ParseIcmpDatagram(const uint8_t* datagram, size_t size, bool hasIpHeader) {
  IcmpMessage m;
  size_t header = 0;
  if (hasIpHeader) {
    if (size < kIpHeaderSize) return m;
    header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
    if (header < kIpHeaderSize) return m;
  }
  if (size < header + 8) return m;
  const uint8_t* icmp = datagram + header;
  m.identifier = GetLe16(icmp + 4);
  m.sequence = GetLe16(icmp + 6);
  switch (icmp[0]) {
    case kTypeEchoRequest:
      m.kind = IcmpKind::kEchoRequest;
      return m;
    case kTypeEchoReply:
      m.kind = IcmpKind::kEchoReply;
      if (size >= header + 12) {
        m.timed = true;
        m.sendTick = GetLe32(icmp + 8);
      }
      return m;
    default:
      break;
  }
  if (!IsIcmpError(icmp[0])) {
    m.kind = IcmpKind::kOther;
    return m;
  }
  // An ICMP error quotes the IP header and the first 8 bytes of the packet it concerns.
  m.kind = IcmpKind::kError;
  m.identifier = 0;
  m.sequence = 0;
  const uint8_t* quoted = icmp + 8;
  const size_t left = size - header - 8;
  if (left < kIpHeaderSize) return m;
  const size_t quotedHeader = static_cast<size_t>(quoted[0] & 0x0F) * 4;
  if (quotedHeader < kIpHeaderSize || left < quotedHeader + 8 || quoted[9] != IPPROTO_ICMP) {
    return m;
  }
  const uint8_t* request = quoted + quotedHeader;
  if (request[0] != kTypeEchoRequest) return m;
  m.quotesEchoRequest = true;
  m.identifier = GetLe16(request + 4);
  m.sequence = GetLe16(request + 6);
  std::memcpy(&m.quotedDestination, quoted + 16, sizeof m.quotedDestination);
  return m;
}

ReplyVerdict ReadEchoReply(const uint8_t* datagram, size_t size, bool hasIpHeader,
                           uint16_t ownIdentifier, uint32_t nowTick) {
  const IcmpMessage m = ParseIcmpDatagram(datagram, size, hasIpHeader);
  switch (m.kind) {
    case IcmpKind::kTooShort:
      return {ReplyKind::kTooShort, 0};
    case IcmpKind::kEchoRequest:
      return {ReplyKind::kEchoRequest, 0};
    case IcmpKind::kEchoReply:
      break;
    case IcmpKind::kError:
    case IcmpKind::kOther:
      return {ReplyKind::kNotReply, 0};
  }
  if (m.identifier != ownIdentifier) return {ReplyKind::kForeignReply, 0};
  // A reply cut short before its send time counts as too short rather than as a made-up time.
  if (!m.timed) return {ReplyKind::kTooShort, 0};
  return {ReplyKind::kOwnReply, static_cast<int32_t>(nowTick - m.sendTick)};
}

// ---- the socket ----

IcmpSocket::~IcmpSocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool IcmpSocket::Open(uint16_t identifier, bool nonBlocking) {
  const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
  fd_ = ::socket(AF_INET, SOCK_RAW | flags, IPPROTO_ICMP);
  if (fd_ >= 0) {
    raw_ = true;
    // A raw socket sees every ICMP message the host receives, among them our own request
    // when the target is this machine. Echo requests are never answers: keep them out.
    icmp_filter filter{};
    filter.data = 1u << ICMP_ECHO;
    ::setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return true;
  }
  fd_ = ::socket(AF_INET, SOCK_DGRAM | flags, IPPROTO_ICMP);
  if (fd_ < 0) return false;
  raw_ = false;
  int on = 1;
  ::setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = identifier;  // stored as the request stores it: in memory order
  ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  return true;
}

uint16_t IcmpSocket::Identifier(uint16_t fallback) const {
  if (raw_) return fallback;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return fallback;
  return local.sin_port;
}

ssize_t IcmpSocket::Send(const uint8_t* message, size_t length, const sockaddr_in& to, int retries,
                         bool keepSlots) const {
  auto attempt = [&]() -> ssize_t {
    for (;;) {
      ssize_t n =
          ::sendto(fd_, message, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (n >= 0 || errno != EINTR) return n;
    }
  };
  ssize_t sent = attempt();
  for (int i = 0; sent < 0 && i < retries; ++i) {
    const int64_t slotEnd = platform::MonotonicMs() + kIcmpRetryPauseMs;
    WaitFor(fd_, POLLOUT, kIcmpRetryPauseMs);
    sent = attempt();
    if (sent < 0 && keepSlots) SleepUntil(slotEnd);
  }
  return sent;
}

bool IcmpSocket::TakeQueuedError(QueuedError* error) const {
  uint8_t data[kIcmpBufferSize];
  char control[512];
  sockaddr_in to{};
  iovec iov{data, sizeof data};
  msghdr message{};
  message.msg_name = &to;
  message.msg_namelen = sizeof to;
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return false;
  *error = QueuedError{};
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
      auto* e = reinterpret_cast<sock_extended_err*>(CMSG_DATA(c));
      if (e->ee_origin == SO_EE_ORIGIN_ICMP) error->fromIcmp = true;
    }
  }
  error->request = ParseIcmpDatagram(data, static_cast<size_t>(n), false);
  error->destination = to.sin_addr.s_addr;
  return true;
}

}  // namespace hostcheck
