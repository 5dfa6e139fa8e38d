// WebPortSentry: does the account's HTTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckSpec spec;
  spec.enabled = [](const common::AccountRecord& r) { return r.httpPortOn != 0; };
  spec.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.httpTimeout));
  };
  spec.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.httpPort); };
  spec.probe = hostcheck::PortProbe::kWebRequest;
  spec.blockingProbe = &IsWebPortOpen;
  spec.firstSuccessFrom = 0;
  spec.secondSuccessFrom = 0;
  spec.okMessage = "HTTP Port 80 OK";
  spec.downMessage = "HTTP Port 80 DOWN Error: ";
  spec.busyOffWhileProbing = true;
  agents::PortCheck check(spec);
  return agents::RunAgent(
      argc, argv, agents::kWebPortProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
