// Servers and helpers for the mail tests: the Python test SMTP server, a scripted fake
// server for what a real one will not do on purpose, and a runner for VarnPost.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/announced_server.h"
#include "support/scripted_server.h"

namespace mailtest {

// The test SMTP server (tests/mail/smtp_server.py) on 127.0.0.1; stops when destroyed.
class PySmtpServer {
 public:
  // Empty user: no AUTH offered.
  PySmtpServer(const std::string& storeDir, const std::string& user = "",
               const std::string& password = "");
  int port() const { return server_.port(); }
  bool ok() const { return port() > 0; }
  // Waits until message `n` (1, 2, ...) is stored; its .eml bytes, or "" after `waitMs`.
  std::string Message(int n, int waitMs = 20000) const;
  // The .env lines: sender, recipients (comma separated), logged-in user.
  std::vector<std::string> Envelope(int n) const;

 private:
  std::string dir_;
  testsupport::AnnouncedServer server_;
};

// A scripted server on 127.0.0.1 for one connection. replies[0] is the greeting; after
// each line from the client the next reply is sent. After a reply starting "354" the
// client's lines are data up to the lone "."; then the next reply follows. Special
// replies: "<close>" closes the connection, "<silent>" answers nothing (until the client
// closes), "<delay N>text" sends text after N milliseconds, "<flood>text" sends the line
// text over and over, reading nothing, until the client goes away. Every line the client
// sent is kept in the transcript.
class FakeSmtpServer {
 public:
  explicit FakeSmtpServer(std::vector<std::string> replies,
                          const std::string& address = "127.0.0.1", int port = 0);
  int port() const { return core_->port(); }
  // Client lines so far, each followed by "\n".
  std::string Transcript();
  std::vector<std::string> Lines();

 private:
  void Serve(testsupport::Connection& connection);
  std::vector<std::string> replies_;
  std::mutex mutex_;
  std::string transcript_;
  std::unique_ptr<testsupport::ScriptedServer> core_;
};

// A listener whose accept queue is full: connects to it hang until they time out.
class BlackHole {
 public:
  BlackHole(const std::string& address, int port);
  ~BlackHole();
  bool ok() const { return listenFd_ >= 0; }

 private:
  int listenFd_ = -1;
  std::vector<int> fillers_;
};

struct RunResult {
  int exitCode = -1;  // -1 when it was killed after the time limit
  double seconds = 0;
};

// Runs a program with the arguments, standard input from `input`, extra environment
// variables, and waits at most `limitMs`. While it runs, `terminateWhen` (when given) is
// asked every few milliseconds; once it says yes the program gets one SIGTERM.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, const std::map<std::string, std::string>& env,
                     int limitMs = 60000, const std::function<bool()>& terminateWhen = {});

std::string Base64Decode(const std::string& text);

// A port on 127.0.0.1 where nothing listens (bound and released).
int UnusedPort();

}  // namespace mailtest
