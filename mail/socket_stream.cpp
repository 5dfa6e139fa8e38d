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
  EventLoop::Instance().SelectEvents(fd_, kFdRead | kFdClose | (queue_.empty() ? 0 : kFdWrite));
}

int SocketStream::Send(std::string_view data, int tag) {
  if (fd_ < 0) return lastError_ = ENOTCONN;
  if (!queue_.empty()) {
    if (data.size() > kMaxQueuedBytes - queued_) return lastError_ = ENOBUFS;
    queued_ += data.size();
    queue_.push_back(Pending{std::string(data), 0, tag});
    return kWouldBlock;
  }
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (data.size() - sent > kMaxQueuedBytes) return lastError_ = ENOBUFS;
      queued_ = data.size() - sent;
      queue_.push_back(Pending{std::string(data.substr(sent)), 0, tag});
      Select();
      return kWouldBlock;
    }
    return lastError_ = (n < 0 ? errno : EPIPE);
  }
  return 0;
}

long SocketStream::Receive(char* buffer, size_t size) {
  if (fd_ < 0) return -ENOTCONN;
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
      const ssize_t n = send(fd_, p.data.data() + p.sent, p.data.size() - p.sent, MSG_NOSIGNAL);
      if (n > 0) {
        p.sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // wait for the next write
      lastError_ = n < 0 ? errno : EPIPE;
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
      if (owner_) owner_->StreamEvent(kStreamData, 0, 0);
      break;
    case kFdWrite:
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
