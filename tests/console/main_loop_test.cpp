#include "console/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace console {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, CallWithinGivesUpOnABusyLoopAndTheTaskNeverRuns) {
  MainLoop loop;
  std::thread runner([&loop] { loop.Run(); });
  EXPECT_EQ(loop.CallWithin(5000, [] { return 7; }), 7);

  // The loop is held by a long task: the next call gives up, and its task is skipped.
  std::atomic<bool> release{false};
  loop.Post([&release] {
    while (!release) std::this_thread::sleep_for(1ms);
  });
  std::atomic<int> ran{0};
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.CallWithin(100, [&ran] { return ++ran; }).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  release = true;
  EXPECT_EQ(loop.CallWithin(5000, [] { return 1; }), 1);
  EXPECT_EQ(ran, 0);

  // A task that has started is waited for to its end, even past the bound.
  EXPECT_EQ(loop.CallWithin(1000,
                            [] {
                              std::this_thread::sleep_for(1500ms);
                              return 3;
                            }),
            3);
  loop.Quit();
  runner.join();
  EXPECT_FALSE(loop.CallWithin(100, [] { return 1; }).has_value());
}

// A timer with nothing to do sleeps: it neither fires nor wakes the loop, and the task that
// gives it work arms it at once.
TEST(MainLoop, AnIdleTimerSleepsUntilATaskGivesItWork) {
  MainLoop loop;
  bool working = false;  // touched on the loop only
  std::atomic<int> fired{0}, asked{0};
  loop.AddTimer(
      10, [&fired] { ++fired; },
      [&working, &asked] {
        ++asked;
        return working;
      });
  std::thread runner([&loop] { loop.Run(); });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(fired, 0);
  EXPECT_LT(asked, 5) << "an idle timer must not wake the loop every period";
  loop.Post([&working] { working = true; });
  for (int i = 0; i < 500 && fired < 5; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GE(fired, 5);
  EXPECT_EQ(loop.CallWithin(5000,
                            [&working, &fired] {
                              working = false;
                              return fired.load();
                            })
                .has_value(),
            true);
  const int stoppedAt = fired;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(fired, stoppedAt);
  loop.Quit();
  runner.join();
}

}  // namespace
}  // namespace console
