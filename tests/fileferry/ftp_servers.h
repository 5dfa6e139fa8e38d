// FTP servers for the transfer library's and the FTP agent's tests, all on 127.0.0.1:
// a real vsftpd with a local user and a folder of the test's own, and a scripted server
// that misbehaves in ways a real one will not.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ftptest {

// The local user the vsftpd instances sign in (created on first use, with no shell).
constexpr const char* kUser = "varnftp";
constexpr const char* kPassword = "Ferry-Test-7Qx";

struct VsftpdOptions {
  bool readOnlyRoot = false;  // the sign-in folder belongs to root: uploads are refused
  int fileOpenMode = 0666;    // mode of uploaded files (0200: they cannot be read back)
  bool logProtocol = false;   // every command goes to the server's log
  std::string extraConfig;    // lines appended to the configuration (TLS settings)
  bool implicitTls = false;   // the port speaks TLS at once: it is ready once it accepts
};

// vsftpd from Debian on 127.0.0.1 and a free port, signing in kUser (password kPassword)
// into root(), which holds a read-only folder "ro". Needs root (vsftpd switches to the
// user); ok() is false with skipReason() when it cannot run here.
class Vsftpd {
 public:
  explicit Vsftpd(VsftpdOptions options = {});
  ~Vsftpd();
  Vsftpd(const Vsftpd&) = delete;
  Vsftpd& operator=(const Vsftpd&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& skipReason() const { return skipReason_; }
  int port() const { return port_; }
  // "127.0.0.1:<port>", as a server text for the library or an account's host.
  std::string server() const;
  const std::string& root() const { return root_; }
  // The server's own log (transfers, and commands with logProtocol).
  std::string Log() const;

 private:
  bool Start(const VsftpdOptions& options);

  std::string base_, root_;
  int pid_ = -1;
  int port_ = 0;
  std::string skipReason_;
};

// A listener on 127.0.0.1 that runs `session` on every connection it accepts, each on a
// thread of its own; the socket is closed when `session` returns. `stopping()` turns true
// when the server is destroyed, and sessions should then return.
class ScriptedServer {
 public:
  using Session = std::function<void(int fd, const ScriptedServer& server)>;
  explicit ScriptedServer(Session session);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  bool stopping() const { return stop_; }

 private:
  void AcceptLoop();

  int fd_ = -1;
  int port_ = 0;
  Session session_;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> sessions_;
};

// Helpers for sessions: whole sends, and reading one command line (at most 4096 bytes, up
// to `timeoutMs` in all). False / "" when the peer closed, the server stops or time ran out.
bool SendText(int fd, const std::string& text);
std::string ReadCommand(int fd, const ScriptedServer& server, int timeoutMs = 10000);
// Waits until the peer closes or the server stops.
void WaitForClose(int fd, const ScriptedServer& server);

// Signs the client in: greeting, USER, PASS; true when the client got as far as PASS.
bool GreetAndSignIn(int fd, const ScriptedServer& server);

// A plain FTP dialogue after the sign-in, answering the commands libcurl sends before a
// transfer (PWD, TYPE, EPSV/PASV/EPRT/PORT, SIZE) and handing the transfer command and its
// data connection to `transfer`. Returns when the client quits or closes.
using TransferStep = std::function<void(int control, int data, const std::string& command,
                                        const ScriptedServer& server)>;
// Answers a command the plain dialogue would answer with "200 fine" and returns true, or
// returns false to leave it to the dialogue.
using CommandStep = std::function<bool(int control, const std::string& command)>;
// `sizeReply` answers SIZE; `extra` sees every other command first.
void ServeAfterSignIn(int fd, const ScriptedServer& server, const TransferStep& transfer,
                      const std::string& sizeReply = "213 100000", const CommandStep& extra = {});

// A scripted server that keeps one file in memory across its sessions, for a round trip
// against a dialogue that differs from a real server's in one place: STOR stores the file,
// RETR sends it back (550 when there is none) unless `download` is given to send instead,
// DELE removes it (550 when there is none), SIZE gets `sizeReply`.
class OneFileServer {
 public:
  explicit OneFileServer(std::string sizeReply, TransferStep download = {});
  std::string server() const { return scripted_->server(); }
  bool holdsFile() const;
  // Every command verb the sessions got, in order.
  std::vector<std::string> verbs() const;

 private:
  struct Shared {
    std::mutex mutex;
    bool holds = false;
    std::string content;
    std::vector<std::string> verbs;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::unique_ptr<ScriptedServer> scripted_;
};

// A download step that announces a file of 1000000000000000 bytes and sends it 2 bytes a
// second, for at most `forMs` (then it closes the data connection and says "226").
TransferStep TrickleDownload(int forMs);

// A port on 127.0.0.1 that nobody listens on (free a moment ago).
int ClosedPort();

// The peak resident memory of this process in kB (VmHWM), and a reset of that peak.
long PeakMemoryKb();
void ResetPeakMemory();

}  // namespace ftptest
