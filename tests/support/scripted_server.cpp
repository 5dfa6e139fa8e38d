#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

const std::atomic<bool> kNever{false};  // the stop flag of a connection without a server

// Milliseconds left until `deadline` (at least 0), or -1 for no deadline.
int LeftMs(bool bounded, Clock::time_point deadline) {
  if (!bounded) return -1;
  // Rounded up: a wait cut to whole milliseconds must never end before its deadline.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` in slices, so that a stop is seen within 100 ms.
bool WaitFor(int fd, short events, int ms, const std::atomic<bool>* stopping) {
  const bool bounded = ms >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bounded ? ms : 0);
  for (;;) {
    if (stopping != nullptr && *stopping) return false;
    const int left = LeftMs(bounded, deadline);
    int slice = stopping != nullptr ? 100 : left;
    if (bounded && left < slice) slice = left;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, slice);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
    if (bounded && LeftMs(true, deadline) == 0) return false;
  }
}

}  // namespace

int ListenOn(const std::string& address, int port, int backlog, int* boundPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof a;
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(fd);
    return -1;
  }
  if (boundPort != nullptr) *boundPort = ntohs(a.sin_port);
  return fd;
}

int UnusedLoopbackPort() {
  int port = 0;
  const int fd = ListenLoopback(&port, 1);
  if (fd >= 0) ::close(fd);
  return port;
}

int ConnectTo(const std::string& address, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

std::string FirstWords(const std::string& address, int port, int timeoutMs, size_t minBytes) {
  const int fd = ConnectTo(address, port);
  if (fd < 0) return "";
  const std::string words = Connection(fd, nullptr).ReadUntil({}, minBytes, timeoutMs);
  ::close(fd);
  return words;
}

bool WaitReadable(int fd, int ms, const std::atomic<bool>* stopping) {
  return WaitFor(fd, POLLIN, ms, stopping);
}

bool SendAll(int fd, std::string_view data, int timeoutMs, const std::atomic<bool>* stopping) {
  const bool bounded = timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!data.empty()) {
    if (!WaitFor(fd, POLLOUT, LeftMs(bounded, deadline), stopping)) return false;
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SleepUnlessStopped(int ms, const std::atomic<bool>& stopping) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
  while (!stopping && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, LeftMs(true, until))));
  }
  return !stopping;
}

Connection::Connection(int fd, const std::atomic<bool>* stopping, ScriptedServer* record,
                       bool buffered)
    : fd_(fd),
      stopping_(stopping != nullptr ? stopping : &kNever),
      record_(record),
      buffered_(buffered) {}

void Connection::Record(const char* data, size_t size) {
  if (record_ == nullptr) return;
  std::lock_guard<std::mutex> lock(record_->mutex_);
  record_->received_.append(data, size);
}

bool Connection::Send(std::string_view text, int timeoutMs) {
  return SendAll(fd_, text, timeoutMs, stopping_);
}

