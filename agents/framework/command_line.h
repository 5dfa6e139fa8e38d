// The agents' command line: "<program dir> <n>". The directory may hold blanks, so the line
// is split at its last blank.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace agents {

struct AgentCommand {
  std::string programDir;
  long n = 0;  // 0 selects a re-check run; any other value a full run
};

// Splits at the last blank. Nothing when there is no blank, the directory part is empty or
// the number part is not a decimal number.
std::optional<AgentCommand> SplitCommandLine(std::string_view line);

}  // namespace agents
