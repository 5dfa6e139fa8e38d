#include "loopback_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace hostchecktest {
namespace {

int ListenOnLoopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd, 64);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

ScriptedServer::ScriptedServer(Handler handler, Serving serving)
    : handler_(std::move(handler)), serving_(serving) {
  listenFd_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  for (std::thread& t : served_) t.join();
  ::close(listenFd_);
}

void ScriptedServer::Run() {
  for (;;) {
    pollfd p{listenFd_, POLLIN, 0};
    int n = ::poll(&p, 1, 100);
    if (stopping_) return;
    if (n <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    if (serving_ == Serving::kSideBySide) {
      served_.emplace_back([this, fd] {
        handler_(fd, stopping_);
        ::close(fd);
      });
      continue;
    }
    handler_(fd, stopping_);
    ::close(fd);
  }
}

std::string ReadRequestHead(int fd, int timeoutMs) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (data.find("\r\n\r\n") == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void WaitForPeerClose(int fd, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  ::close(fd);
  return port;
}

WebServer::WebServer(const std::string& folder) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::execlp("python3", "python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
             "--directory", folder.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
  std::string banner;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (banner.find(") ...\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buffer[256];
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    banner.append(buffer, static_cast<size_t>(n));
  }
  // The pipe stays open while the server runs: a server that cannot write to its output
  // would end.
  output_ = out[0];
  size_t at = banner.find(" port ");
  if (at != std::string::npos) port_ = std::atoi(banner.c_str() + at + 6);
}

WebServer::~WebServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) ::close(output_);
}

}  // namespace hostchecktest
