// Sorting off the main loop: the newest click wins, and the rows keep their order until the
// rebuilt index is applied on the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "console/console_app.h"
#include "console/latest_job.h"
#include "console/setup_command.h"
#include "platform/ini.h"
#include "support/temp_dir.h"

namespace console {
namespace {

TEST(LatestJobWorker, ANewJobReplacesTheWaitingOneAndTellsTheRunningOne) {
  LatestJobWorker worker;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> started;
  std::mutex m;
  std::vector<int> ran;
  std::atomic<bool> firstSawNewer{false};
  ASSERT_TRUE(worker.Submit([&](const std::function<bool()>& superseded) {
    started.set_value();
    released.wait();
    firstSawNewer = superseded();
    std::lock_guard<std::mutex> lock(m);
    ran.push_back(1);
  }));
  started.get_future().wait();
  for (int job : {2, 3}) {
    worker.Submit([&, job](const std::function<bool()>& superseded) {
      std::lock_guard<std::mutex> lock(m);
      ran.push_back(superseded() ? -job : job);
    });
  }
  release.set_value();
  worker.WaitIdle();
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_TRUE(firstSawNewer);
  worker.Stop();
  EXPECT_FALSE(worker.Submit([](const std::function<bool()>&) {}));
}

class ConsoleSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nlohmann::json setup = {
        {"accounts",
         nlohmann::json::array({{{"name", "bravo"}, {"host", "10.0.0.2"}, {"ping", true}},
                                {{"name", "alpha"}, {"host", "10.0.0.9"}, {"ping", true}},
                                {{"name", "charlie"}, {"host", "10.0.0.1"}, {"ping", true}}})}};
    ASSERT_EQ(ApplySetup(dir_.path(), setup), "");
    for (auto [name, when] : {std::pair{"alpha", "20261208101500"}, {"bravo", "20261208111500"}}) {
      common::CheckStatus s{};
      s.enabled = 1;
      std::strcpy(s.lastCheck, when);
      ASSERT_EQ(common::WriteWholeFile(dir_ / ("PINGData/" + common::HexKey(name)), &s, sizeof s),
                1);
    }
    app_.StartUp();
    app_.SetPoster([this](std::function<void()> task) {
      std::lock_guard<std::mutex> lock(mutex_);
      posted_.push_back(std::move(task));
      return true;
    });
  }
  void RunPosted() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks.swap(posted_);
    }
    for (auto& t : tasks) t();
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (int i = 0; i < app_.list().RowCount(); ++i) {
      out.push_back(app_.list().Row(i, platform::LocalNow()).name);
    }
    return out;
  }
  testsupport::TempDir dir_;
  ConsoleApp app_{dir_.path(), "/none",
                  [](const std::string&, const std::vector<std::string>&) { return true; }};
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
};

TEST_F(ConsoleSortTest, AClickDuringARebuildEndsWithTheLaterOrder) {
  const std::vector<std::string> server = {"alpha", "bravo", "charlie"};
  EXPECT_TRUE(app_.SortBy(3));  // domain
  EXPECT_TRUE(app_.SortBy(5));  // last check, first click: descending
  // Whatever the worker has done so far, the loop has not applied it: the old order.
  EXPECT_EQ(app_.list().sortColumn(), 2);
  EXPECT_EQ(Names(), server);
  app_.WaitForSortWorker();
  EXPECT_EQ(Names(), server);
  const uint64_t version = app_.listVersion();
  RunPosted();
  EXPECT_EQ(app_.list().sortColumn(), 5);
  EXPECT_TRUE(app_.list().descending(5));
  EXPECT_EQ(Names(), (std::vector<std::string>{"charlie", "alpha", "bravo"}));
  EXPECT_GT(app_.listVersion(), version);
  EXPECT_EQ(platform::IniGetString(dir_ / "Varnock.ini", "PROGRAM", "LASTCHECKSORT", "").size(),
            12u);
}

TEST_F(ConsoleSortTest, AnAccountAddedMeanwhileKeepsTheServerOrder) {
  EXPECT_TRUE(app_.SortBy(3));
  app_.AccountsChanged();  // back to the server order, which a late result must not undo
  app_.WaitForSortWorker();
  RunPosted();
  EXPECT_EQ(app_.list().sortColumn(), 2);
  EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "bravo", "charlie"}));
  app_.SortBy(0);
  app_.Exit();  // stops the worker without waiting for the loop
}

}  // namespace
}  // namespace console
