// One thread that waits for descriptors and deadlines at once: the skeleton under the
// port probes of an agent run and the echo socket. Its owner registers descriptors (epoll),
// files a deadline per key (a descriptor, a sequence number), and is called back for each
// descriptor that is ready and each deadline that passes. A deadline nearer than the
// thread's current wait wakes it through an eventfd; it looks at the clock at least once
// a second anyway.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

namespace hostcheck {

class DeadlineLoop {
 public:
  struct Handlers {
    // A registered descriptor's events (epoll's, which match poll's), on the loop's thread,
    // the lock not held.
    std::function<void(int fd, uint32_t events)> ready;
    // The deadline of `key` passed: its entry is gone already. Called on the loop's thread
    // with the lock held; what must run without the lock (a callback) it returns.
    std::function<std::function<void()>(uint64_t key)> expired;
  };

  DeadlineLoop() = default;
  ~DeadlineLoop();
  DeadlineLoop(const DeadlineLoop&) = delete;
  DeadlineLoop& operator=(const DeadlineLoop&) = delete;

  // Starts the thread. False when epoll, the eventfd or the thread cannot start.
  bool Start(Handlers handlers);
  // Ends the thread and waits for it; no handler runs after. An owner calls it before its
  // own state goes.
  void Stop();

  // The lock that guards the deadlines (and whatever the owner keeps beside them).
  std::mutex& mutex() { return mutex_; }
  // With the lock held: files (or moves) the deadline of `key` at monotonic `atMs`. True
  // when it is now the nearest, which the owner passes on with Wake() once the lock is off.
  bool SetDeadline(uint64_t key, int64_t atMs);
  // With the lock held: `key` has no deadline any more (nothing when it had none).
  void CancelDeadline(uint64_t key);
  // With the lock held: how many deadlines are filed.
  size_t deadlines() const { return byKey_.size(); }

  // Lets the thread look at the deadlines again.
  void Wake();

  // Registers `fd` for `events` (or changes them); Unwatch takes it off. False when epoll
  // refuses.
  bool Watch(int fd, uint32_t events, bool added);
  void Unwatch(int fd);

 private:
  void Run();
  int NextWaitMs();

  Handlers handlers_;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd: look at the deadlines again, or end (stopping_)
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::set<std::pair<int64_t, uint64_t>> byTime_;  // monotonic ms, key
  std::unordered_map<uint64_t, int64_t> byKey_;
  std::thread thread_;
};

}  // namespace hostcheck
