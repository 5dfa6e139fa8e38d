#include "hostcheck/byte_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "hostcheck/net_util.h"

namespace hostcheck {

long PlainChannel::Receive(char* buffer, size_t size) {
  ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? kAgain : kFailed;
}

long PlainChannel::Send(const char* data, size_t size) {
  ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return kAgain;
  return errno == ECONNRESET || errno == EPIPE ? kReset : kFailed;
}

int PlainChannel::WaitReceive(int timeoutMs) {
  return WaitFor(fd_, POLLIN, timeoutMs);
}

int PlainChannel::WaitSend(int timeoutMs) {
  return WaitFor(fd_, POLLOUT, timeoutMs);
}

}  // namespace hostcheck
