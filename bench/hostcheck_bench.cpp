// Median time per call of the network checks on loopback, each beside a baseline that does
// the same network work with bare sockets (no library), measured in the same run.
//
//   hostcheck_bench [calls]      (default: 1000 port checks and pings, 200 page fetches)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "HostCheck.h"
#include "bench/bench_timing.h"

namespace {

using bench::Clock;

// A loopback server that answers each connection in turn: it reads a request head when
// `readRequest` is set, writes `answer` and closes.
class Server {
 public:
  Server(std::string answer, bool readRequest) : answer_(std::move(answer)), read_(readRequest) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 128);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Server() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      if (read_) {
        std::string head;
        char buffer[2048];
        while (head.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          head.append(buffer, static_cast<size_t>(n));
        }
      }
      size_t done = 0;
      while (done < answer_.size()) {
        ssize_t n = ::send(c, answer_.data() + done, answer_.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      // Wait for the client to close first, so the server's side never lingers in TIME_WAIT
      // and never resets a connection with unread bytes.
      char sink[4096];
      while (::recv(c, sink, sizeof sink, 0) > 0) {
      }
      ::close(c);
    }
  }
  std::string answer_;
  bool read_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Figures {
  double median;
  double p90;
  int failures;
};

Figures Measure(int calls, const std::function<bool()>& call) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(calls));
  int failures = 0;
  for (int i = 0; i < calls; ++i) {
    auto start = Clock::now();
    if (!call()) ++failures;
    times.push_back(bench::Micros(Clock::now() - start));
  }
  return {bench::Median(times), bench::Percentile(times, 90), failures};
}

void Report(const char* name, int calls, const Figures& f, const Figures& base) {
  std::printf(
      "%-28s %5d calls  median %9.1f us  p90 %9.1f us  baseline median %9.1f us  "
      "ratio %5.2f  failures %d\n",
      name, calls, f.median, f.p90, base.median, f.median / base.median, f.failures);
}

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
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

// The baseline of a port check: connect, optionally send, read until a line feed, close.
bool BareLine(int port, const char* request) {
  int fd = Connect(port);
  if (fd < 0) return false;
  if (request) ::send(fd, request, std::strlen(request), MSG_NOSIGNAL);
  char c[512];
  bool ok = false;
  for (;;) {
    ssize_t n = ::recv(fd, c, sizeof c, 0);
    if (n <= 0) break;
    if (std::memchr(c, '\n', static_cast<size_t>(n))) {
      ok = true;
      break;
    }
  }
  ::close(fd);
  return ok;
}

// The baseline of a page fetch: send a GET, read the whole answer, store it.
bool BareFetch(int port, size_t expected, const std::string& file) {
  int fd = Connect(port);
  if (fd < 0) return false;
  const char request[] = "GET /page.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
  FILE* out = std::fopen(file.c_str(), "wb");
  size_t total = 0;
  char buffer[4096];
  while (total < expected) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (out) std::fwrite(buffer, 1, static_cast<size_t>(n), out);
    total += static_cast<size_t>(n);
  }
  if (out) std::fclose(out);
  ::close(fd);
  return total >= expected;
}

// The baseline of a ping: one echo request on a blocking ICMP socket and its reply.
bool BareEcho(int fd, bool raw, uint16_t sequence) {
  uint8_t message[44] = {8, 0};
  message[6] = static_cast<uint8_t>(sequence);
  std::memset(message + 12, 'E', 32);
  uint32_t sum = 0;
  for (size_t i = 0; i < sizeof message; i += 2) sum += message[i] | (message[i + 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t check = static_cast<uint16_t>(~sum);
  std::memcpy(message + 2, &check, 2);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::sendto(fd, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    return false;
  }
  uint8_t reply[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    if (n <= 0) return false;
    size_t header = raw ? static_cast<size_t>(reply[0] & 0x0F) * 4 : 0;
    if (static_cast<size_t>(n) >= header + 8 && reply[header] == 0) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int fetches = argc > 1 ? std::max(1, calls / 5) : 200;

  {
    Server mail("220 bench ready\r\n", false);
    Figures base = Measure(calls, [&] { return BareLine(mail.port(), nullptr); });
    Figures f = Measure(calls, [&] { return IsMailPortOpen("127.0.0.1", mail.port(), 2000) == 1; });
    Report("IsMailPortOpen", calls, f, base);
  }
  {
    Server web("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true);
    const char probe[] = "GET /index.htm HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
    Figures base = Measure(calls, [&] { return BareLine(web.port(), probe); });
    Figures f = Measure(calls, [&] { return IsWebPortOpen("127.0.0.1", web.port(), 2000) == 1; });
    Report("IsWebPortOpen", calls, f, base);
  }
  {
    int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    bool raw = fd >= 0;
    if (!raw) fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (fd < 0) {
      std::printf("%-28s skipped: no ICMP socket may be opened\n", "Ping 127.0.0.1");
    } else {
      uint16_t sequence = 0;
      Figures base = Measure(calls, [&] { return BareEcho(fd, raw, sequence++); });
      ::close(fd);
      Figures f = Measure(calls, [&] { return Ping("127.0.0.1", 2000, 32, 1, 0) >= 0; });
      Report(raw ? "Ping 127.0.0.1 (raw)" : "Ping 127.0.0.1 (ping socket)", calls, f, base);
    }
  }
  {
    const size_t bodySize = 100 * 1024;
    std::string body(bodySize, 'x');
    std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bodySize) + "\r\n\r\n" + body;
    Server page(answer, true);
    const char* folder = std::getenv("HOSTCHECK_BENCH_DIR");
    std::string dirTemplate = std::string(folder ? folder : "/tmp") + "/hostcheck-bench-XXXXXX";
    std::string dir = ::mkdtemp(dirTemplate.data());
    std::string file = dir + "/page.htm";
    Figures base = Measure(fetches, [&] { return BareFetch(page.port(), answer.size(), file); });
    int32_t w[5];
    Figures f = Measure(fetches, [&] {
      return ReceiveWebPageAndCheck("127.0.0.1", page.port(), "/page.htm", file.c_str(), 5000,
                                    &w[0], &w[1], &w[2], &w[3], &w[4]) == 200;
    });
    Report("ReceiveWebPageAndCheck 100KB", fetches, f, base);
    ::unlink(file.c_str());
    ::unlink((file + ".err").c_str());
    ::rmdir(dir.c_str());
  }
  return 0;
}
