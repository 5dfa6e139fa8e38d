// The agents' lines in the two daily logs.
#pragma once

#include <string>

#include "agents/framework/run_context.h"

namespace agents {

// Framework line codes.
constexpr long kSkippedCode = 10003;
constexpr long kAlertRecordCode = 10012;
// An alert mail that could not be handed to a mail server (or to the mail sender).
constexpr long kMailNotSentCode = 10013;

// An account line "<code> <date> <time> <name> <message><error text>": the full log names
// the account readably, the display log by its stored key. Written only when the log
// switches of the agent's group ask for it: Scan.dat byte 10+g = 1 writes lines, and byte
// 15+g = 1 writes them for successful checks too. `countsAsFailure` marks a line that is
// written even when successes are not logged.
void WriteAccountLine(const RunContext& run, long code, const std::string& storedName,
                      const std::string& message, const std::string& errorText,
                      bool countsAsFailure);

// A framework line (skipped run, alert record), written whatever the switches say.
void WriteFrameworkLine(const std::string& programDir, long code, const std::string& tag,
                        const std::string& detail);

}  // namespace agents
