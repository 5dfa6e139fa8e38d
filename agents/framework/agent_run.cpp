#include "agents/framework/agent_run.h"

#include <sys/resource.h>

#include <set>

#include "agents/framework/account_pool.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/alert_desk.h"
#include "agents/framework/command_line.h"
#include "agents/framework/retry_file.h"
#include "common/daily_log.h"
#include "common/layout.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace agents {
namespace {

// The accounts of this run in the order the folder listing or the retry file gives them.
std::vector<std::string> AccountsOfRun(RunContext& run) {
  std::vector<std::string> keys;
  if (run.fullRun) {
    platform::RemoveFile(run.retryPath);
    for (std::string& name : platform::ListFiles(run.DataDir())) {
      if (name != common::kFirstRunMarker) keys.push_back(std::move(name));
    }
    return keys;
  }
  // An account is listed once per failed check: the custom agent lists it once per failed
  // port. One re-check per account and run is enough; a second would count the same
  // outage twice within seconds.
  std::set<std::string> seen;
  for (RetryEntry& entry : TakeRetryFile(run.retryPath)) {
    if (seen.insert(entry.key).second) keys.push_back(std::move(entry.key));
  }
  return keys;
}

// Accounts open at once: one at a time for the one-after-another order, else as many as
// wait on the network side by side, each port probe holding a descriptor. The descriptor
// limit is raised as far as the system allows; what it cannot give is left to the workers,
// the daily logs and the files of the account steps.
size_t OpenAccountLimit(size_t parallel) {
  if (parallel <= 1) return 1;
  size_t limit = parallel > kMaxOpenAccounts ? parallel : kMaxOpenAccounts;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return parallel;
  if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
  }
  const rlim_t spare = 4 * parallel + 64;
  if (files.rlim_cur != RLIM_INFINITY) {
    size_t room = files.rlim_cur > spare ? static_cast<size_t>(files.rlim_cur - spare) : 0;
    if (room < limit) limit = room;
  }
  return limit > parallel ? limit : parallel;
}

void CheckAll(RunContext& run, const AccountVisitor& visit) {
  AccountPool pool(run.parallel, OpenAccountLimit(run.parallel));
  run.pool = &pool;
  pool.Run(AccountsOfRun(run), [&](const std::string& key) { visit(run, key); });
  run.pool = nullptr;
}

}  // namespace

bool AcquireRunGuard(const std::string& dir, const std::string& name,
                     const std::string& skippedText, platform::FileLock& guard) {
  const std::string lockPath = platform::NamedLockPath(dir, name);
  if (guard.TryAcquire(lockPath)) return true;
  // The lock file exists but is held: another run with this name is active.
  if (platform::PathExists(lockPath)) {
    WriteFrameworkLine(dir, kSkippedCode, "[Skipped]", skippedText);
  }
  return false;
}

void PrepareRun(RunContext& run) {
  const std::string& dir = run.programDir;
  run.binDir = platform::ExecutableDir();
  run.tempDir = AlertTempDir(dir);
  platform::MakeDirs(common::InDir(dir, common::kMailLog));
  platform::MakeDirs(run.DataDir());
  platform::MakePrivateDir(common::InDir(dir, common::kAllData));
  platform::MakePrivateDir(common::InDir(dir, common::kSetting));
  run.auth = common::ReadAlertAuth(dir);
  run.alert = common::ReadAlert(dir);
  run.scan = common::ReadScanSettings(dir);
  run.queueAlerts = AlertDeskWanted(dir);
}

void RunBetweenMarks(RunContext& run, const std::function<void()>& markBusy,
                     const std::function<void()>& checks) {
  run.state.Load();
  markBusy();
  run.runDown = false;
  run.state.Save();

  checks();

  run.state.SetBusy(0);
  run.state.SetDown(run.runDown ? 1 : 0);
  run.state.Save();
}

std::string GuardName(const AgentProfile& profile, long n) {
  return std::string(profile.facts.program) + std::to_string(n);
}

int RunAgent(int argc, char** argv, const AgentProfile& profile, const MailServerProbes& probes,
             const AccountVisitor& visit, const RunOptions& options) {
  const platform::SystemTime start = platform::LocalNow();
  std::optional<AgentCommand> command = SplitCommandLine(platform::JoinArguments(argc, argv));
  if (!command) return 0;
  const std::string& dir = command->programDir;
  platform::MakeDirs(common::InDir(dir, common::kLog));

  platform::FileLock guard;
  if (!AcquireRunGuard(dir, GuardName(profile, command->n), profile.skippedText, guard)) return 0;

  common::KeepDailyLogsOpen();
  RunContext run(profile, dir, command->n);
  run.startTime = start;
  run.probes = probes;
  PrepareRun(run);
  const std::string marker = common::InDir(run.DataDir(), common::kFirstRunMarker);
  if (platform::PathExists(marker)) {
    platform::RemoveFile(marker);
    run.firstRun = true;
  }
  run.parallel = options.concurrent ? ReadScanParallel(dir) : 1;
  if (options.beforeAccounts) options.beforeAccounts(run);

  RunBetweenMarks(
      run, [&] { run.state.SetBusy(1); }, [&] { CheckAll(run, visit); });
  StartAlertDesk(run);
  return 0;
}

}  // namespace agents
