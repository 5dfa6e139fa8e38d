// Ping against answers the test gives itself: loopback and a tun device in a network
// namespace of the test's own, through the raw socket and through the ping socket that an
// unprivileged user gets.
#include "hostcheck/ping.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "hostcheck/icmp_echo.h"
#include "net_lab.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

using hostchecktest::AnswerEcho;
using hostchecktest::LabContext;
using hostchecktest::LabOptions;
using hostchecktest::LabRun;
using hostchecktest::ReadTunPacket;
using hostchecktest::RunInNetLab;
using hostchecktest::TunAnswer;

// What the tun device answers for the echo requests it sees.
// kForeignOnly answers each request with a reply for another process, for 5 s.
enum class Responder { kSilent, kReply, kForeignThenReply, kUnreachable, kForeignOnly };

// The facts one Ping call leaves: its result, its duration and the requests on the wire.
struct PingRecord {
  int32_t result = 0;
  int64_t elapsedMs = 0;
  std::vector<std::string> requests;  // ICMP messages (IP header stripped)
};

std::string Encode(const PingRecord& r) {
  std::ostringstream out;
  out << r.result << ' ' << r.elapsedMs << ' ' << r.requests.size();
  for (const std::string& m : r.requests) {
    out << ' ';
    for (unsigned char c : m) out << std::hex << (c >> 4) << (c & 15) << std::dec;
  }
  return out.str();
}

PingRecord Decode(const std::string& text) {
  std::istringstream in(text);
  PingRecord r;
  size_t n = 0;
  in >> r.result >> r.elapsedMs >> n;
  for (size_t i = 0; i < n; ++i) {
    std::string hex;
    in >> hex;
    std::string bytes;
    for (size_t j = 0; j + 1 < hex.size(); j += 2) {
      bytes += static_cast<char>(std::stoi(hex.substr(j, 2), nullptr, 16));
    }
    r.requests.push_back(bytes);
  }
  return r;
}

// Runs one Ping inside the lab while a thread answers on the tun device.
PingRecord PingThroughTun(LabContext& lab, Responder responder, const char* host, int32_t timeoutMs,
                          int32_t dataSize, int32_t count, int32_t pauseMs) {
  PingRecord record;
  std::atomic<bool> done{false};
  std::thread answerer([&] {
    const int64_t foreignUntil = platform::MonotonicMs() + 5000;
    while (!done) {
      std::optional<std::string> packet = ReadTunPacket(lab.tunFd, 50);
      if (!packet || packet->size() < 28) continue;
      auto* bytes = reinterpret_cast<const uint8_t*>(packet->data());
      size_t header = static_cast<size_t>(bytes[0] & 0x0F) * 4;
      if ((bytes[0] >> 4) != 4 || bytes[9] != IPPROTO_ICMP || bytes[header] != 8) continue;
      record.requests.push_back(packet->substr(header));
      switch (responder) {
        case Responder::kSilent:
          break;
        case Responder::kReply:
          AnswerEcho(lab.tunFd, *packet, TunAnswer::kReply);
          break;
        case Responder::kForeignThenReply:
          AnswerEcho(lab.tunFd, *packet, TunAnswer::kForeignReply);
          AnswerEcho(lab.tunFd, *packet, TunAnswer::kReply);
          break;
        case Responder::kUnreachable:
          AnswerEcho(lab.tunFd, *packet, TunAnswer::kUnreachable);
          break;
        case Responder::kForeignOnly:
          if (platform::MonotonicMs() < foreignUntil) {
            AnswerEcho(lab.tunFd, *packet, TunAnswer::kForeignReply);
          }
          break;
      }
    }
  });
  int64_t start = platform::MonotonicMs();
  record.result = PingHost(host, timeoutMs, dataSize, count, pauseMs);
  record.elapsedMs = platform::MonotonicMs() - start;
  ::usleep(100 * 1000);  // let the answerer see what was sent last
  done = true;
  answerer.join();
  return record;
}

