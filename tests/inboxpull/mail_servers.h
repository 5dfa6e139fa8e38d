// Mail servers for the POP3 library's and the e-mail agent's tests, all on 127.0.0.1: a
// private dovecot serving Maildirs over POP3, an aiosmtpd that delivers into the same
// Maildirs, and a scripted POP3 server for answers a real one will not give.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/announced_server.h"
#include "support/peak_memory.h"
#include "support/scripted_server.h"

namespace mailtest {

struct MailUser {
  std::string name;
  std::string password;
};

// dovecot from Debian with a configuration of its own in a fresh folder (own base_dir,
// state_dir and log, users from a passwd-file, mail in "<root>/<user>" Maildirs owned by
// nobody), listening for POP3 on a free port of 127.0.0.1. Nothing of the system's
// dovecot is touched. ok() is false with skipReason() when it cannot run here.
// With TLS, the plain port requires STLS and a second port speaks TLS from the first byte.
struct DovecotTls {
  std::string certFile, keyFile;  // PEM
};

class Dovecot {
 public:
  // `port` 0 picks a free one.
  explicit Dovecot(const std::vector<MailUser>& users, const std::string& address = "127.0.0.1",
                   int port = 0);
  // On 127.0.0.1 with TLS; skipReason() says so when `tls` has no certificate.
  Dovecot(const std::vector<MailUser>& users, const DovecotTls& tls);
  ~Dovecot();
  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& skipReason() const { return skipReason_; }
  int port() const { return port_; }
  // With TLS: the port that speaks TLS from the first byte.
  int implicitPort() const { return implicitPort_; }
  // The folder holding one Maildir per user.
  const std::string& mailRoot() const { return mailRoot_; }
  // The Maildir owner, "uid:gid".
  std::string owner() const;
  // Puts a message into the user's Maildir as the SMTP server would.
  void Deliver(const std::string& user, const std::string& text) const;
  // The messages in the user's Maildir (new and cur).
  int MessageCount(const std::string& user) const;
  // Stops the server (the port then refuses connections).
  void Stop();

 private:
  void Begin(const std::vector<MailUser>& users);
  bool Start(const std::vector<MailUser>& users);

  std::string base_, mailRoot_, address_;
  DovecotTls tls_;
  int fixedPort_ = 0;
  int pid_ = -1;
  int port_ = 0, implicitPort_ = 0;
  unsigned uid_ = 65534, gid_ = 65534;
  std::string skipReason_;
};

struct SmtpOptions {
  double delaySeconds = 0;  // deliver that much later
  bool drop = false;        // accept mail, never deliver it
  std::string user, password;
  std::string address = "127.0.0.1";
  int port = 0;  // 0: a free one
  // With both: STARTTLS offered with this certificate and required before MAIL.
  std::string certFile, keyFile;
  // With `user`: MAIL is refused until the client signed in (a relay that requires AUTH).
  bool requireAuth = false;
};

// aiosmtpd (python3-aiosmtpd) delivering into the Maildirs of `dovecot`.
class MaildirSmtp {
 public:
  MaildirSmtp(const Dovecot& dovecot, const SmtpOptions& options = {});
  // Delivering into the Maildirs under `mailRoot`, owned by `owner` ("uid:gid").
  MaildirSmtp(const std::string& mailRoot, const std::string& owner,
              const SmtpOptions& options = {});
  bool ok() const { return port() > 0; }
  int port() const { return server_ ? server_->port() : 0; }

 private:
  std::unique_ptr<testsupport::AnnouncedServer> server_;
};

// A listener on 127.0.0.1 that runs a session on every connection, with session helpers:
// a whole send (false when the peer is gone), and one command line ("" when the peer
// closed, the server stops or 10 s passed).
using ScriptedPop3 = testsupport::SocketServer;
using testsupport::ReadCommand;
inline bool Send(int fd, const std::string& text) {
  return testsupport::SendAll(fd, text);
}

// Greets and accepts USER and PASS; true when the client got past PASS.
bool GreetAndLogIn(int fd, const ScriptedPop3& server);

// A port of 127.0.0.1 that nobody listens on (free a moment ago).
int FreePort();

// This process's peak resident memory (kB) and a reset of the peak.
using testsupport::PeakMemoryKb;
using testsupport::ResetPeakMemory;

}  // namespace mailtest
