#include "mail/socket_stream.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace mail {

int SocketStream::Connect(in_addr address, uint16_t port) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return lastError_ = errno;
  // Commands and message batches are whole writes; nothing gains from holding them back.
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!Register(fd_, kKindSocket)) {
    close(fd_);
    fd_ = -1;
    return lastError_ = EBADF;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr = address;
  state_ = kConnecting;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS && errno != EAGAIN) {
      lastError_ = errno;
      Close();
      return lastError_;
    }
  }
  // Completion (immediate or not) is reported through the loop, never from inside this call.
  EventLoop::Instance().SelectEvents(fd_, kFdConnect);
  return 0;
}

void SocketStream::Select() {
  if (fd_ < 0 || state_ != kConnected) return;
  const bool write = (!queue_.empty() && !writeWantsRead_) || readWantsWrite_;
  EventLoop::Instance().SelectEvents(fd_, kFdRead | kFdClose | (write ? kFdWrite : 0));
}

int SocketStream::WriteSome(const char* data, size_t size, size_t* written) {
  *written = 0;
  if (tls_) {
    bool wantRead = false;
    const long n = tls_->Write(data, size, &wantRead);
    writeWantsRead_ = wantRead;
    if (n > 0) {
      *written = static_cast<size_t>(n);
      return 0;
    }
    return n == -1 ? kWouldBlock : EPIPE;
  }
  for (;;) {
    const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      *written = static_cast<size_t>(n);
      return 0;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
    return n < 0 ? errno : EPIPE;
  }
}

int SocketStream::StartTls(const std::string& host, const TlsOptions& options) {
  if (fd_ < 0 || state_ != kConnected || !queue_.empty() || tls_)
    return static_cast<int>(TlsFailure::kSetup);
  tls_ = std::make_unique<TlsSession>();
  const TlsFailure failure = tls_->Begin(fd_, host, options);
  if (failure != TlsFailure::kNone) return static_cast<int>(failure);
  state_ = kHandshaking;
  // The first step goes out once the socket is writable: from the loop, never from here.
  EventLoop::Instance().SelectEvents(fd_, kFdWrite);
  return 0;
}

void SocketStream::ContinueHandshake() {
  switch (tls_->Handshake()) {
    case TlsSession::kDone:
      state_ = kConnected;
      Select();
      if (owner_) owner_->StreamEvent(kStreamTlsDone, 0, 0);
      return;
    case TlsSession::kWantRead:
      EventLoop::Instance().SelectEvents(fd_, kFdRead | kFdClose);
      return;
    case TlsSession::kWantWrite:
      EventLoop::Instance().SelectEvents(fd_, kFdWrite);
      return;
    case TlsSession::kFailed:
      EventLoop::Instance().SelectEvents(fd_, 0);
      if (owner_) owner_->StreamEvent(kStreamTlsDone, static_cast<int>(tls_->failure()), 0);
      return;
  }
}

int SocketStream::Send(std::string_view data, int tag) {
  if (fd_ < 0) return lastError_ = ENOTCONN;
  if (!queue_.empty()) {
    if (data.size() > kMaxQueuedBytes - queued_) return lastError_ = ENOBUFS;
    queued_ += data.size();
    queue_.push_back(Pending{std::string(data), 0, tag});
    return kWouldBlock;
  }
  if (state_ == kHandshaking) return lastError_ = ENOTCONN;
  size_t sent = 0;
  while (sent < data.size()) {
    size_t n = 0;
    const int rc = WriteSome(data.data() + sent, data.size() - sent, &n);
    if (rc == 0) {
      sent += n;
      continue;
    }
    if (rc == kWouldBlock) {
      if (data.size() - sent > kMaxQueuedBytes) return lastError_ = ENOBUFS;
      queued_ = data.size() - sent;
      queue_.push_back(Pending{std::string(data.substr(sent)), 0, tag});
      Select();
      return kWouldBlock;
    }
    return lastError_ = rc;
  }
  return 0;
}

long SocketStream::Receive(char* buffer, size_t size) {
  if (fd_ < 0) return -ENOTCONN;
  if (state_ == kHandshaking) return kWouldBlock;
  if (tls_) {
    bool wantWrite = false;
    const long n = tls_->Read(buffer, size, &wantWrite);
    if (wantWrite != readWantsWrite_) {
      readWantsWrite_ = wantWrite;
      Select();
    }
    if (n >= 0) return n;
    if (n == -1) return kWouldBlock;
    lastError_ = EPROTO;
    return -EPROTO;
  }
  for (;;) {
    const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    lastError_ = errno;
    return -errno;
  }
}

void SocketStream::DrainQueue() {
  while (!queue_.empty()) {
    Pending& p = queue_.front();
    while (p.sent < p.data.size()) {
      size_t n = 0;
      const int rc = WriteSome(p.data.data() + p.sent, p.data.size() - p.sent, &n);
      if (rc == 0) {
        p.sent += n;
        continue;
      }
      if (rc == kWouldBlock) {  // wait for the next write (or, for the session, read)
        Select();
        return;
      }
      lastError_ = rc;
      const int tag = p.tag;
      queued_ -= p.data.size();
      queue_.pop_front();
      Select();
      if (owner_) owner_->StreamEvent(kStreamSent, lastError_, tag);
      return;
    }
    const int tag = p.tag;
    queued_ -= p.data.size();
    queue_.pop_front();
    Select();
    if (owner_) owner_->StreamEvent(kStreamSent, 0, tag);
    if (fd_ < 0) return;  // the owner closed the stream
  }
}

void SocketStream::Close() {
  if (tls_) {
    if (fd_ >= 0 && state_ == kConnected) tls_->Shutdown();
    tls_.reset();
  }
  readWantsWrite_ = false;
  writeWantsRead_ = false;
  if (fd_ >= 0) {
    Deregister(fd_, kKindSocket);
    close(fd_);
  }
  fd_ = -1;
  state_ = kClosed;
  queue_.clear();
  queued_ = 0;
}

void SocketStream::OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (message != kMsgSocketEvent || static_cast<int>(wParam) != fd_) return;
  const int event = static_cast<int>(lParam & 0xFFFF);
  const int error = static_cast<int>(lParam >> 16);
  if (state_ == kHandshaking) {
    if (event == kFdRead || event == kFdWrite || event == kFdClose) ContinueHandshake();
    return;
  }
  switch (event) {
    case kFdConnect:
      if (error == 0) {
        state_ = kConnected;
        Select();
      } else {
        lastError_ = error;
        EventLoop::Instance().SelectEvents(fd_, 0);
      }
      if (owner_) owner_->StreamEvent(kStreamConnectDone, error, 0);
      break;
    case kFdRead:
      if (writeWantsRead_) {
        writeWantsRead_ = false;
        DrainQueue();
        if (fd_ < 0) break;
      }
      if (owner_) owner_->StreamEvent(kStreamData, 0, 0);
      // Data the session has already taken off the socket raise no socket event of their
      // own: they are announced again until the owner has read them.
      if (fd_ >= 0 && tls_ && tls_->Pending())
        EventLoop::Instance().Post(this, kMsgSocketEvent, static_cast<uintptr_t>(fd_), kFdRead);
      break;
    case kFdWrite:
      if (readWantsWrite_) {
        readWantsWrite_ = false;
        if (owner_) owner_->StreamEvent(kStreamData, 0, 0);
        if (fd_ < 0) break;
      }
      DrainQueue();
      break;
    case kFdClose:
      if (error) lastError_ = error;
      if (owner_) owner_->StreamEvent(kStreamClosed, error, 0);
      break;
    default:
      break;
  }
}

}  // namespace mail
