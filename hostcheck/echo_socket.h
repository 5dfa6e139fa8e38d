// One ICMP socket for the echoes of a whole agent run: any number of threads send their
// requests through it at once, and one receiving thread hands each reply to the request it
// answers, matched by identifier and sequence number (every request of the socket carries
// its own sequence number) and by the address it came from.
//
// Each request is laid out as Ping lays it out (icmp_echo.h): the process's identifier, the
// send tick count and the fill; only the sequence number runs on over the socket's life
// instead of starting at 0 for every call.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hostcheck/deadline_loop.h"
#include "hostcheck/icmp_echo.h"

namespace hostcheck {

class EchoSocket {
 public:
  // Raw where the process may open one, else the unprivileged datagram socket. Null when
  // neither opens (or the receiving thread cannot start).
  static std::unique_ptr<EchoSocket> Open();
  ~EchoSocket();
  EchoSocket(const EchoSocket&) = delete;
  EchoSocket& operator=(const EchoSocket&) = delete;

  // One echo as Ping(host, timeoutMs, dataSize, 1, 0) does it: -901 unresolvable host,
  // -906 the send or the wait for the reply ran out (about `timeoutMs`, 0 meaning 10000),
  // -910 the request was not sent whole, -908 an ICMP error (destination unreachable and
  // the like) came back for this request; else the round trip in milliseconds. A late
  // reply to an earlier request to the same address counts as well, as it does for Ping.
  int32_t Echo(const char* host, int32_t timeoutMs, int32_t dataSize);

  // The same echo without waiting for it: `done` gets what Echo would return, exactly once,
  // on the calling thread before this returns when the echo ends before any wait (an
  // unresolvable host, a failed send), else on the socket's receiving thread. `done` must
  // be quick; it may start another echo.
  using Done = std::function<void(int32_t)>;
  void EchoAsync(const char* host, int32_t timeoutMs, int32_t dataSize, Done done);

  // Echoes sent and not yet answered or given up.
  size_t waiting();

  bool raw() const { return socket_.raw(); }

  // What a received datagram is, for the receiving thread (and the tests): the sequence
  // number, the address it concerns and the result for that request. False when the
  // datagram answers none of this socket's requests.
  struct Answer {
    uint16_t sequence;
    in_addr_t address;
    int32_t result;
  };
  static bool ReadAnswer(const uint8_t* datagram, size_t size, bool hasIpHeader, in_addr_t from,
                         uint16_t identifier, uint32_t nowTick, Answer* answer);

 private:
  struct Waiter {
    in_addr_t address;
    Done done;
  };

  EchoSocket() = default;
  void Deliver(const Answer& answer);
  // Ends the waiter of `sequence` under the lock and returns its callback (empty when none).
  Done Settle(uint16_t sequence);
  void DrainReplies();
  void DrainErrors();

  IcmpSocket socket_;
  uint16_t identifier_ = 0;  // as stored in the request: in memory order

  // Under loop_.mutex():
  uint16_t nextSequence_ = 0;
  std::vector<in_addr_t> sentTo_;  // the address of every sequence number, for late replies
  std::unordered_map<uint16_t, Waiter> waiting_;
  DeadlineLoop loop_;  // last: its thread ends before the rest goes
};

}  // namespace hostcheck
