// Servers on 127.0.0.1 with ephemeral ports for the network check tests: a scripted
// server whose handler can misbehave on purpose, and a real web server serving a folder.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_server.h"

namespace hostchecktest {

// Accepts connections on 127.0.0.1 and runs the handler for each, one after the other,
// on its own thread (or each on a thread of its own, side by side). The handler owns
// nothing: the connection is closed after it returns. Handlers that wait long should watch
// `stopping`, which is set when the server is destroyed.
class ScriptedServer {
 public:
  using Handler = std::function<void(int fd, const std::atomic<bool>& stopping)>;
  enum class Serving { kOneAfterAnother, kSideBySide };
  explicit ScriptedServer(Handler handler, Serving serving = Serving::kOneAfterAnother);
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return core_->port(); }
  int connections() const { return core_->connections(); }

 private:
  Handler handler_;
  std::unique_ptr<testsupport::ScriptedServer> core_;
};

// Reads from the connection until an empty line ends a request head, the peer closes, or
// `timeoutMs` passes. Returns what was read.
std::string ReadRequestHead(int fd, int timeoutMs = 5000);
// Writes everything (ignoring a peer that went away).
void SendAll(int fd, const std::string& data);
// Waits until the peer closes or the server stops.
void WaitForPeerClose(int fd, const std::atomic<bool>& stopping);

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int UnusedPort();

// `python3 -m http.server` serving `folder` on 127.0.0.1, stopped with the object.
class WebServer {
 public:
  explicit WebServer(const std::string& folder);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  bool running() const { return port_ > 0; }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int output_ = -1;
};

}  // namespace hostchecktest
