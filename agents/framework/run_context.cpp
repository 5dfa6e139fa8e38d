#include "agents/framework/run_context.h"

#include <cstdlib>

#include "common/layout.h"
#include "platform/ini.h"

namespace agents {

RunContext::RunContext(const AgentProfile& agent, std::string dir, long number)
    : profile(agent),
      programDir(std::move(dir)),
      n(number),
      fullRun(number != 0),
      retryPath(common::InDir(programDir, common::kTemp, agent.facts.retryFile)),
      state(common::InDir(programDir, agent.facts.stateFile), agent.facts.stateSize,
            agent.facts.downOffset, agent.facts.busyFlags) {}

std::string RunContext::AccountPath(const std::string& key) const {
  return common::AccountPath(programDir, key);
}

std::string RunContext::StatusPath(const std::string& key) const {
  return common::StatusPath(programDir, profile.facts.folder, key);
}

std::string RunContext::DataDir() const {
  return common::InDir(programDir, common::FolderName(profile.facts.folder));
}

std::string AlertTempDir(const std::string& programDir) {
  std::string dir =
      platform::IniGetString(common::IniPath(programDir), common::kIniSection, "TEMPDIR", "");
  if (!dir.empty()) return dir;
  const char* system = std::getenv("TMPDIR");
  return (system && *system) ? system : "/tmp";
}

}  // namespace agents
