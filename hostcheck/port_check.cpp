#include "hostcheck/port_check.h"

#include "hostcheck/net_util.h"
#include "hostcheck/port_probe.h"
#include "platform/clock.h"

namespace hostcheck {

int32_t CheckPort(const char* host, int32_t port, int32_t timeoutMs, PortProbe probe) {
  PortProbeSteps steps(port, timeoutMs, probe);
  bool over = steps.Start(host);
  while (!over) {
    int64_t left = steps.deadline() - platform::MonotonicMs();
    over =
        steps.Advance(WaitFor(steps.fd(), steps.events(), left > 0 ? static_cast<int>(left) : 0));
  }
  return steps.result();
}

}  // namespace hostcheck
