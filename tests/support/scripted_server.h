// The one core under the tests' hand-made servers: a listener on 127.0.0.1 (or an address
// the test owns) with a port the system picks, an acceptor thread that runs a session for
// every connection, bounded reads and whole sends for the sessions, a record of every byte
// the sessions read, and a clean stop. A session is code, or a script of steps.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// Listens on address:port (port 0: one the system picks); the socket, or -1. `*boundPort`
// gets the port that is listened on.
int ListenOn(const std::string& address, int port, int backlog, int* boundPort);
inline int ListenLoopback(int* boundPort, int backlog = 16) {
  return ListenOn("127.0.0.1", 0, backlog, boundPort);
}
// A port of 127.0.0.1 where nothing listens (bound a moment ago, then released).
int UnusedLoopbackPort();
// A socket connected to address:port, or -1.
int ConnectTo(const std::string& address, int port);
inline int ConnectLoopback(int port) {
  return ConnectTo("127.0.0.1", port);
}
// What a server at address:port says first: connects and reads what comes within
// `timeoutMs`, at least `minBytes` of it when it comes ("" when nothing does).
std::string FirstWords(const std::string& address, int port, int timeoutMs, size_t minBytes = 1);

// Waits up to `ms` (negative: no limit) for the socket to be readable; false on time-out,
// error, or once `stopping` (when given) is set.
bool WaitReadable(int fd, int ms, const std::atomic<bool>* stopping = nullptr);
// Sends all of `data`; false when the peer went away, `timeoutMs` (negative: none) passed
// or `stopping` was set.
bool SendAll(int fd, std::string_view data, int timeoutMs = -1,
             const std::atomic<bool>* stopping = nullptr);
// Sleeps `ms`, or less once `stopping` is set; false when it was.
bool SleepUnlessStopped(int ms, const std::atomic<bool>& stopping);

struct LineRead {
  size_t maxLength = 4096;  // a longer line is cut here; the rest of it is read and dropped
  int timeoutMs = 10000;    // for the whole line; negative: no limit
  std::string end = "\n";   // what ends a line ("\n": a '\r' before it goes too)
};

class ScriptedServer;

// One accepted socket as a session sees it. Reads go to the server's record of received
// bytes. With `buffered`, reads take what is there and keep the surplus for the next read;
// without, a line read takes no byte beyond its end (the socket can change hands after it).
class Connection {
 public:
  Connection(int fd, const std::atomic<bool>* stopping, ScriptedServer* record = nullptr,
             bool buffered = false);
  int fd() const { return fd_; }
  bool stopping() const { return *stopping_; }
  const std::atomic<bool>* stopFlag() const { return stopping_; }

  bool Send(std::string_view text, int timeoutMs = -1);
  // One line without its end; false when the peer closed, time ran out or the server stops.
  bool ReadLine(std::string* line, const LineRead& how = {});
  // Reads until one of `ends` has arrived, `maxBytes` are read, the peer closes, the server
  // stops or `timeoutMs` (negative: no limit) passes; all that was read.
  std::string ReadUntil(const std::vector<std::string_view>& ends, size_t maxBytes, int timeoutMs);
  // One read of what arrives within `timeoutMs` (at most `maxBytes`); "" when nothing did.
  std::string ReadSome(size_t maxBytes, int timeoutMs);
  // Sends `text` one byte every `everyMs`, at most for `forMs`; false when the peer went away.
  bool Trickle(std::string_view text, int everyMs, int forMs);
  // Sends nothing and reads (and records) what comes until the peer closes, `ms` (negative:
  // no limit) passes or the server stops.
  void StaySilent(int ms = -1);

 private:
  void Record(const char* data, size_t size);
  int fd_;
  const std::atomic<bool>* stopping_;
  ScriptedServer* record_;
  bool buffered_;
  std::string pending_;
};

