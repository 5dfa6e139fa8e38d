// The ICMP echo request that Ping sends and the reading of what comes back.
//
// Request layout (multi-byte fields in little-endian order, as the sending machine
// stores them, not converted to network order):
//   0 type 8 | 1 code 0 | 2 checksum (RFC 1071 over the whole message) |
//   4 identifier (u16) | 6 sequence (u16) | 8 send tick count (u32) | 12 fill of "E"
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostcheck {

constexpr size_t kIcmpBufferSize = 512;
constexpr size_t kIcmpHeaderSize = 12;  // type, code, checksum, identifier, sequence, time
constexpr int32_t kMinEchoData = 32;
constexpr int32_t kMaxEchoData = 500;
constexpr uint8_t kEchoFill = 0x45;

// The Internet checksum (RFC 1071) of the bytes, as it is stored in the message.
uint16_t InternetChecksum(const uint8_t* data, size_t size);

// Data sizes below 32 mean 32; above 500 the buffer has no room, so 500.
int32_t EchoDataSize(int32_t requested);

// Writes type, code, identifier and the fill of `dataSize` bytes into a zeroed buffer of
// kIcmpBufferSize bytes. Returns the message length (12 + dataSize).
size_t PrepareEchoRequest(uint8_t* buffer, int32_t dataSize, uint16_t identifier);

// Stamps the sequence number and the send time and recomputes the checksum.
void StampEchoRequest(uint8_t* buffer, size_t length, uint16_t sequence, uint32_t sendTick);

// The verdict on one received datagram.
enum class ReplyKind {
  kOwnReply,      // an echo reply carrying our identifier: roundTripMs is set
  kForeignReply,  // an echo reply for someone else (-907)
  kNotReply,      // another ICMP message (-908)
  kTooShort,      // shorter than its IP header plus 8 bytes (-909)
  kEchoRequest,   // an echo request, e.g. our own one seen on loopback: not an answer
};

struct ReplyVerdict {
  ReplyKind kind;
  int32_t roundTripMs;
};

// `hasIpHeader` is true for a raw socket, whose datagrams start with the IPv4 header;
// the datagram socket delivers the ICMP message alone.
ReplyVerdict ReadEchoReply(const uint8_t* datagram, size_t size, bool hasIpHeader,
                           uint16_t ownIdentifier, uint32_t nowTick);

}  // namespace hostcheck
