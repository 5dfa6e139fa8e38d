// What one run of an agent knows: its words, the program directory, the settings read at
// start, the scan state file and the run's down flag. The per-account frame depends only
// on this and the account, so accounts could be checked side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "agents/framework/agent_profile.h"
#include "agents/framework/scan_state.h"
#include "common/record_texts.h"
#include "common/records.h"
#include "platform/clock.h"

namespace agents {

class AccountPool;

// The network checks the alert dispatch uses to test a mail server.
struct MailServerProbes {
  int32_t (*ping)(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                  int32_t pauseMs) = nullptr;
  int32_t (*isMailPortOpen)(const char* host, int32_t port, int32_t timeoutMs) = nullptr;
  // For a server that speaks TLS from the first byte, which sends no greeting before the
  // handshake: 1 when a connection opens. Unset: agents::ConnectProbe.
  int32_t (*isPortListening)(const char* host, int32_t port, int32_t timeoutMs) = nullptr;
};

struct RunContext {
  RunContext(const AgentProfile& agent, std::string dir, long number);

  const AgentProfile& profile;
  std::string programDir;
  long n;
  bool fullRun;
  bool firstRun = false;
  platform::SystemTime startTime{};
  // Accounts checked at a time; 1 is the one-after-another order.
  size_t parallel = 1;
  // The workers of the run, while its accounts are checked: a check that waits on the
  // network leaves its worker through it.
  AccountPool* pool = nullptr;

  common::ScanSettings scan{};
  common::AlertFile alert;
  common::AlertAuth auth{};

  std::string tempDir;  // where alert hand-over files go
  std::string binDir;   // where VarnPost and LanBellCmd are started from
  std::string retryPath;
  MailServerProbes probes;

  ScanStateFile state;
  std::atomic<bool> runDown{false};
  // Alerts go to the alert desk's queue instead of out at once (some holding or grouping
  // is set up); `alertsQueued` says one was queued, so the desk is started after the run.
  bool queueAlerts = false;
  mutable std::atomic<bool> alertsQueued{false};

  std::string AccountPath(const std::string& key) const;
  std::string StatusPath(const std::string& key) const;
  std::string DataDir() const;
};

// Reads TEMPDIR from the settings file; empty means the system temporary folder.
std::string AlertTempDir(const std::string& programDir);

}  // namespace agents
