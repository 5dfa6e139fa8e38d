// The process's event loop for the mail engine: a poll() reactor that stands in for the
// hidden event window. A registry of (handle, kind, object) entries routes every socket
// event and lookup completion to the object registered for it; timers and posted messages
// go to the object named when they were set. Single-threaded: everything happens in
// callbacks of Run(); only host lookups run on a helper thread, whose answer comes back
// through the loop.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mail {

// Message numbers, as the owners of the engine know them.
constexpr unsigned kMsgUser = 1024;         // the owner's completion message (result in lParam)
constexpr unsigned kMsgLookupDone = 1025;   // wParam lookup handle, lParam error (0 = found)
constexpr unsigned kMsgSocketEvent = 1030;  // wParam socket, lParam event | error << 16
constexpr unsigned kMsgTimer = 1031;        // wParam timer id
constexpr unsigned kMsgTerminate = 1032;    // wParam the signal number (SIGTERM, SIGINT)

// Socket events carried in the low 16 bits of kMsgSocketEvent's lParam; the error number
// (errno) is in the bits above.
constexpr int kFdRead = 1;
constexpr int kFdWrite = 2;
constexpr int kFdConnect = 16;
constexpr int kFdClose = 32;

// Registry kinds.
constexpr int kKindLookup = 0;
constexpr int kKindSocket = 1;

// Base of every object that receives events from the loop. Destroying an object removes
// its registrations, timers and pending messages, so nothing reaches a dead object.
class CWinsockEventCallback {
 public:
  CWinsockEventCallback() = default;
  CWinsockEventCallback(const CWinsockEventCallback&) = delete;
  CWinsockEventCallback& operator=(const CWinsockEventCallback&) = delete;
  virtual ~CWinsockEventCallback();

  virtual void OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;

 protected:
  // False when the pair is already registered (or, for deregistration, not registered).
  bool Register(intptr_t handle, int kind);
  bool Deregister(intptr_t handle, int kind);
};

// Resolves a host name to IPv4 addresses; returns 0 or an error number. Runs on the lookup
// thread.
using Resolver = std::function<int(const std::string& host, std::vector<in_addr>* out)>;

class EventLoop {
 public:
  // The one loop of the process.
  static EventLoop& Instance();

  bool Register(intptr_t handle, int kind, CWinsockEventCallback* target);
  bool Deregister(intptr_t handle, int kind, CWinsockEventCallback* target);

  // Which socket events a registered socket wants: kFdConnect while connecting, then any
  // of kFdRead, kFdWrite (asked only while data wait to go out) and kFdClose.
  void SelectEvents(int socket, int events);

  // Starts a lookup of `host` on the helper thread. Returns its handle (> 0); the answer
  // comes as kMsgLookupDone to whoever registered the handle with kind kKindLookup, and is
  // fetched with TakeLookupResult. An answer nobody registered for is dropped.
  intptr_t StartLookup(const std::string& host);
  std::vector<in_addr> TakeLookupResult(intptr_t handle);
  void CancelLookup(intptr_t handle);

  // One kMsgTimer to `target` after `delayMs`. Returns the timer id (> 0).
  uintptr_t SetTimer(CWinsockEventCallback* target, int64_t delayMs);
  void KillTimer(uintptr_t id);

  // Delivers the message to `target` from the loop, after the current callback returns.
  void Post(CWinsockEventCallback* target, unsigned message, uintptr_t wParam, intptr_t lParam);

  // From now on SIGTERM and SIGINT no longer end the process: each arrives as one
  // kMsgTerminate, delivered to `target` from the loop.
  void WatchTermination(CWinsockEventCallback* target);

  // Runs until Quit() is called. Returns at once when nothing is registered, set or posted
  // (nothing could ever happen).
  void Run();
  void Quit() { quit_ = true; }

  // Drops everything that concerns `target` (called when an object goes away).
  void Forget(CWinsockEventCallback* target);

  // Replaces the system resolver (tests). An empty function restores it.
  void SetResolverForTesting(Resolver resolver);

 private:
  EventLoop();
  struct LookupShared;
  struct Entry {
    intptr_t handle;
    int kind;
    CWinsockEventCallback* target;
    int events;  // sockets only
  };
  struct Timer {
    int64_t due;
    CWinsockEventCallback* target;
  };
  struct Posted {
    CWinsockEventCallback* target;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
  };

  Entry* Find(intptr_t handle, int kind);
  void DispatchSocket(int fd, short revents);
  void DrainLookups();
  void FireTimers();
  void DeliverPosted();
  void TakeTermination();
  bool Idle() const;

  std::list<Entry> registry_;
  std::map<uintptr_t, Timer> timers_;
  std::list<Posted> posted_;
  std::map<intptr_t, std::vector<in_addr>> lookupResults_;
  std::shared_ptr<LookupShared> shared_;
  uintptr_t nextTimer_ = 1;
  intptr_t nextLookup_ = 1;
  int pendingLookups_ = 0;
  bool quit_ = false;
  CWinsockEventCallback* terminateTarget_ = nullptr;
};

}  // namespace mail
