// AlertDesk: sends the alerts the agents queued while alerts are held or grouped (see
// agents/framework/alert_desk.h). "AlertDesk <program dir>"; one runs at a time.
#include "HostCheck.h"
#include "agents/framework/alert_desk.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  agents::MailServerProbes probes{&Ping, &IsMailPortOpen};
  return agents::RunAlertDesk(platform::JoinArguments(argc, argv), probes);
}
