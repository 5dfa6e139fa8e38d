#include "console/scheduler.h"

#include "common/file_ops.h"
#include "common/layout.h"
#include "common/scan_groups.h"
#include "console/log_files.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace console {
namespace {

// The console's line for a busy mark that no running agent stands behind.
constexpr long kStaleStateCode = 10011;

}  // namespace

using common::kGroupCount;

bool IsDue(int interval, std::optional<int64_t> lastRunMinute, int64_t nowMinute) {
  if (interval <= 0) return false;
  if (!lastRunMinute) return true;
  return nowMinute != *lastRunMinute && nowMinute - *lastRunMinute >= interval;
}

Scheduler::Scheduler(std::string programDir, std::string binDir, Launcher launcher)
    : programDir_(std::move(programDir)),
      binDir_(std::move(binDir)),
      launcher_(std::move(launcher)) {}

void Scheduler::SetIntervals(const common::ScanSettings& settings) {
  for (int g = 0; g < kGroupCount; ++g) interval_[g] = settings.intervals[g];
}

int Scheduler::LaunchGroup(int group, int full) {
  if (schedule_.groupOn[group] == 0 || paused_) return 0;
  if (full == 0) {
    bool any = false;
    for (common::Agent a : common::GroupFacts(group).agents) {
      any = any || platform::IsRegularFile(
                       common::InDir(programDir_, common::kTemp, common::FactsOf(a).retryFile));
    }
    if (!any) return 0;
  }
  int started = 0;
  for (common::Agent a : common::GroupFacts(group).agents) {
    // "<bin>/<agent> <program dir> <n>": the agent reads everything after the last blank
    // as the number, so a directory with blanks passes unchanged.
    if (launcher_(platform::JoinPath(binDir_, common::FactsOf(a).program),
                  {programDir_, std::to_string(full)})) {
      ++started;
    }
  }
  return started;
}

void Scheduler::Tick(int64_t nowMinute, int year) {
  static constexpr int kTickOrder[] = {common::kGroupPing, common::kGroupPort, common::kGroupHttp,
                                       common::kGroupEmail, common::kGroupFtp};
  for (int g = 0; g < kGroupCount; ++g) {
    if (lastYear_[g] != year) {
      lastYear_[g] = year;
      lastRun_[g].reset();
    }
  }
  for (int g : kTickOrder) {
    bool due = IsDue(interval_[g], lastRun_[g], nowMinute);
    if (due) lastRun_[g] = nowMinute;
    LaunchGroup(g, due ? 1 : 0);
  }
  LaunchAlertDeskIfWaiting();
}

bool Scheduler::LaunchAlertDeskIfWaiting() {
  const std::string queue = common::InDir(programDir_, common::kTemp, "alertqueue");
  auto waiting = [](const std::string& dir) {
    for (const std::string& name : platform::ListFiles(dir)) {
      if (name.size() > 6 && name.compare(name.size() - 6, 6, ".alert") == 0) return true;
    }
    return false;
  };
  // A flapping check waits for its stable notice.
  const bool flapping = !platform::ListFiles(platform::JoinPath(queue, "flap")).empty();
  if (!waiting(queue) && !waiting(platform::JoinPath(queue, "held")) && !flapping) return false;
  {
    platform::FileLock probe;
    if (!probe.TryAcquire(platform::NamedLockPath(programDir_, "AlertDesk"))) return false;
  }
  return launcher_(platform::JoinPath(binDir_, "AlertDesk"), {programDir_});
}

int Scheduler::RunNow(int64_t nowMinute) {
  static constexpr int kOrder[] = {common::kGroupPing, common::kGroupPort, common::kGroupHttp,
                                   common::kGroupFtp, common::kGroupEmail};
  int launched = 0;
  for (int g : kOrder) {
    if (Flags(g).busy) continue;
    if (g == common::kGroupPing) ping_.busy = false;
    if (g == common::kGroupPort)
      for (ScanFlags& f : port_) f.busy = false;
    if (g == common::kGroupHttp) page_.busy = false;
    if (g == common::kGroupFtp) ftp_.busy = false;
    if (g == common::kGroupEmail) email_.busy = false;
    lastRun_[g] = nowMinute;
    launching_ = true;
    if (LaunchGroup(g, 1) > 0) ++launched;
    launching_ = false;
  }
  return launched;
}

