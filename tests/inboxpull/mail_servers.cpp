#include "mail_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace mailtest {
namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kPython = "/usr/bin/python3";

bool Greets(const std::string& address, int port) {
  return testsupport::FirstWords(address, port, 2000).rfind('+', 0) == 0;
}

std::string MakeBase() {
  char tmpl[] = "/tmp/varn-mail-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return "";
  // The mail user (nobody) walks into its Maildirs below.
  ::chmod(tmpl, 0755);
  return tmpl;
}

}  // namespace

int FreePort() {
  return testsupport::UnusedLoopbackPort();
}

Dovecot::Dovecot(const std::vector<MailUser>& users, const std::string& address, int port)
    : address_(address), fixedPort_(port) {
  Begin(users);
}

Dovecot::Dovecot(const std::vector<MailUser>& users, const DovecotTls& tls)
    : address_("127.0.0.1"), tls_(tls) {
  Begin(users);
}

void Dovecot::Begin(const std::vector<MailUser>& users) {
  if (::access(kDovecot, X_OK) != 0) {
    skipReason_ = "dovecot-pop3d is not installed";
    return;
  }
  if (::geteuid() != 0) {
    skipReason_ = "dovecot needs root to switch to the mail user";
    return;
  }
  const bool secure = !tls_.certFile.empty() || !tls_.keyFile.empty();
  if (secure && tls_.certFile.empty()) {
    skipReason_ = "no server certificate";
    return;
  }
  if (const passwd* pw = ::getpwnam("nobody")) {
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
  }
  base_ = MakeBase();
  if (base_.empty() || !Start(users)) {
    if (skipReason_.empty()) skipReason_ = "dovecot did not start (see " + base_ + "/dovecot.log)";
  }
}

std::string Dovecot::owner() const {
  return std::to_string(uid_) + ":" + std::to_string(gid_);
}

bool Dovecot::Start(const std::vector<MailUser>& users) {
  mailRoot_ = base_ + "/mail";
  fs::create_directories(base_ + "/run");
  fs::create_directories(base_ + "/state");
  fs::create_directories(mailRoot_);
  ::chown(mailRoot_.c_str(), uid_, gid_);
  {
    std::ofstream out(base_ + "/users");
    for (const MailUser& u : users) {
      const std::string box = mailRoot_ + "/" + u.name;
      for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(box + "/" + sub);
      for (const char* sub : {"", "/tmp", "/new", "/cur"}) ::chown((box + sub).c_str(), uid_, gid_);
      out << u.name << ":{PLAIN}" << u.password << ":" << uid_ << ":" << gid_ << "::" << box
          << "\n";
    }
  }
  const std::string conf = base_ + "/dovecot.conf";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = fixedPort_ > 0 ? fixedPort_ : FreePort();
    const bool secure = !tls_.certFile.empty();
    if (secure) {
      implicitPort_ = FreePort();
      if (implicitPort_ == port_) continue;
    }
    {
      std::ofstream out(conf, std::ios::trunc);
      out << "protocols = pop3\nlisten = " << address_ << "\n"
          << "base_dir = " << base_ << "/run\n"
          << "state_dir = " << base_ << "/state\n"
          << "log_path = " << base_ << "/dovecot.log\n";
      if (secure) {
        out << "ssl = required\nssl_cert = <" << tls_.certFile << "\nssl_key = <" << tls_.keyFile
            << "\ndisable_plaintext_auth = yes\n";
      } else {
        out << "ssl = no\ndisable_plaintext_auth = no\n";
      }
      out << "auth_mechanisms = plain\n"
          << "mail_location = maildir:" << mailRoot_ << "/%u\n"
          << "first_valid_uid = 1\npop3_uidl_format = %08Xu%08Xv\n"
          // Refused logins are answered at once, however many came before.
          << "auth_failure_delay = 0\n";
      // Plain logins are allowed from loopback only without TLS.
      if (!secure) out << "login_trusted_networks = 127.0.0.0/8\n";
      out << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << base_
          << "/users\n}\n"
          << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << base_
          << "/users\n}\n"
          << "service pop3-login {\n  inet_listener pop3 {\n    port = " << port_ << "\n  }\n";
      if (secure) {
        out << "  inet_listener pop3s {\n    port = " << implicitPort_ << "\n    ssl = yes\n  }\n";
      }
      out << "}\n";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      const int log = ::open((base_ + "/dovecot.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      const int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::execl(kDovecot, "dovecot", "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid < 0) return false;
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) break;
      if (Greets(address_, port_)) {
        pid_ = pid;
        return true;
      }
      ::usleep(50000);
    }
    // The group it leads, and the process itself in case it had not made the group yet.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return false;
}

void Dovecot::Stop() {
  if (pid_ <= 0) return;
  // The master and its login and POP3 processes share the group it leads.
  ::kill(-pid_, SIGTERM);
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    if (!ended) ::usleep(50000);
  }
  ::kill(-pid_, SIGKILL);
  if (!ended) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Dovecot::~Dovecot() {
  Stop();
  if (!base_.empty()) {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
}

void Dovecot::Deliver(const std::string& user, const std::string& text) const {
  static int counter = 0;
  const std::string box = mailRoot_ + "/" + user;
  const std::string name = std::to_string(::time(nullptr)) + "." + std::to_string(::getpid()) +
                           "_" + std::to_string(++counter) + ".test";
  const std::string tmp = box + "/tmp/" + name;
  {
    std::ofstream out(tmp, std::ios::binary);
    out << text;
  }
  ::chown(tmp.c_str(), uid_, gid_);
  fs::rename(tmp, box + "/new/" + name);
}

int Dovecot::MessageCount(const std::string& user) const {
  int n = 0;
  for (const char* sub : {"/new", "/cur"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(mailRoot_ + "/" + user + sub, ec)) {
      (void)e;
      ++n;
    }
  }
  return n;
}

MaildirSmtp::MaildirSmtp(const Dovecot& dovecot, const SmtpOptions& options)
    : MaildirSmtp(dovecot.mailRoot(), dovecot.owner(), options) {}

MaildirSmtp::MaildirSmtp(const std::string& mailRoot, const std::string& owner,
                         const SmtpOptions& options) {
  if (::access(kPython, X_OK) != 0) return;
  std::vector<std::string> args = {kPython,
                                   "-u",
                                   VARN_SOURCE_DIR "/tests/inboxpull/maildir_smtp.py",
                                   "--root",
                                   mailRoot,
                                   "--owner",
                                   owner};
  if (options.delaySeconds > 0) {
    args.push_back("--delay");
    args.push_back(std::to_string(options.delaySeconds));
  }
  if (options.drop) args.push_back("--drop");
  args.insert(args.end(), {"--address", options.address, "--port", std::to_string(options.port)});
  if (!options.user.empty()) {
    args.insert(args.end(), {"--user", options.user, "--password", options.password});
    if (options.requireAuth) args.push_back("--require-auth");
  }
  if (!options.certFile.empty()) {
    args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
  }
  server_ = std::make_unique<testsupport::AnnouncedServer>(args);
}

bool GreetAndLogIn(int fd, const ScriptedPop3& server) {
  return testsupport::RunSteps(
      fd, server,
      testsupport::UserPassSignIn("+OK scripted POP3 ready\r\n", "+OK\r\n", "+OK logged in\r\n"));
}

}  // namespace mailtest
