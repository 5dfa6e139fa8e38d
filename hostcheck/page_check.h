// The page check and the link check behind ReceiveWebPageAndCheck and
// ReceiveWebPageAndCheckAll.
#pragma once

#include <cstdint>
#include <string>

#include "hostcheck/web_transfer.h"

namespace hostcheck {

// Fetches the page into `pageFile` and judges its status (see EvaluatePageStatus).
// -1 for an empty host or page file; -904 (nothing sent) when the host or path holds a
// control byte; a transfer code when the fetch failed. The fetch ends by its own overall
// deadline or by `deadlineMs` (monotonic time), whichever comes first. With `tls` the page
// is fetched over TLS (the request's Host header then names a port other than 443), and a
// TLS failure's code (-920 to -924, see TlsChannel::Open) leaves its log text in
// `failureText` (when given; "" for every other result).
int32_t CheckPage(const char* host, int32_t port, const char* path, const char* pageFile,
                  int32_t timeoutMs, ProgressWords& words, int64_t deadlineMs = kNoCallerDeadline,
                  const TlsSettings* tls = nullptr, std::string* failureText = nullptr);

// What the link check writes when a page or link fails (or passes, with log mode 2).
struct LinkCheckOutput {
  std::string logDir;
  std::string accountName;  // as stored: the hex key, decoded for the plain log
  std::string failureMessage;
  std::string successMessage;
  int32_t logMode = 0;  // 0 none, 1 failures, 2 failures and successes
  std::string stateFile;
  const char* stateImage = nullptr;
  int32_t stateLength = 0;
  std::string statusFile;
  char* statusImage = nullptr;
  int32_t statusLength = 0;
};

// The most links one run follows; a page with more has its first ones checked and a log
// line (whatever the log mode) saying the run stopped there.
constexpr size_t kMaxLinksPerRun = 1000;

// How many links of one page are fetched side by side.
constexpr size_t kLinkFetchesAtOnce = 8;

// The page, then every link found in it (at most kMaxLinksPerRun), kLinkFetchesAtOnce at a
// time. The whole check, page and links, ends by one overall deadline (OverallDeadlineMs of
// the time-out): a link still being fetched then fails with -906, and the links not started
// by then are left for the next run with one log line (whatever the log mode) saying how
// many. The log lines of the links follow the page's order of links. 1 when all passed,
// else the code of the failing page or of the last failing link. With `tls` the page is a
// secure one: fetched over TLS, its links as FindPageLinks reads a secure page's (each over
// TLS or not, with the same settings), and the log line of a TLS failure carries its own
// text (with a certificate's end date). `failureText` as for CheckPage, for the page.
int32_t CheckPageAndLinks(const char* host, int32_t port, const char* path, const char* pageFile,
                          int32_t timeoutMs, ProgressWords& words, const LinkCheckOutput& out,
                          const TlsSettings* tls = nullptr, std::string* failureText = nullptr);

}  // namespace hostcheck
