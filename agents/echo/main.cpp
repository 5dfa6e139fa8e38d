// EchoSentry: is each server's host answering an ICMP echo, and how fast. All echoes of a
// run go through one ICMP socket, so hosts are pinged side by side, each with its own
// attempts, pauses and time-outs.
#include <cstdio>
#include <functional>
#include <memory>

#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"
#include "hostcheck/echo_socket.h"

namespace {

class EchoCheck : public agents::AccountCheck {
 public:
  bool Enabled(const common::AccountRecord& record) const override { return record.pingOn != 0; }

  // Opens the run's socket; when none opens, every attempt goes through Ping, which then
  // reports why (-900).
  void OpenSocket() { socket_ = hostcheck::EchoSocket::Open(); }

  // A host's echoes wait on the socket, not on a worker: side by side, a dead host's attempts
  // cost it their time-outs, not the run.
  void Begin(agents::RunContext& run, agents::AccountJob& job, Finish finish) override {
    const int32_t timeoutMs = TimeoutMs(job);
    agents::AttemptLater attempt;
    if (socket_) {
      hostcheck::EchoSocket& socket = *socket_;
      attempt = [&socket, &job, timeoutMs](std::function<void(int32_t)> done) {
        socket.EchoAsync(job.host.c_str(), timeoutMs, 32, std::move(done));
      };
    } else {
      attempt = [&job, timeoutMs](std::function<void(int32_t)> done) {
        done(Ping(job.host.c_str(), timeoutMs, 32, 1, 0));
      };
    }
    agents::TryPingLater(
        *run.pool, std::move(attempt),
        [&run, &job, finish](int32_t code, bool ok) { finish(Result(run, job, code, ok)); });
  }

 private:
  static int32_t TimeoutMs(const agents::AccountJob& job) {
    int32_t seconds = job.account.record.pingTimeout;
    return (seconds == 0 ? 1 : seconds) * 1000;
  }

  static agents::CheckResult Result(agents::RunContext& run, const agents::AccountJob& job,
                                    int32_t code, bool ok) {
    char okMessage[64];
    std::snprintf(okMessage, sizeof okMessage, "%s time=%ldms", "Ping OK", static_cast<long>(code));
    return agents::PortResult(run, job, code, ok, okMessage, "Ping DOWN ");
  }

  std::unique_ptr<hostcheck::EchoSocket> socket_;
};

}  // namespace

int main(int argc, char** argv) {
  EchoCheck check;
  agents::RunOptions options;
  options.concurrent = true;
  options.beforeAccounts = [&](agents::RunContext&) { check.OpenSocket(); };
  return agents::RunAgent(
      argc, argv, agents::kEchoProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      options);
}
