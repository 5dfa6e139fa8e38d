// What tells one scan agent from another. Each agent program fills one of these; the
// framework builds every path, log tag and alert text from it.
#pragma once

#include <cstddef>

#include "common/scan_groups.h"

namespace agents {

struct AgentProfile {
  // Program name (also the single-run guard's name, followed by n), status folder, state
  // and retry file: the agent's row of the table the console launches and reads by.
  common::AgentFacts facts;
  const char* skippedText;  // detail of the "[Skipped]" line
  const char* checkType;    // what %C stands for in the alert texts
  // The check's name in the tags of the alert records ("[Down Mail Sent: <name>]").
  const char* alertTagName;
  int logGroup;  // selects the two logging switches of Scan.dat
  // The agent-specific error texts for -911, -912 and -17 apply.
  bool authErrorTexts;
  // Tag of the Up mail record; empty means "[Up Mail Send: <alert tag name>]".
  const char* upMailTag = "";
};

}  // namespace agents
