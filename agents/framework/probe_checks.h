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
constexpr int kPingAttempts = 6;

// One attempt that does not hold its caller: it calls `done` with the result, at once or
// later from another thread.
using AttemptLater = std::function<void(std::function<void(int32_t)> done)>;
// What a sequence of attempts decided: the deciding result and whether it is a success.
using Decided = std::function<void(int32_t result, bool ok)>;

// The attempts of the port agents: up to two, 500 ms apart; the first counts as a success
// from `firstSuccessFrom` on, the second from `secondSuccessFrom` on.
void TryPortTwiceLater(AccountPool& pool, AttemptLater attempt, int32_t firstSuccessFrom,
                       int32_t secondSuccessFrom, Decided decided);
// The attempts of the ping agent: up to six (two rounds of three) with a 500 ms pause
// between a failed one and the next; any result of 0 or more is a success.
//
// Both wait without a worker of the run's pool: an attempt holds the pool open until its
// answer is resumed on a worker, the pauses are the pool's timers (none after the last
// attempt), and `decided` runs on a worker. With one worker and one open account (one after
// another) each account's attempts are over before the next account begins.
void TryPingLater(AccountPool& pool, AttemptLater attempt, Decided decided);

// Port probes with their two attempts for the accounts of a run, in one loop of the run
// (opened at the first probe) where a probe waits without holding a worker.
class PortProber {
 public:
  // `probe` is what the loop runs; `blockingProbe` the library's call that stands in on the
  // worker when the loop cannot start. `host` must live until `decided` has run.
  void TryTwice(RunContext& run, const std::string& host, int32_t port, int32_t timeoutMs,
                hostcheck::PortProbe probe, PortProbeFn blockingProbe, int32_t firstSuccessFrom,
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
  hostcheck::PortProbe probe = hostcheck::PortProbe::kGreeting;
  // The same probe as the library's blocking call, for a run whose probe loop cannot start.
  PortProbeFn blockingProbe = nullptr;
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
