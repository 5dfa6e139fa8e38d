// The library's one export: the place where C++ errors become result codes.
#include <new>

#include "inboxpull/InboxPull.h"
#include "inboxpull/retrieve.h"

#define INBOXPULL_EXPORT __attribute__((visibility("default")))

namespace {

std::string Text(const char* text) {
  return text ? std::string(text) : std::string();
}

}  // namespace

extern "C" INBOXPULL_EXPORT int32_t
POP3_RetrieveAllWithPort(const char* server, const char* user, const char* password,
                         const char* targetDir, const char* extension, int32_t deleteAfter,
                         int32_t logLevel, const char* logFile, int32_t port, int32_t timeoutMs) {
  try {
    inboxpull::Request r;
    r.server = Text(server);
    r.user = Text(user);
    r.password = Text(password);
    r.targetDir = Text(targetDir);
    while (r.targetDir.size() > 1 && r.targetDir.back() == '/') r.targetDir.pop_back();
    if (r.targetDir.empty()) r.targetDir.assign(1, '.');
    r.extension = Text(extension);
    r.deleteAfter = deleteAfter != 0;
    r.logLevel = logLevel;
    r.logFile = Text(logFile);
    if (port <= 0 || port > 65535) return inboxpull::kNoConnection;
    r.port = port;
    r.timeoutMs = timeoutMs;
    return inboxpull::Retrieve(r);
  } catch (const std::bad_alloc&) {
    return inboxpull::kRefused;
  } catch (...) {
    return inboxpull::kRefused;
  }
}
