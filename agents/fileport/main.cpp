// FilePortSentry: does the account's FTP port accept a connection and send a first line.
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/probe_checks.h"

int main(int argc, char** argv) {
  agents::PortCheckWords words;
  words.enabled = [](const common::AccountRecord& r) { return r.ftpPortOn != 0; };
  words.timeoutSeconds = [](const common::AccountRecord& r) {
    return static_cast<int32_t>(static_cast<int16_t>(r.ftpPortTimeout));
  };
  words.port = [](const common::AccountRecord& r) { return static_cast<int32_t>(r.ftpPort); };
  words.probe = hostcheck::PortProbe::kWebRequest;
  words.blockingProbe = &IsWebPortOpen;
  words.firstSuccessFrom = 0;
  words.secondSuccessFrom = 0;
  words.okMessage = "FTP Port 21 OK";
  words.downMessage = "FTP Port 21 DOWN Error: ";
  words.busyOffWhileProbing = false;
  agents::PortCheck check(words);
  return agents::RunAgent(
      argc, argv, agents::kFilePortProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
