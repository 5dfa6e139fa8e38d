// The checks of the ping and port agents: attempts, pauses and the messages they log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "agents/framework/account_check.h"
#include "agents/framework/account_pool.h"
#include "hostcheck/port_probe.h"

namespace agents {

// A blocking port probe (the shared library's call): the result code of one attempt.
using PortProbeFn = int32_t (*)(const char* host, int32_t port, int32_t timeoutMs);
using PingProbe = int32_t (*)(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                              int32_t pauseMs);

constexpr int kRetryPauseMs = 500;

// Up to two attempts, 500 ms apart: the first counts as a success from `firstSuccessFrom`
// on, the second from `secondSuccessFrom` on. Returns the deciding result and sets `ok`.
int32_t TryPortTwice(const std::function<int32_t()>& attempt, int32_t firstSuccessFrom,
                     int32_t secondSuccessFrom, bool* ok);

constexpr int kPingAttempts = 6;

// Up to six ping attempts (two rounds of three) with a 500 ms pause between a failed one and
// the next; any result of 0 or more is a success. `pause` (a sleep when empty) waits the
// given milliseconds.
int32_t TryPing(const std::function<int32_t()>& attempt, bool* ok,
                const std::function<void(int)>& pause = {});

// One attempt that does not hold its caller: it calls `done` with the result, at once or
// later from another thread.
using AttemptLater = std::function<void(std::function<void(int32_t)> done)>;
// What a sequence of attempts decided: the deciding result and whether it is a success.
using Decided = std::function<void(int32_t result, bool ok)>;

// TryPortTwice and TryPing with attempts that wait without a worker of the run's pool: the
// pauses are the pool's timers, and `decided` runs on a worker.
void TryPortTwiceLater(AccountPool& pool, AttemptLater attempt, int32_t firstSuccessFrom,
                       int32_t secondSuccessFrom, Decided decided);
void TryPingLater(AccountPool& pool, AttemptLater attempt, Decided decided);

// Port probes with their two attempts for the accounts of a run: on the calling worker when
// the accounts are checked one after another, else in one loop of the run (opened at the
// first probe) where a probe waits without holding a worker.
class PortProber {
 public:
  // `probe` is the probe of one after another, `sideBySide` the same probe in the loop.
  // `host` must live until `decided` has run.
  void TryTwice(RunContext& run, const std::string& host, int32_t port, int32_t timeoutMs,
                PortProbeFn probe, hostcheck::PortProbe sideBySide, int32_t firstSuccessFrom,
                int32_t secondSuccessFrom, Decided decided);

 private:
  std::once_flag loopOpened_;
  std::unique_ptr<hostcheck::PortProbeLoop> loop_;
};

// The check of the HTTP, SMTP, POP and FTP port agents.
struct PortCheckSpec {
  std::function<bool(const common::AccountRecord&)> enabled;
  std::function<int32_t(const common::AccountRecord&)> timeoutSeconds;
  std::function<int32_t(const common::AccountRecord&)> port;
  PortProbeFn probe = nullptr;
  // The same probe on the run's side-by-side loop, used when accounts are checked side by
  // side.
  hostcheck::PortProbe sideBySide = hostcheck::PortProbe::kGreeting;
  int32_t firstSuccessFrom = 0;
  int32_t secondSuccessFrom = 0;
  const char* okMessage = "";
  const char* downMessage = "";
  // The HTTP port agent clears its busy flag right before the probe and in the failure step
  // (only when its accounts are checked one after another).
  bool busyOffWhileProbing = false;
};

class PortCheck : public AccountCheck {
 public:
  explicit PortCheck(PortCheckSpec spec) : spec_(std::move(spec)) {}
  bool Enabled(const common::AccountRecord& record) const override { return spec_.enabled(record); }
  CheckResult Check(RunContext& run, AccountJob& job) override;
  void Begin(RunContext& run, AccountJob& job, Finish finish) override;
  void AfterStatusRead(RunContext& run) override { run.state.WriteBusy(1); }
  void AfterEnableTests(RunContext& run) override { run.state.WriteBusy(1); }
  uint32_t FailureBusy() const override { return spec_.busyOffWhileProbing ? 0 : 1; }

 private:
  PortCheckSpec spec_;
  PortProber prober_;
};

// Fills the messages, texts and codes of a finished check.
CheckResult PortResult(const RunContext& run, const AccountJob& job, int32_t code, bool ok,
                       const std::string& okMessage, const std::string& downMessage);

}  // namespace agents
