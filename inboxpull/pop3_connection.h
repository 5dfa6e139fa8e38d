// The POP3 client's connection: a TCP socket whose every wait is bounded twice, by the wait
// of one step and by the deadline of the whole call, and a line reader with a length cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace inboxpull {

enum class ReadStatus {
  kLine,     // a whole line (without its CR LF)
  kTimeout,  // the step's wait or the call's deadline ran out
  kClosed,   // the server closed or broke the connection
  kTooLong,  // a line over the cap
};

enum class ConnectStatus { kConnected, kNoSocket, kFailed };

class Pop3Connection {
 public:
  // `waitMs` bounds each wait; `deadlineMs` (monotonic) ends every wait of the call.
  Pop3Connection(int64_t waitMs, int64_t deadlineMs, size_t lineCap);
  ~Pop3Connection();
  Pop3Connection(const Pop3Connection&) = delete;
  Pop3Connection& operator=(const Pop3Connection&) = delete;

  // Resolves `host` (name or address, IPv4 or IPv6) and connects to the first address
  // that answers. `error` receives the last error number.
  ConnectStatus Connect(const std::string& host, int port, int* error);

  // Sends `text` and CR LF whole, or fails.
  bool SendLine(const std::string& text);

  // The next line; a line ended by LF alone counts too.
  ReadStatus ReadLine(std::string* line);

  void Close();
  int lastError() const { return lastError_; }

 private:
  // Waits until the socket is readable (or writable); false on time-out, setting lastError_.
  bool WaitFor(short events);
  int64_t WaitBudget() const;

  int fd_ = -1;
  int64_t waitMs_;
  int64_t deadlineMs_;
  size_t lineCap_;
  std::string buffer_;  // received bytes not yet handed out
  int lastError_ = 0;
};

}  // namespace inboxpull
