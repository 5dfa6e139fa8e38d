#include "mail_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/clock.h"

namespace mailtest {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Sends `line` over and over and never reads: what the client answers piles up on its side.
void Flood(testsupport::Connection& connection, const std::string& line) {
  std::string block;
  while (block.size() < 65536) block += line;
  while (connection.Send(block)) {
  }
}

}  // namespace

namespace {

std::vector<std::string> PySmtpArgs(const std::string& storeDir, const std::string& user,
                                    const std::string& password) {
  const std::string script = std::string(VARN_SOURCE_DIR) + "/tests/mail/smtp_server.py";
  std::vector<std::string> args = {"/usr/bin/python3", script, "--dir", storeDir};
  if (!user.empty()) args.insert(args.end(), {"--user", user, "--password", password});
  return args;
}

}  // namespace

PySmtpServer::PySmtpServer(const std::string& storeDir, const std::string& user,
                           const std::string& password)
    : dir_(storeDir), server_(PySmtpArgs(storeDir, user, password)) {}

std::string PySmtpServer::Message(int n, int waitMs) const {
  const std::string path = dir_ + "/" + std::to_string(n) + ".eml";
  const int64_t deadline = platform::MonotonicMs() + waitMs;
  while (!Exists(path) && platform::MonotonicMs() < deadline) platform::SleepMs(20);
  return Exists(path) ? ReadAll(path) : std::string();
}

std::vector<std::string> PySmtpServer::Envelope(int n) const {
  std::vector<std::string> out;
  std::istringstream in(ReadAll(dir_ + "/" + std::to_string(n) + ".env"));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

FakeSmtpServer::FakeSmtpServer(std::vector<std::string> replies, const std::string& address,
                               int port)
    : replies_(std::move(replies)) {
  testsupport::ServerOptions options;
  options.address = address;
  options.port = port;
  options.backlog = 4;
  options.maxConnections = 1;
  options.bufferedReads = true;
  core_ = std::make_unique<testsupport::ScriptedServer>(
      [this](testsupport::Connection& c) { Serve(c); }, options);
}

std::string FakeSmtpServer::Transcript() {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

std::vector<std::string> FakeSmtpServer::Lines() {
  std::vector<std::string> out;
  std::istringstream in(Transcript());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void FakeSmtpServer::Serve(testsupport::Connection& connection) {
  size_t next = 0;
  bool data = false;
  bool silent = false;
  auto reply = [&]() -> bool {
    if (next >= replies_.size()) return true;
    std::string r = replies_[next++];
    if (r == "<close>") return false;
    if (r == "<silent>") {
      silent = true;
      return true;
    }
    if (r.compare(0, 7, "<flood>") == 0) {
      Flood(connection, r.substr(7) + "\r\n");
      return false;
    }
    if (r.compare(0, 7, "<delay ") == 0) {
      testsupport::SleepUnlessStopped(std::atoi(r.c_str() + 7), *connection.stopFlag());
      r.erase(0, r.find('>') + 1);
    }
    connection.Send(r + "\r\n");
    if (r.compare(0, 3, "354") == 0) data = true;
    return true;
  };
  testsupport::LineRead how;
  how.end = "\r\n";
  how.maxLength = 1 << 20;
  how.timeoutMs = -1;
  std::string line;
  for (bool open = reply(); open && connection.ReadLine(&line, how);) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      transcript_ += line + "\n";
    }
    if (silent) continue;
    if (data) {
      if (line == ".") {
        data = false;
        open = reply();
      }
      continue;
    }
    open = reply();
  }
}

BlackHole::BlackHole(const std::string& address, int port) {
  listenFd_ = testsupport::ListenOn(address, port, 0, nullptr);
  if (listenFd_ < 0) return;
  // Fill the accept queue; later connects get no answer.
  for (int i = 0; i < 3; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
  }
  platform::SleepMs(200);
}

BlackHole::~BlackHole() {
  for (int fd : fillers_) close(fd);
  if (listenFd_ >= 0) close(listenFd_);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, const std::map<std::string, std::string>& env,
                     int limitMs, const std::function<bool()>& terminateWhen) {
  RunResult result;
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  // Everything the child needs is built before fork (other threads may hold locks).
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) envStrings.push_back(entry);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int64_t start = platform::MonotonicMs();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  for (size_t done = 0; done < input.size();) {  // small: fits the pipe
    const ssize_t n = write(in[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in[1]);
  int status = 0;
  bool terminated = false;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (terminateWhen && !terminated && terminateWhen()) {
      kill(pid, SIGTERM);
      terminated = true;
    }
    if (platform::MonotonicMs() - start > limitMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.seconds = (platform::MonotonicMs() - start) / 1000.0;
      return result;
    }
    platform::SleepMs(1);
  }
  result.seconds = (platform::MonotonicMs() - start) / 1000.0;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

int UnusedPort() {
  return testsupport::UnusedLoopbackPort();
}

}  // namespace mailtest
