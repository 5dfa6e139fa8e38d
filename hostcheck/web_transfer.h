// One HTTP GET over a fresh connection: connect, send the request, receive the answer
// into a page file. Shared by the page check and the web message post.
#pragma once

#include <cstdint>
#include <string>

#include "hostcheck/debug_log.h"
#include "hostcheck/tls_channel.h"

namespace hostcheck {

// The GET request with its fixed headers, filled with the path and the host.
std::string BuildGetRequest(const std::string& path, const std::string& host);

// True when the text holds a control byte (0x00-0x1F or DEL). A host or path with one is
// never put into a request: a CR or LF there would end the request line or a header early
// and let the rest of the text add headers of its own, or a whole second request.
bool HoldsControlByte(const std::string& text);

// The five progress words a caller may watch (any of them may be null).
class ProgressWords {
 public:
  ProgressWords(int32_t* w1, int32_t* w2, int32_t* w3, int32_t* w4, int32_t* w5)
      : w_{w1, w2, w3, w4, w5} {}
  void Set(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e);
  void ClearLastThree();

 private:
  int32_t* w_[5];
};

// A response that runs past this many bytes is a failed receive: a server that streams
// for ever can neither hold the check nor fill the disk.
constexpr int64_t kResponseCap = int64_t{64} << 20;

// How the transfer went. `statusText` holds the first block's first 499 characters
// (up to a zero byte), from which the page check judges the answer.
struct TransferResult {
  int32_t code = 0;  // 0, or -900, -902, -904, -906; over TLS also -90 and -920 to -924
  std::string statusText;
  std::string failureText;  // a TLS failure's log text (see TlsChannel::Open), else ""
};

// No deadline of the caller's own: the transfer's own overall deadline alone.
constexpr int64_t kNoCallerDeadline = INT64_MAX;

// Runs the transfer. `pageFile` may be empty (the body is then dropped). `timeoutMs` bounds
// the connect, each send retry budget and each wait for the next block; the whole transfer
// ends by OverallDeadlineMs(timeoutMs) (see net_util.h), or by `callerDeadlineMs` (monotonic
// time) when that comes first, with a failed receive. With `tls` the request and answer go
// over TLS, opened right after the connect (same time-outs and deadline; the first block,
// its 500 ms and the size cap count the decrypted bytes).
TransferResult RunTransfer(const std::string& host, int32_t port, DebugLog& log,
                           const std::string& request, const std::string& pageFile,
                           int32_t timeoutMs, ProgressWords& words,
                           int64_t callerDeadlineMs = kNoCallerDeadline,
                           const TlsSettings* tls = nullptr);

}  // namespace hostcheck
