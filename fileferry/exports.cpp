// The library's exported operations: the one place where endings become result codes.
#include <cstring>
#include <new>

#include "fileferry/FileFerry.h"
#include "fileferry/ferry_call.h"

#define FILEFERRY_EXPORT __attribute__((visibility("default")))

namespace {

using fileferry::Ending;
using fileferry::Operation;

constexpr int32_t kDone = 1;
constexpr int32_t kRefused = -902;
constexpr int32_t kUploadError = -904;
constexpr int32_t kDownloadError = -905;
constexpr int32_t kDeleteError = -64;
constexpr int32_t kNoConnection = -912;
constexpr int32_t kOverdue = -906;

std::string Text(const char* text) {
  return text ? std::string(text) : std::string();
}

void CopyErrorText(const std::string& text, char* errorText) {
  if (errorText == nullptr) return;
  const size_t n = text.size() < 1023 ? text.size() : 1023;
  std::memcpy(errorText, text.data(), n);
  errorText[n] = '\0';
}

// Runs one call. `withTimeout`: the long forms; the short forms use the default and know
// only success and failure.
fileferry::Outcome Run(Operation operation, const char* server, const char* user,
                       const char* password, const char* localPath, const char* remotePath,
                       int32_t timeoutMs) {
  try {
    fileferry::CallRequest request;
    request.operation = operation;
    request.server = Text(server);
    request.user = Text(user);
    request.password = Text(password);
    request.localPath = Text(localPath);
    request.remotePath = Text(remotePath);
    request.timeoutMs = timeoutMs;
    request.passive = fileferry::PassiveRequested();
    return fileferry::RunCall(request);
  } catch (const std::bad_alloc&) {
    return fileferry::Outcome{Ending::kBeforeSignIn, "Out of memory"};
  } catch (...) {
    return fileferry::Outcome{Ending::kBeforeSignIn, "Internal error"};
  }
}

int32_t LongResult(const fileferry::Outcome& out, int32_t afterSignIn, char* errorText) {
  switch (out.ending) {
    case Ending::kDone:
      return kDone;
    case Ending::kRefused:
      return kRefused;
    case Ending::kAfterSignIn:
      CopyErrorText(out.errorText, errorText);
      return afterSignIn;
    case Ending::kOverdue:
      CopyErrorText(out.errorText, errorText);
      return kOverdue;
    case Ending::kBeforeSignIn:
      break;
  }
  CopyErrorText(out.errorText, errorText);
  return kNoConnection;
}

}  // namespace

extern "C" {

FILEFERRY_EXPORT int32_t SendFileToHost(const char* server, const char* user, const char* password,
                                        const char* localPath, const char* remotePath,
                                        int32_t timeoutMs, char* errorText) {
  return LongResult(
      Run(Operation::kUpload, server, user, password, localPath, remotePath, timeoutMs),
      kUploadError, errorText);
}

FILEFERRY_EXPORT int32_t ReceiveFileFromHost(const char* server, const char* user,
                                             const char* password, const char* remotePath,
                                             const char* localPath, int32_t timeoutMs,
                                             char* errorText) {
  return LongResult(
      Run(Operation::kDownload, server, user, password, localPath, remotePath, timeoutMs),
      kDownloadError, errorText);
}

FILEFERRY_EXPORT int32_t DeleteFileFromHost(const char* server, const char* user,
                                            const char* password, const char* remotePath,
                                            int32_t timeoutMs, char* errorText) {
  return LongResult(Run(Operation::kDelete, server, user, password, nullptr, remotePath, timeoutMs),
                    kDeleteError, errorText);
}

FILEFERRY_EXPORT int32_t PutFileToRemoteHost(const char* server, const char* user,
                                             const char* password, const char* localPath,
                                             const char* remotePath) {
  return Run(Operation::kUpload, server, user, password, localPath, remotePath, 0).ending ==
                 Ending::kDone
             ? 1
             : 0;
}

FILEFERRY_EXPORT int32_t GetFileFromRemoteHost(const char* server, const char* user,
                                               const char* password, const char* remotePath,
                                               const char* localPath) {
  return Run(Operation::kDownload, server, user, password, localPath, remotePath, 0).ending ==
                 Ending::kDone
             ? 1
             : 0;
}

}  // extern "C"
