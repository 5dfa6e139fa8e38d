// The web message post behind SendMessageToWeb.
#pragma once

#include <cstdint>

namespace hostcheck {

// See SendMessageToWeb in HostCheck.h.
int32_t PostMessageToWeb(const char* host, const char* path, const char* answerFile,
                         const char* logFile, int32_t logLevel);

// The same post to another port (the operation itself always uses 80).
int32_t PostMessageToWebOnPort(const char* host, const char* path, const char* answerFile,
                               const char* logFile, int32_t logLevel, int32_t port);

}  // namespace hostcheck
