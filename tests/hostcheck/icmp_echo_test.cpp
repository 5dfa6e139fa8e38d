// The echo request as it goes on the wire and the reading of what comes back.
#include "hostcheck/icmp_echo.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

namespace hostcheck {
namespace {

TEST(IcmpEcho, RequestLayoutByDataSize) {
  struct Case {
    int32_t dataSize;
    size_t length;
  };
  const Case cases[] = {{0, 44}, {31, 44}, {32, 44}, {100, 112}, {500, 512}, {4000, 512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataSize);
    std::vector<uint8_t> buffer(kIcmpBufferSize, 0);
    size_t length = PrepareEchoRequest(buffer.data(), EchoDataSize(c.dataSize), 0x1234);
    StampEchoRequest(buffer.data(), length, 0x0102, 0xA1B2C3D4);
    ASSERT_EQ(length, c.length);
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(buffer[1], 0);
    // identifier, sequence and send time in little-endian order
    EXPECT_EQ(buffer[4], 0x34);
    EXPECT_EQ(buffer[5], 0x12);
    EXPECT_EQ(buffer[6], 0x02);
    EXPECT_EQ(buffer[7], 0x01);
    EXPECT_EQ(buffer[8], 0xD4);
    EXPECT_EQ(buffer[11], 0xA1);
    for (size_t i = 12; i < length; ++i) ASSERT_EQ(buffer[i], 'E') << i;
    if (length < kIcmpBufferSize) {
      EXPECT_EQ(buffer[length], 0);
    }
    // A message with a correct checksum sums to zero.
    EXPECT_EQ(InternetChecksum(buffer.data(), length), 0);
  }
}

TEST(IcmpEcho, ChecksumMatchesTheRfcExample) {
  // RFC 1071's example words 0001 f203 f4f5 f6f7 sum to ddf2; the checksum is its complement.
  const uint8_t data[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  uint16_t stored = InternetChecksum(data, sizeof data);
  uint8_t bytes[2] = {static_cast<uint8_t>(stored), static_cast<uint8_t>(stored >> 8)};
  EXPECT_EQ(bytes[0], 0x22);
  EXPECT_EQ(bytes[1], 0x0d);
  // An odd last byte is padded with a zero byte after it (bytes FE FF on the wire).
  const uint8_t odd[] = {0x01};
  EXPECT_EQ(InternetChecksum(odd, 1), static_cast<uint16_t>(~0x0001));
}

std::vector<uint8_t> Datagram(size_t ipHeader, uint8_t type, uint16_t id, uint32_t sent,
                              size_t icmpLength = 44) {
  std::vector<uint8_t> d(ipHeader + 44, 0);
  if (ipHeader) d[0] = static_cast<uint8_t>(0x40 | (ipHeader / 4));
  d[ipHeader] = type;
  d[ipHeader + 4] = static_cast<uint8_t>(id);
  d[ipHeader + 5] = static_cast<uint8_t>(id >> 8);
  for (int i = 0; i < 4; ++i) d[ipHeader + 8 + i] = static_cast<uint8_t>(sent >> (8 * i));
  d.resize(ipHeader + icmpLength);
  return d;
}

TEST(IcmpEcho, ReadsReplies) {
  struct Case {
    const char* name;
    std::vector<uint8_t> datagram;
    bool hasIpHeader;
    ReplyKind kind;
    int32_t roundTrip;
  };
  const uint16_t own = 0xBEEF;
  const Case cases[] = {
      {"own reply after a 20-byte header", Datagram(20, 0, own, 1000), true, ReplyKind::kOwnReply,
       25},
      {"own reply after a header with options", Datagram(24, 0, own, 1020), true,
       ReplyKind::kOwnReply, 5},
      {"own reply from the datagram socket", Datagram(0, 0, own, 1000), false, ReplyKind::kOwnReply,
       25},
      {"tick count wrapped", Datagram(20, 0, own, 0xFFFFFFF0u), true, ReplyKind::kOwnReply,
       1025 + 16},
      {"another process's reply", Datagram(20, 0, own + 1, 1000), true, ReplyKind::kForeignReply,
       0},
      {"destination unreachable", Datagram(20, 3, own, 1000), true, ReplyKind::kNotReply, 0},
      {"an echo request", Datagram(20, 8, own, 1000), true, ReplyKind::kEchoRequest, 0},
      {"header plus 7 bytes", Datagram(20, 0, own, 1000, 7), true, ReplyKind::kTooShort, 0},
      {"reply without its send time", Datagram(20, 0, own, 1000, 10), true, ReplyKind::kTooShort,
       0},
      {"empty datagram", {}, true, ReplyKind::kTooShort, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t now = 1025;
    ReplyVerdict verdict =
        ReadEchoReply(c.datagram.data(), c.datagram.size(), c.hasIpHeader, own, now);
    EXPECT_EQ(verdict.kind, c.kind);
    if (c.kind == ReplyKind::kOwnReply) {
      EXPECT_EQ(verdict.roundTripMs, c.roundTrip);
    }
  }
}

// An ICMP error (after a 20-byte IP header) quoting an IP header of `protocol` to 10.0.0.9
// and the first `quotedBytes` bytes of an echo request with identifier `id`, sequence 9.
std::vector<uint8_t> Quoting(uint8_t type, uint8_t protocol, uint16_t id, size_t quotedBytes = 8) {
  std::vector<uint8_t> d(20 + 8 + 20 + 8, 0);
  d[0] = 0x45;
  d[20] = type;
  d[28] = 0x45;
  d[28 + 9] = protocol;
  const uint8_t to[4] = {10, 0, 0, 9};
  std::memcpy(d.data() + 28 + 16, to, 4);
  d[48] = 8;
  d[52] = static_cast<uint8_t>(id);
  d[53] = static_cast<uint8_t>(id >> 8);
  d[54] = 9;
  d.resize(48 + quotedBytes);
  return d;
}

// The one reading of a datagram, for the raw socket (with the IP header) and the datagram
// socket (without), replies and errors alike.
TEST(IcmpEcho, ParsesEveryKindOfDatagram) {
  struct Case {
    const char* name;
    std::vector<uint8_t> datagram;
    bool hasIpHeader;
    IcmpKind kind;
    uint16_t identifier, sequence;
    bool timed;
    bool quotes;
  };
  const uint16_t id = 0xBEEF;
  std::vector<uint8_t> sequenced = Datagram(20, 0, id, 1000);
  sequenced[26] = 7;
  std::vector<uint8_t> shortHeader = Datagram(20, 0, id, 1000);
  shortHeader[0] = 0x44;  // a header length of 16 bytes is no IPv4 header
  std::vector<uint8_t> request = Datagram(0, 8, id, 1000);
  request[6] = 3;
  const Case cases[] = {
      {"raw reply", sequenced, true, IcmpKind::kEchoReply, id, 7, true, false},
      {"datagram reply", Datagram(0, 0, id, 1000), false, IcmpKind::kEchoReply, id, 0, true, false},
      {"reply of another process", Datagram(0, 0, id + 1, 1000), false, IcmpKind::kEchoReply,
       static_cast<uint16_t>(id + 1), 0, true, false},
      {"reply cut before its send time", Datagram(0, 0, id, 1000, 11), false, IcmpKind::kEchoReply,
       id, 0, false, false},
      {"raw header plus 7 bytes", Datagram(20, 0, id, 1000, 7), true, IcmpKind::kTooShort, 0, 0,
       false, false},
      {"datagram of 7 bytes", Datagram(0, 0, id, 1000, 7), false, IcmpKind::kTooShort, 0, 0, false,
       false},
      {"raw datagram shorter than an IP header", std::vector<uint8_t>(19, 0x45), true,
       IcmpKind::kTooShort, 0, 0, false, false},
      {"raw header length below 20", shortHeader, true, IcmpKind::kTooShort, 0, 0, false, false},
      {"our request as the error queue returns it", request, false, IcmpKind::kEchoRequest, id, 3,
       false, false},
      {"timestamp request", Datagram(20, 13, id, 1000), true, IcmpKind::kOther, id, 0, false,
       false},
      {"unreachable quoting our request", Quoting(3, IPPROTO_ICMP, id), true, IcmpKind::kError, id,
       9, false, true},
      {"time exceeded quoting our request", Quoting(11, IPPROTO_ICMP, id), true, IcmpKind::kError,
       id, 9, false, true},
      {"unreachable quoting a UDP packet", Quoting(3, IPPROTO_UDP, id), true, IcmpKind::kError, 0,
       0, false, false},
      {"unreachable quoting 7 bytes of the request", Quoting(3, IPPROTO_ICMP, id, 7), true,
       IcmpKind::kError, 0, 0, false, false},
      {"unreachable without a quoted header", Datagram(20, 3, id, 1000, 20), true, IcmpKind::kError,
       0, 0, false, false},
  };
  in_addr_t quotedTo;
  const uint8_t to[4] = {10, 0, 0, 9};
  std::memcpy(&quotedTo, to, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const IcmpMessage m = ParseIcmpDatagram(c.datagram.data(), c.datagram.size(), c.hasIpHeader);
    EXPECT_EQ(m.kind, c.kind);
    EXPECT_EQ(m.identifier, c.identifier);
    EXPECT_EQ(m.sequence, c.sequence);
    EXPECT_EQ(m.timed, c.timed);
    if (c.timed) {
      EXPECT_EQ(m.sendTick, 1000u);
    }
    EXPECT_EQ(m.quotesEchoRequest, c.quotes);
    if (c.quotes) {
      EXPECT_EQ(m.quotedDestination, quotedTo);
    }
  }
}

}  // namespace
}  // namespace hostcheck
