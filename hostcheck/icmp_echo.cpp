#include "hostcheck/icmp_echo.h"

#include <cstring>

namespace hostcheck {
namespace {

constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeEchoRequest = 8;

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

ReplyVerdict ReadEchoReply(const uint8_t* datagram, size_t size, bool hasIpHeader,
                           uint16_t ownIdentifier, uint32_t nowTick) {
  size_t headerLength = 0;
  if (hasIpHeader) {
    if (size == 0) return {ReplyKind::kTooShort, 0};
    headerLength = static_cast<size_t>(datagram[0] & 0x0F) * 4;
  }
  if (size < headerLength + 8) return {ReplyKind::kTooShort, 0};
  const uint8_t* icmp = datagram + headerLength;
  if (icmp[0] == kTypeEchoRequest) return {ReplyKind::kEchoRequest, 0};
  if (icmp[0] != kTypeEchoReply) return {ReplyKind::kNotReply, 0};
  if (GetLe16(icmp + 4) != ownIdentifier) return {ReplyKind::kForeignReply, 0};
  // The echoed send time sits at offset 8: a reply cut short before its end carries no
  // time to measure from, so it counts as too short rather than as a made-up time.
  if (size < headerLength + 12) return {ReplyKind::kTooShort, 0};
  return {ReplyKind::kOwnReply, static_cast<int32_t>(nowTick - GetLe32(icmp + 8))};
}

}  // namespace hostcheck
