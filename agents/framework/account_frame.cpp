#include "agents/framework/account_frame.h"

#include <cstring>
#include <memory>

#include "agents/framework/agent_log.h"
#include "agents/framework/alert_dispatch.h"
#include "agents/framework/retry_file.h"
#include "common/elapsed.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "platform/files.h"

namespace agents {

namespace {

// A check's status block: the status record's only one, or slot `slot` of a custom record.
long StoredFailCount(RunContext& run, const std::string& key, int slot) {
  if (slot < 0) {
    common::CheckStatus current{};
    common::ReadStatusRecord(run.StatusPath(key), &current, sizeof current);
    return static_cast<long>(current.failCount);
  }
  common::CustomStatus current{};
  common::ReadStatusRecord(run.StatusPath(key), &current, sizeof current);
  return static_cast<long>(current.slots[slot].failCount);
}

void UpdateBlock(RunContext& run, const std::string& key, int slot,
                 const std::function<void(common::CheckStatus&)>& change) {
  if (slot < 0) {
    common::UpdateCheckStatus(run.programDir, run.profile.facts.folder, key,
                              [&](common::CheckStatus& s, bool exists) {
                                if (!exists) return false;
                                change(s);
                                return true;
                              });
    return;
  }
  common::UpdateCustomStatus(run.programDir, key, [&](common::CustomStatus& s, bool exists) {
    if (!exists) return false;
    change(s.slots[slot]);
    return true;
  });
}

}  // namespace

void FailureStep(RunContext& run, AccountJob& job, const CheckResult& result,
                 const std::function<void()>& writeBusy, const std::string& checkType, int slot) {
  if (StoredFailCount(run, job.key, slot) > 0) {
    run.state.SetDown(1);
    run.runDown = true;
  }
  writeBusy();
  AppendRetryLine(run.retryPath, run.AccountPath(job.key), run.StatusPath(job.key), job.key);
  if (result.writeLine) {
    WriteAccountLine(run, result.logCode, common::FieldText(job.account.record.key), result.message,
                     result.errorText, true);
  }
  const platform::SystemTime now = platform::LocalNow();
  bool raise = false;
  UpdateBlock(run, job.key, slot, [&](common::CheckStatus& s) {
    raise = RecordFailure(s, now, job.alertDue, run.firstRun);
  });
  if (raise) {
    RaiseAlert(run, job.account,
               Alert{AlertKind::kDown, result.alertMessage, job.checkTime, checkType, slot, ""});
  }
}

void SuccessStep(RunContext& run, AccountJob& job, const CheckResult& result,
                 const std::string& checkType, int slot) {
  if (result.writeLine) {
    WriteAccountLine(run, result.logCode, common::FieldText(job.account.record.key), result.message,
                     result.errorText, result.countsAsFailure);
  }
  if (job.status.failCount > 1 && !job.alertDue) {
    RaiseAlert(run, job.account, Alert{AlertKind::kUp, "", job.checkTime, checkType, slot, ""});
  }
  UpdateBlock(run, job.key, slot, [](common::CheckStatus& s) { RecordSuccess(s); });
}

std::string StampOf(const platform::SystemTime& t) {
  char out[15];
  platform::FormatTimeStamp(t, out);
  return out;
}

bool IsSafeKey(const std::string& key) {
  return !key.empty() && key[0] != '.' && key.find('/') == std::string::npos;
}

void ResetStatusBlock(common::CheckStatus& status, const platform::SystemTime& start) {
  uint32_t active = status.enabled;
  status = common::CheckStatus{};
  status.enabled = active;
  status.statsStart = start;
}

void AccountDownTime(common::CheckStatus& status, const platform::SystemTime& now) {
  std::optional<platform::SystemTime> last =
      common::ParseTimeStamp(common::FieldText(status.lastFailure));
  if (last) status.downSeconds += static_cast<uint32_t>(common::ElapsedSeconds(*last, now));
  char stamp[15];
  platform::FormatTimeStamp(now, stamp);
  common::SetField(status.lastFailure, stamp);
}

bool RecordFailure(common::CheckStatus& s, const platform::SystemTime& now, bool alertDue,
                   bool firstRun) {
  // The counter is a signed byte: it stays at its top instead of wrapping to negative,
  // which would hide a long outage from the Down/Up rule.
  if (s.failCount < 127) ++s.failCount;
  s.checking = 0;
  AccountDownTime(s, now);
  // Another run may have raised this outage's alert since the record was first read.
  bool due = (alertDue && s.errorDetected[0] == '\0') || firstRun;
  if (s.failCount > 1 && due) {
    common::SetField(s.errorDetected, StampOf(now));
    return true;
  }
  return false;
}

void RecordSuccess(common::CheckStatus& s) {
  std::memset(s.errorDetected, 0, sizeof s.errorDetected);
  std::memset(s.lastFailure, 0, sizeof s.lastFailure);
  s.failCount = 0;
  s.checking = 0;
}

namespace {

bool MarkCheckStarted(RunContext& run, common::StatusFolder folder, const std::string& key,
                      const platform::SystemTime& now, common::CheckStatus* after) {
  const std::string stamp = StampOf(now);
  return common::UpdateCheckStatus(run.programDir, folder, key,
                                   [&](common::CheckStatus& s, bool exists) {
                                     if (!exists) return false;
                                     common::SetField(s.lastCheck, stamp);
                                     s.checking = 1;
                                     if (after) *after = s;
                                     return true;
                                   });
}

}  // namespace

bool NoteStageStart(RunContext& run, AccountJob& job) {
  const platform::SystemTime now = platform::LocalNow();
  job.checkTime = StampOf(now);
  return MarkCheckStarted(run, run.profile.facts.folder, job.key, now, nullptr);
}

bool PairRecords(RunContext& run, const std::string& key) {
  if (!IsSafeKey(key)) return false;
  const bool account = platform::IsRegularFile(run.AccountPath(key));
  const bool status = platform::IsRegularFile(run.StatusPath(key));
  if (!account) {
    if (status) common::RemoveStatusRecord(run.programDir, run.profile.facts.folder, key);
    return false;
  }
  return status;
}

void CheckAccount(RunContext& run, AccountCheck& check, const std::string& key) {
  if (!PairRecords(run, key)) return;

  common::CheckStatus status{};
  if (run.firstRun) {
    common::UpdateCheckStatus(run.programDir, run.profile.facts.folder, key,
                              [&](common::CheckStatus& s, bool exists) {
                                if (!exists) return false;
                                ResetStatusBlock(s, run.startTime);
                                status = s;
                                return true;
                              });
  } else {
    common::ReadStatusRecord(run.StatusPath(key), &status, sizeof status);
  }
  check.AfterStatusRead(run);
  if (!run.fullRun && status.lastFailure[0] == '\0') return;

  auto job = std::make_shared<AccountJob>();
  job->key = key;
  job->alertDue = status.errorDetected[0] == '\0';
  bool whole = false;
  job->account = common::ReadAccount(run.AccountPath(key), &whole);
  const common::AccountRecord& record = job->account.record;
  job->host = common::FieldText(record.host);
  if (!whole || record.enabled != 1 || job->host.empty() || status.enabled != 1 ||
      !check.Enabled(record)) {
    return;
  }
  check.AfterEnableTests(run);

  const platform::SystemTime now = platform::LocalNow();
  job->checkTime = StampOf(now);
  if (!MarkCheckStarted(run, run.profile.facts.folder, key, now, &job->status)) return;

  check.Begin(run, *job, [&run, &check, job](const CheckResult& result) {
    if (!result.failed) return SuccessStep(run, *job, result, run.profile.checkType);
    // Side by side, the busy flag is the whole run's: one account's failure step must not
    // clear it while others are still being checked.
    FailureStep(
        run, *job, result, [&] { run.state.WriteBusy(run.parallel > 1 ? 1 : check.FailureBusy()); },
        run.profile.checkType);
  });
}

}  // namespace agents
