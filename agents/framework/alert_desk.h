// The alert desk: the one place where alerts are held and grouped. While some holding or
// grouping is set up (an account with a parent, the storm digest, the flapping watch), the
// agents queue their alerts (alert_queue.h) and the program AlertDesk sends them. It runs
// as one process at a time (its run guard "AlertDesk"), so agents of different groups that
// run at once never send an alert twice: each queued file is claimed (renamed) before it is
// sent and removed after, and a file that cannot be claimed is not sent.
// Its settings are common/alert_grouping.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "agents/framework/run_context.h"

namespace agents {

// The parent named by each account's options file (account key -> parent's server name).
std::map<std::string, std::string> ReadParents(const std::string& programDir);

// True when the agents are to queue their alerts for the desk.
bool AlertDeskWanted(const std::string& programDir);

// A child's alert waits this long for a parent that failed once to be confirmed down or
// up again; after that it is sent as if the account had no parent.
inline constexpr int64_t kParentWaitSeconds = 600;

enum class CheckState { kUp, kFailing, kDown };

// The worst state of any check of the account (Down: its Down alert was raised).
CheckState AccountState(const std::string& programDir, const std::string& key);
// The state of one check (folder, custom slot or -1).
CheckState CheckStateOf(const std::string& programDir, int folder, int slot,
                        const std::string& key);

// One pass over the queue at `now` (Unix seconds): alerts held behind a down parent, let go
// when it is back, grouped into a digest or sent one by one. True while anything waits
// (a queued or held alert, a digest window, a flapping check).
bool DeskPass(const std::string& programDir, const MailServerProbes& probes, int64_t now);

// Starts AlertDesk on the program directory after a run that queued alerts; a failed start
// is logged (the console's next tick starts it again).
void StartAlertDesk(const RunContext& run);

// The desk program's loop: passes once a second while anything waits. Returns 0.
int RunAlertDesk(const std::string& programDir, const MailServerProbes& probes);

}  // namespace agents
