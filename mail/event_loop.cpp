#include "mail/event_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace mail {

// What the lookup threads share with the loop. It outlives the loop as long as a thread
// still runs, so a late answer never writes to freed memory.
struct EventLoop::LookupShared {
  struct Done {
    intptr_t handle;
    int error;
    std::vector<in_addr> addresses;
  };
  std::mutex mutex;
  std::vector<Done> done;
  Resolver resolver;
  int wakeRead = -1;
  int wakeWrite = -1;
  ~LookupShared() {
    if (wakeRead >= 0) close(wakeRead);
    if (wakeWrite >= 0) close(wakeWrite);
  }
};

namespace {

// Set by the signal handler; the loop turns it into a kMsgTerminate.
volatile sig_atomic_t g_terminateSignal = 0;
int g_wakeWrite = -1;

void OnTerminateSignal(int signal) {
  const int saved = errno;
  g_terminateSignal = signal;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_wakeWrite, &byte, 1);  // wakes the poll
  errno = saved;
}

int SystemResolve(const std::string& host, std::vector<in_addr>* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0) return rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
  for (addrinfo* a = result; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    const in_addr addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
    bool seen = false;
    for (const in_addr& o : *out) seen = seen || o.s_addr == addr.s_addr;
    if (!seen) out->push_back(addr);
  }
  freeaddrinfo(result);
  return 0;
}

}  // namespace

CWinsockEventCallback::~CWinsockEventCallback() {
  EventLoop::Instance().Forget(this);
}

bool CWinsockEventCallback::Register(intptr_t handle, int kind) {
  return EventLoop::Instance().Register(handle, kind, this);
}

bool CWinsockEventCallback::Deregister(intptr_t handle, int kind) {
  return EventLoop::Instance().Deregister(handle, kind, this);
}

EventLoop& EventLoop::Instance() {
  static EventLoop* loop = new EventLoop();  // never destroyed: lookup threads may outlive main
  return *loop;
}

EventLoop::EventLoop() : shared_(std::make_shared<LookupShared>()) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    shared_->wakeRead = fds[0];
    shared_->wakeWrite = fds[1];
  }
}

EventLoop::Entry* EventLoop::Find(intptr_t handle, int kind) {
  for (Entry& e : registry_)
    if (e.handle == handle && e.kind == kind) return &e;
  return nullptr;
}

bool EventLoop::Register(intptr_t handle, int kind, CWinsockEventCallback* target) {
  if (Find(handle, kind) != nullptr) return false;
  registry_.push_back(Entry{handle, kind, target, 0});
  return true;
}

bool EventLoop::Deregister(intptr_t handle, int kind, CWinsockEventCallback* target) {
  for (auto it = registry_.begin(); it != registry_.end(); ++it) {
    if (it->handle == handle && it->kind == kind && it->target == target) {
      registry_.erase(it);
      return true;
    }
  }
  return false;
}

void EventLoop::SelectEvents(int socket, int events) {
  if (Entry* e = Find(socket, kKindSocket)) e->events = events;
}

intptr_t EventLoop::StartLookup(const std::string& host) {
  if (shared_->wakeWrite < 0) return 0;
  const intptr_t handle = nextLookup_++;
  std::shared_ptr<LookupShared> shared = shared_;
  Resolver resolver = shared_->resolver ? shared_->resolver : Resolver(SystemResolve);
  try {
    std::thread([shared, resolver, host, handle] {
      LookupShared::Done done{handle, 0, {}};
      done.error = resolver(host, &done.addresses);
      {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->done.push_back(std::move(done));
      }
      const char byte = 1;
      [[maybe_unused]] ssize_t n = write(shared->wakeWrite, &byte, 1);
    }).detach();
  } catch (const std::system_error&) {
    return 0;
  }
  ++pendingLookups_;
  return handle;
}

std::vector<in_addr> EventLoop::TakeLookupResult(intptr_t handle) {
  auto it = lookupResults_.find(handle);
  if (it == lookupResults_.end()) return {};
  std::vector<in_addr> out = std::move(it->second);
  lookupResults_.erase(it);
  return out;
}

void EventLoop::CancelLookup(intptr_t handle) {
  lookupResults_.erase(handle);
}

uintptr_t EventLoop::SetTimer(CWinsockEventCallback* target, int64_t delayMs) {
  const uintptr_t id = nextTimer_++;
  timers_[id] = Timer{platform::MonotonicMs() + delayMs, target};
  return id;
}

void EventLoop::KillTimer(uintptr_t id) {
  timers_.erase(id);
}

void EventLoop::Post(CWinsockEventCallback* target, unsigned message, uintptr_t wParam,
                     intptr_t lParam) {
  posted_.push_back(Posted{target, message, wParam, lParam});
}

