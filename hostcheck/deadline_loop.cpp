#include "hostcheck/deadline_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/clock.h"

namespace hostcheck {

DeadlineLoop::~DeadlineLoop() {
  Stop();
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

bool DeadlineLoop::Start(Handlers handlers) {
  handlers_ = std::move(handlers);
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) return false;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wake_;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &wake) != 0) return false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void DeadlineLoop::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  Wake();
  thread_.join();
}

void DeadlineLoop::Wake() {
  uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) < 0) {
    // The thread looks at the deadlines and the flag at least once a second anyway.
  }
}

bool DeadlineLoop::SetDeadline(uint64_t key, int64_t atMs) {
  auto [it, added] = byKey_.emplace(key, atMs);
  if (!added) {
    byTime_.erase({it->second, key});
    it->second = atMs;
  }
  auto filed = byTime_.emplace(atMs, key).first;
  return filed == byTime_.begin();
}

void DeadlineLoop::CancelDeadline(uint64_t key) {
  auto it = byKey_.find(key);
  if (it == byKey_.end()) return;
  byTime_.erase({it->second, key});
  byKey_.erase(it);
}

bool DeadlineLoop::Watch(int fd, uint32_t events, bool added) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  return ::epoll_ctl(epoll_, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0;
}

void DeadlineLoop::Unwatch(int fd) {
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

// Until the nearest deadline, and at least once a second a look at the flag.
int DeadlineLoop::NextWaitMs() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (byTime_.empty()) return 1000;
  int64_t left = byTime_.begin()->first - platform::MonotonicMs();
  if (left <= 0) return 0;
  return left < 1000 ? static_cast<int>(left) : 1000;
}

void DeadlineLoop::Run() {
  constexpr int kBatch = 128;
  epoll_event events[kBatch];
  std::vector<std::function<void()>> due;
  while (!stopping_) {
    int n = ::epoll_wait(epoll_, events, kBatch, NextWaitMs());
    if (n < 0 && errno != EINTR) return;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wake_) {
        uint64_t count;
        if (::read(wake_, &count, sizeof count) < 0) {
          // Nothing to take: another look at the deadlines is all that was asked.
        }
        continue;
      }
      if (stopping_) return;
      handlers_.ready(events[i].data.fd, events[i].events);
    }
    if (stopping_) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      const int64_t now = platform::MonotonicMs();
      while (!byTime_.empty() && byTime_.begin()->first <= now) {
        const uint64_t key = byTime_.begin()->second;
        byTime_.erase(byTime_.begin());
        byKey_.erase(key);
        if (std::function<void()> after = handlers_.expired(key)) due.push_back(std::move(after));
      }
    }
    for (std::function<void()>& after : due) after();
    due.clear();
  }
}

}  // namespace hostcheck
