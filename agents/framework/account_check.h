// What an agent plugs into the per-account frame: its enable test, its check, and the few
// marks at which some agents write their busy flag once more.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "agents/framework/run_context.h"
#include "common/record_texts.h"

namespace agents {

// The outcome of one check as the frame logs and judges it.
struct CheckResult {
  int32_t code = 0;  // the check's result (round-trip time, 1, HTTP status, -906 ...)
  bool failed = false;
  long logCode = 0;              // the code printed in the account line
  std::string message;           // success or failure message
  std::string errorText;         // follows the message directly in the account line
  bool writeLine = true;         // false when the check wrote its own lines
  bool countsAsFailure = false;  // a success logged even when successes are not
  std::string alertMessage;      // %E of the Down alert
};

// The account being checked.
struct AccountJob {
  std::string key;
  common::AccountFile account;
  std::string host;
  std::string checkTime;       // 14 digits, when the check started
  common::CheckStatus status;  // as read before the check
  bool alertDue = true;        // no Down alert raised for the current outage yet
};

class AccountCheck {
 public:
  virtual ~AccountCheck() = default;
  // The agent's own enable byte (and any other per-type condition).
  virtual bool Enabled(const common::AccountRecord& record) const = 0;
  // Starts the check and hands the result to `finish` on one of the run's workers. `job`
  // lives as long as `finish` does. A check that waits on the network leaves its worker
  // meanwhile (run.pool: Hold, then Resume).
  using Finish = std::function<void(const CheckResult&)>;
  virtual void Begin(RunContext& run, AccountJob& job, Finish finish) = 0;
  // Marks: right after the status record was read, and after the enable tests passed.
  virtual void AfterStatusRead(RunContext&) {}
  virtual void AfterEnableTests(RunContext&) {}
  // The busy value written in the failure step.
  virtual uint32_t FailureBusy() const { return 1; }
};

// A check that works on its worker from start to end (a page fetch, a file transfer).
class BlockingCheck : public AccountCheck {
 public:
  virtual CheckResult Check(RunContext& run, AccountJob& job) = 0;
  void Begin(RunContext& run, AccountJob& job, Finish finish) final { finish(Check(run, job)); }
};

}  // namespace agents
