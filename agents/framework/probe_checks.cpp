#include "agents/framework/probe_checks.h"

#include <memory>

#include "agents/framework/error_text.h"

namespace agents {

namespace {

// Attempts one after another with pauses between failed ones, none holding a worker while
// it waits: each attempt holds the pool open until its answer is resumed on a worker.
struct Attempts : std::enable_shared_from_this<Attempts> {
  AccountPool& pool;
  AttemptLater attempt;
  int count;
  std::function<bool(int index, int32_t result)> success;
  Decided decided;
  int index = 0;

  Attempts(AccountPool& p, AttemptLater a, int n, std::function<bool(int, int32_t)> s, Decided d)
      : pool(p), attempt(std::move(a)), count(n), success(std::move(s)), decided(std::move(d)) {}

  void Next() {
    pool.Hold();
    attempt([self = shared_from_this()](int32_t result) {
      self->pool.Resume([self, result] { self->Answered(result); });
    });
  }

  void Answered(int32_t result) {
    bool ok = success(index, result);
    if (ok || ++index == count) {
      decided(result, ok);
      return;
    }
    pool.After(kRetryPauseMs, [self = shared_from_this()] { self->Next(); });
  }
};

}  // namespace

void TryPortTwiceLater(AccountPool& pool, AttemptLater attempt, int32_t firstSuccessFrom,
                       int32_t secondSuccessFrom, Decided decided) {
  auto success = [firstSuccessFrom, secondSuccessFrom](int index, int32_t result) {
    return result >= (index == 0 ? firstSuccessFrom : secondSuccessFrom);
  };
  std::make_shared<Attempts>(pool, std::move(attempt), 2, success, std::move(decided))->Next();
}

void TryPingLater(AccountPool& pool, AttemptLater attempt, Decided decided) {
  auto success = [](int, int32_t result) { return result >= 0; };
  std::make_shared<Attempts>(pool, std::move(attempt), kPingAttempts, success, std::move(decided))
      ->Next();
}

CheckResult PortResult(const RunContext& run, const AccountJob& job, int32_t code, bool ok,
                       const std::string& okMessage, const std::string& downMessage) {
  CheckResult r;
  r.code = code;
  r.logCode = code;
  r.failed = !ok;
  r.errorText = ErrorText(ok ? 0 : code, job.host, run.profile.authErrorTexts);
  r.message = ok ? okMessage : downMessage;
  if (!ok) r.alertMessage = downMessage + r.errorText;
  return r;
}

void PortProber::TryTwice(RunContext& run, const std::string& host, int32_t port, int32_t timeoutMs,
                          hostcheck::PortProbe probe, PortProbeFn blockingProbe,
                          int32_t firstSuccessFrom, int32_t secondSuccessFrom, Decided decided) {
  std::call_once(loopOpened_, [&] { loop_ = hostcheck::PortProbeLoop::Start(); });
  AttemptLater attempt;
  if (loop_) {
    hostcheck::PortProbeLoop& loop = *loop_;
    attempt = [&loop, &host, port, timeoutMs, probe](std::function<void(int32_t)> done) {
      loop.Begin(host.c_str(), port, timeoutMs, probe, std::move(done));
    };
  } else {
    attempt = [&host, port, timeoutMs, blockingProbe](std::function<void(int32_t)> done) {
      done(blockingProbe(host.c_str(), port, timeoutMs));
    };
  }
  TryPortTwiceLater(*run.pool, std::move(attempt), firstSuccessFrom, secondSuccessFrom,
                    std::move(decided));
}

void PortCheck::Begin(RunContext& run, AccountJob& job, Finish finish) {
  const common::AccountRecord& record = job.account.record;
  if (spec_.busyOffWhileProbing && run.parallel == 1) run.state.WriteBusy(0);
  prober_.TryTwice(run, job.host, spec_.port(record), spec_.timeoutSeconds(record) * 1000,
                   spec_.probe, spec_.blockingProbe, spec_.firstSuccessFrom,
                   spec_.secondSuccessFrom, [this, &run, &job, finish](int32_t code, bool ok) {
                     finish(PortResult(run, job, code, ok, spec_.okMessage, spec_.downMessage));
                   });
}

}  // namespace agents
