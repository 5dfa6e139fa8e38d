#include "agents/framework/port_check.h"

#include "agents/framework/error_text.h"
#include "platform/clock.h"

namespace agents {

int32_t TryPortTwice(const std::function<int32_t()>& attempt, int32_t firstSuccessFrom,
                     int32_t secondSuccessFrom, bool* ok) {
  int32_t result = attempt();
  if (result >= firstSuccessFrom) {
    *ok = true;
    return result;
  }
  platform::SleepMs(kRetryPauseMs);
  result = attempt();
  *ok = result >= secondSuccessFrom;
  return result;
}

int32_t TryPing(const std::function<int32_t()>& attempt, bool* ok,
                const std::function<void(int)>& pause) {
  int32_t result = -1;
  for (int i = 0; i < kPingAttempts; ++i) {
    // The pause only spaces the attempts: after the last failed one it would just delay
    // the run.
    if (i > 0) pause ? pause(kRetryPauseMs) : platform::SleepMs(kRetryPauseMs);
    result = attempt();
    if (result >= 0) {
      *ok = true;
      return result;
    }
  }
  *ok = false;
  return result;
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

CheckResult PortCheck::Check(RunContext& run, AccountJob& job) {
  const common::AccountRecord& record = job.account.record;
  const int32_t timeoutMs = words_.timeoutSeconds(record) * 1000;
  const int32_t port = words_.port(record);
  if (words_.busyOffWhileProbing && run.parallel == 1) run.state.WriteBusy(0);
  bool ok = false;
  int32_t code = TryPortTwice([&] { return words_.probe(job.host.c_str(), port, timeoutMs); },
                              words_.firstSuccessFrom, words_.secondSuccessFrom, &ok);
  return PortResult(run, job, code, ok, words_.okMessage, words_.downMessage);
}

}  // namespace agents
