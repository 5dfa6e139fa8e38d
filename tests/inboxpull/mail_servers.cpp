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
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    pollfd p{fd, POLLIN, 0};
    char buf[64];
    ok = ::poll(&p, 1, 2000) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0 && buf[0] == '+';
  }
  ::close(fd);
  return ok;
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
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

Dovecot::Dovecot(const std::vector<MailUser>& users, const std::string& address, int port)
    : address_(address), fixedPort_(port) {
  if (::access(kDovecot, X_OK) != 0) {
    skipReason_ = "dovecot-pop3d is not installed";
    return;
  }
  if (::geteuid() != 0) {
    skipReason_ = "dovecot needs root to switch to the mail user";
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
    {
      std::ofstream out(conf, std::ios::trunc);
      out << "protocols = pop3\nlisten = " << address_ << "\n"
          << "base_dir = " << base_ << "/run\n"
          << "state_dir = " << base_ << "/state\n"
          << "log_path = " << base_ << "/dovecot.log\n"
          << "ssl = no\ndisable_plaintext_auth = no\nauth_mechanisms = plain\n"
          << "mail_location = maildir:" << mailRoot_ << "/%u\n"
          << "first_valid_uid = 1\npop3_uidl_format = %08Xu%08Xv\n"
          // Refused logins are answered at once, however many came before.
          << "auth_failure_delay = 0\nlogin_trusted_networks = 127.0.0.0/8\n"
          << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << base_
          << "/users\n}\n"
          << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << base_
          << "/users\n}\n"
          << "service pop3-login {\n  inet_listener pop3 {\n    port = " << port_ << "\n  }\n}\n";
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
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {
      "python3", "-u", VARN_SOURCE_DIR "/tests/inboxpull/maildir_smtp.py", "--root", mailRoot,
      "--owner", owner};
  if (options.delaySeconds > 0) {
    args.push_back("--delay");
    args.push_back(std::to_string(options.delaySeconds));
  }
  if (options.drop) args.push_back("--drop");
  args.insert(args.end(), {"--address", options.address, "--port", std::to_string(options.port)});
  if (!options.user.empty()) {
    args.insert(args.end(), {"--user", options.user, "--password", options.password});
  }
  if (!options.certFile.empty()) {
    args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (::poll(&p, 1, 20000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  port_ = std::atoi(line.c_str());
}

MaildirSmtp::~MaildirSmtp() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

ScriptedPop3::ScriptedPop3(Session session) : session_(std::move(session)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0) return;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      sessions_.emplace_back([this, client] {
        session_(client, *this);
        ::close(client);
      });
    }
  });
}

ScriptedPop3::~ScriptedPop3() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : sessions_)
    if (t.joinable()) t.join();
  if (fd_ >= 0) ::close(fd_);
}

bool Send(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadCommand(int fd, const ScriptedPop3& server) {
  std::string line;
  for (int waited = 0; waited < 10000 && !server.stopping();) {
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, 100);
    if (n == 0) {
      waited += 100;
      continue;
    }
    char c;
    if (n < 0 || ::recv(fd, &c, 1, 0) != 1) return "";
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (line.size() < 4096) line += c;
  }
  return "";
}

bool GreetAndLogIn(int fd, const ScriptedPop3& server) {
  if (!Send(fd, "+OK scripted POP3 ready\r\n")) return false;
  if (ReadCommand(fd, server).rfind("USER ", 0) != 0 || !Send(fd, "+OK\r\n")) return false;
  if (ReadCommand(fd, server).rfind("PASS ", 0) != 0) return false;
  return Send(fd, "+OK logged in\r\n");
}

long PeakMemoryKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace mailtest
