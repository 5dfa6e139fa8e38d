#include "agents/framework/command_line.h"

#include <cerrno>
#include <cstdlib>

namespace agents {

std::optional<AgentCommand> SplitCommandLine(std::string_view line) {
  size_t blank = line.rfind(' ');
  if (blank == std::string_view::npos || blank == 0) return std::nullopt;
  std::string number(line.substr(blank + 1));
  if (number.empty()) return std::nullopt;
  size_t start = (number[0] == '-' || number[0] == '+') ? 1 : 0;
  if (start == number.size()) return std::nullopt;
  for (size_t i = start; i < number.size(); ++i) {
    if (number[i] < '0' || number[i] > '9') return std::nullopt;
  }
  errno = 0;
  long n = std::strtol(number.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  AgentCommand command;
  command.programDir = std::string(line.substr(0, blank));
  command.n = n;
  return command;
}

}  // namespace agents
