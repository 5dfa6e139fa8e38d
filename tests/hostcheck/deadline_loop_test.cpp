// The loop under the port probes and the echo socket: deadlines that pass once each, in
// order, cancelled or moved ones, a nearer deadline that wakes a long wait, descriptors.
#include "hostcheck/deadline_loop.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace hostcheck {
namespace {

// Records when each key's deadline passed, and the descriptors found ready.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<uint64_t, int64_t>> expired;  // key, monotonic ms
  std::vector<int> ready;

  DeadlineLoop::Handlers Handlers() {
    DeadlineLoop::Handlers h;
    h.ready = [this](int fd, uint32_t events) {
      uint64_t count;
      if (events & EPOLLIN) {
        EXPECT_EQ(::read(fd, &count, sizeof count), 8);
      }
      std::lock_guard<std::mutex> hold(mutex);
      ready.push_back(fd);
      changed.notify_all();
    };
    h.expired = [this](uint64_t key) -> std::function<void()> {
      return [this, key, at = platform::MonotonicMs()] {
        std::lock_guard<std::mutex> hold(mutex);
        expired.emplace_back(key, at);
        changed.notify_all();
      };
    };
    return h;
  }
  bool WaitFor(size_t expiredCount, int ms) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(ms),
                            [&] { return expired.size() >= expiredCount; });
  }
};

TEST(DeadlineLoop, ManyDeadlinesPassOnceEachInOrder) {
  Recorder r;
  DeadlineLoop loop;
  ASSERT_TRUE(loop.Start(r.Handlers()));
  const int64_t start = platform::MonotonicMs();
  std::map<uint64_t, int64_t> due;
  {
    std::lock_guard<std::mutex> hold(loop.mutex());
    for (uint64_t key = 0; key < 300; ++key) {
      due[key] = start + 20 + static_cast<int64_t>((key * 37) % 60) * 3;
      loop.SetDeadline(key, due[key]);
    }
    EXPECT_EQ(loop.deadlines(), 300u);
  }
  loop.Wake();
  ASSERT_TRUE(r.WaitFor(300, 5000));
  std::lock_guard<std::mutex> hold(r.mutex);
  ASSERT_EQ(r.expired.size(), 300u);
  std::map<uint64_t, int> seen;
  int64_t lastDue = 0;
  for (const auto& [key, at] : r.expired) {
    ++seen[key];
    EXPECT_GE(at, due[key]) << key << " passed early";
    EXPECT_GE(due[key], lastDue) << key << " out of order";
    lastDue = due[key];
  }
  EXPECT_EQ(seen.size(), 300u);
  std::lock_guard<std::mutex> held(loop.mutex());
  EXPECT_EQ(loop.deadlines(), 0u);
}

TEST(DeadlineLoop, CancelledDeadlinesNeverPassAndMovedOnesPassLater) {
  Recorder r;
  DeadlineLoop loop;
  ASSERT_TRUE(loop.Start(r.Handlers()));
  const int64_t start = platform::MonotonicMs();
  {
    std::lock_guard<std::mutex> hold(loop.mutex());
    for (uint64_t key = 1; key <= 10; ++key) loop.SetDeadline(key, start + 80);
    for (uint64_t key = 2; key <= 10; key += 2) loop.CancelDeadline(key);
    loop.CancelDeadline(99);  // never filed: nothing happens
    EXPECT_FALSE(loop.SetDeadline(1, start + 300)) << "moved behind the others";
    EXPECT_EQ(loop.deadlines(), 5u);
  }
  ASSERT_TRUE(r.WaitFor(5, 3000));
  ::usleep(150 * 1000);  // time for a cancelled one to show up, were it to
  std::lock_guard<std::mutex> hold(r.mutex);
  ASSERT_EQ(r.expired.size(), 5u);
  std::vector<uint64_t> keys;
  for (const auto& [key, at] : r.expired) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<uint64_t>{3, 5, 7, 9, 1}));
  EXPECT_GE(r.expired.back().second, start + 300);
}

// The loop waits up to a second when its nearest deadline is far; a nearer one filed
// meanwhile is reported as the nearest and, once woken, passes on time.
TEST(DeadlineLoop, ANearerDeadlineWakesALongWait) {
  Recorder r;
  DeadlineLoop loop;
  ASSERT_TRUE(loop.Start(r.Handlers()));
  {
    std::lock_guard<std::mutex> hold(loop.mutex());
    EXPECT_TRUE(loop.SetDeadline(1, platform::MonotonicMs() + 10000));
  }
  loop.Wake();
  ::usleep(50 * 1000);  // the loop is in its long wait now
  const int64_t filed = platform::MonotonicMs();
  bool nearest;
  {
    std::lock_guard<std::mutex> hold(loop.mutex());
    nearest = loop.SetDeadline(2, filed + 30);
    EXPECT_FALSE(loop.SetDeadline(3, filed + 20000));
  }
  EXPECT_TRUE(nearest);
  loop.Wake();
  ASSERT_TRUE(r.WaitFor(1, 3000));
  std::lock_guard<std::mutex> hold(r.mutex);
  EXPECT_EQ(r.expired[0].first, 2u);
  EXPECT_LT(r.expired[0].second - filed, 500) << "the wake-up was not seen";
}

TEST(DeadlineLoop, ReadyDescriptorsAndStop) {
  Recorder r;
  DeadlineLoop loop;
  ASSERT_TRUE(loop.Start(r.Handlers()));
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(loop.Watch(fd, EPOLLIN, true));
  uint64_t one = 1;
  ASSERT_EQ(::write(fd, &one, sizeof one), 8);
  {
    std::unique_lock<std::mutex> hold(r.mutex);
    ASSERT_TRUE(
        r.changed.wait_for(hold, std::chrono::seconds(3), [&] { return !r.ready.empty(); }));
    EXPECT_EQ(r.ready[0], fd);
  }
  // Off the loop, the descriptor is not reported; after Stop, no deadline passes.
  loop.Unwatch(fd);
  ASSERT_EQ(::write(fd, &one, sizeof one), 8);
  {
    std::lock_guard<std::mutex> hold(loop.mutex());
    loop.SetDeadline(7, platform::MonotonicMs() + 50);
  }
  loop.Stop();
  ::usleep(150 * 1000);
  std::lock_guard<std::mutex> hold(r.mutex);
  EXPECT_EQ(r.ready.size(), 1u);
  EXPECT_TRUE(r.expired.empty());
  ::close(fd);
}

}  // namespace
}  // namespace hostcheck