namespace {

// A file that cannot be read clears busy and keeps down.
template <typename State>
void ReadState(const std::string& path, ScanFlags& flags,
               const std::function<bool(const State&)>& busy) {
  State s{};
  if (common::ReadFixedFile(path, &s, sizeof s) != 1) {
    flags.busy = false;
    return;
  }
  flags.busy = busy(s);
  flags.down = s.down != 0;
}

}  // namespace

bool Scheduler::StillRunning(const std::string& agent, bool& reported) {
  // A running agent holds "<agent><n>" (n = 1 for a full run, 0 for a re-check run).
  for (const char* n : {"1", "0"}) {
    const std::string path = platform::NamedLockPath(programDir_, agent + n);
    if (!platform::PathExists(path)) continue;
    platform::FileLock probe;
    if (!probe.TryAcquire(path)) {
      reported = false;
      return true;
    }
  }
  if (!reported) {
    reported = true;
    WriteLogLine(programDir_, kStaleStateCode, "[Scan State Cleared]",
                 agent + " left its busy mark behind without running; its group can scan again.");
  }
  return false;
}

bool Scheduler::AnyEmailRunHeld() {
  // Each account run holds "RoundTripSentryOne<key>" while it goes on.
  const std::string_view kGuard = common::FactsOf(common::Agent::kRoundTrip).program;
  const std::string locks = platform::DirName(platform::NamedLockPath(programDir_, "x"));
  for (const std::string& name : platform::ListFiles(locks)) {
    if (name.compare(0, kGuard.size(), kGuard) != 0) continue;
    platform::FileLock probe;
    if (!probe.TryAcquire(platform::JoinPath(locks, name))) {
      emailStale_ = false;
      return true;
    }
  }
  if (!emailStale_) {
    emailStale_ = true;
    WriteLogLine(programDir_, kStaleStateCode, "[Scan State Cleared]",
                 std::string(kGuard) +
                     " left its busy mark behind without running; its group can scan again.");
  }
  return false;
}

void Scheduler::ReadScanStates(long emailFiles) {
  using namespace common;
  auto statePath = [this](Agent a) { return InDir(programDir_, FactsOf(a).stateFile); };
  ReadState<PingScanState>(statePath(Agent::kEcho), ping_,
                           [](const PingScanState& s) { return s.busy == 1; });
  if (ping_.busy) ping_.busy = StillRunning(FactsOf(Agent::kEcho).program, pingStale_);
  for (size_t i = 0; i < kPortAgentsByFolder.size(); ++i) {
    const Agent a = kPortAgentsByFolder[i];
    ReadState<PortScanState>(statePath(a), port_[i],
                             [](const PortScanState& s) { return s.busy == 1; });
    if (port_[i].busy) port_[i].busy = StillRunning(FactsOf(a).program, portStale_[i]);
  }
  ReadState<PortScanState>(statePath(Agent::kPage), page_,
                           [](const PortScanState& s) { return s.busy == 1; });
  if (page_.busy) page_.busy = StillRunning(FactsOf(Agent::kPage).program, pageStale_);
  ReadState<FtpScanState>(statePath(Agent::kXfer), ftp_, [](const FtpScanState& s) {
    return s.busy[0] == 1 || s.busy[1] == 1 || s.busy[2] == 1;
  });
  if (ftp_.busy) ftp_.busy = StillRunning(FactsOf(Agent::kXfer).program, ftpStale_);
  ScanFlags email;
  bool anyRead = false;
  for (long n = 0; n < emailFiles; ++n) {
    EmailScanState s{};
    if (ReadFixedFile(EmailStatePath(programDir_, n), &s, sizeof s) != 1) continue;
    anyRead = true;
    email.busy = email.busy || s.busy[0] == 1 || s.busy[1] == 1;
    email.down = email.down || s.down != 0;
  }
  email_.busy = email.busy && AnyEmailRunHeld();
  if (anyRead) email_.down = email.down;
}

ScanFlags Scheduler::Flags(int group) const {
  switch (group) {
    case common::kGroupPing:
      return ping_;
    case common::kGroupHttp:
      return page_;
    case common::kGroupEmail:
      return email_;
    case common::kGroupFtp:
      return ftp_;
    default: {
      ScanFlags all;
      for (const ScanFlags& f : port_) {
        all.busy = all.busy || f.busy;
        all.down = all.down || f.down;
      }
      return all;
    }
  }
}

bool Scheduler::AnySwitchedGroupDown() const {
  for (int g = 0; g < kGroupCount; ++g) {
    if (schedule_.groupOn[g] != 0 && Flags(g).down) return true;
  }
  return false;
}

}  // namespace console
