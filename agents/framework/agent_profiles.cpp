#include "agents/framework/agent_profiles.h"

namespace agents {

using common::Agent;
using common::FactsOf;

const AgentProfile kEchoProfile = {
    FactsOf(Agent::kEcho), "PING Scan Process Skipped.", "PING", "PING", common::kGroupPing, false};

const AgentProfile kWebPortProfile = {FactsOf(Agent::kWebPort),
                                      "HTTP Port Scan Process Skipped.",
                                      "HTTP",
                                      "HTTP Port",
                                      common::kGroupHttp,
                                      true};

const AgentProfile kMailOutProfile = {FactsOf(Agent::kMailOut),
                                      "SMTP Port Scan Process Skipped.",
                                      "SMTP",
                                      "SMTP Port",
                                      common::kGroupEmail,
                                      true};

const AgentProfile kMailInProfile = {FactsOf(Agent::kMailIn),
                                     "POP Port Scan Process Skipped.",
                                     "POP",
                                     "POP Port",
                                     common::kGroupEmail,
                                     true};

const AgentProfile kFilePortProfile = {FactsOf(Agent::kFilePort),
                                       "FTP Scan Process Skipped.",
                                       "FTP",
                                       "FTP Port",
                                       common::kGroupFtp,
                                       true};

// The check type of a custom port is its service name, set per slot.
const AgentProfile kAnyPortProfile = {FactsOf(Agent::kAnyPort),
                                      "Custom Scan Process Skipped.",
                                      "",
                                      "Custom",
                                      common::kGroupPort,
                                      false,
                                      "[Up Mail Sent: Custom]"};

const AgentProfile kPageProfile = {FactsOf(Agent::kPage),
                                   "HTTP Page Scan Process Skipped.",
                                   "HTTP",
                                   "HTTP Page",
                                   common::kGroupHttp,
                                   true};

// Three busy flags: upload, download, delete.
const AgentProfile kXferProfile = {FactsOf(Agent::kXfer), "FTP Send/Rec Scan Process Skipped.",
                                   "FTP Transfer",        "FTP Send/Rec",
                                   common::kGroupFtp,     true};

}  // namespace agents
