// MailOutSentry: does the account's SMTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckWords words;
  words.enabled = [](const common::AccountRecord& r) { return r.smtpPortOn != 0; };
  words.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.smtpPortTimeout));
  };
  words.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.smtpPort); };
  words.probe = hostcheck::PortProbe::kGreeting;
  words.blockingProbe = &IsMailPortOpen;
  words.firstSuccessFrom = 1;
  words.secondSuccessFrom = 1;
  words.okMessage = "SMTP Port 25 OK";
  words.downMessage = "SMTP Port 25 DOWN Error: ";
  words.busyOffWhileProbing = false;
  agents::PortCheck check(words);
  return agents::RunAgent(
      argc, argv, agents::kMailOutProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
