#include "ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ftptest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVsftpd = "/usr/sbin/vsftpd";
// A PAM service of the tests' own: the password alone, no shell test, so the user can
// have no login shell.
constexpr const char* kPamService = "varnock-ftp-test";
constexpr const char* kPamText =
    "# Sign-in of the FTP tests' user: password only.\n"
    "auth required pam_unix.so nodelay\n"
    "account required pam_unix.so\n";

// Runs a program with `input` on its standard input; its exit code or -1.
int RunWithInput(const std::vector<std::string>& argv, const std::string& input) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[0], 0);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[0]);
  if (pid < 0) {
    ::close(pipeFds[1]);
    return -1;
  }
  size_t done = 0;
  while (done < input.size()) {
    ssize_t w = ::write(pipeFds[1], input.data() + done, input.size() - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  ::close(pipeFds[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The user and the PAM service, made once per machine; tests running side by side wait
// for each other here.
std::string EnsureUser() {
  int lock = ::open("/tmp/.varnock-ftp-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return "cannot open the setup lock";
  ::flock(lock, LOCK_EX);
  std::string error;
  if (::getpwnam(kUser) == nullptr) {
    if (RunWithInput({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home",
                      "--home-dir", "/", "--shell", "/usr/sbin/nologin", kUser},
                     "") != 0 ||
        RunWithInput({"/usr/sbin/chpasswd"}, std::string(kUser) + ":" + kPassword + "\n") != 0) {
      error = "cannot create the FTP test user";
    }
  }
  const std::string pamPath = std::string("/etc/pam.d/") + kPamService;
  std::ifstream in(pamPath);
  std::stringstream current;
  current << in.rdbuf();
  if (error.empty() && current.str() != kPamText) {
    std::ofstream out(pamPath, std::ios::trunc);
    out << kPamText;
    if (!out) error = "cannot write " + pamPath;
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return error;
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

// Waits up to `ms` for the fd to become readable; false on time-out or when stopping.
bool WaitReadable(int fd, const ScriptedServer* server, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (server && server->stopping()) return false;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 100);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

// A greeting line "220 ..." within 10 s.
bool Greets(int port) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  char buffer[4] = {};
  bool ok = WaitReadable(fd, nullptr, 10000) && ::recv(fd, buffer, 3, MSG_WAITALL) == 3 &&
            std::memcmp(buffer, "220", 3) == 0;
  ::close(fd);
  return ok;
}

int ListenLoopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

Vsftpd::Vsftpd(VsftpdOptions options) {
  if (::geteuid() != 0) {
    skipReason_ = "vsftpd needs root to switch to its user";
    return;
  }
  if (::access(kVsftpd, X_OK) != 0) {
    skipReason_ = "vsftpd is not installed";
    return;
  }
  skipReason_ = EnsureUser();
  if (!skipReason_.empty()) return;
  char pattern[] = "/tmp/varnock-ftp.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    skipReason_ = "cannot make a folder";
    return;
  }
  base_ = pattern;
  // The user must reach its folder through this one.
  ::chmod(base_.c_str(), 0755);
  if (!Start(options) && skipReason_.empty()) skipReason_ = "vsftpd did not start: " + Log();
}

bool Vsftpd::Start(const VsftpdOptions& options) {
  root_ = base_ + "/root";
  const std::string empty = base_ + "/empty";
  fs::create_directories(root_ + "/ro");
  fs::create_directories(empty);
  const passwd* pw = ::getpwnam(kUser);
  if (pw == nullptr) return false;
  if (!options.readOnlyRoot && ::chown(root_.c_str(), pw->pw_uid, pw->pw_gid) != 0) return false;
  const std::string conf = base_ + "/vsftpd.conf";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    const int passive = FreePort();
    std::ofstream out(conf, std::ios::trunc);
    char mode[8];
    std::snprintf(mode, sizeof mode, "0%o", options.fileOpenMode);
    out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
        << "listen_port=" << port_ << "\n"
        << "background=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
        << "local_umask=022\nfile_open_mode=" << mode << "\n"
        << "local_root=" << root_ << "\n"
        << "pam_service_name=" << kPamService << "\n"
        << "secure_chroot_dir=" << empty << "\n"
        << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        << "connect_from_port_20=NO\nport_enable=YES\npasv_enable=YES\n"
        << "pasv_min_port=" << passive << "\npasv_max_port=" << std::min(passive + 20, 65535)
        << "\n"
        << "delay_failed_login=0\nxferlog_enable=YES\n"
        << "vsftpd_log_file=" << base_ << "/vsftpd.log\n"
        << "log_ftp_protocol=" << (options.logProtocol ? "YES" : "NO") << "\n"
        << options.extraConfig;
    out.close();
    ::chmod(conf.c_str(), 0600);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      int log = ::open((base_ + "/vsftpd.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::execl(kVsftpd, "vsftpd", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid < 0) return false;
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) break;  // ended: port taken, try another
      const int probe = options.implicitTls ? ConnectLoopback(port_) : -1;
      if (probe >= 0) ::close(probe);
      if (options.implicitTls ? probe >= 0 : Greets(port_)) {
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

Vsftpd::~Vsftpd() {
  if (pid_ > 0) {
    // vsftpd and its session processes share the group it leads.
    ::kill(-pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (!base_.empty()) {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
}

std::string Vsftpd::server() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string Vsftpd::Log() const {
  std::string text;
  for (const char* name : {"/vsftpd.out", "/vsftpd.log"}) {
    std::ifstream in(base_ + name);
    std::stringstream s;
    s << in.rdbuf();
    text += s.str();
  }
  return text;
}

ScriptedServer::ScriptedServer(Session session) : session_(std::move(session)) {
  fd_ = ListenLoopback(&port_);
  if (fd_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : sessions_) t.join();
  if (fd_ >= 0) ::close(fd_);
}

void ScriptedServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    sessions_.emplace_back([this, client] {
      session_(client, *this);
      ::close(client);
    });
  }
}

bool SendText(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

std::string ReadCommand(int fd, const ScriptedServer& server, int timeoutMs) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.size() < 4096) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 || !WaitReadable(fd, &server, left)) return "";
    char c;
    if (::recv(fd, &c, 1, 0) != 1) return "";
    if (c == '\n') break;
    if (c != '\r') line += c;
  }
  return line;
}

void WaitForClose(int fd, const ScriptedServer& server) {
  char buffer[512];
  while (!server.stopping()) {
    if (!WaitReadable(fd, &server, 200)) continue;
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

bool GreetAndSignIn(int fd, const ScriptedServer& server) {
  if (!SendText(fd, "220 scripted server\r\n")) return false;
  if (ReadCommand(fd, server).rfind("USER", 0) != 0) return false;
  if (!SendText(fd, "331 password please\r\n")) return false;
  if (ReadCommand(fd, server).rfind("PASS", 0) != 0) return false;
  return SendText(fd, "230 signed in\r\n");
}

void ServeAfterSignIn(int fd, const ScriptedServer& server, const TransferStep& transfer,
                      const std::string& sizeReply, const CommandStep& extra) {
  int passiveFd = -1;
  int activePort = 0;
  for (;;) {
    const std::string command = ReadCommand(fd, server);
    if (command.empty()) break;
    const std::string verb = command.substr(0, command.find(' '));
    if (extra && extra(fd, command)) continue;
    if (verb == "PWD") {
      SendText(fd, "257 \"/\" is the current folder\r\n");
    } else if (verb == "EPSV" || verb == "PASV") {
      int port = 0;
      if (passiveFd >= 0) ::close(passiveFd);
      passiveFd = ListenLoopback(&port);
      char reply[96];
      if (verb == "EPSV") {
        std::snprintf(reply, sizeof reply, "229 Extended passive (|||%d|)\r\n", port);
      } else {
        std::snprintf(reply, sizeof reply, "227 Passive (127,0,0,1,%d,%d)\r\n", port >> 8,
                      port & 255);
      }
      SendText(fd, reply);
    } else if (verb == "EPRT") {  // EPRT |1|127.0.0.1|port|
      size_t end = command.rfind('|');
      size_t start = command.rfind('|', end - 1);
      activePort = std::atoi(command.substr(start + 1, end - start - 1).c_str());
      SendText(fd, "200 EPRT fine\r\n");
    } else if (verb == "PORT") {  // PORT h1,h2,h3,h4,p1,p2
      int h[6] = {};
      std::sscanf(command.c_str() + 5, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &h[4],
                  &h[5]);
      activePort = h[4] * 256 + h[5];
      SendText(fd, "200 PORT fine\r\n");
    } else if (verb == "SIZE") {
      SendText(fd, sizeReply + "\r\n");
    } else if (verb == "STOR" || verb == "RETR") {
      int data = -1;
      if (passiveFd >= 0) {
        if (WaitReadable(passiveFd, &server, 10000)) {
          data = ::accept4(passiveFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
      } else if (activePort > 0) {
        data = ConnectLoopback(activePort);
      }
      transfer(fd, data, command, server);
      if (data >= 0) ::close(data);
    } else if (verb == "QUIT") {
      SendText(fd, "221 bye\r\n");
      break;
    } else {
      SendText(fd, "200 fine\r\n");
    }
  }
  if (passiveFd >= 0) ::close(passiveFd);
}

OneFileServer::OneFileServer(std::string sizeReply, TransferStep download) {
  std::shared_ptr<Shared> shared = shared_;
  auto note = [shared](const std::string& command) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->verbs.push_back(command.substr(0, command.find(' ')));
    return false;
  };
  auto dele = [shared, note](int control, const std::string& command) {
    note(command);
    if (command.rfind("DELE ", 0) != 0) return false;
    std::lock_guard<std::mutex> lock(shared->mutex);
    SendText(control, shared->holds ? "250 deleted\r\n" : "550 no such file\r\n");
    shared->holds = false;
    return true;
  };
  auto transfer = [shared, download](int control, int data, const std::string& command,
                                     const ScriptedServer& server) {
    if (command.rfind("STOR", 0) == 0) {
      SendText(control, "150 send it\r\n");
      std::string content;
      char buffer[4096];
      while (data >= 0 && WaitReadable(data, &server, 10000)) {
        ssize_t n = ::recv(data, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->content = content;
        shared->holds = true;
      }
      SendText(control, "226 stored\r\n");
      return;
    }
    if (download) return download(control, data, command, server);
    std::string content;
    bool holds = false;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      content = shared->content;
      holds = shared->holds;
    }
    if (!holds) {
      SendText(control, "550 no such file\r\n");
      return;
    }
    SendText(control, "150 here it comes\r\n");
    SendText(data, content);
    ::shutdown(data, SHUT_RDWR);
    SendText(control, "226 sent\r\n");
  };
  scripted_ = std::make_unique<ScriptedServer>(
      [sizeReply, transfer, dele](int fd, const ScriptedServer& server) {
        if (GreetAndSignIn(fd, server)) ServeAfterSignIn(fd, server, transfer, sizeReply, dele);
      });
}

bool OneFileServer::holdsFile() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->holds;
}

std::vector<std::string> OneFileServer::verbs() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->verbs;
}

TransferStep TrickleDownload(int forMs) {
  return [forMs](int control, int data, const std::string&, const ScriptedServer& server) {
    SendText(control, "150 Opening BINARY mode data connection (1000000000000000 bytes)\r\n");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(forMs);
    while (!server.stopping() && std::chrono::steady_clock::now() < end && SendText(data, "t")) {
      ::usleep(500000);
    }
    ::shutdown(data, SHUT_RDWR);
    SendText(control, "226 sent\r\n");
  };
}

int ClosedPort() {
  return FreePort();
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
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

}  // namespace ftptest
