#include "console/scheduler.h"

#include <gtest/gtest.h>

#include "common/file_ops.h"
#include "common/layout.h"
#include "console/console_app.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "support/temp_dir.h"

namespace console {
namespace {

TEST(DueTest, FollowsMinutesSinceTheLastStart) {
  struct Case {
    int interval;
    std::optional<int64_t> last;
    int64_t now;
    bool due;
  } cases[] = {
      {0, std::nullopt, 100, false},  // interval 0: never due
      {0, 50, 100, false},
      {5, std::nullopt, 100, true},  // never ran: due at once (start-up, year change)
      {5, 100, 100, false},          // at most once per minute
      {1, 100, 100, false},
      {1, 100, 101, true},
      {10, 100, 109, false},
      {10, 100, 110, true},
      {10, 100, 250, true},
      // A start at 10:55 with interval 10 is not due at 11:00 (the minute count knows
      // nothing of hour boundaries).
      {10, 10 * 60 + 55, 11 * 60, false},
      {10, 10 * 60 + 55, 11 * 60 + 5, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsDue(c.interval, c.last, c.now), c.due)
        << "interval " << c.interval << " last " << (c.last ? *c.last : -1) << " now " << c.now;
  }
}

struct Launch {
  std::string program;
  std::vector<std::string> args;
};

class SchedulerTest : public ::testing::Test {
 protected:
  SchedulerTest()
      : scheduler_(dir_.path(), "/bin-dir",
                   [this](const std::string& p, const std::vector<std::string>& a) {
                     launches_.push_back({p, a});
                     return true;
                   }) {
    common::ScanSettings s{};
    s.intervals[common::kGroupPing] = 2;
    s.intervals[common::kGroupPort] = 1;
    scheduler_.SetIntervals(s);
    for (auto& on : scheduler_.schedule().groupOn) on = 1;
  }
  std::vector<std::string> Programs() {
    std::vector<std::string> out;
    for (const Launch& l : launches_) out.push_back(l.program + " " + l.args[0] + " " + l.args[1]);
    launches_.clear();
    return out;
  }
  testsupport::TempDir dir_;
  std::vector<Launch> launches_;
  Scheduler scheduler_;
};

TEST_F(SchedulerTest, FirstTickStartsEveryGroupWithAnIntervalInOrder) {
  scheduler_.Tick(1000, 2026);
  const std::string d = dir_.path();
  EXPECT_EQ(Programs(),
            (std::vector<std::string>{
                "/bin-dir/EchoSentry " + d + " 1", "/bin-dir/WebPortSentry " + d + " 1",
                "/bin-dir/MailOutSentry " + d + " 1", "/bin-dir/MailInSentry " + d + " 1",
                "/bin-dir/FilePortSentry " + d + " 1", "/bin-dir/AnyPortSentry " + d + " 1"}));
  // Ten seconds later (same minute): nothing; a minute later only PORT (interval 1).
  scheduler_.Tick(1000, 2026);
  EXPECT_TRUE(Programs().empty());
  scheduler_.Tick(1001, 2026);
  EXPECT_EQ(Programs().size(), 5u);
  scheduler_.Tick(1002, 2026);
  EXPECT_EQ(Programs().size(), 6u);  // PING (interval 2) and PORT
}

TEST_F(SchedulerTest, RetryFilesStartRetriesEvenWithoutInterval) {
  scheduler_.Tick(1000, 2026);
  Programs();
  testsupport::WriteFile(dir_ / "temp/httpscan.err", "x\r\n");
  scheduler_.Tick(1000, 2026);
  EXPECT_EQ(Programs(), (std::vector<std::string>{"/bin-dir/PageSentry " + dir_.path() + " 0"}));
  // A switched-off group is not retried, and nothing starts while paused.
  scheduler_.schedule().groupOn[common::kGroupHttp] = 0;
  scheduler_.Tick(1000, 2026);
  EXPECT_TRUE(Programs().empty());
  scheduler_.schedule().groupOn[common::kGroupHttp] = 1;
  scheduler_.SetPaused(true);
  scheduler_.Tick(1005, 2026);
  EXPECT_TRUE(Programs().empty());
  EXPECT_EQ(scheduler_.RunNow(1005), 0);
  EXPECT_TRUE(Programs().empty());
}

TEST_F(SchedulerTest, YearChangeMakesEveryGroupDueAgain) {
  scheduler_.Tick(1000, 2026);
  Programs();
  scheduler_.Tick(1000, 2027);
  EXPECT_EQ(Programs().size(), 6u);
}

TEST_F(SchedulerTest, RunNowSkipsBusyGroupsAndRestartsTheInterval) {
  scheduler_.Tick(990, 2026);
  Programs();
  common::PingScanState busy{1, 0};
  ASSERT_EQ(common::WriteWholeFile(dir_ / "pingPara.dat", &busy, sizeof busy), 1);
  platform::MakeDirs(dir_ / "temp/locks");
  platform::FileLock running;  // the ping agent is in its run
  ASSERT_TRUE(running.TryAcquire(platform::NamedLockPath(dir_.path(), "EchoSentry1")));
  scheduler_.ReadScanStates(0);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupPing).busy);
  scheduler_.RunNow(1000);
  std::vector<std::string> started = Programs();
  ASSERT_EQ(started.size(), 8u);  // PORT (5), HTTP, FTP, EMAIL; not PING
  EXPECT_EQ(started.front(), "/bin-dir/WebPortSentry " + dir_.path() + " 1");
  EXPECT_EQ(started.back(), "/bin-dir/RoundTripSentry " + dir_.path() + " 1");
  EXPECT_EQ(scheduler_.lastRun(common::kGroupPort), 1000);
  scheduler_.Tick(1000, 2026);  // PORT ran this minute; PING is busy but due
  std::vector<std::string> tick = Programs();
  ASSERT_EQ(tick.size(), 1u);
  EXPECT_EQ(tick[0], "/bin-dir/EchoSentry " + dir_.path() + " 1");
}

