// Socket helpers shared by the checks: host resolution, bounded connect, waits with poll().
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace hostcheck {

// 0 (and any negative value) means 10000 ms.
int32_t EffectiveTimeout(int32_t timeoutMs);

// The overall deadline of one check with this time-out: 10 times the time-out, at most 5
// minutes. Each wait keeps its own time-out; a peer that answers every wait just in time
// (one byte at a time) is cut off here.
int64_t OverallDeadlineMs(int32_t timeoutMs);

// True when the text holds only the digits 0-9 and ".", the form that is converted as a
// dotted IPv4 address and never looked up by name.
bool IsDottedText(const char* host);

// The dotted conversion alone (a.b.c.d and the shorter classic forms).
std::optional<in_addr> ConvertDotted(const char* host);

// Dotted text is converted; any other text is looked up by name (IPv4) and the first
// address of the answer is used. Nothing when either fails.
std::optional<in_addr> ResolveHost(const char* host);

// Closes the descriptor when it goes out of scope.
class SocketHandle {
 public:
  explicit SocketHandle(int fd = -1) : fd_(fd) {}
  ~SocketHandle();
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held so far and holds `fd` instead.
  void Reset(int fd = -1);

 private:
  int fd_;
};

// Connects the socket to address:port, never waiting longer than `timeoutMs`. The
// socket's blocking mode is kept as it was. True when the connection is established.
bool ConnectWithin(int fd, in_addr address, uint16_t port, int32_t timeoutMs);

// Waits up to `timeoutMs` (0: just look) for any of `events` on the descriptor. Returns
// the revents seen, 0 on time-out, -1 on a poll failure. Interrupted waits resume with
// the time that is left.
int WaitFor(int fd, short events, int timeoutMs);

// Sleeps until the monotonic time `untilMs` (nothing when it has passed).
void SleepUntil(int64_t untilMs);

bool SetNonBlocking(int fd, bool on);

}  // namespace hostcheck
