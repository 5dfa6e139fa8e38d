// The per-account frame shared by every agent with one status record per account: the
// pairing of account and status record, the first-run reset, the Down/Up rule with its
// alerts, the down-time accounting, the retry file and the account line.
//
// Status record states: Up (counter 0, no failure time, no alert time); Failing (counter
// 1 or more, failure time set, no alert time); Down (counter 2 or more, both set). A failed
// check moves Up to Failing and Failing to Down (raising the Down alert once per outage);
// a success moves any state to Up, raising the Up alert only from Down.
#pragma once

#include <functional>
#include <string>

#include "agents/framework/account_check.h"
#include "agents/framework/run_context.h"

namespace agents {

// Checks the account `key` (record in AllData, status record in the agent's folder).
void CheckAccount(RunContext& run, AccountCheck& check, const std::string& key);

// The failure step of a check, or of one stage of a check that runs in stages: the run's
// down flag when the account was failing already, the busy flag (`writeBusy`), the retry
// line, the account line, the status record's counter and down time, and the Down alert
// (named `checkType`) when it is due. `slot` names the custom record's block that the check
// keeps (0-4), or -1 for a status record's only one.
void FailureStep(RunContext& run, AccountJob& job, const CheckResult& result,
                 const std::function<void()>& writeBusy, const std::string& checkType,
                 int slot = -1);
// The success step: the account line, the Up alert (named `checkType`) when the account was
// Down, and the status block set Up.
void SuccessStep(RunContext& run, AccountJob& job, const CheckResult& result,
                 const std::string& checkType, int slot = -1);

// The first run's reset of one status block: everything from the last-check time through
// the down time cleared, the statistics start set to `start`; the active flag is kept.
void ResetStatusBlock(common::CheckStatus& status, const platform::SystemTime& start);

// Down-time accounting of a failed check at `now`: the seconds since the last failure are
// added when its time holds 14 digits; `now` becomes the last failure.
void AccountDownTime(common::CheckStatus& status, const platform::SystemTime& now);

// A failed check at `now`: counter up (held at 127), check no longer in progress, down
// time accounted. True when the Down alert is to be raised now, which stores `now` as the
// alert time: the counter passed 1 and (no alert was raised for this outage or this is a
// first run).
bool RecordFailure(common::CheckStatus& status, const platform::SystemTime& now, bool alertDue,
                   bool firstRun);
// A successful check: alert time, failure time, counter and in-progress byte cleared; the
// down time and the statistics start kept.
void RecordSuccess(common::CheckStatus& status);

// Pairs an account's record and status record. False when the account is not to be checked:
// a status record without account record is removed; an account whose status record is gone
// (that check was switched off) is left alone.
bool PairRecords(RunContext& run, const std::string& key);

// A later stage of a check that runs in stages: the current time stored as the time of the
// last check (and as the job's check time), check in progress. False when the status
// record is gone.
bool NoteStageStart(RunContext& run, AccountJob& job);

// "YYYYMMDDhhmmss".
std::string StampOf(const platform::SystemTime& t);

// A key names a file of the program directory's folders: not empty, no "/", no leading ".".
bool IsSafeKey(const std::string& key);

}  // namespace agents