bool Connection::ReadLine(std::string* line, const LineRead& how) {
  line->clear();
  const bool bounded = how.timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(how.timeoutMs);
  const std::string& end = how.end;
  std::string tail;  // the last bytes read, as long as `end`
  for (;;) {
    if (pending_.empty()) {
      if (!WaitReadable(fd_, LeftMs(bounded, deadline), stopping_)) return false;
      char block[4096];
      const ssize_t n = ::read(fd_, block, buffered_ ? sizeof block : 1);
      if (n <= 0) return false;
      Record(block, static_cast<size_t>(n));
      pending_.assign(block, static_cast<size_t>(n));
    }
    for (size_t used = 0; used < pending_.size();) {
      const char c = pending_[used++];
      tail.push_back(c);
      if (tail.size() > end.size()) tail.erase(0, 1);
      if (line->size() < how.maxLength + end.size()) line->push_back(c);
      if (tail != end) continue;
      pending_.erase(0, used);
      if (line->size() >= end.size() &&
          line->compare(line->size() - end.size(), end.size(), end) == 0) {
        line->resize(line->size() - end.size());
      }
      if (line->size() > how.maxLength) line->resize(how.maxLength);
      if (end == "\n" && !line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    pending_.clear();
  }
}

std::string Connection::ReadUntil(const std::vector<std::string_view>& ends, size_t maxBytes,
                                  int timeoutMs) {
  std::string data;
  std::swap(data, pending_);
  const bool bounded = timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto done = [&] {
    for (std::string_view end : ends) {
      if (data.find(end) != std::string::npos) return true;
    }
    return data.size() >= maxBytes;
  };
  while (!done()) {
    if (!WaitReadable(fd_, LeftMs(bounded, deadline), stopping_)) break;
    char block[4096];
    const ssize_t n = ::read(fd_, block, std::min(sizeof block, maxBytes - data.size()));
    if (n <= 0) break;
    Record(block, static_cast<size_t>(n));
    data.append(block, static_cast<size_t>(n));
  }
  return data;
}

std::string Connection::ReadSome(size_t maxBytes, int timeoutMs) {
  std::string data = pending_.substr(0, maxBytes);
  pending_.erase(0, data.size());
  if (!data.empty() || !WaitReadable(fd_, timeoutMs, stopping_)) return data;
  data.resize(maxBytes);
  const ssize_t n = ::read(fd_, data.data(), maxBytes);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  Record(data.data(), data.size());
  return data;
}

bool Connection::Trickle(std::string_view text, int everyMs, int forMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(forMs);
  for (char c : text) {
    if (stopping() || Clock::now() >= end || !Send(std::string_view(&c, 1))) return false;
    if (!SleepUnlessStopped(everyMs, *stopping_)) return false;
  }
  return true;
}

void Connection::StaySilent(int ms) {
  pending_.clear();
  const bool bounded = ms >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (!WaitReadable(fd_, LeftMs(bounded, deadline), stopping_)) return;
    char block[4096];
    const ssize_t n = ::read(fd_, block, sizeof block);
    if (n <= 0) return;
    Record(block, static_cast<size_t>(n));
  }
}

std::vector<Step> UserPassSignIn(std::string greeting, std::string userReply,
                                 std::string signedIn) {
  return {Say(std::move(greeting)), Expect("USER"), Say(std::move(userReply)), Expect("PASS"),
          Say(std::move(signedIn))};
}

bool RunSteps(Connection& connection, const std::vector<Step>& steps, const LineRead& how) {
  for (const Step& step : steps) {
    std::string line;
    switch (step.kind) {
      case Step::kSay:
        if (!connection.Send(step.text)) return false;
        break;
      case Step::kExpect:
        if (!connection.ReadLine(&line, how) || line.rfind(step.text, 0) != 0) return false;
        break;
      case Step::kTrickle:
        if (!connection.Trickle(step.text, step.ms, 1 << 30)) return false;
        break;
      case Step::kSilent:
        connection.StaySilent(step.ms);
        break;
      case Step::kClose:
        return true;
    }
  }
  return true;
}

ScriptedServer::ScriptedServer(Session session, ServerOptions options)
    : session_(std::move(session)), options_(std::move(options)) {
  listenFd_ = ListenOn(options_.address, options_.port, options_.backlog, &port_);
  if (listenFd_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::ScriptedServer(std::vector<Step> steps, ServerOptions options)
    : ScriptedServer([steps = std::move(steps)](Connection& c) { RunSteps(c, steps); },
                     std::move(options)) {}

ScriptedServer::~ScriptedServer() {
  Stop();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void ScriptedServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : sessions_) {
    if (t.joinable()) t.join();
  }
}

std::string ScriptedServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void ScriptedServer::Serve(int fd) {
  Connection connection(fd, &stopping_, this, options_.bufferedReads);
  session_(connection);
  ::close(fd);
}

void ScriptedServer::AcceptLoop() {
  while (!stopping_ && (options_.maxConnections == 0 || connections_ < options_.maxConnections)) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, options_.pollMs) <= 0 || stopping_) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    if (options_.sideBySide) {
      sessions_.emplace_back([this, fd] { Serve(fd); });
    } else {
      Serve(fd);
    }
  }
}

void HeardLines::Connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++connections_;
}

void HeardLines::Add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

bool HeardLines::Holds(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& line : lines_) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

int HeardLines::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

SocketServer::SocketServer(Session session, ServerOptions options) : session_(std::move(session)) {
  core_ = std::make_unique<ScriptedServer>([this](Connection& c) { session_(c.fd(), *this); },
                                           std::move(options));
}

std::string ReadCommand(int fd, const SocketServer& server, int timeoutMs) {
  std::string line;
  LineRead how;
  how.timeoutMs = timeoutMs;
  Connection(fd, server.stopFlag()).ReadLine(&line, how);
  return line;
}

void WaitForClose(int fd, const SocketServer& server) {
  Connection(fd, server.stopFlag()).StaySilent();
}

bool RunSteps(int fd, const SocketServer& server, const std::vector<Step>& steps) {
  Connection connection(fd, server.stopFlag());
  return RunSteps(connection, steps);
}

}  // namespace testsupport