// An agent killed in its run leaves its busy word at 1; without a process holding its run
// guard the group is not busy, and the daily log says so once.
TEST_F(SchedulerTest, BusyWordOfAKilledAgentDoesNotBlockItsGroup) {
  platform::MakeDirs(dir_ / "temp/locks");
  common::PingScanState ping{1, 0};
  ASSERT_EQ(common::WriteWholeFile(dir_ / "pingPara.dat", &ping, sizeof ping), 1);
  common::PortScanState port{};
  port.busy = 1;
  ASSERT_EQ(common::WriteWholeFile(dir_ / "portSMTPPara.dat", &port, sizeof port), 1);
  common::EmailScanState mail{};
  mail.busy[0] = 1;  // an e-mail account's run killed while sending
  ASSERT_EQ(common::WriteWholeFile(dir_ / "emailPara.dat1", &mail, sizeof mail), 1);
  // Lock files left by the dead runs, held by nobody.
  testsupport::WriteFile(dir_ / "temp/locks/EchoSentry1", "");
  testsupport::WriteFile(dir_ / "temp/locks/RoundTripSentryOne6b696c6f", "");
  auto staleLines = [&] {
    std::string log;
    for (const std::string& name : platform::ListFiles(dir_ / "Log")) {
      log += testsupport::ReadFile(dir_ / ("Log/" + name));
    }
    size_t count = 0;
    for (size_t at = 0; (at = log.find("[Scan State Cleared]", at)) != std::string::npos; ++at) {
      ++count;
    }
    return count;
  };
  for (int second = 0; second < 3; ++second) {
    scheduler_.ReadScanStates(2);
    EXPECT_FALSE(scheduler_.Flags(common::kGroupPing).busy);
    EXPECT_FALSE(scheduler_.Flags(common::kGroupPort).busy);
    EXPECT_FALSE(scheduler_.Flags(common::kGroupEmail).busy);
  }
  EXPECT_EQ(staleLines(), 3u);  // EchoSentry, MailOutSentry and RoundTripSentry, once each
  scheduler_.RunNow(1000);
  EXPECT_EQ(Programs().size(), 9u);  // no group skipped
  // A live re-check run (n = 0) keeps the group busy.
  platform::FileLock recheck;
  ASSERT_TRUE(recheck.TryAcquire(platform::NamedLockPath(dir_.path(), "MailOutSentry0")));
  // So does any e-mail account's run in progress.
  platform::FileLock account;
  ASSERT_TRUE(account.TryAcquire(platform::NamedLockPath(dir_.path(), "RoundTripSentryOne6b")));
  scheduler_.ReadScanStates(2);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupPort).busy);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupEmail).busy);
  EXPECT_EQ(staleLines(), 3u);
}

TEST_F(SchedulerTest, ScanStatesKeepDownWhenUnreadable) {
  common::PortScanState down{};
  down.down = 1;
  ASSERT_EQ(common::WriteWholeFile(dir_ / "portSMTPPara.dat", &down, sizeof down), 1);
  common::EmailScanState mail{};
  mail.busy[1] = 1;
  ASSERT_EQ(common::WriteWholeFile(dir_ / "emailPara.dat1", &mail, sizeof mail), 1);
  platform::MakeDirs(dir_ / "temp/locks");
  platform::FileLock running;  // that account's run is in progress
  ASSERT_TRUE(running.TryAcquire(platform::NamedLockPath(dir_.path(), "RoundTripSentryOne6b")));
  scheduler_.ReadScanStates(2);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupPort).down);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupEmail).busy);
  EXPECT_TRUE(scheduler_.AnySwitchedGroupDown());
  scheduler_.schedule().groupOn[common::kGroupPort] = 0;
  EXPECT_FALSE(scheduler_.AnySwitchedGroupDown());
  // The file disappears: down stays as it was, busy clears.
  std::remove((dir_ / "portSMTPPara.dat").c_str());
  std::remove((dir_ / "emailPara.dat1").c_str());
  scheduler_.ReadScanStates(2);
  EXPECT_TRUE(scheduler_.Flags(common::kGroupPort).down);
  EXPECT_FALSE(scheduler_.Flags(common::kGroupEmail).busy);
}

TEST(DayChange, RewritesStartMarkersAndDeletesOldLogs) {
  testsupport::TempDir dir;
  ConsoleApp app(dir.path(), "/none",
                 [](const std::string&, const std::vector<std::string>&) { return true; });
  app.StartUp();
  const std::string marker = dir / "PINGData/first.dat";
  EXPECT_EQ(testsupport::ReadFile(marker), "1");
  std::remove(marker.c_str());
  testsupport::WriteFile(dir / "Log/20200101.log", "old\r\n");
  platform::SystemTime now = app.startTime();
  app.SchedulerTickAt(now, 10);  // same day: nothing
  EXPECT_EQ(testsupport::ReadFile(marker), "");
  platform::SystemTime next = now;
  next.day = now.day == 1 ? 2 : 1;
  app.SchedulerTickAt(next, 11);
  EXPECT_EQ(testsupport::ReadFile(marker), "1");
  EXPECT_FALSE(platform::PathExists(dir / "Log/20200101.log"));
}

}  // namespace
}  // namespace console
