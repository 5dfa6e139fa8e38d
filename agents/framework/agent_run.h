// One run of an agent: command line, single-run guard, settings, scan state file, the
// account loop of a full or re-check run, and the final state write. Always exit code 0.
#pragma once

#include <functional>
#include <string>

#include "agents/framework/agent_profile.h"
#include "agents/framework/run_context.h"
#include "platform/lock.h"

namespace agents {

// Checks one account, given its key.
using AccountVisitor = std::function<void(RunContext& run, const std::string& key)>;

// How a run may check its accounts.
struct RunOptions {
  // Accounts may be checked side by side, up to SCANPARALLEL at a time. Off for a check
  // whose accounts share a file of their own (the FTP round trip's test and download files).
  bool concurrent = false;
  // Called once the settings are read, before the first account (a shared socket, ...).
  std::function<void(RunContext& run)> beforeAccounts;
};

// The options of an agent whose accounts may be checked side by side.
inline RunOptions Concurrently() {
  RunOptions options;
  options.concurrent = true;
  return options;
}

// The whole run; returns the process's exit code (always 0).
int RunAgent(int argc, char** argv, const AgentProfile& profile, const MailServerProbes& probes,
             const AccountVisitor& visit, const RunOptions& options = {});

// The single-run guard `name` of the program directory, held in `guard` from now on. False
// when another run holds it, which is logged as a "[Skipped]" line with `skippedText`.
bool AcquireRunGuard(const std::string& dir, const std::string& name,
                     const std::string& skippedText, platform::FileLock& guard);

// The run's folders and settings: where alert programs are started from and alert files
// handed over, the folders it writes, the alert settings and the scan switches.
void PrepareRun(RunContext& run);

// The checks of a run between the scan state's marks: the state read, `markBusy` (the busy
// flags of the run's start), the down flag cleared and the state written; then `checks`;
// then every busy flag cleared, the run's down flag stored and the state written.
void RunBetweenMarks(RunContext& run, const std::function<void()>& markBusy,
                     const std::function<void()>& checks);

// The guard's name for run number n: the program name followed by n.
std::string GuardName(const AgentProfile& profile, long n);

}  // namespace agents
