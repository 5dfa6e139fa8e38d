#include "hostcheck/echo_socket.h"

#include <time.h>
// (errqueue.h needs struct timespec declared first)
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/icmp_echo.h"
#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

constexpr int kRetryPauseMs = 10;
constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeEchoRequest = 8;
// Room for the replies of a thousand hosts answering at once.
constexpr int kReceiveBuffer = 1 << 20;

uint16_t Le16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t Le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

in_addr_t AddressAt(const uint8_t* at) {
  in_addr_t a;
  std::memcpy(&a, at, sizeof a);
  return a;
}

bool IsIcmpError(uint8_t type) {
  return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

}  // namespace

bool EchoSocket::ReadAnswer(const uint8_t* datagram, size_t size, bool hasIpHeader, in_addr_t from,
                            uint16_t identifier, uint32_t nowTick, Answer* answer) {
  size_t header = 0;
  if (hasIpHeader) {
    if (size < 20) return false;
    header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
  }
  if (size < header + 8) return false;
  const uint8_t* icmp = datagram + header;
  if (icmp[0] == kTypeEchoReply) {
    // The echoed send time follows the sequence number; a reply cut before it measures
    // nothing.
    if (size < header + 12 || Le16(icmp + 4) != identifier) return false;
    *answer = {Le16(icmp + 6), from, static_cast<int32_t>(nowTick - Le32(icmp + 8))};
    return true;
  }
  // An ICMP error quotes the IP header and the first 8 bytes of the request it concerns.
  if (!hasIpHeader || !IsIcmpError(icmp[0])) return false;
  const uint8_t* quoted = icmp + 8;
  size_t left = size - header - 8;
  if (left < 20) return false;
  size_t quotedHeader = static_cast<size_t>(quoted[0] & 0x0F) * 4;
  if (quotedHeader < 20 || left < quotedHeader + 8 || quoted[9] != IPPROTO_ICMP) return false;
  const uint8_t* request = quoted + quotedHeader;
  if (request[0] != kTypeEchoRequest || Le16(request + 4) != identifier) return false;
  *answer = {Le16(request + 6), AddressAt(quoted + 16), kNotEchoReply};
  return true;
}

std::unique_ptr<EchoSocket> EchoSocket::Open() {
  std::unique_ptr<EchoSocket> s(new EchoSocket);
  s->identifier_ = static_cast<uint16_t>(::getpid() & 0xFFFF);
  s->fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
  if (s->fd_ >= 0) {
    s->raw_ = true;
    // Echo requests are never answers (our own are seen when the target is this machine).
    icmp_filter filter{};
    filter.data = 1u << ICMP_ECHO;
    ::setsockopt(s->fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  } else {
    s->fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (s->fd_ < 0) return nullptr;
    int on = 1;
    ::setsockopt(s->fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    // The datagram socket's identifier is its local "port": ask for the process's own, as
    // the raw socket sends it; when another socket holds it, the kernel picks one.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = s->identifier_;
    ::bind(s->fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    if (::getsockname(s->fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      s->identifier_ = local.sin_port;
    }
  }
  int size = kReceiveBuffer;
  ::setsockopt(s->fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  s->sentTo_.assign(65536, INADDR_NONE);
  s->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->wake_ < 0) return nullptr;
  try {
    s->receiver_ = std::thread([raw = s.get()] { raw->Receive(); });
  } catch (...) {
    return nullptr;
  }
  return s;
}

EchoSocket::~EchoSocket() {
  if (receiver_.joinable()) {
    stopping_ = true;
    uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) < 0) {
      // The thread looks at the descriptor at least every poll period anyway.
    }
    receiver_.join();
  }
  if (wake_ >= 0) ::close(wake_);
  if (fd_ >= 0) ::close(fd_);
}

void EchoSocket::Receive() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    int n = ::poll(fds, 2, NextWaitMs());
    if (n < 0 && errno != EINTR) return;
    if (n > 0 && fds[1].revents != 0) {
      uint64_t count;
      if (::read(wake_, &count, sizeof count) < 0) {
        // Nothing to take: another look at the deadlines is all that was asked.
      }
      if (stopping_) return;
    }
    if (n > 0 && (fds[0].revents & POLLIN)) DrainReplies();
    if (n > 0 && !raw_ && (fds[0].revents & POLLERR)) DrainErrors();
    if (n > 0 && (fds[0].revents & POLLNVAL)) return;
    ExpireDue();
  }
}

// Until the nearest deadline, and at least once a second a look at the wake descriptor.
int EchoSocket::NextWaitMs() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (deadlines_.empty()) return 1000;
  int64_t left = deadlines_.begin()->first - platform::MonotonicMs();
  if (left <= 0) return 0;
  return left < 1000 ? static_cast<int>(left) : 1000;
}

void EchoSocket::ExpireDue() {
  std::vector<Done> expired;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const int64_t now = platform::MonotonicMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
      uint16_t sequence = deadlines_.begin()->second;
      expired.push_back(Settle(sequence));
    }
  }
  for (Done& done : expired) {
    if (done) done(kTimeout);
  }
}

