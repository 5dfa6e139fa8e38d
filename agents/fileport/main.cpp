// FilePortSentry: does the account's FTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckSpec spec;
  spec.enabled = [](const common::AccountRecord& r) { return r.ftpPortOn != 0; };
  spec.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.ftpPortTimeout));
  };
  spec.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.ftpPort); };
  spec.probe = hostcheck::PortProbe::kWebRequest;
  spec.blockingProbe = &IsWebPortOpen;
  spec.firstSuccessFrom = 0;
  spec.secondSuccessFrom = 0;
  spec.okMessage = "FTP Port 21 OK";
  spec.downMessage = "FTP Port 21 DOWN Error: ";
  spec.busyOffWhileProbing = false;
  agents::PortCheck check(spec);
  return agents::RunAgent(
      argc, argv, agents::kFilePortProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
