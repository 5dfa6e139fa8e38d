#include "hostcheck/web_post.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/debug_log.h"
#include "hostcheck/net_util.h"
#include "hostcheck/web_transfer.h"

namespace hostcheck {
namespace {

constexpr size_t kPostHostLength = 64;
constexpr size_t kPostPathLength = 259;
constexpr int32_t kPostPort = 80;
constexpr int32_t kPostTimeoutMs = 5000;
constexpr int32_t kEmptyText = -2;
constexpr int32_t kLogNotOpened = -661;

bool Empty(const char* text) {
  return text == nullptr || *text == '\0';
}

}  // namespace

int32_t PostMessageToWebOnPort(const char* host, const char* path, const char* answerFile,
                               const char* logFile, int32_t logLevel, int32_t port) {
  if (Empty(host) || Empty(path) || Empty(answerFile) || Empty(logFile)) return kEmptyText;
  std::string logPath(logFile, ::strnlen(logFile, kPostPathLength));
  int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return kLogNotOpened;
  SocketHandle logHandle(fd);
  DebugLog log(fd, logLevel);
  log.Step("Start to send message.");
  std::string hostText(host, ::strnlen(host, kPostHostLength));
  if (HoldsControlByte(hostText) || HoldsControlByte(path)) {
    // Neither sent nor logged as a request: its CR LF would inject headers or a second
    // request, and break the log's lines.
    log.Error("Request refused: the host or path holds a control byte.");
    log.Step("Leave SendMessageToWeb module");
    return kSendData;
  }
  std::string request = BuildGetRequest(path, hostText);
  log.Step(request);
  ProgressWords noWords(nullptr, nullptr, nullptr, nullptr, nullptr);
  TransferResult transfer = RunTransfer(
      hostText, port, log, request, std::string(answerFile, ::strnlen(answerFile, kPostPathLength)),
      kPostTimeoutMs, noWords);
  log.Step("Leave SendMessageToWeb module");
  return transfer.code;
}

int32_t PostMessageToWeb(const char* host, const char* path, const char* answerFile,
                         const char* logFile, int32_t logLevel) {
  return PostMessageToWebOnPort(host, path, answerFile, logFile, logLevel, kPostPort);
}

}  // namespace hostcheck
