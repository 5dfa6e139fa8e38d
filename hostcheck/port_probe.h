// One TCP port probe as steps that whoever waits for its descriptor drives: a poll() on the
// calling thread (CheckPort), or one loop for the probes of a whole agent run, where a probe
// that waits for a dead host's connect holds no thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "hostcheck/deadline_loop.h"
#include "hostcheck/net_util.h"
#include "hostcheck/port_check.h"

namespace hostcheck {

class PortProbeSteps {
 public:
  PortProbeSteps(int32_t port, int32_t timeoutMs, PortProbe probe);

  // Opens the socket, resolves the host (a name lookup blocks) and starts the connect. True
  // when the probe is over already (see result()); else wait for events() on fd() until
  // deadline() and hand what came to Advance.
  bool Start(const char* host);
  // What the wait saw: poll's revents, 0 when the deadline passed first, negative when the
  // wait itself failed. True when the probe is over.
  bool Advance(int revents);

  int fd() const { return socket_.get(); }
  short events() const;
  int64_t deadline() const { return waitEnd_; }
  // As CheckPort returns it; the socket is closed once the probe is over.
  int32_t result() const { return result_; }

 private:
  enum class Step { kConnecting, kReading, kOver };
  bool Finish(int32_t result);
  bool Connected();
  bool NextRead();

  const int32_t port_;
  const int32_t timeout_;
  const PortProbe probe_;
  int64_t start_ = 0;
  int64_t overall_ = 0;
  int64_t waitEnd_ = 0;
  size_t received_ = 0;
  Step step_ = Step::kConnecting;
  int32_t result_ = 0;
  SocketHandle socket_;
};

// Runs many port probes at once on one thread (a deadline loop), none holding a thread while
// it waits.
class PortProbeLoop {
 public:
  // Null when the loop cannot start (epoll, eventfd or the thread).
  static std::unique_ptr<PortProbeLoop> Start();
  // Ends the thread; probes still open are closed without calling their `done`.
  ~PortProbeLoop();
  PortProbeLoop(const PortProbeLoop&) = delete;
  PortProbeLoop& operator=(const PortProbeLoop&) = delete;

  // Makes the probe CheckPort(host, port, timeoutMs, probe) makes. The name lookup and the
  // connect's start happen on the calling thread; the waits on the loop's. `done` is called
  // exactly once with what CheckPort would return: before Begin returns when the probe ends
  // without a wait, else on the loop's thread. It must be quick; it may begin another probe.
  void Begin(const char* host, int32_t port, int32_t timeoutMs, PortProbe probe,
             std::function<void(int32_t)> done);

  // Probes begun and not yet done.
  size_t open();

 private:
  struct Probe {
    std::unique_ptr<PortProbeSteps> steps;
    std::function<void(int32_t)> done;
  };

  PortProbeLoop() = default;
  // Hands `revents` to the probe of `fd` under the lock. What is to be called once the lock
  // is off: the ended probe's `done` (empty while it goes on).
  std::function<void()> Advance(int fd, int revents);

  std::unordered_map<int, Probe> probes_;  // by descriptor, under loop_.mutex()
  DeadlineLoop loop_;                      // last: its thread ends before the probes go
};

}  // namespace hostcheck
