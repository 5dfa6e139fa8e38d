#include "secure_pop3.h"

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

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace mailtest {
namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";

int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The STLS port greets in the clear once the server runs.
bool Greets(int port) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  char buf[64];
  const bool ok = ::poll(&p, 1, 2000) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0 && buf[0] == '+';
  ::close(fd);
  return ok;
}

}  // namespace

SecureDovecot::SecureDovecot(const std::vector<MailUser>& users, const std::string& certFile,
                             const std::string& keyFile) {
  if (::access(kDovecot, X_OK) != 0) {
    skipReason_ = "dovecot-pop3d is not installed";
    return;
  }
  if (::geteuid() != 0) {
    skipReason_ = "dovecot needs root to switch to the mail user";
    return;
  }
  if (certFile.empty()) {
    skipReason_ = "no server certificate";
    return;
  }
  if (const passwd* pw = ::getpwnam("nobody")) {
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
  }
  char pattern[] = "/tmp/varn-pop3s-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    skipReason_ = "cannot make a folder";
    return;
  }
  base_ = pattern;
  ::chmod(base_.c_str(), 0755);
  if (!Start(users, certFile, keyFile))
    skipReason_ = "dovecot did not start (see " + base_ + "/dovecot.log)";
}

bool SecureDovecot::Start(const std::vector<MailUser>& users, const std::string& certFile,
                          const std::string& keyFile) {
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
    stlsPort_ = FreePort();
    implicitPort_ = FreePort();
    if (implicitPort_ == stlsPort_) continue;
    {
      std::ofstream out(conf, std::ios::trunc);
      out << "protocols = pop3\nlisten = 127.0.0.1\n"
          << "base_dir = " << base_ << "/run\n"
          << "state_dir = " << base_ << "/state\n"
          << "log_path = " << base_ << "/dovecot.log\n"
          << "ssl = required\nssl_cert = <" << certFile << "\nssl_key = <" << keyFile << "\n"
          << "disable_plaintext_auth = yes\nauth_mechanisms = plain\n"
          << "mail_location = maildir:" << mailRoot_ << "/%u\n"
          << "first_valid_uid = 1\npop3_uidl_format = %08Xu%08Xv\n"
          << "auth_failure_delay = 0\n"
          << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << base_
          << "/users\n}\n"
          << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << base_
          << "/users\n}\n"
          << "service pop3-login {\n  inet_listener pop3 {\n    port = " << stlsPort_
          << "\n  }\n  inet_listener pop3s {\n    port = " << implicitPort_
          << "\n    ssl = yes\n  }\n}\n";
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
      if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
      if (Greets(stlsPort_)) {
        pid_ = pid;
        return true;
      }
      ::usleep(50000);
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return false;
}

SecureDovecot::~SecureDovecot() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
      ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!ended) ::usleep(50000);
    }
    ::kill(-pid_, SIGKILL);
    if (!ended) ::waitpid(pid_, nullptr, 0);
  }
  if (!base_.empty()) {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
}

void SecureDovecot::Deliver(const std::string& user, const std::string& text) const {
  static int counter = 0;
  const std::string box = mailRoot_ + "/" + user;
  const std::string name = std::to_string(::time(nullptr)) + "." + std::to_string(::getpid()) +
                           "_s" + std::to_string(++counter) + ".test";
  const std::string tmp = box + "/tmp/" + name;
  std::ofstream(tmp, std::ios::binary) << text;
  ::chown(tmp.c_str(), uid_, gid_);
  fs::rename(tmp, box + "/new/" + name);
}

int SecureDovecot::MessageCount(const std::string& user) const {
  int n = 0;
  for (const char* sub : {"/new", "/cur"}) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(mailRoot_ + "/" + user + sub, ec);
         it != fs::directory_iterator(); ++it)
      ++n;
  }
  return n;
}

}  // namespace mailtest
