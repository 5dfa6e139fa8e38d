// The library's exports: the place where C++ errors become result codes.
#include <cstring>
#include <new>

#include "inboxpull/InboxPull.h"
#include "inboxpull/retrieve.h"

#define INBOXPULL_EXPORT __attribute__((visibility("default")))

namespace {

std::string Text(const char* text) {
  return text ? std::string(text) : std::string();
}

// The request of the described call's ten arguments; false for a port outside 1-65535.
bool Fill(inboxpull::Request* r, const char* server, const char* user, const char* password,
          const char* targetDir, const char* extension, int32_t deleteAfter, int32_t logLevel,
          const char* logFile, int32_t port, int32_t timeoutMs) {
  r->server = Text(server);
  r->user = Text(user);
  r->password = Text(password);
  r->targetDir = Text(targetDir);
  while (r->targetDir.size() > 1 && r->targetDir.back() == '/') r->targetDir.pop_back();
  if (r->targetDir.empty()) r->targetDir.assign(1, '.');
  r->extension = Text(extension);
  r->deleteAfter = deleteAfter != 0;
  r->logLevel = logLevel;
  r->logFile = Text(logFile);
  if (port <= 0 || port > 65535) return false;
  r->port = port;
  r->timeoutMs = timeoutMs;
  return true;
}

}  // namespace

extern "C" INBOXPULL_EXPORT int32_t
POP3_RetrieveAllWithPort(const char* server, const char* user, const char* password,
                         const char* targetDir, const char* extension, int32_t deleteAfter,
                         int32_t logLevel, const char* logFile, int32_t port, int32_t timeoutMs) {
  try {
    inboxpull::Request r;
    if (!Fill(&r, server, user, password, targetDir, extension, deleteAfter, logLevel, logFile,
              port, timeoutMs))
      return inboxpull::kNoConnection;
    return inboxpull::Retrieve(r);
  } catch (const std::bad_alloc&) {
    return inboxpull::kRefused;
  } catch (...) {
    return inboxpull::kRefused;
  }
}

extern "C" INBOXPULL_EXPORT int32_t POP3_RetrieveAllSecure(
    const char* server, const char* user, const char* password, const char* targetDir,
    const char* extension, int32_t deleteAfter, int32_t logLevel, const char* logFile, int32_t port,
    int32_t timeoutMs, int32_t tlsMode, int32_t verify, const char* caFile, int32_t certDays,
    char* errorText) {
  try {
    inboxpull::Request r;
    switch (tlsMode) {
      case 0:
        r.security = inboxpull::Security::kNone;
        break;
      case 1:
        r.security = inboxpull::Security::kStartTls;
        break;
      case 2:
        r.security = inboxpull::Security::kImplicit;
        break;
      default:
        return inboxpull::kNoConnection;  // never fall back to plain for a mode not known
    }
    if (port == 0) port = r.security == inboxpull::Security::kImplicit ? 995 : 110;
    if (!Fill(&r, server, user, password, targetDir, extension, deleteAfter, logLevel, logFile,
              port, timeoutMs))
      return inboxpull::kNoConnection;
    r.verify = verify != 0;
    r.caFile = Text(caFile);
    r.certDays = certDays < 0 ? 0 : (certDays > 3650 ? 3650 : certDays);
    std::string reason;
    const int32_t result = inboxpull::Retrieve(r, &reason);
    if (errorText != nullptr && !reason.empty()) {
      const size_t n = reason.size() < 1023 ? reason.size() : 1023;
      std::memcpy(errorText, reason.data(), n);
      errorText[n] = '\0';
    }
    return result;
  } catch (const std::bad_alloc&) {
    return inboxpull::kRefused;
  } catch (...) {
    return inboxpull::kRefused;
  }
}
