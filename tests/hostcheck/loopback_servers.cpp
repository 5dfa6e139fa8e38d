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

ScriptedServer::ScriptedServer(Handler handler, Serving serving) : handler_(std::move(handler)) {
  testsupport::ServerOptions options;
  options.backlog = 64;
  options.sideBySide = serving == Serving::kSideBySide;
  core_ = std::make_unique<testsupport::ScriptedServer>(
      [this](testsupport::Connection& c) { handler_(c.fd(), *c.stopFlag()); }, options);
}

std::string ReadRequestHead(int fd, int timeoutMs) {
  return testsupport::Connection(fd, nullptr).ReadUntil({"\r\n\r\n"}, 1 << 20, timeoutMs);
}

void SendAll(int fd, const std::string& data) {
  testsupport::SendAll(fd, data);
}

void WaitForPeerClose(int fd, const std::atomic<bool>& stopping) {
  testsupport::Connection(fd, &stopping).StaySilent();
}

int UnusedPort() {
  return testsupport::UnusedLoopbackPort();
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
