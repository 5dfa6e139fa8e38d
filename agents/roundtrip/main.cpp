// RoundTripSentry: proves that a mail service works end to end. Started by the console
// with "<dir> n" it launches one run per e-mail account; started with a parameter file it
// is that account's run.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "HostCheck.h"
#include "InboxPull.h"
#include "agents/framework/account_pool.h"
#include "agents/framework/command_line.h"
#include "agents/roundtrip/launcher.h"
#include "agents/roundtrip/round_trip.h"
#include "platform/files.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  const std::string line = platform::JoinArguments(argc, argv);
  const std::optional<agents::AgentCommand> command = agents::SplitCommandLine(line);
  if (command && platform::IsDirectory(command->programDir)) {
    const std::string self = platform::JoinPath(platform::ExecutableDir(),
                                                common::FactsOf(common::Agent::kRoundTrip).program);
    roundtrip::LaunchAccounts(command->programDir, command->n, self,
                              agents::ReadScanParallel(command->programDir),
                              [](const std::string& program, const std::vector<std::string>& args) {
                                return platform::RunAndWait(program, args);
                              });
    return 0;
  }
  roundtrip::Services services;
  services.probes = {&Ping, &IsMailPortOpen};
  services.retrieve = &POP3_RetrieveAllWithPort;
  services.retrieveSecure = &POP3_RetrieveAllSecure;
  services.smtpOptions = &roundtrip::AccountSmtpOptions;
  services.pause = [](int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // Tests shorten the pause between receive attempts.
  if (const char* v = std::getenv("VARN_ROUNDTRIP_TEST_PAUSE_MS"); v != nullptr && *v != '\0') {
    services.pollPauseMs = std::strtoll(v, nullptr, 10);
  }
  return roundtrip::RunAccount(line, services);
}
