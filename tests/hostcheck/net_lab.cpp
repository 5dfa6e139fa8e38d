#include "net_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hostchecktest {
namespace {

constexpr int kSkipExit = 77;

bool WriteText(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool SetFlagsUp(int control, const char* name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(control, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags |= IFF_UP;
  return ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
}

bool SetAddress(int control, const char* name, unsigned long command, const char* dotted) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  auto* address = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  address->sin_family = AF_INET;
  ::inet_pton(AF_INET, dotted, &address->sin_addr);
  return ::ioctl(control, command, &request) == 0;
}

uint16_t Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size & 1) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void PutChecksum(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

// Sets up the namespace; on failure returns why.
std::string PrepareChild(const LabOptions& options, LabContext& context) {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  bool root = uid == 0;
  if (root) {
    if (::unshare(CLONE_NEWNET) != 0)
      return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
  } else {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNET): ") + strerror(errno);
    }
    WriteText("/proc/self/setgroups", "deny");
    if (!WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "cannot map the user into the new user namespace";
    }
  }
  int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0 || !SetFlagsUp(control, "lo")) return "cannot bring up lo in the namespace";
  if (options.tun) {
    context.tunFd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (context.tunFd < 0) return std::string("open /dev/net/tun: ") + strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "t0", IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(context.tunFd, TUNSETIFF, &request) != 0) {
      return std::string("TUNSETIFF: ") + strerror(errno);
    }
    if (!SetAddress(control, "t0", SIOCSIFADDR, "10.200.0.1") ||
        !SetAddress(control, "t0", SIOCSIFNETMASK, "255.255.255.0") || !SetFlagsUp(control, "t0")) {
      return "cannot configure t0";
    }
  }
  ::close(control);
  if (options.withoutRawSocket) {
    // Let every group use ping sockets in this namespace, then give up raw sockets.
    if (options.pingSocketAllowed &&
        !WriteText("/proc/sys/net/ipv4/ping_group_range", root ? "0 2147483647" : "0 0")) {
      return "cannot set net.ipv4.ping_group_range in the namespace";
    }
    if (root) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
        return "cannot drop to the unprivileged user 65534";
      }
    } else {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      if (::syscall(SYS_capset, &header, data) != 0) return "cannot drop capabilities";
    }
    int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (raw >= 0) {
      ::close(raw);
      return "a raw socket still opens after dropping the rights";
    }
    int ping = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (ping >= 0) ::close(ping);
    if (options.pingSocketAllowed && ping < 0) {
      return std::string("ping socket: ") + strerror(errno);
    }
    if (!options.pingSocketAllowed && ping >= 0) return "ping sockets stay open to the user";
  }
  return "";
}

}  // namespace

LabRun RunInNetLab(const LabOptions& options, const std::function<std::string(LabContext&)>& body) {
  LabRun run;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    run.skipReason = "pipe failed";
    return run;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    LabContext context;
    std::string problem = PrepareChild(options, context);
    std::string text = problem.empty() ? body(context) : problem;
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(pipeFds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(problem.empty() ? 0 : kSkipExit);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipExit) {
    run.skipReason = "no network namespace of our own: " + text;
  } else {
    run.crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    run.output = text;
  }
  return run;
}

std::optional<std::string> ReadTunPacket(int tunFd, int timeoutMs) {
  pollfd p{tunFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  char buffer[2048];
  ssize_t n = ::read(tunFd, buffer, sizeof buffer);
  if (n <= 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

bool AnswerEcho(int tunFd, const std::string& requestPacket, TunAnswer answer) {
  if (requestPacket.size() < 28) return false;
  const auto* request = reinterpret_cast<const uint8_t*>(requestPacket.data());
  size_t headerLength = static_cast<size_t>(request[0] & 0x0F) * 4;
  std::string packet;
  if (answer == TunAnswer::kUnreachable) {
    // IP header from the request's target back to its sender, then type 3 code 1 quoting
    // the request's IP header and first 8 bytes.
    size_t quoted = headerLength + 8;
    packet.assign(20 + 8 + quoted, '\0');
    auto* out = reinterpret_cast<uint8_t*>(packet.data());
    std::memcpy(out, request, 20);
    out[0] = 0x45;
    out[2] = static_cast<uint8_t>(packet.size() >> 8);
    out[3] = static_cast<uint8_t>(packet.size());
    out[8] = 64;
    out[9] = IPPROTO_ICMP;
    std::memcpy(out + 12, request + 16, 4);
    std::memcpy(out + 16, request + 12, 4);
    out[28 - 8] = 3;
    out[28 - 7] = 1;
    std::memcpy(out + 28, request, quoted);
    PutChecksum(out + 22, Checksum(out + 20, packet.size() - 20));
  } else {
    packet = requestPacket;
    auto* out = reinterpret_cast<uint8_t*>(packet.data());
    std::memcpy(out + 12, request + 16, 4);
    std::memcpy(out + 16, request + 12, 4);
    uint8_t* icmp = out + headerLength;
    icmp[0] = 0;  // echo reply
    if (answer == TunAnswer::kForeignReply) icmp[4] ^= 0x5A;
    icmp[2] = icmp[3] = 0;
    PutChecksum(icmp + 2, Checksum(icmp, packet.size() - headerLength));
  }
  auto* out = reinterpret_cast<uint8_t*>(packet.data());
  out[10] = out[11] = 0;
  PutChecksum(out + 10, Checksum(out, 20));
  return ::write(tunFd, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size());
}

}  // namespace hostchecktest
