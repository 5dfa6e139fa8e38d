#include "mail/conn_mgr.h"

#include <arpa/inet.h>

#include <cerrno>

namespace mail {
namespace {
// Posted to itself so that the owner always hears of the outcome from the loop.
constexpr unsigned kMsgConnOutcome = 1026;
}  // namespace

CConnMgr::~CConnMgr() {
  Cancel();
}

void CConnMgr::Start(const std::string& host, uint16_t port, SocketStream* socket, ConnOwner* owner,
                     int64_t boundMs) {
  Cancel();
  host_ = host;
  port_ = port;
  socket_ = socket;
  owner_ = owner;
  boundMs_ = boundMs;
  outcome_ = kPending;
  lastError_ = 0;
  addresses_.clear();
  index_ = 0;
  in_addr dotted{};
  if (inet_aton(host.c_str(), &dotted) != 0) {
    byName_ = false;
    addresses_.push_back(dotted);
    ConnectCurrent();
    return;
  }
  byName_ = true;
  lookup_ = EventLoop::Instance().StartLookup(host);
  if (lookup_ == 0 || !Register(lookup_, kKindLookup)) {
    lookup_ = 0;
    Finish(kFailed, EAGAIN);
    return;
  }
  timer_ = EventLoop::Instance().SetTimer(this, boundMs_);
}

void CConnMgr::Cancel() {
  StopTimer();
  if (lookup_ != 0) {
    Deregister(lookup_, kKindLookup);
    EventLoop::Instance().CancelLookup(lookup_);
    lookup_ = 0;
  }
  if (outcome_ == kPending && socket_ != nullptr) {
    socket_->SetOwner(nullptr);
    socket_->Close();
    outcome_ = kCancelled;
  }
  EventLoop::Instance().Forget(this);
}

void CConnMgr::StopTimer() {
  if (timer_ != 0) EventLoop::Instance().KillTimer(timer_);
  timer_ = 0;
}

void CConnMgr::ConnectCurrent() {
  socket_->SetOwner(this);
  const int error = socket_->Connect(addresses_[index_], port_);
  if (error != 0) {
    // Unlike a connect that fails later, a refusal at once is final, except for the two
    // errors that make trying the next address worth while (the kernel reports an
    // unreachable network at once).
    AttemptFailed(error);
    return;
  }
  timer_ = EventLoop::Instance().SetTimer(this, boundMs_);
}

void CConnMgr::AttemptFailed(int error) {
  StopTimer();
  socket_->Close();
  lastError_ = error;
  if (byName_ && (error == ENETUNREACH || error == ETIMEDOUT) && index_ + 1 < addresses_.size()) {
    ++index_;
    ConnectCurrent();
    return;
  }
  Finish(kFailed, error);
}

void CConnMgr::Finish(int outcome, int error) {
  StopTimer();
  outcome_ = outcome;
  lastError_ = error;
  EventLoop::Instance().Post(this, kMsgConnOutcome, 0, 0);
}

void CConnMgr::OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case kMsgLookupDone: {
      if (static_cast<intptr_t>(wParam) != lookup_) return;
      Deregister(lookup_, kKindLookup);
      addresses_ = EventLoop::Instance().TakeLookupResult(lookup_);
      lookup_ = 0;
      StopTimer();
      if (lParam != 0 || addresses_.empty()) {
        // A lookup that answers without an address fails like one that finds nothing.
        Finish(kFailed, lParam != 0 ? static_cast<int>(lParam) : EHOSTUNREACH);
        return;
      }
      index_ = 0;
      ConnectCurrent();
      return;
    }
    case kMsgTimer:
      if (wParam != timer_) return;
      timer_ = 0;
      if (lookup_ != 0) {
        Deregister(lookup_, kKindLookup);
        EventLoop::Instance().CancelLookup(lookup_);
        lookup_ = 0;
        Finish(kFailed, ETIMEDOUT);
        return;
      }
      AttemptFailed(ETIMEDOUT);
      return;
    case kMsgConnOutcome:
      if (owner_ != nullptr) owner_->ConnectDone(outcome_, lastError_);
      return;
    default:
      return;
  }
}

void CConnMgr::StreamEvent(int event, int error, int /*tag*/) {
  if (outcome_ != kPending) return;
  if (event != kStreamConnectDone) {
    // Anything else before the connect completes means the connection broke.
    AttemptFailed(error != 0 ? error : ECONNRESET);
    return;
  }
  if (error != 0) {
    AttemptFailed(error);
    return;
  }
  StopTimer();
  Finish(kConnected, 0);
}

}  // namespace mail