void EventLoop::Forget(CWinsockEventCallback* target) {
  if (terminateTarget_ == target) terminateTarget_ = nullptr;
  registry_.remove_if([target](const Entry& e) { return e.target == target; });
  posted_.remove_if([target](const Posted& p) { return p.target == target; });
  for (auto it = timers_.begin(); it != timers_.end();)
    it = it->second.target == target ? timers_.erase(it) : std::next(it);
}

void EventLoop::SetResolverForTesting(Resolver resolver) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->resolver = std::move(resolver);
}

bool EventLoop::Idle() const {
  return registry_.empty() && timers_.empty() && posted_.empty();
}

void EventLoop::DispatchSocket(int fd, short revents) {
  Entry* e = Find(fd, kKindSocket);
  if (e == nullptr) return;
  if (e->events & kFdConnect) {
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    e->target->OnEvent(kMsgSocketEvent, fd, kFdConnect | (static_cast<intptr_t>(error) << 16));
    return;
  }
  if ((e->events & (kFdRead | kFdClose)) && (revents & (POLLIN | POLLHUP | POLLERR))) {
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    CWinsockEventCallback* target = e->target;
    if (n > 0) {
      if (e->events & kFdRead) target->OnEvent(kMsgSocketEvent, fd, kFdRead);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      const int error = n == 0 ? 0 : errno;
      e->events &= ~(kFdRead | kFdClose);  // a closed stream is reported once
      target->OnEvent(kMsgSocketEvent, fd, kFdClose | (static_cast<intptr_t>(error) << 16));
    }
    e = Find(fd, kKindSocket);  // the callback may have closed the socket
    if (e == nullptr) return;
  }
  if ((e->events & kFdWrite) && (revents & (POLLOUT | POLLERR))) {
    e->target->OnEvent(kMsgSocketEvent, fd, kFdWrite);
  }
}

void EventLoop::DrainLookups() {
  char buffer[64];
  while (read(shared_->wakeRead, buffer, sizeof buffer) > 0) {
  }
  std::vector<LookupShared::Done> done;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    done.swap(shared_->done);
  }
  for (LookupShared::Done& d : done) {
    --pendingLookups_;
    Entry* e = Find(d.handle, kKindLookup);
    if (e == nullptr) continue;  // cancelled
    lookupResults_[d.handle] = std::move(d.addresses);
    e->target->OnEvent(kMsgLookupDone, static_cast<uintptr_t>(d.handle), d.error);
  }
}

void EventLoop::FireTimers() {
  const int64_t now = platform::MonotonicMs();
  std::vector<uintptr_t> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.push_back(id);
  for (uintptr_t id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // killed by an earlier callback
    CWinsockEventCallback* target = it->second.target;
    timers_.erase(it);
    target->OnEvent(kMsgTimer, id, 0);
  }
}

void EventLoop::DeliverPosted() {
  while (!posted_.empty() && !quit_) {
    Posted p = posted_.front();
    posted_.pop_front();
    p.target->OnEvent(p.message, p.wParam, p.lParam);
  }
}

void EventLoop::WatchTermination(CWinsockEventCallback* target) {
  terminateTarget_ = target;
  g_wakeWrite = shared_->wakeWrite;
  struct sigaction action {};
  action.sa_handler = OnTerminateSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void EventLoop::TakeTermination() {
  const int signal = g_terminateSignal;
  if (signal == 0) return;
  g_terminateSignal = 0;
  if (terminateTarget_ != nullptr) Post(terminateTarget_, kMsgTerminate, signal, 0);
}

void EventLoop::Run() {
  quit_ = false;
  std::vector<pollfd> fds;
  while (!quit_) {
    TakeTermination();
    DeliverPosted();
    if (quit_ || Idle()) break;
    fds.clear();
    fds.push_back(pollfd{shared_->wakeRead, POLLIN, 0});
    for (const Entry& e : registry_) {
      if (e.kind != kKindSocket || e.events == 0) continue;
      short want = 0;
      if (e.events & (kFdConnect | kFdWrite)) want |= POLLOUT;
      if (e.events & (kFdRead | kFdClose)) want |= POLLIN;
      fds.push_back(pollfd{static_cast<int>(e.handle), want, 0});
    }
    int timeout = -1;
    if (!posted_.empty()) {
      timeout = 0;
    } else if (!timers_.empty()) {
      int64_t next = INT64_MAX;
      for (const auto& [id, t] : timers_) next = std::min(next, t.due);
      const int64_t wait = next - platform::MonotonicMs();
      timeout = wait <= 0 ? 0 : static_cast<int>(std::min<int64_t>(wait, 60000));
    }
    const int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    if (n > 0) {
      if (fds[0].revents) DrainLookups();
      for (size_t i = 1; i < fds.size() && !quit_; ++i)
        if (fds[i].revents) DispatchSocket(fds[i].fd, fds[i].revents);
    }
    if (!quit_) FireTimers();
  }
}

}  // namespace mail
