// The library's exported operations: the one place where endings become result codes.
#include <cstring>
#include <new>

#include "fileferry/FileFerry.h"
#include "fileferry/ferry_call.h"
#include "hostcheck/ResultCodes.h"

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

// The secure forms' TLS settings; the plain forms are mode 0.
struct Tls {
  int32_t mode = 0;
  int32_t verify = 1;
  const char* caFile = nullptr;
  int32_t certDays = 0;
};

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
                       int32_t timeoutMs, const Tls& tls = {}) {
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
    switch (tls.mode) {
      case 0:
        break;
      case 1:
        request.security = fileferry::Security::kExplicit;
        request.passive = true;
        break;
      case 2:
        request.security = fileferry::Security::kImplicit;
        request.passive = true;
        break;
      default:
        // Never plain FTP for a mode the library does not know.
        return fileferry::Outcome{Ending::kBeforeSignIn, "Unknown TLS mode"};
    }
    request.verify = tls.verify != 0;
    request.caFile = Text(tls.caFile);
    request.certDays = tls.certDays < 0 ? 0 : (tls.certDays > 3650 ? 3650 : tls.certDays);
    return fileferry::RunCall(request);
  } catch (const std::bad_alloc&) {
    return fileferry::Outcome{Ending::kBeforeSignIn, "Out of memory"};
  } catch (...) {
    return fileferry::Outcome{Ending::kBeforeSignIn, "Internal error"};
  }
}

// The result of a long form; the error text is left for every ending but success and a
// refused connection. The secure connection's failures are the suite's shared TLS codes.
int32_t LongResult(const fileferry::Outcome& out, int32_t afterSignIn, char* errorText) {
  if (out.ending == Ending::kDone) return kDone;
  if (out.ending == Ending::kRefused) return kRefused;
  CopyErrorText(out.errorText, errorText);
  switch (out.ending) {
    case Ending::kAfterSignIn:
      return afterSignIn;
    case Ending::kOverdue:
      return kOverdue;
    case Ending::kTlsHandshake:
      return hostcheck::kTlsHandshake;
    case Ending::kCertUntrusted:
      return hostcheck::kTlsUntrusted;
    case Ending::kCertExpired:
      return hostcheck::kTlsExpired;
    case Ending::kCertHostMismatch:
      return hostcheck::kTlsHostMismatch;
    case Ending::kCertExpiresSoon:
      return hostcheck::kTlsExpiresSoon;
    case Ending::kTlsRefused:
      return hostcheck::kTlsRefused;
    default:
      return kNoConnection;
  }
}

}  // namespace

extern "C" {

FILEFERRY_EXPORT int32_t SendFileToHost(const char* server, const char* user, const char* password,
                                        const char* localPath, const char* remotePath,
                                        int32_t timeoutMs, char* errorText) {
  return SendFileToHostSecure(server, user, password, localPath, remotePath, timeoutMs, errorText,
                              0, 1, nullptr, 0);
}

FILEFERRY_EXPORT int32_t ReceiveFileFromHost(const char* server, const char* user,
                                             const char* password, const char* remotePath,
                                             const char* localPath, int32_t timeoutMs,
                                             char* errorText) {
  return ReceiveFileFromHostSecure(server, user, password, remotePath, localPath, timeoutMs,
                                   errorText, 0, 1, nullptr, 0);
}

FILEFERRY_EXPORT int32_t DeleteFileFromHost(const char* server, const char* user,
                                            const char* password, const char* remotePath,
                                            int32_t timeoutMs, char* errorText) {
  return DeleteFileFromHostSecure(server, user, password, remotePath, timeoutMs, errorText, 0, 1,
                                  nullptr, 0);
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

FILEFERRY_EXPORT int32_t SendFileToHostSecure(const char* server, const char* user,
                                              const char* password, const char* localPath,
                                              const char* remotePath, int32_t timeoutMs,
                                              char* errorText, int32_t tlsMode, int32_t verify,
                                              const char* caFile, int32_t certDays) {
  return LongResult(Run(Operation::kUpload, server, user, password, localPath, remotePath,
                        timeoutMs, Tls{tlsMode, verify, caFile, certDays}),
                    kUploadError, errorText);
}

FILEFERRY_EXPORT int32_t ReceiveFileFromHostSecure(const char* server, const char* user,
                                                   const char* password, const char* remotePath,
                                                   const char* localPath, int32_t timeoutMs,
                                                   char* errorText, int32_t tlsMode, int32_t verify,
                                                   const char* caFile, int32_t certDays) {
  return LongResult(Run(Operation::kDownload, server, user, password, localPath, remotePath,
                        timeoutMs, Tls{tlsMode, verify, caFile, certDays}),
                    kDownloadError, errorText);
}

FILEFERRY_EXPORT int32_t DeleteFileFromHostSecure(const char* server, const char* user,
                                                  const char* password, const char* remotePath,
                                                  int32_t timeoutMs, char* errorText,
                                                  int32_t tlsMode, int32_t verify,
                                                  const char* caFile, int32_t certDays) {
  return LongResult(Run(Operation::kDelete, server, user, password, nullptr, remotePath, timeoutMs,
                        Tls{tlsMode, verify, caFile, certDays}),
                    kDeleteError, errorText);
}

}  // extern "C"
