/* Network checks: ICMP ping, TCP port checks, web page fetch with link check, and a web
 * message post. Every function takes caller-owned, zero-terminated texts and buffers;
 * nothing is allocated for the caller and no exception leaves the library. Results are
 * 32-bit signed: 0 or more is success, negative codes are listed in ResultCodes.h. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sends `count` ICMP echo requests of `dataSize` bytes of fill (below 32 means 32, at most
 * 500) to `host` (dotted IPv4 or a name), `pauseMs` apart, each waited for up to
 * `timeoutMs` (0 means 10000). Returns the average round-trip time in milliseconds
 * (0 or more) or a negative code (-900 ... -910, -90). */
int32_t Ping(const char* host, int32_t timeoutMs, int32_t dataSize, int32_t count, int32_t pauseMs);

/* 1 when a TCP connection to host:port opens and the server sends a first line (or
 * closes); each wait is bounded by `timeoutMs` (0 means 10000). Else a negative code. */
int32_t IsMailPortOpen(const char* host, int32_t port, int32_t timeoutMs);

/* Like IsMailPortOpen, but sends the probe request first and waits for the first line of
 * the answer. */
int32_t IsWebPortOpen(const char* host, int32_t port, int32_t timeoutMs);

/* Fetches http://host:port/path into `pageFile` and returns the page's status (0 or more
 * when the page passed, a negative code otherwise). w1 ... w5 receive the progress words. */
int32_t ReceiveWebPageAndCheck(const char* host, int32_t port, const char* path,
                               const char* pageFile, int32_t timeoutMs, int32_t* w1, int32_t* w2,
                               int32_t* w3, int32_t* w4, int32_t* w5);

/* ReceiveWebPageAndCheck, then, when the account asks for it, every link of the page;
 * writes the log lines of each checked link and keeps the caller's state and status
 * images (and their files) up to date. Returns 1 when the page and every checked link
 * passed, else the code of the failing page or of the last failing link. */
int32_t ReceiveWebPageAndCheckAll(const char* host, int32_t port, const char* path,
                                  const char* pageFile, int32_t timeoutMs, int32_t* w1, int32_t* w2,
                                  int32_t* w3, int32_t* w4, int32_t* w5, const char* logDir,
                                  const char* accountImage, const char* failureMessage,
                                  const char* successMessage, int32_t logMode,
                                  const char* stateFile, char* stateImage, int32_t stateLength,
                                  const char* statusFile, char* statusImage, int32_t statusLength);

/* Requests `path` from `host` on port 80, stores the answer's body in `answerFile` and
 * writes a debug log of `logLevel` (0 none, 1 errors, 2 all) to `logFile`. 0 when the
 * answer was received; -2 an empty text; -661 the log cannot be opened; else a transfer
 * code. */
int32_t SendMessageToWeb(const char* host, const char* path, const char* answerFile,
                         const char* logFile, int32_t logLevel);

#ifdef __cplusplus
}
#endif
