#include "hostcheck/echo_socket.h"

#include <sys/epoll.h>
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

constexpr int kRetryPauseMs = kIcmpRetryPauseMs;
// Room for the replies of a thousand hosts answering at once.
constexpr int kReceiveBuffer = 1 << 20;

}  // namespace

bool EchoSocket::ReadAnswer(const uint8_t* datagram, size_t size, bool hasIpHeader, in_addr_t from,
                            uint16_t identifier, uint32_t nowTick, Answer* answer) {
  const IcmpMessage m = ParseIcmpDatagram(datagram, size, hasIpHeader);
  if (m.identifier != identifier) return false;
  if (m.kind == IcmpKind::kEchoReply && m.timed) {
    *answer = {m.sequence, from, static_cast<int32_t>(nowTick - m.sendTick)};
    return true;
  }
  // An ICMP error names the request it concerns by quoting it; only the raw socket reads
  // errors as datagrams.
  if (m.kind == IcmpKind::kError && m.quotesEchoRequest && hasIpHeader) {
    *answer = {m.sequence, m.quotedDestination, kNotEchoReply};
    return true;
  }
  return false;
}

std::unique_ptr<EchoSocket> EchoSocket::Open() {
  std::unique_ptr<EchoSocket> s(new EchoSocket);
  const uint16_t wanted = static_cast<uint16_t>(::getpid() & 0xFFFF);
  if (!s->socket_.Open(wanted, true)) return nullptr;
  s->identifier_ = s->socket_.Identifier(wanted);
  int size = kReceiveBuffer;
  ::setsockopt(s->socket_.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  s->sentTo_.assign(65536, INADDR_NONE);
  EchoSocket* self = s.get();
  DeadlineLoop::Handlers handlers;
  handlers.ready = [self](int, uint32_t events) {
    if (events & EPOLLIN) self->DrainReplies();
    if (!self->socket_.raw() && (events & EPOLLERR)) self->DrainErrors();
  };
  handlers.expired = [self](uint64_t sequence) -> std::function<void()> {
    auto it = self->waiting_.find(static_cast<uint16_t>(sequence));
    if (it == self->waiting_.end()) return {};
    Done done = std::move(it->second.done);
    self->waiting_.erase(it);
    if (!done) return {};
    return [done = std::move(done)] { done(kTimeout); };
  };
  if (!s->loop_.Start(std::move(handlers))) return nullptr;
  if (!s->loop_.Watch(s->socket_.fd(), EPOLLIN, true)) return nullptr;
  return s;
}

EchoSocket::~EchoSocket() {
  loop_.Stop();
}

EchoSocket::Done EchoSocket::Settle(uint16_t sequence) {
  auto it = waiting_.find(sequence);
  if (it == waiting_.end()) return {};
  Done done = std::move(it->second.done);
  loop_.CancelDeadline(sequence);
  waiting_.erase(it);
  return done;
}

void EchoSocket::DrainReplies() {
  uint8_t datagram[kIcmpBufferSize];
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(socket_.fd(), datagram, sizeof datagram, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The datagram socket reports an ICMP error for a request here as a read error.
      if (!socket_.raw()) DrainErrors();
      return;
    }
    Answer answer{};
    if (ReadAnswer(datagram, static_cast<size_t>(n), socket_.raw(), from.sin_addr.s_addr,
                   identifier_, platform::TickCount(), &answer)) {
      Deliver(answer);
    }
  }
}

// The datagram socket's error queue: each entry carries the request it concerns (the
// ICMP message as sent) and its destination.
void EchoSocket::DrainErrors() {
  IcmpSocket::QueuedError error;
  while (socket_.TakeQueuedError(&error)) {
    if (error.fromIcmp && error.request.kind == IcmpKind::kEchoRequest) {
      Deliver({error.request.sequence, error.destination, kNotEchoReply});
    }
  }
}

void EchoSocket::Deliver(const Answer& answer) {
  Done done;
  {
    std::lock_guard<std::mutex> hold(loop_.mutex());
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
  std::lock_guard<std::mutex> hold(loop_.mutex());
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
    std::lock_guard<std::mutex> hold(loop_.mutex());
    sequence = nextSequence_++;
    // After 65536 requests a sequence number comes round again: its old waiter is long over.
    stale = Settle(sequence);
    sentTo_[sequence] = address->s_addr;
    waiting_[sequence] = Waiter{address->s_addr, std::move(done)};
  }
  if (stale) stale(kTimeout);
  auto fail = [&](int32_t code) {
    Done own;
    {
      std::lock_guard<std::mutex> hold(loop_.mutex());
      own = Settle(sequence);
    }
    if (own) own(code);
  };

  // The send is retried 10 ms apart up to the time-out, as Ping does.
  const int retries = timeout / kRetryPauseMs + 1;
  StampEchoRequest(request, length, sequence, platform::TickCount());
  const ssize_t sent = socket_.Send(request, length, to, retries, false);
  if (sent < 0) return fail(kTimeout);
  if (static_cast<size_t>(sent) < length) return fail(kTooFewBytesSent);

  bool filed = false;
  {
    std::lock_guard<std::mutex> hold(loop_.mutex());
    // Already answered while the send returned: nothing to wait for.
    if (waiting_.count(sequence) != 0) {
      filed = loop_.SetDeadline(sequence, platform::MonotonicMs() + retries * kRetryPauseMs);
    }
  }
  // A deadline nearer than the receiving thread's current wait: let it look again.
  if (filed) loop_.Wake();
}

}  // namespace hostcheck
