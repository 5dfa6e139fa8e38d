// ICMP echo: the work behind the exported Ping.
#pragma once

#include <cstdint>

namespace hostcheck {

// See Ping in HostCheck.h. A count below 1 counts as 1 and a negative pause as none.
int32_t PingHost(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                 int32_t pauseMs);

}  // namespace hostcheck
