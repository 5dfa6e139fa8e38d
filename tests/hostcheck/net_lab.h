// A network namespace of the test's own, made in a child process: loopback up and,
// on request, a tun device t0 (10.200.0.1/24) whose other addresses never answer unless
// the test answers for them by reading and writing the device. Nothing leaves it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace hostchecktest {

struct LabOptions {
  bool tun = false;               // create t0 with 10.200.0.1/24
  bool withoutRawSocket = false;  // drop the right to open raw sockets
  bool pingSocketAllowed = true;  // with withoutRawSocket: open ping sockets to the user
};

struct LabContext {
  int tunFd = -1;  // the device's descriptor (packets sent to 10.200.0.x arrive here)
};

struct LabRun {
  std::string skipReason;  // set when the namespace could not be made
  std::string output;      // what the body returned
  bool crashed = false;
};

// Runs `body` in a child inside the new namespace and returns its text. The body must not
// use gtest assertions (it runs in another process); it reports through its text.
LabRun RunInNetLab(const LabOptions& options, const std::function<std::string(LabContext&)>& body);

// Writes an ICMP echo reply (or a crafted answer) into the tun device for a request read
// from it. Answers: mirror the request as a reply; a reply with another identifier; a
// destination-unreachable message quoting the request.
enum class TunAnswer { kReply, kForeignReply, kUnreachable };
bool AnswerEcho(int tunFd, const std::string& requestPacket, TunAnswer answer);

// Reads one IPv4 packet from the tun device, waiting up to `timeoutMs`.
std::optional<std::string> ReadTunPacket(int tunFd, int timeoutMs);

}  // namespace hostchecktest