struct Scenario {
  const char* name;
  Responder responder;
  const char* host;
  int32_t timeoutMs, dataSize, count, pauseMs;
};

// Every scenario runs through the raw socket and, for a user without raw-socket rights,
// through the ping socket: the results must be the same.
const Scenario kScenarios[] = {
    {"three replies of 100 bytes", Responder::kReply, "10.200.0.2", 3000, 100, 3, 300},
    {"default size", Responder::kReply, "10.200.0.2", 3000, 0, 1, 0},
    {"no answer", Responder::kSilent, "10.200.0.3", 300, 32, 1, 0},
    {"another process's reply first", Responder::kForeignThenReply, "10.200.0.2", 3000, 32, 1, 0},
    {"destination unreachable", Responder::kUnreachable, "10.200.0.2", 3000, 32, 1, 0},
    // Each foreign reply comes in time and the request is sent again; the echo still ends
    // at its overall deadline, 10 times the time-out.
    {"only replies for another process", Responder::kForeignOnly, "10.200.0.2", 100, 32, 1, 0},
};

std::vector<PingRecord> RunScenarios(bool withoutRawSocket, std::string* skip) {
  LabOptions options;
  options.tun = true;
  options.withoutRawSocket = withoutRawSocket;
  LabRun run = RunInNetLab(options, [](LabContext& lab) {
    std::string out = std::to_string(::getpid() & 0xFFFF) + "\n";
    for (const Scenario& s : kScenarios) {
      out += Encode(PingThroughTun(lab, s.responder, s.host, s.timeoutMs, s.dataSize, s.count,
                                   s.pauseMs)) +
             "\n";
    }
    return out;
  });
  *skip = run.skipReason;
  std::vector<PingRecord> records;
  if (!skip->empty()) return records;
  EXPECT_FALSE(run.crashed) << run.output;
  std::istringstream lines(run.output);
  std::string line;
  std::getline(lines, line);
  PingRecord pid;
  pid.result = std::stoi(line);
  records.push_back(pid);  // first entry: the lab's process identifier
  while (std::getline(lines, line)) records.push_back(Decode(line));
  return records;
}

uint16_t Le16(const std::string& m, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(m[at]) |
                               (static_cast<uint8_t>(m[at + 1]) << 8));
}

