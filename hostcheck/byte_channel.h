// The bytes of one connection as the web fetch reads and writes them: the socket itself, or
// TLS over it. Both work on a non-blocking socket and never wait inside a call; a caller
// waits with WaitReceive/WaitSend (bounded by its own time-outs) and calls again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace hostcheck {

class ByteChannel {
 public:
  // Results of Receive and Send besides a count of bytes (and 0: the peer closed).
  static constexpr long kAgain = -1;   // nothing now: wait and call again
  static constexpr long kFailed = -2;  // the connection failed
  static constexpr long kReset = -3;   // Send: the peer reset or closed the connection

  virtual ~ByteChannel() = default;
  virtual long Receive(char* buffer, size_t size) = 0;
  virtual long Send(const char* data, size_t size) = 0;
  // Waits up to `timeoutMs` until a Receive (or Send) call may make progress: the poll
  // events seen, 0 on time-out, -1 on a poll failure.
  virtual int WaitReceive(int timeoutMs) = 0;
  virtual int WaitSend(int timeoutMs) = 0;
};

// The socket's own bytes: recv() and send() without waiting.
class PlainChannel : public ByteChannel {
 public:
  explicit PlainChannel(int fd) : fd_(fd) {}
  long Receive(char* buffer, size_t size) override;
  long Send(const char* data, size_t size) override;
  int WaitReceive(int timeoutMs) override;
  int WaitSend(int timeoutMs) override;

 private:
  int fd_;
};

}  // namespace hostcheck
