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

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

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

  bool raw() const { return raw_; }

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
    bool done = false;
    int32_t result = 0;
    std::condition_variable answered;
  };

  EchoSocket() = default;
  void Receive();
  void Deliver(const Answer& answer);
  void DrainReplies();
  void DrainErrors();

  int fd_ = -1;
  int wake_ = -1;  // eventfd that ends the receiving thread
  bool raw_ = false;
  uint16_t identifier_ = 0;  // as stored in the request: in memory order

  std::mutex mutex_;
  uint16_t nextSequence_ = 0;
  std::vector<in_addr_t> sentTo_;  // the address of every sequence number, for late replies
  std::unordered_map<uint16_t, Waiter*> waiting_;
  std::thread receiver_;
};

}  // namespace hostcheck
