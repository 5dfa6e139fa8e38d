#include "console/main_loop.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace console {

void MainLoop::AddTimer(int periodMs, std::function<void()> callback,
                        std::function<bool()> active) {
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.push_back(
      {periodMs, platform::MonotonicMs() + periodMs, std::move(callback), std::move(active)});
}

bool MainLoop::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || quit_) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

void MainLoop::Quit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void MainLoop::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    int64_t now = platform::MonotonicMs();
    int64_t next = now + 60000;
    for (Timer& t : timers_) {
      if (t.active && !t.active()) {
        t.dueMs = now + t.periodMs;
        continue;
      }
      if (t.dueMs <= now) {
        // A late timer fires once and is re-armed from now, never in a burst.
        t.dueMs = now + t.periodMs;
        auto callback = t.callback;
        lock.unlock();
        callback();
        lock.lock();
        now = platform::MonotonicMs();
      }
      next = std::min(next, t.dueMs);
    }
    if (!tasks_.empty() || quit_) continue;
    wake_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(next - now, 1)));
  }
  ended_ = true;
  std::deque<std::function<void()>> dropped;
  dropped.swap(tasks_);
  lock.unlock();
  // Dropping the tasks breaks their promises, which wakes every waiting HTTP thread.
  dropped.clear();
}

}  // namespace console
