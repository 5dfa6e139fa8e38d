#include "agents/roundtrip/launcher.h"

#include <atomic>
#include <map>
#include <set>

#include "agents/framework/account_frame.h"
#include "agents/framework/account_pool.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/retry_file.h"
#include "agents/roundtrip/param_file.h"
#include "agents/roundtrip/round_trip.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace roundtrip {
namespace {

constexpr long kNotStartedCode = 10003;

bool StillRunning(const std::string& programDir, const std::string& key) {
  const std::string path = platform::NamedLockPath(programDir, GuardName(key));
  if (!platform::PathExists(path)) return false;
  platform::FileLock probe;
  return !probe.TryAcquire(path);
}

}  // namespace

std::string MailboxDir(const std::string& programDir) {
  return common::InDir(programDir, "Mailbox");
}

int LaunchAccounts(const std::string& programDir, long n, const std::string& self, size_t parallel,
                   const Runner& run) {
  const std::string dataDir =
      common::InDir(programDir, common::FolderName(common::StatusFolder::kEmail));
  const std::string tempDir = common::InDir(programDir, common::kTemp);
  const std::string retryPath = common::InDir(tempDir, kRetryFile);
  platform::MakeDirs(common::InDir(programDir, common::kLog));
  platform::MakeDirs(common::InDir(programDir, common::kMailLog));
  platform::MakeDirs(dataDir);
  platform::MakeDirs(tempDir);
  platform::MakePrivateDir(MailboxDir(programDir));

  // No guard of the launch's own: each account's run holds its own, so one slow account
  // holds back nobody but itself, and launches may overlap.
  const std::string marker = common::InDir(dataDir, common::kFirstRunMarker);
  const bool firstRun = platform::PathExists(marker);
  if (firstRun) platform::RemoveFile(marker);

  // The index of each account in the folder listing numbers its state file, as the
  // console counts them.
  std::map<std::string, long> index;
  std::vector<std::string> keys;
  for (const std::string& name : platform::ListFiles(dataDir)) {
    if (name == common::kFirstRunMarker) continue;
    index[name] = static_cast<long>(keys.size());
    keys.push_back(name);
  }

  std::vector<std::string> chosen;
  if (n != 0) {
    platform::RemoveFile(retryPath);
    chosen = keys;
  } else {
    std::set<std::string> seen;
    for (const agents::RetryEntry& e : agents::TakeRetryFile(retryPath)) {
      if (index.count(e.key) == 0 || !seen.insert(e.key).second) continue;
      chosen.push_back(e.key);
    }
  }

  std::atomic<int> started{0};
  agents::ForEachAccount(chosen, parallel, [&](const std::string& key) {
    if (!agents::IsSafeKey(key)) return;
    // An account whose run is still going on is skipped, with the line its second start
    // would write, and without a process started for it.
    if (StillRunning(programDir, key)) {
      agents::WriteFrameworkLine(programDir, agents::kSkippedCode, "[Skipped]",
                                 "Email Scan Process Skipped: " + key);
      return;
    }
    Params p;
    p.firstRun = firstRun;
    p.fullRun = n != 0;
    p.accountPath = common::AccountPath(programDir, key);
    p.statusPath = common::StatusPath(programDir, common::StatusFolder::kEmail, key);
    p.accountFile = key;
    p.logDir = common::InDir(programDir, common::kLog);
    p.baseDir = programDir;
    p.statePath = common::EmailStatePath(programDir, index.at(key));
    p.mailboxDir = MailboxDir(programDir);
    p.mailLogDir = common::InDir(programDir, common::kMailLog);
    const std::vector<char> bytes = EncodeParams(p);
    // The file names the account's mailbox: only its owner may read it.
    const std::string path = platform::MakeTempFile(tempDir, "EML");
    if (path.empty() || common::WriteWholeFile(path, bytes.data(), bytes.size(), 0600) != 1) {
      if (!path.empty()) platform::RemoveFile(path);
      agents::WriteFrameworkLine(
          programDir, kNotStartedCode, "[Skipped]",
          "Email Scan Process Not Started: " + key + " (no parameter file in " + tempDir + ")");
      return;
    }
    if (!run(self, {path})) {
      platform::RemoveFile(path);
      agents::WriteFrameworkLine(
          programDir, kNotStartedCode, "[Skipped]",
          "Email Scan Process Not Started: " + key + " (" + self + " cannot be started)");
      return;
    }
    // The run deletes its parameter file on every path it takes; one that was killed
    // cannot, so the launch makes sure.
    platform::RemoveFile(path);
    ++started;
  });
  return started.load();
}

}  // namespace roundtrip
