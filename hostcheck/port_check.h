// TCP port checks: the work behind IsMailPortOpen and IsWebPortOpen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostcheck {

// The probe IsWebPortOpen sends right after connecting (51 bytes).
inline constexpr char kWebProbe[] = "GET /index.htm HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
inline constexpr size_t kWebProbeLength = sizeof kWebProbe - 1;
static_assert(kWebProbeLength == 51);

// A first line longer than this counts as a first line: a server that sends bytes for
// ever without a line feed cannot hold the check.
constexpr size_t kFirstLineCap = 4096;

enum class PortProbe { kGreeting, kWebRequest };

// 1 when the port accepts a connection and the server sends a first line (or closes);
// else -900, -901/-902 (unresolvable host: -901 for kGreeting, -902 for kWebRequest),
// -902 (connect or read failure), -904 (probe not sent whole), -906 (a wait ran out).
int32_t CheckPort(const char* host, int32_t port, int32_t timeoutMs, PortProbe probe);

}  // namespace hostcheck
