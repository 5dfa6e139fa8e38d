#include "console/connection_guard.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace console {
namespace {

// How often the clock looks for connections past their time.
constexpr auto kTick = std::chrono::milliseconds(200);
// Connections shut are reported at most this often, so an attack does not flood the log.
constexpr auto kReportEvery = std::chrono::seconds(10);

}  // namespace

ConnectionGuard::ConnectionGuard(Limits limits) : limits_(limits) {}

ConnectionGuard::~ConnectionGuard() {
  Stop();
  for (auto& [connection, e] : connections_) ::close(e.fd);
}

void ConnectionGuard::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clock_.joinable()) return;
  stopping_ = false;
  clock_ = std::thread([this] { Run(); });
}

void ConnectionGuard::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (clock_.joinable()) clock_.join();
}

bool ConnectionGuard::Opened(const void* connection, int fd, std::string address) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    std::fprintf(stderr,
                 "KTVarnock: web server: a connection was refused: no file descriptor "
                 "left to watch it\n");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = connections_[connection];
  if (e.fd >= 0) ::close(e.fd);
  e = Entry{std::move(address), copy, Clock::now(), true, false};
  size_t ofAddress = 0;
  size_t total = 0;
  for (const auto& [other, o] : connections_) {
    if (!o.waiting || o.shut) continue;
    ++total;
    if (o.address == e.address) ++ofAddress;
  }
  if (ofAddress > limits_.waitingPerAddress) {
    auto oldest = OldestWaiting(&e.address, connection);
    if (oldest != connections_.end()) {
      Shut(oldest->second);
      ++overShare_;
      --total;
    }
  }
  if (total > limits_.waitingTotal) {
    auto oldest = OldestWaiting(nullptr, connection);
    if (oldest != connections_.end()) {
      Shut(oldest->second);
      ++overShare_;
    }
  }
  return true;
}

void ConnectionGuard::RequestArrived(const void* connection, bool trusted) {
  if (!trusted) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = connections_.find(connection);
  if (it != connections_.end()) it->second.waiting = false;
}

void ConnectionGuard::RequestDone(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  it->second.waiting = true;
  it->second.since = Clock::now();
}

void ConnectionGuard::Closed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  ::close(it->second.fd);
  connections_.erase(it);
}

size_t ConnectionGuard::tooSlow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tooSlow_;
}

size_t ConnectionGuard::overShare() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return overShare_;
}

ConnectionGuard::Map::iterator ConnectionGuard::OldestWaiting(const std::string* address,
                                                              const void* except) {
  auto oldest = connections_.end();
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    const Entry& o = it->second;
    if (it->first == except || !o.waiting || o.shut) continue;
    if (address != nullptr && o.address != *address) continue;
    if (oldest == connections_.end() || o.since < oldest->second.since) oldest = it;
  }
  return oldest;
}

void ConnectionGuard::Shut(Entry& e) {
  // The server sees the end of the stream on its next read and closes the connection.
  ::shutdown(e.fd, SHUT_RDWR);
  e.shut = true;
}

void ConnectionGuard::Sweep() {
  const Clock::time_point now = Clock::now();
  for (auto& [connection, e] : connections_) {
    if (e.waiting && !e.shut && now - e.since > limits_.requestTime) {
      Shut(e);
      ++tooSlow_;
    }
  }
  if ((tooSlow_ == reportedSlow_ && overShare_ == reportedShare_) ||
      now - reported_ < kReportEvery) {
    return;
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(limits_.requestTime).count();
  std::fprintf(stderr,
               "KTVarnock: web server: closed %zu connections that brought no whole request "
               "within %lld s and %zu over the share of their address or of all\n",
               tooSlow_ - reportedSlow_, static_cast<long long>(seconds),
               overShare_ - reportedShare_);
  reportedSlow_ = tooSlow_;
  reportedShare_ = overShare_;
  reported_ = now;
}

void ConnectionGuard::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kTick, [this] { return stopping_; });
    if (!stopping_) Sweep();
  }
}

}  // namespace console
