// The socket of one connection: a non-blocking TCP socket registered with the event loop,
// whose socket events become stream events for its owner. Data that the socket does not
// take at once wait in a queue and go out when it accepts more. Once connected, the
// connection can be turned into a TLS session (StartTls); the handshake runs on the loop's
// socket events like everything else, and Send and Receive then carry the session's data.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "mail/event_loop.h"
#include "mail/tls.h"

namespace mail {

// Stream events handed to the owner.
enum StreamEventKind {
  kStreamConnectDone = 0,  // error: 0 connected, else the connect's error number
  kStreamAccepted = 1,
  kStreamData = 2,     // data can be read
  kStreamSent = 3,     // a queued buffer went out whole (error 0) or failed (error set)
  kStreamClosed = 4,   // closed by the peer (error set when it broke)
  kStreamTlsDone = 5,  // error: 0 the session is up, else a TlsFailure
};

class StreamOwner {
 public:
  virtual ~StreamOwner() = default;
  virtual void StreamEvent(int event, int error, int tag) = 0;
};

// Returned by Send and Receive when the socket would block.
constexpr int kWouldBlock = -1;

class SocketStream : public CWinsockEventCallback {
 public:
  enum State { kClosed = 0, kConnecting = 1, kConnected = 2, kHandshaking = 3 };

  SocketStream() = default;
  ~SocketStream() override { Close(); }

  void SetOwner(StreamOwner* owner) { owner_ = owner; }

  // Opens a new socket and starts connecting. 0 when the connect is under way (its result
  // comes as kStreamConnectDone), else the error number.
  int Connect(in_addr address, uint16_t port);

  // Sends at once what the socket takes and queues the rest. 0 when everything went out,
  // kWouldBlock when some of it waits in the queue (a kStreamSent with `tag` follows once
  // it has gone), else the error number: ENOBUFS (and nothing queued) when the queue would
  // grow beyond kMaxQueuedBytes, since a peer that does not read must not make it grow
  // without bound.
  static constexpr size_t kMaxQueuedBytes = 1u << 20;
  int Send(std::string_view data, int tag);

  // Reads what is there: the count (> 0), 0 when the peer closed, kWouldBlock, or the
  // negated error number.
  long Receive(char* buffer, size_t size);

  // Starts a TLS handshake for `host` on the connected socket, whose send queue must be
  // empty. 0 when it is under way (its outcome comes as kStreamTlsDone), else the
  // TlsFailure that keeps it from starting. Nothing is received meanwhile.
  int StartTls(const std::string& host, const TlsOptions& options);
  // Whether the connection is an established TLS session.
  bool secure() const { return tls_ != nullptr && tls_->established(); }
  // The session, after StartTls (for the reason of a failure); else null.
  const TlsSession* tls() const { return tls_.get(); }

  void Close();
  State state() const { return state_; }
  int lastError() const { return lastError_; }

  void OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) override;

 private:
  void DrainQueue();
  void Select();
  void ContinueHandshake();
  // Writes what the connection takes of data: 0 (`written` > 0), kWouldBlock or an error.
  int WriteSome(const char* data, size_t size, size_t* written);

  struct Pending {
    std::string data;
    size_t sent;
    int tag;
  };
  int fd_ = -1;
  State state_ = kClosed;
  int lastError_ = 0;
  std::deque<Pending> queue_;
  size_t queued_ = 0;  // bytes held in the queue (including what of them went out already)
  StreamOwner* owner_ = nullptr;
  std::unique_ptr<TlsSession> tls_;
  bool readWantsWrite_ = false;  // the session can read on only once the socket is writable
  bool writeWantsRead_ = false;  // the queue can go on only once the socket is readable
};

}  // namespace mail
