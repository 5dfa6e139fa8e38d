// One ICMP socket shared by many echoes at once: each request gets its own answer, whoever
// else is answered or silent meanwhile, through the raw socket and through the ping socket.
#include "hostcheck/echo_socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
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

std::string Hex(const uint8_t* data, size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

// What each address of the tun's network does with a request: .2-.21 answer, .50-.59 stay
// silent, .99 is unreachable. Loopback answers too.
struct Target {
  std::string host;
  int32_t expect;  // 0: a round trip; else the code
};

std::vector<Target> Targets() {
  std::vector<Target> targets;
  for (int i = 2; i < 22; ++i) targets.push_back({"10.200.0." + std::to_string(i), 0});
  for (int i = 50; i < 60; ++i) targets.push_back({"10.200.0." + std::to_string(i), -906});
  targets.push_back({"10.200.0.99", -908});
  targets.push_back({"127.0.0.1", 0});
  targets.push_back({"no-such-host.invalid", -901});
  return targets;
}

// Runs every target's echo at once, three times over: each from its own thread through Echo,
// or all begun from this thread through EchoAsync. Prints "<host> <result>" lines, then
// "wire <requests>" and the identifiers and sequences seen.
std::string EchoAll(LabContext& lab, bool withoutWaiting) {
  std::unique_ptr<EchoSocket> socket = EchoSocket::Open();
  if (!socket) return "no socket\n";
  std::atomic<bool> done{false};
  std::vector<std::string> requests;
  std::thread answerer([&] {
    while (!done) {
      std::optional<std::string> packet = ReadTunPacket(lab.tunFd, 20);
      if (!packet || packet->size() < 28) continue;
      auto* bytes = reinterpret_cast<const uint8_t*>(packet->data());
      size_t header = static_cast<size_t>(bytes[0] & 0x0F) * 4;
      if (bytes[9] != IPPROTO_ICMP || bytes[header] != 8) continue;
      requests.push_back(packet->substr(header));
      int last = bytes[19];
      if (last >= 2 && last < 22) AnswerEcho(lab.tunFd, *packet, TunAnswer::kReply);
      if (last == 99) AnswerEcho(lab.tunFd, *packet, TunAnswer::kUnreachable);
    }
  });
  std::vector<Target> targets = Targets();
  std::vector<std::string> lines(targets.size() * 3);
  std::vector<std::thread> threads;
  const int64_t start = platform::MonotonicMs();
  std::mutex mutex;
  std::condition_variable answered;
  size_t answers = 0, calls = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Target& t = targets[i % targets.size()];
    if (!withoutWaiting) {
      threads.emplace_back([&, i] {
        lines[i] = t.host + " " + std::to_string(socket->Echo(t.host.c_str(), 400, 32));
      });
      continue;
    }
    socket->EchoAsync(t.host.c_str(), 400, 32, [&, i](int32_t result) {
      std::lock_guard<std::mutex> hold(mutex);
      lines[i] += t.host + " " + std::to_string(result);
      ++calls;
      answered.notify_one();
    });
  }
  for (std::thread& t : threads) t.join();
  if (withoutWaiting) {
    std::unique_lock<std::mutex> hold(mutex);
    answered.wait(hold, [&] { return calls == lines.size(); });
    answers = socket->waiting();
  }
  const int64_t elapsed = platform::MonotonicMs() - start;
  ::usleep(100 * 1000);
  done = true;
  answerer.join();
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  if (answers != 0) out += "still waiting " + std::to_string(answers) + "\n";
  out += "elapsed " + std::to_string(elapsed) + "\n";
  out += "pid " + std::to_string(::getpid() & 0xFFFF) + "\n";
  for (const std::string& m : requests) {
    out += "wire " + Hex(reinterpret_cast<const uint8_t*>(m.data()), m.size()) + "\n";
  }
  return out;
}

