// The ICMP echo request that Ping and the echo socket send, the one reading of what comes
// back, and the socket both send it through.
//
// Request layout (multi-byte fields in little-endian order, as the sending machine
// stores them, not converted to network order):
//   0 type 8 | 1 code 0 | 2 checksum (RFC 1071 over the whole message) |
//   4 identifier (u16) | 6 sequence (u16) | 8 send tick count (u32) | 12 fill of "E"
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace hostcheck {

constexpr size_t kIcmpBufferSize = 512;
constexpr size_t kIcmpHeaderSize = 12;  // type, code, checksum, identifier, sequence, time
constexpr int32_t kMinEchoData = 32;
constexpr int32_t kMaxEchoData = 500;
constexpr uint8_t kEchoFill = 0x45;
// Sends and receive waits are retried in slots of this many milliseconds.
constexpr int kIcmpRetryPauseMs = 10;

// The Internet checksum (RFC 1071) of the bytes, as it is stored in the message.
uint16_t InternetChecksum(const uint8_t* data, size_t size);

// Data sizes below 32 mean 32; above 500 the buffer has no room, so 500.
int32_t EchoDataSize(int32_t requested);

// Writes type, code, identifier and the fill of `dataSize` bytes into a zeroed buffer of
// kIcmpBufferSize bytes. Returns the message length (12 + dataSize).
size_t PrepareEchoRequest(uint8_t* buffer, int32_t dataSize, uint16_t identifier);

// Stamps the sequence number and the send time and recomputes the checksum.
void StampEchoRequest(uint8_t* buffer, size_t length, uint16_t sequence, uint32_t sendTick);

// ---- reading a received datagram ----

enum class IcmpKind {
  kTooShort,     // shorter than its IP header plus 8 bytes (or no IPv4 header at all)
  kEchoRequest,  // an echo request (e.g. our own one seen on loopback)
  kEchoReply,
  kError,  // destination unreachable, source quench, redirect, time exceeded, parameter problem
  kOther,
};

// What one datagram holds. For a reply the identifier and sequence are its own; for an error
// that quotes an echo request they are the quoted request's, with the address it went to.
struct IcmpMessage {
  IcmpKind kind = IcmpKind::kTooShort;
  uint16_t identifier = 0;
  uint16_t sequence = 0;
  // A reply long enough to carry the echoed send time (offset 8); a reply cut before it
  // measures nothing.
  bool timed = false;
  uint32_t sendTick = 0;
  // An error that quotes a whole IPv4 header of an ICMP packet and the first 8 bytes of an
  // echo request.
  bool quotesEchoRequest = false;
  in_addr_t quotedDestination = 0;
};

// `hasIpHeader` is true for a raw socket, whose datagrams start with the IPv4 header; the
// datagram socket delivers the ICMP message alone.
IcmpMessage ParseIcmpDatagram(const uint8_t* datagram, size_t size, bool hasIpHeader);

// Ping's verdict on one received datagram.
enum class ReplyKind {
  kOwnReply,      // an echo reply carrying our identifier: roundTripMs is set
  kForeignReply,  // an echo reply for someone else (-907)
  kNotReply,      // another ICMP message (-908)
  kTooShort,      // shorter than its IP header plus 8 bytes, or without its send time (-909)
  kEchoRequest,   // an echo request, e.g. our own one seen on loopback: not an answer
};

struct ReplyVerdict {
  ReplyKind kind;
  int32_t roundTripMs;
};

ReplyVerdict ReadEchoReply(const uint8_t* datagram, size_t size, bool hasIpHeader,
                           uint16_t ownIdentifier, uint32_t nowTick);

// ---- the socket ----

// Raw where the process may open one (echo requests filtered out: they are never answers),
// else the unprivileged datagram socket, which hands over replies without the IP header,
// reports ICMP errors through its error queue and carries its identifier as its local
// "port". The datagram socket is bound to `identifier` (in memory order, as the request
// stores it) so that the request is the same on the wire as from a raw socket; when that
// bind fails, the kernel picks one at the first send.
class IcmpSocket {
 public:
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  // False when neither socket opens.
  bool Open(uint16_t identifier, bool nonBlocking);
  int fd() const { return fd_; }
  bool raw() const { return raw_; }
  // The identifier replies carry: the one asked for on the raw socket, the bound one on the
  // datagram socket (`fallback` when it cannot be read).
  uint16_t Identifier(uint16_t fallback) const;

  // Sends the request with no flags ("do not route" would refuse every host behind a
  // gateway), retrying up to `retries` times, each retry after a wait of up to 10 ms for
  // room in the socket. With `keepSlots` a failed retry also sleeps the rest of its 10 ms,
  // so that a failure which is not about room still takes the whole budget.
  ssize_t Send(const uint8_t* message, size_t length, const sockaddr_in& to, int retries,
               bool keepSlots) const;

  // One entry of the datagram socket's error queue: whether the kernel took it from an
  // ICMP error, the request it concerns (as sent) and where that went. False when empty.
  struct QueuedError {
    bool fromIcmp = false;
    IcmpMessage request;
    in_addr_t destination = 0;
  };
  bool TakeQueuedError(QueuedError* error) const;

 private:
  int fd_ = -1;
  bool raw_ = false;
};

}  // namespace hostcheck
