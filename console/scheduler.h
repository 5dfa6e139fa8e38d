// The scan scheduler: which group's agents start at each 10-second tick, manual scans,
// pause, the group switches, and the 1-second read of the agents' scan state files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/records.h"

namespace console {

// Starts a program with its arguments, never waiting for it. True when it started.
using Launcher =
    std::function<bool(const std::string& program, const std::vector<std::string>& args)>;

// The due test on a monotonic minute count: a group with interval n is due when it never
// ran (start-up, year change) or n minutes have passed since its last start, at most once
// per minute.
bool IsDue(int interval, std::optional<int64_t> lastRunMinute, int64_t nowMinute);

// Busy and confirmed-failure flags copied from the scan state files.
struct ScanFlags {
  bool busy = false;
  bool down = false;
};

class Scheduler {
 public:
  Scheduler(std::string programDir, std::string binDir, Launcher launcher);

  // Intervals (minutes) from the scan settings and the group switches.
  void SetIntervals(const common::ScanSettings& settings);
  common::ScanSchedule& schedule() { return schedule_; }
  const common::ScanSchedule& schedule() const { return schedule_; }

  bool paused() const { return paused_; }
  void SetPaused(bool paused) { paused_ = paused; }

  // Starts the group's agents with the run number `full` (1 timed or manual, 0 retry);
  // a retry run only when a retry file of the group exists. Nothing while the group is
  // switched off or scanning is paused. Returns the number of agents started.
  int LaunchGroup(int group, int full);

  // The launching part of the 10-second tick: for PING, PORT, HTTP, EMAIL, FTP, a due group
  // is started with 1 (and its start remembered), any other with 0 (retries).
  void Tick(int64_t nowMinute, int year);

  // Starts AlertDesk when alerts wait in its queue (temp/alertqueue, held ones included)
  // and no desk runs: a desk that an agent could not start, or one that ended while an
  // alert was held, is started again within a tick. True when it was started.
  bool LaunchAlertDeskIfWaiting();

  // Run Scan Now: every group not busy is started with 1 in the order PING, PORT, HTTP,
  // FTP, EMAIL. Returns the number of groups launched (skipped groups not counted).
  int RunNow(int64_t nowMinute);

  // Reads every scan state file; `emailFiles` is the number of files in EmailData.
  void ReadScanStates(long emailFiles);
  ScanFlags Flags(int group) const;
  // A group whose switch is on reports a confirmed failure.
  bool AnySwitchedGroupDown() const;

  std::optional<int64_t> lastRun(int group) const { return lastRun_[group]; }
  bool launchInProgress() const { return launching_; }

 private:
  std::string programDir_;
  std::string binDir_;
  Launcher launcher_;
  common::ScanSchedule schedule_{};
  std::array<int, common::kGroupCount> interval_{};
  std::array<std::optional<int64_t>, common::kGroupCount> lastRun_{};
  std::array<int, common::kGroupCount> lastYear_{};
  bool paused_ = false;
  bool launching_ = false;
  // A busy flag of 1 counts only while some process holds the agent's run guard: an agent
  // killed in its run leaves the flag behind. Such a flag is said once in the daily log.
  bool StillRunning(const std::string& agent, bool& reported);
  // The e-mail group runs one agent per account under a launch; any of them holding its
  // run guard keeps the group busy.
  bool AnyEmailRunHeld();

  // Per state file: ping, the five port files (common::kPortAgentsByFolder), page, transfer;
  // e-mail as a whole.
  ScanFlags ping_, page_, ftp_, email_;
  std::array<ScanFlags, 5> port_{};
  bool pingStale_ = false, pageStale_ = false, ftpStale_ = false, emailStale_ = false;
  std::array<bool, 5> portStale_{};
};

}  // namespace console