void CheckEchoAll(bool withoutRawSocket, bool withoutWaiting = false) {
  LabOptions options;
  options.tun = true;
  options.withoutRawSocket = withoutRawSocket;
  LabRun run = RunInNetLab(options, [&](LabContext& lab) { return EchoAll(lab, withoutWaiting); });
  if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
  ASSERT_FALSE(run.crashed) << run.output;
  ASSERT_NE(run.output, "no socket\n");

  std::map<std::string, int32_t> expect;
  for (const Target& t : Targets()) expect[t.host] = t.expect;
  std::istringstream in(run.output);
  std::string word;
  size_t results = 0;
  long pid = -1;
  std::set<int> sequences;
  while (in >> word) {
    if (word == "elapsed") {
      long ms = 0;
      in >> ms;
      // 99 echoes side by side, each silent one waiting its 400 ms: far less than in a row.
      EXPECT_LT(ms, 10 * 400) << "the echoes waited one after another";
    } else if (word == "pid") {
      in >> pid;
    } else if (word == "wire") {
      std::string hex;
      in >> hex;
      ASSERT_EQ(hex.size(), 88u) << "44 bytes: header, send time and 32 bytes of fill";
      EXPECT_EQ(hex.substr(0, 4), "0800");
      const int id = std::stoi(hex.substr(10, 2) + hex.substr(8, 2), nullptr, 16);
      EXPECT_EQ(id, pid);
      sequences.insert(std::stoi(hex.substr(14, 2) + hex.substr(12, 2), nullptr, 16));
      std::string fill;
      for (int i = 0; i < 32; ++i) fill += "45";
      EXPECT_EQ(hex.substr(24), fill) << "32 bytes of \"E\"";
    } else {
      int32_t result = 0;
      in >> result;
      ++results;
      ASSERT_TRUE(expect.count(word)) << word;
      if (expect[word] == 0) {
        EXPECT_GE(result, 0) << word;
      } else {
        EXPECT_EQ(result, expect[word]) << word;
      }
    }
  }
  EXPECT_EQ(results, Targets().size() * 3);
  // Every request the tun saw had a sequence number of its own: 3 x 31 requests.
  EXPECT_EQ(sequences.size(), 31u * 3);
}

TEST(EchoSocket, ManyEchoesAtOnceThroughTheRawSocket) {
  CheckEchoAll(false);
}

TEST(EchoSocket, ManyEchoesAtOnceThroughThePingSocket) {
  CheckEchoAll(true);
}

// Begun without waiting, from one thread: each answer (or time-out) comes exactly once, on
// its own, and nothing is left waiting.
TEST(EchoSocket, EchoesBegunWithoutWaitingEachEndOnce) {
  CheckEchoAll(false, true);
  CheckEchoAll(true, true);
}

// The reading of received datagrams: replies by identifier, errors by the request they quote.
TEST(EchoSocket, AnswersAreMatchedByIdentifierAndQuotedRequest) {
  const uint16_t id = 0x1234;
  uint8_t reply[8 + 36] = {0, 0, 0, 0, 0x34, 0x12, 0x07, 0x00, 100, 0, 0, 0};
  uint8_t foreign[8 + 36] = {0, 0, 0, 0, 0x35, 0x12, 0x07, 0x00, 100, 0, 0, 0};
  // An IP header (20 bytes) + destination unreachable quoting an IP header to 10.0.0.9 and
  // the first 8 bytes of our request with sequence 9.
  uint8_t error[20 + 8 + 20 + 8] = {0x45};
  error[20] = 3;
  error[28] = 0x45;
  error[28 + 9] = IPPROTO_ICMP;
  const uint8_t to[4] = {10, 0, 0, 9};
  std::memcpy(error + 28 + 16, to, 4);
  error[48] = 8, error[52] = 0x34, error[53] = 0x12, error[54] = 9;
  in_addr_t target;
  std::memcpy(&target, to, 4);

  EchoSocket::Answer a{};
  ASSERT_TRUE(EchoSocket::ReadAnswer(reply, sizeof reply, false, 77, id, 150, &a));
  EXPECT_EQ(a.sequence, 7);
  EXPECT_EQ(a.address, 77u);
  EXPECT_EQ(a.result, 50) << "now minus the echoed send time";
  EXPECT_FALSE(EchoSocket::ReadAnswer(foreign, sizeof foreign, false, 77, id, 150, &a));
  EXPECT_FALSE(EchoSocket::ReadAnswer(reply, 11, false, 77, id, 150, &a)) << "no send time";
  ASSERT_TRUE(EchoSocket::ReadAnswer(error, sizeof error, true, 1, id, 0, &a));
  EXPECT_EQ(a.sequence, 9);
  EXPECT_EQ(a.address, target) << "the quoted destination, not the router that answered";
  EXPECT_EQ(a.result, -908);
  EXPECT_FALSE(EchoSocket::ReadAnswer(error, sizeof error - 1, true, 1, id, 0, &a));
  error[52] = 0x35;
  EXPECT_FALSE(EchoSocket::ReadAnswer(error, sizeof error, true, 1, id, 0, &a))
      << "an error about another process's request";
}

}  // namespace
}  // namespace hostcheck
