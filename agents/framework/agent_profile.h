// The words and names that tell one scan agent from another. Each agent program fills one
// of these; the framework builds every path, log tag and alert text from it.
#pragma once

#include <cstddef>

#include "common/layout.h"

namespace agents {

struct AgentProfile {
  const char* programName;  // also the single-run guard's name, followed by n
  const char* skippedText;  // detail of the "[Skipped]" line
  common::StatusFolder folder;
  const char* stateFile;  // scan state file in the program directory
  size_t stateSize;       // 8, 20 or 28 bytes
  size_t downOffset;      // offset of the down word in the state file
  const char* retryFile;  // in <dir>/temp
  const char* typeWord;   // what %C stands for
  const char* tagWord;    // what the alert records name
  int logGroup;           // selects the two logging switches of Scan.dat
  // The agent-specific error texts for -911, -912 and -17 apply.
  bool authErrorTexts;
  // Tag of the Up mail record; empty means "[Up Mail Send: <tag word>]".
  const char* upMailTag = "";
  // Number of busy words at the start of the state file (one per stage of the check);
  // all are set and cleared together.
  size_t busyWords = 1;
};

}  // namespace agents
