// The library's exported operations: the one place where C++ failures become result codes.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "hostcheck/HostCheck.h"
#include "hostcheck/ResultCodes.h"
#include "hostcheck/page_check.h"
#include "hostcheck/ping.h"
#include "hostcheck/port_check.h"
#include "hostcheck/web_post.h"

#define HOSTCHECK_EXPORT __attribute__((visibility("default")))

namespace {

// Runs an operation; memory exhaustion becomes -90, any other escape the socket code.
template <typename Operation>
int32_t Guarded(Operation&& operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return hostcheck::kNotEnoughMemory;
  } catch (...) {
    return hostcheck::kOpenSocket;
  }
}

bool Missing(const char* text) {
  return text == nullptr;
}

std::string Text(const char* t, size_t limit = 1u << 20) {
  return t ? std::string(t, ::strnlen(t, limit)) : std::string();
}

hostcheck::TlsSettings SettingsOf(int32_t verify, int32_t certDays, const char* caFile) {
  hostcheck::TlsSettings settings;
  settings.verify = verify != 0;
  settings.certDays = certDays < 0 ? 0 : certDays > 3650 ? 3650 : certDays;
  settings.caFile = Text(caFile, 4096);
  return settings;
}

// Copies the text into the caller's buffer, cut to fit and always terminated.
void CopyOut(const std::string& text, char* buffer, int32_t length) {
  if (buffer == nullptr || length < 1) return;
  size_t n = std::min(text.size(), static_cast<size_t>(length) - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

hostcheck::LinkCheckOutput LinkOutput(const char* logDir, const char* accountImage,
                                      const char* failureMessage, const char* successMessage,
                                      int32_t logMode, const char* stateFile, char* stateImage,
                                      int32_t stateLength, const char* statusFile,
                                      char* statusImage, int32_t statusLength) {
  hostcheck::LinkCheckOutput out;
  out.logDir = Text(logDir);
  out.accountName = Text(accountImage, 64);
  out.failureMessage = Text(failureMessage);
  out.successMessage = Text(successMessage);
  out.logMode = logMode;
  out.stateFile = Text(stateFile);
  out.stateImage = stateImage;
  out.stateLength = stateLength;
  out.statusFile = Text(statusFile);
  out.statusImage = statusImage;
  out.statusLength = statusLength;
  return out;
}

}  // namespace

extern "C" {

HOSTCHECK_EXPORT int32_t Ping(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count,
                              int32_t pauseMs) {
  if (Missing(host)) return hostcheck::kInitSocket;
  return Guarded([&] { return hostcheck::PingHost(host, timeoutMs, dataSize, count, pauseMs); });
}

HOSTCHECK_EXPORT int32_t IsMailPortOpen(const char* host, int32_t port, int32_t timeoutMs) {
  if (Missing(host)) return hostcheck::kInitSocket;
  return Guarded(
      [&] { return hostcheck::CheckPort(host, port, timeoutMs, hostcheck::PortProbe::kGreeting); });
}

HOSTCHECK_EXPORT int32_t IsWebPortOpen(const char* host, int32_t port, int32_t timeoutMs) {
  if (Missing(host)) return hostcheck::kConnect;
  return Guarded([&] {
    return hostcheck::CheckPort(host, port, timeoutMs, hostcheck::PortProbe::kWebRequest);
  });
}

HOSTCHECK_EXPORT int32_t ReceiveWebPageAndCheck(const char* host, int32_t port, const char* path,
                                                const char* pageFile, int32_t timeoutMs,
                                                int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4,
                                                int32_t* w5) {
  return Guarded([&] {
    hostcheck::ProgressWords words(w1, w2, w3, w4, w5);
    return hostcheck::CheckPage(host, port, path, pageFile, timeoutMs, words);
  });
}

HOSTCHECK_EXPORT int32_t ReceiveWebPageAndCheckAll(
    const char* host, int32_t port, const char* path, const char* pageFile, int32_t timeoutMs,
    int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4, int32_t* w5, const char* logDir,
    const char* accountImage, const char* failureMessage, const char* successMessage,
    int32_t logMode, const char* stateFile, char* stateImage, int32_t stateLength,
    const char* statusFile, char* statusImage, int32_t statusLength) {
  return Guarded([&] {
    hostcheck::LinkCheckOutput out =
        LinkOutput(logDir, accountImage, failureMessage, successMessage, logMode, stateFile,
                   stateImage, stateLength, statusFile, statusImage, statusLength);
    hostcheck::ProgressWords words(w1, w2, w3, w4, w5);
    return hostcheck::CheckPageAndLinks(host, port, path, pageFile, timeoutMs, words, out);
  });
}

HOSTCHECK_EXPORT int32_t ReceiveSecureWebPageAndCheck(
    const char* host, int32_t port, const char* path, const char* pageFile, int32_t timeoutMs,
    int32_t verify, int32_t certDays, const char* caFile, char* errorText, int32_t errorTextLength,
    int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4, int32_t* w5) {
  CopyOut("", errorText, errorTextLength);
  return Guarded([&] {
    hostcheck::TlsSettings settings = SettingsOf(verify, certDays, caFile);
    hostcheck::ProgressWords words(w1, w2, w3, w4, w5);
    std::string failure;
    int32_t result = hostcheck::CheckPage(host, port, path, pageFile, timeoutMs, words,
                                          hostcheck::kNoCallerDeadline, &settings, &failure);
    CopyOut(failure, errorText, errorTextLength);
    return result;
  });
}

HOSTCHECK_EXPORT int32_t ReceiveSecureWebPageAndCheckAll(
    const char* host, int32_t port, const char* path, const char* pageFile, int32_t timeoutMs,
    int32_t verify, int32_t certDays, const char* caFile, char* errorText, int32_t errorTextLength,
    int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4, int32_t* w5, const char* logDir,
    const char* accountImage, const char* failureMessage, const char* successMessage,
    int32_t logMode, const char* stateFile, char* stateImage, int32_t stateLength,
    const char* statusFile, char* statusImage, int32_t statusLength) {
  CopyOut("", errorText, errorTextLength);
  return Guarded([&] {
    hostcheck::TlsSettings settings = SettingsOf(verify, certDays, caFile);
    hostcheck::LinkCheckOutput out =
        LinkOutput(logDir, accountImage, failureMessage, successMessage, logMode, stateFile,
                   stateImage, stateLength, statusFile, statusImage, statusLength);
    hostcheck::ProgressWords words(w1, w2, w3, w4, w5);
    std::string failure;
    int32_t result = hostcheck::CheckPageAndLinks(host, port, path, pageFile, timeoutMs, words, out,
                                                  &settings, &failure);
    CopyOut(failure, errorText, errorTextLength);
    return result;
  });
}

HOSTCHECK_EXPORT int32_t SendMessageToWeb(const char* host, const char* path,
                                          const char* answerFile, const char* logFile,
                                          int32_t logLevel) {
  return Guarded(
      [&] { return hostcheck::PostMessageToWeb(host, path, answerFile, logFile, logLevel); });
}

}  // extern "C"