EchoSocket::Done EchoSocket::Settle(uint16_t sequence) {
  auto it = waiting_.find(sequence);
  if (it == waiting_.end()) return {};
  Done done = std::move(it->second.done);
  if (it->second.deadline != deadlines_.end()) deadlines_.erase(it->second.deadline);
  waiting_.erase(it);
  return done;
}

void EchoSocket::DrainReplies() {
  uint8_t datagram[kIcmpBufferSize];
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(fd_, datagram, sizeof datagram, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The datagram socket reports an ICMP error for a request here as a read error.
      if (!raw_) DrainErrors();
      return;
    }
    Answer answer{};
    if (ReadAnswer(datagram, static_cast<size_t>(n), raw_, from.sin_addr.s_addr, identifier_,
                   platform::TickCount(), &answer)) {
      Deliver(answer);
    }
  }
}

// The datagram socket's error queue: each entry carries the request it concerns (the
// ICMP message as sent) and its destination.
void EchoSocket::DrainErrors() {
  for (;;) {
    uint8_t data[kIcmpBufferSize];
    char control[512];
    sockaddr_in to{};
    iovec iov{data, sizeof data};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) return;
    bool icmpError = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
        auto* error = reinterpret_cast<sock_extended_err*>(CMSG_DATA(c));
        if (error->ee_origin == SO_EE_ORIGIN_ICMP) icmpError = true;
      }
    }
    if (icmpError && n >= 8 && data[0] == kTypeEchoRequest) {
      Deliver({Le16(data + 6), to.sin_addr.s_addr, kNotEchoReply});
    }
  }
}

void EchoSocket::Deliver(const Answer& answer) {
  Done done;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    // Only the address a sequence number was sent to may answer it.
    if (sentTo_[answer.sequence] != answer.address) return;
    if (waiting_.count(answer.sequence) != 0) {
      done = Settle(answer.sequence);
    } else if (answer.result >= 0) {
      // A late reply to an earlier, given-up request: the host is there after all, which is
      // what the request now waiting for that address wants to know.
      for (auto& [sequence, waiter] : waiting_) {
        if (waiter.address == answer.address) {
          done = Settle(sequence);
          break;
        }
      }
    }
  }
  if (done) done(answer.result);
}

size_t EchoSocket::waiting() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_.size();
}

int32_t EchoSocket::Echo(const char* host, int32_t timeoutMs, int32_t dataSize) {
  std::mutex mutex;
  std::condition_variable answered;
  bool over = false;
  int32_t result = 0;
  EchoAsync(host, timeoutMs, dataSize, [&](int32_t r) {
    std::lock_guard<std::mutex> hold(mutex);
    result = r;
    over = true;
    answered.notify_one();  // under the lock: the waiter's frame outlives the call
  });
  std::unique_lock<std::mutex> hold(mutex);
  answered.wait(hold, [&] { return over; });
  return result;
}

void EchoSocket::EchoAsync(const char* host, int32_t timeoutMs, int32_t dataSize, Done done) {
  const int32_t timeout = EffectiveTimeout(timeoutMs);
  std::optional<in_addr> address = ResolveHost(host);
  if (!address) address = ConvertDotted(host);
  if (!address) {
    done(kInitSocket);
    return;
  }

  uint8_t request[kIcmpBufferSize] = {};
  const size_t length = PrepareEchoRequest(request, EchoDataSize(dataSize), identifier_);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = *address;

  // Filed before the send, so that an answer quicker than this thread finds its waiter.
  uint16_t sequence;
  Done stale;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    sequence = nextSequence_++;
    // After 65536 requests a sequence number comes round again: its old waiter is long over.
    stale = Settle(sequence);
    sentTo_[sequence] = address->s_addr;
    waiting_[sequence] = Waiter{address->s_addr, std::move(done), deadlines_.end()};
  }
  if (stale) stale(kTimeout);
  auto fail = [&](int32_t code) {
    Done own;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      own = Settle(sequence);
    }
    if (own) own(code);
  };

  // The send is retried 10 ms apart up to the time-out, as Ping does.
  const int retries = timeout / kRetryPauseMs + 1;
  StampEchoRequest(request, length, sequence, platform::TickCount());
  ssize_t sent = -1;
  for (int i = 0; i <= retries; ++i) {
    if (i > 0) WaitFor(fd_, POLLOUT, kRetryPauseMs);
    do {
      sent = ::sendto(fd_, request, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) break;
  }
  if (sent < 0) return fail(kTimeout);
  if (static_cast<size_t>(sent) < length) return fail(kTooFewBytesSent);

  bool filed = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = waiting_.find(sequence);
    // Already answered while the send returned: nothing to wait for.
    if (it != waiting_.end()) {
      it->second.deadline =
          deadlines_.emplace(platform::MonotonicMs() + retries * kRetryPauseMs, sequence);
      filed = it->second.deadline == deadlines_.begin();
    }
  }
  // A deadline nearer than the receiving thread's current wait: let it look again.
  if (filed) {
    uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) < 0) {
      // It looks at the deadlines at least once a second anyway.
    }
  }
}

}  // namespace hostcheck
