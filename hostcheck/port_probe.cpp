#include "hostcheck/port_probe.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "hostcheck/ResultCodes.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

enum class ReadStep { kAgain, kLineSeen, kClosed, kFailed };

// Takes what the socket holds (up to what the cap still allows) and looks for a line feed.
ReadStep ReadSome(int fd, size_t* received) {
  char buffer[512];
  size_t room = kFirstLineCap - *received;
  if (room > sizeof buffer) room = sizeof buffer;
  ssize_t n;
  do {
    n = ::recv(fd, buffer, room, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return ReadStep::kClosed;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStep::kAgain;
    // A reset is a close reported by the peer, like an orderly one.
    if (errno == ECONNRESET || errno == EPIPE) return ReadStep::kClosed;
    return ReadStep::kFailed;
  }
  if (std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) return ReadStep::kLineSeen;
  *received += static_cast<size_t>(n);
  return *received >= kFirstLineCap ? ReadStep::kLineSeen : ReadStep::kAgain;
}

}  // namespace

PortProbeSteps::PortProbeSteps(int32_t port, int32_t timeoutMs, PortProbe probe)
    : port_(port), timeout_(EffectiveTimeout(timeoutMs)), probe_(probe) {}

short PortProbeSteps::events() const {
  return step_ == Step::kConnecting ? POLLOUT : POLLIN;
}

bool PortProbeSteps::Finish(int32_t result) {
  result_ = result;
  step_ = Step::kOver;
  socket_.Reset();
  return true;
}

bool PortProbeSteps::Start(const char* host) {
  start_ = platform::MonotonicMs();
  socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_.valid()) return Finish(kOpenSocket);

  std::optional<in_addr> address = ResolveHost(host);
  if (!address) return Finish(probe_ == PortProbe::kWebRequest ? kConnect : kInitSocket);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port_));
  to.sin_addr = *address;
  if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    return Connected();
  }
  if (errno != EINPROGRESS && errno != EINTR) return Finish(kConnect);
  // A host that never answers would otherwise hold the probe for the kernel's SYN retries
  // (minutes); the time-out bounds it instead.
  step_ = Step::kConnecting;
  waitEnd_ = platform::MonotonicMs() + timeout_;
  return false;
}

bool PortProbeSteps::Connected() {
  if (probe_ == PortProbe::kWebRequest) {
    ssize_t sent;
    do {
      sent = ::send(socket_.get(), kWebProbe, kWebProbeLength, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(kWebProbeLength)) return Finish(kSendData);
  }
  // Each wait has the whole time-out, so a greeting trickled byte by byte keeps the probe
  // alive as long as every byte comes in time, up to the probe's overall deadline.
  overall_ = start_ + OverallDeadlineMs(timeout_);
  step_ = Step::kReading;
  return NextRead();
}

bool PortProbeSteps::NextRead() {
  const int64_t now = platform::MonotonicMs();
  const int64_t left = overall_ - now;
  if (left <= 0) return Finish(kTimeout);
  waitEnd_ = now + (left < timeout_ ? left : timeout_);
  return false;
}

bool PortProbeSteps::Advance(int revents) {
  if (step_ == Step::kOver) return true;
  if (step_ == Step::kConnecting) {
    if (revents <= 0) return Finish(kConnect);
    int error = 0;
    socklen_t length = sizeof error;
    // A reset that arrives right after the handshake means the connection was made; the
    // read then sees the close, as with a peer that resets a moment later.
    if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        (error != 0 && error != ECONNRESET && error != EPIPE)) {
      return Finish(kConnect);
    }
    return Connected();
  }
  if (revents == 0) return Finish(kTimeout);
  if (revents < 0) return Finish(kConnect);
  switch (ReadSome(socket_.get(), &received_)) {
    case ReadStep::kAgain:
      return NextRead();
    case ReadStep::kLineSeen:
    case ReadStep::kClosed:
      return Finish(1);
    case ReadStep::kFailed:
      break;
  }
  return Finish(kConnect);
}

// ---- the loop ----

std::unique_ptr<PortProbeLoop> PortProbeLoop::Start() {
  std::unique_ptr<PortProbeLoop> loop(new PortProbeLoop);
  PortProbeLoop* self = loop.get();
  DeadlineLoop::Handlers handlers;
  handlers.ready = [self](int fd, uint32_t events) {
    std::function<void()> ended;
    {
      std::lock_guard<std::mutex> hold(self->loop_.mutex());
      ended = self->Advance(fd, static_cast<int>(events));
    }
    if (ended) ended();
  };
  handlers.expired = [self](uint64_t fd) { return self->Advance(static_cast<int>(fd), 0); };
  if (!loop->loop_.Start(std::move(handlers))) return nullptr;
  return loop;
}

PortProbeLoop::~PortProbeLoop() {
  loop_.Stop();
  probes_.clear();  // closes what is still open
}

size_t PortProbeLoop::open() {
  std::lock_guard<std::mutex> hold(loop_.mutex());
  return probes_.size();
}

void PortProbeLoop::Begin(const char* host, int32_t port, int32_t timeoutMs, PortProbe probe,
                          std::function<void(int32_t)> done) {
  auto steps = std::make_unique<PortProbeSteps>(port, timeoutMs, probe);
  if (steps->Start(host)) {
    done(steps->result());
    return;
  }
  const int fd = steps->fd();
  bool nearest;
  {
    std::lock_guard<std::mutex> hold(loop_.mutex());
    Probe& entry = probes_[fd];
    entry.steps = std::move(steps);
    entry.done = std::move(done);
    nearest = loop_.SetDeadline(static_cast<uint64_t>(fd), entry.steps->deadline());
    // POLLIN/POLLOUT are EPOLLIN/EPOLLOUT.
    loop_.Watch(fd, static_cast<uint32_t>(entry.steps->events()), true);
  }
  // A deadline nearer than the loop's current wait: let it look again.
  if (nearest) loop_.Wake();
}

std::function<void()> PortProbeLoop::Advance(int fd, int revents) {
  auto it = probes_.find(fd);
  if (it == probes_.end()) return {};
  Probe& probe = it->second;
  if (!probe.steps->Advance(revents)) {
    loop_.SetDeadline(static_cast<uint64_t>(fd), probe.steps->deadline());
    loop_.Watch(fd, static_cast<uint32_t>(probe.steps->events()), false);
    return {};
  }
  loop_.CancelDeadline(static_cast<uint64_t>(fd));
  loop_.Unwatch(fd);
  std::function<void()> ended = [done = std::move(probe.done), result = probe.steps->result()] {
    done(result);
  };
  probes_.erase(it);
  return ended;
}

}  // namespace hostcheck