void CheckScenarios(bool withoutRawSocket) {
  std::string skip;
  std::vector<PingRecord> records = RunScenarios(withoutRawSocket, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_EQ(records.size(), std::size(kScenarios) + 1);
  const uint16_t pid = static_cast<uint16_t>(records[0].result);

  const PingRecord& three = records[1];
  EXPECT_GE(three.result, 0);
  EXPECT_GE(three.elapsedMs, 2 * 300 - 20) << "two pauses of 300 ms";
  ASSERT_EQ(three.requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string& m = three.requests[i];
    SCOPED_TRACE(i);
    ASSERT_EQ(m.size(), 112u);
    EXPECT_EQ(m[0], 8);
    EXPECT_EQ(m[1], 0);
    EXPECT_EQ(Le16(m, 6), i) << "sequence";
    // The raw socket sends the process identifier; the ping socket asks for the same one
    // (free in a namespace of our own), so both put the same request on the wire.
    EXPECT_EQ(Le16(m, 4), pid);
    EXPECT_EQ(InternetChecksum(reinterpret_cast<const uint8_t*>(m.data()), m.size()), 0);
    EXPECT_EQ(m.substr(12), std::string(100, 'E'));
  }
  EXPECT_GE((Le16(three.requests[2], 8) - Le16(three.requests[0], 8)) & 0xFFFF, 2 * 300 - 20)
      << "the send times are tick counts";

  const PingRecord& plain = records[2];
  EXPECT_GE(plain.result, 0);
  ASSERT_EQ(plain.requests.size(), 1u);
  EXPECT_EQ(plain.requests[0].size(), 44u);

  const PingRecord& silent = records[3];
  EXPECT_EQ(silent.result, -906);
  EXPECT_GE(silent.elapsedMs, 280);
  EXPECT_LT(silent.elapsedMs, 5000);

  const PingRecord& foreign = records[4];
  EXPECT_GE(foreign.result, 0) << "a reply for someone else never ends the call";
  EXPECT_GE(foreign.requests.size(), 1u);

  EXPECT_EQ(records[5].result, -908);

  const PingRecord& flood = records[6];
  EXPECT_EQ(flood.result, -906);
  EXPECT_LT(flood.elapsedMs, 3000) << "ends by its deadline, not when the replies stop";
}

TEST(Ping, AnswersThroughTheRawSocket) {
  CheckScenarios(false);
}

TEST(Ping, SameAnswersThroughThePingSocketWithoutRawRights) {
  CheckScenarios(true);
}

// Loopback answers at once: the reply is taken without a polling pause.
TEST(Ping, LoopbackThroughBothSockets) {
  for (bool withoutRaw : {false, true}) {
    SCOPED_TRACE(withoutRaw ? "ping socket" : "raw socket");
    LabOptions options;
    options.withoutRawSocket = withoutRaw;
    LabRun run = RunInNetLab(options, [](LabContext&) {
      std::string out;
      int64_t start = platform::MonotonicMs();
      for (int i = 0; i < 50; ++i)
        out += std::to_string(PingHost("127.0.0.1", 2000, 32, 1, 0)) + " ";
      out += std::to_string(PingHost("localhost", 2000, 32, 1, 0)) + " ";
      out += std::to_string(platform::MonotonicMs() - start);
      return out;
    });
    if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
    ASSERT_FALSE(run.crashed);
    std::istringstream in(run.output);
    for (int i = 0; i < 51; ++i) {
      int32_t result = -1;
      in >> result;
      EXPECT_GE(result, 0) << i;
      EXPECT_LT(result, 1000) << i;
    }
    int64_t elapsed = 0;
    in >> elapsed;
    EXPECT_LT(elapsed, 51 * 10) << "51 loopback pings must not wait 10 ms each";
  }
}

// Where no namespace of our own can be made, loopback of this machine still answers.
TEST(Ping, LoopbackHere) {
  int probe = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (probe < 0) probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
  if (probe < 0) GTEST_SKIP() << "this user may open neither a raw nor a ping socket";
  ::close(probe);
  int32_t result = PingHost("127.0.0.1", 2000, 64, 3, 20);
  EXPECT_GE(result, 0);
  EXPECT_LT(result, 1000);
}

TEST(Ping, ErrorCodesBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    bool pingSocketAllowed;
    const char* host;
    int32_t expected;
  };
  const Case cases[] = {
      {"neither socket may be opened", false, "127.0.0.1", -900},
      {"a name no resolver answers", true, "no-such-host.invalid", -901},
      {"dotted text that is no address", true, "1.2.3.4.5", -901},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LabOptions options;
    options.withoutRawSocket = !c.pingSocketAllowed;
    options.pingSocketAllowed = c.pingSocketAllowed;
    LabRun run = RunInNetLab(
        options, [&](LabContext&) { return std::to_string(PingHost(c.host, 1000, 32, 1, 0)); });
    if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
    EXPECT_EQ(run.output, std::to_string(c.expected));
  }
}

TEST(Ping, ZeroTimeoutWaitsTenSeconds) {
  LabOptions options;
  options.tun = true;
  LabRun run = RunInNetLab(options, [](LabContext& lab) {
    return Encode(PingThroughTun(lab, Responder::kSilent, "10.200.0.3", 0, 32, 1, 0));
  });
  if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
  PingRecord r = Decode(run.output);
  EXPECT_EQ(r.result, -906);
  EXPECT_GE(r.elapsedMs, 9900);
  EXPECT_LT(r.elapsedMs, 20000);
}

}  // namespace
}  // namespace hostcheck
