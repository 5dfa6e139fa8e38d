// MailOutSentry: does the account's SMTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckSpec spec;
  spec.enabled = [](const common::AccountRecord& r) { return r.smtpPortOn != 0; };
  spec.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.smtpPortTimeout));
  };
  spec.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.smtpPort); };
  spec.probe = hostcheck::PortProbe::kGreeting;
  spec.blockingProbe = &IsMailPortOpen;
  spec.firstSuccessFrom = 1;
  spec.secondSuccessFrom = 1;
  spec.okMessage = "SMTP Port 25 OK";
  spec.downMessage = "SMTP Port 25 DOWN Error: ";
  spec.busyOffWhileProbing = false;
  agents::PortCheck check(spec);
  return agents::RunAgent(
      argc, argv, agents::kMailOutProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
