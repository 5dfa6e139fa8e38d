#include "agents/framework/custom_frame.h"

#include <memory>

#include "agents/framework/account_frame.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/alert_dispatch.h"
#include "agents/framework/retry_file.h"
#include "common/file_ops.h"
#include "common/status_update.h"

namespace agents {
namespace {

// Marks slot `k` as being checked; false when the status file is gone.
bool MarkSlot(RunContext& run, AccountJob& job, int k) {
  const platform::SystemTime now = platform::LocalNow();
  job.checkTime = StampOf(now);
  return common::UpdateCustomStatus(run.programDir, job.key,
                                    [&](common::CustomStatus& s, bool exists) {
                                      if (!exists) return false;
                                      job.alertDue = s.slots[k].errorDetected[0] == '\0';
                                      common::SetField(s.slots[k].lastCheck, job.checkTime);
                                      s.slots[k].checking = 1;
                                      job.status = s.slots[k];
                                      return true;
                                    });
}

// A slot's result through the account frame's steps, on the slot's block of the record.
void SlotChecked(RunContext& run, AccountJob& job, int k, const CheckResult& result) {
  const std::string checkType = common::FieldText(job.account.record.customNames[k]);
  if (result.failed) {
    FailureStep(
        run, job, result, [&run] { run.state.WriteBusy(1); }, checkType, k);
  } else {
    SuccessStep(run, job, result, checkType, k);
  }
}

// The slots of one account, one after another: the next begins when the last one's result
// is in, which may be on another worker.
struct SlotRun : std::enable_shared_from_this<SlotRun> {
  RunContext& run;
  SlotCheck check;  // a copy: the caller's may be gone when a later slot begins
  AccountJob job;
  common::CustomStatus status{};

  SlotRun(RunContext& r, const SlotCheck& c) : run(r), check(c) {}

  void From(int k) {
    const common::AccountRecord& record = job.account.record;
    for (; k < kCustomSlots; ++k) {
      if (!run.fullRun && status.slots[k].lastFailure[0] == '\0') continue;
      if (record.customPorts[k] == 0 || status.slots[k].enabled == 0) continue;
      if (!MarkSlot(run, job, k)) continue;
      check(run, job, k, [self = shared_from_this(), k](const CheckResult& result) {
        SlotChecked(self->run, self->job, k, result);
        self->From(k + 1);
      });
      return;
    }
  }
};

}  // namespace

void CheckCustomAccount(RunContext& run, const SlotCheck& check, const std::string& key) {
  if (!PairRecords(run, key)) return;

  common::CustomStatus status{};
  if (run.firstRun) {
    common::UpdateCustomStatus(run.programDir, key, [&](common::CustomStatus& s, bool exists) {
      if (!exists) return false;
      for (common::CheckStatus& slot : s.slots) ResetStatusBlock(slot, run.startTime);
      status = s;
      return true;
    });
  } else {
    common::ReadStatusRecord(run.StatusPath(key), &status, sizeof status);
  }

  auto slots = std::make_shared<SlotRun>(run, check);
  slots->status = status;
  AccountJob& job = slots->job;
  job.key = key;
  bool whole = false;
  job.account = common::ReadAccount(run.AccountPath(key), &whole);
  const common::AccountRecord& record = job.account.record;
  job.host = common::FieldText(record.host);
  if (!whole || record.enabled != 1 || job.host.empty() || record.customOn == 0) return;
  slots->From(0);
}

}  // namespace agents
