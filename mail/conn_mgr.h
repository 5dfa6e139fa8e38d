// CConnMgr: connects a socket to a host given as a dotted address or a name. A name is
// looked up on the loop's lookup thread; when connecting to one of its addresses fails
// with "network unreachable" or "timed out", the next address is tried. Each step (the
// lookup, each connect) is bounded; a bound that runs out counts as "timed out".
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mail/event_loop.h"
#include "mail/socket_stream.h"

namespace mail {

class ConnOwner {
 public:
  virtual ~ConnOwner() = default;
  // `code` is CConnMgr::kConnected, kFailed or kCancelled; `error` the last error number.
  virtual void ConnectDone(int code, int error) = 0;
};

class CConnMgr : public CWinsockEventCallback, public StreamOwner {
 public:
  enum Outcome { kPending = 0, kCancelled = 1, kConnected = 2, kFailed = 3 };

  CConnMgr() = default;
  ~CConnMgr() override;

  // Starts connecting `socket` to host:port. The outcome always comes later, through
  // owner->ConnectDone, never from inside this call. `boundMs` bounds the lookup and each
  // connect.
  void Start(const std::string& host, uint16_t port, SocketStream* socket, ConnOwner* owner,
             int64_t boundMs);
  // Stops without notifying the owner.
  void Cancel();

  int outcome() const { return outcome_; }
  int lastError() const { return lastError_; }

  void OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) override;
  void StreamEvent(int event, int error, int tag) override;

 private:
  void ConnectCurrent();
  void AttemptFailed(int error);
  void Finish(int outcome, int error);
  void StopTimer();

  std::string host_;
  uint16_t port_ = 0;
  SocketStream* socket_ = nullptr;
  ConnOwner* owner_ = nullptr;
  int64_t boundMs_ = 60000;
  intptr_t lookup_ = 0;
  uintptr_t timer_ = 0;
  std::vector<in_addr> addresses_;
  size_t index_ = 0;
  bool byName_ = false;
  int outcome_ = kPending;
  int lastError_ = 0;
};

}  // namespace mail
