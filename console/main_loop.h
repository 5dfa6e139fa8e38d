// The console's one thread of state: timers and a queue of tasks that other threads post,
// run in order like window messages. Only tasks and timer callbacks touch console state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace console {

class MainLoop {
 public:
  // Adds a periodic timer (monotonic clock). Call before Run. A timer with an `active` test
  // fires only while the test holds, and an idle one never wakes the loop; the test is asked
  // again after every task, so a task that gives the timer work arms it.
  void AddTimer(int periodMs, std::function<void()> callback,
                std::function<bool()> active = nullptr);

  // Queues a task from any thread. False once the loop has ended (the task is dropped).
  bool Post(std::function<void()> task);

  // Runs `task` on the loop and waits for its result, but at most `timeoutMs` for the task
  // to start. A task that has not started by then never runs (nothing when the loop is busy
  // or has ended); one that has started is waited for to its end, so it is never half done
  // behind the caller's back.
  template <typename F>
  auto CallWithin(int timeoutMs, F task) -> std::optional<decltype(task())> {
    using R = decltype(task());
    // 0: waiting, 1: started, 2: given up by the caller.
    auto stage = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> result = promise->get_future();
    if (!Post([stage, promise, task = std::move(task)]() mutable {
          int waiting = 0;
          if (stage->compare_exchange_strong(waiting, 1)) promise->set_value(task());
        })) {
      return std::nullopt;
    }
    try {
      if (result.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        int waiting = 0;
        if (stage->compare_exchange_strong(waiting, 2)) return std::nullopt;
      }
      return result.get();
    } catch (const std::future_error&) {
      return std::nullopt;
    }
  }

  // Runs timers and tasks until Quit; tasks still queued then are dropped.
  void Run();
  // Ends Run after the current task (any thread, and signal-safe through RequestQuitFlag).
  void Quit();

 private:
  struct Timer {
    int periodMs;
    int64_t dueMs;
    std::function<void()> callback;
    std::function<bool()> active;
  };
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::vector<Timer> timers_;
  bool quit_ = false;
  bool ended_ = false;
};

}  // namespace console
