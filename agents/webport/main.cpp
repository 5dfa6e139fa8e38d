// WebPortSentry: does the account's HTTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckWords words;
  words.enabled = [](const common::AccountRecord& r) { return r.httpPortOn != 0; };
  words.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.httpTimeout));
  };
  words.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.httpPort); };
  words.probe = hostcheck::PortProbe::kWebRequest;
  words.blockingProbe = &IsWebPortOpen;
  words.firstSuccessFrom = 0;
  words.secondSuccessFrom = 0;
  words.okMessage = "HTTP Port 80 OK";
  words.downMessage = "HTTP Port 80 DOWN Error: ";
  words.busyOffWhileProbing = true;
  agents::PortCheck check(words);
  return agents::RunAgent(
      argc, argv, agents::kWebPortProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
