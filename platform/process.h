// Starting programs hidden: detached and never waited for, or waited for to their end.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Starts `program` with `args` (argv[1]...) in a session of its own, detached: the caller
// never waits for it and no zombie is left behind (the program is re-parented). Standard
// output and error go to /dev/null; standard input reads `stdinData` from a pipe when
// given (then end of input), /dev/null otherwise. No descriptor of the caller is
// inherited. True when the program was started (its executable could be run).
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::optional<std::string>& stdinData = std::nullopt);

// Starts `program` like SpawnDetached, in a session of its own with no descriptor of the
// caller, but waits for its end. True when the program was started.
bool RunAndWait(const std::string& program, const std::vector<std::string>& args);

// Joins a program's arguments with single blanks, as the suite's command lines are read.
std::string JoinArguments(int argc, char** argv, int first = 1);

}  // namespace platform
