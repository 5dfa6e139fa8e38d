// AnyPortSentry: does each of the up to five custom ports of an account accept a connection
// and answer with a first line. Each port keeps its own status block and raises its own
// alerts, named by the port's service name.
#include <cstdio>

#include "HostCheck.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/custom_frame.h"
#include "agents/framework/probe_checks.h"

namespace {

agents::PortProber prober;

void CheckPort(agents::RunContext& run, agents::AccountJob& job, int slot,
               agents::AccountCheck::Finish finish) {
  const common::AccountRecord& record = job.account.record;
  const int32_t timeoutMs = static_cast<int32_t>(record.customTimeout) * 1000;
  const int32_t port = static_cast<int32_t>(record.customPorts[slot]);
  prober.TryTwice(run, job.host, port, timeoutMs, hostcheck::PortProbe::kWebRequest, &IsWebPortOpen,
                  1, 0, [&run, &job, port, finish](int32_t code, bool ok) {
                    char okMessage[64], downMessage[64];
                    std::snprintf(okMessage, sizeof okMessage, "CUSTOM Port %ld OK",
                                  static_cast<long>(port));
                    std::snprintf(downMessage, sizeof downMessage,
                                  "CUSTOM Port %ld DOWN Error: ", static_cast<long>(port));
                    finish(agents::PortResult(run, job, code, ok, okMessage, downMessage));
                  });
}

}  // namespace

int main(int argc, char** argv) {
  return agents::RunAgent(
      argc, argv, agents::kAnyPortProfile, {&Ping, &IsMailPortOpen},
      [](agents::RunContext& run, const std::string& key) {
        agents::CheckCustomAccount(run, &CheckPort, key);
      },
      agents::Concurrently());
}
