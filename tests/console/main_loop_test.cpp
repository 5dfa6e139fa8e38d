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

}  // namespace
}  // namespace console
