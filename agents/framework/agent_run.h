// One run of an agent: command line, single-run guard, settings, scan state file, the
// account loop of a full or re-check run, and the final state write. Always exit code 0.
#pragma once

#include <functional>
#include <string>

#include "agents/framework/agent_profile.h"
#include "agents/framework/run_context.h"

namespace agents {

// Checks one account, given its key.
using AccountVisitor = std::function<void(RunContext& run, const std::string& key)>;

// The whole run; returns the process's exit code (always 0).
int RunAgent(int argc, char** argv, const AgentProfile& profile, const MailServerProbes& probes,
             const AccountVisitor& visit);

// The guard's name for run number n: the program name followed by n.
std::string GuardName(const AgentProfile& profile, long n);

}  // namespace agents
