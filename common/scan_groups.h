// The scan groups and the agent programs behind them, as the console and the agents both
// know them: each agent's program name, status folder, scan state file and retry file, and
// each group's name and agents. The console launches and reads by this table; each agent
// takes its names from its row.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "common/layout.h"
#include "common/records.h"

namespace common {

// The agent programs, in the console's launch order (the port agents last, in the order
// they start).
enum class Agent {
  kEcho,
  kPage,
  kRoundTrip,
  kXfer,
  kWebPort,
  kMailOut,
  kMailIn,
  kFilePort,
  kAnyPort,
};
inline constexpr size_t kAgentCount = 9;

struct AgentFacts {
  const char* program;  // file name in the console's bin directory; also its run guard's name
  ScanGroup group;      // the group that launches it
  StatusFolder folder;  // where it keeps its accounts' status records
  // Scan state file in the program directory. The e-mail agent writes numbered copies of it
  // ("emailPara.dat<n>"), one per account run.
  const char* stateFile;
  size_t stateSize;       // bytes of the state file
  size_t downOffset;      // offset of the down flag in the state file
  size_t busyFlags;       // busy flags at the start of the state file, one per stage of the check
  const char* retryFile;  // in <dir>/temp: the accounts to try again before the next full run
};

inline constexpr std::array<AgentFacts, kAgentCount> kAgents = {{
    {"EchoSentry", kGroupPing, StatusFolder::kPing, "pingPara.dat", sizeof(PingScanState),
     offsetof(PingScanState, down), 1, "pingscan.err"},
    {"PageSentry", kGroupHttp, StatusFolder::kHttpPage, "httpPara.dat", sizeof(PortScanState),
     offsetof(PortScanState, down), 1, "httpscan.err"},
    {"RoundTripSentry", kGroupEmail, StatusFolder::kEmail, "emailPara.dat", sizeof(EmailScanState),
     offsetof(EmailScanState, down), 2, "emailscan.err"},
    {"XferSentry", kGroupFtp, StatusFolder::kFtpTransfer, "ftpPara.dat", sizeof(FtpScanState),
     offsetof(FtpScanState, down), 3, "ftpscan.err"},
    {"WebPortSentry", kGroupPort, StatusFolder::kHttpPort, "portHTTPPara.dat",
     sizeof(PortScanState), offsetof(PortScanState, down), 1, "httpportscan.err"},
    {"MailOutSentry", kGroupPort, StatusFolder::kSmtpPort, "portSMTPPara.dat",
     sizeof(PortScanState), offsetof(PortScanState, down), 1, "smtpportscan.err"},
    {"MailInSentry", kGroupPort, StatusFolder::kPopPort, "portPOPPara.dat", sizeof(PortScanState),
     offsetof(PortScanState, down), 1, "popportscan.err"},
    {"FilePortSentry", kGroupPort, StatusFolder::kFtpPort, "portFTPPara.dat", sizeof(PortScanState),
     offsetof(PortScanState, down), 1, "ftpportscan.err"},
    {"AnyPortSentry", kGroupPort, StatusFolder::kCustom, "portCUSTPara.dat", sizeof(PortScanState),
     offsetof(PortScanState, down), 1, "custportscan.err"},
}};

constexpr const AgentFacts& FactsOf(Agent a) {
  return kAgents[static_cast<size_t>(a)];
}

// The port agents in the order of their status folders (HTTP, FTP, SMTP, POP, custom): the
// order in which the console reads their state files.
inline constexpr std::array<Agent, 5> kPortAgentsByFolder = {
    Agent::kWebPort, Agent::kFilePort, Agent::kMailOut, Agent::kMailIn, Agent::kAnyPort};

struct ScanGroupFacts {
  ScanGroup group;
  // "PING": the group's name in the console's state, its log lines and the page's message
  // keys ("group<name>").
  const char* name;
  const char* logLabel;           // message key of its log switch in "Setup"
  std::span<const Agent> agents;  // in launch order
};

namespace detail {
inline constexpr Agent kPingAgents[] = {Agent::kEcho};
inline constexpr Agent kHttpAgents[] = {Agent::kPage};
inline constexpr Agent kEmailAgents[] = {Agent::kRoundTrip};
inline constexpr Agent kFtpAgents[] = {Agent::kXfer};
inline constexpr Agent kPortAgents[] = {Agent::kWebPort, Agent::kMailOut, Agent::kMailIn,
                                        Agent::kFilePort, Agent::kAnyPort};
}  // namespace detail

// Indexed by ScanGroup (the order of the settings files).
inline constexpr std::array<ScanGroupFacts, kGroupCount> kScanGroups = {{
    {kGroupPing, "PING", "lblPingOn", detail::kPingAgents},
    {kGroupHttp, "HTTP", "lblHttpOn", detail::kHttpAgents},
    {kGroupEmail, "EMAIL", "lblEmailOn", detail::kEmailAgents},
    {kGroupFtp, "FTP", "lblFtpOn", detail::kFtpAgents},
    {kGroupPort, "PORT", "lblPortOn", detail::kPortAgents},
}};

// The order in which the main window and "Setup" show the groups.
inline constexpr std::array<ScanGroup, kGroupCount> kGroupDisplayOrder = {
    kGroupPing, kGroupPort, kGroupHttp, kGroupFtp, kGroupEmail};

constexpr const ScanGroupFacts& GroupFacts(int group) {
  return kScanGroups[static_cast<size_t>(group)];
}

namespace detail {
// Each row at its enum's place, each agent in the group its row names and in no other, and
// the port agents by folder exactly the port group's agents.
constexpr bool TablesAgree() {
  for (size_t g = 0; g < kScanGroups.size(); ++g) {
    if (static_cast<size_t>(kScanGroups[g].group) != g) return false;
  }
  for (size_t a = 0; a < kAgents.size(); ++a) {
    int listed = 0;
    for (const ScanGroupFacts& g : kScanGroups) {
      for (Agent member : g.agents) {
        if (static_cast<size_t>(member) == a) listed += g.group == kAgents[a].group ? 1 : 2;
      }
    }
    if (listed != 1) return false;
  }
  if (GroupFacts(kGroupPort).agents.size() != kPortAgentsByFolder.size()) return false;
  for (size_t i = 0; i < kPortAgentsByFolder.size(); ++i) {
    if (FactsOf(kPortAgentsByFolder[i]).group != kGroupPort) return false;
    if (i > 0 &&
        FactsOf(kPortAgentsByFolder[i - 1]).folder >= FactsOf(kPortAgentsByFolder[i]).folder)
      return false;
  }
  return true;
}
static_assert(TablesAgree());
}  // namespace detail

}  // namespace common