// One step of a scripted session. A failed step (peer gone, a line that does not start as
// expected, time out) ends the session, which closes the connection.
struct Step {
  enum Kind { kSay, kExpect, kTrickle, kSilent, kClose } kind;
  std::string text;  // kSay, kTrickle: what to send; kExpect: how the line must start
  int ms = 0;        // kTrickle: one byte every ms; kSilent: how long (negative: until closed)
};
inline Step Say(std::string text) {
  return {Step::kSay, std::move(text), 0};
}
inline Step Expect(std::string prefix = "") {
  return {Step::kExpect, std::move(prefix), 0};
}
inline Step Trickle(std::string text, int everyMs) {
  return {Step::kTrickle, std::move(text), everyMs};
}
inline Step Silent(int ms = -1) {
  return {Step::kSilent, "", ms};
}
inline Step Close() {
  return {Step::kClose, "", 0};
}
// The sign-in that mail and file dialogues begin with: the greeting, a line starting with
// "USER", `userReply`, a line starting with "PASS", `signedIn`.
std::vector<Step> UserPassSignIn(std::string greeting, std::string userReply, std::string signedIn);
// Runs the steps in order; true when all of them ran.
bool RunSteps(Connection& connection, const std::vector<Step>& steps, const LineRead& how = {});

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: one the system picks
  int backlog = 16;
  // Each connection on a thread of its own, or one after another on the acceptor's thread.
  bool sideBySide = true;
  // Accepts no more than this many (0: no limit); later ones wait in the backlog.
  int maxConnections = 0;
  int pollMs = 100;
  bool bufferedReads = false;
};

class ScriptedServer {
 public:
  using Session = std::function<void(Connection& connection)>;
  explicit ScriptedServer(Session session, ServerOptions options = {});
  // A server whose every connection runs `steps`.
  explicit ScriptedServer(std::vector<Step> steps, ServerOptions options = {});
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool ok() const { return listenFd_ >= 0; }
  int port() const { return port_; }
  // "127.0.0.1:<port>".
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  bool stopping() const { return stopping_; }
  const std::atomic<bool>& stopFlag() const { return stopping_; }
  int connections() const { return connections_; }
  // Every byte the sessions read so far, in order.
  std::string received() const;
  // Sets the stop flag, then waits for the acceptor and every session; idempotent.
  void Stop();

 private:
  friend class Connection;
  void Serve(int fd);
  void AcceptLoop();

  Session session_;
  ServerOptions options_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::thread acceptor_;
  std::vector<std::thread> sessions_;
};

// What scripted sessions heard, line by line, and how many connections came; shared by a
// test and its sessions.
class HeardLines {
 public:
  void Connected();
  void Add(const std::string& line);
  // Whether a line starts with `prefix`.
  bool Holds(const std::string& prefix) const;
  int connections() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int connections_ = 0;
};

// For sessions written against the socket itself: `session` gets the accepted socket and
// the server, each connection on a thread of its own; the socket is closed when it returns.
// `stopping()` turns true when the server is destroyed, and sessions should then return.
class SocketServer {
 public:
  using Session = std::function<void(int fd, const SocketServer& server)>;
  explicit SocketServer(Session session, ServerOptions options = {});
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  int port() const { return core_->port(); }
  std::string server() const { return core_->server(); }
  bool stopping() const { return core_->stopping(); }
  const std::atomic<bool>* stopFlag() const { return &core_->stopFlag(); }

 private:
  Session session_;
  std::unique_ptr<ScriptedServer> core_;
};

// One command line of at most 4096 bytes within `timeoutMs` in all; "" when the peer
// closed, the server stops or time ran out.
std::string ReadCommand(int fd, const SocketServer& server, int timeoutMs = 10000);
// Waits until the peer closes or the server stops.
void WaitForClose(int fd, const SocketServer& server);
// Runs `steps` on the socket.
bool RunSteps(int fd, const SocketServer& server, const std::vector<Step>& steps);

}  // namespace testsupport
